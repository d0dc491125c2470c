// PreparedF64 / PreparedF32: a target cloud packed once, with its box and
// its own copy of its graph, queried any number of times.
//
// Instances are immutable after construction. Every running call holds a
// shared claim on each instance it reads (an atomic count of readers); as no
// method ever writes an instance, claims never conflict and the search path
// takes no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>
#include <optional>

#include "../core/graph.hpp"
#include "common.hpp"

namespace tevu::py {

template <class T>
struct PreparedObject {
    PyObject_HEAD
    std::atomic<std::size_t> readers;  // calls currently using this instance
    const PreparedGraph<T>* graph;     // owned
};

// The class of each precision, created on first use and kept for the life of
// the process (a borrowed reference), or nullptr with an exception set.
template <class T>
PyTypeObject* prepared_type();

// "PreparedF64" / "PreparedF32".
template <class T>
constexpr const char* prepared_name() {
    return sizeof(T) == 8 ? "PreparedF64" : "PreparedF32";
}

// Converts an argument that must be an instance of this precision's class;
// otherwise TypeError "argument '{arg}': '{type}' object is not an instance
// of '{class}'".
template <class T>
PreparedObject<T>* as_prepared(PyObject* obj, const char* arg);

// A shared, read-only claim on an instance for the duration of one call.
template <class T>
class SharedClaim {
public:
    explicit SharedClaim(PyObject* instance)
        : object_(reinterpret_cast<PreparedObject<T>*>(instance)) {
        object_->readers.fetch_add(1, std::memory_order_acquire);
    }
    SharedClaim(const SharedClaim&) = delete;
    SharedClaim& operator=(const SharedClaim&) = delete;
    ~SharedClaim() { object_->readers.fetch_sub(1, std::memory_order_release); }

    const PreparedGraph<T>& graph() const { return *object_->graph; }

private:
    PreparedObject<T>* object_;
};

// The value of lane type T nearest to v (round to nearest, ties to even; a
// value beyond the largest finite float32 rounds to it or to infinity as
// IEEE 754 says). Written out so that no out-of-range conversion is left to
// the compiler.
template <class T>
T nearest_lane_value(double v) {
    if constexpr (sizeof(T) == sizeof(double)) {
        return v;
    } else {
        constexpr double largest = std::numeric_limits<T>::max();
        // Halfway between the largest float32 and the next power of two.
        constexpr double overflow = largest + 0x1p103;
        if (v >= overflow) return std::numeric_limits<T>::infinity();
        if (v <= -overflow) return -std::numeric_limits<T>::infinity();
        if (v > largest) return std::numeric_limits<T>::max();
        if (v < -largest) return -std::numeric_limits<T>::max();
        return static_cast<T>(v);  // in range, or NaN
    }
}

// The bound a search of `target` gets for a `distance_upper_bound`: the
// target's stored box, the bound in lane precision (nearest float32 for
// single precision) and, when the query is prepared too, its stored box.
template <class T>
std::optional<DistanceBound<T>> make_bound(const std::optional<double>& bound,
                                           const PreparedGraph<T>& target,
                                           const PreparedGraph<T>* query) {
    if (!bound) return std::nullopt;
    DistanceBound<T> result{target.box(), nearest_lane_value<T>(*bound), std::nullopt};
    if (query != nullptr) result.query = query->box();
    return result;
}

template <class T>
const DistanceBound<T>* bound_ptr(const std::optional<DistanceBound<T>>& bound) {
    return bound ? &*bound : nullptr;
}

}  // namespace tevu::py

// Failures of the search core.
//
// The core reports every failure by throwing `CoreError` with one of a small
// set of fixed message texts; the binding turns it into a Python exception.
// Nothing in the core returns error codes or partial results.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace tevu {

class CoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Input that no computation can accept (a NaN coordinate, say): the caller's
// mistake, reported to Python as ValueError rather than as a failure of the
// native code.
class InputError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

inline constexpr const char* kCapacityOverflow = "capacity overflow";
inline constexpr const char* kNdarrayOutOfBounds = "ndarray: index out of bounds";
inline constexpr const char* kContiguousIndptr = "contiguous CSR indptr";
inline constexpr const char* kContiguousNeighbours = "contiguous CSR neighbours";
inline constexpr const char* kContiguousPerm = "contiguous perm";
inline constexpr const char* kContiguousTargetPerm = "contiguous target perm";
inline constexpr const char* kTriangulationBroken = "delaunay: inconsistent triangulation";
// Raised as InputError: the coordinates, not the graph, are at fault.
inline constexpr const char* kDistanceOverflow =
    "squared distances overflow: finite points 1.3e154 or more apart (1.8e19 in float32) "
    "cannot be compared";

[[noreturn]] void fail(const char* message);

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void fail_index(std::size_t len, std::size_t index);

// A half-open range [start, end) that cannot be taken from a sequence of
// length `len`: either start > end, or end > len.
[[noreturn]] void fail_range(std::size_t start, std::size_t end, std::size_t len);

// Bounds-checked index: returns `index` when it is below `len`.
inline std::size_t checked_index(std::size_t index, std::size_t len) {
    if (index >= len) fail_index(len, index);
    return index;
}

// Checks that [start, end) lies inside a sequence of length `len`.
inline void check_range(std::size_t start, std::size_t end, std::size_t len) {
    if (start > end || end > len) fail_range(start, end, len);
}

}  // namespace tevu

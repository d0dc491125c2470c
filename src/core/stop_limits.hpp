// Per target vertex, a squared distance under which a descent certainly
// stops at the vertex, so that it need not look at the neighbours.
//
// If a query point q is nearer to a vertex u than half the distance from u to
// its nearest neighbour v*, then every neighbour v of u is farther from q
// than u is: |q - v| >= |u - v| - |q - u| > |u - v| / 2 > |q - u|. A steepest
// descent standing on u therefore stays there, whatever the tie-break. The
// limit keeps a margin that makes the conclusion hold for the rounded
// squared distances the descents compare (each within 5 units in the last
// place of the exact one, as long as nothing overflows or underflows), so
// skipping the scan never changes an answer. A vertex gets limit 0 (nothing
// is below it) when the argument does not apply: no neighbours, a neighbour
// list the descent would fail on (so the failure still comes when it is
// reached), a NaN, a neighbour at distance 0, distances too small or too large
// for the rounding bounds. Later copies of u (the same coordinates, a larger
// index) whose only neighbour is u, as a builder links duplicates, are left
// out: a descent never moves from u to them, nor through them. A vertex
// with only such neighbours has limit +inf.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

#include "buffer.hpp"
#include "kept.hpp"
#include "points.hpp"
#include "scan.hpp"

namespace tevu {

// The limits of every point of a graph with contiguous CSR arrays; vertices
// without an offset pair get 0.
template <class T>
Buffer<T> stop_limits(const Vec4<T>* points, std::size_t n_points, IdRun indptr, IdRun indices);

// Whether every id of `ids` is below n.
bool ids_below(IdRun ids, std::size_t n);

// Every neighbour list a search reads is checked for ids out of range. When
// `searches` descents or walks are going to read a fair share of a graph's
// lists (`ids`), checking all of them once up front is cheaper; if that
// finds a bad id, the lists are checked as they are read, so the failure
// still comes when (and if) a search reaches it.
inline bool worth_checking_all_ids(IdRun ids, std::size_t searches) noexcept {
    return searches >= ids.len / 128;
}

// What a search may take for granted about a target graph.
template <class T>
struct TargetFacts {
    const T* stop_limits = nullptr;  // null: none
    bool ids_in_range = false;       // every neighbour id is below the point count
};

// Working the limits out reads every neighbour list of the target, about as
// much as a few searches per target point; a call with a handful of query
// points into a large target would pay more for that than it could save.
// So they are worked out once the calls that asked for them have brought
// this many query points per target point.
inline constexpr std::size_t kStopLimitsAfterShare = 4;

// The limits of an immutable graph, worked out when the searches asked of it
// come to a quarter of its points, and kept. Safe to share between threads.
template <class T>
class StopLimitsCache {
public:
    // The limits (null when not worked out yet or when they could not be
    // allocated), and whether all neighbour ids are in range, so that scans
    // need not check them. `searches`: the query points of the asking call.
    TargetFacts<T> get(const Vec4<T>* points, std::size_t n_points, IdRun indptr,
                       IdRun indices, std::size_t searches) const;

private:
    struct Known {
        Buffer<T> limits;
        bool ids_in_range;
    };
    // Query points asked so far; it only decides when, never what.
    mutable std::atomic<std::size_t> asked_{0};
    Kept<Known> known_;
};

}  // namespace tevu

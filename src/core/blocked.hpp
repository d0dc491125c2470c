// Nearest neighbour (k = 1) by greedy descent in blocks of consecutive
// query points.
//
// Every point of a block starts from the same target vertex (the answer of
// the last answered point of the block before), and the descents of a block
// advance in lock-step passes: in each pass the unfinished points are grouped
// by the vertex they sit on, that vertex's neighbour points are gathered once
// into a contiguous buffer, and every point of the group steps against it.
// The step rule, tie-break, distance arithmetic and bound tests are those of
// the greedy descent; only the start vertices and the order of work differ.
// It pays off when consecutive query points are close, as in Morton order.
#pragma once

#include <cstddef>

#include "graph.hpp"
#include "greedy.hpp"

namespace tevu {

// Answers the first len(x.indptr) - 1 points of x; x's graph edges are never
// read. `block` 0 acts as 1. `bound` may be null (no bound). An empty target
// answers every point with (inf, 0). `stops`, when given, keeps the stop
// limits of y's graph.
NearestResult<float> search_blocked_f32(const GraphView<float>& x, const GraphView<float>& y,
                                        std::size_t block, const DistanceBound<float>* bound,
                                        const StopLimitsCache<float>* stops = nullptr);
NearestResult<double> search_blocked_f64(const GraphView<double>& x, const GraphView<double>& y,
                                         std::size_t block, const DistanceBound<double>* bound,
                                         const StopLimitsCache<double>* stops = nullptr);

inline NearestResult<float> search_blocked(const GraphView<float>& x, const GraphView<float>& y,
                                           std::size_t block, const DistanceBound<float>* bound,
                                           const StopLimitsCache<float>* stops = nullptr) {
    return search_blocked_f32(x, y, block, bound, stops);
}
inline NearestResult<double> search_blocked(const GraphView<double>& x,
                                            const GraphView<double>& y, std::size_t block,
                                            const DistanceBound<double>* bound,
                                            const StopLimitsCache<double>* stops = nullptr) {
    return search_blocked_f64(x, y, block, bound, stops);
}

}  // namespace tevu

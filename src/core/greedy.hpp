// Nearest neighbour (k = 1) by greedy descent over the target's graph.
//
// Query points are visited along the query's own graph, depth first, and
// every descent starts from the answer of the query point that discovered
// it, so descents stay short on spatially coherent clouds. An optional
// distance bound turns answers beyond it into the miss marker (inf, |y|) and
// lets whole calls or single query points be skipped by box tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "buffer.hpp"
#include "graph.hpp"
#include "visit_plan.hpp"

namespace tevu {

// Scratch state of one traversal of a query graph. A query point counts as
// visited when its mark equals `epoch`, so the marks need clearing only when
// the epoch wraps.
struct Workspace {
    struct Entry {
        std::size_t seed;  // target point the descent starts at
        std::size_t node;  // query point
    };
    std::vector<Entry> stack;
    std::vector<std::uint32_t> marks;
    std::uint32_t epoch = 0;

    static Workspace with_capacity(std::size_t n);

    // Prepares a new traversal of n query points.
    void begin(std::size_t n);
};

template <class T>
struct NearestResult {
    Buffer<T> distances;
    Buffer<std::size_t> indices;
};

// `bound` may be null (no bound). `plans`, when given, keeps the visiting
// plan of x's graph between calls, and `stops` the stop limits of y's graph;
// each must belong to its graph.
NearestResult<float> search_pruned_f32(const GraphView<float>& x, const GraphView<float>& y,
                                       const DistanceBound<float>* bound,
                                       const VisitPlanCache* plans = nullptr,
                                       const StopLimitsCache<float>* stops = nullptr);
NearestResult<double> search_pruned_f64(const GraphView<double>& x, const GraphView<double>& y,
                                        const DistanceBound<double>* bound,
                                        const VisitPlanCache* plans = nullptr,
                                        const StopLimitsCache<double>* stops = nullptr);

inline NearestResult<float> search_pruned(const GraphView<float>& x, const GraphView<float>& y,
                                          const DistanceBound<float>* bound,
                                          const VisitPlanCache* plans = nullptr,
                                          const StopLimitsCache<float>* stops = nullptr) {
    return search_pruned_f32(x, y, bound, plans, stops);
}
inline NearestResult<double> search_pruned(const GraphView<double>& x, const GraphView<double>& y,
                                           const DistanceBound<double>* bound,
                                           const VisitPlanCache* plans = nullptr,
                                           const StopLimitsCache<double>* stops = nullptr) {
    return search_pruned_f64(x, y, bound, plans, stops);
}

}  // namespace tevu

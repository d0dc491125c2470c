// The k nearest neighbours by best-first search over the target's graph.
//
// For every query point the target's graph is walked best-first from a seed,
// keeping the `ef` best points seen so far in a sorted result list; the first
// `k` of them are the answer. `ef` trades recall for speed. Query points are
// visited along the query's own graph, depth first, and each walk starts from
// the nearest target point of the query point processed before it, so walks
// stay short on spatially coherent clouds. An optional distance bound turns
// answers beyond it into the miss marker (inf, |y|) and lets whole calls or
// single query points skip the walk by box tests.
//
// The query graph is read through its strides; a strided or reversed
// target graph is copied once per call, since the walks read it over and
// over. The walks are compiled for AVX2 and for the x86-64 baseline, picked
// at load time like the greedy descent's.
#pragma once

#include <cstddef>

#include "buffer.hpp"
#include "graph.hpp"

namespace tevu {

// An entry of the candidate heap and of the result list. The walks keep its
// two fields apart (heap slots hold the distance's total-order key, the list
// keeps distances and indices in separate arrays), which compares faster.
template <class T>
struct HeapItem {
    T distance;         // squared
    std::size_t index;  // target point
};

using HeapItemF64 = HeapItem<double>;
using HeapItemF32 = HeapItem<float>;

// Row-major rows × cols arrays; unfilled entries hold (inf, |y|).
template <class T>
struct KnnResult {
    Buffer<T> distances;
    Buffer<std::size_t> indices;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// `bound` may be null (no bound). `plans`, when given, keeps the visiting
// plan of x's graph between calls; it must belong to that graph.
KnnResult<float> search_k_f32(const GraphView<float>& x, const GraphView<float>& y, std::size_t k,
                              std::size_t ef, const DistanceBound<float>* bound,
                              const VisitPlanCache* plans = nullptr);
KnnResult<double> search_k_f64(const GraphView<double>& x, const GraphView<double>& y,
                               std::size_t k, std::size_t ef, const DistanceBound<double>* bound,
                               const VisitPlanCache* plans = nullptr);

inline KnnResult<float> search_k(const GraphView<float>& x, const GraphView<float>& y,
                                 std::size_t k, std::size_t ef, const DistanceBound<float>* bound,
                                 const VisitPlanCache* plans = nullptr) {
    return search_k_f32(x, y, k, ef, bound, plans);
}
inline KnnResult<double> search_k(const GraphView<double>& x, const GraphView<double>& y,
                                  std::size_t k, std::size_t ef,
                                  const DistanceBound<double>* bound,
                                  const VisitPlanCache* plans = nullptr) {
    return search_k_f64(x, y, k, ef, bound, plans);
}

}  // namespace tevu

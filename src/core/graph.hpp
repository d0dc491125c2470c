// Clouds with their neighbourhood graphs, as the searches read them.
//
// A graph is in compressed sparse row form: the neighbours of point i are
// indices[indptr[i]] up to, excluding, indices[indptr[i + 1]], in that order.
// Nothing here validates a graph; each search checks what it reads when it
// reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "buffer.hpp"
#include "points.hpp"
#include "views.hpp"
#include "stop_limits.hpp"
#include "visit_plan.hpp"

namespace tevu {

// An owned graph with contiguous arrays.
struct CsrGraph {
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> indices;
};

// What a search reads of one cloud. The number of graph vertices is
// len(indptr) - 1; the number of points is points.size().
template <class T>
struct GraphView {
    PointSpan<T> points;
    IndexView indptr;
    IndexView indices;
};

// A packed cloud with its box and its own copy of its graph. Immutable once
// built, so any number of concurrent searches may borrow it.
template <class T>
struct PreparedGraph {
    Vec4<T> bbox_lo;
    Vec4<T> bbox_hi;
    std::size_t n = 0;
    PackedPoints<T> points;
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> indices;
    // How a k = 1 search visits this graph as its query, planned the first
    // time one does and kept for the next ones.
    std::unique_ptr<VisitPlanCache> query_plan = std::make_unique<VisitPlanCache>();
    // Where k = 1 descents into this graph may stop early, worked out the
    // first time one does and kept for the next ones.
    std::unique_ptr<StopLimitsCache<T>> stop_cache = std::make_unique<StopLimitsCache<T>>();

    Box<T> box() const noexcept { return {bbox_lo, bbox_hi}; }

    GraphView<T> view() const noexcept {
        return {PointSpan<T>(points.data(), points.size()),
                IndexView::of({indptr.data(), indptr.size()}),
                IndexView::of({indices.data(), indices.size()})};
    }
};

// Copies a strided view into an owned contiguous array, in logical order.
Buffer<std::uint32_t> copy_indices(IndexView view);

// Packs the points, takes their box and copies both CSR arrays (any layout).
template <class T>
PreparedGraph<T> prepare_graph(StridedView2D<T> points, IndexView indptr, IndexView indices) {
    PreparedGraph<T> graph;
    graph.points = pack_points(points);
    graph.n = points.rows;
    const Box<T> box = bounding_box(PointSpan<T>(graph.points.data(), graph.points.size()));
    graph.bbox_lo = box.lo;
    graph.bbox_hi = box.hi;
    graph.indptr = copy_indices(indptr);
    graph.indices = copy_indices(indices);
    return graph;
}

PreparedGraph<float> prepare_graph_f32(StridedView2D<float> points, IndexView indptr,
                                       IndexView indices);
PreparedGraph<double> prepare_graph_f64(StridedView2D<double> points, IndexView indptr,
                                        IndexView indices);

// An upper bound on reported distances, with the boxes that let a search
// skip a whole call or single query points.
template <class T>
struct DistanceBound {
    Box<T> target;
    T bound;                       // a distance, not squared
    std::optional<Box<T>> query;   // absent: the search computes it
};

// The query box a bounded search uses: the given one, or the fold over the
// query's points (which fails for an empty point set).
template <class T>
Box<T> query_box(const DistanceBound<T>& bound, PointSpan<T> query_points) {
    return bound.query ? *bound.query : fold_box(query_points);
}

}  // namespace tevu

#include "graph.hpp"

namespace tevu {

Buffer<std::uint32_t> copy_indices(IndexView view) {
    auto out = Buffer<std::uint32_t>::uninitialized(view.size());
    for (std::size_t i = 0; i < view.size(); ++i) out[i] = view[i];
    return out;
}

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
                                       IndexView indices) {
    return prepare_graph(points, indptr, indices);
}
PreparedGraph<double> prepare_graph_f64(StridedView2D<double> points, IndexView indptr,
                                        IndexView indices) {
    return prepare_graph(points, indptr, indices);
}

}  // namespace tevu

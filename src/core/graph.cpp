#include "graph.hpp"

namespace tevu {

Buffer<std::uint32_t> copy_indices(IndexView view) {
    auto out = Buffer<std::uint32_t>::uninitialized(view.size());
    for (std::size_t i = 0; i < view.size(); ++i) out[i] = view[i];
    return out;
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

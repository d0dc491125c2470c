// The Delaunay graph of a point cloud, built from the points alone.
//
// Two points are neighbours when an edge of the cloud's Delaunay
// triangulation joins them; on that graph a greedy descent ends at an exact
// nearest neighbour of any query point. The result has the form of
// `graph_from_simplices`: per point its distinct neighbours in ascending
// order, symmetric.
//
// Clouds that have no 3-D triangulation still get a graph on which greedy
// descent is exact:
// - exact duplicates: every later copy of a position is linked (both ways)
//   to its first copy, the copy with the smallest index, which alone takes
//   part in the triangulation;
// - at most four distinct positions: the complete graph over them;
// - all distinct positions on one plane: the plane's 2-D Delaunay graph;
// - all on one line: the path along the line.
// Cospherical input (grids) is triangulated with ties broken by a fixed
// symbolic perturbation, so the graph does not depend on `workers`.
#pragma once

#include <cstddef>

#include "graph.hpp"
#include "views.hpp"

namespace tevu {

// Points are rows (columns 0, 1, 2: x, y, z; further columns ignored; any
// strides). Fails with InputError naming the first row with a NaN or
// infinite coordinate, with "ndarray: index out of bounds" for rows of
// fewer than three columns, and with "capacity overflow" when ids or
// offsets would not fit 32 bits. `workers` (at least 1) bounds the threads
// the build may use; it uses at most 8.
CsrGraph delaunay_graph_f64(const StridedView2D<double>& points, std::size_t workers);
CsrGraph delaunay_graph_f32(const StridedView2D<float>& points, std::size_t workers);

}  // namespace tevu

// The neighbourhood graph of a tetrahedral mesh (usually a Delaunay
// triangulation): two points are neighbours when some tetrahedron has both
// of them as corners.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph.hpp"
#include "views.hpp"

namespace tevu {

// Builds the CSR graph of `n_points` vertices from the rows of `simplices`,
// whose columns 0..3 hold a tetrahedron's vertex ids (further columns are
// ignored; rows are read in logical order, any strides). Every vertex gets
// its distinct neighbours in ascending order, so the graph is symmetric.
//
// Fails with "capacity overflow" for more than 2^32 vertices or more than
// 2^32 - 1 neighbour entries (ids and offsets are 32-bit), with
// "ndarray: index out of bounds" for rows of fewer than four columns, and
// with the index failure for the first id (in row order, then column order)
// that is not below `n_points`.
CsrGraph graph_from_simplices(const StridedView2D<std::uint64_t>& simplices,
                              std::size_t n_points);

}  // namespace tevu

// Incremental 3-D Delaunay triangulation (Bowyer-Watson insertion).
//
// The triangulation covers all of space: besides the finite tetrahedra it
// keeps one "ghost" cell per convex-hull facet, whose fourth vertex is the
// vertex at infinity. Every cell lists its four vertices and, for each
// vertex, the cell across the opposite face; so point location walks from
// cell to cell, and the cells in conflict with a new point (those whose
// circumsphere holds it) are found by a flood fill from the cell that
// contains it.
//
// Ties (five cospherical points, a point on the plane of a hull facet) are
// broken by a symbolic perturbation of the points' lifts that depends on
// the vertex ids only, so the result is the Delaunay triangulation of one
// fixed perturbed point set whatever the order of insertion; all
// predicates are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "predicates.hpp"

namespace tevu::delaunay {

using geom::Vec3;

// The vertex at infinity.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
// Vertex 0 of a cell on the free list.
inline constexpr std::uint32_t kFreeCell = 0xFFFFFFFEu;
// At most this many cells, so that a (cell, face) pair packs into 32 bits.
inline constexpr std::size_t kMaxCells = std::size_t{1} << 30;

// Cell c's face i is the triangle of the three vertices other than v[i];
// n[i] = 4 * d + j names the cell d across that face and the slot j of d
// opposite the shared face. Finite cells are positively oriented:
// orient3d(v[0], v[1], v[2], v[3]) > 0, and so is every cell with one vertex
// replaced by a point on the same side of the opposite face. A ghost cell
// has kInfinite in one slot; putting a point q in that slot gives a positive
// orientation exactly when q lies beyond the ghost's hull facet.
struct Cell {
    std::uint32_t v[4];
    std::uint32_t n[4];
};

class Triangulation {
public:
    // `points` are indexed by vertex id and must outlive the triangulation.
    // `reserve_cells` is a capacity hint.
    Triangulation(std::span<const Vec3> points, std::size_t reserve_cells);

    // Starts with the tetrahedron a, b, c, d, which must not be coplanar.
    void start(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);

    // Adds vertex p, which must differ in position from every vertex so far.
    void insert(std::uint32_t p);

    std::span<const Cell> cells() const { return {cells_.data(), cells_.size()}; }

    static bool is_ghost(const Cell& c) {
        return c.v[0] == kInfinite || c.v[1] == kInfinite || c.v[2] == kInfinite ||
               c.v[3] == kInfinite;
    }
    static bool is_free(const Cell& c) { return c.v[0] == kFreeCell; }

private:
    struct NewCell {
        std::uint32_t v[4];
        std::uint32_t outer;  // packed (cell, face) across the face opposite p
        std::uint32_t p_slot;
    };
    struct EdgeSlot {
        std::uint64_t key;
        std::uint32_t face;  // packed (cell, face)
        std::uint32_t stamp;
    };

    const Vec3& point(std::uint32_t v) const { return points_[v]; }
    int orient_with(const Cell& c, std::uint32_t slot, std::uint32_t p) const;
    bool finite_in_conflict(const Cell& c, std::uint32_t p) const;
    bool in_conflict(std::uint32_t cell, std::uint32_t p) const;
    std::uint32_t locate(std::uint32_t p);
    std::uint32_t locate_by_scan(std::uint32_t p) const;
    void find_cavity(std::uint32_t start, std::uint32_t p);
    void fill_cavity(std::uint32_t p);
    std::uint32_t allocate_cell();
    void link_new_faces(std::uint32_t first_new, std::size_t count);
    void link_through_edge(std::uint64_t key, std::uint32_t face);

    std::span<const Vec3> points_;
    std::vector<Cell> cells_;
    std::vector<std::uint32_t> mark_;  // per cell: 2 * stamp (+1: in conflict)
    std::uint32_t stamp_ = 0;
    std::vector<std::uint32_t> free_;
    std::vector<std::uint32_t> cavity_;
    std::vector<std::uint32_t> boundary_;  // packed (cavity cell, face)
    std::vector<NewCell> new_cells_;
    std::vector<std::uint32_t> new_ids_;
    std::vector<EdgeSlot> edges_;
    std::uint32_t edge_stamp_ = 0;
    std::uint32_t last_ = 0;  // a cell near the last insertion
    std::uint32_t rng_ = 0x9E3779B9u;
};

}  // namespace tevu::delaunay

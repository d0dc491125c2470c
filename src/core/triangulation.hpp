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
// fixed vertex ranks only, so the result is the Delaunay triangulation of one
// fixed perturbed point set whatever the order of insertion; all
// predicates are exact. That is also what lets several threads insert at
// once: each owns the cells whose vertices all lie in its own range of
// vertex numbers, and gives a point up (for a later, single-threaded pass),
// changing nothing, when it would have to change a cell it does not own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "predicates.hpp"

namespace tevu::delaunay {

using geom::Vec3;

// The vertex at infinity.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
// Vertex 0 of a cell on a free list.
inline constexpr std::uint32_t kFreeCell = 0xFFFFFFFEu;
// A face of a new cell whose neighbour is not known yet.
inline constexpr std::uint32_t kUnlinked = 0xFFFFFFFFu;
// At most this many cells, so that a (cell, face) pair packs into 32 bits.
inline constexpr std::size_t kMaxCells = std::size_t{1} << 30;

// Cell c's face i is the triangle of the three vertices other than v[i];
// n[i] = 4 * d + j names the cell d across that face and the slot j of d
// opposite the shared face. Finite cells are positively oriented:
// orient3d(v[0], v[1], v[2], v[3]) > 0, and so is every cell with one vertex
// replaced by a point on the same side of the opposite face. A ghost cell
// has kInfinite in one slot; putting a point q in that slot gives a positive
// orientation exactly when q lies beyond the ghost's hull facet. Aligned,
// so that no cell straddles two cache lines.
struct alignas(32) Cell {
    std::uint32_t v[4];
    std::uint32_t n[4];
};

class Inserter;
struct Part;

class Triangulation {
public:
    // `points` are indexed by vertex id, `rank` gives each vertex its
    // priority in the tie-breaking perturbation (distinct); both must
    // outlive the triangulation. `reserve_cells` is a capacity hint.
    Triangulation(std::span<const Vec3> points, std::span<const std::uint32_t> rank,
                  std::size_t reserve_cells);
    ~Triangulation();

    // Starts with the tetrahedron a, b, c, d, which must not be coplanar.
    void start(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);

    // Adds the vertices `ids`, none at the position of a vertex so far, in
    // rounds: ids[rounds[r]] up to ids[rounds[r + 1]] (the last round runs to
    // the end). Rounds large enough are shared by up to `workers` threads.
    void insert(std::span<const std::uint32_t> ids, std::span<const std::size_t> rounds,
                std::size_t workers);

    // A vertex in every cell, which threads sharing a round may all own
    // (the apex that a flat cloud is coned to); none by default.
    void set_common_vertex(std::uint32_t v) { common_ = v; }

    std::span<const Cell> cells() const { return {cells_.data(), cells_.size()}; }

    static bool is_ghost(const Cell& c) {
        return c.v[0] == kInfinite || c.v[1] == kInfinite || c.v[2] == kInfinite ||
               c.v[3] == kInfinite;
    }
    static bool is_free(const Cell& c) { return c.v[0] == kFreeCell; }

private:
    friend class Inserter;

    void insert_alone(std::span<const std::uint32_t> ids);
    // Whether sharing paid: false when threads wasted much of the round.
    bool insert_shared(std::span<const std::uint32_t> ids, std::size_t workers);
    // Inserts runs[t] on thread t, in parts[t] (whose ranges are set), with
    // a start cell known at every hint_every-th point; gives back the
    // points given up, and clears `paid` when they cost too much.
    std::vector<std::uint32_t> insert_runs(std::vector<std::vector<std::uint32_t>>& runs,
                                           std::vector<Part>& parts, std::size_t hint_every,
                                           bool& paid);

    std::span<const Vec3> points_;
    std::span<const std::uint32_t> rank_;
    std::vector<Cell, UninitialisedGrowth<Cell>> cells_;
    // Per cell: 2 * stamp (+1: in conflict).
    std::vector<std::uint32_t, UninitialisedGrowth<std::uint32_t>> mark_;
    std::vector<std::uint32_t> free_;
    // Scratch tags per vertex, one array per thread inserting at once.
    std::vector<std::vector<std::uint64_t>> vertex_tags_;
    std::uint32_t stamp_ = 0;  // the last one given to an insertion
    std::uint32_t common_ = kInfinite;
    std::uint32_t last_ = 0;  // a cell near the last insertion
    std::size_t vertices_ = 0;  // inserted so far
    // False once threads wasted much of a large round, or of a small one.
    bool sharing_pays_ = true, small_sharing_pays_ = true;
};

}  // namespace tevu::delaunay

#include "triangulation.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "errors.hpp"
#include "parts.hpp"

namespace tevu::delaunay {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// Rounds of fewer points per thread are inserted by one thread: splitting
// them costs more in walks from far away and in set-up than it saves.
constexpr std::size_t kSharedFrom = 2048;
// A shared round that wastes much of its work (see `insert_runs`) stops the
// sharing of the rounds of its class: small rounds, below this many points
// per thread, and large ones are judged apart, as a small round's give-ups
// are a larger share of it and need not mean that the larger rounds would
// waste as much.
constexpr std::size_t kLargeRoundFrom = 8192;
// A shared walk longer than this gives its point up: walks from the last
// insertion are short, save where the threads' cells are tangled (along a
// line of points through a cloud, say), where they can cross most cells.
constexpr std::size_t kSharedWalkSteps = 2048;
// Work (walk steps and cavity cells) that a thread may spend on points it
// gives up beyond twice what it spent on those inserted: a point costs some
// 30 units in general position.
constexpr std::size_t kWasteAllowed = 100000;
// A second shared pass takes the points given up by the first when there are
// at least this many per thread.
constexpr std::size_t kSecondPassFrom = 1024;
// A walk that has taken this many steps looks for the point's nearest
// vertex instead (see `locate_near`). Walks in general position take some
// 6 steps; across the thin cells that fill a sampled surface's inside
// (a cylinder's, say) they can cross a fixed share of all cells.
constexpr std::size_t kWalkBeforeDescent = 32;
// A descent moves to a nearer vertex at most this many times before the
// walk takes over again from where it got to: across a cloud whose density
// changes by orders of magnitude, walks are long but go straight, and
// descents take dozens of moves, each testing cells around a vertex.
constexpr std::size_t kMostDescentMoves = 4;
// A shared round's threads know a cell of their own at every this many
// points of their runs: in its first pass, whose runs follow the curve
// closely, and in its second, whose points (those given up in the first)
// lie scattered along the parts' old boundaries, where a walk from the
// last insertion is easily blocked.
constexpr std::size_t kHintEvery = 1024;
constexpr std::size_t kSecondPassHintEvery = 64;
// Cells searched around a hint's point for one the thread owns.
constexpr std::size_t kHintSearch = 64;
// Seeds the random choices of walks (each thread's its own).
constexpr std::uint32_t kSeed = 0x9E3779B9u;
// Stamps mark cells by insertion in 31 bits (twice the stamp, plus one).
constexpr std::uint32_t kLastStamp = 0x7FFFFFFEu;

// Cavities whose boundary has at most this many vertices are linked
// through a table of its edges (16 KiB); larger ones by turning around the
// edges through the cavity.
constexpr std::size_t kTableVertices = 64;

// The slots of face i's vertices in an order that turns the same way on
// every face of a positively oriented cell: (i+1, i+2, i+3) for even i, the
// last two swapped for odd i, as shifting four slots by one is an odd
// permutation.
constexpr std::uint32_t kFacetSlots[4][3] = {{1, 2, 3}, {2, 0, 3}, {3, 0, 1}, {0, 2, 1}};

constexpr std::uint32_t pack(std::uint32_t cell, std::uint32_t face) { return cell << 2 | face; }
constexpr std::uint32_t cell_of(std::uint32_t packed) { return packed >> 2; }
constexpr std::uint32_t face_of(std::uint32_t packed) { return packed & 3u; }

int infinite_slot(const Cell& c) {
    for (int i = 0; i < 4; ++i) {
        if (c.v[i] == kInfinite) return i;
    }
    return -1;
}

// The slot of a vertex that the cell has (without branches: which slot it
// is cannot be predicted).
std::uint32_t slot_of(const Cell& c, std::uint32_t v) {
    const std::uint32_t in1 = c.v[1] == v, in2 = c.v[2] == v, in3 = c.v[3] == v;
    return (in1 | in3) | (in2 | in3) << 1;
}

bool same_face(const Cell& a, int fa, const Cell& b, int fb) {
    std::uint32_t x[3], y[3];
    for (int i = 0, k = 0; i < 4; ++i) {
        if (i != fa) x[k++] = a.v[i];
    }
    for (int i = 0, k = 0; i < 4; ++i) {
        if (i != fb) y[k++] = b.v[i];
    }
    std::sort(x, x + 3);
    std::sort(y, y + 3);
    return std::equal(x, x + 3, y);
}

}  // namespace

// A thread's part of a shared round. The thread owns the cells whose
// vertices all lie in its range or are common to all parts (the vertex at
// infinity and `common`), and changes no others but for the faces that its
// cells' neighbours turn to them. Two cells that share a face share three
// vertices, at least one of them not common: so a neighbour of one
// thread's cell is never another thread's, no cell is read by one thread
// while another changes it, and no locks are needed.
struct Part {
    // The range: lo <= v < hi, or when hi < lo (a range that wraps around)
    // v >= lo or v < hi; of the vertices 0, ..., vertices - 1.
    std::uint32_t lo, hi;
    std::uint32_t vertices;
    std::uint32_t common;
    std::uint32_t fresh, fresh_end;  // its range of unused cells
    bool owns_vertex(std::uint32_t v) const {
        const bool in = lo <= hi ? v - lo < hi - lo : (v >= lo && v < vertices) || v < hi;
        return in || v == common || v == kInfinite;
    }
    bool owns(const Cell& c) const {
        return owns_vertex(c.v[0]) && owns_vertex(c.v[1]) && owns_vertex(c.v[2]) &&
               owns_vertex(c.v[3]);
    }
};

// A finite cell that `part` owns among the first kHintSearch cells that a
// breadth-first search from live cell c meets, or kNone. The points of a
// round's second pass were given up beside cells of other threads, so the
// cell at such a point is often not its new part's own, while one a few
// steps away is.
static std::uint32_t owned_cell_near(std::span<const Cell> cells, std::uint32_t c,
                                     const Part& part) {
    std::uint32_t queue[kHintSearch];
    std::size_t size = 0;
    queue[size++] = c;
    for (std::size_t k = 0; k < size; ++k) {
        const Cell& x = cells[queue[k]];
        if (!Triangulation::is_ghost(x) && part.owns(x)) return queue[k];
        for (const std::uint32_t n : x.n) {
            const std::uint32_t next = cell_of(n);
            if (size < kHintSearch && std::find(queue, queue + size, next) == queue + size) {
                queue[size++] = next;
            }
        }
    }
    return kNone;
}

// One thread's insertions. Alone (no part) it has the whole mesh to itself
// and grows it. In a shared round it inserts only what its own cells hold:
// it takes new cells from its own free list and its part's fresh cells, and
// gives a point up, changing nothing, when the point's walk or cavity
// reaches a cell it does not own or it has too few cells left. Stamps are
// first_stamp, first_stamp + stamp_step, ...: threads sharing a round
// start apart and step by their number, so no two insertions share one.
class Inserter {
public:
    Inserter(Triangulation& t, std::size_t thread, const Part* part,
             std::vector<std::uint32_t>& free, std::uint32_t start, std::uint32_t first_stamp,
             std::uint32_t stamp_step, std::uint32_t seed)
        : t_(t), part_(part), free_(free), last_(start), next_stamp_(first_stamp),
          stamp_step_(stamp_step), rng_(seed | 1u), tags_(t.vertex_tags_[thread]) {
        // One tag per vertex and one for the vertex at infinity.
        tags_.resize(t.points_.size() + 1, 0);
        edge_face_.assign(kTableVertices * kTableVertices, kUnlinked);
        if (part != nullptr) {
            fresh_ = part->fresh;
            fresh_end_ = part->fresh_end;
        }
    }

    // The mesh's one inserter, that grows it. After a shared round the cell
    // of the last insertion may have been freed since; any live cell will do.
    static Inserter alone(Triangulation& t) {
        while (Triangulation::is_free(t.cells_[t.last_])) {
            t.last_ = (t.last_ + 1) % static_cast<std::uint32_t>(t.cells_.size());
        }
        if (t.vertex_tags_.empty()) t.vertex_tags_.resize(1);
        return Inserter(t, 0, nullptr, t.free_, t.last_, t.stamp_ + 1, 1, kSeed);
    }

    // Whether p was inserted; when not (only when sharing), nothing changed.
    // A point whose walk alone was blocked is tried once more from
    // `restart` (kNone: none), a cell that, when live, this thread owns.
    bool insert(std::uint32_t p, std::uint32_t restart = kNone) {
        const std::size_t before = work_;
        const bool done = insert_or_restart(p, restart);
        (done ? useful_work_ : wasted_work_) += work_ - before;
        return done;
    }

    // A finite cell at p, to start a shared round's walks from (alone).
    std::uint32_t finite_cell_at(std::uint32_t p) {
        std::uint32_t c = locate(p);
        if (const int k = infinite_slot(cell(c)); k >= 0) c = cell_of(cell(c).n[k]);
        last_ = c;
        return c;
    }

    std::uint32_t last() const { return last_; }
    std::uint32_t fresh() const { return fresh_; }
    // The last stamp given out, or the one before the first.
    std::uint32_t last_stamp() const { return next_stamp_ - stamp_step_; }
    // Walk steps and cavity cells, of insertions made and of points given up.
    std::size_t useful_work() const { return useful_work_; }
    std::size_t wasted_work() const { return wasted_work_; }

private:
    bool insert_or_restart(std::uint32_t p, std::uint32_t restart) {
        walk_blocked_ = false;
        if (try_insert(p)) return true;
        if (!walk_blocked_ || restart == kNone || restart == last_) return false;
        if (Triangulation::is_free(cell(restart)) || !owns(restart)) return false;
        last_ = restart;
        return try_insert(p);
    }

    bool shared() const { return part_ != nullptr; }
    bool owns(std::uint32_t c) { return part_ == nullptr || part_->owns(cell(c)); }
    const Vec3& point(std::uint32_t v) const { return t_.points_[v]; }
    Cell& cell(std::uint32_t c) { return t_.cells_[c]; }

    std::uint32_t next_random() {
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        return rng_;
    }

    int orient_with(const Cell& c, std::uint32_t slot, std::uint32_t p) const {
        const Vec3* w[4];
        for (std::uint32_t i = 0; i < 4; ++i) w[i] = &point(c.v[i] == kInfinite ? 0 : c.v[i]);
        w[slot] = &point(p);
        return geom::orient3d(*w[0], *w[1], *w[2], *w[3]);
    }

    [[gnu::always_inline]] bool finite_in_conflict(const Cell& c, std::uint32_t p) const {
        const Vec3& a = point(c.v[0]);
        const Vec3& b = point(c.v[1]);
        const Vec3& d = point(c.v[2]);
        const Vec3& e = point(c.v[3]);
        const int s = geom::insphere(a, b, d, e, point(p));
        if (s != 0) return s > 0;
        const Vec3* pts[5] = {&a, &b, &d, &e, &point(p)};
        const auto& rank = t_.rank_;
        const unsigned ids[5] = {rank[c.v[0]], rank[c.v[1]], rank[c.v[2]], rank[c.v[3]], rank[p]};
        return geom::insphere_tie(pts, ids) > 0;
    }

    [[gnu::always_inline]] bool in_conflict(std::uint32_t id, std::uint32_t p) {
        const Cell& c = cell(id);
        const int k = infinite_slot(c);
        if (k < 0) return finite_in_conflict(c, p);
        // A ghost is in conflict when p lies beyond its hull facet. On the
        // facet's plane, the limit of the spheres through the facet is the
        // facet's circumcircle, which the sphere of the finite cell across
        // the facet cuts from that plane too: the two cells decide alike.
        // (In a shared round that cell is this thread's own: either the ghost
        // is, or the flood fill came from that cell.)
        const int o = orient_with(c, static_cast<std::uint32_t>(k), p);
        if (o != 0) return o > 0;
        return finite_in_conflict(cell(cell_of(c.n[k])), p);
    }

    // A cell in conflict with p: the finite cell that contains it, or a
    // ghost whose facet p lies strictly beyond. kNone when the walk
    // reaches a cell that this thread does not own. The walk starts at the
    // last insertion's cell or a hint, which is live and, sharing, owned:
    // checked here, as the cavity search changes the cell it is given.
    std::uint32_t locate(std::uint32_t p) {
        std::uint32_t c = last_;
        if (c == kNone) return kNone;
        if (Triangulation::is_free(cell(c))) fail(kTriangulationBroken);
        if (!owns(c)) fail(kTriangulationBroken);
        if (const int k = infinite_slot(cell(c)); k >= 0) {
            c = cell_of(cell(c).n[k]);
            if (!owns(c)) return kNone;
        }
        const std::uint32_t origin = c;
        std::uint32_t previous = kNone;
        // A randomised visibility walk ends with probability one on any
        // triangulation; the step limit only guards against a pathological
        // sequence of random choices.
        const std::size_t max_steps = shared() ? kSharedWalkSteps : 64 + 4 * t_.cells_.size();
        for (std::size_t step = 0; step < max_steps; ++step, ++work_) {
            if (step == kWalkBeforeDescent) [[unlikely]] {
                if (const std::uint32_t near = locate_near(p, origin, c); near != kNone) return near;
                previous = kNone;
            }
            const std::uint32_t first = next_random() & 3u;
            bool moved = false;
            for (std::uint32_t t = 0; t < 4; ++t) {
                const std::uint32_t i = (first + t) & 3u;
                const std::uint32_t next = cell_of(cell(c).n[i]);
                if (next == previous) continue;
                if (orient_with(cell(c), i, p) < 0) {
                    if (!owns(next)) {
                        // The next walk starts here, where this one left the
                        // thread's cells: without that, a start next to
                        // cells of other threads could block every walk.
                        last_ = c;
                        walk_blocked_ = true;
                        return kNone;
                    }
                    previous = c;
                    c = next;
                    moved = true;
                    break;
                }
            }
            if (!moved) return c;
            // Stepping out of the hull through a facet that p lies strictly
            // beyond: that ghost is in conflict.
            if (infinite_slot(cell(c)) >= 0) return c;
        }
        return shared() ? kNone : locate_by_scan(p);
    }

    // A cell in conflict with p found from p's nearest vertex, or kNone.
    // The nearest vertex q is always a vertex of the cavity (the ball on
    // p and q as diameter holds no other vertex, so p and q are joined once
    // p is in), so a cell around q is in conflict with p. Greedy descent
    // over the vertices reaches q: in a Delaunay triangulation a vertex with
    // no neighbour nearer to p is nearest. It starts from the nearest vertex
    // of the walk's first cell `origin` and of the cell it has `reached`
    // (both finite). Rounded distances may stop the descent next to a near
    // tie, its moves are limited, and sharing, its cells may lead to another
    // thread's: then kNone, and the walk goes on from `reached`, which a
    // descent cut short moves nearer to p.
    [[gnu::noinline]] std::uint32_t locate_near(std::uint32_t p, std::uint32_t origin,
                                                std::uint32_t& reached) {
        const Vec3& target = point(p);
        std::uint32_t q = kNone, from = kNone;
        double nearest = 0.0;
        for (const std::uint32_t c : {origin, reached}) {
            for (const std::uint32_t v : cell(c).v) {
                if (v == kInfinite) continue;
                const double d = squared_distance(point(v), target);
                if (q == kNone || d < nearest) {
                    q = v;
                    from = c;
                    nearest = d;
                }
            }
        }
        // Around q, the first cell in conflict ends the search, and the
        // first nearer vertex moves it there.
        for (std::size_t moves = 0;; ++moves) {
            if (moves == kMostDescentMoves) {
                // The walk goes on from here, nearer to p; it starts only
                // from finite cells.
                if (!Triangulation::is_ghost(cell(from))) reached = from;
                return kNone;
            }
            std::uint32_t found = kNone, nearer = kNone;
            const bool whole = visit_around(q, from, [&](std::uint32_t c) {
                if (in_conflict(c, p)) {
                    found = c;
                    return true;
                }
                for (const std::uint32_t v : cell(c).v) {
                    if (v == kInfinite) continue;
                    const double d = squared_distance(point(v), target);
                    if (d < nearest) {
                        nearest = d;
                        nearer = v;
                        from = c;
                    }
                }
                return nearer != kNone;
            });
            if (found != kNone) return found;
            if (!whole || nearer == kNone) return kNone;
            q = nearer;
        }
    }

    static double squared_distance(const Vec3& a, const Vec3& b) {
        const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
        return dx * dx + dy * dy + dz * dz;
    }

    // Calls visit(c) for the cells c around vertex v (finite), from `from`,
    // which has v, until it returns true. False when sharing and a cell
    // around v is another thread's, which is neither visited nor marked.
    template <class Visit>
    bool visit_around(std::uint32_t v, std::uint32_t from, Visit&& visit) {
        const std::uint32_t seen = 2 * take_stamp();
        around_.clear();
        around_.push_back(from);
        t_.mark_[from] = seen;
        for (std::size_t k = 0; k < around_.size(); ++k, ++work_) {
            const std::uint32_t c = around_[k];
            if (visit(c)) return true;
            // The three faces of c that hold v lead to cells around v.
            for (std::uint32_t i = 0; i < 4; ++i) {
                if (cell(c).v[i] == v) continue;
                const std::uint32_t next = cell_of(cell(c).n[i]);
                if (!owns(next)) return false;
                if (t_.mark_[next] == seen) continue;
                t_.mark_[next] = seen;
                around_.push_back(next);
            }
        }
        return true;
    }

    std::uint32_t take_stamp() {
        if (next_stamp_ > kLastStamp - stamp_step_) fail(kCapacityOverflow);
        const std::uint32_t stamp = next_stamp_;
        next_stamp_ += stamp_step_;
        return stamp;
    }

    std::uint32_t locate_by_scan(std::uint32_t p) {
        for (std::uint32_t c = 0; c < t_.cells_.size(); ++c) {
            if (!Triangulation::is_free(cell(c)) && in_conflict(c, p)) return c;
        }
        fail(kTriangulationBroken);
    }

    // The neighbours of a cell are scattered over the mesh: asking for all
    // four as soon as the cell joins the cavity overlaps their cache misses
    // with the tests of the cells before it.
    void prefetch_neighbours(std::uint32_t c) {
        for (std::uint32_t i = 0; i < 4; ++i) {
            const std::uint32_t nb = cell_of(cell(c).n[i]);
            __builtin_prefetch(&cell(nb));
            __builtin_prefetch(&t_.mark_[nb]);
        }
    }

    // The cells in conflict with p (flood fill from `start`) and the faces
    // between them and the rest. False when a cell in conflict is not this
    // thread's own. Only owned cells are marked; the others are tested
    // again from each cavity cell next to them.
    bool find_cavity(std::uint32_t start, std::uint32_t p) {
        const std::uint32_t stamp = take_stamp();
        const std::uint32_t inside = 2 * stamp + 1, outside = 2 * stamp;
        inside_ = inside;
        stamp_ = stamp;
        cavity_.clear();
        boundary_.clear();
        t_.mark_[start] = inside;
        cavity_.push_back(start);
        prefetch_neighbours(start);
        for (std::size_t k = 0; k < cavity_.size(); ++k) {
            const std::uint32_t c = cavity_[k];
            for (std::uint32_t i = 0; i < 4; ++i) {
                const std::uint32_t nb = cell_of(cell(c).n[i]);
                const bool own = owns(nb);
                const std::uint32_t m = own ? t_.mark_[nb] : 0;
                if (m == inside) continue;
                if (m != outside) {
                    if (in_conflict(nb, p)) {
                        if (!own) return false;
                        t_.mark_[nb] = inside;
                        cavity_.push_back(nb);
                        prefetch_neighbours(nb);
                        continue;
                    }
                    if (own) t_.mark_[nb] = outside;
                }
                boundary_.push_back(pack(c, i));
            }
        }
        return true;
    }

    // New cells: alone the mesh grows as needed, sharing the cells come from
    // this thread's free list and fresh range. False when there are too
    // few.
    bool allocate_new_cells(std::size_t count) {
        new_ids_.clear();
        while (new_ids_.size() < count) {
            std::uint32_t id;
            if (!free_.empty()) {
                id = free_.back();
                free_.pop_back();
            } else if (!shared()) {
                if (t_.cells_.size() >= kMaxCells) fail(kCapacityOverflow);
                t_.cells_.push_back(Cell{{kFreeCell, 0, 0, 0}, {}});
                t_.mark_.push_back(0);
                id = static_cast<std::uint32_t>(t_.cells_.size() - 1);
            } else if (fresh_ < fresh_end_) {
                // Fresh cells are first written here, by the thread that
                // uses them.
                id = fresh_++;
                cell(id).v[0] = kFreeCell;
                t_.mark_[id] = 0;
            } else {
                for (const std::uint32_t back : new_ids_) free_.push_back(back);
                return false;
            }
            new_ids_.push_back(id);
        }
        return true;
    }

    // Turns around the edge that new cell `id`'s face `face` has in common
    // with the cavity boundary, from that face's cavity cell through cavity
    // cells, to the other boundary facet at the edge, and links the two new
    // cells standing on them. Each step enters a cell through one face
    // holding the edge and leaves through the other one.
    void link_around_edge(std::uint32_t id, std::uint32_t face, std::uint32_t cavity_cell,
                          std::uint32_t p_slot) {
        std::uint32_t x = cavity_cell;
        std::uint32_t leave = face;                    // the face of x to cross
        std::uint32_t keep = cell(x).v[p_slot];         // its vertex off the edge
        for (std::size_t step = 0; step <= cavity_.size(); ++step) {
            const std::uint32_t packed = cell(x).n[leave];
            const std::uint32_t y = cell_of(packed);
            if (t_.mark_[y] != inside_) {
                // (x, leave) is a boundary facet and y the new cell on it, laid
                // out as x with p in slot `leave`: its face through p and the
                // edge is the one opposite `keep`.
                const std::uint32_t other_face = slot_of(cell(x), keep);
                if (cell(y).n[other_face] != kUnlinked) fail(kTriangulationBroken);
                cell(id).n[face] = pack(y, other_face);
                cell(y).n[other_face] = pack(id, face);
                return;
            }
            const std::uint32_t next_keep = cell(y).v[face_of(packed)];
            leave = slot_of(cell(y), keep);
            keep = next_keep;
            x = y;
        }
        fail(kTriangulationBroken);
    }

    // Numbers the vertices of the cavity boundary 0, 1, ... in the order
    // first met, through per-vertex tags (stamp << 32 | number). The stamp
    // and the tags are read into locals once: stores of the numbers could
    // otherwise alias them.
    struct LocalNumbers {
        std::uint64_t* tags;
        std::size_t last;  // the tag of every id from here on (the vertex at infinity)
        std::uint64_t stamp;
        std::uint32_t count = 0;
        std::uint32_t operator()(std::uint32_t v) {
            std::uint64_t& tag = tags[std::min<std::size_t>(v, last)];
            const bool seen = (tag >> 32) == stamp;
            const std::uint32_t number = seen ? static_cast<std::uint32_t>(tag) : count;
            count += seen ? 0u : 1u;
            tag = stamp << 32 | number;
            return number;
        }
    };

    // Links the new cells through a table of the boundary's directed edges,
    // indexed by the edges' local vertex numbers: with every cell positively
    // oriented, the facets seen from p all turn the same way, so the two
    // facets at an edge run along it in opposite directions, and the face
    // of one new cell across edge a -> b is found at b -> a. False, having
    // changed nothing, when the boundary has too many vertices for the
    // table.
    bool link_by_edge_table() {
        const std::size_t facets = boundary_.size();
        // A triangulated sphere with F facets has F / 2 + 2 vertices.
        if (facets / 2 + 2 > kTableVertices) return false;
        edge_locals_.resize(3 * facets);
        std::uint32_t* const table = edge_face_.data();
        LocalNumbers local_number{tags_.data(), tags_.size() - 1, stamp_};
        bool consistent = true;
        for (std::size_t k = 0; k < facets; ++k) {
            const std::uint32_t i = face_of(boundary_[k]), id = new_ids_[k];
            const Cell& nc = cell(id);
            const std::uint32_t* slot = kFacetSlots[i];
            std::uint32_t* local = &edge_locals_[3 * k];
            for (int e = 0; e < 3; ++e) local[e] = local_number(nc.v[slot[e]]);
            if (local_number.count > kTableVertices) fail(kTriangulationBroken);
            consistent &= local[0] != local[1] && local[1] != local[2] && local[2] != local[0];
            // Edge local[e] -> local[e + 1] lies on the face opposite slot[e + 2].
            for (int e = 0; e < 3; ++e) {
                std::uint32_t& entry = table[local[e] * kTableVertices + local[(e + 1) % 3]];
                consistent &= entry == kUnlinked;
                entry = pack(id, slot[(e + 2) % 3]);
            }
        }
        // Each directed edge was met once, so each entry is read once, by
        // the facet with the reverse edge, and cleared for the next
        // insertion as it is read. When every edge's reverse is there, the
        // links pair the faces off, every link comes back and every entry
        // is read; otherwise some facet reads an empty entry.
        for (std::size_t k = 0; k < facets; ++k) {
            const std::uint32_t i = face_of(boundary_[k]), id = new_ids_[k];
            const std::uint32_t* slot = kFacetSlots[i];
            const std::uint32_t* local = &edge_locals_[3 * k];
            Cell& nc = cell(id);
            for (int e = 0; e < 3; ++e) {
                std::uint32_t& entry = table[local[(e + 1) % 3] * kTableVertices + local[e]];
                consistent &= entry != kUnlinked;
                nc.n[slot[(e + 2) % 3]] = entry;
                entry = kUnlinked;
            }
        }
        if (!consistent) fail(kTriangulationBroken);
        return true;
    }

    // Replaces the cavity by the cells joining p to its boundary facets. The
    // cavity's boundary is a triangulated sphere around p; two new cells
    // share a face through p exactly where their facets share an edge.
    void fill_cavity(std::uint32_t p) {
        for (std::size_t k = 0; k < boundary_.size(); ++k) {
            const std::uint32_t c = cell_of(boundary_[k]), i = face_of(boundary_[k]);
            const std::uint32_t id = new_ids_[k];
            Cell& nc = cell(id);
            nc = cell(c);
            nc.v[i] = p;
            for (std::uint32_t& n : nc.n) n = kUnlinked;
            const std::uint32_t outer = cell(c).n[i];
            nc.n[i] = outer;
            cell(cell_of(outer)).n[face_of(outer)] = pack(id, i);
            // The cavity cell's face now names the new cell standing on it.
            cell(c).n[i] = pack(id, i);
        }
        if (!link_by_edge_table()) {
            for (std::size_t k = 0; k < boundary_.size(); ++k) {
                const std::uint32_t c = cell_of(boundary_[k]), i = face_of(boundary_[k]);
                const std::uint32_t id = new_ids_[k];
                for (std::uint32_t t = 1; t < 4; ++t) {
                    const std::uint32_t j = (i + t) & 3u;
                    if (cell(id).n[j] == kUnlinked) link_around_edge(id, j, c, i);
                }
            }
        }
        for (const std::uint32_t c : cavity_) {
            cell(c).v[0] = kFreeCell;
            free_.push_back(c);
        }
        last_ = new_ids_[0];
        for (const std::uint32_t id : new_ids_) {
            if (!Triangulation::is_ghost(cell(id))) {
                last_ = id;
                break;
            }
        }
    }

    bool try_insert(std::uint32_t p) {
        if (shared() && !part_->owns_vertex(p)) return false;
        const std::uint32_t start = locate(p);
        if (start == kNone) return false;
        const bool found = find_cavity(start, p);
        work_ += cavity_.size();
        if (!found) return false;
        if (!allocate_new_cells(boundary_.size())) return false;
        fill_cavity(p);
        return true;
    }

    Triangulation& t_;
    const Part* part_;  // null when alone
    std::vector<std::uint32_t>& free_;
    std::uint32_t fresh_ = 0, fresh_end_ = 0;
    std::uint32_t last_;
    std::uint32_t next_stamp_;
    const std::uint32_t stamp_step_;
    std::uint32_t rng_;
    std::uint32_t inside_ = 0;
    std::uint32_t stamp_ = 0;  // this insertion's
    bool walk_blocked_ = false;
    std::size_t work_ = 0, useful_work_ = 0, wasted_work_ = 0;
    std::vector<std::uint64_t>& tags_;  // per vertex: stamp << 32 | local number
    std::vector<std::uint32_t> edge_locals_;  // per boundary facet: its 3 local numbers
    std::vector<std::uint32_t> edge_face_;  // per directed edge (local numbers)
    std::vector<std::uint32_t> cavity_;
    std::vector<std::uint32_t> around_;  // cells around a vertex
    std::vector<std::uint32_t> boundary_;  // packed (cavity cell, face)
    std::vector<std::uint32_t> new_ids_;
};

Triangulation::Triangulation(std::span<const Vec3> points, std::span<const std::uint32_t> rank,
                             std::size_t reserve_cells)
    : points_(points), rank_(rank) {
    reserve_cells = std::min(reserve_cells, kMaxCells);
    cells_.reserve(reserve_cells);
    mark_.reserve(reserve_cells);
}

Triangulation::~Triangulation() = default;

void Triangulation::start(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    if (geom::orient3d(points_[a], points_[b], points_[c], points_[d]) < 0) std::swap(a, b);
    cells_.assign(5, Cell{});
    mark_.assign(5, 0);
    cells_[0] = Cell{{a, b, c, d}, {}};
    // Ghost i stands on face i of the first cell, with the vertex at
    // infinity in slot i and two other vertices swapped: infinity lies on
    // the other side of that face than v[i].
    for (int i = 0; i < 4; ++i) {
        Cell& g = cells_[1 + i];
        g = cells_[0];
        g.v[i] = kInfinite;
        std::swap(g.v[(i + 1) & 3], g.v[(i + 2) & 3]);
    }
    for (std::uint32_t x = 0; x < 5; ++x) {
        for (int fx = 0; fx < 4; ++fx) {
            for (std::uint32_t y = 0; y < 5; ++y) {
                if (y == x) continue;
                for (int fy = 0; fy < 4; ++fy) {
                    if (same_face(cells_[x], fx, cells_[y], fy)) {
                        cells_[x].n[fx] = pack(y, static_cast<std::uint32_t>(fy));
                    }
                }
            }
        }
    }
    last_ = 0;
    vertices_ = 4;
}

void Triangulation::insert(std::span<const std::uint32_t> ids, std::span<const std::size_t> rounds,
                           std::size_t workers) {
    for (std::size_t r = 0; r < rounds.size(); ++r) {
        const std::size_t end = r + 1 < rounds.size() ? rounds[r + 1] : ids.size();
        const auto round = ids.subspan(rounds[r], end - rounds[r]);
        bool& pays = round.size() >= kLargeRoundFrom * workers ? sharing_pays_ : small_sharing_pays_;
        if (workers > 1 && pays && round.size() >= kSharedFrom * workers) {
            pays = insert_shared(round, workers);
        } else {
            insert_alone(round);
        }
    }
}

void Triangulation::insert_alone(std::span<const std::uint32_t> ids) {
    Inserter inserter = Inserter::alone(*this);
    for (const std::uint32_t p : ids) {
        if (!inserter.insert(p)) fail(kTriangulationBroken);
    }
    last_ = inserter.last();
    stamp_ = inserter.last_stamp();
    vertices_ += ids.size();
}

bool Triangulation::insert_shared(std::span<const std::uint32_t> ids, std::size_t workers) {
    // Every thread gets a contiguous run of the round: a compact region of
    // space, as the round follows the curve along which vertices are
    // numbered. It owns the cells of the vertices numbered from its run's
    // first point up to the next run's.
    const auto vertices = static_cast<std::uint32_t>(points_.size());
    std::vector<std::vector<std::uint32_t>> runs(workers);
    std::vector<Part> parts(workers);
    for (std::size_t t = 0; t < workers; ++t) {
        const std::size_t begin = ids.size() * t / workers, end = ids.size() * (t + 1) / workers;
        runs[t].assign(ids.begin() + begin, ids.begin() + end);
        parts[t].lo = t == 0 ? 0 : ids[begin];
        parts[t].hi = t + 1 == workers ? vertices : ids[end];
    }
    bool paid = true;
    std::vector<std::uint32_t> rest = insert_runs(runs, parts, kHintEvery, paid);
    if (!paid) {
        insert_alone(rest);
        return false;
    }
    // What was given up lies mostly where two parts meet. A second pass
    // moves every boundary to the middle of a part, the last part wrapping
    // around to the first: cut[t] = the middle of part t.
    if (rest.size() >= kSecondPassFrom * workers) {
        std::sort(rest.begin(), rest.end());
        std::vector<std::uint32_t> cut(workers);
        for (std::size_t t = 0; t < workers; ++t) cut[t] = parts[t].lo + (parts[t].hi - parts[t].lo) / 2;
        for (std::size_t t = 0; t < workers; ++t) {
            const std::uint32_t lo = cut[t], hi = t + 1 == workers ? cut[0] : cut[t + 1];
            parts[t].lo = lo;
            parts[t].hi = hi;
            runs[t].clear();
            const auto from = std::lower_bound(rest.begin(), rest.end(), lo);
            if (lo <= hi) {
                runs[t].assign(from, std::lower_bound(rest.begin(), rest.end(), hi));
            } else {
                runs[t].assign(from, rest.end());
                runs[t].insert(runs[t].end(), rest.begin(), std::lower_bound(rest.begin(), rest.end(), hi));
            }
        }
        rest = insert_runs(runs, parts, kSecondPassHintEvery, paid);
    }
    insert_alone(rest);
    return paid;
}

std::vector<std::uint32_t> Triangulation::insert_runs(std::vector<std::vector<std::uint32_t>>& runs,
                                                      std::vector<Part>& parts, std::size_t hint_every,
                                                      bool& paid) {
    const std::size_t workers = runs.size();
    if (vertex_tags_.size() < workers) vertex_tags_.resize(workers);
    // Each thread takes a share of the free cells and a range of fresh
    // ones: in general position a point adds about 6.6 cells in all (7 fit
    // the cells reserved up front), but some clouds need more (points along
    // a line inside a cloud have large stars), so the mesh so far sets the
    // rate, with a margin.
    std::vector<std::vector<std::uint32_t>> frees(workers);
    std::size_t size = cells_.size();
    const std::size_t live = cells_.size() - free_.size();
    const std::size_t per_point = std::max<std::size_t>(7, 11 * live / (10 * vertices_));
    for (std::size_t t = 0; t < workers; ++t) {
        frees[t].assign(free_.begin() + free_.size() * t / workers,
                        free_.begin() + free_.size() * (t + 1) / workers);
        const std::size_t wanted = per_point * runs[t].size() + 1024;
        parts[t].vertices = static_cast<std::uint32_t>(points_.size());
        parts[t].common = common_;
        parts[t].fresh = static_cast<std::uint32_t>(std::min(size, kMaxCells));
        size += wanted - std::min(wanted, frees[t].size());
        parts[t].fresh_end = static_cast<std::uint32_t>(std::min(size, kMaxCells));
    }
    std::vector<std::uint32_t> rest;
    if (size > kMaxCells) {
        for (const auto& run : runs) rest.insert(rest.end(), run.begin(), run.end());
        return rest;
    }
    // Walks start from cells of the thread's own, found by walking
    // beforehand to every hint_every-th point of its run. A thread starts
    // from the first; a walk blocked by other threads' cells (a part's
    // region need not be convex, nor even connected) is tried again from
    // the one for its stretch of the run. Without any, a thread gives up
    // its run.
    std::vector<std::vector<std::uint32_t>> hints(workers);
    std::vector<std::uint32_t> starts(workers, kNone);
    {
        Inserter walker = Inserter::alone(*this);
        for (std::size_t t = 0; t < workers; ++t) {
            for (std::size_t k = 0; k < runs[t].size(); k += hint_every) {
                const std::uint32_t c = walker.finite_cell_at(runs[t][k]);
                hints[t].push_back(owned_cell_near(cells(), c, parts[t]));
                if (starts[t] == kNone) starts[t] = hints[t].back();
            }
        }
        last_ = walker.last();
        // Its searches around vertices marked cells with stamps of their own.
        stamp_ = walker.last_stamp();
    }
    free_.clear();
    cells_.resize(size);
    mark_.resize(size);
    std::vector<std::vector<std::uint32_t>> given_up(workers);
    std::vector<std::uint32_t> fresh_left(workers), last(workers, kNone), stamps(workers, stamp_);
    std::vector<std::size_t> useful(workers, 0), wasted(workers, 0);
    for (std::size_t t = 0; t < workers; ++t) fresh_left[t] = parts[t].fresh;
    const std::uint32_t stamp_step = static_cast<std::uint32_t>(workers);
    run_parts(workers, [&](std::size_t t) {
        // The lists this thread changes at every insertion are its own, and
        // not next to another thread's in memory.
        std::vector<std::uint32_t> free = std::move(frees[t]), skipped;
        Inserter inserter(*this, t, &parts[t], free, starts[t],
                          stamp_ + 1 + static_cast<std::uint32_t>(t), stamp_step,
                          kSeed + 0x632BE5ABu * static_cast<std::uint32_t>(t));
        // A thread whose points given up have cost it much more work than
        // those inserted gives up the rest of its run as well.
        const std::vector<std::uint32_t>& run = runs[t];
        for (std::size_t k = 0; k < run.size(); ++k) {
            if (inserter.insert(run[k], hints[t][k / hint_every])) continue;
            skipped.push_back(run[k]);
            if (inserter.wasted_work() > 2 * inserter.useful_work() + kWasteAllowed) {
                skipped.insert(skipped.end(), run.begin() + k + 1, run.end());
                break;
            }
        }
        frees[t] = std::move(free);
        given_up[t] = std::move(skipped);
        fresh_left[t] = inserter.fresh();
        for (std::uint32_t c = fresh_left[t]; c < parts[t].fresh_end; ++c) {
            cells_[c].v[0] = kFreeCell;
            mark_[c] = 0;
        }
        last[t] = inserter.last();
        stamps[t] = inserter.last_stamp();
        useful[t] = inserter.useful_work();
        wasted[t] = inserter.wasted_work();
    });
    // When the points given up cost the threads more than half as much work
    // as those inserted, their cells are tangled all over (every point on
    // the hull, or a line of points through the cloud): the rounds of this
    // class go to one thread from now on.
    const std::size_t useful_total = std::accumulate(useful.begin(), useful.end(), std::size_t{0});
    if (2 * std::accumulate(wasted.begin(), wasted.end(), std::size_t{0}) > useful_total) {
        paid = false;
    }
    vertices_ += std::accumulate(runs.begin(), runs.end(), std::size_t{0},
                                 [](std::size_t sum, const auto& run) { return sum + run.size(); });
    for (std::size_t t = 0; t < workers; ++t) {
        vertices_ -= given_up[t].size();
        free_.insert(free_.end(), frees[t].begin(), frees[t].end());
        for (std::size_t c = fresh_left[t]; c < parts[t].fresh_end; ++c) {
            free_.push_back(static_cast<std::uint32_t>(c));
        }
        stamp_ = std::max(stamp_, stamps[t]);
        rest.insert(rest.end(), given_up[t].begin(), given_up[t].end());
    }
    for (const std::uint32_t c : last) {
        if (c != kNone) last_ = c;
    }
    return rest;
}

}  // namespace tevu::delaunay

#include "triangulation.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "errors.hpp"

namespace tevu::delaunay {

namespace {

constexpr std::uint32_t pack(std::uint32_t cell, std::uint32_t face) { return cell << 2 | face; }
constexpr std::uint32_t cell_of(std::uint32_t packed) { return packed >> 2; }
constexpr std::uint32_t face_of(std::uint32_t packed) { return packed & 3u; }

int infinite_slot(const Cell& c) {
    for (int i = 0; i < 4; ++i) {
        if (c.v[i] == kInfinite) return i;
    }
    return -1;
}

std::uint64_t edge_key(std::uint32_t a, std::uint32_t b) {
    if (a > b) std::swap(a, b);
    return std::uint64_t{a} << 32 | b;
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

Triangulation::Triangulation(std::span<const Vec3> points, std::size_t reserve_cells)
    : points_(points) {
    reserve_cells = std::min(reserve_cells, kMaxCells);
    cells_.reserve(reserve_cells);
    mark_.reserve(reserve_cells);
}

void Triangulation::start(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    if (geom::orient3d(point(a), point(b), point(c), point(d)) < 0) std::swap(a, b);
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
}

int Triangulation::orient_with(const Cell& c, std::uint32_t slot, std::uint32_t p) const {
    const Vec3* w[4];
    for (std::uint32_t i = 0; i < 4; ++i) w[i] = i == slot ? &point(p) : &point(c.v[i]);
    return geom::orient3d(*w[0], *w[1], *w[2], *w[3]);
}

bool Triangulation::finite_in_conflict(const Cell& c, std::uint32_t p) const {
    const Vec3* pts[5] = {&point(c.v[0]), &point(c.v[1]), &point(c.v[2]), &point(c.v[3]),
                          &point(p)};
    const int s = geom::insphere(*pts[0], *pts[1], *pts[2], *pts[3], *pts[4]);
    if (s != 0) return s > 0;
    const unsigned ids[5] = {c.v[0], c.v[1], c.v[2], c.v[3], p};
    return geom::insphere_perturbed(pts, ids) > 0;
}

bool Triangulation::in_conflict(std::uint32_t cell, std::uint32_t p) const {
    const Cell& c = cells_[cell];
    const int k = infinite_slot(c);
    if (k < 0) return finite_in_conflict(c, p);
    // A ghost is in conflict when p lies beyond its hull facet. On the
    // facet's plane, the limit of the spheres through the facet is the
    // facet's circumcircle, which the sphere of the finite cell across the
    // facet cuts from that plane too: the two cells decide alike.
    const int o = orient_with(c, static_cast<std::uint32_t>(k), p);
    if (o != 0) return o > 0;
    return finite_in_conflict(cells_[cell_of(c.n[k])], p);
}

std::uint32_t Triangulation::locate(std::uint32_t p) {
    std::uint32_t c = last_;
    {
        const int k = infinite_slot(cells_[c]);
        if (k >= 0) c = cell_of(cells_[c].n[k]);
    }
    std::uint32_t previous = kInfinite;
    // A randomised visibility walk ends with probability one on any
    // triangulation; the step limit only guards against a pathological
    // sequence of random choices.
    const std::size_t max_steps = 64 + 4 * cells_.size();
    for (std::size_t step = 0; step < max_steps; ++step) {
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        const std::uint32_t first = rng_ & 3u;
        bool moved = false;
        for (std::uint32_t t = 0; t < 4; ++t) {
            const std::uint32_t i = (first + t) & 3u;
            const std::uint32_t next = cell_of(cells_[c].n[i]);
            if (next == previous) continue;
            if (orient_with(cells_[c], i, p) < 0) {
                previous = c;
                c = next;
                moved = true;
                break;
            }
        }
        if (!moved) return c;
        // Stepping out of the hull through a facet that p lies strictly
        // beyond: that ghost is in conflict.
        if (infinite_slot(cells_[c]) >= 0) return c;
    }
    return locate_by_scan(p);
}

std::uint32_t Triangulation::locate_by_scan(std::uint32_t p) const {
    for (std::uint32_t c = 0; c < cells_.size(); ++c) {
        if (!is_free(cells_[c]) && in_conflict(c, p)) return c;
    }
    fail("triangulation: no cell in conflict with a new point");
}

void Triangulation::find_cavity(std::uint32_t start, std::uint32_t p) {
    ++stamp_;
    const std::uint32_t inside = 2 * stamp_ + 1, outside = 2 * stamp_;
    cavity_.clear();
    boundary_.clear();
    mark_[start] = inside;
    cavity_.push_back(start);
    for (std::size_t k = 0; k < cavity_.size(); ++k) {
        const std::uint32_t c = cavity_[k];
        for (std::uint32_t i = 0; i < 4; ++i) {
            const std::uint32_t nb = cell_of(cells_[c].n[i]);
            const std::uint32_t m = mark_[nb];
            if (m == inside) continue;
            if (m != outside) {
                if (in_conflict(nb, p)) {
                    mark_[nb] = inside;
                    cavity_.push_back(nb);
                    continue;
                }
                mark_[nb] = outside;
            }
            boundary_.push_back(pack(c, i));
        }
    }
}

std::uint32_t Triangulation::allocate_cell() {
    if (!free_.empty()) {
        const std::uint32_t c = free_.back();
        free_.pop_back();
        return c;
    }
    if (cells_.size() >= kMaxCells) fail(kCapacityOverflow);
    cells_.push_back(Cell{});
    mark_.push_back(0);
    return static_cast<std::uint32_t>(cells_.size() - 1);
}

void Triangulation::link_through_edge(std::uint64_t key, std::uint32_t face) {
    const std::size_t mask = edges_.size() - 1;
    const int shift = 64 - std::countr_zero(edges_.size());
    std::size_t h = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift) & mask;
    for (;; h = (h + 1) & mask) {
        EdgeSlot& slot = edges_[h];
        if (slot.stamp != edge_stamp_) {
            slot = {key, face, edge_stamp_};
            return;
        }
        if (slot.key == key) {
            cells_[cell_of(face)].n[face_of(face)] = slot.face;
            cells_[cell_of(slot.face)].n[face_of(slot.face)] = face;
            return;
        }
    }
}

void Triangulation::link_new_faces(std::uint32_t first_new, std::size_t count) {
    (void)first_new;
    // Each new face through p is shared by the two new cells standing on
    // the two boundary facets that meet at the face's opposite edge; about
    // 3 count / 2 edges, so a table of 4 count slots stays sparse.
    const std::size_t want = std::bit_ceil(std::max<std::size_t>(64, 4 * count));
    if (edges_.size() < want) edges_.assign(want, EdgeSlot{0, 0, 0});
    ++edge_stamp_;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t id = new_ids_[k];
        const std::uint32_t s = new_cells_[k].p_slot;
        const Cell& c = cells_[id];
        for (std::uint32_t j = 0; j < 4; ++j) {
            if (j == s) continue;
            std::uint32_t ends[2];
            for (std::uint32_t i = 0, e = 0; i < 4; ++i) {
                if (i != j && i != s) ends[e++] = c.v[i];
            }
            link_through_edge(edge_key(ends[0], ends[1]), pack(id, j));
        }
    }
}

void Triangulation::fill_cavity(std::uint32_t p) {
    new_cells_.clear();
    for (const std::uint32_t b : boundary_) {
        const Cell& c = cells_[cell_of(b)];
        const std::uint32_t i = face_of(b);
        NewCell nc{{c.v[0], c.v[1], c.v[2], c.v[3]}, c.n[i], i};
        nc.v[i] = p;
        new_cells_.push_back(nc);
    }
    for (const std::uint32_t c : cavity_) {
        cells_[c].v[0] = kFreeCell;
        free_.push_back(c);
    }
    new_ids_.clear();
    for (const NewCell& nc : new_cells_) {
        const std::uint32_t id = allocate_cell();
        Cell& c = cells_[id];
        std::copy(nc.v, nc.v + 4, c.v);
        c.n[nc.p_slot] = nc.outer;
        cells_[cell_of(nc.outer)].n[face_of(nc.outer)] = pack(id, nc.p_slot);
        new_ids_.push_back(id);
    }
    link_new_faces(0, new_cells_.size());
    last_ = new_ids_[0];
    for (const std::uint32_t id : new_ids_) {
        if (!is_ghost(cells_[id])) {
            last_ = id;
            break;
        }
    }
}

void Triangulation::insert(std::uint32_t p) {
    const std::uint32_t start = locate(p);
    find_cavity(start, p);
    fill_cavity(p);
}

}  // namespace tevu::delaunay

#include "delaunay_graph.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"
#include "insertion_order.hpp"
#include "parts.hpp"
#include "predicates.hpp"
#include "triangulation.hpp"

namespace tevu {

namespace {

using delaunay::Cell;
using delaunay::Triangulation;
using geom::Vec3;
// Arrays that threads fill in full, so that they are not cleared first.
using Points = std::vector<Vec3, UninitialisedGrowth<Vec3>>;
using Ids = std::vector<std::uint32_t, UninitialisedGrowth<std::uint32_t>>;

// Every thread of a build keeps arrays of a few bytes per point (vertex
// tags, marks of the vertices seen), so more threads would cost more memory
// than they could save time.
constexpr std::size_t kMostThreads = 8;
// Threads split the graph's extraction and assembly only from this many
// vertices per thread on.
constexpr std::size_t kVerticesPerPart = 16384;
// Graph extraction asks for the cells of the stars in advance from this
// many cells on (4 MiB of them).
constexpr std::size_t kCachedCells = std::size_t{1} << 17;
// The lists of a part are given room for this many neighbours per vertex
// to begin with: Delaunay graphs in 3-D have some 15 on average.
constexpr std::size_t kUsualDegree = 16;
// Lists up to this long are sorted by counting (quadratic, but without
// branches), longer ones by std::sort.
constexpr std::size_t kShortList = 32;

// A graph over the distinct points, numbered along the curve, stored in
// chunks of consecutive vertices (one per thread that wrote it): vertex k
// of chunk c, first[c] <= k < first[c + 1], has the neighbours
// chunks[c][begin[k]] up to, excluding, chunks[c][end[k]].
struct LocalGraph {
    std::vector<std::uint32_t> begin, end;
    std::vector<std::uint32_t> first;
    std::vector<Ids> chunks;  // written in full up to their sizes, so not cleared as they grow

    // A graph of one chunk, its lists to be written in any vertex order
    // with `add`.
    static LocalGraph one_chunk(std::size_t m) {
        return {std::vector<std::uint32_t>(m), std::vector<std::uint32_t>(m),
                {0, static_cast<std::uint32_t>(m)}, std::vector<Ids>(1)};
    }
    Ids& indices() { return chunks[0]; }
    // Ends the list of vertex k, made of what was added since the last one.
    void add(std::uint32_t k) {
        begin[k] = end_of_last;
        end[k] = end_of_last = static_cast<std::uint32_t>(chunks[0].size());
    }
    std::uint32_t end_of_last = 0;
};

// Each part reads its own rows; the first part to fail holds the lowest bad
// row, and its failure is the one rethrown.
template <class T>
Points read_points(const StridedView2D<T>& view, std::size_t parts) {
    if (view.rows > 0 && view.cols < 3) fail(kNdarrayOutOfBounds);
    if (view.rows > 0xFFFFFFFFu) fail(kCapacityOverflow);
    Points points(view.rows);
    run_ranges(parts, view.rows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const Vec3 p{static_cast<double>(view(r, 0)), static_cast<double>(view(r, 1)),
                         static_cast<double>(view(r, 2))};
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
                throw InputError("points: row " + std::to_string(r) +
                                 " has a coordinate that is not finite (nan or inf)");
            }
            points[r] = p;
        }
    });
    return points;
}

// Scaling by a power of two is exact and brings the largest coordinate into
// [1, 2), clear of overflow in the predicates; the predicates themselves
// take care of coordinates far smaller than that. Only a coordinate that
// the scaling would take below the normal range (over 2^1021 times smaller
// than the largest, yet not zero) would lose bits: no point is moved, so
// that fails instead, naming the first such row.
void normalise(std::span<Vec3> points, std::size_t parts) {
    std::vector<double> part_largest(parts, 0.0);
    run_ranges(parts, points.size(), [&](std::size_t part, std::size_t begin, std::size_t end) {
        double largest = 0.0;
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3& p = points[i];
            largest = std::max({largest, std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
        }
        part_largest[part] = largest;
    });
    const double largest = *std::max_element(part_largest.begin(), part_largest.end());
    if (largest == 0.0) return;
    const int e = std::ilogb(largest);
    run_ranges(parts, points.size(), [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3 p = points[i];
            const Vec3 s{std::ldexp(p.x, -e), std::ldexp(p.y, -e), std::ldexp(p.z, -e)};
            // Results in the normal range are exact.
            auto exact = [&](double scaled, double c) {
                return std::fabs(scaled) >= DBL_MIN || std::ldexp(scaled, e) == c;
            };
            if (!exact(s.x, p.x) || !exact(s.y, p.y) || !exact(s.z, p.z)) {
                throw InputError("points: row " + std::to_string(i) +
                                 " has a coordinate over 2^1021 times smaller than the largest"
                                 " one (and not 0), beyond what exact tests can take");
            }
            points[i] = s;
        }
    });
}

LocalGraph complete_graph(std::size_t m) {
    LocalGraph g = LocalGraph::one_chunk(m);
    for (std::size_t u = 0; u < m; ++u) {
        for (std::size_t w = 0; w < m; ++w) {
            if (w != u) g.indices().push_back(static_cast<std::uint32_t>(w));
        }
        g.add(static_cast<std::uint32_t>(u));
    }
    return g;
}

// Distinct points on one line are ordered along it by their coordinates
// (lexicographically); each is joined to the one before and after.
LocalGraph path_graph(std::span<const Vec3> points) {
    const std::size_t m = points.size();
    std::vector<std::uint32_t> along(m);
    for (std::size_t k = 0; k < m; ++k) along[k] = static_cast<std::uint32_t>(k);
    std::sort(along.begin(), along.end(), [&](std::uint32_t a, std::uint32_t b) {
        return geom::position_less(points[a], points[b]);
    });
    std::vector<std::uint32_t> before(m, delaunay::kInfinite), after(m, delaunay::kInfinite);
    for (std::size_t k = 1; k < m; ++k) {
        before[along[k]] = along[k - 1];
        after[along[k - 1]] = along[k];
    }
    LocalGraph g = LocalGraph::one_chunk(m);
    for (std::size_t u = 0; u < m; ++u) {
        for (const std::uint32_t w : {before[u], after[u]}) {
            if (w != delaunay::kInfinite) g.indices().push_back(w);
        }
        g.add(static_cast<std::uint32_t>(u));
    }
    return g;
}

// The edges of the finite cells, restricted to vertices below m (so an
// auxiliary vertex numbered m is left out): each vertex collects the
// vertices of the cells around it, with a stamp per vertex to drop repeats.
// Vertices are numbered along the curve, so that the cells of one star are
// mostly still cached from the star before. Parts of the vertex range go
// to threads of their own, and make the graph's chunks; each reads all
// cells but writes only its own vertices' entries.
LocalGraph triangulation_graph(const Triangulation& t, std::size_t m, std::size_t workers) {
    const auto cells = t.cells();
    // Every vertex of every cell is counted in 32 bits.
    if (cells.size() > 0xFFFFFFFFu / 4) fail(kCapacityOverflow);
    const std::size_t parts = part_count(workers, m, kVerticesPerPart);
    std::vector<std::uint32_t> first(parts + 1);
    for (std::size_t p = 0; p <= parts; ++p) first[p] = static_cast<std::uint32_t>(m * p / parts);
    // The stars are listed by a counting sort of the cells' corners, each
    // part reading its own range of cells; a star lists its cells in
    // ascending order. Vertex m (a flat cloud's apex) has no star.
    auto for_each_corner = [&](std::size_t p, auto&& visit) {
        const std::size_t end = cells.size() * (p + 1) / parts;
        for (auto id = static_cast<std::uint32_t>(cells.size() * p / parts); id < end; ++id) {
            const Cell& c = cells[id];
            if (Triangulation::is_free(c) || Triangulation::is_ghost(c)) continue;
            for (const std::uint32_t v : c.v) {
                if (v < m) visit(v, id);
            }
        }
    };
    // Per part and vertex: the count of its corners, then where they go.
    std::vector<std::vector<std::uint32_t>> place(parts);
    run_parts(parts, [&](std::size_t p) {
        place[p].assign(m, 0);
        for_each_corner(p, [&](std::uint32_t v, std::uint32_t) { ++place[p][v]; });
    });
    std::vector<std::uint32_t> start(m + 1, 0);
    for (std::size_t v = 0; v < m; ++v) {
        std::uint32_t at = start[v];
        for (std::size_t p = 0; p < parts; ++p) {
            const std::uint32_t count = place[p][v];
            place[p][v] = at;
            at += count;
        }
        start[v + 1] = at;
    }
    // Written in full by the parts, so it is not cleared beforehand (and,
    // short-lived, not given huge pages, whose faults can stall).
    const auto star = std::make_unique_for_overwrite<std::uint32_t[]>(start[m]);
    run_parts(parts, [&](std::size_t p) {
        for_each_corner(p, [&](std::uint32_t v, std::uint32_t id) { star[place[p][v]++] = id; });
    });
    std::vector<std::vector<std::uint32_t>>().swap(place);
    LocalGraph g{std::vector<std::uint32_t>(m), std::vector<std::uint32_t>(m), first,
                 std::vector<Ids>(parts)};
    run_parts(parts, [&](std::size_t p) {
        // Entry m stands for the auxiliary vertex, which is seen but never
        // kept. Whether a vertex is new cannot be predicted, so every
        // candidate is written and the end moves on only for new ones.
        std::vector<std::uint32_t> seen(m + 1, delaunay::kInfinite);
        Ids& out = g.chunks[p];
        // Room for the usual degree from the start: grown by doubling from
        // nothing, the lists would be written and copied some three times
        // over.
        out.resize(kUsualDegree * std::size_t{first[p + 1] - first[p]});
        std::size_t count = 0;
        // The cells of a star lie all over a mesh too large for the caches;
        // the stars list them in advance, so the next vertex's are asked
        // for while this one's are read.
        const bool ask_ahead = cells.size() > kCachedCells;
        for (std::uint32_t u = first[p]; u < first[p + 1]; ++u) {
            if (ask_ahead && u + 1 < first[p + 1]) {
                for (std::uint32_t s = start[u + 1]; s < start[u + 2]; ++s) {
                    __builtin_prefetch(&cells[star[s]]);
                }
            }
            seen[u] = u;
            seen[m] = u;
            g.begin[u] = static_cast<std::uint32_t>(count);
            const std::size_t most = count + 4 * std::size_t{start[u + 1] - start[u]};
            if (most > 0xFFFFFFFFu) fail(kCapacityOverflow);
            if (out.size() < most) out.resize(std::max(most, 2 * out.size()));
            for (std::uint32_t s = start[u]; s < start[u + 1]; ++s) {
                for (const std::uint32_t w : cells[star[s]].v) {
                    const std::uint32_t at = std::min<std::uint32_t>(w, static_cast<std::uint32_t>(m));
                    out[count] = w;
                    count += seen[at] != u;
                    seen[at] = u;
                }
            }
            g.end[u] = static_cast<std::uint32_t>(count);
        }
        out.resize(count);
    });
    return g;
}

// A point off the plane of a, b, c: one step of the box's largest
// half-extent from its centre along the axis that is the most
// perpendicular to the plane, checked exactly.
Vec3 apex_off_plane(std::span<const Vec3> points, const Vec3& a, const Vec3& b, const Vec3& c) {
    double lo[3] = {points[0].x, points[0].y, points[0].z}, hi[3] = {lo[0], lo[1], lo[2]};
    for (const Vec3& p : points) {
        const double q[3] = {p.x, p.y, p.z};
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], q[k]);
            hi[k] = std::max(hi[k], q[k]);
        }
    }
    double centre[3], step = 0.0;
    for (int k = 0; k < 3; ++k) {
        centre[k] = lo[k] * 0.5 + hi[k] * 0.5;
        step = std::max(step, hi[k] * 0.5 - lo[k] * 0.5);
    }
    const double u[3] = {b.x - a.x, b.y - a.y, b.z - a.z};
    const double v[3] = {c.x - a.x, c.y - a.y, c.z - a.z};
    const double normal[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                              u[0] * v[1] - u[1] * v[0]};
    int axes[3] = {0, 1, 2};
    std::sort(axes, axes + 3,
              [&](int i, int j) { return std::fabs(normal[i]) > std::fabs(normal[j]); });
    // Coordinates are normalised to at most 2 in magnitude, so a step of at
    // least 2^-30 always moves the centre, even for a tiny cloud far from
    // the origin.
    step = std::max(step, 0x1p-30);
    for (const int axis : axes) {
        for (const double sign : {1.0, -1.0}) {
            double q[3] = {centre[0], centre[1], centre[2]};
            q[axis] += sign * step;
            const Vec3 apex{q[0], q[1], q[2]};
            if (geom::orient3d(a, b, c, apex) != 0) return apex;
        }
    }
    fail("delaunay: no point off the plane of a flat cloud");
}

// Inserts the vertices sequence[first ..], in the insertion order's rounds.
void insert_rounds(Triangulation& t, std::span<const std::uint32_t> sequence, std::size_t first,
                   std::span<const std::size_t> rounds, std::size_t workers) {
    std::vector<std::size_t> starts{0};
    for (const std::size_t r : rounds) {
        if (r > first && r < sequence.size()) starts.push_back(r - first);
    }
    t.insert(sequence.subspan(first), starts, workers);
}

// The graph over five or more distinct points. `internal` holds them along
// the space-filling curve, so that the points of one cell are mostly near
// in memory too; `sequence` lists them (as positions in `internal`) in
// insertion order, and its first four may be exchanged with later ones to
// start from a proper tetrahedron. Ties are perturbed by insertion rank, so
// a new point always has the highest rank of a test.
LocalGraph distinct_point_graph(Points& internal, Ids& sequence,
                                std::span<const std::size_t> rounds, std::size_t workers) {
    const std::size_t m = internal.size();
    auto at = [&](std::size_t k) -> const Vec3& { return internal[sequence[k]]; };
    std::size_t c = 2;
    while (c < m && geom::collinear(at(0), at(1), at(c))) ++c;
    if (c == m) return path_graph(internal);
    std::swap(sequence[2], sequence[c]);
    std::size_t d = 3;
    while (d < m && geom::orient3d(at(0), at(1), at(2), at(d)) == 0) ++d;
    const bool flat = d == m;
    std::vector<std::uint32_t> rank(m + 1);
    if (!flat) std::swap(sequence[3], sequence[d]);
    for (std::size_t k = 0; k < m; ++k) rank[sequence[k]] = static_cast<std::uint32_t>(k);
    if (!flat) {
        Triangulation t(internal, rank, 7 * m + 64);
        t.start(sequence[0], sequence[1], sequence[2], sequence[3]);
        insert_rounds(t, sequence, 4, rounds, workers);
        return triangulation_graph(t, m, workers);
    }
    // All on one plane: a 3-D triangulation of the points and one apex off
    // the plane has a cell for the apex and each triangle of the plane's
    // 2-D Delaunay triangulation, since every sphere through three points
    // of the plane cuts it in their circumcircle.
    const Vec3 apex = apex_off_plane(internal, at(0), at(1), at(2));
    internal.push_back(apex);
    rank[m] = static_cast<std::uint32_t>(m);
    Triangulation t(internal, rank, 4 * m + 64);
    t.start(sequence[0], sequence[1], sequence[2], static_cast<std::uint32_t>(m));
    t.set_common_vertex(static_cast<std::uint32_t>(m));
    insert_rounds(t, sequence, 3, rounds, workers);
    return triangulation_graph(t, m, workers);
}

// Writes the n values at `in` to `out` in ascending order. Most lists are
// short: each value's place is then the count of those before it, in a
// loop without branches.
void sorted_copy(const std::uint32_t* in, std::size_t n, std::uint32_t* out) {
    if (n > kShortList) {
        std::copy(in, in + n, out);
        std::sort(out, out + n);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t v = in[i];
        std::size_t place = 0;
        // Equal values keep their order, so the places are all distinct.
        for (std::size_t j = 0; j < i; ++j) place += in[j] <= v;
        for (std::size_t j = i + 1; j < n; ++j) place += in[j] < v;
        out[place] = v;
    }
}

// The graph over all points, in original numbering: the distinct points'
// graph plus, at every first copy, links to its later copies and back.
// Distinct points are visited along the curve (`order` maps curve numbers
// to original indices), so that the local graph is read in order; each of
// its chunks goes to a thread of its own, which writes the lists of the
// chunk's points.
CsrGraph assemble(std::size_t n, const delaunay::InsertionOrder& io,
                  const std::vector<std::uint32_t>& order, const LocalGraph& local) {
    CsrGraph g;
    g.indptr = Buffer<std::uint32_t>::uninitialized(n + 1);
    // The later copies of each first copy, grouped by first copy; a later
    // copy's only neighbour is its first copy. Without copies, every point
    // is distinct and the passes over all points for them are skipped.
    const bool with_copies = order.size() < n;
    std::vector<std::uint32_t> copies_start(with_copies ? n + 1 : 0, 0), copies;
    if (with_copies) {
        for (std::size_t i = 0; i < n; ++i) {
            const bool later = io.first_copy[i] != i;
            if (later) ++copies_start[io.first_copy[i] + 1];
            g.indptr[i + 1] = later ? 1 : 0;
        }
        for (std::size_t i = 0; i < n; ++i) copies_start[i + 1] += copies_start[i];
        copies.resize(copies_start[n]);
        std::vector<std::uint32_t> fill(copies_start.begin(), copies_start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            if (io.first_copy[i] != i) copies[fill[io.first_copy[i]]++] = static_cast<std::uint32_t>(i);
        }
    }
    auto copies_of = [&](std::uint32_t i) {
        return with_copies ? std::span<const std::uint32_t>(copies).subspan(copies_start[i], copies_start[i + 1] - copies_start[i])
                           : std::span<const std::uint32_t>();
    };
    const std::size_t parts = local.chunks.size();
    auto for_each_distinct = [&](std::size_t p, auto&& visit) {
        for (std::size_t k = local.first[p]; k < local.first[p + 1]; ++k) visit(k, order[k]);
    };
    run_parts(parts, [&](std::size_t p) {
        for_each_distinct(p, [&](std::size_t k, std::uint32_t i) {
            g.indptr[i + 1] = local.end[k] - local.begin[k] + static_cast<std::uint32_t>(copies_of(i).size());
        });
    });
    std::uint64_t total = 0;
    g.indptr[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        total += g.indptr[i + 1];
        if (total > 0xFFFFFFFFu) fail(kCapacityOverflow);
        g.indptr[i + 1] = static_cast<std::uint32_t>(total);
    }
    // The lists in any order first (short-lived: no huge pages).
    const auto unsorted = std::make_unique_for_overwrite<std::uint32_t[]>(total);
    for (std::size_t i = 0; with_copies && i < n; ++i) {
        if (io.first_copy[i] != i) unsorted[g.indptr[i]] = io.first_copy[i];
    }
    run_parts(parts, [&](std::size_t p) {
        const Ids& chunk = local.chunks[p];
        for_each_distinct(p, [&](std::size_t k, std::uint32_t i) {
            std::uint32_t* out = unsorted.get() + g.indptr[i];
            for (std::uint32_t s = local.begin[k]; s < local.end[k]; ++s) *out++ = order[chunk[s]];
            for (const std::uint32_t copy : copies_of(i)) *out++ = copy;
        });
    });
    // The graph is symmetric, so listing, for each point in increasing
    // order, that point in the lists of its neighbours rebuilds every list
    // in ascending order, without sorting. That reads every list, so with
    // several parts each sorts the lists of its own range of points instead.
    g.indices = Buffer<std::uint32_t>::uninitialized(static_cast<std::size_t>(total));
    if (parts > 1) {
        run_ranges(parts, n, [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                sorted_copy(unsorted.get() + g.indptr[i], g.indptr[i + 1] - g.indptr[i],
                            g.indices.begin() + g.indptr[i]);
            }
        });
        return g;
    }
    std::vector<std::uint32_t> fill(g.indptr.begin(), g.indptr.begin() + n);
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t s = g.indptr[i]; s < g.indptr[i + 1]; ++s) g.indices[fill[unsorted[s]]++] = i;
    }
    return g;
}

template <class T>
CsrGraph build(const StridedView2D<T>& view, std::size_t workers) {
    workers = std::clamp<std::size_t>(workers, 1, kMostThreads);
    const std::size_t parts = part_count(workers, view.rows, kVerticesPerPart);
    Points points = read_points(view, parts);
    const std::size_t n = points.size();
    normalise(points, parts);
    delaunay::InsertionOrder io = delaunay::insertion_order(points, workers);
    // Distinct points are numbered along the curve; `io.curve` maps those
    // numbers back to the original indices.
    const std::size_t m = io.curve.size();
    LocalGraph local;
    if (m <= 4) {
        local = complete_graph(m);
    } else {
        // io.curve holds distinct indices, so the parts write apart.
        Points internal(m);
        Ids number(n);
        run_ranges(parts, m, [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                internal[k] = points[io.curve[k]];
                number[io.curve[k]] = static_cast<std::uint32_t>(k);
            }
        });
        Ids sequence(m);
        run_ranges(parts, m, [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) sequence[k] = number[io.order[k]];
        });
        Points().swap(points);  // only the curve-ordered copy is read from here on
        local = distinct_point_graph(internal, sequence, io.rounds, workers);
    }
    return assemble(n, io, io.curve, local);
}

}  // namespace

CsrGraph delaunay_graph_f64(const StridedView2D<double>& points, std::size_t workers) {
    return build(points, workers);
}

CsrGraph delaunay_graph_f32(const StridedView2D<float>& points, std::size_t workers) {
    return build(points, workers);
}

}  // namespace tevu

// libFuzzer target for the search core.
//
// Raw bytes become two small point clouds (coordinates include NaN, inf and
// arbitrary bit patterns) with CSR graphs that are often malformed on
// purpose, laid out in memory as NumPy could hand them in (strided,
// reversed, broadcast, misaligned, or broadcast to a length no allocation
// can hold), a distance bound, k / ef / block, permutations for a grouped
// query set of the two clouds (often no permutations), a list of
// tetrahedra, and a cloud for the Delaunay builder. Every core entry point then runs on them in both precisions,
// and so does the grouped set's build and finalization (plain C++ in
// src/python/grouped_set.hpp). A CoreError is the expected answer to
// malformed input; any other exception, a sanitizer report or a result that
// breaks the invariants checked below is a finding.
//
// Input format, read front to back; every read past the end yields 0, so
// any byte string is an input and short ones decode to small cases
// (fuzz/make_corpus.py writes seeds in this format):
//
//   cloud x, cloud y:
//     u8 rows (mod 25), u8 column choice, u8 layout, rows * cols values,
//     u8 graph kind, the graph's bytes, u8 indptr layout, u8 indices layout
//   bound: u8 kind, one value [, 16 values for arbitrary boxes]
//   sizes: u8 kind, u8 k, u8 ef, u8 block
//   perms: u8 count, count query perms, the target perm; each a u8 kind
//     and, unless absent, its values and a u8 layout
//   tetrahedra: u8 rows, u8 column choice, u8 layout, u8 n_points kind, ids
//   Delaunay cloud: u8 rows, u8 column choice, u8 layout, u8 scale, u8
//     precision, u8 workers, rows * cols values (below 200 a point of the
//     half-unit grid, else a value as below)
//
// A value is a u8 class: below 160 a point of a half-unit grid (distances
// tie often), below 200 a special value, else 8 more bytes of raw bits (the
// low 4 of them for float).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/blocked.hpp"
#include "core/delaunay_graph.hpp"
#include "core/errors.hpp"
#include "core/graph.hpp"
#include "core/greedy.hpp"
#include "core/knn.hpp"
#include "core/morton.hpp"
#include "core/points.hpp"
#include "core/simplex_graph.hpp"
#include "python/grouped_set.hpp"

namespace {

using namespace tevu;

// Small enough for thousands of runs a second; `k`, `ef` and `block` are
// capped alike, so that every allocation stays small. Huge values are
// chosen such that every byte count derived from them overflows.
constexpr std::size_t kMaxRows = 24;
constexpr std::size_t kMaxSmallSize = 16;
constexpr std::size_t kHuge = std::size_t{1} << 62;

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void require(bool holds, const char* what) {
    if (!holds) finding(what);
}

// ---------------------------------------------------------------------------
// Decoding

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint64_t u64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= std::uint64_t{u8()} << (8 * i);
        return value;
    }

    std::size_t below(std::size_t n) { return n == 0 ? 0 : u8() % n; }

    // Every value takes the same bytes in both precisions, so one input
    // decodes to the same shapes and graphs for float and double.
    template <class T>
    T value() {
        const std::uint8_t kind = u8();
        if (kind < 160) return static_cast<T>(static_cast<int>(kind % 17) - 8) / T(2);
        if (kind < 200) return special<T>(kind - 160);
        const std::uint64_t bits = u64();
        T out;
        if constexpr (sizeof(T) == 4) {
            const auto low = static_cast<std::uint32_t>(bits);
            std::memcpy(&out, &low, 4);
        } else {
            std::memcpy(&out, &bits, 8);
        }
        return out;
    }

private:
    template <class T>
    static T special(int i) {
        using L = std::numeric_limits<T>;
        const T values[] = {L::quiet_NaN(), L::infinity(), -L::infinity(), L::max(),
                            L::lowest(), L::denorm_min(), L::min(), T(-0.0),
                            L::epsilon(), T(1e10)};
        return values[i % 10];
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Where the elements of a strided array live: `store` holds them at the
// byte offsets that `base` and the strides give (any sign, 0 for a
// broadcast), `misalign` bytes off the allocation's alignment.
struct Layout {
    std::ptrdiff_t step = 1;     // elements between consecutive rows / entries
    std::ptrdiff_t inner = 1;    // elements between consecutive columns (2-D)
    std::size_t misalign = 0;
    std::size_t length = 0;      // logical length (rows); may exceed the store
};

// 1-D: 0 contiguous, 1 misaligned, 2 stride 2, 3 reversed, 4 broadcast,
// 5 broadcast to a length beyond any allocation; others contiguous.
Layout decode_layout_1d(std::uint8_t kind, std::size_t length) {
    switch (kind % 10) {
        case 1: return {1, 1, 1, length};
        case 2: return {2, 1, 0, length};
        case 3: return {-1, 1, 0, length};
        case 4: return {0, 1, 0, length};
        case 5: return {0, 1, 0, kHuge};
        default: return {1, 1, 0, length};
    }
}

// 2-D (rows x cols): 0 C order, 1 misaligned, 2 Fortran order, 3 every
// other column, 4 reversed rows, 5 broadcast rows, 6 broadcast to more rows
// than any allocation can hold; others C order.
Layout decode_layout_2d(std::uint8_t kind, std::size_t rows, std::size_t cols) {
    const auto r = static_cast<std::ptrdiff_t>(rows);
    const auto c = static_cast<std::ptrdiff_t>(cols);
    switch (kind % 10) {
        case 1: return {c, 1, 1, rows};
        case 2: return {1, r, 0, rows};
        case 3: return {2 * c, 2, 0, rows};
        case 4: return {-c, 1, 0, rows};
        case 5: return {0, 1, 0, rows};
        case 6: return {0, 1, 0, kHuge};
        default: return {c, 1, 0, rows};
    }
}

// Owns the memory behind a view; the view stays valid while this lives
// (the store is never resized after construction).
template <class T>
class StridedStore {
public:
    // Writes values[r * cols + c] at row r, column c of `layout`; for a
    // broadcast the stored row is the last one written.
    StridedStore(const std::vector<T>& values, std::size_t rows, std::size_t cols,
                 const Layout& layout) {
        std::ptrdiff_t lo = 0, hi = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                const std::ptrdiff_t at = offset(r, c, layout);
                lo = std::min(lo, at);
                hi = std::max(hi, at);
            }
        }
        store_.assign((hi - lo + 1) * sizeof(T) + layout.misalign, std::byte{0});
        base_ = store_.data() + layout.misalign - lo * static_cast<std::ptrdiff_t>(sizeof(T));
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                std::memcpy(base_ + offset(r, c, layout) * static_cast<std::ptrdiff_t>(sizeof(T)),
                            &values[r * cols + c], sizeof(T));
            }
        }
        layout_ = layout;
        cols_ = cols;
    }
    StridedStore(const StridedStore&) = delete;
    StridedStore& operator=(const StridedStore&) = delete;

    StridedView<T> view_1d() const {
        return {base_, layout_.length, layout_.step * static_cast<std::ptrdiff_t>(sizeof(T))};
    }

    StridedView2D<T> view_2d() const {
        const auto size = static_cast<std::ptrdiff_t>(sizeof(T));
        return {base_, layout_.length, cols_, layout_.step * size, layout_.inner * size};
    }

private:
    static std::ptrdiff_t offset(std::size_t r, std::size_t c, const Layout& layout) {
        return static_cast<std::ptrdiff_t>(r) * layout.step +
               static_cast<std::ptrdiff_t>(c) * layout.inner;
    }

    std::vector<std::byte> store_;
    std::byte* base_ = nullptr;
    Layout layout_;
    std::size_t cols_ = 0;
};

// Columns: mostly three, sometimes more (ignored) or fewer (a failure).
std::size_t decode_cols(Bytes& in) {
    constexpr std::size_t choice[] = {3, 3, 3, 3, 3, 4, 5, 2, 1, 0};
    return choice[in.u8() % 10];
}

struct RawGraph {
    std::vector<std::uint32_t> indptr;
    std::vector<std::uint32_t> indices;
};

// A graph over `n` points: well-formed with ids below n (kinds 0-3), with
// a vertex count off by a little and ids up to n + 1 (4), or raw offsets
// and ids (5); then one mutation (decreasing offsets, offsets past the end,
// a bad id, an empty indptr), or none.
RawGraph decode_graph(Bytes& in, std::size_t n) {
    RawGraph g;
    const std::uint8_t kind = in.u8() % 6;
    if (kind < 5) {
        const std::size_t vertices = kind < 4 ? n : (n + in.below(4)) - std::min<std::size_t>(n, 1);
        const std::size_t id_limit = kind < 4 ? n : n + 2;
        g.indptr.push_back(0);
        for (std::size_t v = 0; v < vertices; ++v) {
            const std::size_t degree = in.below(5);
            for (std::size_t e = 0; e < degree; ++e) {
                g.indices.push_back(static_cast<std::uint32_t>(in.below(id_limit)));
            }
            g.indptr.push_back(static_cast<std::uint32_t>(g.indices.size()));
        }
    } else {
        auto raw = [&](std::size_t limit) {
            const std::uint8_t b = in.u8();
            return b == 255 ? UINT32_MAX : static_cast<std::uint32_t>(b % (limit + 1));
        };
        g.indptr.resize(in.below(kMaxRows + 3));
        for (auto& o : g.indptr) o = raw(4 * kMaxRows);
        g.indices.resize(in.below(4 * kMaxRows));
        for (auto& id : g.indices) id = raw(n + 1);
    }
    const std::uint8_t mutation = in.u8();
    const std::size_t at = in.u8();
    if (mutation == 1 && g.indptr.size() > 2) {
        g.indptr[at % g.indptr.size()] = g.indptr.back() + 1;  // later entries smaller
    } else if (mutation == 2 && !g.indptr.empty()) {
        g.indptr[at % g.indptr.size()] = static_cast<std::uint32_t>(g.indices.size() + 1);
    } else if (mutation == 3 && !g.indices.empty()) {
        g.indices[at % g.indices.size()] = static_cast<std::uint32_t>(n);
    } else if (mutation == 4) {
        g.indptr.clear();
    }
    return g;
}

// A cloud as a search would be handed it from Python.
template <class T>
struct Cloud {
    std::size_t rows, cols;
    StridedStore<T> points;
    RawGraph graph;
    StridedStore<std::uint32_t> indptr;
    StridedStore<std::uint32_t> indices;

    static std::vector<T> values(Bytes& in, std::size_t n) {
        std::vector<T> out(n);
        for (T& v : out) v = in.value<T>();
        return out;
    }

    Cloud(Bytes& in, std::size_t rows_, std::size_t cols_, std::uint8_t layout)
        : rows(rows_),
          cols(cols_),
          points(values(in, rows * cols), rows, cols, decode_layout_2d(layout, rows, cols)),
          graph(decode_graph(in, rows)),
          indptr(graph.indptr, graph.indptr.size(), 1,
                 decode_layout_1d(in.u8(), graph.indptr.size())),
          indices(graph.indices, graph.indices.size(), 1,
                  decode_layout_1d(in.u8(), graph.indices.size())) {}

    static Cloud decode(Bytes& in) {
        const std::size_t r = in.below(kMaxRows + 1);
        const std::size_t c = decode_cols(in);
        const std::uint8_t layout = in.u8();
        return Cloud(in, r, c, layout);
    }

    StridedView2D<T> points_view() const { return points.view_2d(); }
    IndexView indptr_view() const { return indptr.view_1d(); }
    IndexView indices_view() const { return indices.view_1d(); }

    // Neighbour ids broadcast to a length beyond any allocation let offsets
    // up to 2^32 pass every range check. A search that reads them in place
    // then re-reads billions of entries: slow, not unsafe, so such inputs
    // are skipped there.
    bool huge_lists() const { return indices_view().size() == kHuge; }
};

// The bound: none (0), with the query box computed (1), with both boxes
// given as the clouds' own (2), or with arbitrary boxes (3).
template <class T>
struct BoundInput {
    int kind = 0;
    T value{};
    Box<T> target{}, query{};
};

template <class T>
BoundInput<T> decode_bound(Bytes& in) {
    BoundInput<T> b;
    b.kind = in.u8() % 4;
    b.value = in.value<T>();
    if (b.kind == 3) {
        for (Box<T>* box : {&b.target, &b.query}) {
            for (T& lane : box->lo.lane) lane = in.value<T>();
            for (T& lane : box->hi.lane) lane = in.value<T>();
        }
    }
    return b;
}

// k, ef and block: small, or one of them huge. 2^40 is large but fine for
// ef and block (nothing is sized by them beyond the clouds); as k it would
// size a result of terabytes, so k takes kHuge instead.
struct Sizes {
    std::size_t k = 0, ef = 0, block = 0;
};

Sizes decode_sizes(Bytes& in) {
    const std::uint8_t kind = in.u8();
    Sizes s{in.below(kMaxSmallSize + 1), in.below(2 * kMaxSmallSize + 1),
            in.below(2 * kMaxSmallSize + 1)};
    constexpr std::size_t huge[] = {kHuge, SIZE_MAX, SIZE_MAX / 2 + 1, std::size_t{1} << 40};
    if (kind >= 240) {
        std::size_t* field[] = {&s.k, &s.ef, &s.block};
        const std::size_t value = huge[(kind / 3) % 4];
        *field[kind % 3] = kind % 3 == 0 && value == huge[3] ? kHuge : value;
    }
    return s;
}

// A new -> original permutation as the binding hands it to the grouped
// set: absent (kinds 0, 1 and 6 up), the identity (2), a shuffle (3), a
// shuffle with one entry overwritten (4), or raw values of any length (5);
// values may be negative. Laid out as a 1-D array.
struct PermInput {
    bool present = false;
    std::vector<std::int64_t> values;
    std::uint8_t layout = 0;
};

std::int64_t decode_perm_value(Bytes& in, std::size_t size) {
    const std::uint8_t b = in.u8();
    if (b == 255) return -1;
    if (b == 254) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(b % (size + 2));
}

PermInput decode_perm(Bytes& in, std::size_t size) {
    PermInput p;
    const std::uint8_t kind = in.u8();
    if (kind < 2 || kind > 5) return p;
    p.present = true;
    if (kind == 5) {
        p.values.resize(in.below(size + 3));
        for (auto& v : p.values) v = decode_perm_value(in, size);
    } else {
        p.values.resize(size);
        for (std::size_t i = 0; i < size; ++i) p.values[i] = static_cast<std::int64_t>(i);
        if (kind >= 3) {
            for (std::size_t i = size; i > 1; --i) std::swap(p.values[i - 1], p.values[in.below(i)]);
        }
        if (kind == 4 && size > 0) p.values[in.below(size)] = decode_perm_value(in, size);
    }
    p.layout = in.u8();
    return p;
}

// Perms for the grouped set of clouds x and y (the third one has no cloud:
// perms beyond the cloud count are ignored) and for y as the target.
struct PermsInput {
    std::vector<PermInput> query;
    PermInput target;
};

PermsInput decode_perms(Bytes& in, std::size_t x_rows, std::size_t y_rows) {
    PermsInput p;
    const std::size_t sizes[] = {x_rows, y_rows, 3};
    p.query.resize(in.u8() % 4);
    for (std::size_t c = 0; c < p.query.size(); ++c) p.query[c] = decode_perm(in, sizes[c]);
    p.target = decode_perm(in, y_rows);
    return p;
}

// Members are decoded in declaration order: x, y, bound, sizes, perms.
template <class T>
struct Input {
    Cloud<T> x;
    Cloud<T> y;
    BoundInput<T> bound;
    Sizes sizes;
    PermsInput perms;

    explicit Input(Bytes& in)
        : x(Cloud<T>::decode(in)),
          y(Cloud<T>::decode(in)),
          bound(decode_bound<T>(in)),
          sizes(decode_sizes(in)),
          perms(decode_perms(in, x.rows, y.rows)) {}
};

// ---------------------------------------------------------------------------
// Checks

template <class T>
bool same(T a, T b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Where a descent stops: no neighbour of v is nearer to q, nor equally near
// with a smaller index. The search read v's neighbour list to know that, so
// the list must be well formed.
template <class T>
void check_descent_end(const GraphView<T>& y, const Vec4<T>& q, std::size_t v) {
    require(v + 1 < y.indptr.size(), "answer without neighbour offsets");
    const std::size_t lo = y.indptr[v], hi = y.indptr[v + 1];
    if (lo == hi) return;
    require(lo < hi && hi <= y.indices.size(), "answer with a malformed neighbour list");
    const T here = dist2(y.points[v], q);
    for (std::size_t e = lo; e < hi; ++e) {
        const std::size_t m = y.indices[e];
        require(m < y.points.size(), "answer with a neighbour out of range");
        const T there = dist2(y.points[m], q);
        require(!(there < here || (there == here && m < v)), "answer is no local minimum");
    }
}

// Every answer is the miss marker (only with a bound, or against an empty
// target) or a target point where a descent stops, whose reported distance
// is the distance from its query point, within the bound.
template <class T>
void check_nearest(const NearestResult<T>& r, const GraphView<T>& x, const GraphView<T>& y,
                   const DistanceBound<T>* bound) {
    const std::size_t n = x.indptr.size() - 1;
    require(r.distances.size() == n && r.indices.size() == n, "result length");
    const std::size_t ny = y.points.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t idx = r.indices[i];
        const T d = r.distances[i];
        require(idx <= ny, "index beyond the target");
        if (idx == ny) {
            require(bound != nullptr || ny == 0, "miss without a bound");
            require(d == std::numeric_limits<T>::infinity(), "miss marker distance");
            continue;
        }
        require(i < x.points.size(), "answer for a query point that does not exist");
        require(same(d, std::sqrt(dist2(y.points[idx], x.points[i]))), "reported distance");
        require(!(d == std::numeric_limits<T>::infinity() && finite3(y.points[idx]) &&
                  finite3(x.points[i])),
                "answer at an overflowing distance");
        if (bound != nullptr) require(!(d * d > bound->bound * bound->bound), "beyond the bound");
        check_descent_end(y, x.points[i], idx);
    }
}

// A search may fail with the overflow message only when some finite query
// point and finite target point are too far apart to square their distance.
template <class T>
void check_overflow(const InputError& e, PointSpan<T> x, PointSpan<T> y) {
    require(std::string(e.what()) == kDistanceOverflow, "search: another ValueError");
    for (const Vec4<T>& q : x) {
        if (!finite3(q)) continue;
        for (const Vec4<T>& p : y) {
            if (finite3(p) && dist2(p, q) == std::numeric_limits<T>::infinity()) return;
        }
    }
    require(false, "search: overflow between points that are near enough");
}

// The answers of one search on array and on prepared operands (k = 1 or k
// nearest results alike) must agree bit for bit.
template <class Result>
void check_same(const Result& a, const Result& b) {
    require(a.indices.size() == b.indices.size(), "prepared and array results differ in length");
    for (std::size_t i = 0; i < a.indices.size(); ++i) {
        require(a.indices[i] == b.indices[i] && same(a.distances[i], b.distances[i]),
                "prepared and array operands give different answers");
    }
}

// ---------------------------------------------------------------------------
// The entry points

template <class T>
GraphView<T> view_of(const PackedPoints<T>& packed, const Cloud<T>& cloud) {
    return {PointSpan<T>(packed.data(), packed.size()), cloud.indptr_view(),
            cloud.indices_view()};
}

template <class T>
PointSpan<T> span_of(const PackedPoints<T>& packed) {
    return {packed.data(), packed.size()};
}

// The bound as the binding builds it: the target's box, the query box
// computed by the search (`query` absent) or given.
template <class T>
std::optional<DistanceBound<T>> make_bound(const BoundInput<T>& in, const Box<T>& target,
                                           const std::optional<Box<T>>& query) {
    switch (in.kind) {
        case 1: return DistanceBound<T>{target, in.value, std::nullopt};
        case 2: return DistanceBound<T>{target, in.value, query};
        case 3: return DistanceBound<T>{in.target, in.value, in.query};
        default: return std::nullopt;
    }
}

template <class T>
const DistanceBound<T>* ptr(const std::optional<DistanceBound<T>>& bound) {
    return bound ? &*bound : nullptr;
}

template <class T>
void fuzz_pack(const Input<T>& in) {
    for (const Cloud<T>* cloud : {&in.x, &in.y}) {
        const StridedView2D<T> view = cloud->points_view();
        const PackedPoints<T> packed = pack_points(view);
        require(packed.size() == view.rows, "packed length");
        for (std::size_t i = 0; i < packed.size(); ++i) {
            for (std::size_t l = 0; l < 3; ++l) require(same(packed[i].lane[l], view(i, l)), "packed lane");
            require(packed[i].lane[3] == T(0) && !std::signbit(packed[i].lane[3]), "pad lane");
        }
    }
}

template <class T>
void fuzz_prepare(const Input<T>& in) {
    const PreparedGraph<T> g = prepare_graph(in.y.points_view(), in.y.indptr_view(),
                                             in.y.indices_view());
    require(g.n == g.points.size(), "prepared point count");
    require(g.indptr.size() == in.y.indptr_view().size(), "prepared indptr length");
    for (std::size_t i = 0; i < g.indptr.size(); ++i) {
        require(g.indptr[i] == in.y.indptr_view()[i], "prepared indptr copy");
    }
    require(g.indices.size() == in.y.indices_view().size(), "prepared indices length");
}

// Runs one search on array operands (nullopt when it is not to run) and on
// prepared ones. Where both answer, they agree bit for bit; where one fails
// with the overflow message, so does the other, unless the array operands
// failed first for their layout.
template <class T, class Result, class OnArrays, class OnPrepared>
void arrays_and_prepared(PointSpan<T> x, PointSpan<T> y, OnArrays&& on_arrays,
                         OnPrepared&& on_prepared) {
    std::optional<Result> arrays;
    bool overflowed = false;
    try {
        arrays = on_arrays();
    } catch (const CoreError&) {
    } catch (const InputError& e) {
        check_overflow(e, x, y);
        overflowed = true;
    }
    try {
        const Result prepared = on_prepared();
        require(!overflowed, "prepared operands answer where array operands overflow");
        if (arrays) check_same(*arrays, prepared);
    } catch (const InputError& e) {
        check_overflow(e, x, y);
        require(!arrays, "array operands answer where prepared operands overflow");
    }
}

// The k = 1 search on arrays (query box computed) and on prepared graphs
// (query box given).
template <class T>
void fuzz_search_pruned(const Input<T>& in) {
    const PackedPoints<T> xp = pack_points(in.x.points_view());
    const PackedPoints<T> yp = pack_points(in.y.points_view());
    const GraphView<T> x = view_of(xp, in.x), y = view_of(yp, in.y);
    const auto bound = make_bound(in.bound, bounding_box(span_of(yp)),
                                  std::optional<Box<T>>(bounding_box(span_of(xp))));
    const PreparedGraph<T> px = prepare_graph(in.x.points_view(), in.x.indptr_view(),
                                              in.x.indices_view());
    const PreparedGraph<T> py = prepare_graph(in.y.points_view(), in.y.indptr_view(),
                                              in.y.indices_view());
    auto given = make_bound(in.bound, py.box(), std::optional<Box<T>>(px.box()));
    if (given && in.bound.kind == 1) given->query = px.box();
    arrays_and_prepared<T, NearestResult<T>>(
        span_of(xp), span_of(yp),
        [&]() -> std::optional<NearestResult<T>> {
            NearestResult<T> r = search_pruned(x, y, ptr(bound));
            check_nearest(r, x, y, ptr(bound));
            return r;
        },
        [&] {
            // The prepared operands bring their kept plan and stop limits;
            // the answers must not change.
            NearestResult<T> r = search_pruned(px.view(), py.view(), ptr(given),
                                               px.query_plan.get(), py.stop_cache.get());
            check_nearest(r, px.view(), py.view(), ptr(given));
            return r;
        });
}

// Each row: distinct target points whose reported distances are their
// distances from the query point, within the bound and ascending (unless a
// NaN is among them), then miss markers; at most ef points (ef > 0), at
// least one without a bound (k > 0).
template <class T>
void check_knn(const KnnResult<T>& r, const GraphView<T>& x, const GraphView<T>& y,
               std::size_t k, std::size_t ef, const DistanceBound<T>* bound) {
    const std::size_t n = x.indptr.size() - 1;
    require(r.rows == n && r.cols == k, "k result shape");
    require(r.distances.size() == n * k && r.indices.size() == n * k, "k result length");
    const std::size_t ny = y.points.size();
    for (std::size_t i = 0; i < n; ++i) {
        const T* d = r.distances.data() + i * k;
        const std::size_t* idx = r.indices.data() + i * k;
        std::size_t filled = 0;
        bool nan = false;
        for (std::size_t j = 0; j < k; ++j) {
            require(idx[j] <= ny, "k index beyond the target");
            if (idx[j] == ny) {
                require(d[j] == std::numeric_limits<T>::infinity(), "k miss marker distance");
                continue;
            }
            require(filled++ == j, "k miss before a hit");
            require(i < x.points.size(), "k answer for a query point that does not exist");
            const T d2 = dist2(y.points[idx[j]], x.points[i]);
            require(same(d[j], std::sqrt(d2)), "k reported distance");
            require(!(d2 == std::numeric_limits<T>::infinity() && finite3(y.points[idx[j]]) &&
                      finite3(x.points[i])),
                    "k answer at an overflowing distance");
            if (bound != nullptr) require(!(d2 > bound->bound * bound->bound), "k beyond the bound");
            require(std::find(idx, idx + j, idx[j]) == idx + j, "k row repeats a point");
            nan = nan || std::isnan(d[j]);
        }
        require(ef == 0 || filled <= ef, "k row longer than ef");
        require(bound != nullptr || k == 0 || filled > 0, "k row empty without a bound");
        require(nan || std::is_sorted(d, d + filled), "k row not ascending");
    }
}

// The k-nearest search on arrays (query box computed) and on prepared
// graphs (query box given).
template <class T>
void fuzz_search_k(const Input<T>& in) {
    const PackedPoints<T> xp = pack_points(in.x.points_view());
    const PackedPoints<T> yp = pack_points(in.y.points_view());
    const GraphView<T> x = view_of(xp, in.x), y = view_of(yp, in.y);
    const auto bound = make_bound(in.bound, bounding_box(span_of(yp)),
                                  std::optional<Box<T>>(bounding_box(span_of(xp))));
    const std::size_t k = in.sizes.k, ef = in.sizes.ef;
    const PreparedGraph<T> px = prepare_graph(in.x.points_view(), in.x.indptr_view(),
                                              in.x.indices_view());
    const PreparedGraph<T> py = prepare_graph(in.y.points_view(), in.y.indptr_view(),
                                              in.y.indices_view());
    auto given = make_bound(in.bound, py.box(), std::optional<Box<T>>(px.box()));
    if (given && in.bound.kind == 1) given->query = px.box();
    arrays_and_prepared<T, KnnResult<T>>(
        span_of(xp), span_of(yp),
        [&]() -> std::optional<KnnResult<T>> {
            if (in.x.huge_lists() || in.y.huge_lists()) return std::nullopt;
            KnnResult<T> r = search_k(x, y, k, ef, ptr(bound));
            check_knn(r, x, y, k, ef, ptr(bound));
            return r;
        },
        [&] {
            KnnResult<T> r = search_k(px.view(), py.view(), k, ef, ptr(given),
                                      px.query_plan.get());
            check_knn(r, px.view(), py.view(), k, ef, ptr(given));
            return r;
        });
}

// The blocked descent, likewise. The query's graph edges are never read,
// only the length of its indptr.
template <class T>
void fuzz_search_blocked(const Input<T>& in) {
    const PackedPoints<T> xp = pack_points(in.x.points_view());
    const PackedPoints<T> yp = pack_points(in.y.points_view());
    const GraphView<T> x = view_of(xp, in.x), y = view_of(yp, in.y);
    const auto bound = make_bound(in.bound, bounding_box(span_of(yp)),
                                  std::optional<Box<T>>(bounding_box(span_of(xp))));
    const std::size_t block = in.sizes.block;
    const PreparedGraph<T> px = prepare_graph(in.x.points_view(), in.x.indptr_view(),
                                              in.x.indices_view());
    const PreparedGraph<T> py = prepare_graph(in.y.points_view(), in.y.indptr_view(),
                                              in.y.indices_view());
    auto given = make_bound(in.bound, py.box(), std::optional<Box<T>>(px.box()));
    if (given && in.bound.kind == 1) given->query = px.box();
    arrays_and_prepared<T, NearestResult<T>>(
        span_of(xp), span_of(yp),
        [&]() -> std::optional<NearestResult<T>> {
            if (in.y.huge_lists()) return std::nullopt;
            NearestResult<T> r = search_blocked(x, y, block, ptr(bound));
            check_nearest(r, x, y, ptr(bound));
            return r;
        },
        [&] {
            NearestResult<T> r = search_blocked(px.view(), py.view(), block, ptr(given),
                                                py.stop_cache.get());
            check_nearest(r, px.view(), py.view(), ptr(given));
            return r;
        });
}

// ---------------------------------------------------------------------------
// Morton order

// The cell of a coordinate as documented: (c - lo) / ext * (2^21 - 1),
// truncated with saturation (NaN and negative give 0), low 21 bits.
std::uint64_t model_cell(double c, double lo, double ext) {
    const double t = (c - lo) / ext * 2097151.0;
    if (!(t > 0.0)) return 0;
    if (t >= 0x1p64) return 0x1FFFFF;
    return static_cast<std::uint64_t>(t) & 0x1FFFFF;
}

// Bit b of the x, y, z cells goes to key bit 3b, 3b + 1, 3b + 2.
std::vector<std::uint64_t> model_keys(const std::vector<Coord3>& points) {
    double lo[3], ext[3];
    for (int a = 0; a < 3; ++a) {
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (const Coord3& p : points) {
            if (std::isnan(p[a])) continue;
            low = std::min(low, p[a]);
            high = std::max(high, p[a]);
        }
        lo[a] = low;
        ext[a] = high - low == 0.0 ? 1.0 : high - low;
    }
    std::vector<std::uint64_t> keys;
    for (const Coord3& p : points) {
        std::uint64_t key = 0;
        for (int a = 0; a < 3; ++a) {
            const std::uint64_t cell = model_cell(p[a], lo[a], ext[a]);
            for (int b = 0; b < 21; ++b) key |= ((cell >> b) & 1) << (3 * b + a);
        }
        keys.push_back(key);
    }
    return keys;
}

template <class T>
std::vector<Coord3> widened(const PackedPoints<T>& a, const PackedPoints<T>& b) {
    std::vector<Coord3> out;
    for (const PackedPoints<T>* cloud : {&a, &b}) {
        for (const Vec4<T>& p : *cloud) out.push_back({p.lane[0], p.lane[1], p.lane[2]});
    }
    return out;
}

// A permutation of both clouds' points that puts their keys in order.
template <class T>
void fuzz_morton(const Input<T>& in) {
    const std::vector<Coord3> points = widened(pack_points(in.x.points_view()),
                                               pack_points(in.y.points_view()));
    if (points.empty()) return;  // at least one point is required
    const Buffer<std::size_t> perm = morton_perm({points.data(), points.size()});
    require(perm.size() == points.size(), "morton perm length");
    std::vector<std::size_t> sorted(perm.begin(), perm.end());
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); ++i) require(sorted[i] == i, "morton perm");
    const std::vector<std::uint64_t> keys = model_keys(points);
    for (std::size_t s = 1; s < perm.size(); ++s) {
        require(keys[perm[s - 1]] <= keys[perm[s]], "morton keys out of order");
    }
}

// ---------------------------------------------------------------------------
// Grouped query sets

using py::PermView;

// The perm views the binding would hand over, over stores this owns.
class Perms {
public:
    explicit Perms(const PermsInput& in) {
        for (const PermInput& p : in.query) query_.push_back(view(p));
        target_ = view(in.target);
    }
    const std::vector<PermView>& query() const { return query_; }
    const PermView& target() const { return target_; }

private:
    PermView view(const PermInput& p) {
        if (!p.present) return std::nullopt;
        stores_.push_back(std::make_unique<StridedStore<std::int64_t>>(
            p.values, p.values.size(), 1, decode_layout_1d(p.layout, p.values.size())));
        return stores_.back()->view_1d();
    }

    std::vector<std::unique_ptr<StridedStore<std::int64_t>>> stores_;
    std::vector<PermView> query_;
    PermView target_;
};

template <class T>
void check_grouped_set(const py::GroupedQuerySet<T>& set, const PackedPoints<T>& x,
                       const PackedPoints<T>& y, const std::vector<PermView>& perms) {
    const std::size_t n = x.size() + y.size();
    require(set.n_points() == n && set.perm.size() == n && set.n_clouds() == 2, "set size");
    require(set.offsets[0] == 0 && set.offsets[1] == x.size() && set.offsets[2] == n,
            "set offsets");
    std::vector<bool> seen(n, false);
    for (std::size_t s = 0; s < n; ++s) {
        const std::size_t c = set.perm[s];
        require(c < n && !seen[c], "set perm");
        seen[c] = true;
        const Vec4<T>& want = c < x.size() ? x[c] : y[c - x.size()];
        require(std::memcmp(&set.points[s], &want, sizeof want) == 0, "set points");
    }
    require(set.query_perms.size() == perms.size(), "set perm count");
    for (std::size_t c = 0; c < perms.size(); ++c) {
        require(set.query_perms[c].has_value() == perms[c].has_value(), "set perm presence");
        if (!perms[c]) continue;
        require(set.query_perms[c]->size() == perms[c]->size(), "set perm copy length");
        for (std::size_t i = 0; i < perms[c]->size(); ++i) {
            require((*set.query_perms[c])[i] == (*perms[c])[i], "set perm copy");
        }
    }
}

std::string index_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

// One search's answers, or its failure message, comparable bit for bit.
template <class T>
struct Answer {
    std::string failure;
    std::vector<T> distances;
    std::vector<std::size_t> indices;

    template <class Result>
    static Answer of(const Result& r) {
        return {"", std::vector<T>(r.distances.begin(), r.distances.end()),
                std::vector<std::size_t>(r.indices.begin(), r.indices.end())};
    }

    bool operator==(const Answer& o) const {
        if (failure != o.failure || indices != o.indices ||
            distances.size() != o.distances.size()) {
            return false;
        }
        for (std::size_t i = 0; i < distances.size(); ++i) {
            if (!same(distances[i], o.distances[i])) return false;
        }
        return true;
    }
};

// The finalized answers, or the failure message, as documented: scatter to
// concatenated order, then per cloud through its query perm (whose used
// entries must be a permutation of the cloud's positions), with hits mapped
// through the target perm.
template <class T>
Answer<T> model_finalize(const py::GroupedQuerySet<T>& set, const NearestResult<T>& raw,
                            const std::vector<PermView>& perms, const PermView& target,
                            std::size_t ny) {
    const std::size_t n = set.n_points();
    std::vector<T> cd(n);
    std::vector<std::size_t> ci(n);
    for (std::size_t s = 0; s < n; ++s) {
        cd[set.perm[s]] = raw.distances[s];
        ci[set.perm[s]] = raw.indices[s];
    }
    Answer<T> out{"", std::vector<T>(n), std::vector<std::size_t>(n)};
    for (std::size_t c = 0; c < set.n_clouds(); ++c) {
        const std::size_t start = set.offsets[c], size = set.offsets[c + 1] - start;
        const PermView perm = c < perms.size() ? perms[c] : std::nullopt;
        std::vector<bool> taken(size, false);
        for (std::size_t i = 0; i < size; ++i) {
            std::size_t t = i;
            if (perm) {
                if (i >= perm->size()) return {index_message(perm->size(), i), {}, {}};
                t = static_cast<std::size_t>((*perm)[i]);
                if (t >= size) return {index_message(size, t), {}, {}};
                if (taken[t]) {
                    return {"query perm of cloud " + std::to_string(c) + " repeats the index " +
                                std::to_string(t),
                            {}, {}};
                }
                taken[t] = true;
            }
            std::size_t r = ci[start + i];
            if (r >= ny) {
                r = ny;
            } else if (target) {
                if (r >= target->size()) return {index_message(target->size(), r), {}, {}};
                r = static_cast<std::size_t>((*target)[r]);
            }
            out.distances[start + t] = cd[start + i];
            out.indices[start + t] = r;
        }
    }
    return out;
}

// What the binding's grouped view is: the set's points with n_points + 1
// zero offsets (one zero, stride 0) and no neighbour ids.
template <class T>
GraphView<T> grouped_view(const py::GroupedQuerySet<T>& set) {
    static constexpr std::uint32_t zero = 0;
    return {PointSpan<T>(set.points.data(), set.points.size()),
            IndexView{reinterpret_cast<const std::byte*>(&zero), set.n_points() + 1, 0},
            IndexView{}};
}

// The grouped set of both clouds, its blocked descent against y (query box
// computed, as the binding does) and the finalization, checked against the
// model above.
template <class T>
void fuzz_grouped(const Input<T>& in) {
    const PackedPoints<T> xp = pack_points(in.x.points_view());
    const PreparedGraph<T> py = prepare_graph(in.y.points_view(), in.y.indptr_view(),
                                              in.y.indices_view());
    const Perms perms(in.perms);
    const PointSpan<T> clouds[] = {span_of(xp), span_of(py.points)};
    const py::GroupedQuerySet<T> set = py::build_grouped_set<T>(clouds, perms.query());
    check_grouped_set(set, xp, py.points, perms.query());
    const auto bound = make_bound(in.bound, py.box(), std::optional<Box<T>>());
    const GraphView<T> x = grouped_view(set);
    std::optional<NearestResult<T>> searched;
    try {
        searched = search_blocked(x, py.view(), in.sizes.block, ptr(bound));
    } catch (const InputError& e) {
        check_overflow(e, x.points, py.view().points);
        return;
    }
    NearestResult<T> raw = std::move(*searched);
    check_nearest(raw, x, py.view(), ptr(bound));
    const std::size_t ny = py.points.size();
    const Answer<T> want = model_finalize(set, raw, perms.query(), perms.target(), ny);
    try {
        const NearestResult<T> got = py::finalize_grouped(set, std::move(raw), perms.target(), ny);
        require(want.failure.empty(), "finalized what the model rejects");
        for (std::size_t i = 0; i < set.n_points(); ++i) {
            require(same(got.distances[i], want.distances[i]) && got.indices[i] == want.indices[i],
                    "finalized answers differ from the model");
        }
    } catch (const CoreError& e) {
        require(want.failure == e.what(), "finalize fails unlike the model");
    }
}

// ---------------------------------------------------------------------------
// Shared graphs

template <class T, class Search>
Answer<T> answer(Search&& search) {
    try {
        return Answer<T>::of(search());
    } catch (const CoreError& e) {
        return {e.what(), {}, {}};
    } catch (const InputError& e) {
        return {e.what(), {}, {}};
    } catch (const std::bad_alloc&) {
        return {"bad_alloc", {}, {}};
    }
}

// Everything a search may share with others: both prepared graphs (each the
// target of some searches and the query of others, so that their kept plans
// and stop limits are worked out by whichever search comes first) and the
// grouped set of both clouds.
template <class T>
struct Shared {
    PreparedGraph<T> x, y;
    std::optional<py::GroupedQuerySet<T>> set;

    Shared(const Input<T>& in, const Perms& perms)
        : x(prepare_graph(in.x.points_view(), in.x.indptr_view(), in.x.indices_view())),
          y(prepare_graph(in.y.points_view(), in.y.indptr_view(), in.y.indices_view())) {
        const PointSpan<T> clouds[] = {span_of(x.points), span_of(y.points)};
        try {
            set.emplace(py::build_grouped_set<T>(clouds, perms.query()));
        } catch (const CoreError&) {
        }
    }
};

constexpr std::size_t kSharedSearches = 5;

// Search `which` of the shared operands, with the caches a binding passes.
template <class T>
Answer<T> shared_search(const Shared<T>& s, const Input<T>& in, const Perms& perms,
                        std::size_t which) {
    const Sizes& sizes = in.sizes;
    auto bound = [&](const PreparedGraph<T>& target, const PreparedGraph<T>& query) {
        auto b = make_bound(in.bound, target.box(), std::optional<Box<T>>(query.box()));
        if (b && in.bound.kind == 1) b->query = query.box();
        return b;
    };
    switch (which) {
        case 0: {
            const auto b = bound(s.y, s.x);
            return answer<T>([&] {
                return search_pruned(s.x.view(), s.y.view(), ptr(b), s.x.query_plan.get(),
                                     s.y.stop_cache.get());
            });
        }
        case 1: {
            const auto b = bound(s.x, s.y);
            return answer<T>([&] {
                return search_pruned(s.y.view(), s.x.view(), ptr(b), s.y.query_plan.get(),
                                     s.x.stop_cache.get());
            });
        }
        case 2: {
            const auto b = bound(s.y, s.x);
            return answer<T>([&] {
                return search_k(s.x.view(), s.y.view(), sizes.k, sizes.ef, ptr(b),
                                s.x.query_plan.get());
            });
        }
        case 3: {
            const auto b = bound(s.y, s.x);
            return answer<T>([&] {
                return search_blocked(s.x.view(), s.y.view(), sizes.block, ptr(b),
                                      s.y.stop_cache.get());
            });
        }
        default: {
            if (!s.set) return {"no grouped set", {}, {}};
            const auto b = make_bound(in.bound, s.y.box(), std::optional<Box<T>>());
            return answer<T>([&] {
                NearestResult<T> raw = search_blocked(grouped_view(*s.set), s.y.view(),
                                                      sizes.block, ptr(b), s.y.stop_cache.get());
                return py::finalize_grouped(*s.set, std::move(raw), perms.target(),
                                            s.y.points.size());
            });
        }
    }
}

// The same searches from TEVU_FUZZ_THREADS threads at once on one set of
// shared operands, released together, each thread starting at another
// search, so that first uses meet; every answer must equal that of the same
// search on operands of its own, made one after the other. The build with
// ThreadSanitizer (fuzz/build.sh thread) runs this alone, where any access to
// shared state that is not ordered is a finding too.
template <class T>
void fuzz_shared(const Input<T>& in) {
#ifdef TEVU_FUZZ_THREADS
    constexpr std::size_t threads = TEVU_FUZZ_THREADS;
#else
    constexpr std::size_t threads = 4;
#endif
    const Perms perms(in.perms);
    std::vector<Answer<T>> want;
    {
        const Shared<T> own(in, perms);
        for (std::size_t w = 0; w < kSharedSearches; ++w) {
            want.push_back(shared_search(own, in, perms, w));
        }
    }
    const Shared<T> shared(in, perms);
    std::vector<std::vector<Answer<T>>> got(threads, std::vector<Answer<T>>(kSharedSearches));
    std::latch start(threads);
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            start.arrive_and_wait();
            for (std::size_t i = 0; i < kSharedSearches; ++i) {
                const std::size_t w = (t + i) % kSharedSearches;
                got[t][w] = shared_search(shared, in, perms, w);
            }
        });
    }
    for (std::thread& t : pool) t.join();
    for (const auto& answers : got) {
        for (std::size_t w = 0; w < kSharedSearches; ++w) {
            require(answers[w] == want[w], "a search on shared graphs differs from one alone");
        }
    }
}

// Every search of the core, run on every input in each precision. Adding
// one is a function like those above and a line here.
template <class T>
using Op = void (*)(const Input<T>&);

#ifdef TEVU_FUZZ_THREADS
// The ThreadSanitizer build runs only what shares graphs between threads.
template <class T>
constexpr Op<T> kOps[] = {fuzz_shared<T>};
#else
template <class T>
constexpr Op<T> kOps[] = {
    fuzz_pack<T>,
    fuzz_prepare<T>,
    fuzz_search_pruned<T>,
    fuzz_search_k<T>,
    fuzz_search_blocked<T>,
    fuzz_morton<T>,
    fuzz_grouped<T>,
};
#endif

// TEVU_FUZZ_TRACE=1 prints what each entry point made of an input (to see
// what a seed exercises: build/fuzz/fuzz_core fuzz/corpus/*).
const bool kTrace = std::getenv("TEVU_FUZZ_TRACE") != nullptr;

void trace(const char* what, std::size_t index, const char* outcome) {
    if (kTrace) std::fprintf(stderr, "  %s %zu: %s\n", what, index, outcome);
}

template <class T>
void run_all(const Input<T>& in) {
    const char* precision = sizeof(T) == 4 ? "f32 op" : "f64 op";
    std::size_t index = 0;
    for (Op<T> op : kOps<T>) {
        try {
            op(in);
            trace(precision, index, "ok");
        } catch (const CoreError& e) {
            trace(precision, index, e.what());  // the answer to malformed input
        } catch (const InputError& e) {
            // Points too far apart (checked where the search's points are known).
            require(std::string(e.what()) == kDistanceOverflow, "another ValueError");
            trace(precision, index, e.what());
        }
        ++index;
    }
}

// ---------------------------------------------------------------------------
// graph_from_simplices

void check_simplex_graph(const CsrGraph& g, const StridedView2D<std::uint64_t>& simplices,
                         std::size_t n_points) {
    std::vector<std::set<std::uint32_t>> want(n_points);
    for (std::size_t t = 0; t < simplices.rows; ++t) {
        for (std::size_t a = 0; a < 4; ++a) {
            for (std::size_t b = 0; b < 4; ++b) {
                if (a != b) want[simplices(t, a)].insert(static_cast<std::uint32_t>(simplices(t, b)));
            }
        }
    }
    require(g.indptr.size() == n_points + 1 && g.indptr[0] == 0, "simplex graph indptr");
    require(g.indptr[n_points] == g.indices.size(), "simplex graph length");
    for (std::size_t v = 0; v < n_points; ++v) {
        require(g.indptr[v] <= g.indptr[v + 1], "simplex graph offsets");
        const std::set<std::uint32_t> got(g.indices.begin() + g.indptr[v],
                                          g.indices.begin() + g.indptr[v + 1]);
        require(got.size() == g.indptr[v + 1] - g.indptr[v] && got == want[v] &&
                    std::is_sorted(g.indices.begin() + g.indptr[v],
                                   g.indices.begin() + g.indptr[v + 1]),
                "simplex graph neighbours");
    }
}

void fuzz_simplices(Bytes& in) {
    const std::size_t rows = in.below(17);
    const std::size_t cols = decode_cols(in) + 1;  // mostly four
    const std::uint8_t layout = in.u8();
    const std::uint8_t n_kind = in.u8();
    constexpr std::size_t huge_n[] = {(std::size_t{1} << 32) + 1, kHuge, SIZE_MAX};
    const std::size_t small_n = n_kind % 33;
    const std::size_t n_points = n_kind >= 240 ? huge_n[n_kind % 3] : small_n;
    std::vector<std::uint64_t> ids(rows * cols);
    for (auto& id : ids) {
        const std::uint8_t b = in.u8();
        id = b < 240 ? b % (small_n + 2) : in.u64();
    }
    const StridedStore<std::uint64_t> store(ids, rows, cols, decode_layout_2d(layout, rows, cols));
    const StridedView2D<std::uint64_t> view = store.view_2d();
    try {
        const CsrGraph g = graph_from_simplices(view, n_points);
        check_simplex_graph(g, view, n_points);
        trace("simplices", 0, "ok");
    } catch (const CoreError& e) {
        trace("simplices", 0, e.what());
    }
}

// The graph's form: n + 1 offsets, ascending distinct ids below n without
// self-loops, symmetric. For clouds on the half-unit grid (scaled by a power
// of two), where every distance is exact, a greedy descent from vertex 0
// must also reach each point itself.
template <class T>
void check_delaunay_graph(const CsrGraph& g, const std::vector<T>& xyz, bool exact_distances) {
    const std::size_t n = xyz.size() / 3;
    require(g.indptr.size() == n + 1 && g.indptr[0] == 0 && g.indptr[n] == g.indices.size(),
            "delaunay: offsets");
    std::set<std::pair<std::uint32_t, std::uint32_t>> edges;
    for (std::size_t v = 0; v < n; ++v) {
        require(g.indptr[v] <= g.indptr[v + 1], "delaunay: offsets decrease");
        for (std::uint32_t s = g.indptr[v]; s < g.indptr[v + 1]; ++s) {
            const std::uint32_t w = g.indices[s];
            require(w < n && w != v, "delaunay: id out of range or self-loop");
            require(s == g.indptr[v] || g.indices[s - 1] < w, "delaunay: list not ascending");
            edges.insert({static_cast<std::uint32_t>(v), w});
        }
    }
    for (const auto& [v, w] : edges) require(edges.count({w, v}) == 1, "delaunay: not symmetric");
    if (!exact_distances) return;
    auto d2 = [&](std::size_t a, std::size_t b) {
        double s = 0;
        for (int k = 0; k < 3; ++k) {
            const double d = static_cast<double>(xyz[3 * a + k]) - static_cast<double>(xyz[3 * b + k]);
            s += d * d;
        }
        return s;
    };
    for (std::size_t q = 0; q < n; ++q) {
        std::size_t cur = 0;
        for (bool moved = true; moved;) {
            moved = false;
            for (std::uint32_t s = g.indptr[cur]; s < g.indptr[cur + 1]; ++s) {
                if (d2(g.indices[s], q) < d2(cur, q)) {
                    cur = g.indices[s];
                    moved = true;
                }
            }
        }
        require(d2(cur, q) == 0.0, "delaunay: greedy descent misses a point");
    }
}

// The first row with a coordinate that scaling the cloud's largest
// magnitude into [1, 2) would round (finite clouds only), or SIZE_MAX.
template <class T>
std::size_t first_unscalable(const std::vector<T>& xyz) {
    double largest = 0.0;
    for (const T v : xyz) largest = std::max(largest, std::fabs(static_cast<double>(v)));
    if (largest == 0.0) return SIZE_MAX;
    const int e = std::ilogb(largest);
    for (std::size_t i = 0; i < xyz.size(); ++i) {
        const double c = static_cast<double>(xyz[i]);
        if (std::ldexp(std::ldexp(c, -e), e) != c) return i / 3;
    }
    return SIZE_MAX;
}

// Delaunay graphs of hostile clouds: mostly points of the half-unit grid
// (exact ties everywhere, duplicates, coplanar and collinear sets) scaled by
// a power of two between 2^-256 and 2^256, else specials and raw bits.
void fuzz_delaunay(Bytes& in) {
    const std::size_t rows = in.below(41);
    const std::size_t cols = decode_cols(in);
    const std::uint8_t layout = in.u8();
    const int exponent = static_cast<int>(in.below(9)) * 64 - 256;
    const bool single = in.u8() >= 192;
    const std::size_t workers = 1 + in.below(3);
    std::vector<double> values(rows * cols);
    bool on_grid = true;
    for (double& v : values) {
        const std::uint8_t kind = in.u8();
        if (kind < 200) {
            v = std::ldexp((static_cast<int>(kind % 17) - 8) * 0.5, exponent);
        } else {
            on_grid = false;
            v = in.value<double>();
        }
    }
    auto run = [&](const auto& typed) {
        using T = typename std::decay_t<decltype(typed)>::value_type;
        const StridedStore<T> store(typed, rows, cols, decode_layout_2d(layout, rows, cols));
        const StridedView2D<T> view = store.view_2d();
        std::vector<T> xyz;
        std::size_t first_bad = SIZE_MAX;
        if (view.rows != kHuge && cols >= 3) {
            for (std::size_t r = 0; r < view.rows; ++r) {
                for (std::size_t k = 0; k < 3; ++k) {
                    xyz.push_back(view(r, k));
                    if (!std::isfinite(xyz.back()) && first_bad == SIZE_MAX) first_bad = r;
                }
            }
        }
        try {
            CsrGraph g;
            if constexpr (sizeof(T) == 4) {
                g = delaunay_graph_f32(view, workers);
            } else {
                g = delaunay_graph_f64(view, workers);
            }
            require(first_bad == SIZE_MAX && view.rows != kHuge, "delaunay: accepted bad input");
            require(first_unscalable(xyz) == SIZE_MAX, "delaunay: accepted an unscalable cloud");
            check_delaunay_graph(g, xyz, on_grid);
            trace("delaunay", 0, "ok");
        } catch (const InputError& e) {
            if (first_bad == SIZE_MAX) first_bad = first_unscalable(xyz);
            require(first_bad != SIZE_MAX, "delaunay: ValueError without a bad row");
            require(std::string(e.what()).starts_with("points: row " + std::to_string(first_bad) + " "),
                    "delaunay: the message names another row");
            trace("delaunay", 0, e.what());
        } catch (const CoreError& e) {
            trace("delaunay", 0, e.what());
        }
    };
    if (single) {
        run(std::vector<float>(values.begin(), values.end()));
    } else {
        run(values);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes f32(data, size), f64(data, size);
    run_all(Input<float>(f32));
    run_all(Input<double>(f64));
#ifndef TEVU_FUZZ_THREADS
    fuzz_simplices(f64);
    fuzz_delaunay(f64);
#endif
    return 0;
}

// libFuzzer target for the search core.
//
// Raw bytes become two small point clouds (coordinates include NaN, inf and
// arbitrary bit patterns) with CSR graphs that are often malformed on
// purpose, laid out in memory as NumPy could hand them in (strided,
// reversed, broadcast, misaligned, or broadcast to a length no allocation
// can hold), a distance bound, k / ef / block, and a list of tetrahedra.
// Every core entry point then runs on them in both precisions. A CoreError
// is the expected answer to malformed input; any other exception, a
// sanitizer report or a result that breaks the invariants checked below
// is a finding.
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
//   tetrahedra: u8 rows, u8 column choice, u8 layout, u8 n_points kind, ids
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
#include <limits>
#include <optional>
#include <set>
#include <vector>

#include "core/errors.hpp"
#include "core/graph.hpp"
#include "core/greedy.hpp"
#include "core/points.hpp"
#include "core/simplex_graph.hpp"

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

// k, ef and block: small, or one of them huge.
struct Sizes {
    std::size_t k = 0, ef = 0, block = 0;
};

Sizes decode_sizes(Bytes& in) {
    const std::uint8_t kind = in.u8();
    Sizes s{in.below(kMaxSmallSize + 1), in.below(2 * kMaxSmallSize + 1),
            in.below(2 * kMaxSmallSize + 1)};
    constexpr std::size_t huge[] = {kHuge, SIZE_MAX, SIZE_MAX / 2 + 1};
    if (kind >= 250) {
        std::size_t* field[] = {&s.k, &s.ef, &s.block};
        *field[kind % 3] = huge[(kind / 3) % 3];
    }
    return s;
}

template <class T>
struct Input {
    Cloud<T> x;
    Cloud<T> y;
    BoundInput<T> bound;
    Sizes sizes;
};

template <class T>
Input<T> decode_input(Bytes& in) {
    // A braced list is evaluated left to right: x, y, bound, sizes.
    return Input<T>{Cloud<T>::decode(in), Cloud<T>::decode(in), decode_bound<T>(in),
                    decode_sizes(in)};
}

// ---------------------------------------------------------------------------
// Checks

template <class T>
bool same(T a, T b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Every answer is the miss marker (only with a bound) or a target point
// whose reported distance is the distance from its query point, within the
// bound.
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
            require(bound != nullptr, "miss without a bound");
            require(d == std::numeric_limits<T>::infinity(), "miss marker distance");
            continue;
        }
        require(i < x.points.size(), "answer for a query point that does not exist");
        require(same(d, std::sqrt(dist2(y.points[idx], x.points[i]))), "reported distance");
        if (bound != nullptr) require(!(d * d > bound->bound * bound->bound), "beyond the bound");
    }
}

template <class T>
void check_same(const NearestResult<T>& a, const NearestResult<T>& b) {
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

// The k = 1 search on arrays (query box computed) and on prepared graphs
// (query box given); where both succeed they must agree bit for bit.
template <class T>
void fuzz_search_pruned(const Input<T>& in) {
    const PackedPoints<T> xp = pack_points(in.x.points_view());
    const PackedPoints<T> yp = pack_points(in.y.points_view());
    const GraphView<T> x = view_of(xp, in.x), y = view_of(yp, in.y);
    const auto bound = make_bound(in.bound, bounding_box(span_of(yp)),
                                  std::optional<Box<T>>(bounding_box(span_of(xp))));
    std::optional<NearestResult<T>> arrays;
    try {
        arrays = search_pruned(x, y, ptr(bound));
        check_nearest(*arrays, x, y, ptr(bound));
    } catch (const CoreError&) {
    }
    const PreparedGraph<T> px = prepare_graph(in.x.points_view(), in.x.indptr_view(),
                                              in.x.indices_view());
    const PreparedGraph<T> py = prepare_graph(in.y.points_view(), in.y.indptr_view(),
                                              in.y.indices_view());
    auto given = make_bound(in.bound, py.box(), std::optional<Box<T>>(px.box()));
    if (given && in.bound.kind == 1) given->query = px.box();
    const NearestResult<T> prepared = search_pruned(px.view(), py.view(), ptr(given));
    check_nearest(prepared, px.view(), py.view(), ptr(given));
    if (arrays) check_same(*arrays, prepared);
}

// Every search of the core, run on every input in each precision. Adding
// one is a function like those above and a line here.
template <class T>
using Op = void (*)(const Input<T>&);

template <class T>
constexpr Op<T> kOps[] = {
    fuzz_pack<T>,
    fuzz_prepare<T>,
    fuzz_search_pruned<T>,
};

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes f32(data, size), f64(data, size);
    run_all(decode_input<float>(f32));
    run_all(decode_input<double>(f64));
    fuzz_simplices(f64);
    return 0;
}

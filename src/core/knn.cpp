#include "knn.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

namespace tevu {
namespace {

// The IEEE total order of a float (-NaN < -inf < ... < -0 < +0 < ... < +inf
// < +NaN) as a signed integer: negative patterns count down from the sign
// bit, so flipping every bit but the sign makes them ascend. NaN distances
// thus get a fixed place in the heap instead of breaking its invariant.
template <class T>
auto total_order_key(T value) noexcept {
    using Bits = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
    static_assert(sizeof(Bits) == sizeof(T));
    Bits bits = std::bit_cast<Bits>(value);
    if (bits < 0) bits ^= std::numeric_limits<Bits>::max();
    return bits;
}

template <class T>
auto key_of(const HeapItem<T>& item) noexcept {
    return total_order_key(item.distance);
}

// Binary min-heap of candidates (children of slot i at 2i+1 and 2i+2),
// ordered by distance alone. The exact moves of push and pop decide which of
// several equally distant candidates is expanded first, so they are fixed.
template <class T>
class CandidateHeap {
public:
    void reserve(std::size_t n) { items_.reserve(n); }
    void clear() noexcept { items_.clear(); }
    bool empty() const noexcept { return items_.empty(); }

    void push(const HeapItem<T>& item) {
        items_.push_back(item);
        sift_up(items_.size() - 1);
    }

    // Takes out the last entry, moves a hole from the root to the bottom
    // along the smaller children (the right one on equal keys), and puts the
    // taken-out entry into the hole before sifting it up.
    HeapItem<T> pop() {
        const HeapItem<T> last = items_.back();
        items_.pop_back();
        if (items_.empty()) return last;
        const HeapItem<T> top = items_[0];
        const std::size_t size = items_.size();
        std::size_t hole = 0;
        std::size_t child = 1;
        while (child + 1 < size) {
            if (!(key_of(items_[child]) < key_of(items_[child + 1]))) ++child;
            items_[hole] = items_[child];
            hole = child;
            child = 2 * hole + 1;
        }
        if (child + 1 == size) {
            items_[hole] = items_[child];
            hole = child;
        }
        items_[hole] = last;
        sift_up(hole);
        return top;
    }

private:
    void sift_up(std::size_t pos) {
        const HeapItem<T> item = items_[pos];
        const auto key = key_of(item);
        while (pos > 0) {
            const std::size_t parent = (pos - 1) / 2;
            if (!(key_of(items_[parent]) > key)) break;
            items_[pos] = items_[parent];
            pos = parent;
        }
        items_[pos] = item;
    }

    std::vector<HeapItem<T>> items_;
};

// The slice of `indices` that lists v's neighbours. Decreasing offsets mean
// no neighbours; an offset past the end of `indices` is a slice failure.
struct NeighbourRange {
    std::size_t begin;
    std::size_t end;
};

NeighbourRange neighbours_of(const IndexView& indptr, const IndexView& indices, std::size_t v) {
    const std::size_t lo = indptr.at(v);
    const std::size_t hi = indptr.at(v + 1);
    if (hi < lo) return {lo, lo};
    check_range(lo, hi, indices.size());
    return {lo, hi};
}

// A walk never holds more entries than the target has points, so a huge
// `ef` must not size the initial capacities (nor overflow 4·ef).
std::size_t heap_capacity(std::size_t ef, std::size_t ny) { return ef <= ny / 4 ? 4 * ef : ny; }
std::size_t list_capacity(std::size_t ef, std::size_t ny) { return std::min(ef, ny); }

// Best-first walks over one target, with the state every walk of a call
// reuses: seen-stamps, candidate heap and result list.
template <class T>
class BestFirstWalk {
public:
    BestFirstWalk(const GraphView<T>& y, std::size_t ef) : y_(y), ef_(ef) {
        const std::size_t ny = y.points.size();
        stamps_.assign(ny, 0);
        heap_.reserve(heap_capacity(ef, ny));
        list_.reserve(list_capacity(ef, ny));
    }

    // Walks from `seed` for query point q. Afterwards `results()` holds the
    // best points seen, ascending by squared distance, the seed or better
    // first.
    void run(const Vec4<T>& q, std::size_t seed) {
        next_stamp();
        heap_.clear();
        list_.clear();
        const std::size_t ny = y_.points.size();
        // The seed enters both the heap and the list unconditionally.
        const HeapItem<T> start{dist2(y_.points[checked_index(seed, ny)], q), seed};
        stamps_[seed] = stamp_;
        heap_.push(start);
        list_.push_back(start);
        while (!heap_.empty()) {
            const HeapItem<T> candidate = heap_.pop();
            if (list_.size() == ef_ && candidate.distance > list_.back().distance) break;
            expand(q, candidate.index);
        }
    }

    const std::vector<HeapItem<T>>& results() const noexcept { return list_; }

private:
    // Stamps are never cleared between walks; only a wrap of the counter
    // (after 2^32 - 1 walks) forces clearing them.
    void next_stamp() {
        if (++stamp_ == 0) {
            std::fill(stamps_.begin(), stamps_.end(), 0);
            stamp_ = 1;
        }
    }

    // Looks at v's neighbours in CSR order: each one not yet seen in this
    // walk is stamped and considered; one that is not accepted stays stamped
    // and is not looked at again. Whether a neighbour was seen is
    // unpredictable, so the stamps are tested and set without branching, a
    // chunk at a time, before the unseen ones are measured and considered.
    void expand(const Vec4<T>& q, std::size_t v) {
        constexpr std::size_t kChunk = 64;
        const NeighbourRange range = neighbours_of(y_.indptr, y_.indices, v);
        const std::size_t ny = y_.points.size();
        for (std::size_t begin = range.begin; begin < range.end; begin += kChunk) {
            const std::size_t end = std::min(range.end, begin + kChunk);
            std::size_t unseen[kChunk];
            std::size_t count = 0;
            for (std::size_t e = begin; e < end; ++e) {
                const std::size_t m = checked_index(y_.indices[e], ny);
                unseen[count] = m;
                count += stamps_[m] != stamp_;
                stamps_[m] = stamp_;
            }
            T d2[kChunk];
            for (std::size_t j = 0; j < count; ++j) d2[j] = dist2(y_.points[unseen[j]], q);
            for (std::size_t j = 0; j < count; ++j) consider({d2[j], unseen[j]});
        }
    }

    // With `ef` = 0 the list never counts as full: nothing is ever dropped,
    // and only points nearer than its last entry get in.
    void consider(const HeapItem<T>& item) {
        const bool accepted = list_.size() < ef_ || list_.back().distance > item.distance;
        if (!accepted) return;
        heap_.push(item);
        const std::size_t pos = insertion_point(item.distance);
        if (list_.size() == ef_) list_.pop_back();
        list_.insert(list_.begin() + static_cast<std::ptrdiff_t>(pos), item);
    }

    // The number of leading entries with distance <= d, by halving, so an
    // entry equal to existing ones goes after them (comparisons with NaN
    // are false). The position is below the list's length whenever the list
    // is full, since then its last entry is farther than d.
    std::size_t insertion_point(T d) const noexcept {
        if (list_.empty()) return 0;
        std::size_t size = list_.size();
        std::size_t base = 0;
        while (size > 1) {
            const std::size_t half = size / 2;
            if (list_[base + half].distance <= d) base += half;
            size -= half;
        }
        return list_[base].distance <= d ? base + 1 : base;
    }

    GraphView<T> y_;
    std::size_t ef_;
    std::vector<std::uint32_t> stamps_;
    std::uint32_t stamp_ = 0;
    CandidateHeap<T> heap_;
    std::vector<HeapItem<T>> list_;
};

// What a bound in force lets the search do. Without a bound nothing is
// skipped and nothing is cut off.
template <class T>
struct Pruning {
    bool in_force = false;
    bool per_point = false;
    Box<T> target{};
    T r2 = 0;

    // A query point farther than r from the target box has no answer.
    bool skips(const Vec4<T>& q) const noexcept {
        return per_point && point_box_gap2(q, target) > r2;
    }
    bool beyond(T d2) const noexcept { return in_force && d2 > r2; }
};

// The call-level tests of a bound: nothing when the query box lies farther
// than r from the target box (no query point can have an answer). Per-point
// tests are only worth making when the query box sticks out of the target
// box grown by r.
template <class T>
std::optional<Pruning<T>> prune_by_boxes(const DistanceBound<T>& bound, PointSpan<T> query_points) {
    const Box<T> qbox = query_box(bound, query_points);
    const T r2 = bound.bound * bound.bound;
    if (box_box_gap2(bound.target, qbox) > r2) return std::nullopt;
    return Pruning<T>{true, sticks_out(qbox, bound.target, bound.bound), bound.target, r2};
}

// The result arrays must have a shape NumPy can describe, which sizes every
// array as if its zero extents were 1: an empty query with a `k` whose row
// alone exceeds the address space fails like a full one.
template <class T>
KnnResult<T> all_misses(std::size_t rows, std::size_t cols, std::size_t ny) {
    const std::size_t sized_rows = std::max<std::size_t>(rows, 1);
    const std::size_t sized_cols = std::max<std::size_t>(cols, 1);
    if (sized_rows > std::numeric_limits<std::size_t>::max() / sized_cols) {
        fail(kCapacityOverflow);
    }
    checked_bytes(sized_rows * sized_cols, std::max(sizeof(T), sizeof(std::size_t)));
    const std::size_t cells = rows * cols;
    return {Buffer<T>::filled(cells, std::numeric_limits<T>::infinity()),
            Buffer<std::size_t>::filled(cells, ny), rows, cols};
}

// Writes the walk's first k entries within the bound to `row`; returns
// whether its nearest entry was written.
template <class T>
bool write_row(const std::vector<HeapItem<T>>& list, const Pruning<T>& pruning, std::size_t row,
               KnnResult<T>& out) {
    const std::size_t count = std::min(out.cols, list.size());
    const std::size_t first = row * out.cols;
    std::size_t j = 0;
    for (; j < count && !pruning.beyond(list[j].distance); ++j) {
        out.distances[first + j] = std::sqrt(list[j].distance);
        out.indices[first + j] = list[j].index;
    }
    return j > 0;
}

// A query row waiting on the traversal stack with the seed that was current
// when it was pushed.
struct PendingRow {
    std::size_t seed;
    std::size_t row;
};

// Visits the query rows depth first along the query graph, components in
// order of their lowest row, and answers each one with a walk seeded by the
// nearest target point of the last row answered.
template <class T>
void traverse(const GraphView<T>& x, const GraphView<T>& y, std::size_t ef,
              const Pruning<T>& pruning, KnnResult<T>& out) {
    const std::size_t n = out.rows;
    // A stack that could never exist fails before anything is allocated
    // (with k = 0 the result sized nothing).
    checked_bytes(n, sizeof(PendingRow));
    BestFirstWalk<T> walk(y, ef);
    std::vector<unsigned char> queued(n, 0);
    std::vector<PendingRow> stack;
    stack.reserve(n);  // every row is pushed at most once
    std::size_t seed = 0;
    for (std::size_t start = 0; start < n; ++start) {
        if (queued[start]) continue;
        queued[start] = 1;
        stack.push_back({seed, start});
        while (!stack.empty()) {
            const PendingRow top = stack.back();
            stack.pop_back();
            const Vec4<T>& q = x.points[checked_index(top.row, x.points.size())];
            if (!pruning.skips(q)) {
                walk.run(q, top.seed);
                if (write_row(walk.results(), pruning, top.row, out)) {
                    seed = walk.results()[0].index;
                }
            }
            const NeighbourRange range = neighbours_of(x.indptr, x.indices, top.row);
            for (std::size_t e = range.begin; e < range.end; ++e) {
                const std::size_t m = checked_index(x.indices[e], n);
                if (queued[m]) continue;
                queued[m] = 1;
                stack.push_back({seed, m});
            }
        }
    }
}

template <class T>
KnnResult<T> search_k_impl(const GraphView<T>& x, const GraphView<T>& y, std::size_t k,
                           std::size_t ef, const DistanceBound<T>* bound) {
    // The row count would wrap around.
    if (x.indptr.size() == 0) fail(kCapacityOverflow);
    const std::size_t n = x.indptr.size() - 1;
    KnnResult<T> out = all_misses<T>(n, k, y.points.size());
    Pruning<T> pruning;
    if (bound != nullptr) {
        if (n == 0) return out;
        const std::optional<Pruning<T>> boxes = prune_by_boxes(*bound, x.points);
        if (!boxes) return out;
        pruning = *boxes;
    }
    traverse(x, y, ef, pruning, out);
    return out;
}

}  // namespace

KnnResult<float> search_k_f32(const GraphView<float>& x, const GraphView<float>& y, std::size_t k,
                              std::size_t ef, const DistanceBound<float>* bound) {
    return search_k_impl(x, y, k, ef, bound);
}

KnnResult<double> search_k_f64(const GraphView<double>& x, const GraphView<double>& y,
                               std::size_t k, std::size_t ef, const DistanceBound<double>* bound) {
    return search_k_impl(x, y, k, ef, bound);
}

}  // namespace tevu

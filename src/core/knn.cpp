#include "knn.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "scan.hpp"

namespace tevu {
namespace {

template <class T>
using OrderKey = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;

// The IEEE total order of a float (-NaN < -inf < ... < -0 < +0 < ... < +inf
// < +NaN) as a signed integer: negative patterns count down from the sign
// bit, so flipping every bit but the sign makes them ascend. NaN distances
// thus get a fixed place in the heap instead of breaking its invariant.
template <class T>
OrderKey<T> total_order_key(T value) noexcept {
    static_assert(sizeof(OrderKey<T>) == sizeof(T));
    OrderKey<T> bits = std::bit_cast<OrderKey<T>>(value);
    if (bits < 0) bits ^= std::numeric_limits<OrderKey<T>>::max();
    return bits;
}

// The flip is its own inverse.
template <class T>
T from_order_key(OrderKey<T> key) noexcept {
    if (key < 0) key ^= std::numeric_limits<OrderKey<T>>::max();
    return std::bit_cast<T>(key);
}

// Every index a walk handles is a target-graph id, or a seed that is one of
// those or the initial 0, so 32 bits hold it.
using PointId = std::uint32_t;

// Binary min-heap of candidates (children of slot i at 2i+1 and 2i+2),
// ordered by distance alone. The exact moves of push and pop decide which of
// several equally distant candidates is expanded first, so they are fixed.
// Slots carry the integer key of the distance, so that every comparison is
// one integer comparison.
template <class T>
class CandidateHeap {
public:
    struct Slot {
        OrderKey<T> key;
        PointId index;
    };

    explicit CandidateHeap(std::size_t capacity) : slots_(std::max<std::size_t>(capacity, 1)) {}

    void clear() noexcept { size_ = 0; }
    bool empty() const noexcept { return size_ == 0; }

    void push(OrderKey<T> key, PointId index) {
        if (size_ == slots_.size()) slots_.resize(2 * size_);
        sift_up(size_++, {key, index});
    }

    // Takes out the last entry, moves a hole from the root to the bottom
    // along the smaller children (the right one on equal keys), and puts the
    // taken-out entry into the hole before sifting it up.
    Slot pop() noexcept {
        Slot* slots = slots_.data();
        const Slot last = slots[--size_];
        if (size_ == 0) return last;
        const Slot top = slots[0];
        const std::size_t size = size_;
        std::size_t hole = 0;
        std::size_t child = 1;
        while (child + 1 < size) {
            child += !(slots[child].key < slots[child + 1].key);
            slots[hole] = slots[child];
            hole = child;
            child = 2 * hole + 1;
        }
        if (child + 1 == size) {
            slots[hole] = slots[child];
            hole = child;
        }
        sift_up(hole, last);
        return top;
    }

private:
    void sift_up(std::size_t pos, Slot item) noexcept {
        Slot* slots = slots_.data();
        while (pos > 0) {
            const std::size_t parent = (pos - 1) / 2;
            if (!(slots[parent].key > item.key)) break;
            slots[pos] = slots[parent];
            pos = parent;
        }
        slots[pos] = item;
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// A block of list entries as wide as the processor's vectors: 16 bytes on
// every x86-64 processor, 32 with AVX2. A block any wider than the vectors
// would be split up lane by lane. Ids take lanes as wide as distances so
// that one lane mask moves both.
template <class T, std::size_t kBytes>
struct ListBlock {
    using Lane = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
    // typedef, not using: GCC drops the attribute on an alias of a
    // template parameter.
    typedef T Value __attribute__((vector_size(kBytes)));
    typedef Lane Mask __attribute__((vector_size(kBytes)));
    static constexpr std::size_t kLanes = kBytes / sizeof(T);

    // 0, 1, 2, ... in the lanes.
    template <std::size_t... L>
    static constexpr Value numbered(std::index_sequence<L...>) {
        return Value{static_cast<T>(L)...};
    }
    static constexpr Value lane_index = numbered(std::make_index_sequence<kLanes>{});
};

// The best points seen so far in a walk, ascending by squared distance, at
// most `ef` of them (any number when `ef` is 0). A point enters a walk's
// list at most once, so the list never outgrows the target. Distances and
// ids are kept apart so that distances can be compared four at a time; the
// slots past the end hold NaN, which no comparison counts.
template <class T>
class ResultList {
    using IdLane = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
    using WideBlock = ListBlock<T, 32>;

public:
    ResultList(std::size_t ef, std::size_t n_points)
        : ef_(ef),
          distances_(padded(ef == 0 ? n_points : std::min(ef, n_points)),
                     std::numeric_limits<T>::quiet_NaN()),
          ids_(distances_.size()) {}

    void clear() noexcept {
        std::fill_n(distances_.data(), size_, std::numeric_limits<T>::quiet_NaN());
        size_ = 0;
    }
    std::size_t size() const noexcept { return size_; }
    T distance(std::size_t i) const noexcept { return distances_[i]; }
    PointId id(std::size_t i) const noexcept { return static_cast<PointId>(ids_[i]); }
    T last_distance() const noexcept { return distances_[size_ - 1]; }
    // With `ef` = 0 the list never counts as full.
    bool full() const noexcept { return size_ == ef_; }

    void append(T d, PointId id) noexcept {
        distances_[size_] = d;
        ids_[size_] = id;
        ++size_;
    }

    // Nothing is ever dropped from a list that is not full, and only points
    // nearer than its last entry get into a full one.
    bool accepts(T d) const noexcept { return size_ < ef_ || last_distance() > d; }

    // The number of leading entries with distance <= d, by halving, so an
    // entry equal to existing ones goes after them (comparisons with NaN
    // are false). The position is below the list's length whenever the list
    // is full, since then its last entry is farther than d.
    std::size_t insertion_point(T d) const noexcept {
        const T* distances = distances_.data();
        std::size_t size = size_;
        std::size_t base = 0;
        while (size > 1) {
            const std::size_t half = size / 2;
            if (distances[base + half] <= d) base += half;
            size -= half;
        }
        return distances[base] <= d ? base + 1 : base;
    }

    // Inserts d, which is not NaN, into a list without NaN (which is
    // therefore sorted), dropping the last entry of a full list; returns its
    // position, or kEqualFound without a usable list when an entry equals
    // d. All of it goes a block of entries at a time without branching:
    // entry i stays when it is <= d, else takes d when entry i - 1 is <= d
    // (or i is 0), else takes entry i - 1; the position is the count of
    // entries <= d, which is where the halving search would put d as well.
    static constexpr std::size_t kEqualFound = SIZE_MAX;
    template <std::size_t kBlockBytes>
    std::size_t insert_distinct(T d, PointId id) noexcept {
        using Block = ListBlock<T, kBlockBytes>;
        using V = typename Block::Value;
        using M = typename Block::Mask;
        constexpr std::size_t kLanes = Block::kLanes;
        const std::size_t new_size = size_ == ef_ ? size_ : size_ + 1;
        const V dv = V{} + d;
        const M idv = M{} + static_cast<IdLane>(id);
        T* const distances = distances_.data();
        IdLane* const ids = ids_.data();
        V before{};                 // the previous block
        M before_not_above = ~M{};  // all set: nothing precedes entry 0
        M before_ids{};
        M count{};
        const auto step = [&](std::size_t b, M dead) {
            V block;
            M block_ids;
            std::memcpy(&block, distances + b, sizeof block);
            std::memcpy(&block_ids, ids + b, sizeof block_ids);
            const M not_above = block <= dv;
            count -= not_above;  // true lanes are -1, so each adds 1
            const V prev = simd::shift_in(before, block);
            const M prev_not_above = simd::shift_in(before_not_above, not_above);
            const M prev_ids = simd::shift_in(before_ids, block_ids);
            const M stay = not_above | dead;
            const M take_d = ~stay & prev_not_above;
            const V out = stay ? block : (take_d ? dv : prev);
            const M out_ids = stay ? block_ids : (take_d ? idv : prev_ids);
            std::memcpy(distances + b, &out, sizeof out);
            std::memcpy(ids + b, &out_ids, sizeof out_ids);
            before = block;
            before_not_above = not_above;
            before_ids = block_ids;
        };
        // Only the last block has slots past the new end; they keep their
        // NaN.
        const std::size_t last = (new_size - 1) / kLanes * kLanes;
        for (std::size_t b = 0; b < last; b += kLanes) step(b, M{});
        step(last, Block::lane_index >= static_cast<T>(new_size - last));
        size_ = new_size;
        std::size_t pos = 0;
        for (std::size_t l = 0; l < kLanes; ++l) pos += static_cast<std::size_t>(count[l]);
        // In a sorted list an equal entry comes right before d.
        return pos > 0 && distances[pos - 1] == d ? kEqualFound : pos;
    }

    // Inserts at `pos`, dropping the last entry of a full list.
    void insert_at(std::size_t pos, T d, PointId id) noexcept {
        std::size_t end = size_ == ef_ ? size_ - 1 : size_++;
        T* distances = distances_.data();
        IdLane* ids = ids_.data();
        for (; end > pos; --end) {
            // A few entries move: opaque to the compiler so that it does not
            // turn the loop into two calls of memmove.
            __asm__("" : "+r"(end));
            distances[end] = distances[end - 1];
            ids[end] = ids[end - 1];
        }
        distances[pos] = d;
        ids[pos] = id;
    }

private:
    // Room for at least one entry, rounded up to whole blocks of either
    // width.
    static std::size_t padded(std::size_t n) {
        constexpr std::size_t kLanes = WideBlock::kLanes;
        return (std::max<std::size_t>(n, 1) + kLanes - 1) / kLanes * kLanes;
    }

    std::size_t ef_;
    std::vector<T> distances_;
    std::vector<IdLane> ids_;
    std::size_t size_ = 0;
};

// The slice of `indices` that lists v's neighbours. Decreasing offsets mean
// no neighbours; an offset past the end of `indices` is a slice failure.
struct NeighbourRange {
    std::size_t begin;
    std::size_t end;
};

template <class Ids>
NeighbourRange neighbours_of(const Ids& indptr, std::size_t indices_len, std::size_t v) {
    const std::size_t lo = indptr[checked_index(v, indptr.size())];
    const std::size_t hi = indptr[checked_index(v + 1, indptr.size())];
    if (hi < lo) return {lo, lo};
    check_range(lo, hi, indices_len);
    return {lo, hi};
}

// The target's CSR arrays as plain contiguous runs: the caller's own memory
// when it is contiguous, else copies made once per call, so that the walks'
// inner loops never deal with strides.
struct ContiguousCsr {
    // Declared first: the runs may point into them.
    Buffer<std::uint32_t> indptr_copy;
    Buffer<std::uint32_t> indices_copy;
    IdRun indptr;
    IdRun indices;

    static IdRun run_of(IndexView view, Buffer<std::uint32_t>& copy) {
        if (view.contiguous()) return {view.base, view.len};
        copy = copy_indices(view);
        return {reinterpret_cast<const std::byte*>(copy.data()), copy.size()};
    }

    ContiguousCsr(IndexView indptr_view, IndexView indices_view)
        : indptr(run_of(indptr_view, indptr_copy)), indices(run_of(indices_view, indices_copy)) {}
};

// A walk never holds more entries than the target has points, so a huge
// `ef` must not size the initial capacity (nor overflow 4·ef).
std::size_t heap_capacity(std::size_t ef, std::size_t ny) { return ef <= ny / 4 ? 4 * ef : ny; }

// Best-first walks over one target, with the state every walk of a call
// reuses: seen-stamps, candidate heap and result list.
template <class T>
class BestFirstWalk {
public:
    // `walks` is how many walks the call is going to make.
    BestFirstWalk(PointSpan<T> points, const ContiguousCsr& csr, std::size_t ef, std::size_t walks)
        : points_(points.data()),
          n_points_(points.size()),
          indptr_(csr.indptr),
          indices_(csr.indices),
          stamps_(points.size(), 0),
          heap_(heap_capacity(ef, points.size())),
          list_(ef, points.size()),
          marks_fit_(ef >= 1 && ef <= kMaxMarked),
          // Ids at or above the limit fail; beyond 32 bits of points all fit.
          id_limit_(static_cast<std::uint32_t>(std::min<std::size_t>(points.size(), UINT32_MAX))),
          all_ids_fit_(points.size() > UINT32_MAX || (worth_checking_all_ids(csr.indices, walks) &&
                                                      ids_below(csr.indices, points.size()))) {}

    // Walks from `seed` for query point q. Afterwards `results()` holds the
    // best points seen, ascending by squared distance, the seed or better
    // first.
    void run(const Vec4<T>& q, PointId seed) {
        ++walks_;
        // Where ties are common (points on a grid), most attempts would be
        // wasted: after a fair number of them fail, walk with the heap
        // straight away and try again only now and then.
        if (marks_fit_ && 4 * restarts_ <= walks_ + 64) {
            if (walk_in_list_order(q, seed)) return;
            ++restarts_;
        }
        walk_with_heap(q, seed);
    }

    const ResultList<T>& results() const noexcept { return list_; }

private:
    static constexpr std::size_t kMaxMarked = 64;

    // Starts a walk: the seed enters the list unconditionally (and the heap,
    // when there is one). Returns its squared distance.
    T start(const Vec4<T>& q, PointId seed) {
        next_stamp();
        list_.clear();
        const T d = dist2(points_[checked_index(seed, n_points_)], q);
        stamps_[seed] = stamp_;
        list_.append(d, seed);
        return d;
    }

    // The walk as stated: candidates are popped from the heap until the
    // heap runs empty or the popped one is farther than the last entry of a
    // full list.
    void walk_with_heap(const Vec4<T>& q, PointId seed) {
        const T d = start(q, seed);
        heap_.clear();
        heap_.push(total_order_key(d), seed);
        while (!heap_.empty()) {
            const auto candidate = heap_.pop();
            if (list_.full() && from_order_key<T>(candidate.key) > list_.last_distance()) break;
            expand(q, candidate.index, [this](T d2, PointId m) {
                if (list_.accepts(d2)) {
                    heap_.push(total_order_key(d2), m);
                    list_.insert_at(list_.insertion_point(d2), d2, m);
                }
                return true;
            });
        }
    }

    // The same walk without the heap, for as long as no two accepted
    // distances are equal and none is NaN. Then the key order is the
    // distance order, the heap's minimum is unique, and the heap holds the
    // list's entries not yet expanded plus entries dropped from a full list.
    // The dropped ones are farther than its last entry, which never grows
    // again, so none of them is expanded: popping one ends the walk, exactly
    // when no unexpanded entry is left. Hence the heap pops the unexpanded
    // entries in list order, which one bit per list position tracks. An
    // equal distance would sit just before the insertion position, since
    // later distances are below all dropped ones. Returns false as soon as
    // a tie or NaN shows up; the caller then walks again with the heap, and
    // everything up to that point, failures included, happened the same way.
    bool walk_in_list_order(const Vec4<T>& q, PointId seed) {
        const T d = start(q, seed);
        if (d != d) return false;
        std::uint64_t expanded = 0;
        for (;;) {
            const std::size_t c = static_cast<std::size_t>(std::countr_one(expanded));
            if (c >= list_.size()) return true;
            expanded |= std::uint64_t{1} << c;
            // Most often the next entry to expand: fetch its neighbour list
            // while this one is expanded.
            const std::size_t next = static_cast<std::size_t>(std::countr_one(expanded));
            if (next < list_.size()) prefetch_neighbours(list_.id(next));
            const bool distinct = expand(q, list_.id(c), [&](T d2, PointId m) {
                if (!list_.accepts(d2)) return true;
                if (d2 != d2) return false;
                const std::size_t pos = wide_blocks_ ? list_.template insert_distinct<32>(d2, m)
                                                     : list_.template insert_distinct<16>(d2, m);
                if (pos == ResultList<T>::kEqualFound) return false;
                expanded = insert_zero_bit(expanded, pos);
                return true;
            });
            if (!distinct) return false;
        }
    }

    // Bits below `pos` stay, the others move up one place; bit `pos` is 0.
    static std::uint64_t insert_zero_bit(std::uint64_t bits, std::size_t pos) noexcept {
        const std::uint64_t low = bits & ((std::uint64_t{1} << pos) - 1);
        return low | ((bits ^ low) << 1);
    }

    // A hint only: reads nothing that could fail.
    void prefetch_neighbours(PointId v) const noexcept {
        if (v + std::size_t{1} >= indptr_.len) return;
        const std::size_t lo = indptr_[v];
        const std::size_t hi = indptr_[v + 1];
        if (lo >= hi || hi > indices_.len) return;
        __builtin_prefetch(indices_.base + lo * sizeof(PointId));
        __builtin_prefetch(indices_.base + (hi - 1) * sizeof(PointId));
    }

    // Stamps are never cleared between walks; only a wrap of the counter
    // (after 2^32 - 1 walks) forces clearing them.
    void next_stamp() {
        if (++stamp_ == 0) {
            std::fill(stamps_.begin(), stamps_.end(), 0);
            stamp_ = 1;
        }
    }

    // Looks at v's neighbours in CSR order: each one not yet seen in this
    // walk is stamped and handed to `consider` with its squared distance;
    // one that is not accepted stays stamped and is not looked at again.
    // Long lists go a chunk at a time. Stops, and returns false, when
    // `consider` does.
    template <class Consider>
    bool expand(const Vec4<T>& q, PointId v, Consider&& consider) {
        constexpr std::size_t kChunk = 64;
        const NeighbourRange range = neighbours_of(indptr_, indices_.len, v);
        const IdRun list{indices_.base + range.begin * sizeof(PointId), range.end - range.begin};
        for (std::size_t begin = 0; begin < list.len; begin += kChunk) {
            const IdRun chunk{list.base + begin * sizeof(PointId), std::min(kChunk, list.len - begin)};
            // Room for padding the last group of four with v itself.
            PointId unseen[kChunk + 3];
            const std::size_t count = take_unseen(chunk, list, v, unseen);
            for (std::size_t j = count; j < count + 3; ++j) unseen[j] = v;
            alignas(32) T d2[kChunk + 3];
            measure(q, unseen, count, d2);
            // What a full list rejects now it rejects later too, as its last
            // entry only ever comes nearer; the rest is considered in order.
            const bool open = !list_.full();
            const T last = open ? T(0) : list_.last_distance();
            std::uint8_t kept[kChunk];
            std::size_t n_kept = 0;
            for (std::size_t j = 0; j < count; ++j) {
                kept[n_kept] = static_cast<std::uint8_t>(j);
                n_kept += open | (last > d2[j]);
            }
            for (std::size_t i = 0; i < n_kept; ++i) {
                if (!consider(d2[kept[i]], unseen[kept[i]])) return false;
            }
        }
        return true;
    }


    // Fails with the first id of v's neighbour list `list` out of range
    // when `chunk`, a piece of it, holds one; four ids at a time.
    void check_ids(IdRun chunk, IdRun list) const {
        if (all_ids_fit_) return;
        simd::Mask4 bad{};
        if (chunk.len >= 4) {
            const std::size_t whole = chunk.len & ~std::size_t{3};
            for (std::size_t e = 0; e < whole; e += 4) {
                bad |= simd::load_ids(chunk.base + e * sizeof(PointId)) >= id_limit_;
            }
            bad |= simd::load_ids(chunk.base + (chunk.len - 4) * sizeof(PointId)) >= id_limit_;
        } else {
            for (std::size_t e = 0; e < chunk.len; ++e) bad[0] |= -(chunk[e] >= id_limit_);
        }
        if (simd::any(bad)) fail_first_bad_id(list, n_points_);
    }

    // Stamps the ids of `chunk`, a piece of v's neighbour list `list`, and
    // writes those not stamped before to `unseen`, in order; returns their
    // count. Whether an id was seen is unpredictable, so stamps are tested
    // and set without branching, four ids at a time, once the ids are known
    // to be in range.
    std::size_t take_unseen(IdRun chunk, IdRun list, PointId v, PointId* unseen) {
        check_ids(chunk, list);
        const std::uint32_t stamp = stamp_;
        std::uint32_t* const stamps = stamps_.data();
        std::size_t count = 0;
        const auto take = [&](const std::byte* at) {
            const IdRun group{at, 4};
            for (std::size_t l = 0; l < 4; ++l) {
                const PointId m = group[l];
                unseen[count] = m;
                count += stamps[m] != stamp;
                stamps[m] = stamp;
            }
        };
        const std::size_t whole = chunk.len & ~std::size_t{3};
        for (std::size_t e = 0; e < whole; e += 4) take(chunk.base + e * sizeof(PointId));
        if (whole == chunk.len) return count;
        if (chunk.len >= 4) {
            // The last four overlap ids taken already, which are stamped now.
            take(chunk.base + (chunk.len - 4) * sizeof(PointId));
        } else {
            // v is stamped, so padding with it adds nothing.
            PointId group[4] = {v, v, v, v};
            for (std::size_t l = 0; l < chunk.len; ++l) group[l] = chunk[l];
            take(reinterpret_cast<const std::byte*>(group));
        }
        return count;
    }

    // Squared distances of the first `count` ids of `unseen` (padded to a
    // multiple of four) to q, four at a time.
    void measure(const Vec4<T>& q, const PointId* unseen, std::size_t count, T* d2) const noexcept {
        const simd::Value<T> qv = simd::load(q);
        for (std::size_t j = 0; j < count; j += 4) {
            const simd::Value<T> d = simd::sum4(simd::squared(points_[unseen[j]], qv),
                                                simd::squared(points_[unseen[j + 1]], qv),
                                                simd::squared(points_[unseen[j + 2]], qv),
                                                simd::squared(points_[unseen[j + 3]], qv));
            std::memcpy(&d2[j], &d, sizeof d);
        }
    }

    const Vec4<T>* points_;
    std::size_t n_points_;
    IdRun indptr_;
    IdRun indices_;
    std::vector<std::uint32_t> stamps_;
    std::uint32_t stamp_ = 0;
    CandidateHeap<T> heap_;
    ResultList<T> list_;
    bool marks_fit_;
    std::size_t walks_ = 0;
    std::size_t restarts_ = 0;  // list-order walks that met a tie or NaN
    bool wide_blocks_ = running_avx2_build();
    std::uint32_t id_limit_;
    bool all_ids_fit_;
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

// Room for the rows × cols result; every cell is written before the call
// returns. The arrays must have a shape NumPy can describe, which sizes every
// array as if its zero extents were 1: an empty query with a `k` whose row
// alone exceeds the address space fails like a full one.
template <class T>
KnnResult<T> result_arrays(std::size_t rows, std::size_t cols) {
    const std::size_t sized_rows = std::max<std::size_t>(rows, 1);
    const std::size_t sized_cols = std::max<std::size_t>(cols, 1);
    if (sized_rows > std::numeric_limits<std::size_t>::max() / sized_cols) {
        fail(kCapacityOverflow);
    }
    checked_bytes(sized_rows * sized_cols, std::max(sizeof(T), sizeof(std::size_t)));
    const std::size_t cells = rows * cols;
    return {Buffer<T>::uninitialized(cells), Buffer<std::size_t>::uninitialized(cells), rows, cols};
}

// Marks cells [first, end) as misses: (inf, |y|).
template <class T>
void fill_misses(KnnResult<T>& out, std::size_t first, std::size_t end, std::size_t ny) noexcept {
    for (std::size_t c = first; c < end; ++c) {
        out.distances[c] = std::numeric_limits<T>::infinity();
        out.indices[c] = ny;
    }
}

// Writes row `row`: the walk's first k entries within the bound, then
// misses. Returns whether its nearest entry was written.
template <class T>
bool write_row(const ResultList<T>& list, const Pruning<T>& pruning, const Vec4<T>& q,
               PointSpan<T> target, std::size_t row, KnnResult<T>& out) {
    const std::size_t count = std::min(out.cols, list.size());
    const std::size_t first = row * out.cols;
    std::size_t j = 0;
    for (; j < count; ++j) {
        // The list's ids were checked when the walk read them.
        check_not_overflowed(list.distance(j), target[list.id(j)], q);
    }
    for (j = 0; j < count && !pruning.beyond(list.distance(j)); ++j) {
        out.distances[first + j] = std::sqrt(list.distance(j));
        out.indices[first + j] = list.id(j);
    }
    fill_misses(out, first + j, first + out.cols, target.size());
    return j > 0;
}

// A query row waiting on the traversal stack with the seed that was current
// when it was pushed.
struct PendingRow {
    PointId seed;
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
    const std::size_t ny = y.points.size();
    const ContiguousCsr target_csr(y.indptr, y.indices);
    BestFirstWalk<T> walk(y.points, target_csr, ef, n);
    std::vector<unsigned char> queued(n, 0);
    std::vector<PendingRow> stack;
    stack.reserve(n);  // every row is pushed at most once
    PointId seed = 0;
    for (std::size_t start = 0; start < n; ++start) {
        if (queued[start]) continue;
        queued[start] = 1;
        stack.push_back({seed, start});
        while (!stack.empty()) {
            const PendingRow top = stack.back();
            stack.pop_back();
            const Vec4<T>& q = x.points[checked_index(top.row, x.points.size())];
            if (pruning.skips(q)) {
                fill_misses(out, top.row * out.cols, (top.row + 1) * out.cols, ny);
            } else {
                walk.run(q, top.seed);
                if (write_row(walk.results(), pruning, q, y.points, top.row, out)) {
                    seed = walk.results().id(0);
                }
            }
            const NeighbourRange range = neighbours_of(x.indptr, x.indices.size(), top.row);
            for (std::size_t e = range.begin; e < range.end; ++e) {
                const std::size_t m = checked_index(x.indices[e], n);
                if (queued[m]) continue;
                queued[m] = 1;
                stack.push_back({seed, m});
            }
        }
    }
}

// The rows answered in the order of a visiting plan. Without a bound every
// row's list starts with a point (at least its seed) and k >= 1 writes it, so
// a row's seed is the first index of the row that discovered it, and a
// component's first row takes that of the last row visited before. Any
// failure is left to the literal traversal, which meets the failures in the
// specified order.
template <class T>
void traverse_planned(const GraphView<T>& x, const GraphView<T>& y, std::size_t ef,
                      const VisitPlan& plan, KnnResult<T>& out) {
    const ContiguousCsr target_csr(y.indptr, y.indices);
    BestFirstWalk<T> walk(y.points, target_csr, ef, out.rows);
    const Pruning<T> no_pruning;
    const auto first_index = [&](std::size_t row) {
        return static_cast<PointId>(out.indices[row * out.cols]);
    };
    PointId carried = 0;
    for (std::size_t c = 0; c + 1 < plan.component_starts.size(); ++c) {
        const std::size_t first = plan.component_starts[c];
        const std::size_t last = plan.component_starts[c + 1];
        for (std::size_t s = first; s < last; ++s) {
            const std::size_t row = plan.schedule[s];
            const PointId seed = s == first ? carried : first_index(plan.parent[row]);
            const Vec4<T>& q = x.points[checked_index(row, x.points.size())];
            walk.run(q, seed);
            write_row(walk.results(), no_pruning, q, y.points, row, out);
        }
        carried = first_index(plan.order[last - 1]);
    }
}

// Whether the planned order applies to this search, and its plan if so.
template <class T>
const VisitPlan* usable_plan(const GraphView<T>& x, std::size_t k, const DistanceBound<T>* bound,
                             const VisitPlanCache* plans, std::optional<VisitPlan>& made) {
    const std::size_t n = x.indptr.size() - 1;
    if (bound != nullptr || k == 0 || n < kPlannedFrom) return nullptr;
    if (!x.indptr.contiguous() || !x.indices.contiguous()) return nullptr;
    return find_plan({x.indptr.base, x.indptr.len}, {x.indices.base, x.indices.len}, n,
                     x.points.size(), plans, made);
}

template <class T>
KnnResult<T> search_k_impl(const GraphView<T>& x, const GraphView<T>& y, std::size_t k,
                           std::size_t ef, const DistanceBound<T>* bound,
                           const VisitPlanCache* plans) {
    // The row count would wrap around.
    if (x.indptr.size() == 0) fail(kCapacityOverflow);
    const std::size_t n = x.indptr.size() - 1;
    KnnResult<T> out = result_arrays<T>(n, k);
    Pruning<T> pruning;
    if (bound != nullptr) {
        if (n == 0) return out;
        const std::optional<Pruning<T>> boxes = prune_by_boxes(*bound, x.points);
        if (!boxes) {
            fill_misses(out, 0, n * k, y.points.size());
            return out;
        }
        pruning = *boxes;
    }
    std::optional<VisitPlan> made;
    if (const VisitPlan* plan = usable_plan(x, k, bound, plans, made)) {
        try {
            traverse_planned(x, y, ef, *plan, out);
            return out;
        } catch (const CoreError&) {
            // Met again in the literal order, which raises the right one.
        } catch (const InputError&) {
        }
    }
    traverse(x, y, ef, pruning, out);
    return out;
}

}  // namespace

TEVU_KERNEL
KnnResult<float> search_k_f32(const GraphView<float>& x, const GraphView<float>& y, std::size_t k,
                              std::size_t ef, const DistanceBound<float>* bound,
                              const VisitPlanCache* plans) {
    return search_k_impl(x, y, k, ef, bound, plans);
}

TEVU_KERNEL
KnnResult<double> search_k_f64(const GraphView<double>& x, const GraphView<double>& y,
                               std::size_t k, std::size_t ef, const DistanceBound<double>* bound,
                               const VisitPlanCache* plans) {
    return search_k_impl(x, y, k, ef, bound, plans);
}

}  // namespace tevu

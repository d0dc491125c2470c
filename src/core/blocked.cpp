#include "blocked.hpp"

#include "descent.hpp"
#include "plateau.hpp"
#include "scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace tevu {
namespace {

// The current vertex of a point dropped by the per-point box test.
constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();

// The gathered buffers start at this many points and only grow.
constexpr std::size_t kGatherCapacity = 32;

enum class BoundMode { none, prune, filter };

template <class T>
void fill_results(NearestResult<T>& out, T distance, std::size_t index) {
    for (std::size_t i = 0; i < out.distances.size(); ++i) {
        out.distances[i] = distance;
        out.indices[i] = index;
    }
}

// Working state of one call, one slot per point of a block, reused by every
// block. A block never holds more points than the query has, so a huge
// `block` on a small query allocates only what the query needs.
template <class T>
struct BlockScratch {
    std::vector<std::uint32_t> vertex;  // the vertex each slot's descent sits on
    std::vector<T> d2;                  // squared distance to that vertex
    std::vector<unsigned char> done;
    std::vector<std::size_t> active;    // slots still descending
    std::vector<Vec4<T>> gathered;      // neighbour points of one vertex
    std::vector<std::uint32_t> gathered_ids;
    std::size_t n_gathered = 0;         // the buffers only grow; this many are in use

    BlockScratch(std::size_t block, std::size_t n) {
        // A block whose arrays could never be allocated fails as such, even
        // when the query is too small to fill it.
        checked_bytes(block, sizeof(std::uint32_t));
        checked_bytes(block, sizeof(T));
        checked_bytes(block, sizeof(unsigned char));
        checked_bytes(block, sizeof(std::size_t));
        const std::size_t slots = std::min(block, n);
        vertex.resize(slots);
        d2.resize(slots);
        done.resize(slots);
        active.reserve(slots);
        gathered.resize(kGatherCapacity);
        gathered_ids.resize(kGatherCapacity);
    }
};

template <class T>
class BlockedSearch {
public:
    BlockedSearch(const GraphView<T>& x, const GraphView<T>& y, NearestResult<T>& out)
        : x_(x), y_(y), ny_(y.points.size()), out_(out) {}

    // Sets up the bound; returns false when the whole-cloud test already
    // answered every point with the miss marker.
    bool set_bound(const DistanceBound<T>& bound) {
        const Box<T> qbox = query_box(bound, x_.points);
        target_ = bound.target;
        b2_ = bound.bound * bound.bound;
        if (box_box_gap2(target_, qbox) > b2_) {
            fill_results(out_, std::numeric_limits<T>::infinity(), ny_);
            return false;
        }
        mode_ = sticks_out(qbox, target_, bound.bound) ? BoundMode::prune : BoundMode::filter;
        return true;
    }

    void run(std::size_t block, const StopLimitsCache<T>* stops) {
        const std::size_t n = out_.distances.size();
        if (stops != nullptr && y_.indptr.contiguous() && y_.indices.contiguous()) {
            facts_ = stops->get(y_.points.data(), ny_, {y_.indptr.base, y_.indptr.len},
                                {y_.indices.base, y_.indices.len}, n);
        }
        if (block == 1 && y_.indptr.contiguous() && y_.indices.contiguous()) {
            // BlockScratch's checks pass for a block of one.
            run_singly(n);
            return;
        }
        BlockScratch<T> scratch(block, n);
        for (std::size_t m = 0; m < n;) {
            const std::size_t len = std::min(block, n - m);
            std::size_t active = start_block(scratch, m, len);
            while (active > 0) active = pass(scratch, m, len, active);
            finish_block(scratch, m, len);
            m += len;
        }
    }

private:
    // Blocks of one point: every point starts from the last answer, and a
    // run never holds more than one slot, so the blocked descent is a plain
    // descent per point with the same steps and checks.
    void run_singly(std::size_t n) {
        const IdRun indptr{y_.indptr.base, y_.indptr.len};
        const IdRun indices{y_.indices.base, y_.indices.len};
        for (std::size_t v = 0; v < n; ++v) {
            const Vec4<T>& q = x_.points[checked_index(v, x_.points.size())];
            if (mode_ == BoundMode::prune && point_box_gap2(q, target_) > b2_) {
                miss(v);
                continue;
            }
            T d2;
            const std::size_t end = descend_contiguous<T, EmptyRange::check>(
                y_.points.data(), ny_, indptr, indices, q, seed_, d2, facts_, &memo_, &exact_);
            check_not_overflowed(d2, y_.points[end], q);
            if (mode_ != BoundMode::none && d2 > b2_) {
                miss(v);
                continue;
            }
            out_.distances[v] = d2;
            out_.indices[v] = end;
            seed_ = static_cast<std::uint32_t>(end);
        }
        // The square roots in one pass, where they vectorize (a miss's
        // infinity stays infinite).
        T* const distances = out_.distances.data();
        for (std::size_t v = 0; v < n; ++v) distances[v] = std::sqrt(distances[v]);
    }

    void miss(std::size_t v) {
        out_.distances[v] = std::numeric_limits<T>::infinity();
        out_.indices[v] = ny_;
    }

    // Puts every point of the block on the block seed, or drops it by the
    // per-point box test. Returns the number of descending slots.
    std::size_t start_block(BlockScratch<T>& s, std::size_t m, std::size_t len) {
        std::size_t active = 0;
        for (std::size_t slot = 0; slot < len; ++slot) {
            const Vec4<T>& q = x_.points[checked_index(m + slot, x_.points.size())];
            if (mode_ == BoundMode::prune && point_box_gap2(q, target_) > b2_) {
                s.vertex[slot] = kDropped;
                s.done[slot] = 1;
                continue;
            }
            s.vertex[slot] = seed_;
            s.d2[slot] = dist2(y_.points[checked_index(seed_, ny_)], q);
            s.done[slot] = 0;
            ++active;
        }
        return active;
    }

    // One step of every descending slot, slots grouped by their vertex so
    // that each vertex's neighbours are gathered once. Returns the number of
    // slots still descending.
    std::size_t pass(BlockScratch<T>& s, std::size_t m, std::size_t len, std::size_t active) {
        s.active.clear();
        for (std::size_t slot = 0; slot < len; ++slot) {
            if (s.done[slot] == 0) s.active.push_back(slot);
        }
        std::sort(s.active.begin(), s.active.end(),
                  [&](std::size_t a, std::size_t b) { return s.vertex[a] < s.vertex[b]; });
        for (std::size_t r = 0; r < s.active.size();) {
            const std::uint32_t u = s.vertex[s.active[r]];
            std::size_t end = r + 1;
            while (end < s.active.size() && s.vertex[s.active[end]] == u) ++end;
            r = settle(s, r, end, u, active);
            if (r == end) continue;
            // A slot alone on its vertex reads the neighbours in place: a
            // copy would be read once only.
            const bool alone = end == r + 1 && y_.indices.contiguous();
            if (!alone) gather(s, u);
            for (; r < end; ++r) {
                const std::size_t slot = s.active[r];
                const Vec4<T>& q = x_.points[m + slot];  // index checked at the start
                StepOutcome outcome = alone ? step_in_place(s, slot, q) : step(s, slot, q);
                if (outcome == StepOutcome::on_plateau) outcome = search_plateau(s, slot, q);
                if (outcome != StepOutcome::moved) {
                    s.done[slot] = 1;
                    --active;
                }
            }
        }
        return active;
    }

    // Ends, without a step, the descents of the run's slots that are nearer
    // to u than its stop limit; they move to the front of the run. Returns
    // where the slots still to step begin. (u is below ny: a checked seed
    // or a checked neighbour id.)
    std::size_t settle(BlockScratch<T>& s, std::size_t r, std::size_t end, std::uint32_t u,
                       std::size_t& active) const {
        if (facts_.stop_limits == nullptr) return r;
        const T limit = facts_.stop_limits[u];
        for (std::size_t k = r; k < end; ++k) {
            const std::size_t slot = s.active[k];
            if (!(s.d2[slot] < limit)) continue;
            s.done[slot] = 1;
            --active;
            std::swap(s.active[k], s.active[r++]);
        }
        return r;
    }

    // Copies the neighbour points of vertex u, in CSR order, into the
    // contiguous buffer every slot sitting on u steps against.
    void gather(BlockScratch<T>& s, std::uint32_t u) {
        const std::size_t lo = y_.indptr.at(u);
        const std::size_t hi = y_.indptr.at(std::size_t{u} + 1);
        check_range(lo, hi, y_.indices.size());
        const std::size_t count = hi - lo;
        if (count > s.gathered.size()) {
            s.gathered.resize(count);
            s.gathered_ids.resize(count);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t j = y_.indices[lo + k];
            s.gathered[k] = y_.points[checked_index(j, ny_)];
            s.gathered_ids[k] = j;
        }
        s.n_gathered = count;
    }

    // Moves the slot to its nearest gathered neighbour when that one is
    // strictly nearer, or equally near with a smaller index; or finds that
    // it stays, or that it stays beside a neighbour within rounding reach.
    static StepOutcome step(BlockScratch<T>& s, std::size_t slot, const Vec4<T>& q) {
        const IdRun ids{reinterpret_cast<const std::byte*>(s.gathered_ids.data()), s.n_gathered,
                        s.gathered_ids.size()};
        return move_to_nearest(s, slot, GatheredPoints<T>{s.gathered.data()}, kIdsChecked, ids, q);
    }

    // The same step reading the neighbours of the slot's vertex in place,
    // with the checks the gather would make.
    StepOutcome step_in_place(BlockScratch<T>& s, std::size_t slot, const Vec4<T>& q) const {
        const std::uint32_t u = s.vertex[slot];
        const std::size_t lo = y_.indptr.at(u);
        const std::size_t hi = y_.indptr.at(std::size_t{u} + 1);
        check_range(lo, hi, y_.indices.size());
        const IdRun ids{y_.indices.base + lo * sizeof(std::uint32_t), hi - lo,
                        y_.indices.size() - lo};
        return move_to_nearest(s, slot, PointsById<T>{y_.points.data()},
                               facts_.ids_in_range ? kIdsChecked : ny_, ids, q);
    }

    // The scan starts from the reach instead of the slot's distance, so that
    // it also finds a neighbour within reach (see step_outcome).
    template <class Source>
    static StepOutcome move_to_nearest(BlockScratch<T>& s, std::size_t slot, Source points,
                                       std::size_t n_points, IdRun ids, const Vec4<T>& q) {
        T best = plateau_reach(s.d2[slot]);
        std::size_t best_id = s.vertex[slot];
        scan_min<T>(points, n_points, ids, q, best, best_id);
        const StepOutcome outcome = step_outcome<T>(s.vertex[slot], s.d2[slot], best_id, best);
        if (outcome == StepOutcome::moved) {
            s.vertex[slot] = static_cast<std::uint32_t>(best_id);
            s.d2[slot] = best;
        }
        return outcome;
    }

    // Searches the plateau around the slot's vertex; the slot moves when it
    // finds a strictly nearer vertex there.
    StepOutcome search_plateau(BlockScratch<T>& s, std::size_t slot, const Vec4<T>& q) {
        std::size_t cur = s.vertex[slot];
        T d2 = s.d2[slot];
        if (!tevu::search_plateau(y_.points.data(), ny_, y_.indptr, y_.indices, q, cur, d2,
                                  exact_)) {
            return StepOutcome::stopped;
        }
        s.vertex[slot] = static_cast<std::uint32_t>(cur);
        s.d2[slot] = d2;
        return StepOutcome::moved;
    }

    // Writes the block's answers; the last answered point seeds the next
    // block.
    void finish_block(const BlockScratch<T>& s, std::size_t m, std::size_t len) {
        for (std::size_t slot = 0; slot < len; ++slot) {
            const std::size_t v = m + slot;
            if (s.vertex[slot] != kDropped) {
                check_not_overflowed(s.d2[slot], y_.points[s.vertex[slot]], x_.points[v]);
            }
            if (s.vertex[slot] == kDropped || (mode_ != BoundMode::none && s.d2[slot] > b2_)) {
                miss(v);
            } else {
                out_.distances[v] = std::sqrt(s.d2[slot]);
                out_.indices[v] = s.vertex[slot];
                seed_ = s.vertex[slot];
            }
        }
    }

    const GraphView<T>& x_;
    const GraphView<T>& y_;
    const std::size_t ny_;
    NearestResult<T>& out_;
    BoundMode mode_ = BoundMode::none;
    Box<T> target_{};
    T b2_ = 0;
    std::uint32_t seed_ = 0;
    TargetFacts<T> facts_{};  // what is known of the target, if anything
    NeighbourMemo<T> memo_;     // single-point blocks: the vertices scanned last
    ExactDistances<T> exact_{y_.points};
};

template <class T>
NearestResult<T> search_blocked_impl(const GraphView<T>& x, const GraphView<T>& y,
                                     std::size_t block, const DistanceBound<T>* bound,
                                     const StopLimitsCache<T>* stops) {
    // An empty indptr wraps n around; the allocation then fails.
    const std::size_t n = x.indptr.size() - 1;
    NearestResult<T> out{Buffer<T>::uninitialized(n), Buffer<std::size_t>::uninitialized(n)};
    if (n == 0) return out;
    if (y.points.empty()) {
        fill_results(out, std::numeric_limits<T>::infinity(), std::size_t{0});
        return out;
    }
    BlockedSearch<T> search(x, y, out);
    if (bound != nullptr && !search.set_bound(*bound)) return out;
    search.run(std::max<std::size_t>(block, 1), stops);
    return out;
}

}  // namespace

TEVU_KERNEL
NearestResult<float> search_blocked_f32(const GraphView<float>& x, const GraphView<float>& y,
                                        std::size_t block, const DistanceBound<float>* bound,
                                        const StopLimitsCache<float>* stops) {
    return search_blocked_impl(x, y, block, bound, stops);
}

TEVU_KERNEL
NearestResult<double> search_blocked_f64(const GraphView<double>& x, const GraphView<double>& y,
                                         std::size_t block, const DistanceBound<double>* bound,
                                         const StopLimitsCache<double>* stops) {
    return search_blocked_impl(x, y, block, bound, stops);
}

}  // namespace tevu

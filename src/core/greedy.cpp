#include "greedy.hpp"

#include "descent.hpp"
#include "scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>

namespace tevu {

Workspace Workspace::with_capacity(std::size_t n) {
    Workspace ws;
    checked_bytes(n, sizeof(Entry));
    ws.stack.reserve(n);
    ws.marks.assign(n, 0);
    return ws;
}

void Workspace::begin(std::size_t n) {
    if (marks.size() < n) marks.resize(n, 0);
    stack.clear();
    if (++epoch == 0) {
        std::fill(marks.begin(), marks.end(), 0);
        epoch = 1;
    }
}


namespace {

enum class BoundMode { none, prune, filter };

template <class T>
void fill_misses(NearestResult<T>& out, std::size_t ny) {
    for (std::size_t i = 0; i < out.distances.size(); ++i) {
        out.distances[i] = std::numeric_limits<T>::infinity();
        out.indices[i] = ny;
    }
}

void check_contiguous(const IndexView& indptr, const IndexView& indices) {
    if (!indptr.contiguous()) fail(kContiguousIndptr);
    if (!indices.contiguous()) fail(kContiguousNeighbours);
}

// The entry on top of the stack is often the next one taken: start fetching
// its query point and its seed's neighbour offsets while the current
// descent runs. Only addresses inside the arrays are formed.
template <class T>
void prefetch_entry(const GraphView<T>& x, const GraphView<T>& y, const Workspace::Entry& entry) {
    if (entry.node < x.points.size()) __builtin_prefetch(&x.points[entry.node]);
    if (entry.node < x.indptr.len) __builtin_prefetch(x.indptr.base + entry.node * 4);
    if (entry.seed < y.points.size()) __builtin_prefetch(&y.points[entry.seed]);
    if (entry.seed < y.indptr.len && y.indptr.contiguous()) {
        __builtin_prefetch(y.indptr.base + entry.seed * 4);
    }
}

// The search of one call: the bound state, the answer of one query point
// from its seed, and two ways of visiting the query points.
template <class T>
class GreedySearch {
public:
    GreedySearch(const GraphView<T>& x, const GraphView<T>& y, NearestResult<T>& out,
                 const StopLimitsCache<T>* stops)
        : x_(x), y_(y), ny_(y.points.size()), n_(out.distances.size()), out_(out), stops_(stops) {}

    // Sets up the bound; returns false when the whole-cloud test already
    // answered every point with the miss marker.
    bool set_bound(const DistanceBound<T>& bound) {
        const Box<T> qbox = query_box(bound, x_.points);
        target_box_ = bound.target;
        b2_ = bound.bound * bound.bound;
        if (box_box_gap2(target_box_, qbox) > b2_) {
            fill_misses(out_, ny_);
            return false;
        }
        mode_ = sticks_out(qbox, target_box_, bound.bound) ? BoundMode::prune : BoundMode::filter;
        return true;
    }

    // Visits the query graph depth first, each point's descent starting
    // from the seed handed on by the point that discovered it; components
    // start, in order of their lowest point, from the carried seed.
    void traverse_in_order(Workspace& ws) {
        ws.begin(n_);
        target_checked_ = false;
        const std::uint32_t epoch = ws.epoch;
        std::size_t scan = 0;
        std::size_t carried = 0;
        for (;;) {
            while (scan < n_ && ws.marks[scan] == epoch) ++scan;
            if (scan >= n_) break;
            ws.marks[scan] = epoch;
            ws.stack.push_back({carried, scan});
            ++scan;
            while (!ws.stack.empty()) {
                const auto [seed, i] = ws.stack.back();
                ws.stack.pop_back();
                if (!ws.stack.empty()) prefetch_entry(x_, y_, ws.stack.back());
                const std::size_t handed = answer(i, seed);
                if (hit(i)) carried = handed;
                for_each_neighbour(i, [&](std::size_t k) {
                    if (ws.marks[k] == epoch) return;
                    ws.marks[k] = epoch;
                    ws.stack.push_back({handed, k});
                });
            }
        }
    }

    // The same answers computed in the order of a visiting plan, which puts
    // every point after the point that discovered it. Any failure is left to
    // traverse_in_order, which meets the failures in the specified order.
    void traverse_planned(const VisitPlan& plan) {
        std::vector<std::size_t> handed(n_);
        target_checked_ = false;
        std::size_t carried = 0;
        constexpr std::size_t kAhead = 4;
        for (std::size_t c = 0; c + 1 < plan.component_starts.size(); ++c) {
            const std::size_t first = plan.component_starts[c];
            const std::size_t last = plan.component_starts[c + 1];
            handed[plan.schedule[first]] = answer(plan.schedule[first], carried);
            for (std::size_t s = first + 1; s < last; ++s) {
                if (s + kAhead < last) prefetch_point(plan.schedule[s + kAhead]);
                if (s + 2 < last) prefetch_seed(handed[plan.parent[plan.schedule[s + 2]]]);
                std::size_t group[kLanes];
                const std::size_t size = independent_run(plan, s, last, group);
                if (size == 1) {
                    handed[group[0]] = answer(group[0], handed[plan.parent[group[0]]]);
                } else {
                    answer_group(group, size, plan, handed);
                }
                s += size - 1;
            }
            // The carried seed is the answer of the last point visited that
            // had one.
            for (std::size_t v = last; v > first; --v) {
                const std::size_t i = plan.order[v - 1];
                if (hit(i)) {
                    carried = out_.indices[i];
                    break;
                }
            }
        }
    }

    // Without pruning, answers beyond the bound become misses at the end.
    void filter() {
        if (mode_ != BoundMode::filter) return;
        for (std::size_t i = 0; i < n_; ++i) {
            const T d = out_.distances[i];
            if (d * d > b2_) {
                out_.distances[i] = std::numeric_limits<T>::infinity();
                out_.indices[i] = ny_;
            }
        }
    }

private:
    // A hint: the start of a descent a little ahead (its discoverer may not
    // be answered yet, which only makes the hint useless).
    void prefetch_seed(std::size_t seed) const {
        if (seed >= ny_ || seed + 1 >= y_.indptr.len) return;
        __builtin_prefetch(&y_.points[seed]);
        if (y_.indptr.contiguous()) {
            __builtin_prefetch(y_.indptr.base + seed * sizeof(std::uint32_t));
        }
    }

    void prefetch_point(std::size_t i) const {
        if (i < x_.points.size()) __builtin_prefetch(&x_.points[i]);
    }

    // Calls f(k) for every neighbour k of query point i, in CSR order.
    template <class F>
    void for_each_neighbour(std::size_t i, F&& f) const {
        // x's CSR arrays were checked for unit stride.
        const IdRun indptr{x_.indptr.base, x_.indptr.len};
        const IdRun indices{x_.indices.base, x_.indices.len};
        const std::size_t lo = indptr[i];
        const std::size_t hi = indptr[i + 1];
        check_range(lo, hi, indices.len);
        for (std::size_t e = lo; e < hi; ++e) f(checked_index(indices[e], n_));
    }

    bool hit(std::size_t i) const { return out_.indices[i] != ny_; }

    // Descents of this many points at most take turns.
    static constexpr std::size_t kLanes = 4;

    // The points scheduled from position s on (before `last`) up to the
    // first one discovered by another of them, at most kLanes: their seeds
    // are all known, so they can descend side by side. Returns their count.
    static std::size_t independent_run(const VisitPlan& plan, std::size_t s, std::size_t last,
                                       std::size_t* group) {
        std::size_t size = 0;
        group[size++] = plan.schedule[s];
        while (size < kLanes && s + size < last) {
            const std::size_t w = plan.schedule[s + size];
            for (std::size_t g = 0; g < size; ++g) {
                if (plan.parent[w] == group[g]) return size;
            }
            group[size++] = w;
        }
        return size;
    }

    // answer() for points whose seeds are all known, with their descents
    // taking turns; what they hand on goes to `handed`.
    void answer_group(const std::size_t* group, std::size_t size, const VisitPlan& plan,
                      std::vector<std::size_t>& handed) {
        const Vec4<T>* q[kLanes];
        std::size_t seed[kLanes];
        std::size_t cur[kLanes];
        T d2[kLanes];
        // Points the box test skips, and the first descent of the call,
        // which checks the target, go one at a time.
        bool all_descend = target_checked_;
        for (std::size_t g = 0; g < size; ++g) {
            q[g] = &x_.points[checked_index(group[g], x_.points.size())];
            seed[g] = cur[g] = handed[plan.parent[group[g]]];
            all_descend &= !skips(*q[g]);
        }
        if (!all_descend) {
            for (std::size_t g = 0; g < size; ++g) handed[group[g]] = answer(group[g], seed[g]);
            return;
        }
        descend_lanes<T, EmptyRange::stop, kLanes>(
            y_.points.data(), ny_, {y_.indptr.base, y_.indptr.len},
            {y_.indices.base, y_.indices.len}, size, q, cur, d2, facts_, &exact_, &hubs_);
        for (std::size_t g = 0; g < size; ++g) {
            handed[group[g]] = write_answer(group[g], *q[g], seed[g], cur[g], d2[g]);
        }
    }

    bool skips(const Vec4<T>& q) const {
        return mode_ == BoundMode::prune && point_box_gap2(q, target_box_) > b2_;
    }

    // Writes the answer of a descent that ended at `cur`, or the miss marker
    // when pruning finds it beyond the bound; returns the seed handed on.
    std::size_t write_answer(std::size_t i, const Vec4<T>& q, std::size_t seed, std::size_t cur,
                             T d2) {
        check_not_overflowed(d2, y_.points[cur], q);
        const T d = std::sqrt(d2);
        if (mode_ == BoundMode::prune && d * d > b2_) return write_miss(i, seed);
        out_.distances[i] = d;
        out_.indices[i] = cur;
        return cur;
    }

    // A miss hands on the seed it was given.
    std::size_t write_miss(std::size_t i, std::size_t seed) {
        out_.distances[i] = std::numeric_limits<T>::infinity();
        out_.indices[i] = ny_;
        return seed;
    }

    // Writes query point i's answer from `seed` and returns the seed it hands
    // on: its answer, or on a miss the seed it was given.
    std::size_t answer(std::size_t i, std::size_t seed) {
        const Vec4<T>& q = x_.points[checked_index(i, x_.points.size())];
        if (skips(q)) return write_miss(i, seed);
        check_target();
        T d2;
        // Both CSR arrays were checked for unit stride.
        const std::size_t cur = descend_contiguous<T, EmptyRange::stop>(
            y_.points.data(), ny_, {y_.indptr.base, y_.indptr.len},
            {y_.indices.base, y_.indices.len}, q, seed, d2, facts_, nullptr, &exact_, &hubs_);
        return write_answer(i, q, seed, cur, d2);
    }

    // Once, before the first descent: the target's CSR arrays must have unit
    // stride; then what is known of it (its stop limits when it keeps them,
    // else whether its neighbour ids are all in range, when worth finding out).
    void check_target() {
        if (target_checked_) return;
        check_contiguous(y_.indptr, y_.indices);
        target_checked_ = true;
        const IdRun indices{y_.indices.base, y_.indices.len};
        if (stops_ != nullptr) {
            facts_ = stops_->get(y_.points.data(), ny_, {y_.indptr.base, y_.indptr.len}, indices,
                                 n_);
        }
        if (facts_.stop_limits == nullptr && worth_checking_all_ids(indices, n_)) {
            facts_.ids_in_range = ids_below(indices, ny_);
        }
    }

    const GraphView<T>& x_;
    const GraphView<T>& y_;
    const std::size_t ny_;
    const std::size_t n_;
    NearestResult<T>& out_;
    BoundMode mode_ = BoundMode::none;
    Box<T> target_box_{};
    T b2_ = 0;
    bool target_checked_ = false;
    const StopLimitsCache<T>* stops_;
    TargetFacts<T> facts_{};  // known once the target was checked
    ExactDistances<T> exact_{y_.points};
    HubIndex<T> hubs_;  // trees over the lists of the target's hubs
};

template <class T>
NearestResult<T> search_pruned_impl(const GraphView<T>& x, const GraphView<T>& y,
                                    const DistanceBound<T>* bound, const VisitPlanCache* plans,
                                    const StopLimitsCache<T>* stops) {
    // An empty indptr wraps n around; the workspace's size check then fails.
    // The workspace itself is only made for the literal order, below.
    const std::size_t n = x.indptr.size() - 1;
    checked_bytes(n, sizeof(Workspace::Entry));
    NearestResult<T> out{Buffer<T>::uninitialized(n), Buffer<std::size_t>::uninitialized(n)};
    GreedySearch<T> search(x, y, out, stops);
    if (bound != nullptr) {
        if (n == 0) return out;
        if (!search.set_bound(*bound)) return out;
    }
    check_contiguous(x.indptr, x.indices);
    bool done = false;
    if (n >= kPlannedFrom) {
        std::optional<VisitPlan> made;
        const VisitPlan* plan = find_plan({x.indptr.base, x.indptr.len},
                                          {x.indices.base, x.indices.len}, n, x.points.size(),
                                          plans, made);
        if (plan != nullptr) {
            try {
                search.traverse_planned(*plan);
                done = true;
            } catch (const CoreError&) {
                // Met in the literal order below, which raises the right one.
            } catch (const InputError&) {
            }
        }
    }
    if (!done) {
        Workspace ws = Workspace::with_capacity(n);
        search.traverse_in_order(ws);
    }
    search.filter();
    return out;
}

}  // namespace

TEVU_KERNEL
NearestResult<float> search_pruned_f32(const GraphView<float>& x, const GraphView<float>& y,
                                       const DistanceBound<float>* bound,
                                       const VisitPlanCache* plans,
                                       const StopLimitsCache<float>* stops) {
    return search_pruned_impl(x, y, bound, plans, stops);
}

TEVU_KERNEL
NearestResult<double> search_pruned_f64(const GraphView<double>& x, const GraphView<double>& y,
                                        const DistanceBound<double>* bound,
                                        const VisitPlanCache* plans,
                                        const StopLimitsCache<double>* stops) {
    return search_pruned_impl(x, y, bound, plans, stops);
}

}  // namespace tevu

#include "greedy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

template <class T>
std::size_t descend(const GraphView<T>& y, const Vec4<T>& q, std::size_t cur, T& d2_out) {
    const std::size_t ny = y.points.size();
    T d2 = dist2(y.points[checked_index(cur, ny)], q);
    for (;;) {
        const std::size_t lo = y.indptr.at(cur);
        const std::size_t hi = y.indptr.at(cur + 1);
        if (lo == hi) break;
        check_range(lo, hi, y.indices.size());
        std::size_t best = cur;
        bool improved = false;
        for (std::size_t e = lo; e < hi; ++e) {
            const std::size_t v = y.indices[e];
            const T e2 = dist2(y.points[checked_index(v, ny)], q);
            if (e2 < d2 || (e2 == d2 && v < best)) {
                best = v;
                d2 = e2;
                improved = true;
            }
        }
        if (!improved) break;
        cur = best;
    }
    d2_out = d2;
    return cur;
}

template std::size_t descend(const GraphView<float>&, const Vec4<float>&, std::size_t, float&);
template std::size_t descend(const GraphView<double>&, const Vec4<double>&, std::size_t, double&);

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

template <class T>
NearestResult<T> search_pruned_impl(const GraphView<T>& x, const GraphView<T>& y,
                               const DistanceBound<T>* bound) {
    // An empty indptr wraps n around; the workspace allocation then fails.
    const std::size_t n = x.indptr.size() - 1;
    Workspace ws = Workspace::with_capacity(n);
    NearestResult<T> out{Buffer<T>::uninitialized(n), Buffer<std::size_t>::uninitialized(n)};
    const std::size_t ny = y.points.size();

    BoundMode mode = BoundMode::none;
    Box<T> target_box{};
    T b2 = 0;
    if (bound != nullptr) {
        if (n == 0) return out;
        const Box<T> qbox = query_box(*bound, x.points);
        target_box = bound->target;
        b2 = bound->bound * bound->bound;
        if (box_box_gap2(target_box, qbox) > b2) {
            fill_misses(out, ny);
            return out;
        }
        mode = sticks_out(qbox, target_box, bound->bound) ? BoundMode::prune : BoundMode::filter;
    }

    ws.begin(n);
    check_contiguous(x.indptr, x.indices);

    const std::uint32_t epoch = ws.epoch;
    bool target_checked = false;
    std::size_t scan = 0;
    std::size_t carried = 0;
    for (;;) {
        while (scan < n && ws.marks[scan] == epoch) ++scan;
        if (scan >= n) break;
        ws.marks[scan] = epoch;
        ws.stack.push_back({carried, scan});
        ++scan;
        while (!ws.stack.empty()) {
            const auto [seed, i] = ws.stack.back();
            ws.stack.pop_back();
            const Vec4<T>& q = x.points[checked_index(i, x.points.size())];

            std::size_t handed = seed;
            bool answered = false;
            if (!(mode == BoundMode::prune && point_box_gap2(q, target_box) > b2)) {
                if (!target_checked) {
                    check_contiguous(y.indptr, y.indices);
                    target_checked = true;
                }
                T d2;
                const std::size_t cur = descend(y, q, seed, d2);
                const T d = std::sqrt(d2);
                if (!(mode == BoundMode::prune && d * d > b2)) {
                    out.distances[i] = d;
                    out.indices[i] = cur;
                    handed = cur;
                    carried = cur;
                    answered = true;
                }
            }
            if (!answered) {
                out.distances[i] = std::numeric_limits<T>::infinity();
                out.indices[i] = ny;
            }

            const std::size_t lo = x.indptr[i];
            const std::size_t hi = x.indptr[i + 1];
            check_range(lo, hi, x.indices.size());
            for (std::size_t e = lo; e < hi; ++e) {
                const std::size_t k = checked_index(x.indices[e], n);
                if (ws.marks[k] != epoch) {
                    ws.marks[k] = epoch;
                    ws.stack.push_back({handed, k});
                }
            }
        }
    }

    if (mode == BoundMode::filter) {
        for (std::size_t i = 0; i < n; ++i) {
            const T d = out.distances[i];
            if (d * d > b2) {
                out.distances[i] = std::numeric_limits<T>::infinity();
                out.indices[i] = ny;
            }
        }
    }
    return out;
}

}  // namespace

NearestResult<float> search_pruned_f32(const GraphView<float>& x, const GraphView<float>& y,
                                       const DistanceBound<float>* bound) {
    return search_pruned_impl(x, y, bound);
}

NearestResult<double> search_pruned_f64(const GraphView<double>& x, const GraphView<double>& y,
                                        const DistanceBound<double>* bound) {
    return search_pruned_impl(x, y, bound);
}

}  // namespace tevu

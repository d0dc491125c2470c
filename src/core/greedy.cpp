#include "greedy.hpp"

#include "scan.hpp"

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
    // The caller has checked both CSR arrays for unit stride.
    const std::size_t ny = y.points.size();
    const IdRun indptr{y.indptr.base, y.indptr.len};
    const IdRun indices{y.indices.base, y.indices.len};
    const Vec4<T>* points = y.points.data();
    T d2 = dist2(points[checked_index(cur, ny)], q);
    for (;;) {
        const std::size_t lo = indptr[checked_index(cur, indptr.len)];
        const std::size_t hi = indptr[checked_index(cur + 1, indptr.len)];
        if (lo == hi) break;
        check_range(lo, hi, indices.len);
        const IdRun neighbours{indices.base + lo * sizeof(std::uint32_t), hi - lo,
                               indices.len - lo};
        std::size_t best = cur;
        scan_neighbours(points, ny, neighbours, q, d2, best);
        if (best == cur) break;
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

// The entry on top of the stack is often the next one taken: start fetching
// its query point and its seed's neighbour offsets while the current
// descent runs. Only addresses inside the arrays are formed.
template <class T>
void prefetch_entry(const GraphView<T>& x, const GraphView<T>& y, const Workspace::Entry& entry) {
    if (entry.node < x.points.size()) __builtin_prefetch(&x.points[entry.node]);
    if (entry.node < x.indptr.len) __builtin_prefetch(x.indptr.base + entry.node * 4);
    if (entry.seed < y.points.size()) __builtin_prefetch(&y.points[entry.seed]);
    if (entry.seed < y.indptr.len) __builtin_prefetch(y.indptr.base + entry.seed * 4);
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
    const IdRun x_indptr{x.indptr.base, x.indptr.len};
    const IdRun x_indices{x.indices.base, x.indices.len};

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
            if (!ws.stack.empty()) prefetch_entry(x, y, ws.stack.back());
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

            const std::size_t lo = x_indptr[i];
            const std::size_t hi = x_indptr[i + 1];
            check_range(lo, hi, x_indices.len);
            for (std::size_t e = lo; e < hi; ++e) {
                const std::size_t k = checked_index(x_indices[e], n);
                if (ws.marks[k] != epoch) {
                    ws.marks[k] = epoch;
                    ws.stack.push_back({handed, k});
                    // Popped later, often much later: start fetching its data.
                    if (k < x.points.size()) __builtin_prefetch(&x.points[k]);
                    __builtin_prefetch(x_indptr.base + k * sizeof(std::uint32_t));
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

TEVU_KERNEL
NearestResult<float> search_pruned_f32(const GraphView<float>& x, const GraphView<float>& y,
                                       const DistanceBound<float>* bound) {
    return search_pruned_impl(x, y, bound);
}

TEVU_KERNEL
NearestResult<double> search_pruned_f64(const GraphView<double>& x, const GraphView<double>& y,
                                        const DistanceBound<double>* bound) {
    return search_pruned_impl(x, y, bound);
}

}  // namespace tevu

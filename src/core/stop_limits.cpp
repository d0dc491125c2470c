#include "stop_limits.hpp"

#include <cmath>
#include <limits>
#include <new>

namespace tevu {

namespace {

// The margin and the range of squared neighbour distances for which the
// rounding argument holds, per precision. The margin must exceed 16 units
// in the last place; the range keeps every squared distance involved far
// from overflow and the errors of underflow far below the margin.
template <class T>
struct Rounding;

template <>
struct Rounding<double> {
    static constexpr double kMargin = 1e-9;
    static constexpr double kLowest = 1e-280;
    static constexpr double kHighest = 1e300;
};

template <>
struct Rounding<float> {
    static constexpr float kMargin = 1e-4f;
    static constexpr float kLowest = 1e-30f;
    static constexpr float kHighest = 1e36f;
};

template <class T>
bool same_position(const Vec4<T>& a, const Vec4<T>& b) {
    return a.lane[0] == b.lane[0] && a.lane[1] == b.lane[1] && a.lane[2] == b.lane[2];
}

// Whether vertex v has a well-formed neighbour list that names u alone
// (once or more), as a builder links a later copy to its first one.
bool leads_only_to(IdRun indptr, IdRun indices, std::size_t u, std::size_t v) {
    if (v + 1 >= indptr.len) return false;
    const std::size_t lo = indptr[v];
    const std::size_t hi = indptr[v + 1];
    if (lo > hi || hi > indices.len) return false;
    for (std::size_t e = lo; e < hi; ++e) {
        if (indices[e] != u) return false;
    }
    return true;
}

template <class T>
T limit_of(const Vec4<T>* points, std::size_t n_points, IdRun indptr, IdRun indices,
           std::size_t u) {
    if (u + 1 >= indptr.len) return 0;
    const std::size_t lo = indptr[u];
    const std::size_t hi = indptr[u + 1];
    if (lo >= hi || hi > indices.len) return 0;
    T nearest = std::numeric_limits<T>::infinity();
    bool only_copies = true;
    for (std::size_t e = lo; e < hi; ++e) {
        const std::size_t v = indices[e];
        if (v >= n_points) return 0;
        if (same_position(points[v], points[u])) {
            // A later copy of u is exactly as near to any q, and equal
            // distances stay at the smaller index; when it leads back to u
            // alone (as a builder links copies), even the plateau search
            // finds no way on through it. Without this, the first of many
            // copies would be scanned at every visit.
            if (v <= u || !leads_only_to(indptr, indices, u, v)) return 0;
            continue;
        }
        const T d2 = dist2(points[v], points[u]);
        if (std::isnan(d2)) return 0;
        nearest = d2 < nearest ? d2 : nearest;
        only_copies = false;
    }
    using R = Rounding<T>;
    // Only later copies: the descent ends here from anywhere.
    if (only_copies) return std::numeric_limits<T>::infinity();
    if (!(nearest >= R::kLowest && nearest <= R::kHighest)) return 0;
    return nearest * (T(0.25) * (T(1) - R::kMargin));
}

}  // namespace

bool ids_below(IdRun ids, std::size_t n) {
    std::uint32_t largest = 0;
    for (std::size_t e = 0; e < ids.len; ++e) largest = ids[e] > largest ? ids[e] : largest;
    return ids.len == 0 || largest < n;
}

template <class T>
Buffer<T> stop_limits(const Vec4<T>* points, std::size_t n_points, IdRun indptr, IdRun indices) {
    auto limits = Buffer<T>::uninitialized(n_points);
    for (std::size_t u = 0; u < n_points; ++u) {
        limits[u] = limit_of(points, n_points, indptr, indices, u);
    }
    return limits;
}

template <class T>
TargetFacts<T> StopLimitsCache<T>::get(const Vec4<T>* points, std::size_t n_points,
                                       IdRun indptr, IdRun indices, std::size_t searches) const {
    // Saturating, so that calls with absurd query counts cannot wrap it round.
    constexpr std::size_t kMost = std::numeric_limits<std::size_t>::max();
    std::size_t asked = asked_.load(std::memory_order_relaxed);
    std::size_t more;
    do {
        more = searches > kMost - asked ? kMost : asked + searches;
    } while (!asked_.compare_exchange_weak(asked, more, std::memory_order_relaxed));
    if (more < n_points / kStopLimitsAfterShare) return {};
    const Known* known = known_.get([&] {
        return Known{stop_limits(points, n_points, indptr, indices), ids_below(indices, n_points)};
    });
    // Without them, descents look at every neighbour list and check its ids.
    return known ? TargetFacts<T>{known->limits.data(), known->ids_in_range} : TargetFacts<T>{};
}

template Buffer<float> stop_limits(const Vec4<float>*, std::size_t, IdRun, IdRun);
template Buffer<double> stop_limits(const Vec4<double>*, std::size_t, IdRun, IdRun);
template class StopLimitsCache<float>;
template class StopLimitsCache<double>;

}  // namespace tevu

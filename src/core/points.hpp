// Point clouds packed into 4-lane vectors, their bounding boxes, and the
// distance arithmetic every search shares.
//
// A packed point is (x, y, z, 0). Every 4-lane computation sums over all four
// lanes; both operands carry 0 in the pad lane, so the sum is the 3-D value.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "buffer.hpp"
#include "errors.hpp"
#include "views.hpp"

namespace tevu {

template <class T>
struct alignas(4 * sizeof(T)) Vec4 {
    T lane[4];
};

template <class T>
using PackedPoints = Buffer<Vec4<T>, alignof(Vec4<T>)>;

template <class T>
using PointSpan = std::span<const Vec4<T>>;

// Lane-wise bounding box; an empty cloud has lo = +inf and hi = -inf in all
// four lanes, so its gap to anything is infinite.
template <class T>
struct Box {
    Vec4<T> lo;
    Vec4<T> hi;
};

// Squared distance, summed as (dx² + dy²) + dz² (the pad lane adds exactly 0),
// each difference taken as target minus query.
template <class T>
inline T dist2(const Vec4<T>& target, const Vec4<T>& query) noexcept {
    const T dx = target.lane[0] - query.lane[0];
    const T dy = target.lane[1] - query.lane[1];
    const T dz = target.lane[2] - query.lane[2];
    return (dx * dx + dy * dy) + dz * dz;
}

// Whether x, y and z are all finite.
template <class T>
inline bool finite3(const Vec4<T>& p) noexcept {
    return std::isfinite(p.lane[0]) && std::isfinite(p.lane[1]) && std::isfinite(p.lane[2]);
}

// An answer at infinite squared distance between a finite query point and a
// finite target point: the square overflowed. Every step before it compared
// infinities, so a nearer point may lie anywhere; fails rather than report
// it. (A point with an infinite coordinate is infinitely far, as given.)
template <class T>
inline void check_not_overflowed(T d2, const Vec4<T>& target, const Vec4<T>& query) {
    if (d2 == std::numeric_limits<T>::infinity() && finite3(target) && finite3(query))
        [[unlikely]] {
        throw InputError(kDistanceOverflow);
    }
}

// Sum of four squared lane gaps in the same order as a distance.
template <class T>
inline T sum_squares(const T (&g)[4]) noexcept {
    return ((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]) + g[3] * g[3];
}

// The smaller / larger of two values, ignoring a NaN on either side (as
// fmin / fmax do, but inlined: the library calls cost more than the work).
template <class T>
inline T min_ignoring_nan(T a, T b) noexcept {
    return (b < a || a != a) ? b : a;
}
template <class T>
inline T max_ignoring_nan(T a, T b) noexcept {
    return (b > a || a != a) ? b : a;
}

// A lower bound on dist2(p, q) for every p inside the box lo..hi (x, y and
// z only), summed as dist2 sums a distance. Differences, squares and sums
// are monotone under rounding to nearest, so no such p's dist2 comes out
// below it: a search may skip the box when this exceeds its best distance.
template <class T>
inline T monotone_gap2(const Vec4<T>& q, const T* lo, const T* hi) noexcept {
    T g[3];
    for (int a = 0; a < 3; ++a) {
        const T x = q.lane[a];
        g[a] = x < lo[a] ? lo[a] - x : x > hi[a] ? x - hi[a] : T(0);
    }
    return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
}

// Squared distance from a point to a box; a NaN lane difference counts as 0.
template <class T>
inline T point_box_gap2(const Vec4<T>& q, const Box<T>& box) noexcept {
    T g[4];
    for (int l = 0; l < 4; ++l) {
        g[l] = max_ignoring_nan(q.lane[l] - box.hi.lane[l], T(0)) +
               max_ignoring_nan(box.lo.lane[l] - q.lane[l], T(0));
    }
    return sum_squares(g);
}

// Squared gap between two boxes; a NaN lane yields 0.
template <class T>
inline T box_box_gap2(const Box<T>& a, const Box<T>& b) noexcept {
    T g[4];
    for (int l = 0; l < 4; ++l) {
        g[l] = max_ignoring_nan(
            max_ignoring_nan(a.lo.lane[l] - b.hi.lane[l], b.lo.lane[l] - a.hi.lane[l]), T(0));
    }
    return sum_squares(g);
}

// Whether `query` sticks out of `target` grown by `bound` along x, y or z.
template <class T>
inline bool sticks_out(const Box<T>& query, const Box<T>& target, T bound) noexcept {
    for (int l = 0; l < 3; ++l) {
        if (query.lo.lane[l] < target.lo.lane[l] - bound) return true;
        if (query.hi.lane[l] > target.hi.lane[l] + bound) return true;
    }
    return false;
}

template <class T>
Box<T> empty_box() noexcept {
    constexpr T inf = std::numeric_limits<T>::infinity();
    return {{{inf, inf, inf, inf}}, {{-inf, -inf, -inf, -inf}}};
}

// Box of a non-empty cloud: starts from the first point and folds in the
// others lane by lane; NaN on either side is ignored.
template <class T>
Box<T> fold_box(PointSpan<T> points) {
    Box<T> box{points[checked_index(0, points.size())], points[0]};
    for (std::size_t i = 1; i < points.size(); ++i) {
        for (int l = 0; l < 4; ++l) {
            box.lo.lane[l] = min_ignoring_nan(box.lo.lane[l], points[i].lane[l]);
            box.hi.lane[l] = max_ignoring_nan(box.hi.lane[l], points[i].lane[l]);
        }
    }
    return box;
}

// Box of any cloud: the fold for a non-empty one, the empty box otherwise.
template <class T>
Box<T> bounding_box(PointSpan<T> points) {
    return points.empty() ? empty_box<T>() : fold_box(points);
}

// Packs rows of an (n, c) view into (x, y, z, 0) vectors; columns beyond
// the third are ignored. Fails when a non-empty view has fewer than three
// columns.
template <class T>
PackedPoints<T> pack_points(StridedView2D<T> points) {
    PackedPoints<T> packed = PackedPoints<T>::uninitialized(points.rows);
    if (points.rows != 0 && points.cols < 3) fail(kNdarrayOutOfBounds);
    for (std::size_t i = 0; i < points.rows; ++i) {
        packed[i] = Vec4<T>{{points(i, 0), points(i, 1), points(i, 2), T(0)}};
    }
    return packed;
}

PackedPoints<float> pack_points_f32(StridedView2D<float> points);
PackedPoints<double> pack_points_f64(StridedView2D<double> points);

}  // namespace tevu

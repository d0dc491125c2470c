// Exact geometric predicates in double precision.
//
// Each predicate returns the exact sign of a determinant of its (double)
// arguments. A floating-point evaluation with a proven error bound settles
// almost every call. Only when its result is within the bound of zero is
// the determinant evaluated again: in double-double arithmetic, corrected
// for the rounding of the coordinate differences, when that can settle it
// with a bound of its own, and otherwise exactly, with expansion
// arithmetic, from the coordinate differences when those were exact (as on
// grids), else from the raw coordinates. Exact differences that are small
// whole multiples of one power of two (grids, rounded coordinates) need no
// second evaluation: the first was exact.
//
// The first filter, inline below, bounds the rounding error by the largest
// coordinate difference alone (a few operations); where it cannot decide,
// the `_adaptive` functions try the tighter bound of the same sum taken in
// absolute values, then exact arithmetic. The inline predicates take
// coordinates below 2^180 in magnitude (the builder scales its points to
// below 2), as their products must not overflow; the `_adaptive` ones, and
// `collinear`, any finite coordinates.
#pragma once

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace tevu::geom {

struct Vec3 {
    double x, y, z;
};

// Equal positions (0 and -0 alike) and the lexicographic order of positions.
inline bool same_position(const Vec3& a, const Vec3& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}
inline bool position_less(const Vec3& a, const Vec3& b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z < b.z;
}

// The same results as orient3d and insphere, without the first filter.
int orient3d_adaptive(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d);
int insphere_adaptive(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d,
                      const Vec3& e);

namespace filter {

constexpr double kEpsilon = 0x1p-53;  // half an ulp of 1: the unit roundoff
// With every difference at most m in magnitude, orient3d's sum of absolute
// products is at most 6 m^3 and insphere's 72 m^5; the adaptive bounds are
// 8 and 18 units of roundoff of those sums (rounded up here, with room for
// the rounding of the bound itself). Both hold for any order of the same
// operations of the same depth (insphere: difference, product, difference,
// product, sum of three, product with the lift, sum of four).
constexpr double kOrient = 50.0 * kEpsilon;
constexpr double kInsphere = 1400.0 * kEpsilon;
// Below this largest difference m^5 could lose precision to underflow.
constexpr double kSmallest = 1e-60;

// Four doubles in one value, for the four rows of a determinant.
using Lanes = double __attribute__((vector_size(32)));
using LaneIndex = long long __attribute__((vector_size(32)));

// Lane i takes lane (i + k) mod 4.
template <int k>
inline Lanes rotate(Lanes v) {
#if defined(__clang__)
    return __builtin_shufflevector(v, v, k % 4, (k + 1) % 4, (k + 2) % 4, (k + 3) % 4);
#else
    return __builtin_shuffle(v, LaneIndex{k % 4, (k + 1) % 4, (k + 2) % 4, (k + 3) % 4});
#endif
}

// Lane-wise |v| (the sign bit cleared), and the larger of a and b in each
// lane. A NaN may be dropped, as std::max drops it; where a difference is
// NaN the determinant is too, and fails the filter.
inline Lanes magnitude(Lanes v) {
    const LaneIndex all_but_sign = LaneIndex{} + 0x7FFFFFFFFFFFFFFFLL;
    return reinterpret_cast<Lanes>(reinterpret_cast<LaneIndex>(v) & all_but_sign);
}
inline Lanes larger(Lanes a, Lanes b) { return a > b ? a : b; }
inline double largest_lane(Lanes v) {
    const Lanes half = larger(v, rotate<2>(v));
    return std::max(half[0], half[1]);
}

// The 3x3 minors [r_i, r_i+1, r_i+2] (abc, bcd, cda, dab) of four rows in
// lanes, expanded along z, from their 2x2 minors in x and y of lanes
// (i, i + 1) (`adjacent`: ab, bc, cd, da) and (i, i + 2) (`opposite`: ac,
// bd, ca, db). The insphere stages share this arrangement.
inline Lanes minors_along_z(Lanes z, Lanes adjacent, Lanes opposite) {
    return (z * rotate<1>(adjacent) - rotate<1>(z) * opposite) + rotate<2>(z) * adjacent;
}

// The insphere determinant along the lift column, from those minors and
// the rows' lifts: d*abc - a*bcd + b*cda - c*dab.
inline double along_lift_column(Lanes lift, Lanes minors) {
    const Lanes terms = rotate<3>(lift) * minors;
    return (terms[0] - terms[1]) + (terms[2] - terms[3]);
}

inline double largest_magnitude(std::initializer_list<double> values) {
    double m = 0.0;
    for (const double v : values) m = std::max(m, std::fabs(v));
    return m;
}

}  // namespace filter

// +1 when d lies below the plane through a, b, c (seen from above, a, b, c
// counter-clockwise), -1 when above, 0 when the four are coplanar: the sign
// of det[a - d; b - d; c - d].
inline int orient3d(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
    const double adx = a.x - d.x, ady = a.y - d.y, adz = a.z - d.z;
    const double bdx = b.x - d.x, bdy = b.y - d.y, bdz = b.z - d.z;
    const double cdx = c.x - d.x, cdy = c.y - d.y, cdz = c.z - d.z;
    const double det = adz * (bdx * cdy - cdx * bdy) + bdz * (cdx * ady - adx * cdy) +
                       cdz * (adx * bdy - bdx * ady);
    const double m =
        filter::largest_magnitude({adx, ady, adz, bdx, bdy, bdz, cdx, cdy, cdz});
    const double bound = filter::kOrient * (m * m * m);
    // One branch that is nearly always taken; the sign itself without one.
    if (m > filter::kSmallest && std::fabs(det) > bound) return (det > 0.0) - (det < 0.0);
    return orient3d_adaptive(a, b, c, d);
}

// For a, b, c, d with orient3d(a, b, c, d) > 0: +1 when e lies inside their
// circumsphere, -1 outside, 0 on it: the sign of
// det[a - e, |a - e|^2; b - e, |b - e|^2; c - e, |c - e|^2; d - e, |d - e|^2].
inline int insphere(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, const Vec3& e) {
    // The four rows a - e, b - e, c - e, d - e side by side, one lane each.
    using V = filter::Lanes;
    const V x = V{a.x, b.x, c.x, d.x} - e.x;
    const V y = V{a.y, b.y, c.y, d.y} - e.y;
    const V z = V{a.z, b.z, c.z, d.z} - e.z;
    const V lift = (x * x + y * y) + z * z;
    // 2x2 minors of lanes (i, i + 1) and (i, i + 2): (ab, bc, cd, da) and
    // (ac, bd, ca, db); then the 3x3 minors (abc, bcd, cda, dab), each
    // expanded along z.
    const V next = filter::rotate<1>(x) * y, adjacent = x * filter::rotate<1>(y) - next;
    const V opposite = x * filter::rotate<2>(y) - filter::rotate<2>(x) * y;
    const double det =
        filter::along_lift_column(lift, filter::minors_along_z(z, adjacent, opposite));
    const double m = filter::largest_lane(filter::larger(filter::larger(filter::magnitude(x),
                                                                         filter::magnitude(y)),
                                                         filter::magnitude(z)));
    const double m2 = m * m;
    const double bound = filter::kInsphere * (m2 * m2 * m);
    // One branch that is nearly always taken; the sign itself without one.
    if (m > filter::kSmallest && std::fabs(det) > bound) return (det > 0.0) - (det < 0.0);
    return insphere_adaptive(a, b, c, d, e);
}

// Whether a, b, c lie on one line (two equal points included), exactly.
bool collinear(const Vec3& a, const Vec3& b, const Vec3& c);

// The sign insphere takes for five points on one sphere (insphere == 0)
// when ties are broken by a symbolic perturbation: every point p_i is
// lifted to |p_i|^2 + eps_i, with eps_i infinitesimal and larger (by an
// infinite factor) for a larger `id` (any fixed priority of the points).
// The five ids must be distinct and the first four points must not be
// coplanar (in practice: they form a cell, orient3d(a, b, c, d) > 0). Never
// returns 0. The perturbed point set is in general position for spheres, so
// a triangulation that uses insphere with this tie-break is the Delaunay
// triangulation of one fixed infinitesimally perturbed copy of the input,
// whatever the insertion order.
int insphere_tie(const Vec3* const p[5], const unsigned id[5]);

}  // namespace tevu::geom

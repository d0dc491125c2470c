// The insphere and orient3d signs in fixed-width integers, for tests whose
// coordinates share one narrow window of binary places.
//
// Clouds of ties with a decimal step (a 0.1 grid, scan lines sampled every
// centimetre) give tests that double-double arithmetic cannot decide, as
// their determinant is exactly zero or nearly. Their coordinates, written
// as whole multiples of the smallest binary place any of them uses, are
// integers of some 55-60 bits: the determinant then takes a few dozen
// 64-bit multiplications into 320 bits, against the thousand components of
// an expansion. Values near zero beside larger ones (z = 0.1 sin 3x) need
// a few more bits; up to 124 the same determinant is taken in 128-bit
// coordinates, still far cheaper than the expansions.
#pragma once

#include "predicates.hpp"

namespace tevu::geom::fixed {

// Whether the 15 coordinates, as multiples of the smallest binary place any
// of them uses, all lie below 2^124 (none subnormal); when they do,
// `sign` is set to the sign insphere(*p[0], ..., *p[4]) computes.
bool insphere(const Vec3* const p[5], int& sign);
// The same for the 12 coordinates of orient3d(a, b, c, d).
bool orient3d(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, int& sign);

// How many binary places the coordinates of `count` points (at most 5)
// span, from the smallest place any of them uses to the top of the
// largest; -1 when one is subnormal, infinite or NaN. Up to kNarrowPlaces
// the tests above run in 64-bit coordinates, beyond it in 128-bit ones.
int places_spanned(const Vec3* const* p, int count);
inline constexpr int kNarrowPlaces = 60;

}  // namespace tevu::geom::fixed

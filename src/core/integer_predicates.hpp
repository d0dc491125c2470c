// Exact signs of the predicates for any finite doubles, in integers.
//
// Expansion arithmetic is exact only while no product of coordinates leaves
// the range of normal doubles. A test whose coordinates differ widely in
// magnitude (a far outlier beside points near the origin, say) could make
// products of its smallest differences underflow. These functions write
// every coordinate of the test as a whole multiple of the smallest unit any
// of them uses and evaluate the determinant in integers of whatever length
// it needs: slow, allocating, and exact for every finite input. They are the
// last resort of the predicates, for tests outside the expansions' range.
#pragma once

#include "predicates.hpp"

namespace tevu::geom::integer {

// The sign of det[a - d; b - d; c - d], as orient3d.
int orient3d(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d);
// The sign insphere(*p[0], ..., *p[4]) computes.
int insphere(const Vec3* const p[5]);
// Whether a, b, c lie on one line, as geom::collinear.
bool collinear(const Vec3& a, const Vec3& b, const Vec3& c);

}  // namespace tevu::geom::integer

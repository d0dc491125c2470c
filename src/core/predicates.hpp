// Exact geometric predicates in double precision.
//
// Each predicate returns the exact sign of a determinant of its (double)
// arguments. A floating-point evaluation with a proven error bound settles
// almost every call; only when its result is within the bound of zero is
// the determinant evaluated again, exactly, with expansion arithmetic:
// first from the coordinate differences when those were exact (as on
// grids), else from the raw coordinates.
#pragma once

namespace tevu::geom {

struct Vec3 {
    double x, y, z;
};

// +1 when d lies below the plane through a, b, c (seen from above, a, b, c
// counter-clockwise), -1 when above, 0 when the four are coplanar: the sign
// of det[a - d; b - d; c - d].
int orient3d(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d);

// For a, b, c, d with orient3d(a, b, c, d) > 0: +1 when e lies inside their
// circumsphere, -1 outside, 0 on it: the sign of
// det[a - e, |a - e|^2; b - e, |b - e|^2; c - e, |c - e|^2; d - e, |d - e|^2].
int insphere(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, const Vec3& e);

// Whether a, b, c lie on one line (two equal points included), exactly.
bool collinear(const Vec3& a, const Vec3& b, const Vec3& c);

// insphere with ties broken by a symbolic perturbation: every point p_i is
// lifted to |p_i|^2 + eps_i, with eps_i infinitesimal and larger (by an
// infinite factor) for a larger `id`. The five ids must be distinct and no
// four of the points may be coplanar when the first four are (in practice:
// a, b, c, d form a cell, orient3d(a, b, c, d) > 0). Never returns 0. The
// perturbed point set is in general position for spheres, so a
// triangulation built with this predicate is the Delaunay triangulation of
// one fixed infinitesimally perturbed copy of the input, whatever the
// insertion order.
int insphere_perturbed(const Vec3* const p[5], const unsigned id[5]);

}  // namespace tevu::geom

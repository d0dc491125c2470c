#include "predicates.hpp"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "expansion.hpp"
#include "fixed_predicates.hpp"
#include "integer_predicates.hpp"

namespace tevu::geom {

namespace {

using exact::Expansion;

constexpr double kEpsilon = filter::kEpsilon;  // the unit roundoff
// Error bounds of the floating-point evaluations below, relative to the
// permanent (the same sum with every product taken in absolute value).
// They follow Shewchuk's bounds for this evaluation order, with a margin.
constexpr double kOrientBound = (8.0 + 64.0 * kEpsilon) * kEpsilon;
constexpr double kInsphereBound = (18.0 + 256.0 * kEpsilon) * kEpsilon;
// A bound on the error of the insphere determinant of the rounded
// differences in double-double arithmetic plus the first-order correction
// for their rounding, relative to the permanent: the double-double
// evaluation errs by about 40 u^2; the terms of second and higher order in
// the tails come to at most 10.1 u^2 (a degree-5 polynomial with every
// variable off by a factor within 1 +- u); the correction, at most 5 u, is
// evaluated in floating point to within about 100 u^2; the last two
// additions err by at most 2 u of the result plus 5 u^2. The bound takes a
// wide margin over their sum. It is used only for permanents of at least
// 2^-860, where what underflows errs by far less than the bound.
constexpr double kInsphereCorrectedBound = 2048.0 * kEpsilon * kEpsilon;
// The same for orient3d: the double-double evaluation errs by about 20 u^2,
// the terms of higher order by at most 3.1 u^2 (degree 3), and the
// correction (at most 3 u) is evaluated to within about 30 u^2.
constexpr double kOrientCorrectedBound = 1024.0 * kEpsilon * kEpsilon;
// The floating-point and double-double bounds above hold for permanents
// from here up: below, rounding to the subnormal range could err by more.
constexpr double kSmallestPermanent = 0x1p-860;

// Tests whose coordinates are all this small are scaled up first, by a
// power of two (exactly, and without changing any sign), so that the
// floating-point filters can decide them as they decide tests at unit
// scale.
constexpr double kScaleUpBelow = 0x1p-100;
// The expansions are exact when every nonzero coordinate lies in this
// range: differences are then whole multiples of 2^-202 or more, so no
// product of five (insphere's degree) falls below 2^-1010, and none
// overflows. Other tests go to integer arithmetic.
constexpr double kExpansionLow = 0x1p-150;
constexpr double kExpansionHigh = 0x1p200;

// Whether every coordinate of the points is below kScaleUpBelow, and not
// all are zero. Most tests have a coordinate at unit scale, and the first
// one read usually tells.
bool all_small(std::initializer_list<const Vec3*> points) {
    bool nonzero = false;
    for (const Vec3* p : points) {
        for (const double v : {p->x, p->y, p->z}) {
            if (!(std::fabs(v) < kScaleUpBelow)) return false;
            nonzero = nonzero || v != 0.0;
        }
    }
    return nonzero;
}

// Copies of the points scaled by the power of two that brings their largest
// coordinate into [1, 2).
template <std::size_t N>
void scale_up(const Vec3* const (&points)[N], Vec3 (&out)[N]) {
    double largest = 0.0;
    for (const Vec3* p : points) {
        largest = std::max({largest, std::fabs(p->x), std::fabs(p->y), std::fabs(p->z)});
    }
    const int shift = -std::ilogb(largest);
    for (std::size_t i = 0; i < N; ++i) {
        out[i] = {std::ldexp(points[i]->x, shift), std::ldexp(points[i]->y, shift),
                  std::ldexp(points[i]->z, shift)};
    }
}

[[gnu::noinline]] int orient3d_scaled_up(const Vec3& a, const Vec3& b, const Vec3& c,
                                         const Vec3& d) {
    Vec3 s[4];
    scale_up({&a, &b, &c, &d}, s);
    return orient3d(s[0], s[1], s[2], s[3]);
}

[[gnu::noinline]] int insphere_scaled_up(const Vec3& a, const Vec3& b, const Vec3& c,
                                         const Vec3& d, const Vec3& e) {
    Vec3 s[5];
    scale_up({&a, &b, &c, &d, &e}, s);
    return insphere(s[0], s[1], s[2], s[3], s[4]);
}

// Whether the expansions evaluate a test of these points exactly.
bool in_expansion_range(std::initializer_list<const Vec3*> points) {
    auto fits = [](double v) {
        const double m = std::fabs(v);
        return m == 0.0 || (m >= kExpansionLow && m <= kExpansionHigh);
    };
    for (const Vec3* p : points) {
        if (!fits(p->x) || !fits(p->y) || !fits(p->z)) return false;
    }
    return true;
}

// The sign of an expansion and its approximate value.
struct Signed {
    int sign;
    double estimate;
};

Signed signed_of(Expansion e) {
    double total = 0.0;
    for (std::size_t i = 0; i < e.n; ++i) total += e.c[i];
    return {exact::sign(e), total};
}

int sign_of(double v) { return (v > 0.0) - (v < 0.0); }

// Whether v has at most 24 significant bits (and a float's exponent range).
// Converting a double beyond the float range is undefined, hence the first
// test.
bool fits_float(double v) {
    return std::fabs(v) <= FLT_MAX && static_cast<double>(static_cast<float>(v)) == v;
}

// Whether coordinate differences are exact and short (each fits a float):
// those of grids and integer points, whose determinants are often exactly
// zero, which only the expansions settle, and which keep them short.
bool short_exact(bool differences_exact, std::initializer_list<double> differences) {
    if (!differences_exact) return false;
    for (const double v : differences) {
        if (!fits_float(v)) return false;
    }
    return true;
}

// Whether the values are all whole multiples of one power of two u, each
// below 2^bits u in magnitude (u set by the largest of them). A polynomial
// in such values whose every intermediate result stays below 2^53 u^degree
// is then evaluated exactly in floating point. Grids and rounded
// coordinates give such differences, and their determinants are often
// exactly zero: that settles them without expansion arithmetic. All zeros,
// and magnitudes whose scaling or powers could leave the normal range, are
// left to the expansions.
template <int bits>
bool small_multiples(std::initializer_list<double> values) {
    const double largest = filter::largest_magnitude(values);
    constexpr double kLimit = static_cast<double>(std::uint64_t{1} << bits);
    if (!(largest >= 0x1p-180 && largest < kLimit)) return false;
    // An exact scaling by a power of two (at least 1) to multiples of 1,
    // from the exponent of the largest (a normal number).
    const int e = static_cast<int>(std::bit_cast<std::uint64_t>(largest) >> 52) - 1023;
    const auto biased = static_cast<std::uint64_t>(1023 + bits - 1 - e);
    const double scale = std::bit_cast<double>(biased << 52);
    // Adding and subtracting 1.5 * 2^52 rounds anything below 2^51 to a
    // whole number.
    constexpr double kRound = 0x1.8p52;
    for (const double v : values) {
        const double q = v * scale;
        if ((q + kRound) - kRound != q) return false;
    }
    return true;
}

// a.x*b.y - a.y*b.x style 2x2 minor of exact doubles (at most 4 components).
struct Minor2 {
    template <bool kFused>
    [[gnu::always_inline]] static Expansion run(double a1, double b2, double a2, double b1,
                                                double* out) {
        double p[2], q[2];
        return exact::difference(exact::product<kFused>(a1, b2, p),
                                 exact::product<kFused>(a2, b1, q), out);
    }
};
Expansion minor2(double a1, double b2, double a2, double b1, double* out) {
    return exact::with_products<Minor2>(a1, b2, a2, b1, out);
}

// z-weighted sum of three 2x2 minors: za*mbc - zb*mac + zc*mab, the 3x3
// determinant of rows (x, y, z) expanded along z (at most 24 components).
Expansion minor3(double za, Expansion mbc, double zb, Expansion mac, double zc, Expansion mab,
                 double* out) {
    double t1[8], t2[8], t3[8], s[16];
    const Expansion a = exact::scale(mbc, za, t1);
    const Expansion b = exact::scale(mac, zb, t2);
    const Expansion c = exact::scale(mab, zc, t3);
    return exact::compress(exact::sum(exact::difference(a, b, s), c, out));
}

// det[p; q; r] of the raw coordinates (at most 24 components).
Expansion det3(const Vec3& p, const Vec3& q, const Vec3& r, double* out) {
    double qr[4], pr[4], pq[4];
    const Expansion mqr = minor2(q.x, r.y, r.x, q.y, qr);
    const Expansion mpr = minor2(p.x, r.y, r.x, p.y, pr);
    const Expansion mpq = minor2(p.x, q.y, q.x, p.y, pq);
    return minor3(p.z, mqr, q.z, mpr, r.z, mpq, out);
}

// orient3d from the raw coordinates: det of rows (x, y, z, 1), expanded
// along the column of ones (at most 96 components).
Expansion orient_raw(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, double* out) {
    double t1[24], t2[24], t3[24], t4[24], s1[48], s2[48];
    const Expansion abc = det3(a, b, c, t1);
    const Expansion abd = det3(a, b, d, t2);
    const Expansion acd = det3(a, c, d, t3);
    const Expansion bcd = det3(b, c, d, t4);
    return exact::compress(
        exact::sum(exact::difference(abc, abd, s1), exact::difference(acd, bcd, s2), out));
}

// The orient3d determinant of the differences in double-double arithmetic.
struct OrientDoubleDouble {
    template <bool kFused>
    [[gnu::always_inline]] static exact::DoubleDouble run(double adx, double ady, double adz,
                                                          double bdx, double bdy, double bdz,
                                                          double cdx, double cdy, double cdz) {
        auto minor = [](double x1, double y2, double x2, double y1) {
            return exact::dd_difference(exact::dd_product<kFused>(x1, y2),
                                        exact::dd_product<kFused>(x2, y1));
        };
        return exact::dd_sum(
            exact::dd_sum(exact::dd_scale<kFused>(minor(bdx, cdy, cdx, bdy), adz),
                          exact::dd_scale<kFused>(minor(cdx, ady, adx, cdy), bdz)),
            exact::dd_scale<kFused>(minor(adx, bdy, bdx, ady), cdz));
    }
};

// `det` and `permanent` as orient3d_adaptive evaluated them.
int orient_exact(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, double det,
                 double permanent) {
    double adx, ady, adz, bdx, bdy, bdz, cdx, cdy, cdz, t[9];
    exact::two_diff(a.x, d.x, adx, t[0]);
    exact::two_diff(a.y, d.y, ady, t[1]);
    exact::two_diff(a.z, d.z, adz, t[2]);
    exact::two_diff(b.x, d.x, bdx, t[3]);
    exact::two_diff(b.y, d.y, bdy, t[4]);
    exact::two_diff(b.z, d.z, bdz, t[5]);
    exact::two_diff(c.x, d.x, cdx, t[6]);
    exact::two_diff(c.y, d.y, cdy, t[7]);
    exact::two_diff(c.z, d.z, cdz, t[8]);
    bool differences_exact = true;
    for (double tail : t) differences_exact = differences_exact && tail == 0.0;
    // Short exact differences go to the expansions straight away. Longer
    // ones, exact or not (nearby points of a tilted plane, say), are nearly
    // always decided in double-double.
    if (!short_exact(differences_exact, {adx, ady, adz, bdx, bdy, bdz, cdx, cdy, cdz})) {
        // The determinant of the rounded differences in double-double
        // arithmetic, corrected to first order for their rounding: the
        // rows move by their tails, and d[u,v,w] = t_u.(v x w) + t_v.(w x u)
        // + t_w.(u x v), at most 3 u times the permanent.
        const exact::DoubleDouble det = exact::with_products<OrientDoubleDouble>(
            adx, ady, adz, bdx, bdy, bdz, cdx, cdy, cdz);
        double approximate = det.hi + det.lo;
        if (!differences_exact) {
            const double bc[3] = {bdy * cdz - bdz * cdy, bdz * cdx - bdx * cdz,
                                  bdx * cdy - bdy * cdx};
            const double ca[3] = {cdy * adz - cdz * ady, cdz * adx - cdx * adz,
                                  cdx * ady - cdy * adx};
            const double ab[3] = {ady * bdz - adz * bdy, adz * bdx - adx * bdz,
                                  adx * bdy - ady * bdx};
            approximate += (t[0] * bc[0] + t[1] * bc[1] + t[2] * bc[2]) +
                           (t[3] * ca[0] + t[4] * ca[1] + t[5] * ca[2]) +
                           (t[6] * ab[0] + t[7] * ab[1] + t[8] * ab[2]);
        }
        if (permanent >= kSmallestPermanent &&
            std::fabs(approximate) > kOrientCorrectedBound * permanent) {
            return sign_of(approximate);
        }
        if (int sign; fixed::orient3d(a, b, c, d, sign)) return sign;
    }
    if (!differences_exact) {
        if (!in_expansion_range({&a, &b, &c, &d})) return integer::orient3d(a, b, c, d);
        double out[96];
        return exact::sign(orient_raw(a, b, c, d, out));
    }
    // Exact differences: their determinant, exactly, is the answer. With
    // at most 16 bits each, every product of the floating-point evaluation
    // is below 2^32 units, every minor below 2^33 and their sum below 2^51:
    // it was exact.
    if (small_multiples<16>({adx, ady, adz, bdx, bdy, bdz, cdx, cdy, cdz})) return sign_of(det);
    if (!in_expansion_range({&a, &b, &c, &d})) return integer::orient3d(a, b, c, d);
    double bc[4], ca[4], ab[4], rounded[24];
    const Expansion mbc = minor2(bdx, cdy, cdx, bdy, bc);
    const Expansion mac = minor2(adx, cdy, cdx, ady, ca);
    const Expansion mab = minor2(adx, bdy, bdx, ady, ab);
    return exact::sign(minor3(adz, mbc, bdz, mac, cdz, mab, rounded));
}

// |p|^2 of exact doubles (at most 6 components).
struct Lift {
    template <bool kFused>
    [[gnu::always_inline]] static Expansion run(double x, double y, double z, double* out) {
        double px[2], py[2], pz[2], s[4];
        return exact::compress(exact::sum(
            exact::sum(exact::product<kFused>(x, x, px), exact::product<kFused>(y, y, py), s),
            exact::product<kFused>(z, z, pz), out));
    }
};
Expansion lift(double x, double y, double z, double* out) {
    return exact::with_products<Lift>(x, y, z, out);
}

// Lane i of the result takes lane (i + k) mod 4 of v.
template <int k>
[[gnu::always_inline]] inline exact::DoubleDoubleOf<filter::Lanes> rotated(
    const exact::DoubleDoubleOf<filter::Lanes>& v) {
    return {filter::rotate<k>(v.hi), filter::rotate<k>(v.lo)};
}

// The insphere determinant of the differences in double-double arithmetic,
// with the four rows side by side in the lanes of vectors, as the filter of
// `insphere` arranges it: the same operations at the same depth as in
// insphere_adaptive, so its error is accounted for in
// kInsphereCorrectedBound.
struct InsphereDoubleDouble {
    template <bool kFused>
    [[gnu::always_inline]] static double run(const double* dx, const double* dy,
                                             const double* dz) {
        using V = filter::Lanes;
        using DD = exact::DoubleDoubleOf<V>;
        using filter::rotate;
        const V x = {dx[0], dx[1], dx[2], dx[3]};
        const V y = {dy[0], dy[1], dy[2], dy[3]};
        const V z = {dz[0], dz[1], dz[2], dz[3]};
        // 2x2 minors of lanes (i, i + 1) and (i, i + 2): (ab, bc, cd, da) and
        // (ac, bd, ca, db).
        const DD adjacent = exact::dd_difference(exact::dd_product<kFused>(x, rotate<1>(y)),
                                                 exact::dd_product<kFused>(rotate<1>(x), y));
        const DD opposite = exact::dd_difference(exact::dd_product<kFused>(x, rotate<2>(y)),
                                                 exact::dd_product<kFused>(rotate<2>(x), y));
        // The 3x3 minors (abc, bcd, cda, dab), each along z.
        const DD minor3 =
            exact::dd_sum(exact::dd_difference(exact::dd_scale<kFused>(rotated<1>(adjacent), z),
                                               exact::dd_scale<kFused>(opposite, rotate<1>(z))),
                          exact::dd_scale<kFused>(adjacent, rotate<2>(z)));
        const DD lift = exact::dd_sum(
            exact::dd_sum(exact::dd_product<kFused>(x, x), exact::dd_product<kFused>(y, y)),
            exact::dd_product<kFused>(z, z));
        // Along the lift column: d*abc - a*bcd + b*cda - c*dab.
        const DD terms = exact::dd_product<kFused>(rotated<3>(lift), minor3);
        auto lane = [&](int i) { return exact::DoubleDouble{terms.hi[i], terms.lo[i]}; };
        const exact::DoubleDouble det =
            exact::dd_sum(exact::dd_difference(lane(0), lane(1)),
                          exact::dd_difference(lane(2), lane(3)));
        return det.hi + det.lo;
    }
};
double insphere_double_double(const double dx[4], const double dy[4], const double dz[4]) {
    return exact::with_products<InsphereDoubleDouble>(dx, dy, dz);
}

// The first-order change of the insphere determinant (in the arrangement
// of insphere_adaptive: rows a, b, c, d of differences, D = |d|^2 [a,b,c] -
// |c|^2 [d,a,b] + |b|^2 [c,d,a] - |a|^2 [b,c,d]) when each row r moves by
// its tail t_r: d|r|^2 = 2 r.t_r, and d[u,v,w] = t_u.(v x w) + t_v.(w x u) +
// t_w.(u x v). As every tail is at most u times its difference (u the unit
// roundoff) and D has degree 5, it is at most 5 u times the permanent.
// (Run in the fused build for its wider registers, as InspherePermanent below.)
struct InsphereTailCorrection {
    template <bool kFused>
    [[gnu::always_inline]] static double run(const double* dx, const double* dy,
                                             const double* dz, const double* tx,
                                             const double* ty, const double* tz) {
        // In the lanes of the filter of `insphere`: lane i holds row r_i, its
        // tail t_i, and the minor [r_i, r_i+1, r_i+2] (abc, bcd, cda, dab).
        using V = filter::Lanes;
        using filter::rotate;
        const V x = {dx[0], dx[1], dx[2], dx[3]}, y = {dy[0], dy[1], dy[2], dy[3]};
        const V z = {dz[0], dz[1], dz[2], dz[3]};
        const V sx = {tx[0], tx[1], tx[2], tx[3]}, sy = {ty[0], ty[1], ty[2], ty[3]};
        const V sz = {tz[0], tz[1], tz[2], tz[3]};
        auto dot = [](V ax, V ay, V az, V bx, V by, V bz) { return (ax * bx + ay * by) + az * bz; };
        // r_i x r_i+1 (n) and r_i x r_i+2 (f).
        const V x1 = rotate<1>(x), y1 = rotate<1>(y), z1 = rotate<1>(z);
        const V x2 = rotate<2>(x), y2 = rotate<2>(y), z2 = rotate<2>(z);
        const V nx = y * z1 - z * y1, ny = z * x1 - x * z1, nz = x * y1 - y * x1;
        const V fx = y * z2 - z * y2, fy = z * x2 - x * z2, fz = x * y2 - y * x2;
        const V minor3 = filter::minors_along_z(z, nz, fz);
        // t_i.(r_i+1 x r_i+2) + t_i+1.(r_i+2 x r_i) + t_i+2.(r_i x r_i+1).
        const V d_minor3 =
            (dot(sx, sy, sz, rotate<1>(nx), rotate<1>(ny), rotate<1>(nz)) -
             dot(rotate<1>(sx), rotate<1>(sy), rotate<1>(sz), fx, fy, fz)) +
            dot(rotate<2>(sx), rotate<2>(sy), rotate<2>(sz), nx, ny, nz);
        const V lift = (x * x + y * y) + z * z;
        const V d_lift = 2.0 * dot(x, y, z, sx, sy, sz);
        // D = sum over lanes of +-|r_i-1|^2 [r_i, r_i+1, r_i+2], as in the filter.
        const V terms = rotate<3>(d_lift) * minor3 + rotate<3>(lift) * d_minor3;
        return (terms[0] - terms[1]) + (terms[2] - terms[3]);
    }
};
double insphere_tail_correction(const double dx[4], const double dy[4], const double dz[4],
                                const double tx[4], const double ty[4], const double tz[4]) {
    return exact::with_products<InsphereTailCorrection>(dx, dy, dz, tx, ty, tz);
}

// The insphere determinant from exact coordinate differences (relative to
// e), at most 1152 components.
Signed insphere_from_differences(const double dx[4], const double dy[4], const double dz[4]) {
    double m[6][4];
    const Expansion ab = minor2(dx[0], dy[1], dx[1], dy[0], m[0]);
    const Expansion bc = minor2(dx[1], dy[2], dx[2], dy[1], m[1]);
    const Expansion cd = minor2(dx[2], dy[3], dx[3], dy[2], m[2]);
    const Expansion ac = minor2(dx[0], dy[2], dx[2], dy[0], m[3]);
    const Expansion bd = minor2(dx[1], dy[3], dx[3], dy[1], m[4]);
    const Expansion ad = minor2(dx[0], dy[3], dx[3], dy[0], m[5]);
    double t[4][24];
    const Expansion abc = minor3(dz[0], bc, dz[1], ac, dz[2], ab, t[0]);
    const Expansion abd = minor3(dz[0], bd, dz[1], ad, dz[3], ab, t[1]);
    const Expansion acd = minor3(dz[0], cd, dz[2], ad, dz[3], ac, t[2]);
    const Expansion bcd = minor3(dz[1], cd, dz[2], bd, dz[3], bc, t[3]);
    double l[4][6];
    Expansion lifts[4];
    for (int i = 0; i < 4; ++i) lifts[i] = lift(dx[i], dy[i], dz[i], l[i]);
    // Expanded along the lift column: d*abc - c*abd + b*acd - a*bcd.
    double p[4][288], scratch[2 * 6 * 25], s1[576], s2[576], out[1152];
    const Expansion td = exact::product(lifts[3], abc, p[0], scratch);
    const Expansion tc = exact::product(lifts[2], abd, p[1], scratch);
    const Expansion tb = exact::product(lifts[1], acd, p[2], scratch);
    const Expansion ta = exact::product(lifts[0], bcd, p[3], scratch);
    return signed_of(exact::sum(exact::difference(td, tc, s1), exact::difference(tb, ta, s2), out));
}

// The insphere determinant from the raw coordinates: the 5x5 determinant of
// rows (x, y, z, |p|^2, 1), expanded along the lift column, at most 5760
// components.
int insphere_raw(const Vec3* const p[5]) {
    // On the heap: 90 KiB would crowd the small stacks some platforms give
    // threads. Left uninitialised: clouds of exact ties (scan lines across
    // a grid) come here often, and zeroing it cost more than the sums.
    const std::unique_ptr<double[]> sums(new double[2 * 5760]);
    double* const sum_a = sums.get();
    double* const sum_b = sum_a + 5760;
    Expansion acc{sum_a, 0};
    double* spare = sum_b;
    for (int i = 0; i < 5; ++i) {
        const Vec3* q[4];
        for (int j = 0, k = 0; j < 5; ++j) {
            if (j != i) q[k++] = p[j];
        }
        double o[96], w[6], term[1152], scratch[2 * 96 * 7];
        const Expansion orient = orient_raw(*q[0], *q[1], *q[2], *q[3], o);
        const Expansion weight = lift(p[i]->x, p[i]->y, p[i]->z, w);
        const Expansion t = exact::product(orient, weight, term, scratch);
        // Cofactor sign (-1)^(i+1).
        acc = (i % 2 == 1) ? exact::sum(acc, t, spare) : exact::difference(acc, t, spare);
        spare = acc.c == sum_a ? sum_b : sum_a;
    }
    return exact::sign(acc);
}

// `det` and `permanent` as insphere_adaptive evaluated them.
int insphere_exact(const Vec3* const p[5], double det, double permanent) {
    double dx[4], dy[4], dz[4], tx[4], ty[4], tz[4];
    bool differences_exact = true;
    for (int i = 0; i < 4; ++i) {
        exact::two_diff(p[i]->x, p[4]->x, dx[i], tx[i]);
        exact::two_diff(p[i]->y, p[4]->y, dy[i], ty[i]);
        exact::two_diff(p[i]->z, p[4]->z, dz[i], tz[i]);
        differences_exact = differences_exact && tx[i] == 0.0 && ty[i] == 0.0 && tz[i] == 0.0;
    }
    // Exact differences of at most 9 bits each make the floating-point
    // evaluation exact: products of two below 2^18 units, 2x2 minors below
    // 2^19, 3x3 minors below 2^30, lifts below 2^20, and the four terms
    // below 2^50, so their sum stays below 2^52.
    if (differences_exact && small_multiples<9>({dx[0], dx[1], dx[2], dx[3], dy[0], dy[1], dy[2],
                                                 dy[3], dz[0], dz[1], dz[2], dz[3]})) {
        return sign_of(det);
    }
    // Exact differences of at most 24 bits (grids, integer points) keep the
    // expansions short, and their determinant is often exactly zero: they
    // go to the expansions straight away. Otherwise the determinant of the
    // rounded differences in double-double arithmetic, corrected to first
    // order for the differences' rounding, decides all but the very nearly
    // degenerate cases (nearly flat cells) at a fraction of the cost.
    if (!short_exact(differences_exact, {dx[0], dx[1], dx[2], dx[3], dy[0], dy[1], dy[2], dy[3],
                                         dz[0], dz[1], dz[2], dz[3]})) {
        double approximate = insphere_double_double(dx, dy, dz);
        if (!differences_exact) approximate += insphere_tail_correction(dx, dy, dz, tx, ty, tz);
        if (permanent >= kSmallestPermanent &&
            std::fabs(approximate) > kInsphereCorrectedBound * permanent) {
            return sign_of(approximate);
        }
        // Ties and near ties whose coordinates share a narrow window of
        // binary places (decimal grids, scan lines) are decided in
        // fixed-width integers, far faster than by expansions.
        if (int sign; fixed::insphere(p, sign)) return sign;
    }
    if (!in_expansion_range({p[0], p[1], p[2], p[3], p[4]})) return integer::insphere(p);
    // With exact differences, their determinant is the answer.
    if (differences_exact) return insphere_from_differences(dx, dy, dz).sign;
    return insphere_raw(p);
}

// The determinant and permanent of the insphere test of a, b, c, d, e.
// Nothing here depends on kFused: the kernel runs in the fused build for its
// wider registers, in which the rotations of the lanes stay in registers.
struct InspherePermanent {
    struct Result {
        double det, permanent;
    };
    template <bool kFused>
    [[gnu::always_inline]] static Result run(const Vec3* a, const Vec3* b, const Vec3* c,
                                             const Vec3* d, const Vec3* e) {
        // The rows a - e, b - e, c - e, d - e side by side in the lanes, as the
        // filter of `insphere` and the double-double stage arrange them: the
        // determinant, and the permanent from the magnitudes of the same
        // products in the same tree, every difference made a sum. The tree
        // has the depth that kInsphereBound accounts for.
        using V = filter::Lanes;
        using filter::magnitude;
        using filter::rotate;
        const V x = V{a->x, b->x, c->x, d->x} - e->x;
        const V y = V{a->y, b->y, c->y, d->y} - e->y;
        const V z = V{a->z, b->z, c->z, d->z} - e->z;
        const V lift = (x * x + y * y) + z * z;
        // 2x2 minors of lanes (i, i + 1) and (i, i + 2), then the 3x3 minors
        // (abc, bcd, cda, dab) along z, and the terms along the lift column.
        const V x_next = x * rotate<1>(y), next_x = rotate<1>(x) * y;
        const V x_far = x * rotate<2>(y), far_x = rotate<2>(x) * y;
        const V adjacent = x_next - next_x, opposite = x_far - far_x;
        const double det =
            filter::along_lift_column(lift, filter::minors_along_z(z, adjacent, opposite));
        const V adjacent_p = magnitude(x_next) + magnitude(next_x);
        const V opposite_p = magnitude(x_far) + magnitude(far_x);
        const V z_p = magnitude(z);
        const V minor3_p = (z_p * rotate<1>(adjacent_p) + rotate<1>(z_p) * opposite_p) +
                           rotate<2>(z_p) * adjacent_p;
        const V terms_p = rotate<3>(lift) * minor3_p;
        return {det, (terms_p[0] + terms_p[1]) + (terms_p[2] + terms_p[3])};
    }
};

}  // namespace

int orient3d_adaptive(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
    if (all_small({&a, &b, &c, &d})) [[unlikely]] return orient3d_scaled_up(a, b, c, d);
    const double adx = a.x - d.x, ady = a.y - d.y, adz = a.z - d.z;
    const double bdx = b.x - d.x, bdy = b.y - d.y, bdz = b.z - d.z;
    const double cdx = c.x - d.x, cdy = c.y - d.y, cdz = c.z - d.z;
    const double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
    const double cdxady = cdx * ady, adxcdy = adx * cdy;
    const double adxbdy = adx * bdy, bdxady = bdx * ady;
    const double det =
        adz * (bdxcdy - cdxbdy) + bdz * (cdxady - adxcdy) + cdz * (adxbdy - bdxady);
    const double permanent = (std::fabs(bdxcdy) + std::fabs(cdxbdy)) * std::fabs(adz) +
                             (std::fabs(cdxady) + std::fabs(adxcdy)) * std::fabs(bdz) +
                             (std::fabs(adxbdy) + std::fabs(bdxady)) * std::fabs(cdz);
    const double bound = kOrientBound * permanent;
    if (permanent >= kSmallestPermanent && (det > bound || -det > bound)) return sign_of(det);
    return orient_exact(a, b, c, d, det, permanent);
}

int insphere_adaptive(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d,
                      const Vec3& e) {
    if (all_small({&a, &b, &c, &d, &e})) [[unlikely]] return insphere_scaled_up(a, b, c, d, e);
    const auto [det, permanent] = exact::with_products<InspherePermanent>(&a, &b, &c, &d, &e);
    const double bound = kInsphereBound * permanent;
    if (permanent >= kSmallestPermanent && (det > bound || -det > bound)) return sign_of(det);
    const Vec3* p[5] = {&a, &b, &c, &d, &e};
    return insphere_exact(p, det, permanent);
}

bool collinear(const Vec3& a, const Vec3& b, const Vec3& c) {
    if (all_small({&a, &b, &c})) {
        Vec3 s[3];
        scale_up({&a, &b, &c}, s);
        return collinear(s[0], s[1], s[2]);
    }
    if (!in_expansion_range({&a, &b, &c})) return integer::collinear(a, b, c);
    // The cross product (b - a) x (c - a) is zero exactly when each of its
    // components, a 2-D orientation of one coordinate projection, is.
    auto orient2d_zero = [](double ax, double ay, double bx, double by, double cx, double cy) {
        double t1[4], t2[4], t3[4], s[8], out[12];
        const Expansion ab = minor2(ax, by, bx, ay, t1);
        const Expansion bc = minor2(bx, cy, cx, by, t2);
        const Expansion ca = minor2(cx, ay, ax, cy, t3);
        return exact::sign(exact::sum(exact::sum(ab, bc, s), ca, out)) == 0;
    };
    return orient2d_zero(a.x, a.y, b.x, b.y, c.x, c.y) &&
           orient2d_zero(a.y, a.z, b.y, b.z, c.y, c.z) &&
           orient2d_zero(a.z, a.x, b.z, b.x, c.z, c.x);
}

int insphere_tie(const Vec3* const p[5], const unsigned id[5]) {
    // The determinant is linear in each lift; the coefficient of eps_i is
    // the cofactor (-1)^(i+1) orient3d(the other four, in order). The
    // largest perturbation whose cofactor is not zero decides.
    int order[5] = {0, 1, 2, 3, 4};
    for (int i = 1; i < 5; ++i) {
        for (int j = i; j > 0 && id[order[j]] > id[order[j - 1]]; --j) {
            const int t = order[j];
            order[j] = order[j - 1];
            order[j - 1] = t;
        }
    }
    for (int i : order) {
        const Vec3* q[4];
        for (int j = 0, k = 0; j < 5; ++j) {
            if (j != i) q[k++] = p[j];
        }
        const int o = orient3d(*q[0], *q[1], *q[2], *q[3]);
        if (o != 0) return (i % 2 == 1) ? o : -o;
    }
    return -1;  // unreachable for the inputs allowed above
}

}  // namespace tevu::geom

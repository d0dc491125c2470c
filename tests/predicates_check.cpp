// The exact predicates against integer arithmetic.
//
// Points with whole coordinates, scaled by a power of two and moved by a
// whole offset (all exact in double precision), have exact coordinate
// differences, whose orient3d and insphere determinants __int128 computes
// exactly. The configurations drawn make the tests tie or nearly tie, where
// the floating-point filters cannot decide: points on one sphere (signed
// permutations of one integer vector), on one plane (integer combinations of
// two vectors), some of them moved by one unit, and random points; from
// vectors of 1 to 20 bits, so differences run from a few units to some
// 2^23, across the lengths where plain floating point stops being exact
// (the insphere determinant then stays below 2^125, clear of overflow).
// Both the filtered predicates and their adaptive stages are checked, and
// the integer-arithmetic last resort; each configuration near the range the
// builder normalises to, and every fourth again at any scale that keeps it
// exact, from subnormal to near overflow, where the filters cannot work as
// they do at unit scale.
// Exits non-zero at the first sign that differs from the integers'.
//
// Usage: predicates_check [configurations per kind (default 200000)]
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

#include "core/expansion.hpp"
#include "core/fixed_predicates.hpp"
#include "core/integer_predicates.hpp"
#include "core/predicates.hpp"

namespace {

using tevu::geom::Vec3;
using Int = __int128;
using Point = std::array<std::int64_t, 3>;

int sign(Int v) { return (v > 0) - (v < 0); }

Int det3(const Int r[3][3]) {
    return r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
           r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
           r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
}

// The sign of det[a - d; b - d; c - d].
int orient_sign(const Point& a, const Point& b, const Point& c, const Point& d) {
    const Point* rows[3] = {&a, &b, &c};
    Int r[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) r[i][j] = Int{(*rows[i])[j]} - d[j];
    }
    return sign(det3(r));
}

// The sign of det[p - e, |p - e|^2] over the rows p = a, b, c, d, expanded
// along the last column.
int insphere_sign(const Point& a, const Point& b, const Point& c, const Point& d,
                  const Point& e) {
    const Point* rows[4] = {&a, &b, &c, &d};
    Int r[4][4];
    for (int i = 0; i < 4; ++i) {
        r[i][3] = 0;
        for (int j = 0; j < 3; ++j) {
            r[i][j] = Int{(*rows[i])[j]} - e[j];
            r[i][3] += r[i][j] * r[i][j];
        }
    }
    Int total = 0;
    for (int skip = 0; skip < 4; ++skip) {
        Int m[3][3];
        for (int i = 0, k = 0; i < 4; ++i) {
            if (i == skip) continue;
            for (int j = 0; j < 3; ++j) m[k][j] = r[i][j];
            ++k;
        }
        // Cofactor of row `skip`, column 3: (-1)^(skip + 3).
        const Int term = r[skip][3] * det3(m);
        total += (skip % 2 == 1) ? term : -term;
    }
    return sign(total);
}

struct Draw {
    std::mt19937_64 rng{20261209};

    std::int64_t uniform(std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
    }
    // A whole number of about `bits` bits, either sign.
    std::int64_t whole(int bits) { return uniform(-(std::int64_t{1} << bits), std::int64_t{1} << bits); }
    int bits() { return static_cast<int>(uniform(1, 20)); }
    Point vector(int b) { return {whole(b), whole(b), whole(b)}; }

    // A signed permutation of v: on the sphere of radius |v| about 0.
    Point on_sphere(const Point& v) {
        static constexpr int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                              {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
        const int* order = kOrders[uniform(0, 5)];
        Point p;
        for (int j = 0; j < 3; ++j) p[j] = (uniform(0, 1) ? 1 : -1) * v[order[j]];
        return p;
    }
    // Moves p by one unit along an axis, now and then.
    void maybe_nudge(Point& p) {
        if (uniform(0, 3) == 0) p[uniform(0, 2)] += uniform(0, 1) ? 1 : -1;
    }
};

// Five points of one kind, each moved by a common offset.
std::array<Point, 5> configuration(Draw& draw, int kind) {
    std::array<Point, 5> p;
    const int b = draw.bits();
    if (kind == 0) {
        const Point v = draw.vector(b);
        for (Point& q : p) q = draw.on_sphere(v);
    } else if (kind == 1) {
        const Point o = draw.vector(b), u = draw.vector(b), w = draw.vector(b);
        for (Point& q : p) {
            const std::int64_t i = draw.uniform(-3, 3), j = draw.uniform(-3, 3);
            for (int k = 0; k < 3; ++k) q[k] = o[k] + i * u[k] + j * w[k];
        }
    } else {
        for (Point& q : p) q = draw.vector(b);
    }
    for (Point& q : p) draw.maybe_nudge(q);
    const Point offset = draw.vector(static_cast<int>(draw.uniform(0, 30)));
    for (Point& q : p) {
        for (int k = 0; k < 3; ++k) q[k] += offset[k];
    }
    return p;
}

Vec3 to_double(const Point& p, int exponent) {
    auto scaled = [&](std::int64_t v) { return std::ldexp(static_cast<double>(v), exponent); };
    return {scaled(p[0]), scaled(p[1]), scaled(p[2])};
}

// Whether each of six tests gave the integers' sign; prints the first that
// did not, with the points (times `scale`).
bool agree(const int (&got)[6], const int (&want)[6], const char* const (&names)[6],
           const std::array<Point, 5>& p, const char* label, long index, const char* scale) {
    for (int t = 0; t < 6; ++t) {
        if (got[t] == want[t]) continue;
        std::printf("%s %ld: %s gave %d, the integers %d; points (times %s):\n", label, index,
                    names[t], got[t], want[t], scale);
        for (const Point& q : p) {
            std::printf("  %lld %lld %lld\n", static_cast<long long>(q[0]),
                        static_cast<long long>(q[1]), static_cast<long long>(q[2]));
        }
        return false;
    }
    return true;
}

bool check(const std::array<Point, 5>& p, int exponent, long index) {
    Vec3 x[5];
    for (int i = 0; i < 5; ++i) x[i] = to_double(p[i], exponent);
    const int want_orient = orient_sign(p[0], p[1], p[2], p[3]);
    const int want_insphere = insphere_sign(p[0], p[1], p[2], p[3], p[4]);
    using namespace tevu::geom;
    const Vec3* const all[5] = {&x[0], &x[1], &x[2], &x[3], &x[4]};
    // The filtered predicates take coordinates below 2^180 (these are below
    // 2^31 units); the others any.
    const bool in_range = exponent < 149;
    const int got[6] = {in_range ? orient3d(x[0], x[1], x[2], x[3]) : want_orient,
                        orient3d_adaptive(x[0], x[1], x[2], x[3]),
                        integer::orient3d(x[0], x[1], x[2], x[3]),
                        in_range ? insphere(x[0], x[1], x[2], x[3], x[4]) : want_insphere,
                        insphere_adaptive(x[0], x[1], x[2], x[3], x[4]),
                        integer::insphere(all)};
    const int want[6] = {want_orient, want_orient, want_orient,
                         want_insphere, want_insphere, want_insphere};
    static const char* const kNames[6] = {"orient3d", "orient3d_adaptive", "integer::orient3d",
                                          "insphere", "insphere_adaptive", "integer::insphere"};
    char scale[32];
    std::snprintf(scale, sizeof scale, "2^%d", exponent);
    return agree(got, want, kNames, p, "configuration", index, scale);
}

// Counts of the decimal configurations: those whose insphere coordinates
// fit the fixed-width integers, those of them that need the wide path, and
// those that tie.
struct DecimalCounts {
    long fixed = 0, wide = 0, tied = 0;
};

// The same points times steps that are no binary fractions (0.1, say), one
// per axis, each coordinate rounded: near ties of full-length mantissas,
// which only exact arithmetic decides. The integer-arithmetic last resort,
// exact for any doubles, is the reference here.
bool check_decimal(const std::array<Point, 5>& p, const double (&step)[3], long index,
                   DecimalCounts& counts) {
    Vec3 x[5];
    for (int i = 0; i < 5; ++i) {
        x[i] = {static_cast<double>(p[i][0]) * step[0], static_cast<double>(p[i][1]) * step[1],
                static_cast<double>(p[i][2]) * step[2]};
    }
    using namespace tevu::geom;
    const Vec3* const all[5] = {&x[0], &x[1], &x[2], &x[3], &x[4]};
    const int want_insphere = integer::insphere(all);
    const int want_orient = integer::orient3d(x[0], x[1], x[2], x[3]);
    int in_fixed = want_insphere, orient_in_fixed = want_orient;
    if (fixed::insphere(all, in_fixed)) {
        ++counts.fixed;
        counts.wide += fixed::places_spanned(all, 5) > fixed::kNarrowPlaces;
    }
    fixed::orient3d(x[0], x[1], x[2], x[3], orient_in_fixed);
    counts.tied += want_insphere == 0;
    const int got[6] = {insphere(x[0], x[1], x[2], x[3], x[4]),
                        insphere_adaptive(x[0], x[1], x[2], x[3], x[4]),
                        in_fixed,
                        orient3d(x[0], x[1], x[2], x[3]),
                        orient3d_adaptive(x[0], x[1], x[2], x[3]),
                        orient_in_fixed};
    const int want[6] = {want_insphere, want_insphere, want_insphere,
                         want_orient, want_orient, want_orient};
    static const char* const kNames[6] = {"insphere", "insphere_adaptive", "fixed::insphere",
                                          "orient3d", "orient3d_adaptive", "fixed::orient3d"};
    char scale[64];
    std::snprintf(scale, sizeof scale, "%g, %g, %g", step[0], step[1], step[2]);
    return agree(got, want, kNames, p, "decimal configuration", index, scale);
}

}  // namespace

int main(int argc, char** argv) {
    const long per_kind = argc > 1 ? std::atol(argv[1]) : 200000;
    Draw draw;
    long ties = 0;
    for (int kind = 0; kind < 3; ++kind) {
        for (long k = 0; k < per_kind; ++k) {
            const auto p = configuration(draw, kind);
            // Scaled into the range the builder normalises to, and far from it.
            const int exponent = static_cast<int>(draw.uniform(-60, 10)) - 20;
            if (!check(p, exponent, kind * per_kind + k)) return 1;
            // Every fourth, again at any scale at which the coordinates
            // (below 2^31 units) stay exact: from multiples of the smallest
            // subnormal to 2^1023, most of it decided in integers (slowly).
            if (k % 4 == 0) {
                const int anywhere = static_cast<int>(draw.uniform(-1074, 992));
                if (!check(p, anywhere, kind * per_kind + k)) return 1;
            }
            ties += insphere_sign(p[0], p[1], p[2], p[3], p[4]) == 0;
        }
    }
    // Both tests again at decimal steps; the fifth, much finer along z (a
    // scan of a nearly flat surface), spans more binary places. The last is
    // a whole number, which keeps ties and differences exact but makes the
    // differences longer than the expansions' shortcut takes.
    static constexpr double kSteps[6][3] = {
        {0.1, 0.1, 0.1}, {0.01, 0.01, 0.01}, {3.615e-3, 3.615e-3, 3.615e-3},
        {1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0}, {0.1, 0.1, 1e-5}, {12345679.0, 12345679.0, 12345679.0}};
    DecimalCounts counts;
    for (long k = 0; k < per_kind; ++k) {
        const auto p = configuration(draw, static_cast<int>(k % 3));
        if (!check_decimal(p, kSteps[k % 6], k, counts)) return 1;
    }
    std::printf("decimal steps: %ld configurations, %ld in fixed width (%ld wide), %ld tied\n",
                per_kind, counts.fixed, counts.wide, counts.tied);
    std::printf("predicates agree with the integers on %ld configurations (%ld on one sphere)"
                "; fused products: %s\n",
                3 * per_kind, ties, tevu::exact::fused_products() ? "yes" : "no");
    return 0;
}

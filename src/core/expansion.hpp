// Exact arithmetic on floating-point expansions.
//
// An expansion is a sum of doubles, kept as an array of non-overlapping
// components in increasing order of magnitude; sums and products of
// expansions are exact (Priest; Shewchuk, "Adaptive Precision
// Floating-Point Arithmetic and Fast Robust Geometric Predicates", 1997).
// Components equal to zero are dropped as they arise, so the expansion of a
// value that is exactly representable stays one component long and the
// exact predicates cost little on integer or grid coordinates.
//
// Correct only in IEEE double precision with round-to-nearest and without
// contraction into fused multiply-adds: every file that includes this is
// compiled with -ffp-contract=off, and none with fast-math.
#pragma once

#include <cstddef>

namespace tevu::exact {

// a + b = x + y exactly, where x = fl(a + b); requires |a| >= |b| or a = 0.
inline void fast_two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double b_virtual = x - a;
    y = b - b_virtual;
}

// a + b = x + y exactly, where x = fl(a + b).
inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double b_virtual = x - a;
    const double a_virtual = x - b_virtual;
    const double b_round = b - b_virtual;
    const double a_round = a - a_virtual;
    y = a_round + b_round;
}

// a - b = x + y exactly, where x = fl(a - b).
inline void two_diff(double a, double b, double& x, double& y) {
    x = a - b;
    const double b_virtual = a - x;
    const double a_virtual = x + b_virtual;
    const double b_round = b_virtual - b;
    const double a_round = a - a_virtual;
    y = a_round + b_round;
}

// Splits a into hi + lo, each with at most 26 significant bits.
inline void split(double a, double& hi, double& lo) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double c = kSplitter * a;
    const double a_big = c - a;
    hi = c - a_big;
    lo = a - hi;
}

// a * b = x + y exactly, where x = fl(a * b) (Dekker's product).
inline void two_product(double a, double b, double& x, double& y) {
    x = a * b;
    double a_hi, a_lo, b_hi, b_lo;
    split(a, a_hi, a_lo);
    split(b, b_hi, b_lo);
    const double err1 = x - a_hi * b_hi;
    const double err2 = err1 - a_lo * b_hi;
    const double err3 = err2 - a_hi * b_lo;
    y = a_lo * b_lo - err3;
}

// Double-double numbers: hi + lo with |lo| at most half an ulp of hi, about
// 106 significant bits. Unlike expansions they round, but each operation
// below errs by at most 8 u^2 (u the unit roundoff) times the sum of its
// terms' magnitudes (a sum: 3 u^2, a scaling 3 u^2, a product 7 u^2), so a
// whole evaluation errs by a small multiple of u^2 times its permanent.
struct DoubleDouble {
    double hi, lo;
};

inline DoubleDouble dd_product(double a, double b) {
    DoubleDouble r;
    two_product(a, b, r.hi, r.lo);
    return r;
}

// Exact for any hi and lo: under cancellation lo can exceed hi.
inline DoubleDouble dd_renormalise(double hi, double lo) {
    DoubleDouble r;
    two_sum(hi, lo, r.hi, r.lo);
    return r;
}

inline DoubleDouble dd_sum(DoubleDouble a, DoubleDouble b) {
    double s, e;
    two_sum(a.hi, b.hi, s, e);
    return dd_renormalise(s, e + (a.lo + b.lo));
}

inline DoubleDouble dd_negate(DoubleDouble a) { return {-a.hi, -a.lo}; }

inline DoubleDouble dd_difference(DoubleDouble a, DoubleDouble b) {
    return dd_sum(a, dd_negate(b));
}

inline DoubleDouble dd_scale(DoubleDouble a, double b) {
    double p, e;
    two_product(a.hi, b, p, e);
    return dd_renormalise(p, e + a.lo * b);
}

inline DoubleDouble dd_product(DoubleDouble a, DoubleDouble b) {
    double p, e;
    two_product(a.hi, b.hi, p, e);
    return dd_renormalise(p, e + (a.hi * b.lo + a.lo * b.hi));
}

// An expansion held in caller-provided storage.
struct Expansion {
    double* c;      // components, increasing magnitude, none zero
    std::size_t n;  // number of components; 0 means the value 0
};

// The expansion of a single double.
inline Expansion of_double(double a, double* out) {
    out[0] = a;
    return {out, a != 0.0 ? std::size_t{1} : std::size_t{0}};
}

// The expansion of head + tail, with |tail| below half an ulp of head.
inline Expansion of_pair(double head, double tail, double* out) {
    std::size_t n = 0;
    if (tail != 0.0) out[n++] = tail;
    if (head != 0.0) out[n++] = head;
    return {out, n};
}

// The expansion of a - b (at most 2 components).
inline Expansion difference(double a, double b, double* out) {
    double x, y;
    two_diff(a, b, x, y);
    return of_pair(x, y, out);
}

// The expansion of a * b (at most 2 components).
inline Expansion product(double a, double b, double* out) {
    double x, y;
    two_product(a, b, x, y);
    return of_pair(x, y, out);
}

// e + f; `out` has room for e.n + f.n components and may not alias either.
Expansion sum(Expansion e, Expansion f, double* out);

// e - f, likewise.
Expansion difference(Expansion e, Expansion f, double* out);

// e * b; `out` has room for 2 e.n components and may not alias e.
Expansion scale(Expansion e, double b, double* out);

// e * f; `out` has room for 2 e.n f.n components, `scratch` for 2 e.n (f.n + 1),
// neither aliasing e or f.
Expansion product(Expansion e, Expansion f, double* out, double* scratch);

// The same value in as few components as compression gives (Shewchuk's
// Compress): in place, the result in the front of e.c. Exact expansions grow
// with every product while their values need only a few components, so
// compressing the factors keeps the products that follow small.
Expansion compress(Expansion e);

// The sign of the exact value: -1, 0 or +1 (the sign of the largest
// component, which dominates the others).
inline int sign(Expansion e) {
    if (e.n == 0) return 0;
    return e.c[e.n - 1] > 0.0 ? 1 : -1;
}

}  // namespace tevu::exact

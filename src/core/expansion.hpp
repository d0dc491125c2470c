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
// compiled with -ffp-contract=off, and none with fast-math. (The fused
// multiply-adds written out below are exact error terms, not contractions.)
#pragma once

#include <cstddef>

// On x86-64 the products' error terms take one fused multiply-add where the
// CPU has it (AVX2-era and later), chosen at run time; the functions built
// for it carry TEVU_FUSED_TARGET. Elsewhere, or with TEVU_NO_DISPATCH
// defined (to test the other path on such a CPU), Dekker's splitting
// always.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(TEVU_NO_DISPATCH)
#define TEVU_FUSED_DISPATCH 1
#define TEVU_FUSED_TARGET [[gnu::target("fma")]]
#else
#define TEVU_FUSED_DISPATCH 0
#endif

namespace tevu::exact {

// Whether the products below use fused multiply-adds on this CPU.
#if TEVU_FUSED_DISPATCH
bool fused_products();

template <class Kernel, class... Args>
TEVU_FUSED_TARGET auto run_fused(Args... args) {
    return Kernel::template run<true>(args...);
}
#else
constexpr bool fused_products() { return false; }
#endif

// Kernel::run<true>(args...) in a build for fused multiply-adds where this
// CPU has them, else Kernel::run<false>(args...). Kernel::run and what it
// calls with kFused are always inlined, so that the fused build reaches
// every product.
template <class Kernel, class... Args>
auto with_products(Args... args) {
#if TEVU_FUSED_DISPATCH
    if (fused_products()) return run_fused<Kernel>(args...);
#endif
    return Kernel::template run<false>(args...);
}

// a + b = x + y exactly, where x = fl(a + b); requires |a| >= |b| or a = 0.
[[gnu::always_inline]] inline void fast_two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double b_virtual = x - a;
    y = b - b_virtual;
}

// a + b = x + y exactly, where x = fl(a + b).
[[gnu::always_inline]] inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double b_virtual = x - a;
    const double a_virtual = x - b_virtual;
    const double b_round = b - b_virtual;
    const double a_round = a - a_virtual;
    y = a_round + b_round;
}

// a - b = x + y exactly, where x = fl(a - b).
[[gnu::always_inline]] inline void two_diff(double a, double b, double& x, double& y) {
    x = a - b;
    const double b_virtual = a - x;
    const double a_virtual = x + b_virtual;
    const double b_round = b_virtual - b;
    const double a_round = a - a_virtual;
    y = a_round + b_round;
}

// Splits a into hi + lo, each with at most 26 significant bits.
[[gnu::always_inline]] inline void split(double a, double& hi, double& lo) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double c = kSplitter * a;
    const double a_big = c - a;
    hi = c - a_big;
    lo = a - hi;
}

// a * b = x + y exactly, where x = fl(a * b): by one fused multiply-add
// when kFused (only inlined into functions built for it), else by Dekker's
// product. Both give the same x and y wherever Dekker's is exact, which
// covers every use here (no overflow in the split, no underflow).
template <bool kFused = false>
[[gnu::always_inline]] inline void two_product(double a, double b, double& x, double& y) {
    x = a * b;
    if constexpr (kFused) {
        y = __builtin_fma(a, b, -x);
        return;
    }
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

template <bool kFused = false>
[[gnu::always_inline]] inline DoubleDouble dd_product(double a, double b) {
    DoubleDouble r;
    two_product<kFused>(a, b, r.hi, r.lo);
    return r;
}

// Exact for any hi and lo: under cancellation lo can exceed hi.
[[gnu::always_inline]] inline DoubleDouble dd_renormalise(double hi, double lo) {
    DoubleDouble r;
    two_sum(hi, lo, r.hi, r.lo);
    return r;
}

[[gnu::always_inline]] inline DoubleDouble dd_sum(DoubleDouble a, DoubleDouble b) {
    double s, e;
    two_sum(a.hi, b.hi, s, e);
    return dd_renormalise(s, e + (a.lo + b.lo));
}

[[gnu::always_inline]] inline DoubleDouble dd_negate(DoubleDouble a) { return {-a.hi, -a.lo}; }

[[gnu::always_inline]] inline DoubleDouble dd_difference(DoubleDouble a, DoubleDouble b) {
    return dd_sum(a, dd_negate(b));
}

template <bool kFused = false>
[[gnu::always_inline]] inline DoubleDouble dd_scale(DoubleDouble a, double b) {
    double p, e;
    two_product<kFused>(a.hi, b, p, e);
    return dd_renormalise(p, e + a.lo * b);
}

template <bool kFused = false>
[[gnu::always_inline]] inline DoubleDouble dd_product(DoubleDouble a, DoubleDouble b) {
    double p, e;
    two_product<kFused>(a.hi, b.hi, p, e);
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
template <bool kFused = false>
[[gnu::always_inline]] inline Expansion product(double a, double b, double* out) {
    double x, y;
    two_product<kFused>(a, b, x, y);
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

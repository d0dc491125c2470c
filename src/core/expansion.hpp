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

// The operations below up to the double-double numbers also run lane by
// lane on vectors of doubles (GCC's vector extension), four tests or four
// rows at a time.
using Lanes = double __attribute__((vector_size(32)));

// a + b = x + y exactly, where x = fl(a + b); requires |a| >= |b| or a = 0.
template <class T>
[[gnu::always_inline]] inline void fast_two_sum(T a, T b, T& x, T& y) {
    x = a + b;
    const T b_virtual = x - a;
    y = b - b_virtual;
}

// a + b = x + y exactly, where x = fl(a + b).
template <class T>
[[gnu::always_inline]] inline void two_sum(T a, T b, T& x, T& y) {
    x = a + b;
    const T b_virtual = x - a;
    const T a_virtual = x - b_virtual;
    const T b_round = b - b_virtual;
    const T a_round = a - a_virtual;
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
template <class T>
[[gnu::always_inline]] inline void split(T a, T& hi, T& lo) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const T c = kSplitter * a;
    const T a_big = c - a;
    hi = c - a_big;
    lo = a - hi;
}

// a * b - x, rounded once: the exact error of x = fl(a * b). Only inlined
// into functions built for fused multiply-adds.
[[gnu::always_inline]] inline double fused_error(double a, double b, double x) {
    return __builtin_fma(a, b, -x);
}
// Lane by lane (a function built for fused multiply-adds makes one vector
// instruction of the four).
[[gnu::always_inline]] inline Lanes fused_error(Lanes a, Lanes b, Lanes x) {
    return Lanes{__builtin_fma(a[0], b[0], -x[0]), __builtin_fma(a[1], b[1], -x[1]),
                 __builtin_fma(a[2], b[2], -x[2]), __builtin_fma(a[3], b[3], -x[3])};
}

// a * b = x + y exactly, where x = fl(a * b): by one fused multiply-add
// when kFused (only inlined into functions built for it), else by Dekker's
// product. Both give the same x and y wherever Dekker's is exact, which
// covers every use here (no overflow in the split, no underflow).
template <bool kFused = false, class T>
[[gnu::always_inline]] inline void two_product(T a, T b, T& x, T& y) {
    x = a * b;
    if constexpr (kFused) {
        y = fused_error(a, b, x);
        return;
    }
    T a_hi, a_lo, b_hi, b_lo;
    split(a, a_hi, a_lo);
    split(b, b_hi, b_lo);
    const T err1 = x - a_hi * b_hi;
    const T err2 = err1 - a_lo * b_hi;
    const T err3 = err2 - a_hi * b_lo;
    y = a_lo * b_lo - err3;
}

// Double-double numbers: hi + lo with |lo| at most half an ulp of hi, about
// 106 significant bits. Unlike expansions they round, but each operation
// below errs by at most 8 u^2 (u the unit roundoff) times the sum of its
// terms' magnitudes (a sum: 3 u^2, a scaling 3 u^2, a product 7 u^2), so a
// whole evaluation errs by a small multiple of u^2 times its permanent.
template <class T>
struct DoubleDoubleOf {
    T hi, lo;
};
using DoubleDouble = DoubleDoubleOf<double>;

template <bool kFused = false, class T>
[[gnu::always_inline]] inline DoubleDoubleOf<T> dd_product(T a, T b) {
    DoubleDoubleOf<T> r;
    two_product<kFused>(a, b, r.hi, r.lo);
    return r;
}

// Exact for any hi and lo: under cancellation lo can exceed hi.
template <class T>
[[gnu::always_inline]] inline DoubleDoubleOf<T> dd_renormalise(T hi, T lo) {
    DoubleDoubleOf<T> r;
    two_sum(hi, lo, r.hi, r.lo);
    return r;
}

template <class T>
[[gnu::always_inline]] inline DoubleDoubleOf<T> dd_sum(DoubleDoubleOf<T> a, DoubleDoubleOf<T> b) {
    T s, e;
    two_sum(a.hi, b.hi, s, e);
    return dd_renormalise(s, e + (a.lo + b.lo));
}

template <class T>
[[gnu::always_inline]] inline DoubleDoubleOf<T> dd_negate(DoubleDoubleOf<T> a) {
    return {-a.hi, -a.lo};
}

template <class T>
[[gnu::always_inline]] inline DoubleDoubleOf<T> dd_difference(DoubleDoubleOf<T> a,
                                                               DoubleDoubleOf<T> b) {
    return dd_sum(a, dd_negate(b));
}

template <bool kFused = false, class T>
[[gnu::always_inline]] inline DoubleDoubleOf<T> dd_scale(DoubleDoubleOf<T> a, T b) {
    T p, e;
    two_product<kFused>(a.hi, b, p, e);
    return dd_renormalise(p, e + a.lo * b);
}

template <bool kFused = false, class T>
[[gnu::always_inline]] inline DoubleDoubleOf<T> dd_product(DoubleDoubleOf<T> a,
                                                            DoubleDoubleOf<T> b) {
    T p, e;
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

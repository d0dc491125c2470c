#include "expansion.hpp"

#include <algorithm>
#include <utility>

namespace tevu::exact {

namespace {

Expansion copy(Expansion e, double* out) {
    std::copy(e.c, e.c + e.n, out);
    return {out, e.n};
}

// Whether e's next component is the smaller in magnitude.
inline bool take_e(double e, double f) { return (f > e) == (f > -e); }

// Merges the components of e and of s * f (s = +1 or -1, exact) by
// magnitude and carries the running sum upwards (fast expansion sum with zero
// elimination).
Expansion signed_sum(Expansion e, Expansion f, double s, double* out) {
    if (f.n == 0) return copy(e, out);
    if (e.n == 0) {
        for (std::size_t i = 0; i < f.n; ++i) out[i] = s * f.c[i];
        return {out, f.n};
    }
    std::size_t ei = 0, fi = 0, n = 0;
    double e_now = e.c[0], f_now = s * f.c[0];
    auto next_e = [&] { e_now = ++ei < e.n ? e.c[ei] : 0.0; };
    auto next_f = [&] { f_now = ++fi < f.n ? s * f.c[fi] : 0.0; };
    double q, q_new, h;
    if (take_e(e_now, f_now)) {
        q = e_now;
        next_e();
    } else {
        q = f_now;
        next_f();
    }
    if (ei < e.n && fi < f.n) {
        if (take_e(e_now, f_now)) {
            fast_two_sum(e_now, q, q_new, h);
            next_e();
        } else {
            fast_two_sum(f_now, q, q_new, h);
            next_f();
        }
        q = q_new;
        if (h != 0.0) out[n++] = h;
        while (ei < e.n && fi < f.n) {
            if (take_e(e_now, f_now)) {
                two_sum(q, e_now, q_new, h);
                next_e();
            } else {
                two_sum(q, f_now, q_new, h);
                next_f();
            }
            q = q_new;
            if (h != 0.0) out[n++] = h;
        }
    }
    while (ei < e.n) {
        two_sum(q, e_now, q_new, h);
        next_e();
        q = q_new;
        if (h != 0.0) out[n++] = h;
    }
    while (fi < f.n) {
        two_sum(q, f_now, q_new, h);
        next_f();
        q = q_new;
        if (h != 0.0) out[n++] = h;
    }
    if (q != 0.0) out[n++] = q;
    return {out, n};
}

}  // namespace

Expansion sum(Expansion e, Expansion f, double* out) { return signed_sum(e, f, 1.0, out); }

Expansion difference(Expansion e, Expansion f, double* out) {
    return signed_sum(e, f, -1.0, out);
}

namespace {

// Multiplies every component by b and renormalises (scale expansion with
// zero elimination).
struct Scale {
    template <bool kFused>
    [[gnu::always_inline]] static Expansion run(Expansion e, double b, double* out) {
        if (e.n == 0 || b == 0.0) return {out, 0};
        std::size_t n = 0;
        double q, h;
        two_product<kFused>(e.c[0], b, q, h);
        if (h != 0.0) out[n++] = h;
        for (std::size_t i = 1; i < e.n; ++i) {
            double p1, p0, s;
            two_product<kFused>(e.c[i], b, p1, p0);
            two_sum(q, p0, s, h);
            if (h != 0.0) out[n++] = h;
            fast_two_sum(p1, s, q, h);
            if (h != 0.0) out[n++] = h;
        }
        if (q != 0.0) out[n++] = q;
        return {out, n};
    }
};

}  // namespace

#if TEVU_FUSED_DISPATCH
bool fused_products() {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return available;
}
#endif

Expansion scale(Expansion e, double b, double* out) { return with_products<Scale>(e, b, out); }

Expansion compress(Expansion e) {
    if (e.n < 2) return e;
    double* h = e.c;
    // From the top down, fold each component into the running sum, setting
    // the sum aside whenever the fold leaves a remainder.
    std::size_t bottom = e.n - 1;
    double q = e.c[bottom];
    for (std::size_t i = e.n - 1; i-- > 0;) {
        double q_new, tail;
        fast_two_sum(q, e.c[i], q_new, tail);
        if (tail != 0.0) {
            h[bottom--] = q_new;
            q = tail;
        } else {
            q = q_new;
        }
    }
    // From the bottom up, carry the set-aside sums into a nonadjacent result.
    std::size_t top = 0;
    for (std::size_t i = bottom + 1; i < e.n; ++i) {
        double q_new, tail;
        fast_two_sum(h[i], q, q_new, tail);
        if (tail != 0.0) h[top++] = tail;
        q = q_new;
    }
    if (q != 0.0) h[top++] = q;
    return {h, top};
}

Expansion product(Expansion e, Expansion f, double* out, double* scratch) {
    if (e.n == 0 || f.n == 0) return {out, 0};
    // Partial products go to the front of `scratch`, running sums alternate
    // between `out` and the rest of `scratch`, ending in `out`.
    double* term = scratch;
    double* other = scratch + 2 * e.n;
    double* acc_buf = (f.n % 2 == 1) ? out : other;
    double* alt_buf = (f.n % 2 == 1) ? other : out;
    Expansion acc = scale(e, f.c[0], acc_buf);
    for (std::size_t j = 1; j < f.n; ++j) {
        const Expansion t = scale(e, f.c[j], term);
        acc = sum(acc, t, alt_buf);
        std::swap(acc_buf, alt_buf);
    }
    return acc;
}

}  // namespace tevu::exact

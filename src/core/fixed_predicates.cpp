#include "fixed_predicates.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

namespace tevu::geom::fixed {

namespace {

using Wide = unsigned __int128;
using SignedWide = __int128;

// Coordinates whose binary places span at most kNarrowPlaces bits are
// whole numbers below 2^60, computed with 64-bit differences; wider spans,
// up to kWidePlaces, in limbs throughout (see `minor2` and the rest below).
constexpr int kWidePlaces = 124;

// A signed integer of N 64-bit limbs in two's complement, least
// significant first.
template <int N>
struct Int {
    static constexpr int kLimbs = N;
    std::array<std::uint64_t, N> limb{};
};

template <int N>
bool negative(const Int<N>& a) {
    return (a.limb[N - 1] >> 63) != 0;
}

template <int N>
Int<N> negated(Int<N> a) {
    std::uint64_t carry = 1;
    for (auto& w : a.limb) {
        const std::uint64_t inverted = ~w;
        w = inverted + carry;
        carry = (carry != 0 && w == 0) ? 1 : 0;
    }
    return a;
}

template <int N>
Int<N> sum(const Int<N>& a, const Int<N>& b) {
    Int<N> s;
    Wide carry = 0;
    for (int i = 0; i < N; ++i) {
        carry += static_cast<Wide>(a.limb[i]) + b.limb[i];
        s.limb[i] = static_cast<std::uint64_t>(carry);
        carry >>= 64;
    }
    return s;
}

template <int N>
Int<N> difference(const Int<N>& a, const Int<N>& b) {
    return sum(a, negated(b));
}

// The product of two magnitudes (at most N + M limbs).
template <int N, int M>
Int<N + M> product_of_magnitudes(const Int<N>& a, const Int<M>& b) {
    Int<N + M> p;
    for (int i = 0; i < N; ++i) {
        Wide carry = 0;
        for (int j = 0; j < M; ++j) {
            carry += static_cast<Wide>(a.limb[i]) * b.limb[j] + p.limb[i + j];
            p.limb[i + j] = static_cast<std::uint64_t>(carry);
            carry >>= 64;
        }
        p.limb[i + M] = static_cast<std::uint64_t>(carry);
    }
    return p;
}

// The signed product, in R limbs, which the caller knows to be enough.
template <int R, int N, int M>
Int<R> product(const Int<N>& a, const Int<M>& b) {
    static_assert(R <= N + M);
    const bool flip = negative(a) != negative(b);
    const Int<N + M> full =
        product_of_magnitudes(negative(a) ? negated(a) : a, negative(b) ? negated(b) : b);
    Int<R> p;
    for (int i = 0; i < R; ++i) p.limb[i] = full.limb[i];
    return flip ? negated(p) : p;
}

// A wider copy, the sign extended.
template <int R, int N>
Int<R> widened(const Int<N>& a) {
    Int<R> w;
    const std::uint64_t fill = negative(a) ? ~std::uint64_t{0} : 0;
    for (int i = 0; i < R; ++i) w.limb[i] = i < N ? a.limb[i] : fill;
    return w;
}

Int<1> of(std::int64_t v) { return Int<1>{{static_cast<std::uint64_t>(v)}}; }

Int<2> of(SignedWide v) {
    const auto u = static_cast<Wide>(v);
    return Int<2>{{static_cast<std::uint64_t>(u), static_cast<std::uint64_t>(u >> 64)}};
}

template <int N>
int sign_of(const Int<N>& a) {
    if (negative(a)) return -1;
    for (const std::uint64_t w : a.limb) {
        if (w != 0) return 1;
    }
    return 0;
}

// A double as m * 2^e with m a whole number (odd unless 0); false for a
// subnormal, infinite or NaN value.
bool decompose(double v, std::int64_t& m, int& e) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0 && fraction == 0) {
        m = 0;
        e = 0;
        return true;
    }
    if (biased == 0 || biased == 0x7FF) return false;
    std::uint64_t magnitude = fraction | (std::uint64_t{1} << 52);
    const int zeros = std::countr_zero(magnitude);
    magnitude >>= zeros;
    e = biased - 1075 + zeros;
    m = (bits >> 63) != 0 ? -static_cast<std::int64_t>(magnitude)
                          : static_cast<std::int64_t>(magnitude);
    return true;
}

// The coordinates of up to five points as m * 2^e, and the span of binary
// places they use: from the smallest place of any (`low`) to the highest
// place above the largest, `width` bits in all.
struct Places {
    std::int64_t m[15];
    int e[15];
    int low = 0, width = 0;
};

// False when a coordinate is subnormal, infinite or NaN.
bool places_of(const Vec3* const* p, int count, Places& s) {
    int high = 0;
    bool any = false;
    for (int i = 0; i < count; ++i) {
        const double c[3] = {p[i]->x, p[i]->y, p[i]->z};
        for (int k = 0; k < 3; ++k) {
            const int j = 3 * i + k;
            if (!decompose(c[k], s.m[j], s.e[j])) return false;
            if (s.m[j] == 0) continue;
            // m_j * 2^e_j is below 2^(e_j + width of m_j).
            const int top = s.e[j] + 64 - std::countl_zero(static_cast<std::uint64_t>(
                                              s.m[j] < 0 ? -s.m[j] : s.m[j]));
            s.low = any ? std::min(s.low, s.e[j]) : s.e[j];
            high = any ? std::max(high, top) : top;
            any = true;
        }
    }
    s.width = any ? high - s.low : 0;
    return true;
}

// The coordinates as whole multiples of 2^low, for a width of at most
// kNarrowPlaces: each below 2^60 in magnitude (shifted as unsigned).
void whole_coordinates(const Places& s, int count, std::int64_t* whole) {
    for (int j = 0; j < 3 * count; ++j) {
        whole[j] = s.m[j] == 0 ? 0
                               : static_cast<std::int64_t>(static_cast<std::uint64_t>(s.m[j])
                                                           << (s.e[j] - s.low));
    }
}

// The same in two limbs, for a width of at most kWidePlaces: each
// below 2^124 in magnitude.
void whole_coordinates(const Places& s, int count, Int<2>* whole) {
    for (int j = 0; j < 3 * count; ++j) {
        const std::int64_t m = s.m[j];
        if (m == 0) {
            whole[j] = Int<2>{};
            continue;
        }
        const Wide magnitude = static_cast<Wide>(m < 0 ? -m : m) << (s.e[j] - s.low);
        const Int<2> w{{static_cast<std::uint64_t>(magnitude),
                        static_cast<std::uint64_t>(magnitude >> 64)}};
        whole[j] = m < 0 ? negated(w) : w;
    }
}

// The steps of both determinants, for coordinates below 2^60 (int64) and
// below 2^124 (two limbs). With the narrow ones: differences below 2^61,
// 2x2 minors below 2^123 (an int128), 3x3 minors below 2^186, lifts below
// 2^124 and the insphere determinant below 2^312 (5 limbs). With the wide
// ones: differences below 2^125, 2x2 minors below 2^251 (4 limbs), 3x3
// minors below 2^378 (6), lifts below 2^252 (4) and the determinant below
// 2^632 (10). Each fits its limbs' signed range.
std::int64_t minus(std::int64_t a, std::int64_t b) { return a - b; }
Int<2> minus(const Int<2>& a, const Int<2>& b) { return difference(a, b); }

Int<2> minor2(std::int64_t x1, std::int64_t y2, std::int64_t x2, std::int64_t y1) {
    return of(static_cast<SignedWide>(x1) * y2 - static_cast<SignedWide>(x2) * y1);
}
Int<4> minor2(const Int<2>& x1, const Int<2>& y2, const Int<2>& x2, const Int<2>& y1) {
    return difference(product<4>(x1, y2), product<4>(x2, y1));
}

// z1 * m23 - z2 * m13 + z3 * m12.
Int<3> minor3(std::int64_t z1, const Int<2>& m23, std::int64_t z2, const Int<2>& m13,
              std::int64_t z3, const Int<2>& m12) {
    return sum(difference(product<3>(of(z1), m23), product<3>(of(z2), m13)),
               product<3>(of(z3), m12));
}
Int<6> minor3(const Int<2>& z1, const Int<4>& m23, const Int<2>& z2, const Int<4>& m13,
              const Int<2>& z3, const Int<4>& m12) {
    return sum(difference(product<6>(z1, m23), product<6>(z2, m13)), product<6>(z3, m12));
}

// x^2 + y^2 + z^2 (non-negative, so an int128 holds the narrow one).
Int<2> lift(std::int64_t x, std::int64_t y, std::int64_t z) {
    return of(static_cast<SignedWide>(x) * x + static_cast<SignedWide>(y) * y +
              static_cast<SignedWide>(z) * z);
}
Int<4> lift(const Int<2>& x, const Int<2>& y, const Int<2>& z) {
    return sum(sum(product<4>(x, x), product<4>(y, y)), product<4>(z, z));
}

// Rows p[i] - p[last] of `count` points (i < last = count - 1), in whole
// coordinates of type Coord.
template <class Coord>
void rows(const Places& s, int count, Coord* dx, Coord* dy, Coord* dz) {
    Coord whole[15];
    whole_coordinates(s, count, whole);
    const int last = 3 * (count - 1);
    for (int i = 0; i + 1 < count; ++i) {
        dx[i] = minus(whole[3 * i], whole[last]);
        dy[i] = minus(whole[3 * i + 1], whole[last + 1]);
        dz[i] = minus(whole[3 * i + 2], whole[last + 2]);
    }
}

// det[a - d; b - d; c - d] along z, as the expansions arrange it.
template <class Coord>
int orient3d_in(const Places& s) {
    Coord dx[3], dy[3], dz[3];
    rows(s, 4, dx, dy, dz);
    const auto bc = minor2(dx[1], dy[2], dx[2], dy[1]);
    const auto ac = minor2(dx[0], dy[2], dx[2], dy[0]);
    const auto ab = minor2(dx[0], dy[1], dx[1], dy[0]);
    return sign_of(minor3(dz[0], bc, dz[1], ac, dz[2], ab));
}

// Rows a - e, b - e, c - e, d - e, expanded along the lift column.
template <class Coord>
int insphere_in(const Places& s) {
    Coord dx[4], dy[4], dz[4];
    rows(s, 5, dx, dy, dz);
    auto minor = [&](int i, int j) { return minor2(dx[i], dy[j], dx[j], dy[i]); };
    const auto ab = minor(0, 1), bc = minor(1, 2), cd = minor(2, 3);
    const auto ac = minor(0, 2), bd = minor(1, 3), ad = minor(0, 3);
    const auto abc = minor3(dz[0], bc, dz[1], ac, dz[2], ab);
    const auto abd = minor3(dz[0], bd, dz[1], ad, dz[3], ab);
    const auto acd = minor3(dz[0], cd, dz[2], ad, dz[3], ac);
    const auto bcd = minor3(dz[1], cd, dz[2], bd, dz[3], bc);
    using Lift = decltype(lift(dx[0], dy[0], dz[0]));
    Lift lifts[4];
    for (int i = 0; i < 4; ++i) lifts[i] = lift(dx[i], dy[i], dz[i]);
    // d*abc - c*abd + b*acd - a*bcd, in as many limbs as a lift and a minor.
    constexpr int kLimbs = Lift::kLimbs + decltype(abc)::kLimbs;
    return sign_of(sum(difference(product<kLimbs>(lifts[3], abc), product<kLimbs>(lifts[2], abd)),
                       difference(product<kLimbs>(lifts[1], acd), product<kLimbs>(lifts[0], bcd))));
}

}  // namespace

bool orient3d(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, int& sign) {
    const Vec3* const p[4] = {&a, &b, &c, &d};
    Places s;
    if (!places_of(p, 4, s) || s.width > kWidePlaces) return false;
    sign = s.width <= kNarrowPlaces ? orient3d_in<std::int64_t>(s) : orient3d_in<Int<2>>(s);
    return true;
}

int places_spanned(const Vec3* const* p, int count) {
    Places s;
    return places_of(p, count, s) ? s.width : -1;
}

bool insphere(const Vec3* const p[5], int& sign) {
    Places s;
    if (!places_of(p, 5, s) || s.width > kWidePlaces) return false;
    sign = s.width <= kNarrowPlaces ? insphere_in<std::int64_t>(s) : insphere_in<Int<2>>(s);
    return true;
}

}  // namespace tevu::geom::fixed

#include "plateau.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace tevu {
namespace {

// Whether the difference x of two coordinates squares exactly: at most half
// the significand's bits, and far enough from underflow and overflow for the
// square to be a normal number.
template <class T>
bool squares_exactly(T x) noexcept {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    constexpr int kDropped = (std::numeric_limits<T>::digits + 1) / 2;  // low bits that must be 0
    const T edge = std::ldexp(T{1}, std::numeric_limits<T>::max_exponent / 2 - 12);
    const T a = std::fabs(x);
    if (a == 0) return true;
    if (!(a >= 1 / edge && a <= edge)) return false;
    Bits bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & ((Bits{1} << kDropped) - 1)) == 0;
}

// a + b = s exactly (Knuth's two-sum: the rounding error of s is zero).
template <class T>
bool sums_exactly(T a, T b, T s) noexcept {
    const T bb = s - a;
    return (a - (s - bb)) + (b - bb) == 0;
}

}  // namespace

template <class T>
bool distance_is_exact(const Vec4<T>& p, const Vec4<T>& q) noexcept {
    T square[3];
    for (int k = 0; k < 3; ++k) {
        const T d = p.lane[k] - q.lane[k];
        if (!sums_exactly<T>(p.lane[k], -q.lane[k], d) || !squares_exactly<T>(d)) return false;
        square[k] = d * d;
    }
    const T s = square[0] + square[1];
    return sums_exactly(square[0], square[1], s) && sums_exactly(s, square[2], s + square[2]);
}

template bool distance_is_exact(const Vec4<float>&, const Vec4<float>&) noexcept;
template bool distance_is_exact(const Vec4<double>&, const Vec4<double>&) noexcept;

template <class T>
BinaryRange binary_range(PointSpan<T> points) noexcept {
    BinaryRange r;
    for (const Vec4<T>& p : points) {
        for (int k = 0; k < 3; ++k) r.include(p.lane[k]);
        if (!r.usable) break;
    }
    return r;
}

template BinaryRange binary_range(PointSpan<float>) noexcept;
template BinaryRange binary_range(PointSpan<double>) noexcept;

}  // namespace tevu

#include "plateau.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tevu {
namespace {

// Whether the difference x of two coordinates squares exactly: at most half
// the significand's bits, and far enough from underflow and overflow.
bool squares_exactly(double x) noexcept {
    const double a = std::fabs(x);
    if (a == 0.0) return true;
    if (!(a >= 0x1p-500 && a <= 0x1p500)) return false;
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & ((std::uint64_t{1} << 27) - 1)) == 0;
}

bool squares_exactly(float x) noexcept {
    const float a = std::fabs(x);
    if (a == 0.0f) return true;
    if (!(a >= 0x1p-60f && a <= 0x1p60f)) return false;
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & ((std::uint32_t{1} << 12) - 1)) == 0;
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
        if (!sums_exactly<T>(p.lane[k], -q.lane[k], d) || !squares_exactly(d)) return false;
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

// The inner kernel of every descent: the nearest of a vertex's neighbours.
//
// Four neighbours are measured at once with generic vector types (AVX where
// the caller is compiled for it, SSE otherwise) and the minimum is taken
// without branches. Squared distances are summed exactly as the scalar
// `dist2` sums them, (dx² + dy²) + (dz² + 0), so results are bit for bit
// those of a scalar scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "errors.hpp"
#include "points.hpp"

namespace tevu {

// A contiguous run of unsigned 32-bit ids at any byte alignment.
struct IdRun {
    const std::byte* base;
    std::size_t len;

    std::uint32_t operator[](std::size_t i) const noexcept {
        std::uint32_t value;
        std::memcpy(&value, base + i * sizeof value, sizeof value);
        return value;
    }
};

// Fails with the index failure for the first id (in list order) that is not
// below `n`; otherwise does nothing. One comparison per list in the usual
// case instead of one per id.
inline void check_ids(IdRun ids, std::size_t n) {
    std::uint32_t largest = 0;
    for (std::size_t e = 0; e < ids.len; ++e) {
        const std::uint32_t v = ids[e];
        largest = v > largest ? v : largest;
    }
    if (ids.len == 0 || largest < n) return;
    for (std::size_t e = 0; e < ids.len; ++e) checked_index(ids[e], n);
}

namespace simd {

template <class T>
struct Lanes;

template <>
struct Lanes<double> {
    using Value = double __attribute__((vector_size(32)));
    using Id = std::uint64_t __attribute__((vector_size(32)));
    using Mask = std::int64_t __attribute__((vector_size(32)));
};

template <>
struct Lanes<float> {
    using Value = float __attribute__((vector_size(16)));
    using Id = std::uint32_t __attribute__((vector_size(16)));
    using Mask = std::int32_t __attribute__((vector_size(16)));
};

template <class T>
using Value = typename Lanes<T>::Value;

template <class T>
inline Value<T> load(const Vec4<T>& p) noexcept {
    Value<T> v;
    std::memcpy(&v, &p, sizeof v);
    return v;
}

// The squared lengths of four lane-squared vectors, summed per vector as
// (l0 + l1) + (l2 + l3).
inline Value<double> sum4(Value<double> s0, Value<double> s1, Value<double> s2,
                          Value<double> s3) noexcept {
    using M = Lanes<double>::Mask;
    const Value<double> h01 = __builtin_shuffle(s0, s1, M{0, 4, 2, 6}) +
                              __builtin_shuffle(s0, s1, M{1, 5, 3, 7});
    const Value<double> h23 = __builtin_shuffle(s2, s3, M{0, 4, 2, 6}) +
                              __builtin_shuffle(s2, s3, M{1, 5, 3, 7});
    return __builtin_shuffle(h01, h23, M{0, 1, 4, 5}) + __builtin_shuffle(h01, h23, M{2, 3, 6, 7});
}

inline Value<float> sum4(Value<float> s0, Value<float> s1, Value<float> s2,
                         Value<float> s3) noexcept {
    using M = Lanes<float>::Mask;
    const M even{0, 2, 4, 6};
    const M odd{1, 3, 5, 7};
    const Value<float> h01 = __builtin_shuffle(s0, s1, even) + __builtin_shuffle(s0, s1, odd);
    const Value<float> h23 = __builtin_shuffle(s2, s3, even) + __builtin_shuffle(s2, s3, odd);
    return __builtin_shuffle(h01, h23, even) + __builtin_shuffle(h01, h23, odd);
}

template <class T>
inline Value<T> squared(const Vec4<T>& p, Value<T> q) noexcept {
    const Value<T> d = load(p) - q;
    return d * d;
}

}  // namespace simd

// The lexicographic minimum of (d2, best) and (dist2(points[v], q), v) over
// the ids v of `ids`, which must all index `points`. This is what a
// sequential scan that takes a neighbour when it is nearer, or equally near
// with a smaller id, ends with; a NaN distance is never taken, and nothing is
// taken when d2 is NaN. `best` changes exactly when a neighbour was taken.
template <class T>
inline void scan_neighbours(const Vec4<T>* points, IdRun ids, const Vec4<T>& q, T& d2,
                            std::size_t& best) noexcept {
    using V = simd::Value<T>;
    using Id = typename simd::Lanes<T>::Id;
    using E = std::remove_reference_t<decltype(Id{}[0])>;
    const V qv = simd::load(q);
    V bd = V{} + d2;
    Id bi = Id{} + static_cast<E>(best);
    std::size_t e = 0;
    for (; e + 4 <= ids.len; e += 4) {
        const std::uint32_t i0 = ids[e], i1 = ids[e + 1], i2 = ids[e + 2], i3 = ids[e + 3];
        const V d = simd::sum4(simd::squared(points[i0], qv), simd::squared(points[i1], qv),
                               simd::squared(points[i2], qv), simd::squared(points[i3], qv));
        const Id id{i0, i1, i2, i3};
        const auto take = (d < bd) | ((d == bd) & (id < bi));
        bd = take ? d : bd;
        bi = take ? id : bi;
    }
    T out_d = d2;
    std::size_t out_i = best;
    for (int l = 0; l < 4; ++l) {
        const bool take = bd[l] < out_d || (bd[l] == out_d && bi[l] < out_i);
        out_d = take ? bd[l] : out_d;
        out_i = take ? static_cast<std::size_t>(bi[l]) : out_i;
    }
    for (; e < ids.len; ++e) {
        const std::size_t v = ids[e];
        const T e2 = dist2(points[v], q);
        const bool take = e2 < out_d || (e2 == out_d && v < out_i);
        out_d = take ? e2 : out_d;
        out_i = take ? v : out_i;
    }
    d2 = out_d;
    best = out_i;
}

}  // namespace tevu

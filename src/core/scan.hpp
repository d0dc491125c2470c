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
#include <utility>

#include "errors.hpp"
#include "points.hpp"

// A search entry point compiled twice, for AVX2 and for the x86-64
// baseline, with the whole search inlined into it; the loader picks the
// clone the processor supports. Building with TEVU_NO_DISPATCH keeps only the
// baseline (or whatever the compiler flags select), which is how the
// baseline code is tested on machines that have AVX2.
#ifdef TEVU_NO_DISPATCH
#define TEVU_KERNEL __attribute__((flatten))
#else
#define TEVU_KERNEL __attribute__((flatten, target_clones("avx2", "default")))
#endif

namespace tevu {

// Whether the search code running is its AVX2 build: the dispatched build
// runs the AVX2 clone exactly on processors that have AVX2.
inline bool running_avx2_build() noexcept {
#if !defined(TEVU_NO_DISPATCH)
    return __builtin_cpu_supports("avx2");
#elif defined(__AVX2__)
    return true;
#else
    return false;
#endif
}

// A contiguous run of unsigned 32-bit ids at any byte alignment. `readable`
// (at least `len`) says how many ids from `base` on lie inside the array,
// which lets a scan load a whole group of four past the run's end.
struct IdRun {
    const std::byte* base;
    std::size_t len;
    std::size_t readable = len;

    std::size_t size() const noexcept { return len; }

    std::uint32_t operator[](std::size_t i) const noexcept {
        std::uint32_t value;
        std::memcpy(&value, base + i * sizeof value, sizeof value);
        return value;
    }
};

namespace simd {

template <class T>
struct Lanes;

// Ids ride along in integer lanes of the same width as the distances, so
// that one comparison mask selects both. Ids are below 2^32, so signed
// 64-bit lanes hold them exactly.
template <>
struct Lanes<double> {
    using Value = double __attribute__((vector_size(32)));
    using Id = std::int64_t __attribute__((vector_size(32)));
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
using Id = typename Lanes<T>::Id;
template <class T>
using Mask = typename Lanes<T>::Mask;

using Ids4 = std::uint32_t __attribute__((vector_size(16)));
using Mask4 = std::int32_t __attribute__((vector_size(16)));

template <class T>
inline Value<T> load(const Vec4<T>& p) noexcept {
    Value<T> v;
    std::memcpy(&v, &p, sizeof v);
    return v;
}

inline Ids4 load_ids(const std::byte* at) noexcept {
    Ids4 v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

inline bool any(Mask4 m) noexcept {
    std::uint64_t halves[2];
    std::memcpy(halves, &m, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

// Lanes I... of the concatenation of a and b. GCC's builtin takes them as a
// mask vector, clang's as numbers (clang builds the libFuzzer target).
template <class T, int... I, class V>
inline V shuffle(V a, V b) noexcept {
#ifdef __clang__
    return __builtin_shufflevector(a, b, I...);
#else
    return __builtin_shuffle(a, b, Mask<T>{I...});
#endif
}

template <class V, std::size_t... L>
inline V shift_in_lanes(V a, V b, std::index_sequence<L...>) noexcept {
    constexpr int n = sizeof...(L);
#ifdef __clang__
    return __builtin_shufflevector(a, b, (L == 0 ? n - 1 : n + int(L) - 1)...);
#else
    using M = decltype(a < b);  // the integer vector of V's lane count and width
    return __builtin_shuffle(a, b, M{(L == 0 ? n - 1 : n + int(L) - 1)...});
#endif
}

// The last lane of a followed by all but the last lane of b: every lane of b
// moved up by one, with a's last lane shifted in at the front.
template <class V>
inline V shift_in(V a, V b) noexcept {
    return shift_in_lanes(a, b, std::make_index_sequence<sizeof(V) / sizeof(a[0])>{});
}

// The squared lengths of four lane-squared vectors, summed per vector as
// (l0 + l1) + (l2 + l3).
inline Value<double> sum4(Value<double> s0, Value<double> s1, Value<double> s2,
                          Value<double> s3) noexcept {
    const Value<double> h01 = shuffle<double, 0, 4, 2, 6>(s0, s1) +
                              shuffle<double, 1, 5, 3, 7>(s0, s1);
    const Value<double> h23 = shuffle<double, 0, 4, 2, 6>(s2, s3) +
                              shuffle<double, 1, 5, 3, 7>(s2, s3);
    return shuffle<double, 0, 1, 4, 5>(h01, h23) + shuffle<double, 2, 3, 6, 7>(h01, h23);
}

inline Value<float> sum4(Value<float> s0, Value<float> s1, Value<float> s2,
                         Value<float> s3) noexcept {
    const Value<float> h01 = shuffle<float, 0, 2, 4, 6>(s0, s1) + shuffle<float, 1, 3, 5, 7>(s0, s1);
    const Value<float> h23 = shuffle<float, 0, 2, 4, 6>(s2, s3) + shuffle<float, 1, 3, 5, 7>(s2, s3);
    return shuffle<float, 0, 2, 4, 6>(h01, h23) + shuffle<float, 1, 3, 5, 7>(h01, h23);
}

template <class T>
inline Value<T> squared(const Vec4<T>& p, Value<T> q) noexcept {
    const Value<T> d = load(p) - q;
    return d * d;
}

// Per lane, the lexicographically smaller of (ad, ai) and (bd, bi): b wins
// when it is nearer, or equally near with a smaller id (never when NaN).
template <class T>
inline void take_smaller(Value<T>& ad, Id<T>& ai, Value<T> bd, Id<T> bi) noexcept {
    const Mask<T> take = (bd < ad) | ((bd == ad) & (bi < ai));
    ad = take ? bd : ad;
    ai = take ? bi : ai;
}

// Folds the four lanes into lane 0 by the same rule.
template <class T>
inline void fold_lanes(Value<T>& d, Id<T>& i) noexcept {
    take_smaller<T>(d, i, shuffle<T, 2, 3, 0, 1>(d, d), shuffle<T, 2, 3, 0, 1>(i, i));
    take_smaller<T>(d, i, shuffle<T, 1, 0, 3, 2>(d, d), shuffle<T, 1, 0, 3, 2>(i, i));
}

}  // namespace simd

// Fails with the index failure for the first id of `ids` (in list order)
// that is not below `n`.
[[noreturn]] inline void fail_first_bad_id(IdRun ids, std::size_t n) {
    for (std::size_t e = 0; e < ids.len; ++e) checked_index(ids[e], n);
    fail_index(n, n);  // not reached: the caller saw a bad id
}

// Where a scan finds the point of its e-th candidate, whose id is v: in the
// cloud's own points, or in a contiguous copy gathered beforehand.
template <class T>
struct PointsById {
    const Vec4<T>* points;
    const Vec4<T>& operator()(std::size_t, std::uint32_t v) const noexcept { return points[v]; }
};

template <class T>
struct GatheredPoints {
    const Vec4<T>* gathered;
    const Vec4<T>& operator()(std::size_t e, std::uint32_t) const noexcept { return gathered[e]; }
};

// Passed as n_points when the ids were checked before (gathered copies).
inline constexpr std::size_t kIdsChecked = SIZE_MAX;

// The lexicographic minimum of (d2, best) and (dist2(point(e, v), q), v) over
// the candidates e with ids v = ids[e]. This is what a sequential scan that
// takes a candidate when it is nearer, or equally near with a smaller id,
// ends with; a NaN distance is never taken, and nothing is taken when d2 is
// NaN. `best` changes exactly when a candidate was taken.
//
// Unless n_points is kIdsChecked, ids are checked against n_points before
// any point is read, and the first id out of range (in list order) fails the
// call.
template <class T, class Source>
inline void scan_min(Source point, std::size_t n_points, IdRun ids, const Vec4<T>& q, T& d2,
                     std::size_t& best) {
    using V = simd::Value<T>;
    using Id = simd::Id<T>;
    using E = std::remove_reference_t<decltype(Id{}[0])>;
    const V qv = simd::load(q);
    const V start_d = V{} + d2;
    const Id start_i = Id{} + static_cast<E>(best);
    V bd = start_d;
    Id bi = start_i;
    // Ids at or above the limit fail; n_points beyond 32 bits admits all.
    const bool check = n_points <= UINT32_MAX;
    const std::uint32_t limit = check ? static_cast<std::uint32_t>(n_points) : 0;

    // The distances of the candidates at positions e0..e3 with ids raw.
    const auto measure = [&](simd::Ids4 raw, std::size_t e0, std::size_t e1, std::size_t e2,
                             std::size_t e3) {
        if (check && simd::any(raw >= limit)) fail_first_bad_id(ids, n_points);
        return simd::sum4(simd::squared(point(e0, raw[0]), qv), simd::squared(point(e1, raw[1]), qv),
                          simd::squared(point(e2, raw[2]), qv), simd::squared(point(e3, raw[3]), qv));
    };

    const std::size_t full = ids.len & ~std::size_t{3};
    for (std::size_t e = 0; e < full; e += 4) {
        const simd::Ids4 raw = simd::load_ids(ids.base + e * sizeof(std::uint32_t));
        simd::take_smaller<T>(bd, bi, measure(raw, e, e + 1, e + 2, e + 3),
                              __builtin_convertvector(raw, Id));
    }
    if (full < ids.len) {
        // 1 to 3 candidates left. The other lanes measure the first of them
        // again and are then reset to the starting pair, which a lane never
        // takes: it starts there and only ever moves to smaller pairs.
        const std::size_t left = ids.len - full;
        const simd::Ids4 lane{0, 1, 2, 3};
        const simd::Mask4 real = lane < static_cast<std::uint32_t>(left);
        simd::Ids4 raw;
        if (full + 4 <= ids.readable) {
            raw = simd::load_ids(ids.base + full * sizeof(std::uint32_t));
        } else {
            for (std::size_t l = 0; l < 4; ++l) raw[l] = ids[full + (l < left ? l : 0)];
        }
        raw = real ? raw : simd::Ids4{} + raw[0];
        const auto at = [&](std::size_t l) { return full + (l < left ? l : 0); };
        const auto keep = __builtin_convertvector(real, simd::Mask<T>);
        const V d = measure(raw, at(0), at(1), at(2), at(3));
        const Id id = __builtin_convertvector(raw, Id);
        simd::take_smaller<T>(bd, bi, keep ? d : start_d, keep ? id : start_i);
    }
    simd::fold_lanes<T>(bd, bi);
    d2 = bd[0];
    best = static_cast<std::size_t>(bi[0]);
}

// scan_min over a cloud's points by id: the nearest of a vertex's neighbours.
template <class T>
inline void scan_neighbours(const Vec4<T>* points, std::size_t n_points, IdRun ids,
                            const Vec4<T>& q, T& d2, std::size_t& best) {
    scan_min<T>(PointsById<T>{points}, n_points, ids, q, d2, best);
}

}  // namespace tevu

// The neighbours of the last two vertices scanned, with their coordinates
// laid out axis by axis, kept by a run of descents that keeps scanning them.
//
// Descents seeded from the previous query point's answer start where it
// ended: in a run of points sorted along a curve, many points in a row end at
// (and so scan) the same target vertex, or go back and forth between two
// neighbouring ones. A first scan of a vertex reads its neighbour list and
// gathers the points, four to a vector, then keeps them here; scans of a
// vertex kept are straight vector arithmetic without reading the graph. The
// answers are the same bit for bit: each distance is summed as
// (dx² + dy²) + dz², and the minimum is the same lexicographic minimum over
// (distance, id).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "points.hpp"
#include "scan.hpp"

namespace tevu {

template <class T>
class NeighbourMemo {
    using V = simd::Value<T>;
    using Id = simd::Id<T>;
    using IdLane = std::remove_reference_t<decltype(Id{}[0])>;
    static constexpr std::size_t kLanes = sizeof(V) / sizeof(T);
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

public:
    // Longer lists are never kept.
    static constexpr std::size_t kMaxNeighbours = 32;

    struct Kept {
        std::size_t vertex = kNone;
        std::size_t count = 0;
        alignas(32) T x[kMaxNeighbours];
        alignas(32) T y[kMaxNeighbours];
        alignas(32) T z[kMaxNeighbours];
        alignas(32) IdLane ids[kMaxNeighbours];
    };

    // v's neighbours, if kept.
    const Kept* find(std::size_t v) noexcept {
        for (std::size_t k = 0; k < 2; ++k) {
            if (kept_[k].vertex == v) {
                recent_ = k;
                return &kept_[k];
            }
        }
        return nullptr;
    }

    // Keeps v's neighbours `ids`, just scanned and checked by that scan (or
    // known to be in range), in place of the vertex used less recently.
    void keep(std::size_t v, const Vec4<T>* points, IdRun ids) noexcept {
        if (ids.len > kMaxNeighbours) return;
        recent_ ^= 1;
        Kept& kept = kept_[recent_];
        kept.vertex = v;
        kept.count = ids.len;
        for (std::size_t e = 0; e < ids.len; ++e) {
            const std::uint32_t id = ids[e];
            const Vec4<T>& p = points[id];
            kept.x[e] = p.lane[0];
            kept.y[e] = p.lane[1];
            kept.z[e] = p.lane[2];
            kept.ids[e] = static_cast<IdLane>(id);
        }
        // Padding lanes measure NaN, which no scan takes.
        for (std::size_t e = ids.len; e < padded(ids.len); ++e) {
            kept.x[e] = kept.y[e] = kept.z[e] = std::numeric_limits<T>::quiet_NaN();
            kept.ids[e] = 0;
        }
    }

    // scan_min over a kept vertex's neighbours: (d2, best) becomes the
    // lexicographic minimum of itself and every (distance, id).
    static void scan(const Kept& kept, const Vec4<T>& q, T& d2, std::size_t& best) noexcept {
        const V qx = V{} + q.lane[0];
        const V qy = V{} + q.lane[1];
        const V qz = V{} + q.lane[2];
        V bd = V{} + d2;
        Id bi = Id{} + static_cast<IdLane>(best);
        for (std::size_t e = 0; e < kept.count; e += kLanes) {
            const V dx = load(kept.x, e) - qx;
            const V dy = load(kept.y, e) - qy;
            const V dz = load(kept.z, e) - qz;
            Id id;
            std::memcpy(&id, kept.ids + e, sizeof id);
            simd::take_smaller<T>(bd, bi, (dx * dx + dy * dy) + dz * dz, id);
        }
        simd::fold_lanes<T>(bd, bi);
        d2 = bd[0];
        best = static_cast<std::size_t>(bi[0]);
    }

private:
    static constexpr std::size_t padded(std::size_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

    static V load(const T* values, std::size_t e) noexcept {
        V v;
        std::memcpy(&v, values + e, sizeof v);
        return v;
    }

    Kept kept_[2];
    std::size_t recent_ = 0;  // the one found or kept last
};

}  // namespace tevu

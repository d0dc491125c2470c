// Steepest descent over a contiguous CSR graph: the step both k = 1 searches
// share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "errors.hpp"
#include "hub_index.hpp"
#include "neighbour_memo.hpp"
#include "plateau.hpp"
#include "points.hpp"
#include "scan.hpp"
#include "stop_limits.hpp"

namespace tevu {

// How a descent treats a vertex whose two offsets are equal: the greedy
// search stops there without looking further; the blocked descent gathers
// the (empty) range, and so checks it against the neighbour array first.
enum class EmptyRange { stop, check };

// One step of a descent standing on `cur` at squared distance `d2` from q:
// moves to the nearest neighbour if it is strictly nearer, or equally near
// with a smaller index, and returns whether it moved. A step that stays but
// sees a neighbour within rounding reach of d2 searches the plateau and may
// move to a strictly nearer vertex there. Every index is checked when it is
// read. `facts` may hold the target's stop limits (a vertex nearer to q than
// its limit is where the descent ends, without reading its neighbours) and
// say that its neighbour ids need no checks. `memo`, if given, keeps the
// neighbours of the vertices scanned last; a vertex it holds was read and
// checked when it was kept, so its scan reads nothing more. `exact`, if
// given, may show that q's ties are exact, or that no target point can be
// nearer, so that no plateau needs searching.
// `hubs`, if given, answers the scans of vertices with very many neighbours
// from a tree, once their lists were scanned and checked a few times.
template <class T, EmptyRange kEmpty>
inline bool descent_step(const Vec4<T>* points, std::size_t n_points, IdRun indptr,
                         IdRun indices, const Vec4<T>& q, std::size_t& cur, T& d2,
                         TargetFacts<T> facts, NeighbourMemo<T>* memo,
                         ExactDistances<T>* exact, HubIndex<T>* hubs) {
    // cur is below n_points: checked before, or an id a scan checked.
    if (facts.stop_limits != nullptr && d2 < facts.stop_limits[cur]) return false;
    // Measured from the reach instead of d2, the scan also finds the nearest
    // neighbour that is not nearer but within reach; step_outcome tells the
    // two apart.
    T e2 = plateau_reach(d2);
    std::size_t best = cur;
    if (const auto* kept = memo != nullptr ? memo->find(cur) : nullptr) {
        NeighbourMemo<T>::scan(*kept, q, e2, best);
    } else {
        const std::size_t lo = indptr[checked_index(cur, indptr.len)];
        const std::size_t hi = indptr[checked_index(cur + 1, indptr.len)];
        if (kEmpty == EmptyRange::stop && lo == hi) return false;
        check_range(lo, hi, indices.len);
        if (lo == hi) return false;
        const IdRun neighbours{indices.base + lo * sizeof(std::uint32_t), hi - lo,
                               indices.len - lo};
        const bool hub = hubs != nullptr && hi - lo >= HubIndex<T>::kMinNeighbours;
        if (const auto* tree = hub ? hubs->find(cur) : nullptr) {
            tree->scan(q, e2, best);
        } else {
            scan_neighbours(points, facts.ids_in_range ? kIdsChecked : n_points, neighbours, q,
                            e2, best);
            if (memo != nullptr) memo->keep(cur, points, neighbours);
            if (hub) hubs->scanned(cur, points, n_points, neighbours);
        }
    }
    switch (step_outcome(cur, d2, best, e2)) {
        case StepOutcome::moved:
            cur = best;
            d2 = e2;
            return true;
        case StepOutcome::on_plateau:
            if (exact != nullptr) {
                return search_plateau(points, n_points, indptr, indices, q, cur, d2, *exact);
            }
            std::size_t searched;
            return leave_plateau(points, n_points, indptr, indices, q, cur, d2, searched);
        case StepOutcome::stopped:
            break;
    }
    return false;
}

// Descends from `cur` while the steps move. Returns the end vertex; `d2`
// receives its squared distance to q.
template <class T, EmptyRange kEmpty>
inline std::size_t descend_contiguous(const Vec4<T>* points, std::size_t n_points, IdRun indptr,
                                      IdRun indices, const Vec4<T>& q, std::size_t cur, T& d2_out,
                                      TargetFacts<T> facts = {},
                                      NeighbourMemo<T>* memo = nullptr,
                                      ExactDistances<T>* exact = nullptr,
                                      HubIndex<T>* hubs = nullptr) {
    T d2 = dist2(points[checked_index(cur, n_points)], q);
    while (descent_step<T, kEmpty>(points, n_points, indptr, indices, q, cur, d2, facts, memo,
                                   exact, hubs)) {
    }
    d2_out = d2;
    return cur;
}

// Up to kLanes independent descents taking turns step by step, so that the
// memory reads of one overlap the others'. Each ends where it would alone;
// when a step fails, which failure comes first is not the one-at-a-time
// order.
template <class T, EmptyRange kEmpty, std::size_t kLanes>
inline void descend_lanes(const Vec4<T>* points, std::size_t n_points, IdRun indptr,
                          IdRun indices, std::size_t lanes, const Vec4<T>* const* q,
                          std::size_t* cur, T* d2, TargetFacts<T> facts,
                          ExactDistances<T>* exact, HubIndex<T>* hubs) {
    unsigned moving = 0;
    for (std::size_t l = 0; l < lanes; ++l) {
        d2[l] = dist2(points[checked_index(cur[l], n_points)], *q[l]);
        moving |= 1u << l;
    }
    while (moving != 0) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            if ((moving >> l & 1u) != 0 &&
                !descent_step<T, kEmpty>(points, n_points, indptr, indices, *q[l], cur[l], d2[l],
                                         facts, nullptr, exact, hubs)) {
                moving &= ~(1u << l);
            }
        }
    }
}

}  // namespace tevu

// The order in which the greedy search answers the points of a query graph,
// worked out from the graph alone.
//
// The search visits the query graph depth first and starts each point's
// descent from the answer of the point that discovered it. Which point
// discovers which depends on nothing but the graph, so one pass over the
// graph records the visiting order and the discoverers, and the answers can
// then be computed in any order that puts every point after its discoverer:
// one that keeps nearby points together runs out of cache instead of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kept.hpp"
#include "scan.hpp"

namespace tevu {

struct VisitPlan {
    std::vector<std::uint32_t> order;     // the depth-first visiting order
    std::vector<std::uint32_t> parent;    // each point's discoverer; a root its own
    std::vector<std::uint32_t> schedule;  // the answering order, see below
    // Where each component begins in `order` and in `schedule`, then n.
    // Components come in visiting order in both; in `schedule` a component
    // begins with its root and every point comes after its discoverer.
    std::vector<std::size_t> component_starts;
};

// Plans the n-vertex graph with contiguous CSR arrays over n_points points.
// Nothing is returned when the plan cannot be made: more vertices than
// points, 2^32 vertices or more, or a malformed graph. The search then visits
// in the literal order, which meets every failure where it is specified.
std::optional<VisitPlan> plan_visits(IdRun indptr, IdRun indices, std::size_t n,
                                     std::size_t n_points);

// Below this many query points a plan is not worth its pass. The fuzz
// target lowers it so that its small inputs take both ways.
#ifndef TEVU_PLANNED_FROM
#define TEVU_PLANNED_FROM 256
#endif
inline constexpr std::size_t kPlannedFrom = TEVU_PLANNED_FROM;

// A plan made on first use and kept, for a graph that is immutable and used
// as the query of many searches. Safe to share between threads.
class VisitPlanCache {
public:
    // The plan, or null when none can be made (or it did not fit in memory).
    const VisitPlan* get(IdRun indptr, IdRun indices, std::size_t n, std::size_t n_points) const;

private:
    Kept<VisitPlan> plan_;
};

// The plan of a search's query graph: the one `kept` holds, or else one
// made into `made` for this search alone. Null when there is none.
const VisitPlan* find_plan(IdRun indptr, IdRun indices, std::size_t n, std::size_t n_points,
                           const VisitPlanCache* kept, std::optional<VisitPlan>& made);

}  // namespace tevu

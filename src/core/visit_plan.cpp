#include "visit_plan.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace tevu {

namespace {

// A neighbour at most this far in index, or n / kNearbyShare in smaller
// clouds, counts as stored nearby.
constexpr std::size_t kNearbyIndex = 256;
constexpr std::size_t kNearbyShare = 64;
// About this many points are sampled to judge the storage order.
constexpr std::size_t kSampledPoints = 1024;

// Unless the point being visited discovers new ones, `next` is visited
// next and `after` after it: fetch the neighbour list of the one and the
// offsets of the other while this point's list is read. Stack entries
// were checked against n, and the offsets array holds n + 1 entries.
void prefetch_ahead(IdRun indptr, IdRun indices, std::uint32_t next, std::uint32_t after) {
    __builtin_prefetch(indptr.base + std::size_t{after} * sizeof(std::uint32_t));
    const std::size_t lo = indptr[next];
    if (lo < indices.len) __builtin_prefetch(indices.base + lo * sizeof(std::uint32_t));
}

// The literal traversal with nothing but the graph: records the visiting
// order, the discoverers and the components. The mark test is folded into
// arithmetic because most neighbours are already marked, at no predictable
// place in the list.
bool visit(IdRun indptr, IdRun indices, std::uint32_t n, VisitPlan& plan) {
    plan.order.resize(n);
    plan.parent.resize(n);
    std::vector<std::uint8_t> seen(n, 0);
    // At most n points are ever pushed and one was popped before any push,
    // so a push always finds a free slot.
    std::vector<std::uint32_t> stack(n);
    std::size_t top = 0;
    std::size_t visited = 0;
    for (std::uint32_t start = 0; start < n; ++start) {
        if (seen[start]) continue;
        plan.component_starts.push_back(visited);
        seen[start] = 1;
        plan.parent[start] = start;
        stack[top++] = start;
        while (top != 0) {
            const std::uint32_t i = stack[--top];
            plan.order[visited++] = i;
            if (top >= 2) prefetch_ahead(indptr, indices, stack[top - 1], stack[top - 2]);
            const std::size_t lo = indptr[i];
            const std::size_t hi = indptr[i + 1];
            if (lo > hi || hi > indices.len) return false;
            for (std::size_t e = lo; e < hi; ++e) {
                const std::uint32_t k = indices[e];
                if (k >= n) return false;
                const std::uint32_t fresh = seen[k] ^ 1u;
                seen[k] = 1;
                plan.parent[k] = fresh ? i : plan.parent[k];
                stack[top] = k;
                top += fresh;
            }
        }
    }
    plan.component_starts.push_back(n);
    return true;
}

// Whether most graph edges join points stored close together, as in a
// cloud sorted along a space-filling curve. Judged on a sample of points.
bool stored_coherently(IdRun indptr, IdRun indices, std::size_t n) {
    const std::size_t step = std::max<std::size_t>(1, n / kSampledPoints);
    const std::size_t nearby_index = std::min(kNearbyIndex, n / kNearbyShare);
    std::size_t nearby = 0;
    std::size_t edges = 0;
    for (std::size_t i = 0; i < n; i += step) {
        for (std::size_t e = indptr[i]; e < indptr[i + 1]; ++e) {
            const std::size_t k = indices[e];
            nearby += (k > i ? k - i : i - k) <= nearby_index;
            ++edges;
        }
    }
    return 2 * nearby >= edges;
}

// The points of each component in increasing index order, components in
// visiting order.
std::vector<std::uint32_t> members_by_component(const VisitPlan& plan, std::uint32_t n) {
    std::vector<std::uint32_t> members(n);
    const std::size_t components = plan.component_starts.size() - 1;
    if (components == 1) {
        for (std::uint32_t i = 0; i < n; ++i) members[i] = i;
        return members;
    }
    std::vector<std::uint32_t> component(n);
    for (std::size_t c = 0; c < components; ++c) {
        for (std::size_t v = plan.component_starts[c]; v < plan.component_starts[c + 1]; ++v) {
            component[plan.order[v]] = static_cast<std::uint32_t>(c);
        }
    }
    std::vector<std::size_t> fill(plan.component_starts.begin(), plan.component_starts.end() - 1);
    for (std::uint32_t i = 0; i < n; ++i) members[fill[component[i]]++] = i;
    return members;
}

// For clouds stored in spatial order: every component's points in index
// order, each preceded by the not yet scheduled points of its chain of
// discoverers. Neighbouring answers then follow each other in memory.
void schedule_by_index(VisitPlan& plan, std::uint32_t n) {
    const std::vector<std::uint32_t> members = members_by_component(plan, n);
    std::vector<std::uint8_t> scheduled(n, 0);
    std::vector<std::uint32_t> chain;
    std::size_t pos = 0;
    for (std::size_t c = 0; c + 1 < plan.component_starts.size(); ++c) {
        const std::uint32_t root = plan.order[plan.component_starts[c]];
        plan.schedule[pos++] = root;
        scheduled[root] = 1;
        for (std::size_t m = plan.component_starts[c]; m < plan.component_starts[c + 1]; ++m) {
            for (std::uint32_t u = members[m]; !scheduled[u]; u = plan.parent[u]) {
                chain.push_back(u);
            }
            for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
                plan.schedule[pos++] = *it;
                scheduled[*it] = 1;
            }
            chain.clear();
        }
    }
}

// For clouds in no particular order: depth first over the discovery tree,
// all the points one point discovered right after each other, while their
// part of the target is still in cache.
void schedule_by_discovery(VisitPlan& plan, std::uint32_t n) {
    std::vector<std::uint32_t> child_starts(std::size_t{n} + 1, 0);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (plan.parent[k] != k) ++child_starts[plan.parent[k] + 1];
    }
    for (std::uint32_t i = 0; i < n; ++i) child_starts[i + 1] += child_starts[i];
    std::vector<std::uint32_t> children(child_starts[n]);
    std::vector<std::uint32_t> fill(child_starts.begin(), child_starts.end() - 1);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (plan.parent[k] != k) children[fill[plan.parent[k]]++] = k;
    }
    std::vector<std::uint32_t> pending;
    std::size_t pos = 0;
    for (std::size_t c = 0; c + 1 < plan.component_starts.size(); ++c) {
        const std::uint32_t root = plan.order[plan.component_starts[c]];
        plan.schedule[pos++] = root;
        pending.assign(1, root);
        while (!pending.empty()) {
            const std::uint32_t u = pending.back();
            pending.pop_back();
            for (std::uint32_t e = child_starts[u]; e < child_starts[u + 1]; ++e) {
                plan.schedule[pos++] = children[e];
                pending.push_back(children[e]);
            }
        }
    }
}

}  // namespace

std::optional<VisitPlan> plan_visits(IdRun indptr, IdRun indices, std::size_t n,
                                     std::size_t n_points) {
    if (n > n_points || n >= std::numeric_limits<std::uint32_t>::max() || indptr.len <= n) {
        return std::nullopt;
    }
    const auto count = static_cast<std::uint32_t>(n);
    VisitPlan plan;
    if (!visit(indptr, indices, count, plan)) return std::nullopt;
    plan.schedule.resize(n);
    if (stored_coherently(indptr, indices, n)) {
        schedule_by_index(plan, count);
    } else {
        schedule_by_discovery(plan, count);
    }
    return plan;
}

const VisitPlan* VisitPlanCache::get(IdRun indptr, IdRun indices, std::size_t n,
                                     std::size_t n_points) const {
    // Without a plan, searches go on in the literal order.
    return plan_.get([&] { return plan_visits(indptr, indices, n, n_points); });
}

const VisitPlan* find_plan(IdRun indptr, IdRun indices, std::size_t n, std::size_t n_points,
                           const VisitPlanCache* kept, std::optional<VisitPlan>& made) {
    if (kept != nullptr) return kept->get(indptr, indices, n, n_points);
    try {
        made = plan_visits(indptr, indices, n, n_points);
    } catch (const std::bad_alloc&) {
        // The literal order needs no plan.
    }
    return made ? &*made : nullptr;
}

}  // namespace tevu

// Spatial indexes over the neighbour lists of hubs: vertices joined to a
// large part of the cloud.
//
// A flat cloud with one point above it (a sensor origin, a stray return)
// makes that point a neighbour of every other one, and a line plus one point
// does the same. Descents seeded from the hub's answer then start by scanning
// all of its neighbours, which costs O(n) per query point. Once a run of
// descents has scanned such a list a few times, it copies the list into a
// small k-d tree and answers later scans of that vertex from the tree.
//
// The tree (point_tree.hpp) gives the same (distance, id) minimum as the
// scan, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <unordered_map>

#include "point_tree.hpp"
#include "points.hpp"
#include "scan.hpp"

namespace tevu {

template <class T>
class HubIndex {
public:
    // Shorter lists are always scanned.
    static constexpr std::size_t kMinNeighbours = 256;
    // A list is indexed on its next scan after this many plain ones, so that a
    // hub met once or twice costs no tree.
    static constexpr std::uint32_t kScansBeforeIndex = 4;
    // Neighbours held in all trees of one run together; a hub that would
    // take more is scanned.
    static constexpr std::size_t kMaxIndexed = std::size_t{1} << 23;

    using Tree = PointListTree<T>;

    // v's tree, if one was built.
    const Tree* find(std::size_t v) const noexcept {
        const auto it = hubs_.find(v);
        return it == hubs_.end() ? nullptr : it->second.tree.get();
    }

    // Records a whole plain scan of v's neighbours `ids`, which that scan
    // checked (or which are known to be below n_points), and builds v's tree
    // once v has been scanned often enough. The tree reads the ids again and
    // checks them once more, so that a list changed by another thread in
    // between cannot make it read outside the points; such a list, like
    // running out of memory, only means v stays unindexed.
    void scanned(std::size_t v, const Vec4<T>* points, std::size_t n_points, IdRun ids) noexcept {
        if (full_) return;
        try {
            Hub& hub = hubs_[v];
            if (++hub.scans <= kScansBeforeIndex || hub.tree != nullptr) return;
            if (indexed_ + ids.len > kMaxIndexed) return;
            auto tree = std::make_unique<Tree>(points, n_points, ids);
            if (!tree->complete()) return;
            hub.tree = std::move(tree);
            indexed_ += ids.len;
        } catch (const std::bad_alloc&) {
            full_ = true;
        }
    }

private:
    struct Hub {
        std::uint32_t scans = 0;
        std::unique_ptr<Tree> tree;
    };

    std::unordered_map<std::size_t, Hub> hubs_;
    std::size_t indexed_ = 0;
    bool full_ = false;
};

}  // namespace tevu

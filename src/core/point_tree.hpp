// A k-d tree over a list of points of a cloud, answering the same
// (distance, id) minimum as a scan of the list, bit for bit.
//
// Its leaves sum each distance as (dx² + dy²) + dz², exactly as the scan
// does. A branch is skipped only when the monotone squared gap to its box is
// strictly greater than the best distance so far, so no point inside it can
// be computed below that best. Ties are left to the scan's rule (equally near
// with a smaller id), so the order of visiting does not matter. Points with a
// coordinate that is not finite stay out of the tree and are measured one by
// one. A node whose members all lie at one position keeps only the smallest
// id: the others are exactly as far from any query and lose its ties, and
// no split can part them, so keeping them would make every search of that
// position measure all of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "points.hpp"
#include "scan.hpp"

namespace tevu {

template <class T>
class PointListTree {
public:
    // Copies the points listed by `ids`. The tree stays incomplete, and
    // empty, when an id is not below n_points.
    PointListTree(const Vec4<T>* points, std::size_t n_points, IdRun ids) {
        std::vector<Member> members;
        members.reserve(ids.len);
        for (std::size_t e = 0; e < ids.len; ++e) {
            const std::uint32_t id = ids[e];
            if (id >= n_points) return;
            const Vec4<T>& p = points[id];
            if (finite3(p)) {
                members.push_back({p, id});
            } else {
                loose_.push_back({p, id});
            }
        }
        complete_ = true;
        if (members.empty()) return;
        nodes_.reserve(2 * (members.size() / kLeaf + 1));
        nodes_.push_back({});
        build(0, members, 0, members.size());
        leaves_ = std::move(members);
    }

    bool complete() const noexcept { return complete_; }

    // (d2, best) becomes the lexicographic minimum of itself and every
    // listed point's (distance, id), as scan_neighbours makes it.
    void scan(const Vec4<T>& q, T& d2, std::size_t& best) const noexcept {
        for (const Member& m : loose_) take(dist2(m.point, q), m.id, d2, best);
        if (nodes_.empty()) return;
        std::uint32_t stack[kMaxDepth];
        std::size_t top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const Node& node = nodes_[stack[--top]];
            if (gap2(node, q) > d2) continue;
            if (node.child == 0) {
                for (std::uint32_t e = node.begin; e < node.end; ++e) {
                    take(dist2(leaves_[e].point, q), leaves_[e].id, d2, best);
                }
                continue;
            }
            // The nearer child goes on top, so that it is searched first.
            const T left = gap2(nodes_[node.child], q);
            const T right = gap2(nodes_[node.child + 1], q);
            const bool left_first = !(right < left);
            stack[top++] = left_first ? node.child + 1 : node.child;
            stack[top++] = left_first ? node.child : node.child + 1;
        }
    }

private:
    struct Member {
        Vec4<T> point;
        std::uint32_t id;
    };

    struct Node {
        T lo[3];
        T hi[3];
        std::uint32_t begin;
        std::uint32_t end;
        std::uint32_t child;  // the left child, the right one follows; 0 for a leaf
    };

    static constexpr std::size_t kLeaf = 8;
    // Halving ranges of fewer than 2^32 members stops well before this.
    static constexpr std::size_t kMaxDepth = 128;

    static void take(T d, std::uint32_t id, T& d2, std::size_t& best) noexcept {
        if (d < d2 || (d == d2 && id < best)) {
            d2 = d;
            best = id;
        }
    }

    // A lower bound on dist2(p, q) for every p in the node's box.
    static T gap2(const Node& node, const Vec4<T>& q) noexcept {
        return monotone_gap2(q, node.lo, node.hi);
    }

    // Makes node `at` over members [begin, end), then its subtree: the
    // members are split at the median of the box's widest side, and both
    // children are appended before either is built, so that they sit
    // side by side.
    void build(std::size_t at, std::vector<Member>& members, std::size_t begin,
               std::size_t end) {
        nodes_[at] = bounds(members, begin, end);
        if (one_position(nodes_[at])) {
            const auto first = std::min_element(
                members.begin() + begin, members.begin() + end,
                [](const Member& a, const Member& b) { return a.id < b.id; });
            std::iter_swap(members.begin() + begin, first);
            nodes_[at].end = static_cast<std::uint32_t>(begin + 1);
            return;
        }
        if (end - begin <= kLeaf) return;
        int axis = 0;
        for (int a = 1; a < 3; ++a) {
            if (nodes_[at].hi[a] - nodes_[at].lo[a] > nodes_[at].hi[axis] - nodes_[at].lo[axis]) {
                axis = a;
            }
        }
        const std::size_t mid = begin + (end - begin) / 2;
        std::nth_element(members.begin() + begin, members.begin() + mid, members.begin() + end,
                         [axis](const Member& a, const Member& b) {
                             return a.point.lane[axis] < b.point.lane[axis];
                         });
        const std::size_t children = nodes_.size();
        nodes_[at].child = static_cast<std::uint32_t>(children);
        nodes_.push_back({});
        nodes_.push_back({});
        build(children, members, begin, mid);
        build(children + 1, members, mid, end);
    }

    // Whether the node's box is a point (0 and -0 count as one coordinate,
    // and give equal distances).
    static bool one_position(const Node& node) noexcept {
        return node.lo[0] == node.hi[0] && node.lo[1] == node.hi[1] && node.lo[2] == node.hi[2];
    }

    static Node bounds(const std::vector<Member>& members, std::size_t begin, std::size_t end) {
        Node node{};
        for (int a = 0; a < 3; ++a) node.lo[a] = node.hi[a] = members[begin].point.lane[a];
        for (std::size_t e = begin + 1; e < end; ++e) {
            for (int a = 0; a < 3; ++a) {
                node.lo[a] = std::min(node.lo[a], members[e].point.lane[a]);
                node.hi[a] = std::max(node.hi[a], members[e].point.lane[a]);
            }
        }
        node.begin = static_cast<std::uint32_t>(begin);
        node.end = static_cast<std::uint32_t>(end);
        node.child = 0;
        return node;
    }

    std::vector<Node> nodes_;
    std::vector<Member> leaves_;
    std::vector<Member> loose_;
    bool complete_ = false;  // every id was below n_points
};

}  // namespace tevu

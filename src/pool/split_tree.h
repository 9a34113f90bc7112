#pragma once
// The tree of pieces a loop is cut into, as a pure function of the split rule:
// what parallel_reduce does, without a pool. Results that depend on the
// grouping of partial results (sums, the solver's gradients) follow
// fixed_tree.
#include <cstddef>
#include <vector>

#include "pool/split.h"

namespace kestrix {

// A piece [lo, hi): a leaf when it has no halves, else split at its middle
// into nodes[left] and nodes[right].
struct SplitNode {
    std::size_t lo, hi;
    std::size_t left = 0, right = 0;  // 0: a leaf (node 0 is the root, never a half)
    bool is_leaf() const noexcept { return left == 0; }
};

namespace detail {

template <class Stolen>
std::size_t add_piece(std::vector<SplitNode>& nodes, std::size_t lo, std::size_t hi, Splitter s,
                      bool taken_over, Stolen& stolen) {
    std::size_t at = nodes.size();
    nodes.push_back({lo, hi});
    if (!s.try_split(hi - lo, taken_over)) return at;
    std::size_t mid = lo + (hi - lo) / 2;
    std::size_t left = add_piece(nodes, lo, mid, s, false, stolen);
    std::size_t right = add_piece(nodes, mid, hi, s, stolen(lo, mid, hi), stolen);
    nodes[at].left = left;
    nodes[at].right = right;
    return at;
}

}  // namespace detail

// The tree of a loop over [0, len) on `workers` workers, where
// stolen(lo, mid, hi) tells whether the right half [mid, hi) of the piece
// [lo, hi) ran on another worker than the piece itself. The caller's own
// split hands both its halves to the workers, so they always count as taken
// over. The root is nodes[0].
template <class Stolen>
std::vector<SplitNode> split_tree(std::size_t len, std::size_t workers, Stolen stolen) {
    std::vector<SplitNode> nodes{{0, len}};
    Splitter s{workers, workers};
    if (!s.try_split(len, false)) return nodes;
    std::size_t mid = len / 2;
    nodes[0].left = detail::add_piece(nodes, 0, mid, s, true, stolen);
    nodes[0].right = detail::add_piece(nodes, mid, len, s, true, stolen);
    return nodes;
}

// The tree where no half is stolen: the one reductions follow on `workers`
// workers whoever runs their pieces, and the only one of a one-worker pool.
inline std::vector<SplitNode> fixed_tree(std::size_t len, std::size_t workers) {
    return split_tree(len, workers, [](std::size_t, std::size_t, std::size_t) { return false; });
}

inline std::vector<SplitNode> one_worker_tree(std::size_t len) { return fixed_tree(len, 1); }

}  // namespace kestrix

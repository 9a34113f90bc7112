// Prints the one-worker tree of every loop length from 0 to the argument, one
// line each, as nested Python tuples: a leaf (lo, hi), a split (left, right).
// The Python tests check their own model of the split rule against it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pool/split_tree.h"

namespace {

std::string tuple(const std::vector<kestrix::SplitNode>& t, std::size_t at) {
    const kestrix::SplitNode& n = t[at];
    if (n.is_leaf()) return "(" + std::to_string(n.lo) + ", " + std::to_string(n.hi) + ")";
    return "(" + tuple(t, n.left) + ", " + tuple(t, n.right) + ")";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: split_tree_dump MAX_LEN\n");
        return 2;
    }
    std::size_t max_len = std::strtoull(argv[1], nullptr, 10);
    for (std::size_t n = 0; n <= max_len; ++n)
        std::printf("%s\n", tuple(kestrix::one_worker_tree(n), 0).c_str());
}

// Prints the tree reductions follow on WORKERS workers (default one) for every
// loop length from 0 to MAX_LEN, one line each, as nested Python tuples: a
// leaf (lo, hi), a split (left, right). The Python tests check their own model
// of the split rule against it.
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
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: split_tree_dump MAX_LEN [WORKERS]\n");
        return 2;
    }
    std::size_t max_len = std::strtoull(argv[1], nullptr, 10);
    std::size_t workers = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 1;
    if (workers == 0) {
        std::fprintf(stderr, "split_tree_dump: WORKERS must be at least 1\n");
        return 2;
    }
    for (std::size_t n = 0; n <= max_len; ++n)
        std::printf("%s\n", tuple(kestrix::fixed_tree(n, workers), 0).c_str());
}

#include "matrix/product_tiles.h"

#include <algorithm>
#include <cstring>

namespace kestrix::gemm {

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// A panel narrower than nr goes through a full-width tile on the stack.
void run_panel(const Problem& pr, const float* a_rows, std::size_t lda, std::size_t i0,
               std::size_t mc, std::size_t kc, const float* b, std::size_t ldb, std::size_t j0,
               bool first, const float* next) {
    const ProductKernels& ks = *pr.kernels;
    std::size_t w = std::min(ks.nr, pr.n - j0);
    alignas(64) float tile[max_tile_rows * 32];
    // The next panel's block (kc rows of nr floats, contiguous) is fetched
    // into L2 by the kernels, 2 * kc floats per tile, so that its first tile
    // does not wait on memory. Tiles past its end fetch nothing.
    const std::size_t ahead_span = next ? kc * ks.nr : 0;
    // A large right operand read in place at a wide stride: rows a page apart.
    const bool strided = ks.strided[0] != nullptr && ldb >= pr.blocking().strided_floats &&
                         pr.k * pr.n > pr.blocking().unpacked_b_limit;
    // A panel of at most nr / 2 columns: half-width tiles, where a set has
    // them, each of whose elements takes the same steps as in a full tile.
    const bool half = w <= ks.nr / 2 && ks.half[0] != nullptr;
    const std::size_t tile_w = half ? ks.nr / 2 : ks.nr;
    for (std::size_t t = 0, fetched = 0; t < mc; t += ks.mr, fetched += 2 * kc) {
        const float* ahead = fetched + 2 * kc <= ahead_span ? next + fetched : nullptr;
        const MicroKernel* kernels = half      ? ks.half
                                     : ahead   ? ks.fetching
                                     : strided ? ks.strided
                                               : ks.kernels;
        std::size_t rows = std::min(ks.mr, mc - t);
        const float* a = a_rows + t * lda;
        float* c = pr.c + (i0 + t) * pr.n + j0;
        if (w == tile_w) {
            kernels[rows - 1](kc, a, lda, b, ldb, c, pr.n, first, ahead);
            continue;
        }
        if (!first)
            for (std::size_t r = 0; r < rows; ++r)
                std::memcpy(tile + r * ks.nr, c + r * pr.n, w * sizeof(float));
        kernels[rows - 1](kc, a, lda, b, ldb, tile, ks.nr, first, ahead);
        for (std::size_t r = 0; r < rows; ++r)
            std::memcpy(c + r * pr.n, tile + r * ks.nr, w * sizeof(float));
    }
}

}  // namespace kestrix::gemm

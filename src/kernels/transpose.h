#pragma once
// The transpose's register blocks; each variant has its own
// (kernels/<variant>/kernels.h), and the driver and the edges live in
// matrix/matrix.cpp. Shuffles move bits unchanged.
#include <cstddef>

namespace kestrix {

// dst[j * r + i] = src[i * c + j] for the side x side blocks that fit in
// result rows [j0, j1) and source rows [i0, i1) of an r x c source, counted
// from (j0, i0); the caller copies the edges.
using TransposeRun = void (*)(const float* src, float* dst, std::size_t r, std::size_t c,
                              std::size_t j0, std::size_t j1, std::size_t i0, std::size_t i1);

struct TransposeBlocks {
    TransposeRun run;
    std::size_t side;
};

}  // namespace kestrix

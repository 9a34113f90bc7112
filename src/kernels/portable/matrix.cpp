// The baseline's matrix kernels on processors other than x86-64, in portable
// code: the product micro-kernel, the transpose's 4 x 4 blocks and the
// element maps. Each result keeps the order of operations of every variant.
#include <cstring>

#include "base/order.h"
#include "kernels/portable/blocking.h"
#include "kernels/portable/kernels.h"

namespace kestrix::kernels::portable {
using namespace gemm;
namespace {

// Up to 4 x 8 results.
constexpr std::size_t tile_rows = 4;
constexpr std::size_t tile_cols = 8;

template <std::size_t R, bool Fetch>
void kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, std::size_t ldb,
            float* c, std::size_t ldc, bool first, const float* ahead) {
    float acc[R][tile_cols];
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t j = 0; j < tile_cols; ++j) acc[r][j] = first ? 0.0f : c[r * ldc + j];
    for (std::size_t k = 0; k < kc; ++k) {
        if constexpr (Fetch)
            if (k % 8 == 0) __builtin_prefetch(ahead + 2 * k, 0, 2);
        for (std::size_t r = 0; r < R; ++r) {
            const float av = a[r * lda + k];
            for (std::size_t j = 0; j < tile_cols; ++j)
                acc[r][j] = order::add(order::mul(b[j], av), acc[r][j]);
        }
        b += ldb;
    }
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t j = 0; j < tile_cols; ++j) c[r * ldc + j] = acc[r][j];
}

constexpr ProductKernels product_set{tile_rows,
                                     tile_cols,
                                     {kernel<1, false>, kernel<2, false>, kernel<3, false>,
                                      kernel<4, false>, nullptr, nullptr, nullptr, nullptr},
                                     {kernel<1, true>, kernel<2, true>, kernel<3, true>,
                                      kernel<4, true>, nullptr, nullptr, nullptr, nullptr},
                                     {},  // no strided kernels
                                     nullptr,
                                     nullptr,
                                     0,
                                     blocking,
                                     {}};

}  // namespace

const gemm::ProductKernels& product() noexcept { return product_set; }

void transpose(const float* src, float* dst, std::size_t r, std::size_t c, std::size_t j0,
               std::size_t j1, std::size_t i0, std::size_t i1) {
    for (std::size_t j = j0; j + 4 <= j1; j += 4)
        for (std::size_t i = i0; i + 4 <= i1; i += 4)
            for (std::size_t y = 0; y < 4; ++y)
                for (std::size_t x = 0; x < 4; ++x)
                    dst[(j + x) * r + i + y] = src[(i + y) * c + j + x];
}

namespace {

template <bool Mul>
void map(const float* in, float v, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = Mul ? order::mul(in[i], v) : order::add(in[i], v);
}

// Ordinary stores: portable code has no way past the caches.
constexpr ElementMaps set{map<false>, map<true>, map<false>, map<true>};

}  // namespace

const ElementMaps& maps() noexcept { return set; }

}  // namespace kestrix::kernels::portable

// More than in_place_rows result rows and more than the narrow kernels'
// columns: register tiles over (column block, group of whole tiles) units,
// claimed in order. The right operand is packed when it is too large to read
// in place without its rows crowding onto a few cache sets: by each worker
// whole, or shared, one column block at a time in one of two slots. A slot is
// refilled for block jb + 2 once every unit of block jb is done. Blocks of k
// run in ascending order and the accumulator tile goes through memory
// unchanged between them, so blocking changes speed only.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "matrix/packing.h"
#include "matrix/product_paths.h"
#include "matrix/product_tiles.h"
#include "pool/claim_loop.h"

namespace kestrix::gemm {
namespace {

// Result rows [lo, hi) of the columns [j0, j0 + width): over the panels of
// `packed` (which covers those columns), else over the right operand in place.
void compute_block(const Problem& pr, std::size_t lo, std::size_t hi, PackedRight* packed,
                   std::size_t j0, std::size_t width) {
    const ProductKernels& ks = *pr.kernels;
    const Blocking& bl = pr.blocking();
    if (pr.k == 0) {
        for (std::size_t i = lo; i < hi; ++i) std::fill_n(pr.c + i * pr.n + j0, width, 0.0f);
        return;
    }
    Scratch& s = scratch();
    FloatSeq& edge = s.edge;
    std::size_t kc_max = std::min(bl.block_k, pr.k);
    if (!packed && width % ks.nr != 0 && edge.size() < kc_max * ks.nr) edge.resize(kc_max * ks.nr);
    std::size_t panels = (width + ks.nr - 1) / ks.nr;
    // A single panel uses each block of rows once: a copy would be a second pass.
    bool copy_left = pr.k >= bl.copied_left_stride && panels > 1;
    std::size_t mc_max = std::min(bl.block_rows, hi - lo);
    if (copy_left && s.left.size() < mc_max * kc_max) s.left.resize(mc_max * kc_max);
    const bool fetches = ks.fetching[0] != nullptr;

    for (std::size_t i0 = lo; i0 < hi; i0 += bl.block_rows) {
        std::size_t mc = std::min(bl.block_rows, hi - i0);
        for (std::size_t p0 = 0; p0 < pr.k; p0 += bl.block_k) {
            std::size_t kc = std::min(bl.block_k, pr.k - p0);
            const float* a_rows = pr.a + i0 * pr.k + p0;
            std::size_t lda = pr.k;
            if (copy_left) {
                for (std::size_t r = 0; r < mc; ++r)
                    std::memcpy(s.left.data() + r * kc, a_rows + r * pr.k, kc * sizeof(float));
                a_rows = s.left.data();
                lda = kc;
            }
            for (std::size_t p = 0; p < panels; ++p) {
                std::size_t j = j0 + p * ks.nr;
                const float* b;
                std::size_t ldb;
                if (packed) {
                    b = packed->panel(p) + p0 * ks.nr;
                    ldb = ks.nr;
                } else if (j + ks.nr <= pr.n) {
                    b = pr.b + p0 * pr.n + j;
                    ldb = pr.n;
                } else {
                    // The kernels read full rows of nr; the last, narrower panel
                    // is copied with zero padding.
                    copy_padded(pr.b + p0 * pr.n + j, pr.n, kc, pr.n - j, ks.nr, edge.data());
                    b = edge.data();
                    ldb = ks.nr;
                }
                const float* next =
                    packed && fetches && p + 1 < panels ? packed->if_ready(p + 1) : nullptr;
                if (next) next += p0 * ks.nr;
                run_panel(pr, a_rows, lda, i0, mc, kc, b, ldb, j, p0 == 0, next);
            }
        }
    }
}

}  // namespace

void tiled_product(Pool& pool, const Problem& pr) {
    const ProductKernels& ks = *pr.kernels;
    const Blocking& bl = pr.blocking();
    const std::size_t m = pr.m, k = pr.k, n = pr.n, mr = ks.mr, nr = ks.nr;
    // A right operand whose single panel exceeds the largest block's copy is
    // read in place.
    const PackingLimits limits = packing_limits(bl.packing);
    const bool pack =
        k != 0 && m > mr && k * n > bl.unpacked_b_limit && k * nr <= limits.block_copy_most;
    const bool own =
        pack && k * n <= limits.own_copies / pool.size() && m >= bl.own_copy_rows * pool.size();
    const bool shared = pack && !own;
    std::size_t width = n;
    if (shared) {
        const std::size_t panels = (n + nr - 1) / nr;
        const std::size_t per_block =
            std::max({std::size_t{1}, limits.block_copy / (k * nr),
                      std::min(limits.block_columns / nr, limits.block_copy_most / (k * nr))});
        const std::size_t blocks = (panels + per_block - 1) / per_block;
        width = (panels + blocks - 1) / blocks * nr;  // blocks of equal width but the last
    }
    const std::size_t blocks = (n + width - 1) / width, tiles = (m + mr - 1) / mr;
    const std::size_t wanted = std::max<std::size_t>(1, bl.units_per_worker * pool.size() / blocks);
    // Units of whole tiles: a unit ending inside one would leave narrower
    // tiles, whose few accumulators wait on their additions, at every cut.
    const std::size_t unit_tiles = std::min(
        tiles, std::clamp((tiles + wanted - 1) / wanted, bl.min_unit_tiles, bl.block_rows / mr));
    const std::size_t row_units = (tiles + unit_tiles - 1) / unit_tiles;
    const std::size_t units = blocks * row_units;

    // The calling thread's: the lambdas below must reach them through a
    // pointer, as a thread_local name means each worker's own.
    thread_local PackedRight callers_slots[2];
    PackedRight* const slots = callers_slots;
    static std::atomic<std::uint64_t> products{0};
    const std::uint64_t product = own ? products.fetch_add(1, std::memory_order_relaxed) + 1 : 0;
    std::unique_ptr<std::atomic<std::size_t>[]> done;  // finished units per block
    if (shared) {
        for (std::size_t s = 0; s < std::min<std::size_t>(2, blocks); ++s)
            slots[s].reserve(k, width, nr);
        done = std::make_unique<std::atomic<std::size_t>[]>(blocks);
    }
    constexpr std::size_t none = ~std::size_t{0};
    std::atomic<std::size_t> slot_block[2] = {none, none};  // the block each slot holds

    // Unit (jb, g)'s packed copy, or null where the right operand is read in
    // place or where waiting for the copy was given up.
    auto copy_for = [&](std::size_t jb, std::size_t g, std::size_t j0, std::size_t w,
                        const Claims& claims, bool& gave_up) -> PackedRight* {
        if (own) {
            Scratch& s = scratch();
            if (s.own_product != product) {
                s.own_product = 0;  // until the reset has succeeded
                s.own.reset(pr.b, k, n, 0, n, nr);
                s.own_product = product;
            }
            return &s.own;
        }
        if (!shared) return nullptr;
        PackedRight& slot = slots[jb % 2];
        std::atomic<std::size_t>& holds = slot_block[jb % 2];
        if (g == 0) {  // the block's first unit, claimed before any other of it
            if (jb >= 2 && !claims.wait_for([&] {
                    return done[jb - 2].load(std::memory_order_acquire) == row_units;
                })) {
                gave_up = true;
                return nullptr;
            }
            slot.reset(pr.b, k, n, j0, w, nr);
            holds.store(jb, std::memory_order_release);
            return &slot;
        }
        gave_up = !claims.wait_for([&] { return holds.load(std::memory_order_acquire) == jb; });
        return &slot;
    };
    const std::size_t lanes = pr.runs_alone() ? 1 : pool.size();
    parallel_claims(pool, lanes, units, [&](std::size_t u, const Claims& claims) {
        const std::size_t jb = u / row_units, g = u % row_units;
        const std::size_t j0 = jb * width, w = std::min(width, n - j0);
        bool gave_up = false;
        PackedRight* packed = copy_for(jb, g, j0, w, claims, gave_up);
        if (gave_up) return;
        const std::size_t r0 = g * unit_tiles * mr;
        compute_block(pr, r0, std::min(m, r0 + unit_tiles * mr), packed, j0, w);
        if (shared) done[jb].fetch_add(1, std::memory_order_release);
    });
    for (PackedRight& slot : callers_slots) slot.trim(bl.retained_packing);
}

}  // namespace kestrix::gemm

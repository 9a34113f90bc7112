// The matrix-product driver. The shape chooses the kernels: few result
// columns go to lanes across rows, few result rows to the right operand
// streamed or read in place, split over column blocks as well as rows; the
// rest is split by rows, a leaf computing its rows as register tiles over a
// packed right operand. Whatever the path, every element is computed by one
// worker, k ascending from +0.0: blocks of k run in ascending order and the
// accumulator tile goes through memory unchanged between them, so blocking
// and partition change speed only.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "base/fault.h"
#include "base/spin_pause.h"
#include "kernels/product.h"
#include "kernels/table.h"
#include "matrix/matrix.h"
#include "matrix/packing.h"
#include "pool/loops.h"
#include "pool/split.h"

namespace kestrix {
namespace {

using gemm::PackedRight;
using gemm::ProductKernels;
using gemm::wait_until;

constexpr std::uint64_t max_elements = (std::uint64_t{1} << 61) - 1;

// Packed copies of at most this many floats stay with the calling thread for
// its next product, where a fresh buffer would cost its page faults: both
// slots at the default block size.
constexpr std::size_t retained_packing = std::size_t{1} << 19;

// Each worker packs a copy of its own (within packing_limits().own_copies
// for all of them) where each has at least this many rows to spend it on.
// Panels that another core packed arrive through cache-to-cache transfers,
// and repacking lines that it still holds waits on invalidations.
constexpr std::size_t own_copy_rows = 64;

// The units of work the tiled path aims at per worker. Workers claim units
// one at a time as they come free, so a worker whose core the host slows
// takes fewer of them rather than holding back the product's end; every
// element stays with the one unit that computes it whole.
constexpr std::size_t units_per_worker = 16;
constexpr std::size_t min_unit_tiles = 4;

// Per-thread scratch that leaves reuse: one zero-padded edge panel of the
// right operand, a block of the left operand's rows, and this thread's own
// packed copy of the right operand with the number of its product.
struct Scratch {
    FloatSeq edge, left;
    PackedRight own;
    std::uint64_t own_product = 0;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Left operand rows at least this far apart (in floats, 4 KiB) are copied
// per block into consecutive rows: that far apart, the rows of a block crowd
// onto a few cache sets and evict one another. Closer rows are read in
// place, which costs the same as a copy.
constexpr std::size_t copied_left_stride = 1024;

// The checks that reading row i's operands would make, in the order the
// plain loop makes them: for each k, the left index, then the right indices
// of row k. Each fails first at a position computable from the lengths.
void check_row(std::size_t i, std::size_t k, std::size_t n, std::size_t a_len, std::size_t b_len) {
    if (k == 0) return;
    std::size_t a_first = i * k;
    std::size_t bad_a = a_len > a_first ? a_len - a_first : 0;  // first k whose left index fails
    std::size_t bad_b = b_len / n;  // first k with a failing right index
    if (bad_a < k && bad_a <= bad_b) fail_index(a_first + bad_a, a_len);
    if (bad_b < k) fail_index(b_len, b_len);
}

// check_row over rows [lo, hi). Operands that hold every value these rows
// read are told apart with two divisions, instead of one per row: the
// per-row division costs as much as a short row's whole product.
void check_rows(std::size_t lo, std::size_t hi, std::size_t k, std::size_t n, std::size_t a_len,
                std::size_t b_len) {
    if (k == 0 || lo >= hi || (a_len / k >= hi && b_len / n >= k)) return;
    for (std::size_t i = lo; i < hi; ++i) check_row(i, k, n, a_len, b_len);
}

struct Problem {
    const float* a;
    const float* b;
    float* c;
    std::size_t m, k, n;
    const ProductKernels* kernels;
};

// Runs the tiles of one column panel over result rows [i0, i0 + mc), whose
// left operand rows (kc steps each) start at a with row stride lda. A panel
// narrower than nr goes through a full-width tile on the stack.
void run_panel(const Problem& pr, const float* a_rows, std::size_t lda, std::size_t i0,
               std::size_t mc, std::size_t kc, const float* b, std::size_t ldb, std::size_t j0,
               bool first, const float* next) {
    const ProductKernels& ks = *pr.kernels;
    std::size_t w = std::min(ks.nr, pr.n - j0);
    alignas(64) float tile[gemm::max_tile_rows * 32];
    // The next panel's block (kc rows of nr floats, contiguous) is fetched
    // into L2 by the kernels, 2 * kc floats per tile, so that its first tile
    // does not wait on memory. Tiles past its end fetch nothing.
    const std::size_t ahead_span = next ? kc * ks.nr : 0;
    // A large right operand read in place at a wide stride: rows a page apart.
    const bool strided = ks.strided[0] != nullptr && ldb >= gemm::strided_floats &&
                         pr.k * pr.n > ks.unpacked_b_limit;
    for (std::size_t t = 0, fetched = 0; t < mc; t += ks.mr, fetched += 2 * kc) {
        const float* ahead = fetched + 2 * kc <= ahead_span ? next + fetched : nullptr;
        const gemm::MicroKernel* kernels = ahead ? ks.fetching : strided ? ks.strided : ks.kernels;
        std::size_t rows = std::min(ks.mr, mc - t);
        const float* a = a_rows + t * lda;
        float* c = pr.c + (i0 + t) * pr.n + j0;
        if (w == ks.nr) {
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

// Result rows [lo, hi) of the columns [j0, j0 + width): over the panels of
// `packed` (which covers those columns), else over the right operand in place.
void compute_block(const Problem& pr, std::size_t lo, std::size_t hi, PackedRight* packed,
                   std::size_t j0, std::size_t width) {
    const ProductKernels& ks = *pr.kernels;
    if (pr.k == 0) {
        for (std::size_t i = lo; i < hi; ++i) std::fill_n(pr.c + i * pr.n + j0, width, 0.0f);
        return;
    }
    Scratch& s = scratch();
    FloatSeq& edge = s.edge;
    std::size_t kc_max = std::min(gemm::block_k, pr.k);
    if (!packed && width % ks.nr != 0 && edge.size() < kc_max * ks.nr) edge.resize(kc_max * ks.nr);
    std::size_t panels = (width + ks.nr - 1) / ks.nr;
    // A single panel uses each block of rows once: a copy would be a second pass.
    bool copy_left = pr.k >= copied_left_stride && panels > 1;
    std::size_t mc_max = std::min(gemm::block_rows, hi - lo);
    if (copy_left && s.left.size() < mc_max * kc_max) s.left.resize(mc_max * kc_max);
    const bool fetches = ks.fetching[0] != nullptr;

    for (std::size_t i0 = lo; i0 < hi; i0 += gemm::block_rows) {
        std::size_t mc = std::min(gemm::block_rows, hi - i0);
        for (std::size_t p0 = 0; p0 < pr.k; p0 += gemm::block_k) {
            std::size_t kc = std::min(gemm::block_k, pr.k - p0);
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
                    gemm::copy_padded(pr.b + p0 * pr.n + j, pr.n, kc, pr.n - j, ks.nr, edge.data());
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

// Results of at most this many rows are split by columns as well as rows,
// and read the right operand in place: packing it is a full extra pass over
// the biggest operand, which the few row tiles each panel serves do not
// repay. Products whose panels serve many more row tiles than this are
// faster packed.
constexpr std::size_t in_place_rows = 128;

// Products of at most this many multiply-adds, whose operands and result
// together fit in this many floats, run on the calling thread alone: handing
// one to the pool and waking a sleeping second worker takes longer than such
// a product takes on one core. A product that reads more is bound by how fast
// one core's caches fill, and the second core's caches add their own.
// Which thread computes an element changes none of its bits.
constexpr std::uint64_t alone_work = std::uint64_t{1} << 18;
constexpr std::uint64_t alone_floats = std::uint64_t{1} << 16;

// leaf over the units [0, units) of pr: on the pool, or on the calling
// thread when the product is too small to share.
template <class Leaf>
void run_units(Pool& pool, const Problem& pr, std::size_t units, Leaf leaf) {
    std::uint64_t work = 0;
    if (!__builtin_mul_overflow(std::uint64_t{pr.m} * pr.n, std::uint64_t{pr.k}, &work) &&
        work <= alone_work &&
        std::uint64_t{pr.m} * pr.k + std::uint64_t{pr.k} * pr.n + std::uint64_t{pr.m} * pr.n <=
            alone_floats) {
        leaf(std::size_t{0}, units);
        return;
    }
    parallel_leaves(pool, units, leaf);
}

// Parts into which a loop of `units` is cut when it would otherwise leave
// workers idle: two per worker, so that an uneven part is not the last.
std::size_t parts_for(Pool& pool, std::size_t units, std::size_t most) {
    std::size_t want = 2 * pool.size();
    if (units == 0 || units >= want) return 1;
    return std::max<std::size_t>(1, std::min(most, (want + units - 1) / units));
}

// Rows [r0, r1) of one column panel, the right operand read in place (its
// last, narrower panel through a zero-padded copy, block by block).
void rows_of_panel(const Problem& pr, std::size_t r0, std::size_t r1, std::size_t p) {
    const ProductKernels& ks = *pr.kernels;
    const std::size_t j0 = p * ks.nr, w = std::min(ks.nr, pr.n - j0);
    FloatSeq& edge = scratch().edge;
    for (std::size_t p0 = 0; p0 < pr.k; p0 += gemm::block_k) {
        std::size_t kc = std::min(gemm::block_k, pr.k - p0);
        const float* b = pr.b + p0 * pr.n + j0;
        std::size_t ldb = pr.n;
        if (w < ks.nr) {
            if (edge.size() < kc * ks.nr) edge.resize(gemm::block_k * ks.nr);
            gemm::copy_padded(b, pr.n, kc, w, ks.nr, edge.data());
            b = edge.data();
            ldb = ks.nr;
        }
        run_panel(pr, pr.a + r0 * pr.k + p0, pr.k, r0, r1 - r0, kc, b, ldb, j0, p0 == 0, nullptr);
    }
}

// Up to in_place_rows result rows: units of (column panel, row group),
// panel-major, so that a leaf's groups share each panel while it is in cache.
void in_place_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len) {
    const std::size_t mr = pr.kernels->mr, tiles = (pr.m + mr - 1) / mr;
    const std::size_t panels = (pr.n + pr.kernels->nr - 1) / pr.kernels->nr;
    const std::size_t groups = parts_for(pool, panels, tiles);
    // Groups of whole tiles, as in the packed path.
    auto first_row = [&](std::size_t g) { return std::min(pr.m, g * tiles / groups * mr); };
    run_units(pool, pr, panels * groups, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t u = lo; u < hi; ++u) {
            std::size_t g = u % groups;
            check_rows(first_row(g), first_row(g + 1), pr.k, pr.n, a_len, b_len);
        }
        for (std::size_t u = lo; u < hi; ++u) {
            std::size_t g = u % groups;
            rows_of_panel(pr, first_row(g), first_row(g + 1), u / groups);
        }
    });
}

// At most max_stream_rows result rows: the set's stream kernels over units of
// column blocks, so that each worker streams its own part of the right
// operand. A block's result rows stay in the first-level cache.
void stream_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len) {
    constexpr std::size_t widest = 2048, narrowest = 64;
    std::size_t width = (pr.n / pool.size() + 7) / 8 * 8;
    width = std::clamp(width, narrowest, widest);
    const std::size_t blocks = (pr.n + width - 1) / width;
    run_units(pool, pr, blocks, [&](std::size_t lo, std::size_t hi) {
        check_rows(0, pr.m, pr.k, pr.n, a_len, b_len);
        for (std::size_t u = lo; u < hi; ++u) {
            const std::size_t j0 = u * width, w = std::min(width, pr.n - j0);
            pr.kernels->stream[pr.m - 1](pr.k, pr.a, pr.k, pr.b + j0, pr.n, pr.c + j0, pr.n, w);
        }
    });
}

// Few result columns: the set's narrow kernels, lanes across rows, over units
// of (column group, 8 rows), group-major; the columns are split only when
// there are too few rows to go round.
void narrow_product(Pool& pool, const Problem& pr, std::size_t a_len, std::size_t b_len) {
    constexpr std::size_t block = 8;
    const std::size_t blocks = (pr.m + block - 1) / block;
    const std::size_t groups = parts_for(pool, blocks, pr.n);
    run_units(pool, pr, groups * blocks, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t u = lo; u < hi;) {
            const std::size_t g = u / blocks, first = u % blocks;
            const std::size_t last = std::min(blocks, first + (hi - u));
            const std::size_t r0 = first * block, r1 = std::min(pr.m, last * block);
            const std::size_t c0 = g * pr.n / groups, c1 = (g + 1) * pr.n / groups;
            check_rows(r0, r1, pr.k, pr.n, a_len, b_len);
            pr.kernels->narrow[c1 - c0 - 1](r1 - r0, pr.k, pr.a + r0 * pr.k, pr.k, pr.b + c0, pr.n,
                                            pr.c + r0 * pr.n + c0, pr.n);
            u += last - first;
        }
    });
}

// More than in_place_rows result rows and more than the narrow kernels'
// columns: register tiles over (column block, group of whole tiles) units,
// claimed in order. The right operand is packed when it is too large to read
// in place without its rows crowding onto a few cache sets: by each worker
// whole, or shared, one column block at a time in one of two slots. A slot is
// refilled for block jb + 2 once every unit of block jb is done.
void tiled_product(Pool& pool, const Problem& pr) {
    const ProductKernels& ks = *pr.kernels;
    const std::size_t m = pr.m, k = pr.k, n = pr.n, mr = ks.mr, nr = ks.nr;
    // A right operand whose single panel exceeds the largest block's copy is
    // read in place.
    const gemm::PackingLimits limits = gemm::packing_limits();
    const bool pack =
        k != 0 && m > mr && k * n > ks.unpacked_b_limit && k * nr <= limits.block_copy_most;
    const bool own =
        pack && k * n <= limits.own_copies / pool.size() && m >= own_copy_rows * pool.size();
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
    const std::size_t wanted = std::max<std::size_t>(1, units_per_worker * pool.size() / blocks);
    // Units of whole tiles: a unit ending inside one would leave narrower
    // tiles, whose few accumulators wait on their additions, at every cut.
    const std::size_t unit_tiles = std::min(
        tiles, std::clamp((tiles + wanted - 1) / wanted, min_unit_tiles, gemm::block_rows / mr));
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
    std::atomic<std::size_t> next{0};
    std::atomic<bool> abandoned{false};  // a unit failed: waiting for others is over

    // Unit u's block packed copy, or null where the right operand is read in
    // place; null with `abandoned` set where waiting for it was given up.
    auto copy_for = [&](std::size_t jb, std::size_t g, std::size_t j0,
                        std::size_t w) -> PackedRight* {
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
            if (jb >= 2)
                wait_until([&] {
                    return done[jb - 2].load(std::memory_order_acquire) == row_units ||
                           abandoned.load(std::memory_order_relaxed);
                });
            if (abandoned.load(std::memory_order_relaxed)) return nullptr;
            slot.reset(pr.b, k, n, j0, w, nr);
            holds.store(jb, std::memory_order_release);
            return &slot;
        }
        wait_until([&] {
            return holds.load(std::memory_order_acquire) == jb ||
                   abandoned.load(std::memory_order_relaxed);
        });
        return &slot;
    };
    auto lane = [&](std::size_t, std::size_t) {
        try {
            for (std::size_t u; (u = next.fetch_add(1, std::memory_order_relaxed)) < units;) {
                const std::size_t jb = u / row_units, g = u % row_units;
                const std::size_t j0 = jb * width, w = std::min(width, n - j0);
                PackedRight* packed = copy_for(jb, g, j0, w);
                if (abandoned.load(std::memory_order_relaxed)) return;
                const std::size_t r0 = g * unit_tiles * mr;
                compute_block(pr, r0, std::min(m, r0 + unit_tiles * mr), packed, j0, w);
                if (shared) done[jb].fetch_add(1, std::memory_order_release);
            }
        } catch (...) {
            abandoned.store(true, std::memory_order_relaxed);
            throw;
        }
    };
    run_units(pool, pr, pool.size(), lane);
    for (PackedRight& slot : callers_slots) slot.trim(retained_packing);
}

}  // namespace

Matrix matmul(const Matrix& a, const Matrix& b, PoolRef pool) {
    std::uint64_t m = a.rows, k = a.cols, n = b.cols, count = 0;
    if (__builtin_mul_overflow(m, n, &count) || count > max_elements) fail("capacity overflow");
    FloatSeq result(count);  // every element is written by the leaf owning its row
    Pool& p = pool.get();
    // No result columns: every row is empty, and nothing of either operand is read.
    if (n == 0) return Matrix{std::move(result), m, n};

    const ProductKernels& ks = active_table().product;
    std::size_t a_len = a.data.size(), b_len = b.data.size();
    if (k != 0 && m != 0 && (m <= in_place_rows || (ks.narrow && n <= gemm::max_narrow_cols))) {
        Problem pr{a.data.data(), b.data.data(), result.data(), m, k, n, &ks};
        if (ks.narrow && n <= gemm::max_narrow_cols)
            narrow_product(p, pr, a_len, b_len);
        else if (ks.stream && m <= gemm::max_stream_rows)
            stream_product(p, pr, a_len, b_len);
        else
            in_place_product(p, pr, a_len, b_len);
        return Matrix{std::move(result), m, n};
    }
    if (m != 0) {
        check_rows(0, m, k, n, a_len, b_len);
        tiled_product(p, Problem{a.data.data(), b.data.data(), result.data(), m, k, n, &ks});
    }
    return Matrix{std::move(result), m, n};
}

}  // namespace kestrix

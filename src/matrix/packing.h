#pragma once
// Copies of the right operand in the layout the product's micro-kernels read:
// column panels of nr floats a row, zero-padded to nr at the right edge.
#include <atomic>
#include <cstddef>
#include <memory>

#include "base/float_seq.h"
#include "kernels/product.h"

namespace kestrix::gemm {

// rows rows of w floats from src (row stride ld) into dst as rows of nr
// floats (w <= nr), the columns past w zero: the kernels read whole rows of nr.
void copy_padded(const float* src, std::size_t ld, std::size_t rows, std::size_t w, std::size_t nr,
                 float* dst);

// The right operand cut into column panels of nr, each stored k-major
// (k * nr + col) and zero-padded to nr columns, so a micro-kernel reads one
// contiguous, aligned stream. Panels are packed on first use by whichever
// leaf needs them first. A copy may serve one thread or all the leaves of a
// product: every leaf walks the panels in the same order, so a leaf that
// finds its panel being packed packs the next free ones meanwhile instead of
// waiting, and the packing is shared rather than serialised.
// The variant's limits (Blocking::packing), unless a PackingOverride lives.
PackingLimits packing_limits(const PackingLimits& variant) noexcept;

// Sets other limits for every variant while it lives, so that tests reach many column blocks
// and the paths around them at small sizes. Made and ended on one thread,
// while no product runs.
class PackingOverride {
public:
    explicit PackingOverride(PackingLimits limits);
    ~PackingOverride();
    PackingOverride(const PackingOverride&) = delete;
    PackingOverride& operator=(const PackingOverride&) = delete;

private:
    PackingLimits previous_;
    bool was_active_;
};

class PackedRight {
public:
    // Makes room for the panels of `width` columns over k rows, so that a
    // reset to at most that many allocates nothing.
    void reserve(std::size_t k, std::size_t width, std::size_t nr);

    // Starts on columns [j0, j0 + width) of the right operand b (k x n, row
    // stride n), reusing the last one's storage: a fresh buffer would cost its
    // page faults on every product. Panel p covers columns j0 + p * nr on.
    void reset(const float* b, std::size_t k, std::size_t n, std::size_t j0, std::size_t width,
               std::size_t nr);

    // Gives back storage of more than `floats`.
    void trim(std::size_t floats);

    // Panel p, packed; its row k is at result + k * nr.
    const float* panel(std::size_t p);

    // Panel p if it is packed already, else null; never waits or packs.
    const float* if_ready(std::size_t p) const {
        return state_[p].load(std::memory_order_acquire) == ready ? base_ + p * k_ * nr_ : nullptr;
    }

private:
    static constexpr unsigned char empty = 0, packing = 1, ready = 2;

    bool claim_and_pack(std::size_t p);
    void pack(std::size_t p, float* dst) const;

    const float* b_ = nullptr;  // the first column of the block
    std::size_t k_ = 0, n_ = 0, width_ = 0, nr_ = 0, panels_ = 0;
    FloatSeq storage_;
    float* base_ = nullptr;
    std::unique_ptr<std::atomic<unsigned char>[]> state_;
    std::size_t state_size_ = 0;
};

}  // namespace kestrix::gemm

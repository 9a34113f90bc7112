#include "matrix/packing.h"

#include <algorithm>
#include <cstring>

#include "pool/claim_loop.h"

namespace kestrix::gemm {
namespace {

// A test's limits, while a PackingOverride lives.
std::atomic<bool> override_active{false};
std::atomic<std::size_t> block_copy_limit{0};
std::atomic<std::size_t> block_columns{0};
std::atomic<std::size_t> block_copy_most{0};
std::atomic<std::size_t> own_copies_limit{0};

void store_override(const PackingLimits& limits) noexcept {
    block_copy_limit.store(limits.block_copy, std::memory_order_relaxed);
    block_columns.store(limits.block_columns, std::memory_order_relaxed);
    block_copy_most.store(limits.block_copy_most, std::memory_order_relaxed);
    own_copies_limit.store(limits.own_copies, std::memory_order_relaxed);
}

// A fixed-size copy per row compiles to a few vector moves.
template <std::size_t W>
void copy_rows(const float* src, std::size_t ld, std::size_t rows, float* dst) {
    for (std::size_t r = 0; r < rows; ++r, dst += W, src += ld)
        std::memcpy(dst, src, W * sizeof(float));
}

}  // namespace

void copy_padded(const float* src, std::size_t ld, std::size_t rows, std::size_t w, std::size_t nr,
                 float* dst) {
    if (w == nr) {
        switch (nr) {
            case 32: return copy_rows<32>(src, ld, rows, dst);
            case 16: return copy_rows<16>(src, ld, rows, dst);
            case 8: return copy_rows<8>(src, ld, rows, dst);
            default: break;
        }
    }
    for (std::size_t r = 0; r < rows; ++r, dst += nr, src += ld) {
        std::memcpy(dst, src, w * sizeof(float));
        std::fill(dst + w, dst + nr, 0.0f);
    }
}

PackingLimits packing_limits(const PackingLimits& variant) noexcept {
    if (!override_active.load(std::memory_order_relaxed)) return variant;
    return {block_copy_limit.load(std::memory_order_relaxed),
            block_columns.load(std::memory_order_relaxed),
            block_copy_most.load(std::memory_order_relaxed),
            own_copies_limit.load(std::memory_order_relaxed)};
}

PackingOverride::PackingOverride(PackingLimits limits)
    : previous_(packing_limits(PackingLimits{})),
      was_active_(override_active.load(std::memory_order_relaxed)) {
    store_override(limits);
    override_active.store(true, std::memory_order_relaxed);
}

PackingOverride::~PackingOverride() {
    store_override(previous_);
    override_active.store(was_active_, std::memory_order_relaxed);
}

void PackedRight::reserve(std::size_t k, std::size_t width, std::size_t nr) {
    std::size_t panels = (width + nr - 1) / nr;
    if (state_size_ < panels) {
        state_ = std::make_unique<std::atomic<unsigned char>[]>(panels);
        state_size_ = panels;
    }
    if (storage_.size() < panels * k * nr) {
        storage_ = FloatSeq();
        storage_ = FloatSeq(panels * k * nr);
    }
}

void PackedRight::reset(const float* b, std::size_t k, std::size_t n, std::size_t j0,
                        std::size_t width, std::size_t nr) {
    reserve(k, width, nr);
    b_ = b + j0;
    k_ = k;
    n_ = n;
    width_ = width;
    nr_ = nr;
    panels_ = (width + nr - 1) / nr;
    for (std::size_t p = 0; p < panels_; ++p) state_[p].store(empty, std::memory_order_relaxed);
    base_ = storage_.data();  // on a cache line, as every FloatSeq
}

void PackedRight::trim(std::size_t floats) {
    if (storage_.size() > floats) storage_ = FloatSeq();
}

const float* PackedRight::panel(std::size_t p) {
    std::atomic<unsigned char>& s = state_[p];
    if (s.load(std::memory_order_acquire) != ready && !claim_and_pack(p)) {
        for (std::size_t q = p + 1; q < panels_ && s.load(std::memory_order_acquire) != ready; ++q)
            claim_and_pack(q);
        spin_until([&s] { return s.load(std::memory_order_acquire) == ready; });
    }
    return base_ + p * k_ * nr_;
}

// Packs panel p unless another leaf has claimed it; true when it did.
bool PackedRight::claim_and_pack(std::size_t p) {
    std::atomic<unsigned char>& s = state_[p];
    unsigned char expected = empty;
    if (s.load(std::memory_order_relaxed) != empty ||
        !s.compare_exchange_strong(expected, packing, std::memory_order_acquire))
        return false;
    pack(p, base_ + p * k_ * nr_);
    s.store(ready, std::memory_order_release);
    return true;
}

void PackedRight::pack(std::size_t p, float* dst) const {
    std::size_t j = p * nr_;
    copy_padded(b_ + j, n_, k_, std::min(nr_, width_ - j), nr_, dst);
}

}  // namespace kestrix::gemm

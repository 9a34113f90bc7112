#include "pool/float_seq.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "pool/fault.h"

namespace kestrix::detail {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

// The last freed huge buffer of up to 64 MiB is kept for the next allocation
// of the same size: results of one shape in a loop then reuse mapped pages
// instead of faulting in and zeroing fresh ones (matmul 1024^2 +6 %). The
// buffer is 2 MiB aligned, so its size in huge pages fits in its low bits.
constexpr std::size_t kept_limit = std::size_t{64} << 20;
constexpr std::uintptr_t size_bits = huge_page - 1;
std::atomic<std::uintptr_t> kept{0};

std::size_t rounded_bytes(std::size_t bytes) {
    return (bytes + huge_page - 1) / huge_page * huge_page;
}

void* take_kept(std::size_t rounded) {
    std::uintptr_t entry = kept.load(std::memory_order_relaxed);
    if (entry == 0 || (entry & size_bits) != rounded / huge_page ||
        !kept.compare_exchange_strong(entry, 0, std::memory_order_acq_rel))
        return nullptr;
    return reinterpret_cast<void*>(entry & ~size_bits);
}

}  // namespace

void* allocate_floats(std::size_t count) {
    if (count > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float))
        fail("capacity overflow");
    std::size_t bytes = count * sizeof(float);
    void* p = nullptr;
    if (bytes >= huge_page) {
        std::size_t rounded = rounded_bytes(bytes);
        if (rounded <= kept_limit && (p = take_kept(rounded)) != nullptr) return p;
        p = std::aligned_alloc(huge_page, rounded);
        if (p == nullptr) {  // the kept buffer may be what is missing
            std::free(
                reinterpret_cast<void*>(kept.exchange(0, std::memory_order_acq_rel) & ~size_bits));
            p = std::aligned_alloc(huge_page, rounded);
        }
        if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);
    } else {
        p = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (p == nullptr) throw OutOfMemory(bytes);
    return p;
}

void free_floats(void* p, std::size_t count) noexcept {
    std::size_t bytes = count * sizeof(float);
    if (bytes >= huge_page && rounded_bytes(bytes) <= kept_limit) {
        std::uintptr_t entry =
            reinterpret_cast<std::uintptr_t>(p) | rounded_bytes(bytes) / huge_page;
        p = reinterpret_cast<void*>(kept.exchange(entry, std::memory_order_acq_rel) & ~size_bits);
    }
    std::free(p);
}

}  // namespace kestrix::detail

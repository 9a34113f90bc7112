#include "base/float_seq.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <utility>

#include "base/fault.h"

namespace kestrix::detail {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t cache_line = 64;

// The last freed huge buffer of up to 64 MiB is kept for the next allocation
// of the same size: results of one shape in a loop then reuse mapped pages
// instead of faulting in and zeroing fresh ones. The lock is a flag, so that
// nothing here has a destructor to run at exit.
constexpr std::size_t kept_limit = std::size_t{64} << 20;
std::atomic_flag kept_lock = ATOMIC_FLAG_INIT;
void* kept_buffer = nullptr;  // guarded by kept_lock, as is kept_bytes
std::size_t kept_bytes = 0;

struct KeptGuard {
    KeptGuard() noexcept {
        while (kept_lock.test_and_set(std::memory_order_acquire)) {}
    }
    ~KeptGuard() { kept_lock.clear(std::memory_order_release); }
    KeptGuard(const KeptGuard&) = delete;
    KeptGuard& operator=(const KeptGuard&) = delete;
};

std::size_t rounded_bytes(std::size_t bytes) {
    return (bytes + huge_page - 1) / huge_page * huge_page;
}

// The kept buffer if it has this size, else null.
void* take_kept(std::size_t bytes) noexcept {
    KeptGuard guard;
    if (kept_buffer == nullptr || kept_bytes != bytes) return nullptr;
    return std::exchange(kept_buffer, nullptr);
}

// Keeps p (null: nothing) and returns the buffer kept before it.
void* keep(void* p, std::size_t bytes) noexcept {
    KeptGuard guard;
    kept_bytes = bytes;
    return std::exchange(kept_buffer, p);
}

}  // namespace

void* allocate_floats(std::size_t count) {
    if (count > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float))
        fail("capacity overflow");
    std::size_t bytes = count * sizeof(float);
    void* p = nullptr;
    if (bytes >= huge_page) {
        std::size_t rounded = rounded_bytes(bytes);
        if (rounded <= kept_limit) p = take_kept(rounded);
        if (p != nullptr) return p;
        p = std::aligned_alloc(huge_page, rounded);
        if (p == nullptr) {  // the kept buffer may be what is missing
            std::free(keep(nullptr, 0));
            p = std::aligned_alloc(huge_page, rounded);
        }
        if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);
    } else {
        // Whole cache lines: with malloc's 16-byte alignment a vector load or
        // store of every other row would straddle two lines.
        std::size_t lines = std::max<std::size_t>(1, (bytes + cache_line - 1) / cache_line);
        p = std::aligned_alloc(cache_line, lines * cache_line);
    }
    if (p == nullptr) throw OutOfMemory(bytes);
    return p;
}

void free_floats(void* p, std::size_t count) noexcept {
    std::size_t bytes = count * sizeof(float);
    if (bytes >= huge_page && rounded_bytes(bytes) <= kept_limit) p = keep(p, rounded_bytes(bytes));
    std::free(p);
}

}  // namespace kestrix::detail

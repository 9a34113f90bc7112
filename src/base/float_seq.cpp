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

// The last few freed huge buffers of up to 64 MiB each, 80 MiB together, are
// kept for the next allocations of their sizes: results of a few shapes in a
// loop then reuse mapped pages instead of faulting in and zeroing fresh ones.
// With one kept buffer, a program alternating two sizes (a 4096² result and
// a 1024² one) gave its buffer away on every call and paid a fresh 64 MiB's
// page faults each time. The lock is a flag, so that nothing here has a
// destructor to run at exit.
constexpr std::size_t kept_limit = std::size_t{64} << 20;
constexpr std::size_t kept_total = std::size_t{80} << 20;
constexpr std::size_t kept_slots = 4;
std::atomic_flag kept_lock = ATOMIC_FLAG_INIT;
struct Kept {
    void* buffer;
    std::size_t bytes;
};
Kept kept[kept_slots] = {};  // guarded by kept_lock; oldest first, empty slots last

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

// Removes slot i, the later ones moving up.
void drop_slot(std::size_t i) noexcept {
    for (; i + 1 < kept_slots; ++i) kept[i] = kept[i + 1];
    kept[kept_slots - 1] = {};
}

// The most recently kept buffer of this size, else null.
void* take_kept(std::size_t bytes) noexcept {
    KeptGuard guard;
    for (std::size_t i = kept_slots; i-- > 0;)
        if (kept[i].buffer != nullptr && kept[i].bytes == bytes) {
            void* p = kept[i].buffer;
            drop_slot(i);
            return p;
        }
    return nullptr;
}

// Keeps p (of at most kept_limit bytes) and gives back to malloc the oldest
// buffers beyond the slots or the total.
void keep(void* p, std::size_t bytes) noexcept {
    void* evicted[kept_slots] = {};
    std::size_t count = 0;
    {
        KeptGuard guard;
        std::size_t total = bytes, used = 0;
        for (; used < kept_slots && kept[used].buffer != nullptr; ++used) total += kept[used].bytes;
        while (used > 0 && (used == kept_slots || total > kept_total)) {
            evicted[count++] = kept[0].buffer;
            total -= kept[0].bytes;
            drop_slot(0);
            --used;
        }
        kept[used] = {p, bytes};
    }
    for (std::size_t i = 0; i < count; ++i) std::free(evicted[i]);
}

// Gives every kept buffer back to malloc.
void free_kept() noexcept {
    void* evicted[kept_slots] = {};
    {
        KeptGuard guard;
        for (std::size_t i = 0; i < kept_slots; ++i) evicted[i] = std::exchange(kept[i], {}).buffer;
    }
    for (void* p : evicted) std::free(p);
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
        if (p == nullptr) {  // the kept buffers may be what is missing
            free_kept();
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
    if (bytes >= huge_page && rounded_bytes(bytes) <= kept_limit) {
        keep(p, rounded_bytes(bytes));
        return;
    }
    std::free(p);
}

}  // namespace kestrix::detail

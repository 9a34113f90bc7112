#pragma once
// A fixed-capacity Chase–Lev work-stealing deque. The owning worker pushes and
// pops at the bottom (newest first); any other thread steals at the top
// (oldest first). Indices only grow, so a slot is reused only after every
// thread has moved past it.
//
// The ordering between the owner's pop and a thief's steal rests on seq_cst
// operations on top and bottom rather than on free-standing fences, which
// ThreadSanitizer understands.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/cache_line.h"

namespace kestrix::detail {

template <class T, std::size_t Capacity>
class WorkDeque {
    static_assert(Capacity > 0 && (Capacity & (Capacity - 1)) == 0,
                  "capacity must be a power of two");

public:
    // Owner only. False when the deque is full: the owner then runs the item itself.
    bool push(T* item) noexcept {
        std::int64_t b = bottom_.load(std::memory_order_relaxed);
        std::int64_t t = top_.load(std::memory_order_acquire);
        if (b - t >= static_cast<std::int64_t>(Capacity)) return false;
        slot(b).store(item, std::memory_order_relaxed);
        // Release: a thief that reads this bottom also sees the item's contents.
        bottom_.store(b + 1, std::memory_order_release);
        return true;
    }

    // Owner only: the newest item, or null when empty or the last item went to a thief.
    T* pop() noexcept {
        std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        bottom_.store(b, std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        if (t > b) {
            bottom_.store(b + 1, std::memory_order_release);
            return nullptr;
        }
        T* item = slot(b).load(std::memory_order_relaxed);
        if (t == b) {
            // The last item: whoever moves top first owns it.
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed))
                item = nullptr;
            bottom_.store(b + 1, std::memory_order_release);
        }
        return item;
    }

    // Any thread: the oldest item, or null when empty or another thread won it.
    T* steal() noexcept {
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        if (t >= b) return nullptr;
        T* item = slot(t).load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed))
            return nullptr;
        return item;
    }

    // A snapshot; only exact when the owner is not pushing or popping.
    bool empty() const noexcept {
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        return t >= b;
    }

private:
    std::atomic<T*>& slot(std::int64_t i) noexcept {
        return slots_[static_cast<std::size_t>(i) & (Capacity - 1)];
    }

    // Thieves hammer top, the owner bottom: keep them on separate lines.
    alignas(sharing_span) std::atomic<std::int64_t> top_{0};
    alignas(sharing_span) std::atomic<std::int64_t> bottom_{0};
    alignas(sharing_span) std::atomic<T*> slots_[Capacity] = {};
};

}  // namespace kestrix::detail

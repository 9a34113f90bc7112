#pragma once
// Completion signal of a thread outside the pool that handed a job in: its
// own mutex and condition variable, made on its first hand-in and reused.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/cache_line.h"
#include "pool/spin_slots.h"

namespace kestrix::detail {

// Callers whose loop has finished while they had given their core away
// (yielding). Idle workers yield instead of pausing while it is nonzero: the
// finished caller may be queued behind one of them on its core, and a worker
// in its pause phase would hold that core for up to a whole round of pauses.
alignas(sharing_span) inline std::atomic<unsigned> runnable_callers{0};

inline bool callers_queued() noexcept {
    return runnable_callers.load(std::memory_order_relaxed) != 0;
}

class CallerLatch {
public:
    void set() noexcept;
    // Spins briefly (unless the last loops outlasted the spin), yields for a
    // while, then blocks until set; leaves the latch ready for reuse. Pauses
    // only in one of `slots`.
    void wait(SpinSlots& slots) noexcept;
    static CallerLatch& for_this_thread() noexcept;

private:
    static constexpr int unset_ = 0, set_ = 1, sleeping_ = 2, yielding_ = 3;
    std::atomic<int> state_{unset_};
    // When the loop ended, for a caller that was not spinning: written by the
    // setter before state_ turns set_.
    std::chrono::steady_clock::time_point set_at_{};
    bool yield_first_ = false;  // only the waiting thread touches these two
    unsigned yield_waits_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace kestrix::detail

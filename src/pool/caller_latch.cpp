#include "pool/caller_latch.h"

#include <sched.h>

#include "base/spin_pause.h"
#include "pool/locking.h"
#include "pool/timing.h"

namespace kestrix::detail {

void CallerLatch::set() noexcept {
    int state = state_.load(std::memory_order_acquire);
    while (state != sleeping_) {
        // Counted before the caller can see the latch set, so that its
        // decrement never comes first. Only a caller that gave its core away
        // needs the time: a spinning one reads the state's line all along,
        // and a second write to it would cost one more transfer between the
        // cores on every short loop.
        bool yielding = state == yielding_;
        if (yielding) {
            set_at_ = Clock::now();
            runnable_callers.fetch_add(1, std::memory_order_relaxed);
        }
        if (state_.compare_exchange_strong(state, set_, std::memory_order_acq_rel)) return;
        if (yielding) runnable_callers.fetch_sub(1, std::memory_order_relaxed);
    }
    // The caller is blocked (or about to block) under the mutex. Setting the
    // state under the mutex keeps the caller from returning, and so from
    // ending its thread, before we are done with the latch.
    locked(mutex_, [&](auto&) {
        set_at_ = Clock::now();
        state_.store(set_, std::memory_order_release);
        cv_.notify_one();
    });
}

void CallerLatch::wait(SpinSlots& slots) noexcept {
    const auto start = Clock::now();
    // A caller in the yields still starts a wait with the pause now and then:
    // yielding makes a loop slow enough to look long, so the yields could
    // otherwise keep themselves going.
    const bool pausing = !yield_first_ || ++yield_waits_ % pause_probe_every == 0;
    // `end`: when the loop was set done, as the caller saw it spinning or as
    // the setter stamped it.
    auto done = [&](Clock::time_point end) {
        state_.store(unset_, std::memory_order_relaxed);
        std::chrono::duration<double, std::nano> took = end - start;
        yield_first_ = took.count() > (pausing ? caller_pause_ns : short_loop_ns);
    };
    auto is_set = [&] { return state_.load(std::memory_order_acquire) == set_; };
    // Only the pause takes a spin slot, and a pausing caller holds a core:
    // pushed halves wake no sleeper while it pauses. A caller that yields
    // gives its core to whoever wants it.
    constexpr auto kind = SpinSlots::Kind::pausing_caller;
    bool slot = false;
    auto seen_now = [&] {
        if (slot) slots.give_back(kind);
        done(Clock::now());
    };
    for (unsigned i = pausing ? pause_counts().caller_slot : 0;
         pausing && !(slot = slots.try_take(kind)) && i > 0; --i) {
        if (is_set()) return seen_now();
        spin_pause();
    }
    if (slot) {
        // Every few microseconds the pause offers the core once: a yield that
        // takes long let a thread run that wanted this core, often the very
        // worker running the loop, which a pausing caller would otherwise
        // keep waiting until the pause ends.
        const unsigned slice = pause_counts().caller_probe;
        for (unsigned i = pause_counts().caller, next_probe = slice; i > 0; --i) {
            if (is_set()) return seen_now();
            spin_pause();
            if (--next_probe == 0) {
                auto t0 = Clock::now();
                sched_yield();
                if (ns_since(t0) > yield_taken_ns) break;
                next_probe = slice;
            }
        }
        slots.give_back(kind);
        slot = false;
    }
    int expected = unset_;
    if (!state_.compare_exchange_strong(expected, yielding_, std::memory_order_acq_rel))
        return seen_now();
    auto ran_again = [&] {
        runnable_callers.fetch_sub(1, std::memory_order_relaxed);
        done(set_at_);
    };
    // Every yield gives the core to whoever wants it, and blocking would put
    // a wake-up between the loop's end and the caller's return.
    for (unsigned i = 0; i < caller_yields; ++i) {
        sched_yield();
        if (is_set()) return ran_again();
    }
    bool slept = locked(mutex_, [&](auto& lock) {
        expected = yielding_;
        if (!state_.compare_exchange_strong(expected, sleeping_, std::memory_order_acq_rel))
            return false;
        while (state_.load(std::memory_order_acquire) != set_) cv_.wait(lock);
        return true;
    });
    if (!slept) return ran_again();
    done(set_at_);
}

CallerLatch& CallerLatch::for_this_thread() noexcept {
    thread_local CallerLatch latch;
    return latch;
}

}  // namespace kestrix::detail

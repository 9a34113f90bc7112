#pragma once
// Spin slots: one for every thread that spins or yields while it waits, at
// most `limit` at a time (the processors the process may run on), so that
// waiting threads never keep a thread with work off a core. A thread waiting
// for its own loop (a caller, a worker whose stolen half runs elsewhere)
// takes over an idle worker's slot when all are held: the idle one has
// nothing to wait for, and sleeps instead.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/cache_line.h"

namespace kestrix::detail {

class SpinSlots {
public:
    enum class Kind {
        idle,            // a worker with nothing to do
        waiting,         // a worker waiting for a stolen half
        pausing_caller,  // a thread outside the pool pausing for its loop
    };
    static constexpr unsigned field_bits = 16;
    // The most slots a word can count.
    static constexpr std::size_t max_limit = std::size_t{1} << (field_bits - 1);

    // `limit` is clamped to [1, max_limit].
    explicit SpinSlots(std::size_t limit) noexcept;

    std::size_t limit() const noexcept { return limit_; }
    // False when `limit` threads already hold one (and, for a waiting
    // thread, none of them is idle).
    bool try_take(Kind kind) noexcept;
    // Gives a slot back. An idle worker whose slot was taken over gives back
    // nothing, whichever notices first: this or taken_over().
    void give_back(Kind kind) noexcept;
    // For an idle worker holding a slot: true (once) when its slot was taken over.
    bool taken_over() noexcept;

    // Slots held now, callers pausing now, and the most slots ever held at once.
    std::size_t held() const noexcept;
    std::size_t pausing() const noexcept;
    std::size_t peak() const noexcept { return peak_.load(std::memory_order_relaxed); }

private:
    const std::size_t limit_;
    // Slots held, those held by idle workers, those taken over from idle
    // workers that have not noticed yet, and callers pausing: one word, so
    // that a take-over is one step; field_bits each.
    alignas(sharing_span) std::atomic<std::uint64_t> word_{0};
    std::atomic<std::size_t> peak_{0};
};

}  // namespace kestrix::detail

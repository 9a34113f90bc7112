#pragma once
// The workers by state, in one permutation: positions [0, awake) are awake
// (running, searching or woken), the next `asleep` sleep, the rest have not
// entered their loops yet or have left them. Only awake workers can hold
// pushed work, so searches and the sleepers' last look read those deques
// only. Every change is made under the scheduler's sleep mutex; lock-free
// readers may see a stale order, which only costs a missed steal.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/cache_line.h"

namespace kestrix::detail {

class WorkerStates {
public:
    // All `workers` outside their loops, in index order.
    explicit WorkerStates(std::size_t workers);

    // Lock-free reads.
    std::size_t awake(std::memory_order order = std::memory_order_relaxed) const noexcept {
        return awake_.load(order);
    }
    std::size_t asleep(std::memory_order order = std::memory_order_relaxed) const noexcept {
        return asleep_.load(order);
    }
    // The sleepers as of the latest change: a read-modify-write, so that a
    // worker falling asleep after it synchronises with this reader.
    std::size_t asleep_latest() noexcept { return asleep_.fetch_add(0, std::memory_order_seq_cst); }
    // The worker at a position of the permutation.
    std::size_t at(std::size_t position) const noexcept {
        return order_[position].load(std::memory_order_relaxed);
    }

    // Changes, under the sleep mutex.
    void enter(std::size_t worker) noexcept;        // outside -> awake
    void leave(std::size_t worker) noexcept;        // awake -> outside
    void fall_asleep(std::size_t worker) noexcept;  // awake -> asleep
    void wake(std::size_t worker) noexcept;         // asleep -> awake
    bool is_asleep(std::size_t worker) const noexcept;
    // The worker that fell asleep last (there must be one).
    std::size_t last_asleep() const noexcept { return at(awake()); }

private:
    void move(std::size_t worker, std::size_t to) noexcept;

    std::unique_ptr<std::atomic<std::uint32_t>[]> order_;
    std::unique_ptr<std::uint32_t[]> position_;
    alignas(sharing_span) std::atomic<std::size_t> asleep_{0};
    std::atomic<std::size_t> awake_{0};
};

}  // namespace kestrix::detail

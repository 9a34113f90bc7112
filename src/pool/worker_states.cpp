#include "pool/worker_states.h"

namespace kestrix::detail {

WorkerStates::WorkerStates(std::size_t workers)
    : order_(std::make_unique<std::atomic<std::uint32_t>[]>(workers)),
      position_(std::make_unique<std::uint32_t[]>(workers)) {
    for (std::size_t i = 0; i < workers; ++i) {
        order_[i].store(static_cast<std::uint32_t>(i), std::memory_order_relaxed);
        position_[i] = static_cast<std::uint32_t>(i);
    }
}

void WorkerStates::move(std::size_t worker, std::size_t to) noexcept {
    std::size_t from = position_[worker];
    if (from == to) return;
    std::uint32_t other = order_[to].load(std::memory_order_relaxed);
    order_[to].store(static_cast<std::uint32_t>(worker), std::memory_order_relaxed);
    order_[from].store(other, std::memory_order_relaxed);
    position_[worker] = static_cast<std::uint32_t>(to);
    position_[other] = static_cast<std::uint32_t>(from);
}

void WorkerStates::enter(std::size_t worker) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed);
    move(worker, awake + asleep_.load(std::memory_order_relaxed));
    move(worker, awake);
    awake_.store(awake + 1, std::memory_order_release);
}

void WorkerStates::leave(std::size_t worker) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed) - 1;
    move(worker, awake);
    move(worker, awake + asleep_.load(std::memory_order_relaxed));
    awake_.store(awake, std::memory_order_release);
}

void WorkerStates::fall_asleep(std::size_t worker) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed) - 1;
    move(worker, awake);
    awake_.store(awake, std::memory_order_release);
    asleep_.fetch_add(1, std::memory_order_seq_cst);
}

void WorkerStates::wake(std::size_t worker) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed);
    move(worker, awake);
    awake_.store(awake + 1, std::memory_order_release);
    asleep_.fetch_sub(1, std::memory_order_seq_cst);
}

bool WorkerStates::is_asleep(std::size_t worker) const noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed);
    return position_[worker] >= awake &&
           position_[worker] < awake + asleep_.load(std::memory_order_relaxed);
}

}  // namespace kestrix::detail

#include "pool/spin_slots.h"

#include <algorithm>

namespace kestrix::detail {
namespace {

constexpr unsigned field = SpinSlots::field_bits;
constexpr std::uint64_t mask = (std::uint64_t{1} << field) - 1;
constexpr std::uint64_t one_held = 1, one_idle = one_held << field,
                        one_taken = one_held << 2 * field, one_pausing = one_held << 3 * field;
constexpr std::uint64_t held_in(std::uint64_t w) { return w & mask; }
constexpr std::uint64_t idle_in(std::uint64_t w) { return (w >> field) & mask; }
constexpr std::uint64_t taken_in(std::uint64_t w) { return (w >> 2 * field) & mask; }
constexpr std::uint64_t pausing_in(std::uint64_t w) { return w >> 3 * field; }

// What a slot of this kind adds besides the held count.
std::uint64_t extra(SpinSlots::Kind kind) {
    switch (kind) {
        case SpinSlots::Kind::idle: return one_idle;
        case SpinSlots::Kind::waiting: return 0;
        case SpinSlots::Kind::pausing_caller: return one_pausing;
    }
    return 0;
}

}  // namespace

SpinSlots::SpinSlots(std::size_t limit) noexcept
    : limit_(std::clamp<std::size_t>(limit, 1, max_limit)) {}

bool SpinSlots::try_take(Kind kind) noexcept {
    const std::uint64_t more = extra(kind);
    std::uint64_t w = word_.load(std::memory_order_relaxed), next;
    do {
        if (held_in(w) < limit_)
            next = w + one_held + more;
        else if (kind != Kind::idle && idle_in(w) > 0)
            next = w - one_idle + one_taken + more;
        else
            return false;
    } while (!word_.compare_exchange_weak(w, next, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    std::size_t now_held = held_in(next), peak = peak_.load(std::memory_order_relaxed);
    while (now_held > peak &&
           !peak_.compare_exchange_weak(peak, now_held, std::memory_order_relaxed)) {}
    return true;
}

void SpinSlots::give_back(Kind kind) noexcept {
    if (kind != Kind::idle) {
        word_.fetch_sub(one_held + extra(kind), std::memory_order_release);
        return;
    }
    // An idle worker that leaves while one of the idle slots is taken over
    // is the one that lost it: whichever notices first.
    std::uint64_t w = word_.load(std::memory_order_relaxed), next;
    do {
        next = taken_in(w) > 0 ? w - one_taken : w - one_held - one_idle;
    } while (!word_.compare_exchange_weak(w, next, std::memory_order_release,
                                          std::memory_order_relaxed));
}

bool SpinSlots::taken_over() noexcept {
    std::uint64_t w = word_.load(std::memory_order_relaxed);
    while (taken_in(w) > 0)
        if (word_.compare_exchange_weak(w, w - one_taken, std::memory_order_relaxed)) return true;
    return false;
}

std::size_t SpinSlots::held() const noexcept {
    return held_in(word_.load(std::memory_order_relaxed));
}

std::size_t SpinSlots::pausing() const noexcept {
    return pausing_in(word_.load(std::memory_order_relaxed));
}

}  // namespace kestrix::detail

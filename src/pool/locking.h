#pragma once
// Locks as the scheduler's own bookkeeping takes them: what can throw there is
// the standard mutex and condition variable, or a broken invariant, and
// neither leaves the pool able to go on.
#include <mutex>
#include <type_traits>

#include "base/fault.h"
#include "base/spin_pause.h"
#include "pool/timing.h"

namespace kestrix::detail {

// Runs body and returns what it returns, or aborts the process.
template <class Body>
auto or_abort(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        abort_unexpected();
    }
}

// Runs body(lock) holding m, or aborts.
template <class Lockable, class Body>
auto locked(Lockable&& m, Body&& body) noexcept {
    return or_abort([&] {
        std::unique_lock<std::remove_reference_t<Lockable>> lock(m);
        return body(lock);
    });
}

// A mutex that every holder keeps for a few instructions, tried for a while
// before blocking. A spinning worker sees a hand-in's count while the caller
// still holds the lock; blocking in lock() would put it to sleep in the
// kernel and make the caller's unlock a wake-up call, microseconds each.
struct SpinFirst {
    std::mutex& m;
    void lock() {
        for (int i = 0; i < lock_tries; ++i) {
            if (m.try_lock()) return;
            spin_pause();
        }
        m.lock();
    }
    void unlock() noexcept { m.unlock(); }
};

}  // namespace kestrix::detail

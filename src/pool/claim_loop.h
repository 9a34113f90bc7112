#pragma once
// A loop whose units are claimed one at a time: a few lanes each take the
// next unclaimed unit as they come free, so a lane whose core the host slows
// takes fewer units rather than holding back the loop's end. Units are
// claimed in ascending order, so a unit may wait for one claimed before it
// (which a running lane holds) but never for a later one.
#include <atomic>
#include <cstddef>
#include <thread>

#include "base/spin_pause.h"
#include "pool/split.h"

namespace kestrix {

// Waits until ready() holds: spins a while, then gives the core away between
// looks, since with more lanes than cores the awaited one may need it.
template <class Ready>
void spin_until(Ready ready) {
    for (unsigned spins = 0; !ready(); ++spins) {
        if (spins < 4096)
            spin_pause();
        else
            std::this_thread::yield();
    }
}

// What a unit sees of the loop it runs in.
class Claims {
public:
    // Whether a unit has failed: no further unit starts, and waits give up.
    bool abandoned() const noexcept { return abandoned_.load(std::memory_order_relaxed); }

    // Waits until ready() holds or a unit has failed; true in the first case.
    template <class Ready>
    bool wait_for(Ready ready) const {
        bool got = false;
        spin_until([&] { return (got = ready()) || abandoned(); });
        return got;
    }

private:
    template <class Body>
    friend void parallel_claims(Pool& pool, std::size_t lanes, std::size_t units, Body body);

    std::atomic<std::size_t> next_{0};
    std::atomic<bool> abandoned_{false};
};

// Runs body(u, claims) once for every unit u in [0, units), on at most
// `lanes` threads of the pool (one: the calling thread alone). The first
// failure stops further claims and is the one rethrown; units already
// running finish or give up their waits.
template <class Body>
void parallel_claims(Pool& pool, std::size_t lanes, std::size_t units, Body body) {
    if (units == 0) return;
    Claims claims;
    auto lane = [&](std::size_t, std::size_t) {
        try {
            for (std::size_t u; !claims.abandoned() &&
                                (u = claims.next_.fetch_add(1, std::memory_order_relaxed)) < units;)
                body(u, static_cast<const Claims&>(claims));
        } catch (...) {
            claims.abandoned_.store(true, std::memory_order_relaxed);
            throw;
        }
    };
    const std::size_t count = lanes < units ? lanes : units;
    if (count <= 1)
        lane(0, 1);
    else
        parallel_leaves(pool, count, lane);
}

}  // namespace kestrix

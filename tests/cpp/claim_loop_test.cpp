// Units claimed one at a time: every unit runs exactly once, whatever the
// lane and worker counts; a failing unit stops further claims, is the one
// rethrown, and releases the waits of units that wait on others.
#include "pool/claim_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>

#include "pool/pool.h"

namespace kestrix {
namespace {

class ClaimLoop : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(ClaimLoop, RunsEveryUnitExactlyOnce) {
    auto [workers, units] = GetParam();
    Pool pool(workers);
    for (std::size_t lanes : {std::size_t{1}, workers, workers + 1}) {
        auto runs = std::make_unique<std::atomic<unsigned>[]>(units + 1);
        parallel_claims(pool, lanes, units, [&](std::size_t u, const Claims& claims) {
            EXPECT_FALSE(claims.abandoned());
            runs[u].fetch_add(1, std::memory_order_relaxed);
        });
        for (std::size_t u = 0; u <= units; ++u)
            EXPECT_EQ(runs[u].load(), u < units ? 1u : 0u) << "unit " << u << " lanes " << lanes;
    }
}

// Each unit waits for the one before it: claims in ascending order keep
// this from deadlocking, whatever the lanes.
TEST_P(ClaimLoop, UnitMayWaitForAnEarlierOne) {
    auto [workers, units] = GetParam();
    Pool pool(workers);
    std::atomic<std::size_t> finished{0};
    parallel_claims(pool, workers, units, [&](std::size_t u, const Claims& claims) {
        EXPECT_TRUE(claims.wait_for([&] { return finished.load() == u; }));
        finished.store(u + 1);
    });
    EXPECT_EQ(finished.load(), units);
}

// A failing unit: its error comes back, no unit after the failure's claim
// starts once it is known, and a unit waiting on one that never finishes
// gives up instead of hanging.
TEST_P(ClaimLoop, FailureStopsClaimsAndReleasesWaits) {
    auto [workers, units] = GetParam();
    if (units == 0) GTEST_SKIP() << "no unit to fail";
    Pool pool(workers);
    const std::size_t failing = units / 2;
    std::atomic<std::size_t> started{0}, gave_up{0};
    auto run = [&] {
        parallel_claims(pool, workers, units, [&](std::size_t u, const Claims& claims) {
            started.fetch_add(1);
            if (u == failing) throw std::runtime_error("unit " + std::to_string(u));
            // Units after the failing one wait for something that never holds.
            if (u > failing && !claims.wait_for([] { return false; })) gave_up.fetch_add(1);
        });
    };
    try {
        run();
        ADD_FAILURE() << "no failure came back";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "unit " + std::to_string(failing));
    }
    // Every unit that started after the failing one gave up its wait; at most
    // one such unit per other lane can have been claimed before the failure.
    EXPECT_EQ(started.load(), failing + 1 + gave_up.load());
    EXPECT_LE(gave_up.load(), workers);
}

INSTANTIATE_TEST_SUITE_P(WorkersByUnits, ClaimLoop,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(0, 1, 2, 7, 33)));

}  // namespace
}  // namespace kestrix

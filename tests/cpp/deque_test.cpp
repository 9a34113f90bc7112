// The work-stealing deque: the owner pops last in first out, thieves take
// first in first out, and every item is taken once under contention.
#include "pool/deque.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrix {
namespace {

TEST(WorkDeque, OwnerLifoThiefFifoAndFullRefuses) {
    detail::WorkDeque<int, 8> d;
    int items[9];
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(d.push(&items[i]));
    EXPECT_FALSE(d.push(&items[8]));
    EXPECT_EQ(d.steal(), &items[0]);
    EXPECT_TRUE(d.push(&items[8]));  // the slot freed by the steal is reused
    EXPECT_EQ(d.pop(), &items[8]);
    EXPECT_EQ(d.pop(), &items[7]);
    EXPECT_EQ(d.steal(), &items[1]);
    while (d.pop() != nullptr) {}
    EXPECT_EQ(d.steal(), nullptr);
    EXPECT_TRUE(d.empty());
}

TEST(WorkDeque, EveryItemIsTakenExactlyOnceUnderContention) {
    constexpr std::size_t total = 200000;
    detail::WorkDeque<int, 64> d;
    std::vector<int> items(total);
    std::vector<std::atomic<int>> taken(total);
    std::atomic<bool> done{false};
    auto take = [&](int* p) { taken[std::size_t(p - items.data())].fetch_add(1); };
    std::vector<std::thread> thieves;
    for (int t = 0; t < 2; ++t)
        thieves.emplace_back([&] {
            while (!done)
                if (int* p = d.steal()) take(p);
        });
    for (std::size_t i = 0; i < total; ++i) {
        while (!d.push(&items[i]))
            if (int* p = d.pop()) take(p);
        if (i % 3 == 0)
            if (int* p = d.pop()) take(p);
    }
    while (int* p = d.pop()) take(p);
    done = true;
    for (auto& t : thieves) t.join();
    while (int* p = d.steal()) take(p);
    for (std::size_t i = 0; i < total; ++i) ASSERT_EQ(taken[i].load(), 1) << i;
}

}  // namespace
}  // namespace kestrix

// A worker that cannot start leaves the global pool absent for good. Its own
// program: the once-only creation is process-wide.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "pool/pool.h"
#include "pool/thread_start.h"
#include "support.h"

namespace kestrix {
namespace {

std::atomic<int> starts{0};

// The second start fails as if the system were out of threads.
int failing_second_start(void* (*entry)(void*), void* arg, std::size_t stack) {
    if (starts.fetch_add(1) == 1) return EAGAIN;
    return start_detached_thread(entry, arg, stack);
}

std::string failure_of_worker_count() {
    try {
        worker_count();
    } catch (const Fault& f) {
        return f.message();
    }
    return "no failure";
}

TEST(GlobalPoolStart, FirstCallNamesTheSystemErrorLaterCallsTheFailedInit) {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    set_thread_starter(&failing_second_start);
    start_and_reap_a_thread();
    std::size_t before = thread_count();

    ::testing::internal::CaptureStderr();
    std::string first = failure_of_worker_count();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(first, std::string("The global thread pool has not been initialized.: "
                                 "ThreadPoolBuildError { kind: IOError(") +
                         std::strerror(EAGAIN) + " (os error " + std::to_string(EAGAIN) + ")) }");
    EXPECT_NE(err.find(first), std::string::npos);
    EXPECT_EQ(starts.load(), 2);  // no start after the failing one

    // The worker that did start is stopped.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (thread_count() != before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(thread_count(), before);

    set_thread_starter(&start_detached_thread);  // even a working starter is not tried again
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(failure_of_worker_count(),
                  "The global thread pool has not been initialized.: "
                  "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(starts.load(), 2);
    EXPECT_EQ(thread_count(), before);
}

}  // namespace
}  // namespace kestrix

// The process-wide pool: sized from the environment once, and rebuilt in a
// forked child with the parent's size. One process-wide pool per program.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "gated_start.h"
#include "pool/loops.h"
#include "pool/pool.h"
#include "pool/thread_start.h"
#include "support.h"

// A forked child of a threaded process must be allowed to go on running.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "die_after_fork=0";
}

namespace kestrix {
namespace {

bool loop_needing_workers_works() {
    return parallel_sum(global_pool(), FloatSeq(10000, 1.0f), [](float v) { return v; }) == 1e4f;
}

using test_support::gate_open;
using test_support::gated_start;
using test_support::past_gate;

// Tests run in order: the first creates the pool. It is ready before its
// workers run, but a fork() waits for them: a child must not inherit a
// thread caught half set up.
TEST(GlobalPool, SizedFromTheEnvironmentOnce) {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
    start_and_reap_a_thread();
    std::size_t before = thread_count();
    ThreadStarter starter = set_thread_starter(&gated_start);
    EXPECT_EQ(worker_count(), 3u);
    set_thread_starter(starter);
    EXPECT_EQ(thread_count(), before + 3);
    EXPECT_EQ(past_gate.load(), 0);
    std::thread opener([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate_open = true;
    });
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(0);
    EXPECT_EQ(past_gate.load(), 3);
    opener.join();
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::setenv("RAYON_NUM_THREADS", "6", 1);
    EXPECT_EQ(worker_count(), 3u);
    EXPECT_EQ(&global_pool(), &global_pool());
    EXPECT_TRUE(loop_needing_workers_works());
}

TEST(GlobalPool, ForkedChildRebuildsWithTheParentsSize) {
    ASSERT_EQ(worker_count(), 3u);
    // qemu-user (7.2) aborts when a child forked from a threaded process starts a thread.
    if (std::getenv("KESTRIX_EMULATOR"))
        GTEST_SKIP() << "a forked child of a threaded process cannot start threads under qemu-user";
    ::setenv("RAYON_NUM_THREADS", "1", 1);  // must not be read again in the child
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(30);                        // a hang fails the test instead of blocking it
        std::size_t base = thread_count();  // this thread, and a sanitizer's helper
        bool ok = base <= 2 && loop_needing_workers_works() && worker_count() == 3 &&
                  thread_count() == base + 3;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child died with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(loop_needing_workers_works());  // the parent is untouched
    EXPECT_EQ(worker_count(), 3u);
}

}  // namespace
}  // namespace kestrix

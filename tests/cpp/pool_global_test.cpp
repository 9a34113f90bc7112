// The process-wide pool: sized from the environment once, and rebuilt in a
// forked child with the parent's size. One process-wide pool per program.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "pool/loops.h"
#include "pool/pool.h"

// A forked child of a threaded process must be allowed to go on running.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "die_after_fork=0";
}

namespace kestrix {
namespace {

std::size_t thread_count() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

float loop_needing_workers() {
    FloatSeq in(10000, 1.0f);
    return parallel_sum(global_pool(), in, [](float v) { return v; });
}

// Tests run in order: the first creates the pool.
TEST(GlobalPool, SizedFromTheEnvironmentOnce) {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
    std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
    std::size_t before = thread_count();
    EXPECT_EQ(worker_count(), 3u);
    EXPECT_EQ(thread_count(), before + 3);
    ::setenv("RAYON_NUM_THREADS", "6", 1);
    EXPECT_EQ(worker_count(), 3u);
    EXPECT_EQ(&global_pool(), &global_pool());
    EXPECT_EQ(loop_needing_workers(), 10000.0f);
}

TEST(GlobalPool, ForkedChildRebuildsWithTheParentsSize) {
    ASSERT_EQ(worker_count(), 3u);
    ::setenv("RAYON_NUM_THREADS", "1", 1);  // must not be read again in the child
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(30);  // a hang fails the test instead of blocking it
        int code = 0;
        std::size_t base = thread_count();  // this thread, and a sanitizer's helper
        if (base > 2) code |= 1;
        if (loop_needing_workers() != 10000.0f) code |= 2;
        if (worker_count() != 3) code |= 4;
        if (thread_count() != base + 3) code |= 8;
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child died with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(loop_needing_workers(), 10000.0f);  // the parent is untouched
    EXPECT_EQ(worker_count(), 3u);
}

}  // namespace
}  // namespace kestrix

// The check before a pool starts: which limit a count runs into, the
// readings taken from fake /proc and /sys trees, and a global pool whose
// count cannot fit, which fails as a failed start does without starting a
// thread. Its own program: the once-only creation is process-wide.
#include "pool/start_limits.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "pool/pool.h"
#include "pool/thread_start.h"
#include "pool/worker_count.h"
#include "support.h"

namespace kestrix {
namespace {

namespace fs = std::filesystem;
using std::nullopt;

struct LimitCase {
    const char* name;
    std::size_t workers;
    StartReadings readings;
    StartLimit want;
};

using Reading = std::optional<std::uint64_t>;
constexpr Reading X = nullopt;  // not read

// In field order: pid_max, threads_max, tasks, cgroup_pids_free, nproc_limit,
// user_tasks, max_map_count, mappings.
StartReadings rd(Reading a = X, Reading b = X, Reading c = X, Reading d = X, Reading e = X,
                 Reading f = X, Reading g = X, Reading h = X) {
    return StartReadings{a, b, c, d, e, f, g, h};
}
StartReadings machine(std::uint64_t tasks) { return rd(32768, 192727, tasks); }
StartReadings with(StartReadings r, auto member, std::optional<std::uint64_t> v) {
    r.*member = v;
    return r;
}

// clang-format off
const LimitCase limit_cases[] = {
    {"NothingKnownFits", 65535, rd(), StartLimit::none},
    {"LastFreeIdFits", 32647, machine(120), StartLimit::none},
    {"OneIdShort", 32648, machine(120), StartLimit::pid_max},
    {"NoIdLeft", 1, machine(32767), StartLimit::pid_max},
    {"TasksAboveLimitsRead", 1, machine(40000), StartLimit::pid_max},
    {"ThreadsMaxBelowPidMax", 11, rd(32768, 1000, 990), StartLimit::threads_max},
    {"ThreadsMaxJustFits", 10, rd(32768, 1000, 990), StartLimit::none},
    {"CgroupJustFits", 5, with(machine(120), &StartReadings::cgroup_pids_free, 5), StartLimit::none},
    {"CgroupOneShort", 6, with(machine(120), &StartReadings::cgroup_pids_free, 5),
     StartLimit::cgroup_pids},
    {"CgroupFull", 1, with(machine(120), &StartReadings::cgroup_pids_free, 0),
     StartLimit::cgroup_pids},
    {"NprocJustFits", 5, rd(X, X, 120, X, 50, 45), StartLimit::none},
    {"NprocOneShort", 6, rd(X, X, 120, X, 50, 45), StartLimit::nproc},
    {"NprocOverfull", 1, rd(X, X, 120, X, 50, 60), StartLimit::nproc},
    {"NprocWithoutUserCount", 65535, rd(X, X, 120, X, 50, X),
     StartLimit::none},
    {"MapsJustFit", 32750, rd(X, X, X, X, X, X, 65530, 30),
     StartLimit::none},
    {"MapsOneStackShort", 32751, rd(X, X, X, X, X, X, 65530, 30),
     StartLimit::map_count},
    {"MapsOddRoom", 2, rd(X, X, X, X, X, X, 65530, 65527),
     StartLimit::map_count},
    {"FirstLimitNamed", 65535, rd(32768, 1000, 120, 3, 50, 45, 65530, 30), StartLimit::pid_max},
    {"MapsAfterTheIds", 32700, rd(4194304, 4194304, 120, X, X, X, 65530, 200),
     StartLimit::map_count},
};
// clang-format on

class Limits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(Limits, FirstLimitExceeded) {
    const LimitCase& c = GetParam();
    EXPECT_EQ(start_limit_exceeded(c.workers, c.readings), c.want);
}

INSTANTIATE_TEST_SUITE_P(Table, Limits, ::testing::ValuesIn(limit_cases),
                         [](const auto& info) { return std::string(info.param.name); });

struct NprocCase {
    const char* name;
    std::uint32_t uid;
    std::uint64_t limit;
    const char* status;
    std::optional<std::uint64_t> want;
};

class Nproc : public ::testing::TestWithParam<NprocCase> {};

TEST_P(Nproc, AppliedLimit) {
    const NprocCase& c = GetParam();
    EXPECT_EQ(applied_nproc_limit(c.uid, c.limit, c.status), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Nproc,
    ::testing::Values(
        NprocCase{"User", 1000, 50, "Name:\tx\nCapEff:\t0000000000000000\n", 50},
        NprocCase{"Root", 0, 50, "CapEff:\t0000000000000000\n", nullopt},
        NprocCase{"Unlimited", 1000, RLIM_INFINITY, "CapEff:\t0000000000000000\n", nullopt},
        NprocCase{"SysAdmin", 1000, 50, "CapPrm:\t0\nCapEff:\t0000000000200000\n", nullopt},
        NprocCase{"SysResource", 1000, 50, "CapEff:\t0000000001000000\n", nullopt},
        NprocCase{"OtherCapabilities", 1000, 50, "CapEff:\t000001fffedfffff\n", 50},
        NprocCase{"UpperCaseHex", 1000, 50, "CapEff:\t0000000001E00000\n", nullopt},
        NprocCase{"NoStatus", 1000, 50, "", 50}),
    [](const auto& info) { return std::string(info.param.name); });

// One fake tree: "path=text" files separated by '|', below the root.
fs::path fake_root(const std::string& files) {
    fs::path root = fs::temp_directory_path() / ("kestrix-limits-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "proc/self");
    std::stringstream entries(files);
    for (std::string entry; std::getline(entries, entry, '|');) {
        std::string path = entry.substr(0, entry.find('='));
        fs::create_directories((root / path).parent_path());
        std::ofstream(root / path) << entry.substr(path.size() + 1);
    }
    return root;
}

const std::string machine_files =
    "proc/sys/kernel/pid_max=32768\n|proc/sys/kernel/threads-max=192727\n|"
    "proc/loadavg=1.26 0.73 0.29 1/119 7685\n|proc/sys/vm/max_map_count=65530\n|"
    "proc/self/maps=a\nb\nc\n|";
const StartReadings machine_read = rd(32768, 192727, 119, X, X, X, 65530, 3);

// Processes of users 1000 (4 threads in all) and 0, and one that ended
// while it was listed (no status).
const std::string processes =
    "proc/100/status=Name:\ta\nUid:\t1000\t1000\t1000\t1000\nThreads:\t3\n|"
    "proc/101/status=Name:\tb\nUid:\t0\t1000\t0\t0\nThreads:\t9\n|"
    "proc/102/status=Uid:\t1000\t0\t0\t0\nThreads:\t1\n|proc/103/cmdline=|"
    "proc/self/status=Uid:\t1000\t1000\t1000\t1000\nThreads:\t500\n|";

struct ReadCase {
    const char* name;
    std::string files;
    std::size_t workers;
    std::optional<std::uint64_t> nproc;
    StartReadings want;
};

StartReadings read_with(auto member, std::optional<std::uint64_t> v,
                        std::optional<std::uint64_t> nproc = nullopt,
                        std::optional<std::uint64_t> users = nullopt) {
    StartReadings r = with(machine_read, member, v);
    r.nproc_limit = nproc;
    r.user_tasks = users;
    return r;
}

class Read : public ::testing::TestWithParam<ReadCase> {
protected:
    void TearDown() override { fs::remove_all(fake_root("")); }
};

TEST_P(Read, Readings) {
    const ReadCase& c = GetParam();
    EXPECT_EQ(read_start_readings(fake_root(c.files).string(), c.workers, 1000, c.nproc), c.want);
}

constexpr auto pids = &StartReadings::cgroup_pids_free;

INSTANTIATE_TEST_SUITE_P(
    Trees, Read,
    ::testing::Values(
        ReadCase{"Machine", machine_files, 8, nullopt, machine_read},
        ReadCase{"NothingReadable", "", 8, nullopt, rd()},
        ReadCase{"GarbageValues",
                 "proc/sys/kernel/pid_max=lots\n|proc/loadavg=1 2 3 4 5\n|proc/self/maps=|", 8,
                 nullopt, rd(X, X, X, X, X, X, X, 0)},
        // The least room over the group and its ancestors; "max" is no limit.
        ReadCase{"V2PidsOverAncestors",
                 machine_files +
                     "proc/self/cgroup=0::/a/b\n|sys/fs/cgroup/a/b/cgroup.controllers=|"
                     "sys/fs/cgroup/a/b/pids.max=max\n|sys/fs/cgroup/a/b/pids.current=3\n|"
                     "sys/fs/cgroup/a/pids.max=100\n|sys/fs/cgroup/a/pids.current=90\n|",
                 8, nullopt, read_with(pids, 10)},
        ReadCase{"V1PidsOverfull",
                 machine_files + "proc/self/cgroup=4:cpu:/x\n3:pids:/box\n0::/\n|"
                                 "sys/fs/cgroup/pids/box/pids.max=40\n|"
                                 "sys/fs/cgroup/pids/box/pids.current=41\n|",
                 8, nullopt, read_with(pids, 0)},
        ReadCase{"V2RootGroupHasNoLimit",
                 machine_files + "proc/self/cgroup=0::/\n|sys/fs/cgroup/cgroup.controllers=|", 8,
                 nullopt, machine_read},
        // 119 threads on the machine leave no room under 50: the user's own are counted.
        ReadCase{"NprocCountsTheUsersThreads", machine_files + processes, 8, 50,
                 read_with(pids, nullopt, 50, 4)},
        // 119 + 8 fit under 1000 whoever owns them: no scan.
        ReadCase{"NprocSettledByTheMachine", machine_files + processes, 8, 1000,
                 read_with(pids, nullopt, 1000, 119)},
        ReadCase{"NprocWithoutLoadavg", processes, 8, 1000, rd(X, X, X, X, 1000, 4)}),
    [](const auto& info) { return std::string(info.param.name); });

std::atomic<int> starts{0};

// Counts the starts asked for and starts nothing: should the check let a
// count through, this keeps the test from starting it.
int counting_start(void* (*)(void*), void*, std::size_t) {
    starts.fetch_add(1);
    return EAGAIN;
}

const std::string eagain_error = std::string("ThreadPoolBuildError { kind: IOError(") +
                                 std::strerror(EAGAIN) + " (os error " + std::to_string(EAGAIN) +
                                 ")) }";

// A count no Linux machine with the default map count can start.
TEST(StartLimits, ACountThatCannotFitStartsNoThreadAndFailsAsAFailedStart) {
    if (start_refusal(max_workers) == 0)
        GTEST_SKIP() << "this machine's limits leave room for " << max_workers << " threads";
    set_thread_starter(&counting_start);
    start_and_reap_a_thread();
    std::size_t before = thread_count();

    EXPECT_EQ(fault_message([] { Pool pool(max_workers); }),
              "failed to start the pool's workers: " + eagain_error);

    ::setenv("RAYON_NUM_THREADS", std::to_string(max_workers).c_str(), 1);
    EXPECT_EQ(fault_message([] { worker_count(); }),
              "The global thread pool has not been initialized.: " + eagain_error);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(fault_message([] { worker_count(); }),
                  "The global thread pool has not been initialized.: "
                  "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }");
    EXPECT_EQ(starts.load(), 0);
    EXPECT_EQ(thread_count(), before);
}

// A count that fits is asked of the starter as before.
TEST(StartLimits, ACountThatFitsIsStarted) {
    ASSERT_EQ(start_refusal(3), 0);
    set_thread_starter(&counting_start);
    starts = 0;
    EXPECT_EQ(fault_message([] { Pool pool(3); }),
              "failed to start the pool's workers: " + eagain_error);
    EXPECT_EQ(starts.load(), 1);
    set_thread_starter(&start_detached_thread);
}

}  // namespace
}  // namespace kestrix

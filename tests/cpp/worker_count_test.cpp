// Worker count: the two variables' exact parse and precedence, and the
// control-group quota read from fake trees.
#include "pool/worker_count.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace kestrix {
namespace {

namespace fs = std::filesystem;

struct EnvCase {
    const char* num_threads;  // null: unset
    const char* rs_num_cpus;
    std::size_t want;
};

constexpr std::size_t fake_default = 7;

class Env : public ::testing::TestWithParam<EnvCase> {};

TEST_P(Env, Count) {
    const EnvCase& c = GetParam();
    EXPECT_EQ(choose_worker_count(c.num_threads, c.rs_num_cpus, [] { return fake_default; }),
              c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Env,
    ::testing::Values(EnvCase{"4", nullptr, 4}, EnvCase{"+4", "2", 4}, EnvCase{"0004", nullptr, 4},
                      EnvCase{"0", "2", fake_default}, EnvCase{"-4", "2", 2}, EnvCase{" 4", "2", 2},
                      EnvCase{"4 ", "2", 2}, EnvCase{"four", "2", 2}, EnvCase{"", "2", 2},
                      EnvCase{"++4", "2", 2}, EnvCase{"+", "2", 2}, EnvCase{"-0", "2", 2},
                      EnvCase{"4\xff", "2", 2}, EnvCase{"\xef\xbc\x94", "3", 3},
                      EnvCase{nullptr, "0", fake_default}, EnvCase{nullptr, "x", fake_default},
                      EnvCase{"junk", "junk", fake_default},
                      EnvCase{nullptr, nullptr, fake_default}, EnvCase{nullptr, "+3", 3},
                      EnvCase{"70000", "2", 65535}, EnvCase{nullptr, "70000", 65535},
                      EnvCase{"65535", nullptr, 65535},
                      EnvCase{"18446744073709551615", nullptr, 65535},
                      EnvCase{"18446744073709551616", "3", 3}, EnvCase{"0x10", "3", 3},
                      EnvCase{"1_000", "3", 3}));

TEST(Env, DefaultIsAskedOnlyWhenNeededAndCapped) {
    int asked = 0;
    auto counting = [&] { return ++asked, std::size_t{100000}; };
    EXPECT_EQ(choose_worker_count("3", "5", counting), 3u);
    EXPECT_EQ(choose_worker_count(nullptr, "5", counting), 5u);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(choose_worker_count("0", "5", counting), 65535u);
    EXPECT_EQ(asked, 1);
}

// A fake file-system root in a temp dir.
class Cgroup : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("kestrix-cgroup-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "proc/self");
    }
    void TearDown() override { fs::remove_all(root_); }

    void write(const std::string& rel, const std::string& text) {
        fs::path p = root_ / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    void mkdir(const std::string& rel) { fs::create_directories(root_ / rel); }
    std::optional<std::size_t> quota() { return cgroup_cpu_quota(root_.string()); }

    fs::path root_;
};

TEST_F(Cgroup, V2OwnGroupLimit) {
    write("proc/self/cgroup", "0::/app/job\n");
    write("sys/fs/cgroup/cgroup.controllers", "cpu io\n");
    write("sys/fs/cgroup/app/job/cgroup.controllers", "cpu\n");
    write("sys/fs/cgroup/app/job/cpu.max", "350000 100000\n");
    write("sys/fs/cgroup/app/cpu.max", "max 100000\n");
    EXPECT_EQ(quota(), 3u);
}

TEST_F(Cgroup, V2SmallestOverAncestors) {
    write("proc/self/cgroup", "0::/app/job\n");
    write("sys/fs/cgroup/app/job/cgroup.controllers", "cpu\n");
    write("sys/fs/cgroup/app/job/cpu.max", "max 100000\n");
    write("sys/fs/cgroup/app/cpu.max", "200000 100000\n");
    write("sys/fs/cgroup/cpu.max", "800000 100000\n");
    write("sys/fs/cpu.max", "100000 100000\n");  // above the mount point: not ours
    EXPECT_EQ(quota(), 2u);
}

TEST_F(Cgroup, V2QuotaBelowOneCountsAsOne) {
    write("proc/self/cgroup", "0::/app\n");
    write("sys/fs/cgroup/app/cgroup.controllers", "");
    write("sys/fs/cgroup/app/cpu.max", "50000 100000\n");
    EXPECT_EQ(quota(), 1u);
}

TEST_F(Cgroup, V2WithoutControllersFileOrWithGarbageHasNoLimit) {
    write("proc/self/cgroup", "0::/app\n");
    write("sys/fs/cgroup/app/cpu.max", "100000 100000\n");
    EXPECT_EQ(quota(), std::nullopt);
    write("sys/fs/cgroup/app/cgroup.controllers", "");
    write("sys/fs/cgroup/app/cpu.max", "lots 100000\n");
    EXPECT_EQ(quota(), std::nullopt);
    write("sys/fs/cgroup/app/cpu.max", "100000 0\n");
    EXPECT_EQ(quota(), std::nullopt);
}

TEST_F(Cgroup, V1CpuCpuacctMount) {
    write("proc/self/cgroup", "4:memory:/x\n3:cpu,cpuacct:/box/inner\n0::/other\n");
    write("sys/fs/cgroup/cpu,cpuacct/box/inner/cpu.cfs_quota_us", "-1\n");
    write("sys/fs/cgroup/cpu,cpuacct/box/inner/cpu.cfs_period_us", "100000\n");
    write("sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "300000\n");
    write("sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(quota(), 3u);
}

TEST_F(Cgroup, V1LineWinsOverV2Line) {
    write("proc/self/cgroup", "0::/v2group\n2:cpu:/g\n");
    write("sys/fs/cgroup/v2group/cgroup.controllers", "");
    write("sys/fs/cgroup/v2group/cpu.max", "100000 100000\n");
    write("sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", "500000");
    write("sys/fs/cgroup/cpu/g/cpu.cfs_period_us", "100000");
    EXPECT_EQ(quota(), 5u);
}

TEST_F(Cgroup, V1MountFromMountinfoWithBindSubtree) {
    write("proc/self/cgroup", "2:cpu:/outer/me\n");
    write("proc/self/mountinfo",
          "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
          "30 22 0:26 /outer /mnt/cg rw,nosuid - cgroup cgroup rw,cpu,cpuacct\n");
    write("mnt/cg/me/cpu.cfs_quota_us", "200000\n");
    write("mnt/cg/me/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(quota(), 2u);
}

TEST_F(Cgroup, NothingReadableHasNoLimit) {
    EXPECT_EQ(quota(), std::nullopt);  // no /proc/self/cgroup
    write("proc/self/cgroup", "2:cpu:/g\n");
    EXPECT_EQ(quota(), std::nullopt);  // no hierarchy anywhere
}

TEST_F(Cgroup, AvailableCpusIsTheAffinityMaskLimitedByTheQuota) {
    cpu_set_t set;
    ASSERT_EQ(::sched_getaffinity(0, sizeof set, &set), 0);
    auto mask = static_cast<std::size_t>(CPU_COUNT(&set));
    EXPECT_EQ(available_cpus(root_.string()), mask);
    write("proc/self/cgroup", "0::/\n");
    write("sys/fs/cgroup/cgroup.controllers", "");
    write("sys/fs/cgroup/cpu.max", "100000 100000\n");
    EXPECT_EQ(available_cpus(root_.string()), 1u);
}

}  // namespace
}  // namespace kestrix

// Worker count: the two variables' exact parse and precedence, and the
// control-group quota read from fake trees.
#include "pool/worker_count.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace kestrix {
namespace {

namespace fs = std::filesystem;

struct EnvCase {
    const char* num_threads;  // null: unset
    const char* rs_num_cpus;
    std::size_t want;
};

constexpr std::size_t D = 7;  // the default, when the variables give none

// clang-format off
const EnvCase env_cases[] = {
    {"4", nullptr, 4}, {"+4", "2", 4}, {"0004", nullptr, 4}, {"0", "2", D}, {"-4", "2", 2},
    {" 4", "2", 2}, {"4 ", "2", 2}, {"four", "2", 2}, {"", "2", 2}, {"++4", "2", 2}, {"+", "2", 2},
    {"-0", "2", 2}, {"4\xff", "2", 2}, {"\xef\xbc\x94", "3", 3}, {nullptr, "0", D},
    {nullptr, "x", D}, {"junk", "junk", D}, {nullptr, nullptr, D}, {nullptr, "+3", 3},
    {"70000", "2", 65535}, {nullptr, "70000", 65535}, {"65535", nullptr, 65535},
    {"18446744073709551615", nullptr, 65535}, {"18446744073709551616", "3", 3}, {"0x10", "3", 3},
    {"1_000", "3", 3}};
// clang-format on

class Env : public ::testing::TestWithParam<EnvCase> {};

TEST_P(Env, Count) {
    const EnvCase& c = GetParam();
    EXPECT_EQ(choose_worker_count(c.num_threads, c.rs_num_cpus, [] { return D; }), c.want);
}

INSTANTIATE_TEST_SUITE_P(Table, Env, ::testing::ValuesIn(env_cases));

TEST(Env, DefaultIsAskedOnlyWhenNeededAndCapped) {
    int asked = 0;
    auto counting = [&] { return ++asked, std::size_t{100000}; };
    EXPECT_EQ(choose_worker_count("3", "5", counting), 3u);
    EXPECT_EQ(choose_worker_count(nullptr, "5", counting), 5u);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(choose_worker_count("0", "5", counting), 65535u);
    EXPECT_EQ(asked, 1);
}

// One fake tree: the process's /proc/self/cgroup line(s), then "path=text"
// files separated by '|', under sys/fs/cgroup/ unless the path starts with '/'.
struct CgroupCase {
    const char* name;
    const char* cgroup;  // null: no /proc/self/cgroup
    std::string files;
    std::optional<std::size_t> want;
};

fs::path fake_root(const char* cgroup, const std::string& files) {
    fs::path root = fs::temp_directory_path() / ("kestrix-cgroup-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "proc/self");
    if (cgroup) std::ofstream(root / "proc/self/cgroup") << cgroup << '\n';
    std::stringstream entries(files);
    for (std::string entry; std::getline(entries, entry, '|');) {
        std::string path = entry.substr(0, entry.find('='));
        fs::path p = path[0] == '/' ? root / path.substr(1) : root / "sys/fs/cgroup" / path;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << entry.substr(path.size() + 1) << '\n';
    }
    return root;
}

class Cgroup : public ::testing::TestWithParam<CgroupCase> {
protected:
    void TearDown() override { fs::remove_all(fake_root(nullptr, "")); }
};

TEST_P(Cgroup, Quota) {
    const CgroupCase& c = GetParam();
    EXPECT_EQ(cgroup_cpu_quota(fake_root(c.cgroup, c.files).string()), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, Cgroup,
    ::testing::Values(
        CgroupCase{"V2OwnGroupLimit", "0::/app/job",
                   "cgroup.controllers=cpu io|app/job/cgroup.controllers=cpu|"
                   "app/job/cpu.max=350000 100000|app/cpu.max=max 100000",
                   3},
        // The smallest quota up to the mount point; above it is not ours.
        CgroupCase{"V2SmallestOverAncestors", "0::/app/job",
                   "app/job/cgroup.controllers=cpu|app/job/cpu.max=max 100000|"
                   "app/cpu.max=200000 100000|cpu.max=800000 100000|/sys/fs/cpu.max=100000 100000",
                   2},
        CgroupCase{"V2BelowOneCountsAsOne", "0::/app",
                   "app/cgroup.controllers=|app/cpu.max=50000 100000", 1},
        CgroupCase{"V2WithoutControllersFile", "0::/app", "app/cpu.max=100000 100000",
                   std::nullopt},
        CgroupCase{"V2GarbageQuota", "0::/app", "app/cgroup.controllers=|app/cpu.max=lots 100000",
                   std::nullopt},
        CgroupCase{"V2ZeroPeriod", "0::/app", "app/cgroup.controllers=|app/cpu.max=100000 0",
                   std::nullopt},
        CgroupCase{
            "V1CpuCpuacctMount", "4:memory:/x\n3:cpu,cpuacct:/box/inner\n0::/other",
            "cpu,cpuacct/box/inner/cpu.cfs_quota_us=-1|"
            "cpu,cpuacct/box/inner/cpu.cfs_period_us=100000|"
            "cpu,cpuacct/box/cpu.cfs_quota_us=300000|cpu,cpuacct/box/cpu.cfs_period_us=100000",
            3},
        CgroupCase{"V1LineWinsOverV2Line", "0::/v2group\n2:cpu:/g",
                   "v2group/cgroup.controllers=|v2group/cpu.max=100000 100000|"
                   "cpu/g/cpu.cfs_quota_us=500000|cpu/g/cpu.cfs_period_us=100000",
                   5},
        CgroupCase{"V1MountFromMountinfoWithBindSubtree", "2:cpu:/outer/me",
                   "/proc/self/mountinfo=22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                   "30 22 0:26 /outer /mnt/cg rw,nosuid - cgroup cgroup rw,cpu,cpuacct|"
                   "/mnt/cg/me/cpu.cfs_quota_us=200000|/mnt/cg/me/cpu.cfs_period_us=100000",
                   2},
        CgroupCase{"NoProcSelfCgroup", nullptr, "", std::nullopt},
        CgroupCase{"NoHierarchyAnywhere", "2:cpu:/g", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AvailableCpus, IsTheAffinityMaskLimitedByTheQuota) {
    cpu_set_t set;
    ASSERT_EQ(::sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(available_cpus(fake_root(nullptr, "").string()), std::size_t(CPU_COUNT(&set)));
    fs::path root = fake_root("0::/", "cgroup.controllers=|cpu.max=100000 100000");
    EXPECT_EQ(available_cpus(root.string()), 1u);
    fs::remove_all(root);
}

}  // namespace
}  // namespace kestrix

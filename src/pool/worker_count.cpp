#include "pool/worker_count.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

#include "pool/cgroup_tree.h"

namespace kestrix {
namespace {

void limit_by(std::optional<std::size_t>& quota, std::optional<std::uint64_t> limit,
              std::optional<std::uint64_t> period) {
    if (!limit || !period || *period == 0) return;
    auto q = static_cast<std::size_t>(*limit / *period);
    quota = quota ? std::min(*quota, q) : q;
}

void limit_by_v2(std::optional<std::size_t>& quota, const std::string& dir) {
    std::optional<std::string> text = read_file(dir + "/cpu.max");
    if (!text) return;
    std::string_view first_line = std::string_view(*text).substr(0, text->find('\n'));
    if (!first_line.empty() && first_line.back() == '\r') first_line.remove_suffix(1);
    std::vector<std::string_view> fields = split(first_line, ' ');
    if (fields.size() < 2) return;
    limit_by(quota, parse_count(fields[0]), parse_count(fields[1]));
}

void limit_by_v1(std::optional<std::size_t>& quota, const std::string& dir) {
    auto number = [&](const char* name) -> std::optional<std::uint64_t> {
        std::optional<std::string> text = read_file(dir + "/" + name);
        if (!text) return std::nullopt;
        return parse_count(trim(*text));
    };
    limit_by(quota, number("cpu.cfs_quota_us"), number("cpu.cfs_period_us"));
}

std::size_t affinity_cpus() {
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        int rc = ::sched_getaffinity(0, size, set);
        std::size_t count = rc == 0 ? static_cast<std::size_t>(CPU_COUNT_S(size, set)) : 0;
        CPU_FREE(set);
        if (rc == 0) return count;
        if (errno != EINVAL) return 0;
    }
    return 0;
}

}  // namespace

std::optional<std::uint64_t> parse_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
    CgroupDirs groups =
        cgroup_dirs(root, "cpu", {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"});
    std::optional<std::size_t> quota;
    for (const std::string& dir : groups.dirs)
        groups.unified ? limit_by_v2(quota, dir) : limit_by_v1(quota, dir);
    if (quota && *quota == 0) quota = 1;
    return quota;
}

std::size_t available_cpus(const std::string& root) {
    std::size_t count = affinity_cpus();
    if (count == 0) {
        long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        if (online <= 0) return 1;
        count = static_cast<std::size_t>(online);
    }
    if (std::optional<std::size_t> quota = cgroup_cpu_quota(root)) count = std::min(count, *quota);
    return count;
}

std::size_t configured_worker_count() {
    return choose_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               [] { return available_cpus(); });
}

}  // namespace kestrix

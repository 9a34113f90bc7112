#include "pool/worker_count.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

namespace kestrix {
namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string_view trim(std::string_view s) {
    const char* ws = " \t\n\r\f\v";
    std::size_t b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool has_item(std::string_view list, std::string_view item) {
    for (std::string_view part : split(list, ','))
        if (part == item) return true;
    return false;
}

// Path components of a group path ("/a/b" -> {"a", "b"}).
std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> out;
    for (std::string_view part : split(path, '/'))
        if (!part.empty()) out.emplace_back(part);
    return out;
}

std::string join_path(const std::string& base, const std::vector<std::string>& parts,
                      std::size_t count) {
    std::string path = base;
    for (std::size_t i = 0; i < count; ++i) path += "/" + parts[i];
    return path;
}

enum class Version { v1, v2 };

struct Group {
    Version version;
    std::string path;
};

// Our line in /proc/self/cgroup: a version 1 hierarchy that names the cpu
// controller wins over the version 2 line, since it is explicit.
std::optional<Group> find_group(const std::string& root) {
    std::optional<std::string> text = read_file(root + "/proc/self/cgroup");
    if (!text) return std::nullopt;
    std::optional<Group> found;
    for (std::string_view line : split(*text, '\n')) {
        std::size_t c1 = line.find(':');
        if (c1 == std::string_view::npos) continue;
        std::size_t c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
        std::string_view path = line.substr(c2 + 1);
        if (controllers.empty()) {
            if (!found) found = Group{Version::v2, std::string(path)};
        } else if (has_item(controllers, "cpu")) {
            found = Group{Version::v1, std::string(path)};
        }
    }
    return found;
}

void limit_by(std::optional<std::size_t>& quota, std::optional<std::uint64_t> limit,
              std::optional<std::uint64_t> period) {
    if (!limit || !period || *period == 0) return;
    auto q = static_cast<std::size_t>(*limit / *period);
    quota = quota ? std::min(*quota, q) : q;
}

// Walks from the group up to the mount point, applying every limit found.
template <class ReadLimit>
std::optional<std::size_t> walk_up(const std::string& mount, const std::string& group,
                                   ReadLimit read_limit) {
    std::optional<std::size_t> quota;
    std::vector<std::string> parts = components(group);
    for (std::size_t k = parts.size() + 1; k-- > 0;) read_limit(join_path(mount, parts, k), quota);
    return quota;
}

std::optional<std::size_t> quota_v2(const std::string& root, const std::string& group) {
    std::string mount = root + "/sys/fs/cgroup";
    std::vector<std::string> parts = components(group);
    if (!exists(join_path(mount, parts, parts.size()) + "/cgroup.controllers")) return std::nullopt;
    return walk_up(mount, group, [](const std::string& dir, std::optional<std::size_t>& quota) {
        std::optional<std::string> text = read_file(dir + "/cpu.max");
        if (!text) return;
        std::string_view first_line = std::string_view(*text).substr(0, text->find('\n'));
        if (!first_line.empty() && first_line.back() == '\r') first_line.remove_suffix(1);
        std::vector<std::string_view> fields = split(first_line, ' ');
        if (fields.size() < 2) return;
        limit_by(quota, parse_count(fields[0]), parse_count(fields[1]));
    });
}

// Where a version 1 cpu hierarchy is mounted, from mountinfo; the group path
// is made relative to the mounted subtree (for bind mounts).
std::optional<std::pair<std::string, std::string>> find_v1_mount(const std::string& root,
                                                                 const std::string& group) {
    std::optional<std::string> text = read_file(root + "/proc/self/mountinfo");
    if (!text) return std::nullopt;
    for (std::string_view line : split(*text, '\n')) {
        std::vector<std::string_view> f = split(trim(line), ' ');
        if (f.size() < 7) continue;
        std::string_view sub_path = f[3], mount_point = f[4];
        std::string_view fs_type = f[f.size() - 3], super_options = f[f.size() - 1];
        if (fs_type != "cgroup" || !has_item(super_options, "cpu")) continue;
        std::vector<std::string> sub = components(sub_path);
        std::vector<std::string> grp = components(group);
        if (sub.size() > grp.size() || !std::equal(sub.begin(), sub.end(), grp.begin())) continue;
        std::vector<std::string> rest(grp.begin() + static_cast<std::ptrdiff_t>(sub.size()),
                                      grp.end());
        return std::pair{root + std::string(mount_point), join_path("", rest, rest.size())};
    }
    return std::nullopt;
}

std::optional<std::size_t> quota_v1(const std::string& root, const std::string& group) {
    auto read_v1 = [](const std::string& dir, std::optional<std::size_t>& quota) {
        auto number = [&](const char* name) -> std::optional<std::uint64_t> {
            std::optional<std::string> text = read_file(dir + "/" + name);
            if (!text) return std::nullopt;
            return parse_count(trim(*text));
        };
        limit_by(quota, number("cpu.cfs_quota_us"), number("cpu.cfs_period_us"));
    };
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        std::string m = root + mount;
        std::vector<std::string> parts = components(group);
        if (exists(join_path(m, parts, parts.size()))) return walk_up(m, group, read_v1);
    }
    if (auto found = find_v1_mount(root, group)) {
        std::vector<std::string> parts = components(found->second);
        if (exists(join_path(found->first, parts, parts.size())))
            return walk_up(found->first, found->second, read_v1);
    }
    return std::nullopt;
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
    std::optional<Group> group = find_group(root);
    if (!group) return std::nullopt;
    std::optional<std::size_t> quota =
        group->version == Version::v2 ? quota_v2(root, group->path) : quota_v1(root, group->path);
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

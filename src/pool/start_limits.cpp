#include "pool/start_limits.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pool/cgroup_tree.h"
#include "pool/worker_count.h"

namespace kestrix {
namespace {

std::optional<std::uint64_t> number_in(const std::string& path) {
    std::optional<std::string> text = read_file(path);
    return text ? parse_count(trim(*text)) : std::nullopt;
}

// The value after `key` on its line of a /proc/<pid>/status text; the first
// field only ("Uid:" lists real, effective, saved and file-system ids).
std::string_view status_field(std::string_view status, std::string_view key) {
    for (std::string_view line : split(status, '\n')) {
        if (line.substr(0, key.size()) != key) continue;
        std::string_view value = trim(line.substr(key.size()));
        return value.substr(0, value.find_first_of(" \t"));
    }
    return {};
}

// The last field of /proc/loadavg, "running/existing", counts every thread
// on the machine, the same count that threads-max limits.
std::optional<std::uint64_t> machine_tasks(const std::string& root) {
    std::optional<std::string> text = read_file(root + "/proc/loadavg");
    if (!text) return std::nullopt;
    std::vector<std::string_view> fields = split(trim(*text), ' ');
    if (fields.size() < 4) return std::nullopt;
    std::string_view runs = fields[3];
    std::size_t slash = runs.find('/');
    return slash == std::string_view::npos ? std::nullopt : parse_count(runs.substr(slash + 1));
}

std::optional<std::uint64_t> cgroup_pids_free(const std::string& root) {
    CgroupDirs groups = cgroup_dirs(root, "pids", {"/sys/fs/cgroup/pids"});
    std::optional<std::uint64_t> least;
    for (const std::string& dir : groups.dirs) {
        // "max" (no limit) does not parse, and the root group has no files.
        std::optional<std::uint64_t> max = number_in(dir + "/pids.max");
        std::optional<std::uint64_t> current = number_in(dir + "/pids.current");
        if (!max || !current) continue;
        std::uint64_t free = *max > *current ? *max - *current : 0;
        least = least ? std::min(*least, free) : free;
    }
    return least;
}

// What RLIMIT_NPROC counts: the threads of every process whose real user is `uid`.
std::optional<std::uint64_t> user_tasks(const std::string& root, std::uint32_t uid) {
    std::string proc = root + "/proc";
    DIR* dir = ::opendir(proc.c_str());
    if (dir == nullptr) return std::nullopt;
    const std::string want = std::to_string(uid);
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!parse_count(entry->d_name)) continue;
        // A process that ended meanwhile has no file left, and no threads.
        std::optional<std::string> status = read_file(proc + "/" + entry->d_name + "/status");
        if (!status || status_field(*status, "Uid:") != want) continue;
        count += parse_count(status_field(*status, "Threads:")).value_or(1);
    }
    ::closedir(dir);
    return count;
}

std::optional<std::uint64_t> mappings(const std::string& root) {
    std::optional<std::string> text = read_file(root + "/proc/self/maps");
    if (!text) return std::nullopt;
    return static_cast<std::uint64_t>(std::count(text->begin(), text->end(), '\n'));
}

// Whether `need` more fit below `limit` with `used` taken; unknowns fit.
bool short_of(std::optional<std::uint64_t> limit, std::optional<std::uint64_t> used,
              std::uint64_t need) {
    if (!limit || !used) return false;
    return *used >= *limit || *limit - *used < need;
}

}  // namespace

StartLimit start_limit_exceeded(std::size_t workers, const StartReadings& r) noexcept {
    const auto need = static_cast<std::uint64_t>(workers);
    // Ids run from 1 to pid_max - 1.
    std::optional<std::uint64_t> ids =
        r.pid_max && *r.pid_max > 0 ? std::optional<std::uint64_t>(*r.pid_max - 1) : std::nullopt;
    if (short_of(ids, r.tasks, need)) return StartLimit::pid_max;
    if (short_of(r.threads_max, r.tasks, need)) return StartLimit::threads_max;
    if (r.cgroup_pids_free && *r.cgroup_pids_free < need) return StartLimit::cgroup_pids;
    if (short_of(r.nproc_limit, r.user_tasks, need)) return StartLimit::nproc;
    // The count is at most 65535: the product cannot overflow.
    if (short_of(r.max_map_count, r.mappings, need * mappings_per_worker))
        return StartLimit::map_count;
    return StartLimit::none;
}

std::optional<std::uint64_t> applied_nproc_limit(std::uint32_t uid, std::uint64_t limit,
                                                 std::string_view status) noexcept {
    if (uid == 0 || limit == RLIM_INFINITY) return std::nullopt;
    std::string_view hex = status_field(status, "CapEff:");
    std::uint64_t caps = 0;
    for (char c : hex) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) return limit;
        caps = caps << 4 | static_cast<std::uint64_t>(digit);
    }
    constexpr std::uint64_t sys_admin = std::uint64_t{1} << 21,
                            sys_resource = std::uint64_t{1} << 24;
    if (caps & (sys_admin | sys_resource)) return std::nullopt;
    return limit;
}

StartReadings read_start_readings(const std::string& root, std::size_t workers, std::uint32_t uid,
                                  std::optional<std::uint64_t> nproc_limit) {
    StartReadings r;
    r.pid_max = number_in(root + "/proc/sys/kernel/pid_max");
    r.threads_max = number_in(root + "/proc/sys/kernel/threads-max");
    r.tasks = machine_tasks(root);
    r.cgroup_pids_free = cgroup_pids_free(root);
    r.nproc_limit = nproc_limit;
    if (nproc_limit) {
        // The user's threads are among the machine's: only where those leave
        // too little room is the scan of every process worth making.
        bool settled = r.tasks && !short_of(nproc_limit, r.tasks, workers);
        r.user_tasks = settled ? r.tasks : user_tasks(root, uid);
    }
    r.max_map_count = number_in(root + "/proc/sys/vm/max_map_count");
    r.mappings = mappings(root);
    return r;
}

int start_refusal(std::size_t workers) {
    const auto uid = static_cast<std::uint32_t>(::getuid());
    struct rlimit nproc {};
    std::optional<std::uint64_t> limit;
    if (::getrlimit(RLIMIT_NPROC, &nproc) == 0) {
        std::optional<std::string> status = read_file("/proc/self/status");
        limit = applied_nproc_limit(uid, nproc.rlim_cur, status ? *status : "");
    }
    StartReadings readings = read_start_readings("", workers, uid, limit);
    return start_limit_exceeded(workers, readings) == StartLimit::none ? 0 : EAGAIN;
}

}  // namespace kestrix

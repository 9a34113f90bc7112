#pragma once
// Whether the system can start a pool's workers at all, asked before the
// first one starts. A start that runs into a limit part way fails all the
// same, but only after it has taken the machine's last process ids (or the
// user's, or the group's) from every other process while it lasted.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix {

// What the limits are measured against; nullopt where a value cannot be
// read or no limit applies.
struct StartReadings {
    std::optional<std::uint64_t> pid_max;           // kernel.pid_max
    std::optional<std::uint64_t> threads_max;       // kernel.threads-max
    std::optional<std::uint64_t> tasks;             // threads on the machine now
    std::optional<std::uint64_t> cgroup_pids_free;  // least pids.max - pids.current up the group
    std::optional<std::uint64_t> nproc_limit;       // RLIMIT_NPROC, where the kernel applies it
    std::optional<std::uint64_t> user_tasks;        // threads of the real user now
    std::optional<std::uint64_t> max_map_count;     // vm.max_map_count
    std::optional<std::uint64_t> mappings;          // this process's mappings now

    bool operator==(const StartReadings&) const = default;
};

enum class StartLimit { none, pid_max, threads_max, cgroup_pids, nproc, map_count };

// Each worker's stack is a mapping of its own with a guard page below it:
// two mappings that never merge with their neighbours.
inline constexpr std::uint64_t mappings_per_worker = 2;

// The first limit that starting `workers` more threads would run into, or none.
StartLimit start_limit_exceeded(std::size_t workers, const StartReadings& readings) noexcept;

// RLIMIT_NPROC (`limit`, RLIM_INFINITY for none) as the kernel applies it to
// the real user `uid` with the capabilities of `status` (the text of
// /proc/self/status): not at all to root or to a holder of CAP_SYS_RESOURCE
// or CAP_SYS_ADMIN.
std::optional<std::uint64_t> applied_nproc_limit(std::uint32_t uid, std::uint64_t limit,
                                                 std::string_view status) noexcept;

// The readings for a start of `workers` threads by the real user `uid` under
// `nproc_limit` (as applied_nproc_limit gives it), read below `root` ("" for
// the real file system). The user's threads are counted only when the
// machine's do not settle the question.
StartReadings read_start_readings(const std::string& root, std::size_t workers, std::uint32_t uid,
                                  std::optional<std::uint64_t> nproc_limit);

// This process's readings; the system error a start of `workers` threads
// would end in (EAGAIN), or 0 when it fits.
int start_refusal(std::size_t workers);

}  // namespace kestrix

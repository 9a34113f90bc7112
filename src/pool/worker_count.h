#pragma once
// How many workers the global pool gets: RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, else the processors available to the process.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix {

inline constexpr std::size_t max_workers = 65535;

// An unsigned decimal: an optional single leading '+', then one or more ASCII
// digits, value below 2^64. Anything else (spaces, signs, words, bytes that
// are not ASCII) is nullopt.
std::optional<std::uint64_t> parse_count(std::string_view text) noexcept;

// The processor quota of the process's control group: the smallest
// quota / period (rounded down, at least 1) over its group and the group's
// ancestors, or nullopt when no limit applies. Every path is read below
// `root` ("" for the real file system).
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root);

// Processors in the affinity mask, else online processors, else 1; limited
// by the control-group quota read below `root`.
std::size_t available_cpus(const std::string& root = "");

// The count from the two variables' values (null when unset), capped at
// max_workers; default_count() is asked only when neither decides.
template <class Default>
std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                                Default default_count) {
    std::size_t n = 0;
    std::optional<std::uint64_t> first = num_threads ? parse_count(num_threads) : std::nullopt;
    if (first) {
        // 0 asks for the default and settles the question.
        n = *first > 0 ? *first : default_count();
    } else {
        std::optional<std::uint64_t> second = rs_num_cpus ? parse_count(rs_num_cpus) : std::nullopt;
        n = second && *second > 0 ? *second : default_count();
    }
    return n < max_workers ? (n == 0 ? 1 : n) : max_workers;
}

// The count from this process's environment and processors.
std::size_t configured_worker_count();

}  // namespace kestrix

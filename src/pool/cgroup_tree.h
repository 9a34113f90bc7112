#pragma once
// The system files the pool reads when it is created: small whole files, and
// the directories of the process's control group for one controller.
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

// A whole file, or nullopt when it cannot be read.
std::optional<std::string> read_file(const std::string& path);
std::string_view trim(std::string_view text);
std::vector<std::string_view> split(std::string_view text, char sep);

// The directories whose limits apply to the process for `controller` ("cpu",
// "pids"): its own group's first, then each ancestor's up to the mount point
// of the hierarchy. A version 1 line of /proc/self/cgroup that names the
// controller wins over the version 2 line; a version 1 hierarchy is looked
// for under `v1_mounts`, else where /proc/self/mountinfo mounts it. No
// directories when the hierarchy is not found. Every path is read below
// `root` ("" for the real file system).
struct CgroupDirs {
    bool unified = false;  // version 2
    std::vector<std::string> dirs;
};
CgroupDirs cgroup_dirs(const std::string& root, std::string_view controller,
                       std::initializer_list<const char*> v1_mounts);

}  // namespace kestrix

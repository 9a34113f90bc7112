#include "pool/cgroup_tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <utility>

namespace kestrix {
namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
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

struct Group {
    bool unified;
    std::string path;
};

std::optional<Group> find_group(const std::string& root, std::string_view controller) {
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
            if (!found) found = Group{true, std::string(path)};
        } else if (has_item(controllers, controller)) {
            found = Group{false, std::string(path)};
        }
    }
    return found;
}

// The group's directory and its ancestors' below `mount`, own group first.
std::vector<std::string> walk_up(const std::string& mount, const std::string& group) {
    std::vector<std::string> dirs;
    std::vector<std::string> parts = components(group);
    for (std::size_t k = parts.size() + 1; k-- > 0;) dirs.push_back(join_path(mount, parts, k));
    return dirs;
}

// Where a version 1 hierarchy of the controller is mounted, from mountinfo;
// the group path is made relative to the mounted subtree (for bind mounts).
std::optional<std::pair<std::string, std::string>> find_v1_mount(const std::string& root,
                                                                 std::string_view controller,
                                                                 const std::string& group) {
    std::optional<std::string> text = read_file(root + "/proc/self/mountinfo");
    if (!text) return std::nullopt;
    for (std::string_view line : split(*text, '\n')) {
        std::vector<std::string_view> f = split(trim(line), ' ');
        if (f.size() < 7) continue;
        std::string_view sub_path = f[3], mount_point = f[4];
        std::string_view fs_type = f[f.size() - 3], super_options = f[f.size() - 1];
        if (fs_type != "cgroup" || !has_item(super_options, controller)) continue;
        std::vector<std::string> sub = components(sub_path);
        std::vector<std::string> grp = components(group);
        if (sub.size() > grp.size() || !std::equal(sub.begin(), sub.end(), grp.begin())) continue;
        std::vector<std::string> rest(grp.begin() + static_cast<std::ptrdiff_t>(sub.size()),
                                      grp.end());
        return std::pair{root + std::string(mount_point), join_path("", rest, rest.size())};
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

std::string_view trim(std::string_view s) {
    const char* ws = " \t\n\r\f\v";
    std::size_t b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
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

CgroupDirs cgroup_dirs(const std::string& root, std::string_view controller,
                       std::initializer_list<const char*> v1_mounts) {
    std::optional<Group> group = find_group(root, controller);
    if (!group) return {};
    std::vector<std::string> parts = components(group->path);
    if (group->unified) {
        std::string mount = root + "/sys/fs/cgroup";
        if (!exists(join_path(mount, parts, parts.size()) + "/cgroup.controllers")) return {};
        return {true, walk_up(mount, group->path)};
    }
    for (const char* mount : v1_mounts) {
        std::string m = root + mount;
        if (exists(join_path(m, parts, parts.size()))) return {false, walk_up(m, group->path)};
    }
    if (auto found = find_v1_mount(root, controller, group->path)) {
        std::vector<std::string> rest = components(found->second);
        if (exists(join_path(found->first, rest, rest.size())))
            return {false, walk_up(found->first, found->second)};
    }
    return {};
}

}  // namespace kestrix

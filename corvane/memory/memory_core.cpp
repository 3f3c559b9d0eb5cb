#include "memory_core.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

namespace corvane::memory {

namespace {

std::optional<std::string> read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Unsigned decimal number filling all of `s`.
std::optional<std::uint64_t> parse_number(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
        v = v * 10 + d;
    }
    return v;
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        out.push_back(text.substr(0, nl));
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return out;
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// "key:   123 kB" -> bytes, for the line of /proc files that starts with key.
std::optional<std::uint64_t> kb_field(std::string_view text, std::string_view key) {
    for (std::string_view line : lines_of(text)) {
        if (line.substr(0, key.size()) != key || line.size() <= key.size() || line[key.size()] != ':') continue;
        std::string_view rest = trim(line.substr(key.size() + 1));
        std::uint64_t scale = 1;
        if (rest.size() > 2 && rest.substr(rest.size() - 2) == "kB") {
            scale = 1024;
            rest = trim(rest.substr(0, rest.size() - 2));
        }
        const std::optional<std::uint64_t> v = parse_number(rest);
        if (!v) return std::nullopt;
        return *v > UINT64_MAX / scale ? UINT64_MAX : *v * scale;
    }
    return std::nullopt;
}

// The directory of cgroup `path` under a mount, and the smallest limit read
// from `file` in it and in every directory above it up to the mount point.
std::optional<std::uint64_t> smallest_up(const std::string &root, const Mount &m, const std::string &path,
                                         const char *file) {
    std::string rel;
    if (m.root == "/") {
        rel = path;
    } else if (path.compare(0, m.root.size(), m.root) == 0 &&
               (path.size() == m.root.size() || path[m.root.size()] == '/')) {
        rel = path.substr(m.root.size());
    }  // else: a path outside the mounted subtree (a cgroup namespace); the mount point is the process's cgroup.
    std::string point = m.point;
    while (point.size() > 1 && point.back() == '/') point.pop_back();
    std::string dir = point + rel;
    while (dir.size() > point.size() && dir.back() == '/') dir.pop_back();
    std::optional<std::uint64_t> best;
    for (;;) {
        if (std::optional<std::string> t = read_text(root + dir + "/" + file)) {
            if (std::optional<std::uint64_t> v = parse_limit(*t)) best = best ? std::min(*best, *v) : *v;
        }
        if (dir.size() <= point.size()) break;
        const std::size_t slash = dir.rfind('/');
        dir.resize(slash != std::string::npos && slash > point.size() ? slash : point.size());
    }
    return best;
}

std::optional<std::uint64_t> rlimit_of(int resource) {
    struct rlimit r;
    if (getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(r.rlim_cur);
}

void consider(std::optional<Headroom> &best, std::optional<std::uint64_t> limit, std::uint64_t used,
              const char *name) {
    if (!limit) return;
    const std::uint64_t room = *limit > used ? *limit - used : 0;
    if (best && best->bytes <= room) return;
    best = Headroom{room, name, *limit, used};
}

}  // namespace

std::optional<std::uint64_t> parse_limit(std::string_view text) {
    text = trim(text);
    if (text == "max") return std::nullopt;
    return parse_number(text);
}

std::optional<std::uint64_t> parse_meminfo_total(std::string_view meminfo) { return kb_field(meminfo, "MemTotal"); }

Usage parse_status(std::string_view status) {
    Usage u;
    u.resident = kb_field(status, "VmRSS").value_or(0);
    u.virtual_size = kb_field(status, "VmSize").value_or(0);
    u.data = kb_field(status, "VmData").value_or(0);
    return u;
}

CgroupPaths parse_proc_cgroup(std::string_view text) {
    CgroupPaths p;
    for (std::string_view line : lines_of(text)) {
        const std::size_t c1 = line.find(':');
        if (c1 == std::string_view::npos) continue;
        const std::size_t c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, c1), controllers = line.substr(c1 + 1, c2 - c1 - 1);
        const std::string path(line.substr(c2 + 1));
        if (id == "0" && controllers.empty()) {
            if (!p.v2) p.v2 = path;
            continue;
        }
        std::string_view rest = controllers;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            if (rest.substr(0, comma) == "memory" && !p.v1_memory) p.v1_memory = path;
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    return p;
}

CgroupMounts parse_mountinfo(std::string_view text) {
    CgroupMounts m;
    for (std::string_view line : lines_of(text)) {
        const std::vector<std::string_view> f = fields_of(line);
        // id parent major:minor root point options [optional...] - fstype source super-options
        auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
        if (f.size() < 5 || dash == f.end() || dash - f.begin() < 6 || f.end() - dash < 2) continue;
        const std::string_view fstype = *(dash + 1);
        Mount mount{unescape(f[3]), unescape(f[4])};
        if (fstype == "cgroup2") {
            if (!m.v2) m.v2 = mount;
        } else if (fstype == "cgroup" && f.end() - dash >= 4) {
            std::string_view rest = *(dash + 3);
            while (!rest.empty()) {
                const std::size_t comma = rest.find(',');
                if (rest.substr(0, comma) == "memory" && !m.v1_memory) m.v1_memory = mount;
                if (comma == std::string_view::npos) break;
                rest.remove_prefix(comma + 1);
            }
        }
    }
    return m;
}

std::optional<std::uint64_t> cgroup_limit(const std::string &root) {
    const std::optional<std::string> cg = read_text(root + "/proc/self/cgroup");
    const std::optional<std::string> mi = read_text(root + "/proc/self/mountinfo");
    if (!cg || !mi) return std::nullopt;
    const CgroupPaths paths = parse_proc_cgroup(*cg);
    const CgroupMounts mounts = parse_mountinfo(*mi);
    std::optional<std::uint64_t> best;
    auto take = [&best](std::optional<std::uint64_t> v) {
        if (v) best = best ? std::min(*best, *v) : *v;
    };
    if (paths.v2 && mounts.v2) take(smallest_up(root, *mounts.v2, *paths.v2, "memory.max"));
    if (paths.v1_memory && mounts.v1_memory)
        take(smallest_up(root, *mounts.v1_memory, *paths.v1_memory, "memory.limit_in_bytes"));
    return best;
}

Limits read_limits(const std::string &root) {
    Limits l;
    if (std::optional<std::string> mi = read_text(root + "/proc/meminfo")) l.physical = parse_meminfo_total(*mi);
    l.cgroup = cgroup_limit(root);
    l.address_space = rlimit_of(RLIMIT_AS);
    l.data = rlimit_of(RLIMIT_DATA);
    return l;
}

Usage read_usage(const std::string &root) {
    const std::optional<std::string> st = read_text(root + "/proc/self/status");
    return st ? parse_status(*st) : Usage{};
}

std::optional<Headroom> headroom(const Limits &limits, const Usage &usage) {
    std::optional<Headroom> best;
    consider(best, limits.physical, usage.resident, "physical memory");
    consider(best, limits.cgroup, usage.resident, "cgroup memory limit");
    consider(best, limits.address_space, usage.virtual_size, "RLIMIT_AS");
    consider(best, limits.data, usage.data, "RLIMIT_DATA");
    return best;
}

std::uint64_t dense_bytes(std::size_t n, std::size_t count) {
    std::uint64_t b = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(n), &b) ||
        __builtin_mul_overflow(b, std::uint64_t{8}, &b) ||
        __builtin_mul_overflow(b, static_cast<std::uint64_t>(count), &b))
        return UINT64_MAX;
    return b;
}

}  // namespace corvane::memory

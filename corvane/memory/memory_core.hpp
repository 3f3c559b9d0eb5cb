// How much memory this process may still take: the smallest of the limits
// that apply to it (the machine's physical memory, the memory limit of its
// cgroup and of every cgroup above it, its address-space and data-segment
// resource limits), each less what the process already uses of it.  Read
// from /proc and the cgroup file systems; every file is looked up under a
// root directory, so that tests can lay out a system of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::memory {

// Limits in bytes; nullopt where none applies (or none could be read).
struct Limits {
    std::optional<std::uint64_t> physical;       // MemTotal of /proc/meminfo
    std::optional<std::uint64_t> cgroup;         // smallest memory.max / memory.limit_in_bytes
    std::optional<std::uint64_t> address_space;  // RLIMIT_AS
    std::optional<std::uint64_t> data;           // RLIMIT_DATA
};

// What the process uses now, in bytes (from /proc/self/status).
struct Usage {
    std::uint64_t resident = 0;      // VmRSS: counts against memory and cgroup limits
    std::uint64_t virtual_size = 0;  // VmSize: counts against RLIMIT_AS
    std::uint64_t data = 0;          // VmData: counts against RLIMIT_DATA
};

// The memory a call may still allocate, and the limit that sets it.
struct Headroom {
    std::uint64_t bytes = 0;
    const char *limit_name = "";  // "physical memory", "cgroup memory limit", "RLIMIT_AS", "RLIMIT_DATA"
    std::uint64_t limit = 0;
    std::uint64_t used = 0;
};

// ---- parsers of the files' text ------------------------------------------------

// A cgroup limit file's value: a byte count, or nullopt for "max" (no limit)
// and for text that is not a number.
std::optional<std::uint64_t> parse_limit(std::string_view text);

// MemTotal of /proc/meminfo, in bytes.
std::optional<std::uint64_t> parse_meminfo_total(std::string_view meminfo);

// VmRSS, VmSize and VmData of /proc/self/status, in bytes (0 when missing).
Usage parse_status(std::string_view status);

// The process's cgroup paths from /proc/self/cgroup: the unified (v2)
// hierarchy's ("0::/path") and the v1 memory controller's ("N:...memory...:/path").
struct CgroupPaths {
    std::optional<std::string> v2, v1_memory;
};
CgroupPaths parse_proc_cgroup(std::string_view text);

// A mount of a cgroup hierarchy: the cgroup path mounted (`root`) and where.
struct Mount {
    std::string root, point;
};
// The cgroup2 mount and the v1 memory controller's mount from
// /proc/self/mountinfo (first of each), octal escapes decoded.
struct CgroupMounts {
    std::optional<Mount> v2, v1_memory;
};
CgroupMounts parse_mountinfo(std::string_view text);

// ---- reading -----------------------------------------------------------------

// The smallest memory limit of the process's cgroup and of every cgroup above
// it up to the mount point, v2 (memory.max) and v1 (memory.limit_in_bytes);
// files under `root` ("" for the running system).
std::optional<std::uint64_t> cgroup_limit(const std::string &root);

// The limits of the running process: files under `root`, and the resource
// limits from getrlimit.
Limits read_limits(const std::string &root = "");

// The usage of the running process, from `root` + /proc/self/status.
Usage read_usage(const std::string &root = "");

// The smallest of limit - usage over the limits that apply; nullopt when no
// limit is known.
std::optional<Headroom> headroom(const Limits &limits, const Usage &usage);

// Bytes of `count` dense n x n float64 matrices, saturating at UINT64_MAX.
std::uint64_t dense_bytes(std::size_t n, std::size_t count);

}  // namespace corvane::memory

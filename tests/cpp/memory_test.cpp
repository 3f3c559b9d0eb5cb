// The memory limits of a process, read from a system laid out in a temporary
// directory.
#include <doctest/doctest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../../corvane/memory/memory_core.hpp"

namespace fs = std::filesystem;
using namespace corvane::memory;

namespace {

// A temporary root directory, removed with everything in it.
struct FakeRoot {
    std::string dir;
    FakeRoot() {
        std::string templ = (fs::temp_directory_path() / "corvane-mem-XXXXXX").string();
        char *made = mkdtemp(templ.data());
        REQUIRE(made != nullptr);
        dir = made;
    }
    ~FakeRoot() { fs::remove_all(dir); }
    void write(const std::string &path, const std::string &text) const {
        const fs::path p = fs::path(dir + path);
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
};

const char *kMountinfoV2 =
    "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
    "30 25 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";

const char *kMountinfoV1 =
    "30 25 0:26 / /sys/fs/cgroup ro,nosuid - tmpfs tmpfs ro,mode=755\n"
    "35 30 0:31 /docker/abc /sys/fs/cgroup/memory rw,nosuid shared:9 - cgroup cgroup rw,memory\n"
    "36 30 0:32 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:10 - cgroup cgroup rw,cpu,cpuacct\n";

}  // namespace

TEST_CASE("limit values and /proc fields") {
    CHECK(parse_limit("max\n") == std::nullopt);
    CHECK(parse_limit("1073741824\n") == std::optional<std::uint64_t>(1073741824));
    CHECK(parse_limit("9223372036854771712\n") == std::optional<std::uint64_t>(9223372036854771712ULL));
    CHECK(parse_limit("99999999999999999999999") == std::optional<std::uint64_t>(UINT64_MAX));
    CHECK(parse_limit("") == std::nullopt);
    CHECK(parse_limit("12k") == std::nullopt);
    CHECK(parse_meminfo_total("MemTotal:       16318480 kB\nMemFree: 1 kB\n") ==
          std::optional<std::uint64_t>(16318480ULL * 1024));
    CHECK(parse_meminfo_total("MemFree: 1 kB\n") == std::nullopt);
    const Usage u = parse_status("Name:\tpython\nVmSize:\t  200 kB\nVmData:\t 50 kB\nVmRSS:\t 30 kB\n");
    CHECK(u.virtual_size == 200 * 1024);
    CHECK(u.data == 50 * 1024);
    CHECK(u.resident == 30 * 1024);
    CHECK(parse_status("").resident == 0);
}

TEST_CASE("cgroup paths and mounts") {
    const CgroupPaths v2 = parse_proc_cgroup("0::/user.slice/app.scope\n");
    CHECK(v2.v2 == std::optional<std::string>("/user.slice/app.scope"));
    CHECK(!v2.v1_memory);
    const CgroupPaths hybrid = parse_proc_cgroup("12:cpu,cpuacct:/x\n4:memory:/docker/abc\n0::/docker/abc\n");
    CHECK(hybrid.v1_memory == std::optional<std::string>("/docker/abc"));
    CHECK(hybrid.v2 == std::optional<std::string>("/docker/abc"));
    CHECK(!parse_proc_cgroup("4:memoryx:/a\n3:blkio:/b\n").v1_memory);

    const CgroupMounts m2 = parse_mountinfo(kMountinfoV2);
    REQUIRE(m2.v2);
    CHECK(m2.v2->point == "/sys/fs/cgroup");
    CHECK(!m2.v1_memory);
    const CgroupMounts m1 = parse_mountinfo(kMountinfoV1);
    REQUIRE(m1.v1_memory);
    CHECK(m1.v1_memory->root == "/docker/abc");
    CHECK(m1.v1_memory->point == "/sys/fs/cgroup/memory");
    const CgroupMounts esc = parse_mountinfo("1 0 0:1 / /mnt/my\\040cg rw - cgroup2 none rw\n");
    REQUIRE(esc.v2);
    CHECK(esc.v2->point == "/mnt/my cg");
}

TEST_CASE("cgroup v2: the smallest memory.max from the process's cgroup up") {
    FakeRoot r;
    r.write("/proc/self/mountinfo", kMountinfoV2);
    r.write("/proc/self/cgroup", "0::/user.slice/app.scope\n");
    r.write("/sys/fs/cgroup/user.slice/app.scope/memory.max", "max\n");
    CHECK(cgroup_limit(r.dir) == std::nullopt);
    r.write("/sys/fs/cgroup/user.slice/memory.max", "2147483648\n");
    CHECK(cgroup_limit(r.dir) == std::optional<std::uint64_t>(2147483648ULL));
    r.write("/sys/fs/cgroup/user.slice/app.scope/memory.max", "536870912\n");
    CHECK(cgroup_limit(r.dir) == std::optional<std::uint64_t>(536870912ULL));
    // Inside a cgroup namespace the process's path reads "/".
    r.write("/proc/self/cgroup", "0::/\n");
    r.write("/sys/fs/cgroup/memory.max", "1000\n");
    CHECK(cgroup_limit(r.dir) == std::optional<std::uint64_t>(1000));
}

TEST_CASE("cgroup v1: memory.limit_in_bytes below the mounted root") {
    FakeRoot r;
    r.write("/proc/self/mountinfo", kMountinfoV1);
    r.write("/proc/self/cgroup", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n");
    r.write("/sys/fs/cgroup/memory/memory.limit_in_bytes", "268435456\n");
    CHECK(cgroup_limit(r.dir) == std::optional<std::uint64_t>(268435456ULL));
    // No limit set: the kernel's "unlimited" is a huge number.
    r.write("/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
    CHECK(cgroup_limit(r.dir) == std::optional<std::uint64_t>(9223372036854771712ULL));
    // A deeper cgroup than the mounted root.
    r.write("/proc/self/cgroup", "4:memory:/docker/abc/inner\n");
    r.write("/sys/fs/cgroup/memory/inner/memory.limit_in_bytes", "1048576\n");
    CHECK(cgroup_limit(r.dir) == std::optional<std::uint64_t>(1048576));
}

TEST_CASE("no cgroup files, no limit") {
    FakeRoot r;
    CHECK(cgroup_limit(r.dir) == std::nullopt);
    r.write("/proc/self/cgroup", "0::/a\n");
    r.write("/proc/self/mountinfo", kMountinfoV2);
    CHECK(cgroup_limit(r.dir) == std::nullopt);
    const Limits l = read_limits(r.dir);
    CHECK(!l.physical);
    CHECK(!l.cgroup);
}

TEST_CASE("headroom: the smallest limit less its usage") {
    Limits l;
    Usage u{100, 1000, 400};
    CHECK(!headroom(l, u));
    l.physical = 10000;
    auto h = headroom(l, u);
    REQUIRE(h);
    CHECK(h->bytes == 9900);
    CHECK(std::string(h->limit_name) == "physical memory");
    l.cgroup = 5000;
    CHECK(headroom(l, u)->bytes == 4900);
    l.address_space = 3000;
    h = headroom(l, u);
    CHECK(h->bytes == 2000);
    CHECK(std::string(h->limit_name) == "RLIMIT_AS");
    CHECK(h->used == 1000);
    l.data = 300;  // already past it
    h = headroom(l, u);
    CHECK(h->bytes == 0);
    CHECK(std::string(h->limit_name) == "RLIMIT_DATA");
}

TEST_CASE("dense matrix bytes") {
    CHECK(dense_bytes(0, 6) == 0);
    CHECK(dense_bytes(1000, 1) == 8000000);
    CHECK(dense_bytes(1000, 6) == 48000000);
    CHECK(dense_bytes(std::size_t{1} << 32, 1) == UINT64_MAX);
    CHECK(dense_bytes(std::size_t{1} << 29, 8) == UINT64_MAX);
}

TEST_CASE("the running process") {
    const Usage u = read_usage();
    CHECK(u.resident > 0);
    CHECK(u.virtual_size >= u.resident);
    const Limits l = read_limits();
    REQUIRE(l.physical);
    CHECK(*l.physical > u.resident);
}

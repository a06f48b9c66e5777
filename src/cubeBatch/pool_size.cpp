// Pool sizing: RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS parsed exactly, then
// the processors this process may use (its affinity set, limited by a control
// group CPU quota, v1 or v2). Read once, when the process-wide pool starts.
#include "cubeBatch/pool_size.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <sched.h>

namespace tessaroll::pool {

std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::size_t pool_size_from_env(const char* (*getenv)(const char*)) {
    if (const char* v = getenv("RAYON_NUM_THREADS")) {
        if (auto n = parse_thread_count(v)) return *n > 0 ? *n : default_pool_size();
    }
    if (const char* v = getenv("RAYON_RS_NUM_CPUS")) {
        if (auto n = parse_thread_count(v); n && *n > 0) return *n;
    }
    return default_pool_size();
}

namespace {

std::optional<std::int64_t> parse_i64(std::string_view s) noexcept {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.remove_suffix(1);
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<std::size_t> quota_limit(std::int64_t quota, std::int64_t period) noexcept {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const std::int64_t cpus = quota / period + (quota % period != 0);
    if (static_cast<std::uint64_t>(cpus) > std::numeric_limits<std::size_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(cpus);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::optional<std::size_t> min_limit(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The quota of a cgroup and of its ancestors, below `root` (a mount point).
template <class ReadLimit>
std::optional<std::size_t> walk_up(const std::string& root, std::string path, ReadLimit read) {
    std::optional<std::size_t> limit;
    for (;;) {
        limit = min_limit(limit, read(root + path));
        if (path.empty() || path == "/") break;
        const auto slash = path.rfind('/');
        path.resize(slash == std::string::npos ? 0 : slash);
    }
    return limit;
}

std::optional<std::size_t> cgroup_cpu_limit() {
    auto cgroups = read_file("/proc/self/cgroup");
    if (!cgroups) return std::nullopt;
    std::optional<std::size_t> limit;
    std::istringstream lines(*cgroups);
    std::string line;
    while (std::getline(lines, line)) {
        // "<id>:<controllers>:<path>"
        const auto c1 = line.find(':');
        const auto c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string::npos) continue;
        const std::string controllers = line.substr(c1 + 1, c2 - c1 - 1);
        const std::string path = line.substr(c2 + 1);
        if (line.compare(0, c1, "0") == 0 && controllers.empty()) {
            limit = min_limit(limit, walk_up("/sys/fs/cgroup", path, [](const std::string& dir) {
                                  auto text = read_file(dir + "/cpu.max");
                                  return text ? cgroup2_cpu_limit(*text) : std::nullopt;
                              }));
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        bool has_cpu = false;
        while (std::getline(names, name, ','))
            has_cpu |= name == "cpu";
        if (!has_cpu) continue;
        for (const char* root : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
            limit = min_limit(limit, walk_up(root, path, [](const std::string& dir) {
                                  auto quota = read_file(dir + "/cpu.cfs_quota_us");
                                  auto period = read_file(dir + "/cpu.cfs_period_us");
                                  return quota && period ? cgroup1_cpu_limit(*quota, *period)
                                                         : std::nullopt;
                              }));
        }
    }
    return limit;
}

std::optional<std::size_t> affinity_count() {
    // Start with room for 1024 processors and grow while the kernel's mask
    // is larger than ours (EINVAL).
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int err = errno;
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (rc == 0) {
            if (count <= 0) return std::nullopt;
            return static_cast<std::size_t>(count);
        }
        if (err != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::size_t> cgroup2_cpu_limit(std::string_view cpu_max) noexcept {
    const auto space = cpu_max.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const auto quota = parse_i64(cpu_max.substr(0, space));
    const auto period = parse_i64(cpu_max.substr(space + 1));
    if (!quota || !period) return std::nullopt; // includes "max"
    return quota_limit(*quota, *period);
}

std::optional<std::size_t> cgroup1_cpu_limit(std::string_view quota,
                                             std::string_view period) noexcept {
    const auto q = parse_i64(quota);
    const auto p = parse_i64(period);
    if (!q || !p) return std::nullopt;
    return quota_limit(*q, *p);
}

std::size_t default_pool_size() {
    std::optional<std::size_t> n = affinity_count();
    try {
        n = min_limit(n, cgroup_cpu_limit());
    } catch (const std::exception&) {
        // An unreadable control group leaves the affinity count.
    }
    return n.value_or(1);
}

} // namespace tessaroll::pool

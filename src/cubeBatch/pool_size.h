// Sizing of the process-wide worker pool from the environment and from the
// processors the process may use. Plain functions of their inputs where they
// can be, so that the tests feed them values.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tessaroll::pool {

// Pool size from the environment: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS,
// each a decimal number with an optional leading '+'; a positive value is the
// size, 0 (or anything unparsable) defers, and the default is
// default_pool_size(). `getenv` is a parameter so tests can supply values.
std::size_t pool_size_from_env(const char* (*getenv)(const char*));

// "+12" -> 12, "0" -> 0; empty, signs other than a leading '+', spaces,
// other characters or values beyond size_t -> nullopt.
std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept;

// Processors this process may use: its affinity set, limited by a control
// group CPU quota (rounded up), or 1 when that cannot be determined.
std::size_t default_pool_size();

// CPU limit of a cgroup v2 "cpu.max" file ("max 100000" or "150000 100000"),
// rounded up; nullopt when unlimited or unreadable.
std::optional<std::size_t> cgroup2_cpu_limit(std::string_view cpu_max) noexcept;
// CPU limit from cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us contents,
// rounded up; nullopt for quota -1 (unlimited) or bad input.
std::optional<std::size_t> cgroup1_cpu_limit(std::string_view quota,
                                             std::string_view period) noexcept;

} // namespace tessaroll::pool

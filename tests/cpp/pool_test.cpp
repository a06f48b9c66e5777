// The worker pool: the division rule, piece traces, coverage under several
// pool sizes, stealing, error propagation, threads the system refuses,
// cancellation by the caller's poll, small work kept on the calling thread,
// idle sleeping and sizing.
#include "cubeBatch/pool.h"
#include "cubeBatch/pool_size.h"

#include "cubeBatch/cond_var.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <csignal>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaroll::pool {
namespace {

using Piece = std::pair<std::size_t, std::size_t>;

struct SplitCase {
    std::size_t budget, workers, len;
    bool stolen;
    bool splits;
    std::size_t budget_after;
};

TEST(Splitter, FollowsTheBudgetRule) {
    const SplitCase cases[] = {
        {4, 4, 10, false, true, 2},                              // halves inherit half the budget
        {1, 4, 10, false, true, 0}, {0, 4, 10, false, false, 0}, // exhausted, not stolen: a piece
        {0, 4, 10, true, true, 4},                               // stolen: raised to N
        {3, 2, 10, true, true, 2},                               // stolen: max(N, 3 / 2) = 2
        {16, 4, 10, true, true, 8},                              // stolen: max(N, 16 / 2) = 8
        {4, 4, 1, false, false, 4},                              // a single item is never cut
        {0, 4, 1, true, false, 0},  {4, 4, 2, false, true, 2},   // two items can be cut
        {4, 4, 0, true, false, 4},
    };
    for (const auto& c : cases) {
        Splitter s{c.budget, c.workers};
        EXPECT_EQ(s.try_split(c.len, c.stolen), c.splits)
            << c.budget << ' ' << c.workers << ' ' << c.len << ' ' << c.stolen;
        EXPECT_EQ(s.budget, c.budget_after) << c.budget << ' ' << c.len << ' ' << c.stolen;
    }
}

std::vector<Piece> trace(Pool& pool, std::size_t count) {
    std::mutex m;
    std::vector<Piece> pieces;
    pool.for_each_piece(count, [&](std::size_t b, std::size_t e) {
        std::lock_guard<std::mutex> lock(m);
        pieces.emplace_back(b, e);
    });
    return pieces;
}

TEST(PoolTrace, SingleWorkerCutsDepthFirstByBudget) {
    // One worker never steals, so the pieces follow from the rule alone:
    // [0,10) b4 -> [0,5) b2 | [5,10) b2 -> [0,2) b1 | [2,5) b1 | ... -> b0.
    Pool pool(1, 4);
    const std::vector<Piece> expected = {{0, 1}, {1, 2}, {2, 3}, {3, 5},
                                         {5, 6}, {6, 7}, {7, 8}, {8, 10}};
    EXPECT_EQ(trace(pool, 10), expected);
}

TEST(PoolTrace, SingleWorkerDefaultBudgetHalvesOnce) {
    Pool pool(1);
    EXPECT_EQ(pool.workers(), 1u);
    EXPECT_EQ(trace(pool, 10), (std::vector<Piece>{{0, 5}, {5, 10}}));
    EXPECT_EQ(trace(pool, 1), (std::vector<Piece>{{0, 1}}));
    EXPECT_EQ(trace(pool, 3), (std::vector<Piece>{{0, 1}, {1, 3}}));
    EXPECT_TRUE(trace(pool, 0).empty());
}

TEST(PoolTrace, ShortRangesStopAtSingleItems) {
    Pool pool(1, 64);
    auto pieces = trace(pool, 5);
    EXPECT_EQ(pieces, (std::vector<Piece>{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}));
}

void expect_each_item_once(Pool& pool, std::size_t count) {
    std::unique_ptr<std::atomic<int>[]> hits(new std::atomic<int>[count + 1]);
    for (std::size_t i = 0; i <= count; ++i)
        hits[i].store(0);
    std::atomic<std::size_t> pieces{0};
    pool.for_each_piece(count, [&](std::size_t b, std::size_t e) {
        ASSERT_LT(b, e);
        ASSERT_LE(e, count);
        pieces.fetch_add(1);
        for (std::size_t i = b; i < e; ++i)
            hits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(hits[i].load(), 1) << "item " << i;
    EXPECT_LE(pieces.load(), count);
}

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolSizes, EveryItemRunsExactlyOnce) {
    Pool pool(GetParam());
    EXPECT_EQ(pool.workers(), GetParam());
    for (std::size_t count : {0u, 1u, 2u, 3u, 17u, 1000u, 100003u}) {
        expect_each_item_once(pool, count);
    }
}

TEST_P(PoolSizes, ConcurrentCallersShareThePool) {
    Pool pool(GetParam());
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int rep = 0; rep < 30; ++rep)
                expect_each_item_once(pool, 500 + 37 * t + rep);
        });
    }
    for (auto& c : callers)
        c.join();
}

// A call made from a piece divides on that piece's worker instead of
// queueing for the pool (where, with every worker in such a call, nobody
// would serve it): the piece holding the nested call's first item runs on
// the thread that made the call.
TEST_P(PoolSizes, NestedCallsRunOnTheCallingWorker) {
    Pool pool(GetParam());
    std::atomic<int> elsewhere{0};
    std::atomic<std::size_t> inner{0};
    pool.for_each_piece(64, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const std::thread::id caller = std::this_thread::get_id();
            pool.for_each_piece(100, [&](std::size_t ib, std::size_t ie) {
                if (ib == 0 && std::this_thread::get_id() != caller) ++elsewhere;
                inner += ie - ib;
            });
        }
    });
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_EQ(inner.load(), 6400u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PoolSizes, ::testing::Values(1, 2, 3, 5));

// Threads of this process, as the kernel lists them.
std::size_t live_threads() {
    std::size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// A joined thread leaves the kernel's list a moment after pthread_join
// returns: whether the count reaches `expected` within a few seconds.
bool threads_settle_at(std::size_t expected) {
    for (int i = 0; i < 500; ++i) {
        if (live_threads() == expected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The threads the process has besides a pool's. A runtime may add a helper
// thread of its own at the first thread start (ThreadSanitizer does), so a
// probe thread is started and the count taken while it runs; then the probe
// is joined and given time to leave the kernel's list (under QEMU it stays
// a while).
std::size_t threads_besides_the_pool() {
    std::promise<void> counted;
    std::thread probe([done = counted.get_future()] { done.wait(); });
    const std::size_t with_probe = live_threads();
    counted.set_value();
    probe.join();
    EXPECT_TRUE(threads_settle_at(with_probe - 1)) << live_threads() << " threads";
    return with_probe - 1;
}

// How the thread start numbered `refuse_from` and every later one fail.
enum class Refusal { none, again, cond_var, memory };

struct StartCase {
    const char* name;
    std::size_t requested;
    std::size_t refuse_from;
    Refusal how;
    std::size_t kept; // 0: the pool throws
    int code;         // of what it throws
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

std::atomic<std::size_t> g_refuse_from{0};
std::atomic<Refusal> g_refusal{Refusal::none};

int refuse_start(std::size_t worker) {
    if (worker < g_refuse_from.load()) return 0;
    switch (g_refusal.load()) {
    case Refusal::none: return 0;
    case Refusal::again: return EAGAIN;
    case Refusal::cond_var: throw std::system_error(EPERM, std::generic_category(), "cond var");
    case Refusal::memory: throw std::bad_alloc();
    }
    return 0;
}

class PoolStart : public ::testing::TestWithParam<StartCase> {
protected:
    void SetUp() override {
        g_refuse_from = GetParam().refuse_from;
        g_refusal = GetParam().how;
        previous_ = testing::set_start_refusal(&refuse_start);
    }
    void TearDown() override { testing::set_start_refusal(previous_); }

private:
    testing::StartRefusal previous_ = nullptr;
};

// When the system refuses a thread (or a worker's own state cannot be
// made), the pool gives back half of the threads it started, keeping the
// larger half, and runs with those alone; when it refuses the first, the
// pool throws why. Either way no other thread of the pool's is left running.
TEST_P(PoolStart, KeepsHalfOfWhatItGotAndLeavesNoThreadBehind) {
    const StartCase& c = GetParam();
    const std::size_t before = threads_besides_the_pool();
    if (c.kept == 0) {
        try {
            Pool pool(c.requested);
            ADD_FAILURE() << "started with " << pool.workers() << " workers";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), c.code) << e.what();
        }
        EXPECT_TRUE(threads_settle_at(before)) << live_threads() << " threads";
        return;
    }
    {
        Pool pool(c.requested);
        EXPECT_EQ(pool.workers(), c.kept);
        EXPECT_TRUE(threads_settle_at(before + c.kept)) << live_threads() << " threads";
        expect_each_item_once(pool, 10007);
    }
    EXPECT_TRUE(threads_settle_at(before)) << live_threads() << " threads";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PoolStart,
    ::testing::Values(StartCase{"none_refused", 5, 100, Refusal::again, 5, 0},
                      StartCase{"seventh_refused", 20, 7, Refusal::again, 4, 0},
                      StartCase{"eighth_refused", 20, 8, Refusal::again, 4, 0},
                      StartCase{"second_refused", 20, 1, Refusal::again, 1, 0},
                      StartCase{"third_refused", 20, 2, Refusal::again, 1, 0},
                      StartCase{"cond_var_fails", 20, 7, Refusal::cond_var, 4, 0},
                      StartCase{"memory_fails", 20, 7, Refusal::memory, 4, 0},
                      StartCase{"first_refused", 20, 0, Refusal::again, 0, EAGAIN},
                      StartCase{"first_cond_var_fails", 20, 0, Refusal::cond_var, 0, EPERM},
                      StartCase{"first_memory_fails", 20, 0, Refusal::memory, 0, ENOMEM}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

TEST(PoolSteal, StolenRangeGetsItsBudgetBack) {
    // Budget 2: the first worker cuts [0,1000) into [0,500) and [500,1000),
    // then [0,500) into [0,250) and [250,500), and holds piece [0,250) until
    // a piece starts on the other worker. That worker must take [500,1000)
    // over; with its budget raised back to N = 2 it is cut into eighths.
    // Without the raise it would be cut once (pieces of 250), and later
    // steals could only halve those (125).
    Pool pool(2);
    std::mutex m;
    std::vector<Piece> pieces;
    std::atomic<bool> other_started{false};
    std::atomic<std::thread::id> first_thread{};
    const auto wait_until = [](const auto& ready) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!ready() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };
    pool.for_each_piece(1000, [&](std::size_t b, std::size_t e) {
        {
            std::lock_guard<std::mutex> lock(m);
            pieces.emplace_back(b, e);
        }
        if (b == 0) {
            first_thread.store(std::this_thread::get_id());
            wait_until([&] { return other_started.load(); });
        } else {
            wait_until([&] { return first_thread.load() != std::thread::id{}; });
            if (first_thread.load() != std::this_thread::get_id()) other_started.store(true);
        }
    });
    ASSERT_TRUE(other_started.load());
    std::sort(pieces.begin(), pieces.end());
    std::size_t next = 0;
    std::size_t shortest_stolen = 1000;
    for (auto [b, e] : pieces) {
        EXPECT_EQ(b, next);
        next = e;
        if (b >= 500) shortest_stolen = std::min(shortest_stolen, e - b);
    }
    EXPECT_EQ(next, 1000u);
    EXPECT_LE(shortest_stolen, 63u);
}

TEST(PoolErrors, FirstExceptionReachesTheCallerAndPoolSurvives) {
    Pool pool(3);
    EXPECT_THROW(pool.for_each_piece(1000,
                                     [](std::size_t b, std::size_t e) {
                                         if (b <= 7 && 7 < e) throw std::runtime_error("item 7");
                                     }),
                 std::runtime_error);
    expect_each_item_once(pool, 1000);
}

// A piece's exception crosses to the caller as plain data, so its kind,
// code and text must survive the trip: the caller's boundary maps them to
// MemoryError, OSError(errno, text) and the internal-fault class.
TEST(PoolErrors, KindCodeAndTextSurviveTheTrip) {
    Pool pool(2);
    auto thrown_by = [&](auto raise) {
        try {
            pool.for_each_piece(100, [&](std::size_t b, std::size_t e) {
                if (b <= 50 && 50 < e) raise();
            });
        } catch (const std::system_error& e) {
            return std::string("system_error ") + std::to_string(e.code().value()) + " " +
                   e.code().category().name() + " " + e.what();
        } catch (const std::bad_alloc&) {
            return std::string("bad_alloc");
        } catch (const std::exception& e) {
            return std::string("exception ") + e.what();
        }
        return std::string("nothing");
    };
    EXPECT_EQ(thrown_by([] { throw std::system_error(EIO, std::generic_category(), "getrandom"); }),
              "system_error " + std::to_string(EIO) +
                  " generic getrandom: " + std::generic_category().message(EIO));
    EXPECT_EQ(thrown_by([] { throw std::bad_alloc(); }), "bad_alloc");
    EXPECT_EQ(thrown_by([] { throw std::length_error("too long"); }), "bad_alloc");
    EXPECT_EQ(thrown_by([] { throw std::logic_error("broken invariant"); }),
              "exception broken invariant");
    EXPECT_EQ(thrown_by([] { throw 42; }), "exception unknown C++ exception");
    EXPECT_EQ(thrown_by([] {}), "nothing");
}

TEST(PoolErrors, NestedCallFromAWorkerDoesNotDeadlock) {
    Pool pool(1);
    std::atomic<int> inner{0};
    pool.for_each_piece(2, [&](std::size_t, std::size_t) {
        pool.for_each_piece(
            10, [&](std::size_t b, std::size_t e) { inner.fetch_add(static_cast<int>(e - b)); });
    });
    EXPECT_EQ(inner.load(), 20);
}

// Throws on its second call, counting calls.
Poll cancelling_poll(std::atomic<int>& calls) {
    return {[](void* c) {
                if (++*static_cast<std::atomic<int>*>(c) == 2) throw std::runtime_error("cancel");
            },
            &calls};
}

TEST(PoolCancel, ThrowingPollStopsRunningPiecesAndSkipsTheRest) {
    Pool pool(2);
    std::atomic<int> polls{0}, started{0}, stopped{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // Every piece runs until told to stop, so only the first piece of each
    // worker can have started when the cancel comes. The first poll, which
    // returns normally, changes nothing.
    EXPECT_THROW(pool.for_each_piece(
                     1000,
                     [&](std::size_t, std::size_t, StopToken stop) {
                         ++started;
                         while (!stop.stop_requested() &&
                                std::chrono::steady_clock::now() < deadline)
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                         if (stop.stop_requested()) ++stopped;
                     },
                     cancelling_poll(polls)),
                 std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now(), deadline);
    EXPECT_EQ(polls.load(), 2);
    EXPECT_GE(started.load(), 1);
    EXPECT_LE(started.load(), 2);
    EXPECT_EQ(stopped.load(), started.load());
    expect_each_item_once(pool, 1000); // the next call is not affected
}

TEST(PoolCancel, RangeNoWorkerTookIsWithdrawn) {
    // The only worker is held by another caller's piece, so the cancelled
    // call's range is still queued: it is withdrawn and nothing of it runs.
    Pool pool(1);
    std::atomic<bool> busy{false}, release{false};
    std::thread holder([&] {
        pool.for_each_piece(1, [&](std::size_t, std::size_t) {
            busy = true;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (!busy)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<int> polls{0}, ran{0};
    EXPECT_THROW(pool.for_each_piece(
                     10, [&](std::size_t b, std::size_t e) { ran += static_cast<int>(e - b); },
                     cancelling_poll(polls)),
                 std::runtime_error);
    release = true;
    holder.join();
    EXPECT_EQ(ran.load(), 0);
}

struct Seen {
    std::mutex m;
    std::vector<Piece> pieces;
    std::vector<std::thread::id> threads;
    void operator()(std::size_t b, std::size_t e) {
        std::lock_guard<std::mutex> lock(m);
        pieces.emplace_back(b, e);
        threads.push_back(std::this_thread::get_id());
    }
};

// A poll that forks (a signal handler calling os.fork()): in the child the
// call must throw at once instead of waiting for workers that exist only in
// the parent, whose pieces here block until the parent's poll has forked.
// The child reports through its exit status; one that waits is killed.
TEST(PoolFork, ACallWhosePollForkedThrowsInTheChild) {
    Pool pool(2);
    struct State {
        std::atomic<bool> forked{false};
        pid_t child = -1;
    } state;
    const Poll fork_once{[](void* ctx) {
                             auto& st = *static_cast<State*>(ctx);
                             if (st.child != -1) return;
                             st.child = fork();
                             if (st.child != 0) st.forked.store(true);
                         },
                         &state};
    try {
        pool.for_each_piece(
            64,
            [&](std::size_t, std::size_t) {
                while (!state.forked.load())
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            fork_once);
    } catch (const ForkedDuringCall&) {
        if (state.child == 0) _exit(42);
    }
    if (state.child == 0) _exit(1); // returned normally: the work was done by nobody
    ASSERT_GT(state.child, 0);
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; waited < 1000 && done == 0; ++waited) {
        done = waitpid(state.child, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(state.child, SIGKILL);
        waitpid(state.child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << "child status " << status;
    // The parent's pool goes on.
    std::atomic<std::size_t> items{0};
    pool.for_each_piece(100, [&](std::size_t b, std::size_t e) { items += e - b; });
    EXPECT_EQ(items.load(), 100u);
}

TEST(PoolInline, WorkBelowTheLimitRunsHereInOnePiece) {
    Seen here;
    run_sized(100, 9, 10, [&](std::size_t b, std::size_t e) { here(b, e); });
    EXPECT_EQ(here.pieces, (std::vector<Piece>{{0, 100}}));
    EXPECT_EQ(here.threads, (std::vector<std::thread::id>{std::this_thread::get_id()}));

    Seen pooled;
    run_sized(100, 10, 10, [&](std::size_t b, std::size_t e) { pooled(b, e); });
    std::sort(pooled.pieces.begin(), pooled.pieces.end());
    ASSERT_FALSE(pooled.pieces.empty());
    EXPECT_EQ(pooled.pieces.front().first, 0u);
    EXPECT_EQ(pooled.pieces.back().second, 100u);
    for (auto id : pooled.threads)
        EXPECT_NE(id, std::this_thread::get_id());

    Seen nothing;
    run_sized(0, 0, 10, [&](std::size_t b, std::size_t e) { nothing(b, e); });
    EXPECT_TRUE(nothing.pieces.empty());
}

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST(PoolIdle, IdleWorkersSleep) {
    Pool pool(3);
    expect_each_item_once(pool, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let spinning end
    const double before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const double used = process_cpu_seconds() - before;
    // Three busy-waiting workers would burn about 1.2 s of CPU here.
    EXPECT_LT(used, 0.05);
}

TEST(PoolSize, ParsesCountsLikeTheEnvironmentConvention) {
    EXPECT_EQ(parse_thread_count("4"), 4u);
    EXPECT_EQ(parse_thread_count("+4"), 4u);
    EXPECT_EQ(parse_thread_count("0"), 0u);
    EXPECT_EQ(parse_thread_count("007"), 7u);
    for (const char* bad : {"", "+", "-1", " 4", "4 ", "4x", "0x10", "++4", "4.0", "1e3"}) {
        EXPECT_FALSE(parse_thread_count(bad).has_value()) << '"' << bad << '"';
    }
    const std::string max = std::to_string(std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(parse_thread_count(max), std::numeric_limits<std::size_t>::max());
    EXPECT_FALSE(parse_thread_count(max + "0").has_value());
}

std::map<std::string, std::string> fake_env;
const char* fake_getenv(const char* name) {
    auto it = fake_env.find(name);
    return it == fake_env.end() ? nullptr : it->second.c_str();
}

TEST(PoolSize, EnvironmentPrecedence) {
    const std::size_t dflt = default_pool_size();
    ASSERT_GE(dflt, 1u);
    struct Case {
        const char* num_threads; // nullptr: unset
        const char* rs_num_cpus;
        std::size_t expected; // 0: the default
    };
    const Case cases[] = {
        {nullptr, nullptr, 0}, {"3", nullptr, 3},
        {"+3", "5", 3},        {"0", "5", 0},
        {"x", "5", 5},         {"", "5", 5},
        {nullptr, "6", 6},     {nullptr, "0", 0},
        {nullptr, "-2", 0},    {"99999999999999999999999", "2", 2},
        {" 3", nullptr, 0},
    };
    for (const auto& c : cases) {
        fake_env.clear();
        if (c.num_threads) fake_env["RAYON_NUM_THREADS"] = c.num_threads;
        if (c.rs_num_cpus) fake_env["RAYON_RS_NUM_CPUS"] = c.rs_num_cpus;
        EXPECT_EQ(pool_size_from_env(fake_getenv), c.expected ? c.expected : dflt)
            << (c.num_threads ? c.num_threads : "unset") << " / "
            << (c.rs_num_cpus ? c.rs_num_cpus : "unset");
    }
}

TEST(PoolSize, ControlGroupQuotasRoundUp) {
    EXPECT_EQ(cgroup2_cpu_limit("max 100000\n"), std::nullopt);
    EXPECT_EQ(cgroup2_cpu_limit("200000 100000\n"), 2u);
    EXPECT_EQ(cgroup2_cpu_limit("150000 100000\n"), 2u);
    EXPECT_EQ(cgroup2_cpu_limit("50000 100000"), 1u);
    EXPECT_EQ(cgroup2_cpu_limit("garbage"), std::nullopt);
    EXPECT_EQ(cgroup1_cpu_limit("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cgroup1_cpu_limit("250000\n", "100000\n"), 3u);
    EXPECT_EQ(cgroup1_cpu_limit("100000", "0"), std::nullopt);
}

// The POSIX-backed condition variable: a timed wait gives up after its
// timeout on the steady clock, and a notify ends a wait before it.
TEST(CondVar, TimedWaitTimesOutAndNotifyWakes) {
    std::mutex m;
    CondVar cv;
    bool ready = false;
    std::unique_lock<std::mutex> lock(m);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(cv.wait_for(lock, std::chrono::milliseconds(30), [&] { return ready; }));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));

    std::thread setter([&] {
        std::lock_guard<std::mutex> g(m);
        ready = true;
        cv.notify_all();
    });
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return ready; }));
    lock.unlock();
    setter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
}

} // namespace
} // namespace tessaroll::pool

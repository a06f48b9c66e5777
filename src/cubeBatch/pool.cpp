// The worker pool: per-worker job deques with stealing, a shared queue for
// ranges handed in by callers, and a sleep protocol so that idle workers
// block instead of spinning.
//
// Ownership, who may touch what:
//   Job        lives in the stack frame of whoever created it: the caller of
//              Pool::run for a root range, the splitting worker for a second
//              half. It is referenced from at most one queue at a time and is
//              finished (`done` / Call::finished) before its frame returns.
//   Call       lives in Pool::run's frame; read by every worker that runs one
//              of its pieces; `error` is written under `error_mutex`.
//   Worker     deque: pushed and popped at the back by its owner only,
//              taken from the front by thieves; all under `Worker::mutex`.
//   Impl       `roots` (callers' ranges) under `roots_mutex`; the sleep state
//              `epoch`/`sleepers` is described at `wake`/`sleep`.
//
// Worker threads never touch Python objects: they only run PieceFn pointers.
#include "cubeBatch/pool.h"

#include "cubeBatch/cond_var.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>

namespace tessaroll::pool {

namespace {

constexpr std::size_t kCallerIndex = std::numeric_limits<std::size_t>::max();
// Deque depth: one entry per nested split in progress on this worker. A
// range of length L nests at most log2(L) deep (< 64), plus ranges taken
// while waiting; when full, the worker runs the second half itself instead.
constexpr std::size_t kDequeCapacity = 256;
// Rounds of yielding before an idle worker goes to sleep: long enough to
// catch the next half of a running call, short enough to cost nothing once
// the pool is idle.
constexpr int kSpinRounds = 64;

struct Call {
    Call(PieceFn f, void* ctx) : fn(f), context(ctx) {}
    PieceFn fn;
    void* context;
    // Set once a piece has failed; later pieces are skipped. Relaxed: it is a
    // hint only, `error` itself is published by `error_mutex` and by the
    // completion of the root job.
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::exception_ptr error;
    // Completion of the whole call, for the blocked caller.
    std::mutex finished_mutex;
    CondVar finished_cv;
    bool finished = false;
};

struct Job {
    Job(Call* c, std::size_t b, std::size_t e, std::size_t s, std::size_t from)
        : call(c), begin(b), end(e), budget(s), creator(from) {}
    Call* call;
    std::size_t begin;
    std::size_t end;
    std::size_t budget;
    std::size_t creator; // worker index, or kCallerIndex for a root range
    // Second halves only: set by the worker that ran it. Release, so that
    // the creator, reading it with acquire, sees every write of the half.
    std::atomic<bool> done{false};
    Job* next = nullptr; // link in Impl::roots
};

struct alignas(64) Worker {
    std::mutex mutex;
    std::array<Job*, kDequeCapacity> ring{};
    std::size_t head = 0; // oldest entry (thieves take here)
    std::size_t size = 0;
    std::size_t index = 0;
    std::thread thread;

    bool push(Job* job) {
        std::lock_guard<std::mutex> lock(mutex);
        if (size == kDequeCapacity) return false;
        ring[(head + size) % kDequeCapacity] = job;
        ++size;
        return true;
    }
    // Take `job` back if it is still the newest entry, i.e. nobody stole it.
    bool pop_if(Job* job) {
        std::lock_guard<std::mutex> lock(mutex);
        if (size == 0 || ring[(head + size - 1) % kDequeCapacity] != job) return false;
        --size;
        return true;
    }
    Job* pop_newest() {
        std::lock_guard<std::mutex> lock(mutex);
        if (size == 0) return nullptr;
        --size;
        return ring[(head + size) % kDequeCapacity];
    }
    Job* steal_oldest() {
        std::lock_guard<std::mutex> lock(mutex);
        if (size == 0) return nullptr;
        Job* job = ring[head];
        head = (head + 1) % kDequeCapacity;
        --size;
        return job;
    }
    bool empty() {
        std::lock_guard<std::mutex> lock(mutex);
        return size == 0;
    }
};

thread_local Worker* tls_worker = nullptr;
thread_local Pool::Impl* tls_pool = nullptr;

} // namespace

struct Pool::Impl {
    std::size_t budget = 1;
    std::size_t workers_n = 1; // N of the division rule
    std::vector<std::unique_ptr<Worker>> workers;

    std::mutex roots_mutex;
    Job* roots_head = nullptr;
    Job* roots_tail = nullptr;

    // Sleep protocol. A producer (push of a job, end of a stolen half, a new
    // root) publishes its change, then increments `epoch`, then looks at
    // `sleepers` and, if anyone sleeps, notifies under `sleep_mutex`. A
    // sleeper, holding `sleep_mutex`, increments `sleepers`, reads `epoch`,
    // re-checks for work, and waits until `epoch` moves. Both sides use
    // seq_cst on `epoch` and `sleepers` (a store-load pattern that weaker
    // orders would not cover): either the producer sees the sleeper and
    // notifies it, or the sleeper's read of `epoch` comes after the
    // producer's increment, which (a release RMW read by an acquire load)
    // makes the published work visible to its re-check.
    std::mutex sleep_mutex;
    CondVar sleep_cv;
    std::atomic<std::uint64_t> epoch{0};
    std::atomic<std::size_t> sleepers{0};
    bool stopping = false; // under sleep_mutex; only a destroyed test pool stops

    void wake() {
        epoch.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) != 0) {
            std::lock_guard<std::mutex> lock(sleep_mutex);
            sleep_cv.notify_all();
        }
    }

    bool has_work() {
        {
            std::lock_guard<std::mutex> lock(roots_mutex);
            if (roots_head) return true;
        }
        for (auto& w : workers) {
            if (!w->empty()) return true;
        }
        return false;
    }

    // Block until something changes. Returns false once the pool is stopping.
    bool sleep(const Job* awaited) {
        std::unique_lock<std::mutex> lock(sleep_mutex);
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        const std::uint64_t seen = epoch.load(std::memory_order_seq_cst);
        const bool idle =
            !stopping && !has_work() && !(awaited && awaited->done.load(std::memory_order_acquire));
        if (idle) {
            sleep_cv.wait(
                lock, [&] { return stopping || epoch.load(std::memory_order_seq_cst) != seen; });
        }
        sleepers.fetch_sub(1, std::memory_order_relaxed);
        return !stopping;
    }

    Job* take_root() {
        std::lock_guard<std::mutex> lock(roots_mutex);
        Job* job = roots_head;
        if (job) {
            roots_head = job->next;
            if (!roots_head) roots_tail = nullptr;
        }
        return job;
    }

    Job* find_work(Worker& self) {
        if (Job* job = self.pop_newest()) return job;
        const std::size_t n = workers.size();
        for (std::size_t k = 1; k < n; ++k) {
            if (Job* job = workers[(self.index + k) % n]->steal_oldest()) return job;
        }
        return take_root();
    }

    static void run_piece(Call& call, std::size_t begin, std::size_t end) noexcept {
        if (call.failed.load(std::memory_order_relaxed)) return;
        try {
            call.fn(call.context, begin, end);
        } catch (...) {
            std::lock_guard<std::mutex> lock(call.error_mutex);
            if (!call.error) call.error = std::current_exception();
            call.failed.store(true, std::memory_order_relaxed);
        }
    }

    void divide(Worker& self, Call& call, std::size_t begin, std::size_t end, Splitter splitter,
                bool stolen) {
        if (!splitter.try_split(end - begin, stolen)) {
            run_piece(call, begin, end);
            return;
        }
        const std::size_t mid = begin + (end - begin) / 2;
        Job second{&call, mid, end, splitter.budget, self.index};
        if (!self.push(&second)) {
            divide(self, call, begin, mid, splitter, false);
            divide(self, call, mid, end, splitter, false);
            return;
        }
        wake();
        divide(self, call, begin, mid, splitter, false);
        if (self.pop_if(&second)) {
            divide(self, call, mid, end, splitter, false);
        } else {
            serve(self, &second);
        }
    }

    // Run whatever work there is until `awaited` is done (a second half
    // that was stolen) or, for a worker's main loop (`awaited` null), until
    // the pool stops. Idle rounds yield a little, then sleep.
    void serve(Worker& self, const Job* awaited) {
        int idle_rounds = 0;
        while (!(awaited && awaited->done.load(std::memory_order_acquire))) {
            if (Job* job = find_work(self)) {
                execute(self, *job);
                idle_rounds = 0;
            } else if (idle_rounds < kSpinRounds) {
                ++idle_rounds;
                std::this_thread::yield();
            } else if (!sleep(awaited)) {
                return;
            }
        }
    }

    void execute(Worker& self, Job& job) {
        Call& call = *job.call;
        if (job.creator == kCallerIndex) {
            // A caller's whole range: handed over, not stolen.
            divide(self, call, job.begin, job.end, Splitter{job.budget, workers_n}, false);
            std::lock_guard<std::mutex> lock(call.finished_mutex);
            call.finished = true;
            // Notify under the lock: once the caller sees `finished` it
            // destroys the Call, condition variable included.
            call.finished_cv.notify_one();
            return;
        }
        divide(self, call, job.begin, job.end, Splitter{job.budget, workers_n},
               job.creator != self.index);
        // After this store the creator may return and `job` is gone.
        job.done.store(true, std::memory_order_release);
        wake();
    }

    void worker_main(Worker& self) {
        tls_worker = &self;
        tls_pool = this;
        serve(self, nullptr);
    }
};

Pool::Pool(std::size_t workers, std::size_t split_budget) : impl_(new Impl) {
    std::unique_ptr<Impl> impl(impl_);
    workers = std::max<std::size_t>(workers, 1);
    impl->workers.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        auto w = std::make_unique<Worker>();
        w->index = i;
        impl->workers.push_back(std::move(w));
    }
    // Start the threads; if the system refuses some, keep those that run.
    std::size_t started = 0;
    try {
        for (; started < workers; ++started) {
            Worker& w = *impl->workers[started];
            Impl* p = impl.get();
            w.thread = std::thread([p, &w] { p->worker_main(w); });
        }
    } catch (const std::system_error&) {
        if (started == 0) throw;
    }
    // Workers not started keep empty deques; nobody pushes to them.
    impl->workers_n = started;
    impl->budget = split_budget ? split_budget : started;
    impl.release();
}

Pool::~Pool() {
    {
        std::lock_guard<std::mutex> lock(impl_->sleep_mutex);
        impl_->stopping = true;
        impl_->sleep_cv.notify_all();
    }
    for (auto& w : impl_->workers) {
        if (w->thread.joinable()) w->thread.join();
    }
    delete impl_;
}

std::size_t Pool::workers() const noexcept {
    return impl_->workers_n;
}

void Pool::run(std::size_t count, PieceFn fn, void* context) {
    if (count == 0) return;
    Call call{fn, context};
    if (tls_pool == impl_) {
        // Called from one of our own workers: divide right here rather than
        // wait for a queue this worker would have to serve itself.
        impl_->divide(*tls_worker, call, 0, count, Splitter{impl_->budget, impl_->workers_n},
                      false);
    } else {
        Job root{&call, 0, count, impl_->budget, kCallerIndex};
        {
            std::lock_guard<std::mutex> lock(impl_->roots_mutex);
            if (impl_->roots_tail) {
                impl_->roots_tail->next = &root;
            } else {
                impl_->roots_head = &root;
            }
            impl_->roots_tail = &root;
        }
        impl_->wake();
        std::unique_lock<std::mutex> lock(call.finished_mutex);
        call.finished_cv.wait(lock, [&] { return call.finished; });
    }
    // Every piece has finished (the root's completion, published through
    // `finished_mutex`, comes after them), so `error` is stable.
    if (call.error) std::rethrow_exception(call.error);
}

// ---------------------------------------------------------------------------
// The process-wide pool and fork
//
// Threads do not survive fork(): a child that inherited a pool pointer would
// queue work for workers that do not exist and block forever. The child
// handler therefore forgets the pool (the dead object is leaked on purpose:
// its mutexes may be locked by threads that are gone, so it must never be
// touched or destroyed), and the child builds a fresh pool on first use.
// `creation_mutex` is held across fork() so that no child inherits a pool
// half built.

namespace {

std::atomic<Pool*> g_pool{nullptr};
std::mutex creation_mutex;
bool atfork_registered = false; // under creation_mutex

void before_fork() {
    creation_mutex.lock();
}
void after_fork_parent() {
    creation_mutex.unlock();
}
void after_fork_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    creation_mutex.unlock(); // owned by this (the forking) thread
}

const char* read_env(const char* name) {
    return std::getenv(name);
}

} // namespace

Pool& instance() {
    // Acquire pairs with the release below: a thread that finds the pointer
    // sees the fully constructed pool.
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(creation_mutex);
    Pool* p = g_pool.load(std::memory_order_relaxed);
    if (!p) {
        if (!atfork_registered) {
            if (pthread_atfork(before_fork, after_fork_parent, after_fork_child) != 0) {
                throw std::bad_alloc();
            }
            atfork_registered = true;
        }
        p = new Pool(pool_size_from_env(read_env));
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

// ---------------------------------------------------------------------------
// Sizing

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

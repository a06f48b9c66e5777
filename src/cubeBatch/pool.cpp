// The worker pool: one queue of ranges waiting for a worker, an idle list so
// that each new range wakes one sleeping worker, and plain blocking waits.
//
// Why one queue and not a deque per worker: an idle worker then finds work in
// constant time whatever the pool size, instead of scanning every other
// worker's deque, which made starting thousands of workers cost time
// quadratic in their number. Stealing keeps its meaning: a range taken from
// the queue by a worker other than the one that queued it is stolen.
//
// Ownership, who may touch what:
//   Job        lives in the stack frame of whoever created it: the caller of
//              Pool::run for a root range, the splitting worker for a second
//              half (see the life cycle below).
//   Call       lives in Pool::run's frame; read by every worker that runs one
//              of its pieces; `error` is written under `error_mutex`.
//   Impl       the queue, the idle list, Worker::asleep, Job::stage and
//              Call::finished are under `mutex`. `queued` mirrors the queue
//              length for lock-free peeking only.
//
// The life cycle of a Job (Job::stage, every change under `mutex`):
//
//   created --push()--> queued --take()--> taken --execute()--> done
//                         queued --reclaim() or the caller's cancel--> reclaimed
//
//   queued     linked into the queue, where any worker may take it.
//   taken      unlinked by a worker, which runs the range in execute().
//   done       execute() has run the whole range. For a root job the Call's
//              `finished` is set in the same critical section, for a second
//              half `done` is stored (release) there, and the creator learns
//              of it under `mutex` or by an acquire load of `done`, so it
//              sees every write of the range. From that moment the creator's
//              frame may return: execute() touches the job no more.
//   reclaimed  taken back by its creator before anyone took it: reclaim()
//              for a second half, which the creator then divides itself, or
//              the caller's cancel guard for a root job (the call is then
//              finished with nothing run).
//
// A job's frame returns only once the job is done or reclaimed: divide()
// after reclaim() succeeded or serve(&second) saw `done`, Pool::run after
// `finished`. While it waits, serve() may run other jobs, each on a deeper
// stack level (at most kMaxNesting) and each done before that level
// returns, so frames unwind in order. Debug builds assert each transition.
//
// The one exception is a forked child (see Pool::run): its jobs may be left
// queued or taken, with nobody to touch them, as the child's frames unwind.
//
// Worker threads never touch Python objects: they only run PieceFn pointers.
// Nor do they touch thread-local storage (see pool.h): a piece gets its
// call's stop flag in its StopToken, and a call made from a piece finds its
// worker by the thread's id (Impl::worker_here).
#include "cubeBatch/pool.h"

#include "cube/at_fork.h"
#include "cube/glibc_symver.h"
#include "cubeBatch/captured_error.h"
#include "cubeBatch/cond_var.h"
#include "cubeBatch/pool_size.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sched.h>

namespace tessaroll::pool {

namespace {

constexpr std::size_t kCallerIndex = std::numeric_limits<std::size_t>::max();
// Rounds of yielding before an idle worker goes to sleep: long enough to
// catch the next range of a call that follows at once, short enough to cost
// nothing once the pool is idle. A new worker sleeps at once.
constexpr int kSpinRounds = 64;
// A worker whose queued half was stolen runs other ranges while it waits,
// one stack level each; past this depth it only waits, which bounds its
// stack use.
constexpr unsigned kMaxNesting = 8;
// Worker stacks. A range nests at most 64 splits (one per halving of its
// length) of about 300 bytes each on x86-64, so a level is under 20 KiB;
// kMaxNesting + 1 levels and a piece fit well. An explicit size keeps
// thousands of workers within a 32-bit address space, where the usual 8 MiB
// default would exhaust it at a few hundred threads. Sanitizers enlarge
// frames.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackBytes = std::size_t{4} << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kStackBytes = std::size_t{4} << 20;
#else
constexpr std::size_t kStackBytes = std::size_t{256} << 10;
#endif
#else
constexpr std::size_t kStackBytes = std::size_t{256} << 10;
#endif

struct Call {
    Call(PieceFn f, void* ctx) : fn(f), context(ctx) {}
    PieceFn fn;
    void* context;
    // Set when a piece fails or the caller cancels: later pieces are skipped
    // and running ones see it through their StopToken. Relaxed: a hint only;
    // `error` is published by `error_mutex` and by the completion of the
    // root job.
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    CapturedError error;
    // Completion of the whole call, for the blocked caller (Impl::mutex).
    CondVar finished_cv;
    bool finished = false;
};

enum class Stage : unsigned char { created, queued, taken, done, reclaimed };

struct Job {
    Job(Call* c, std::size_t b, std::size_t e, std::size_t s, std::size_t from)
        : call(c), begin(b), end(e), budget(s), creator(from) {}
    Call* call;
    std::size_t begin;
    std::size_t end;
    std::size_t budget;
    std::size_t creator; // worker index, or kCallerIndex for a root range
    // Queue links and the life-cycle stage, under Impl::mutex.
    Job* prev = nullptr;
    Job* next = nullptr;
    Stage stage = Stage::created;
    // Second halves only: set by the worker that ran it. Release, so that
    // the creator, reading it with acquire, sees every write of the half.
    std::atomic<bool> done{false};
};

struct Worker {
    std::size_t index = 0;
    Pool::Impl* pool = nullptr;
    pthread_t thread{}; // written by pthread_create, read only by other threads
    CondVar wake_cv;    // waited on with Impl::mutex
    // Under Impl::mutex: waiting in sleep(); and, if it may take work, in
    // the idle list that new ranges wake from.
    bool asleep = false;
    bool listed = false;
    Worker* idle_prev = nullptr;
    Worker* idle_next = nullptr;
    unsigned nesting = 0; // owner only
    // Leave the main loop (see Pool::Pool). Relaxed, like Impl::stopping.
    std::atomic<bool> quit{false};
};

unsigned fork_generation() noexcept;
void register_fork_handlers();

// pthread_t is an integer (glibc) or a pointer (musl); std::less orders both.
using ThreadSlot = std::pair<pthread_t, Worker*>;
bool thread_before(const ThreadSlot& a, const ThreadSlot& b) noexcept {
    return std::less<pthread_t>()(a.first, b.first);
}

} // namespace

struct Pool::Impl {
    std::size_t budget = 1;
    std::size_t workers_n = 1; // N of the division rule
    std::vector<std::unique_ptr<Worker>> workers;
    // The workers by thread id, sorted; fixed once Pool::Pool returns.
    std::vector<ThreadSlot> by_thread;

    std::mutex mutex;
    Job* head = nullptr; // oldest range, taken first
    Job* tail = nullptr;
    std::atomic<std::size_t> queued{0};
    Worker* idle = nullptr; // most recently idle first
    // Workers yielding between ranges, about to look at the queue again: a
    // new range then wakes nobody (one of them takes it; if it sleeps
    // first, sleep() sees the range under the lock). Read under `mutex` by
    // push, so a spinner that has gone to sleep is never counted.
    //
    // Relaxed everywhere: the count publishes no data, it only decides
    // whether push() and take() wake a sleeper. The one order that matters,
    // a spinner's decrement before it blocks, is carried by `mutex`: the
    // spinner decrements before sleep() takes the lock to look at the queue
    // and block, and push() links the range and reads the count under the
    // same lock. So a spinner still counted when a range arrives either
    // takes it in its next round or finds it in sleep(). Atomic because
    // spinners change it without the lock.
    std::atomic<std::size_t> spinners{0};
    // At most this many spin at once (the processors there are to run
    // them); the others go to sleep at once, so a pool of thousands of
    // workers does not keep thousands of threads yielding.
    std::size_t max_spinners = 1;
    // Set once, by ~Pool. Read relaxed outside the lock (serve's loop, the
    // fast path of sleep()), which is sound because nothing else is
    // published with it: the flag only tells a worker to leave, and a
    // worker that misses it there goes to sleep(), which reads it again
    // under `mutex`, the lock the setter holds while it raises the flag and
    // wakes the sleepers. So a worker either sees it or is woken after it.
    std::atomic<bool> stopping{false};

    // --- under `mutex` ---------------------------------------------------

    // Out of the queue, into `next`: taken or reclaimed.
    void unlink(Job& job, Stage next) {
        assert(job.stage == Stage::queued);
        (job.prev ? job.prev->next : head) = job.next;
        (job.next ? job.next->prev : tail) = job.prev;
        job.prev = job.next = nullptr;
        job.stage = next;
        queued.store(queued.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }

    void unlist(Worker& w) {
        (w.idle_prev ? w.idle_prev->idle_next : idle) = w.idle_next;
        if (w.idle_next) w.idle_next->idle_prev = w.idle_prev;
        w.idle_prev = w.idle_next = nullptr;
        w.listed = false;
    }

    // Mark one sleeping worker awake; the caller notifies it once the lock
    // is dropped (a Worker lives as long as the pool, so that is safe).
    Worker* rouse(Worker* w) {
        if (!w || !w->asleep) return nullptr;
        if (w->listed) unlist(*w);
        w->asleep = false;
        return w;
    }

    // --- queue and sleep ---------------------------------------------------

    void push(Job& job) {
        Worker* woken;
        {
            std::lock_guard<std::mutex> lock(mutex);
            assert(job.stage == Stage::created);
            job.prev = tail;
            (tail ? tail->next : head) = &job;
            tail = &job;
            job.stage = Stage::queued;
            queued.store(queued.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            woken = spinners.load(std::memory_order_relaxed) == 0 ? rouse(idle) : nullptr;
        }
        if (woken) woken->wake_cv.notify_one();
    }

    // Take `job` back if nobody has taken it yet.
    bool reclaim(Job& job) {
        std::lock_guard<std::mutex> lock(mutex);
        if (job.stage != Stage::queued) return false;
        unlink(job, Stage::reclaimed);
        return true;
    }

    Job* take() {
        if (queued.load(std::memory_order_relaxed) == 0) return nullptr;
        Job* job;
        Worker* woken = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            job = head;
            if (!job) return nullptr;
            unlink(*job, Stage::taken);
            // More is waiting and nobody is looking: pass the wake-up on, so
            // that a burst of ranges spreads over sleeping workers one by one.
            if (head && spinners.load(std::memory_order_relaxed) == 0) woken = rouse(idle);
        }
        if (woken) woken->wake_cv.notify_one();
        return job;
    }

    // Block until there may be something to do: a range in the queue (only
    // if `may_take`), `awaited` done, or the pool stopping.
    void sleep(Worker& self, const Job* awaited, bool may_take) {
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping.load(std::memory_order_relaxed) || self.quit.load(std::memory_order_relaxed) ||
            (may_take && head) || (awaited && awaited->done.load(std::memory_order_acquire))) {
            return;
        }
        self.asleep = true;
        if (may_take) {
            self.idle_prev = nullptr;
            self.idle_next = idle;
            if (idle) idle->idle_prev = &self;
            idle = &self;
            self.listed = true;
        }
        self.wake_cv.wait(lock, [&] { return !self.asleep; });
    }

    // --- running -------------------------------------------------------------

    void run_piece(Call& call, std::size_t begin, std::size_t end) noexcept {
        if (call.stop.load(std::memory_order_relaxed)) return;
        try {
            call.fn(call.context, begin, end, StopToken{&call.stop});
        } catch (...) {
            std::lock_guard<std::mutex> lock(call.error_mutex);
            if (!call.error) call.error.capture();
            call.stop.store(true, std::memory_order_relaxed);
        }
    }

    // The worker running on the calling thread, or null: a call made from a
    // piece. The table is fixed before any call can reach the pool.
    Worker* worker_here() const noexcept {
        const ThreadSlot here{pthread_self(), nullptr};
        const auto it = std::lower_bound(by_thread.begin(), by_thread.end(), here, thread_before);
        return it != by_thread.end() && pthread_equal(it->first, here.first) ? it->second : nullptr;
    }

    // Raise `stopping`, wake every worker and join them all.
    void stop_and_join() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping.store(true, std::memory_order_relaxed);
            for (auto& w : workers) {
                if (Worker* r = rouse(w.get())) r->wake_cv.notify_one();
            }
        }
        for (auto& w : workers)
            pthread_join(w->thread, nullptr);
    }

    void divide(Worker& self, Call& call, std::size_t begin, std::size_t end, Splitter splitter,
                bool stolen) noexcept {
        if (call.stop.load(std::memory_order_relaxed)) return;
        if (!splitter.try_split(end - begin, stolen)) {
            run_piece(call, begin, end);
            return;
        }
        const std::size_t mid = begin + (end - begin) / 2;
        Job second{&call, mid, end, splitter.budget, self.index};
        push(second);
        divide(self, call, begin, mid, splitter, false);
        if (reclaim(second)) {
            divide(self, call, mid, end, splitter, false);
        } else {
            serve(self, &second);
        }
        // Our frame, and `second` with it, ends here.
        assert(second.stage == Stage::done || second.stage == Stage::reclaimed);
    }

    // Run queued ranges until `awaited` is done (a second half that was
    // taken by someone) or, for a worker's main loop (`awaited` null), until
    // the pool stops. Idle rounds yield a little, then sleep.
    void serve(Worker& self, const Job* awaited) noexcept {
        int idle_rounds = awaited ? 0 : kSpinRounds;
        if (awaited) ++self.nesting;
        const bool may_take = self.nesting <= kMaxNesting;
        bool spinning = false;
        const auto stop_spinning = [&] {
            if (spinning) spinners.fetch_sub(1, std::memory_order_relaxed);
            spinning = false;
        };
        for (;;) {
            if (awaited ? awaited->done.load(std::memory_order_acquire)
                        : stopping.load(std::memory_order_relaxed) ||
                              self.quit.load(std::memory_order_relaxed)) {
                break;
            }
            if (may_take) {
                if (Job* job = take()) {
                    stop_spinning();
                    execute(self, *job);
                    idle_rounds = 0;
                    continue;
                }
            }
            if (idle_rounds < kSpinRounds && may_take && !spinning) {
                if (spinners.fetch_add(1, std::memory_order_relaxed) < max_spinners) {
                    spinning = true;
                } else {
                    // Enough others are looking already: sleep at once.
                    spinners.fetch_sub(1, std::memory_order_relaxed);
                    idle_rounds = kSpinRounds;
                }
            }
            if (idle_rounds < kSpinRounds) {
                ++idle_rounds;
                sched_yield();
                continue;
            }
            stop_spinning();
            sleep(self, awaited, may_take);
        }
        stop_spinning();
        if (awaited) --self.nesting;
    }

    void execute(Worker& self, Job& job) noexcept {
        Call& call = *job.call;
        if (job.creator == kCallerIndex) {
            // A caller's whole range: handed over, not stolen.
            divide(self, call, job.begin, job.end, Splitter{job.budget, workers_n}, false);
            std::lock_guard<std::mutex> lock(mutex);
            assert(job.stage == Stage::taken);
            job.stage = Stage::done;
            call.finished = true;
            // Notify under the lock: once the caller sees `finished` it
            // destroys the Call, condition variable included.
            call.finished_cv.notify_one();
            return;
        }
        divide(self, call, job.begin, job.end, Splitter{job.budget, workers_n},
               job.creator != self.index);
        Worker& creator = *workers[job.creator];
        Worker* woken;
        {
            std::lock_guard<std::mutex> lock(mutex);
            assert(job.stage == Stage::taken);
            job.stage = Stage::done;
            // After this store the creator may return and `job` is gone.
            job.done.store(true, std::memory_order_release);
            woken = rouse(&creator);
        }
        if (woken) woken->wake_cv.notify_one();
    }

    // Touches no thread-local variable, here or in anything it runs (see
    // pool.h).
    static void* worker_main(void* arg) noexcept {
        Worker& self = *static_cast<Worker*>(arg);
        self.pool->serve(self, nullptr);
        return nullptr;
    }
};

namespace {

std::atomic<testing::StartRefusal> g_start_refusal{nullptr};

// Start worker `w`'s thread; 0, or why it could not start.
int start_worker(Worker& w, const pthread_attr_t& attr) {
    if (const auto refusal = g_start_refusal.load(std::memory_order_acquire)) {
        if (const int rc = refusal(w.index); rc != 0) return rc;
    }
    return pthread_create(&w.thread, &attr, &Pool::Impl::worker_main, &w);
}

// Blocks asynchronous signals for the threads started while it lives (they
// inherit the mask), so that signals go to the interpreter's own threads;
// faults and other synchronous signals stay deliverable. sigprocmask sets the
// calling thread's mask on Linux, like pthread_sigmask, whose current glibc
// version (2.32) would be too new for the wheel.
class QuietSignals {
public:
    QuietSignals() noexcept {
        sigset_t set;
        sigfillset(&set);
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
            sigdelset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~QuietSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    QuietSignals(const QuietSignals&) = delete;
    QuietSignals& operator=(const QuietSignals&) = delete;

private:
    sigset_t old_;
};

} // namespace

Pool::Pool(std::size_t workers, std::size_t split_budget) {
    register_fork_handlers();
    workers = std::max<std::size_t>(workers, 1);
    auto impl = std::make_unique<Impl>();
    // From the first thread on, whatever fails stops and joins the threads
    // started before `impl`, which they use, is freed.
    struct JoinOnThrow {
        Impl& impl;
        bool armed = true;
        ~JoinOnThrow() {
            if (armed) impl.stop_and_join();
        }
    } join_on_throw{*impl};
    pthread_attr_t attr;
    if (const int rc = pthread_attr_init(&attr); rc != 0) {
        throw std::system_error(rc, std::generic_category(), "pthread_attr_init");
    }
    pthread_attr_setstacksize(&attr, kStackBytes);
    impl->max_spinners = std::min(workers, default_pool_size());
    // Why the last worker could not be had: 0 when all were.
    std::error_code refused;
    {
        QuietSignals quiet;
        // Workers are added one by one, so an absurd requested count costs
        // memory only for the threads the system actually starts. A worker
        // whose own state cannot be made (memory, or its condition variable)
        // counts as a refused thread; nothing is added for it. Its slot is
        // made first, so that nothing can fail once its thread runs.
        while (impl->workers.size() < workers) {
            try {
                impl->workers.push_back(nullptr);
                auto w = std::make_unique<Worker>();
                w->index = impl->workers.size() - 1;
                w->pool = impl.get();
                if (const int rc = start_worker(*w, attr); rc != 0) {
                    refused = std::error_code(rc, std::generic_category());
                    break;
                }
                impl->workers.back() = std::move(w);
            } catch (const std::system_error& e) {
                refused = e.code();
                break;
            } catch (...) {
                refused = std::make_error_code(std::errc::not_enough_memory);
                break;
            }
        }
        // The slot of the worker that could not be had, if it was made.
        if (!impl->workers.empty() && !impl->workers.back()) impl->workers.pop_back();
    }
    pthread_attr_destroy(&attr);
    if (impl->workers.empty()) {
        throw std::system_error(refused, "cannot start a worker thread");
    }
    // A refusal usually means memory or address space ran out: give half of
    // the threads back so that the process keeps room to work in (glibc
    // keeps up to 40 MiB of freed stacks for reuse, the rest is unmapped).
    // No work is queued yet, so they simply leave.
    if (refused && impl->workers.size() > 1) {
        const std::size_t keep = impl->workers.size() - impl->workers.size() / 2;
        for (std::size_t i = keep; i < impl->workers.size(); ++i) {
            Worker& w = *impl->workers[i];
            Worker* woken;
            {
                std::lock_guard<std::mutex> lock(impl->mutex);
                w.quit.store(true, std::memory_order_relaxed);
                woken = impl->rouse(&w);
            }
            if (woken) woken->wake_cv.notify_one();
            pthread_join(w.thread, nullptr);
        }
        impl->workers.resize(keep);
    }
    // Workers that never started, or left, are not in the pool at all: N
    // counts the threads that run.
    const std::size_t started = impl->workers.size();
    impl->by_thread.reserve(started);
    for (auto& w : impl->workers)
        impl->by_thread.emplace_back(w->thread, w.get());
    std::sort(impl->by_thread.begin(), impl->by_thread.end(), thread_before);
    impl->workers_n = started;
    impl->budget = split_budget ? split_budget : started;
    join_on_throw.armed = false;
    impl_ = impl.release();
}

Pool::~Pool() {
    impl_->stop_and_join();
    delete impl_;
}

std::size_t Pool::workers() const noexcept {
    return impl_->workers_n;
}

void Pool::run(std::size_t count, PieceFn fn, void* context, Poll poll) {
    if (count == 0) return;
    Call call{fn, context};
    if (Worker* here = impl_->worker_here()) {
        // Called from one of our own workers: divide right here rather than
        // wait for a queue this worker would have to serve itself.
        impl_->divide(*here, call, 0, count, Splitter{impl_->budget, impl_->workers_n}, false);
    } else {
        Job root{&call, 0, count, impl_->budget, kCallerIndex};
        impl_->push(root);
        std::unique_lock<std::mutex> lock(impl_->mutex);
        const auto finished = [&] { return call.finished; };
        if (!poll.fn) {
            call.finished_cv.wait(lock, finished);
        } else {
            // A poll that throws cancels the call. Its exception leaves this
            // frame only after every piece has stopped (they use `call` and
            // `root`, which live here): the guard runs during that unwinding.
            // The poll runs Python code, which may fork: in the child this
            // thread is alone, and the pool's mutex may have been held by a
            // worker that is gone there. So once the process has forked the
            // frame is left at once, touching nothing of the pool's.
            const unsigned generation = fork_generation();
            struct CancelOnThrow {
                Impl& pool;
                Call& call;
                Job& root;
                std::unique_lock<std::mutex>& lock;
                unsigned generation;
                bool armed = true;
                ~CancelOnThrow() {
                    if (!armed || fork_generation() != generation) return;
                    call.stop.store(true, std::memory_order_relaxed);
                    if (!lock.owns_lock()) lock.lock();
                    // Cancelled before any worker took the range: nothing runs.
                    if (root.stage == Stage::queued) {
                        pool.unlink(root, Stage::reclaimed);
                        call.finished = true;
                    }
                    call.finished_cv.wait(lock, [&] { return call.finished; });
                }
            } guard{*impl_, call, root, lock, generation};
            while (!call.finished_cv.wait_for(lock, kPollInterval, finished)) {
                lock.unlock();
                poll.fn(poll.context);
                if (fork_generation() != generation) throw ForkedDuringCall();
                lock.lock();
            }
            guard.armed = false;
        }
        assert(root.stage == Stage::done);
    }
    // Every piece has finished (the root's completion, published through
    // the pool's mutex, comes after them), so `error` is stable.
    if (call.error) call.error.rethrow();
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
// Counts the forks this process descends from (since the handlers below were
// registered): a pool call that sees it change while its poll ran is in a
// child, where its workers do not exist.
//
// Relaxed, because every read is ordered after the write it must see by
// other means, and nothing else is published with it. The parent's copy
// never changes. The child's is written by the child handler on the forking
// thread, the child's only thread, before fork() returns there: the call
// whose poll forked reads it on that same thread, and threads the child
// starts later read it after their start, which orders the write first.
std::atomic<unsigned> g_fork_generation{0};
std::mutex creation_mutex;

void before_fork() {
    creation_mutex.lock();
}
void after_fork_parent() {
    creation_mutex.unlock();
}
void after_fork_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
    creation_mutex.unlock(); // owned by this (the forking) thread
}

unsigned fork_generation() noexcept {
    return g_fork_generation.load(std::memory_order_relaxed);
}

// Once per process, before the first pool starts (a magic static: a
// registration that threw is tried again by the next pool).
void register_fork_handlers() {
    static const bool registered = [] {
        register_at_fork(before_fork, after_fork_parent, after_fork_child);
        return true;
    }();
    (void)registered;
}

const char* read_env(const char* name) {
    return std::getenv(name);
}

} // namespace

namespace testing {
StartRefusal set_start_refusal(StartRefusal refusal) noexcept {
    return g_start_refusal.exchange(refusal, std::memory_order_acq_rel);
}
} // namespace testing

Pool& instance() {
    // Acquire pairs with the release below: a thread that finds the pointer
    // sees the fully constructed pool.
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(creation_mutex);
    Pool* p = g_pool.load(std::memory_order_relaxed);
    if (!p) {
        p = new Pool(pool_size_from_env(read_env));
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

} // namespace tessaroll::pool

// The worker pool that every batch operation runs on.
//
// A call hands a range of items [0, count) to the pool and blocks until all of
// them have run. The range is cut adaptively: it starts with a split budget of
// N (the number of workers); a range of at least two items is halved while its
// budget is not 0, each half inheriting half the budget; a range that a worker
// other than the one that cut it off has taken over is halved even at budget
// 0, and its halves get max(N, budget / 2) again, so work that had to be
// stolen is spread further. The cutting worker continues with the first half
// and leaves the second for idle workers, running it itself when nobody took
// it. An uncut range is a piece, run in order by one worker.
//
// A caller that waits may be given a poll, which it runs every kPollInterval;
// when the poll throws, the call is cancelled: pieces not yet started are
// skipped, running pieces see their StopToken raised and return early, and
// the poll's exception reaches the caller once every piece has stopped.
//
// Nothing here touches Python; the pool only sees function pointers and
// integers. Nor does it keep anything in thread-local storage: a worker's
// first touch of a loaded module's thread-local block makes glibc allocate
// it, and glibc aborts the process when that allocation fails. A piece learns
// of its call through the token it is handed.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace tessaroll::pool {

// The division rule for one range. Plain data: each half gets a copy.
struct Splitter {
    std::size_t budget;  // splits this range may still make
    std::size_t workers; // N, what a stolen range's budget is raised to

    // Decide whether a range of `len` items is cut in two; on yes, `budget`
    // is what each half inherits. `stolen`: the range runs on a worker other
    // than the one that created it.
    constexpr bool try_split(std::size_t len, bool stolen) noexcept {
        if (len < 2) return false;
        if (stolen) {
            budget = std::max(workers, budget / 2);
            return true;
        }
        if (budget == 0) return false;
        budget /= 2;
        return true;
    }
};

// Handed to each piece: whether the call it belongs to has been cancelled,
// or another of its pieces has thrown. A long piece checks now and then and
// returns early, leaving each of its items either done, untouched or in some
// other consistent state. A default token, for work run outside the pool,
// never asks to stop.
class StopToken {
public:
    StopToken() noexcept = default;
    explicit StopToken(const std::atomic<bool>* flag) noexcept : flag_(flag) {}

    // Relaxed: a hint to return early; what the call's pieces wrote is
    // published by the call's completion, not by this flag.
    bool stop_requested() const noexcept {
        return flag_ != nullptr && flag_->load(std::memory_order_relaxed);
    }

private:
    const std::atomic<bool>* flag_ = nullptr;
};

// Runs one piece [begin, end) of a call. May throw: the first exception of a
// call is carried back to its caller, and the call's remaining pieces are
// skipped.
using PieceFn = void (*)(void* context, std::size_t begin, std::size_t end, StopToken stop);

// Call `piece` with the token when it takes one, else with the range alone.
template <class F>
void invoke_piece(F& piece, std::size_t begin, std::size_t end, StopToken stop) {
    if constexpr (std::is_invocable_v<F&, std::size_t, std::size_t, StopToken>) {
        piece(begin, end, stop);
    } else {
        piece(begin, end);
    }
}

// Run by a waiting caller on its own thread, about every kPollInterval. It
// may throw to cancel the call (see above).
struct Poll {
    void (*fn)(void* context) = nullptr;
    void* context = nullptr;
};
inline constexpr std::chrono::milliseconds kPollInterval{25};

// Thrown by a call whose poll forked the process (a signal handler calling
// os.fork()), in the child: the workers the call was waiting for exist only
// in the parent, so the child leaves the call at once, with its items done,
// untouched or partly done. Other calls in the child get a fresh pool.
struct ForkedDuringCall : std::runtime_error {
    ForkedDuringCall()
        : std::runtime_error("the process forked during this batch call, whose worker threads "
                             "do not exist in the child: the call was abandoned there and its "
                             "batch may be partly updated") {}
};

class Pool {
public:
    // Starts `workers` threads (at least one). When the system refuses a
    // thread (or a worker's own state cannot be made), which usually means
    // memory or address space has run out, the pool gives half of the
    // threads it started back and keeps the rest, at least one, so that the
    // process keeps room to work in; N is then the number kept. When not
    // even the first starts, it throws std::system_error; whatever it
    // throws, no thread is left behind. `split_budget` is the budget of a
    // whole range; 0 means N. Only tests pass a different budget, to trace
    // the division rule on a single worker.
    explicit Pool(std::size_t workers, std::size_t split_budget = 0);
    // Stops and joins the workers. The process-wide pool is never destroyed.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t workers() const noexcept;

    // Run items [0, count) and return when all have run; rethrows the
    // poll's exception, else the first exception a piece threw. Safe to call
    // from several threads at once, and from a piece (which then divides the
    // range on its own worker instead of waiting for one).
    void run(std::size_t count, PieceFn fn, void* context, Poll poll = {});

    // Same, with any callable `piece(begin, end, StopToken)` or
    // `piece(begin, end)`.
    template <class F>
    void for_each_piece(std::size_t count, F&& piece, Poll poll = {}) {
        using Fn = std::remove_reference_t<F>;
        run(
            count,
            [](void* ctx, std::size_t b, std::size_t e, StopToken stop) {
                invoke_piece(*static_cast<Fn*>(ctx), b, e, stop);
            },
            const_cast<void*>(static_cast<const void*>(&piece)), poll);
    }

    struct Impl;

private:
    Impl* impl_;
};

// The process-wide pool: created by the first call, sized from the
// environment, and kept for the life of the process (in a forked child, a
// fresh one is created on first use there).
Pool& instance();

namespace testing {
// Consulted before each of a new pool's thread starts, with the worker's
// index: 0 lets the thread start, an errno value refuses it as the system
// would, and an exception stands for a worker whose own state cannot be
// made. nullptr (the default) consults nothing; returns the previous one.
// For unit tests only.
using StartRefusal = int (*)(std::size_t worker);
StartRefusal set_start_refusal(StartRefusal refusal) noexcept;
} // namespace testing

// Runs piece(0, count) right here when `work` is below `inline_limit` (both
// in the caller's own unit of work), else on the process-wide pool with
// `poll`. Handing a call to the pool and waiting for it costs tens of
// microseconds, more than small calls take in all, so each caller sets its
// limit where that hand-off stops paying (bench/handoff_bench.cpp). The pool
// is created either way: it exists from the first batch operation on.
template <class F>
void run_sized(std::size_t count, std::uint64_t work, std::uint64_t inline_limit, F&& piece,
               Poll poll = {}) {
    Pool& pool = instance();
    if (work < inline_limit) {
        if (count != 0) invoke_piece(piece, std::size_t{0}, count, StopToken{});
        return;
    }
    pool.for_each_piece(count, piece, poll);
}

} // namespace tessaroll::pool

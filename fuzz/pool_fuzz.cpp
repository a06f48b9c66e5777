// The division of a range into pieces, under fuzzer-chosen lengths, pool
// sizes, split budgets and steal patterns: every item is covered by exactly
// one non-empty piece.
//
// Pool: one or two callers at once, each piece delaying by a fuzzer-chosen
// amount (yields, spins, or a nested call back into the pool from its worker)
// so that different halves get stolen. Splitter alone, with the rest of the
// input: the pool's halving, the fuzzer deciding which second halves another
// worker takes over; a range nobody takes over is cut into
// min(length, 2^bit_width(budget)) pieces.
#include "check.h"
#include "cubeBatch/pool.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace {

using tessaroll::pool::Pool;
using tessaroll::pool::Splitter;

struct Walk {
    FuzzedDataProvider& in;
    std::vector<unsigned> hits;
    std::size_t pieces = 0;
    bool any_stolen = false;

    void divide(std::size_t begin, std::size_t end, Splitter s, bool stolen) {
        any_stolen |= stolen;
        if (!s.try_split(end - begin, stolen)) {
            FUZZ_CHECK(begin < end);
            for (std::size_t i = begin; i < end; ++i)
                ++hits[i];
            ++pieces;
            return;
        }
        const std::size_t mid = begin + (end - begin) / 2;
        divide(begin, mid, s, false);
        divide(mid, end, s, in.ConsumeBool());
    }
};

struct Call {
    std::size_t count;
    std::vector<std::uint8_t> delays; // by piece start, cyclically
};

void run_call(Pool& pool, const Call& call) {
    std::vector<std::atomic<unsigned>> hits(call.count);
    pool.for_each_piece(call.count, [&](std::size_t begin, std::size_t end) {
        FUZZ_CHECK(begin < end && end <= call.count);
        for (std::size_t i = begin; i < end; ++i)
            hits[i].fetch_add(1, std::memory_order_relaxed);
        if (call.delays.empty()) return;
        const unsigned d = call.delays[begin % call.delays.size()];
        switch (d & 3) {
        case 0: break;
        case 1:
            for (unsigned i = 0; i < (d >> 2 & 3); ++i)
                std::this_thread::yield();
            break;
        case 2: {
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::microseconds(d >> 2 & 15);
            while (std::chrono::steady_clock::now() < until) {
            }
            break;
        }
        default: run_call(pool, Call{d >> 2, {}}); break;
        }
    });
    for (const auto& h : hits)
        FUZZ_CHECK(h.load(std::memory_order_relaxed) == 1);
}

Call next_call(FuzzedDataProvider& in) {
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 1024);
    return Call{count, in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 64))};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);

    // Pools are kept across inputs: starting threads would cost more than
    // the calls. Budget 0 is the default (the number of workers).
    static std::unique_ptr<Pool> pools[4][4];
    constexpr std::size_t kBudgets[4] = {0, 1, 3, 16};
    const std::size_t workers = in.ConsumeIntegralInRange<std::size_t>(1, 4);
    const std::size_t pool_budget = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    auto& slot = pools[workers - 1][pool_budget];
    if (!slot) slot = std::make_unique<Pool>(workers, kBudgets[pool_budget]);
    Pool& pool = *slot;
    const bool two_callers = in.ConsumeBool();
    const Call first = next_call(in);
    const Call second = next_call(in);
    std::thread other;
    if (two_callers) other = std::thread([&] { run_call(pool, second); });
    run_call(pool, first);
    if (other.joinable()) other.join();

    const std::size_t len = in.ConsumeIntegralInRange<std::size_t>(1, 4096);
    const std::size_t budget = in.ConsumeIntegral<std::size_t>();
    Walk walk{in, std::vector<unsigned>(len)};
    walk.divide(0, len, Splitter{budget, in.ConsumeIntegralInRange<std::size_t>(1, 64)}, false);
    for (unsigned h : walk.hits)
        FUZZ_CHECK(h == 1);
    if (!walk.any_stolen) {
        const int bits = std::bit_width(budget);
        FUZZ_CHECK(walk.pieces == (bits < 16 ? std::min(len, std::size_t{1} << bits) : len));
    }
    return 0;
}

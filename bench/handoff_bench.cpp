// Where the worker pool starts to pay: for each batch operation and a range
// of sizes, the best time of the work done on the calling thread against the
// same work handed to the pool. The first size at which the pool wins (and
// keeps winning) is where the batch code's inline limits come from.
// Built by hand, no CMake target:
//
//   g++ -std=c++20 -O3 -DNDEBUG -Isrc bench/handoff_bench.cpp \
//       src/cubeBatch/pool.cpp src/cubeBatch/mod.cpp src/cube/rng.cpp -lpthread \
//       -o /tmp/handoff_bench
//   RAYON_NUM_THREADS=2 /tmp/handoff_bench [rounds]
//
// Each operation is timed through the same entry the module uses, with its
// limit forced to 0 (always the pool) or to the maximum (always here), so the
// pieces are the real ones. Times are the best of `rounds` (default 9) after
// one warm-up call, back to back, as in a loop of batch calls.
#include "cube/cube.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"
#include "cubeBatch/mod.h"
#include "cubeBatch/pool.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <vector>

namespace {

using namespace tessaroll;
using Clock = std::chrono::steady_clock;

double best_us(int rounds, const std::function<void()>& fn) {
    double best = std::numeric_limits<double>::max();
    fn();
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return best;
}

// Time `op(limit)` with the limit forcing each path.
void row(const char* what, std::size_t size, int rounds,
         const std::function<void(std::uint64_t)>& op) {
    const double here = best_us(rounds, [&] { op(std::numeric_limits<std::uint64_t>::max()); });
    const double pool = best_us(rounds, [&] { op(0); });
    std::printf("%-22s %9zu %11.2f %11.2f %8.2f%s\n", what, size, here, pool, here / pool,
                here > pool ? "  pool wins" : "");
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    pool::Pool& p = pool::instance();
    std::printf("workers: %zu, best of %d\n", p.workers(), rounds);
    std::printf("%-22s %9s %11s %11s %8s\n", "operation", "size", "here us", "pool us",
                "here/pool");

    // Successor rows of 3x3 cubes (the heavier model), including the
    // allocation of the result: size in rows.
    for (std::size_t cubes : {16, 64, 128, 192, 256, 384, 512, 1024, 4096}) {
        std::vector<Cube3x3> states(cubes);
        row("next_states rows", cubes * kMoveCount, rounds, [&](std::uint64_t limit) {
            std::vector<std::int64_t> out(*successor_elements<Cube3x3>(cubes));
            write_successors(std::span<const Cube3x3>(states), std::span<std::int64_t>(out), {},
                             limit);
        });
    }

    // One move index per 3x3 cube: size in cubes.
    for (std::size_t cubes : {1024, 4096, 8192, 16384, 32768, 65536, 131072}) {
        CubeBatch batch(CubeSeq<Cube3x3>{cubes});
        std::vector<std::size_t> moves(cubes);
        for (std::size_t i = 0; i < cubes; ++i)
            moves[i] = (i * 7) % 12;
        row("apply_move_indexes", cubes, rounds, [&](std::uint64_t limit) {
            apply_move_indexes_internal(batch, moves.data(), cubes, {}, limit);
        });
    }

    // Scramble, 20 turns per 3x3 cube: size in turns.
    for (std::size_t cubes : {32, 64, 128, 256, 512, 1024, 2048, 8192}) {
        CubeBatch batch(CubeSeq<Cube3x3>{cubes});
        std::vector<std::int64_t> lengths(cubes, 20);
        row("scramble turns", cubes * 20, rounds, [&](std::uint64_t limit) {
            scramble_batch_internal(batch, lengths.data(), cubes, {}, limit);
        });
    }
    return 0;
}

// Nanoseconds per cube for the raw sticker projection (write_stickers_internal),
// the form the successor rows use. Built by hand, no CMake target:
//
//   g++ -std=c++20 -O2 -Isrc bench/stickers_bench.cpp -o /tmp/stickers_bench
//   /tmp/stickers_bench [cubes] [rounds]
//
// Projects a block of scrambled cubes into one int64 buffer, rounds times,
// and reports the best round; the turns that make the states are not timed.
#include "cube/cube.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

template <class C>
double best_ns_per_cube(std::size_t cubes, int rounds) {
    std::mt19937_64 rng(7);
    std::vector<C> states(cubes);
    for (auto& c : states)
        for (int m = 0; m < 25; ++m)
            tessaroll::apply_move_index_internal(c, rng() % 12);
    std::vector<std::int64_t> rows(cubes * C::sticker_dim);
    double best = 1e300;
    std::int64_t check = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < cubes; ++i) {
            states[i].write_stickers_internal(rows.data() + i * C::sticker_dim);
        }
        // Keep the stores observable.
        asm volatile("" : : "r"(rows.data()) : "memory");
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / cubes);
        check += rows[r % rows.size()];
    }
    std::printf("  (checksum %lld)\n", static_cast<long long>(check));
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t cubes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4096;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
    const double ns3 = best_ns_per_cube<tessaroll::Cube3x3>(cubes, rounds);
    const double ns2 = best_ns_per_cube<tessaroll::Cube2x2>(cubes, rounds);
    std::printf("Cube3x3 write_stickers_internal: %.2f ns per cube (54 int64)\n", ns3);
    std::printf("Cube2x2 write_stickers_internal: %.2f ns per cube (24 int64)\n", ns2);
}

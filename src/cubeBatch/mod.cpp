// Parallel move application and scrambling over a batch: one work item per
// paired cube, run on the worker pool (or on the calling thread when small).
#include "cubeBatch/mod.h"

#include "cube/chacha.h"
#include "cube/move_digits.h"
#include "cube/rng.h"
#include "cubeBatch/pool.h"
#include "cubeBatch/turn_table.h"

#include <algorithm>
#include <array>

namespace tessaroll {

namespace {

// How often a long piece looks whether its call was cancelled: a few
// hundred microseconds of work between two looks.
constexpr std::size_t kCubesPerStopCheck = std::size_t{1} << 16;
constexpr std::uint64_t kPairsPerStopCheck = std::uint64_t{1} << 15;

template <Cube C>
void apply_indexes(std::span<C> cubes, const std::size_t* indexes, std::size_t m, pool::Poll poll,
                   std::uint64_t inline_cubes) {
    C* const data = cubes.data();
    const std::size_t k = std::min(cubes.size(), m);
    pool::run_sized(
        k, k, inline_cubes,
        [&](std::size_t b, std::size_t e) {
            while (b < e) {
                const std::size_t stop = b + std::min(e - b, kCubesPerStopCheck);
                for (; b < stop; ++b)
                    apply_move_index_internal(data[b], indexes[b]);
                if (b < e && pool::stop_requested()) return;
            }
        },
        poll);
}

// One piece: a fresh ChaCha8 stream keyed with eight words of this worker's
// thread generator (which may throw if the system entropy source fails; the
// pool carries that back to the caller), then the cubes in order. Turns go
// two at a time through the branch-free pair rows (one uniform pair digit
// per row), which give the same states as apply_move_index_internal; an odd
// length ends with the single row of d % 12 for a fresh pair digit d, the
// second move of a uniform pair and so itself uniform over the 12 moves.
// Every kPairsPerStopCheck pairs, across cubes, the piece looks whether its
// call was cancelled; if so it stores the cube in hand, turned by whole
// pairs, and returns.
template <Cube C>
void scramble_piece(C* cubes, const std::int64_t* lengths, std::size_t count) {
    ThreadRng& seed_source = thread_rng();
    ChaCha<8>::Key key;
    for (auto& word : key)
        word = seed_source.next_u32();
    ChaCha<8> stream(key);
    MovePairDigits<ChaCha<8>> digits(stream);
    const auto& pairs = turn_table::pair_table<C>();
    const auto& singles = turn_table::table<C>();
    std::uint64_t until_check = kPairsPerStopCheck;
    for (std::size_t i = 0; i < count; ++i) {
        if (lengths[i] < 1) continue;
        C cube = cubes[i];
        const auto turns = static_cast<std::uint64_t>(lengths[i]);
        std::uint64_t left = turns / 2;
        while (left != 0) {
            const std::uint64_t run = std::min(left, until_check);
            for (std::uint64_t t = 0; t < run; ++t)
                turn_table::apply(cube, pairs[digits.next()]);
            left -= run;
            until_check -= run;
            if (until_check == 0) {
                until_check = kPairsPerStopCheck;
                if (pool::stop_requested()) {
                    cubes[i] = cube;
                    return;
                }
            }
        }
        if (turns % 2 != 0) turn_table::apply(cube, singles[digits.next() % kMoveCount]);
        cubes[i] = cube;
    }
}

// Total turns of the first k pairs, counted only up to `limit`.
std::uint64_t turns_up_to(const std::int64_t* lengths, std::size_t k, std::uint64_t limit) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < k && total < limit; ++i) {
        if (lengths[i] > 0) total += std::min(static_cast<std::uint64_t>(lengths[i]), limit);
    }
    return total;
}

template <Cube C>
void scramble_cubes(std::span<C> cubes, const std::int64_t* lengths, std::size_t m, pool::Poll poll,
                    std::uint64_t inline_turns) {
    C* const data = cubes.data();
    const std::size_t k = std::min(cubes.size(), m);
    pool::run_sized(
        k, turns_up_to(lengths, k, inline_turns), inline_turns,
        [&](std::size_t b, std::size_t e) { scramble_piece(data + b, lengths + b, e - b); }, poll);
}

} // namespace

void apply_move_indexes_internal(CubeBatch& batch, const std::size_t* indexes, std::size_t m,
                                 pool::Poll poll, std::uint64_t inline_cubes) {
    batch.visit([&](auto cubes) { apply_indexes(cubes, indexes, m, poll, inline_cubes); });
}

void scramble_batch_internal(CubeBatch& batch, const std::int64_t* lengths, std::size_t m,
                             pool::Poll poll, std::uint64_t inline_turns) {
    batch.visit([&](auto cubes) { scramble_cubes(cubes, lengths, m, poll, inline_turns); });
}

} // namespace tessaroll

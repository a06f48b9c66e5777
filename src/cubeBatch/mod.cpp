// Parallel move application and scrambling over a batch: one work item per
// paired cube, run on the worker pool.
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

template <Cube C>
void apply_indexes(std::span<C> cubes, const std::size_t* indexes, std::size_t m) {
    C* const data = cubes.data();
    pool::instance().for_each_piece(std::min(cubes.size(), m), [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            apply_move_index_internal(data[i], indexes[i]);
    });
}

// One piece: a fresh ChaCha8 stream keyed with eight words of this worker's
// thread generator (which may throw if the system entropy source fails; the
// pool carries that back to the caller), then the cubes in order. Turns go
// two at a time through the branch-free pair rows (one uniform pair digit
// per row), which give the same states as apply_move_index_internal; an odd
// length ends with the single row of d % 12 for a fresh pair digit d, the
// second move of a uniform pair and so itself uniform over the 12 moves.
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
    for (std::size_t i = 0; i < count; ++i) {
        if (lengths[i] < 1) continue;
        C cube = cubes[i];
        const auto turns = static_cast<std::uint64_t>(lengths[i]);
        for (std::uint64_t t = 0; t < turns / 2; ++t)
            turn_table::apply(cube, pairs[digits.next()]);
        if (turns % 2 != 0) turn_table::apply(cube, singles[digits.next() % kMoveCount]);
        cubes[i] = cube;
    }
}

template <Cube C>
void scramble_cubes(std::span<C> cubes, const std::int64_t* lengths, std::size_t m) {
    C* const data = cubes.data();
    pool::instance().for_each_piece(std::min(cubes.size(), m), [&](std::size_t b, std::size_t e) {
        scramble_piece(data + b, lengths + b, e - b);
    });
}

} // namespace

void apply_move_indexes_internal(CubeBatch& batch, const std::size_t* indexes, std::size_t m) {
    batch.visit([&](auto cubes) { apply_indexes(cubes, indexes, m); });
}

void scramble_batch_internal(CubeBatch& batch, const std::int64_t* lengths, std::size_t m) {
    batch.visit([&](auto cubes) { scramble_cubes(cubes, lengths, m); });
}

} // namespace tessaroll

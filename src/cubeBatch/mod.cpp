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
#include <cstdint>
#include <limits>
#include <memory>

namespace tessaroll {

namespace {

// How often a long piece looks whether its call was cancelled: a few
// hundred microseconds of work between two looks.
constexpr std::size_t kCubesPerStopCheck = std::size_t{1} << 16;
constexpr std::uint64_t kPairsPerStopCheck = std::uint64_t{1} << 15;

// The caller's argument array. Pending signal handlers run now and then
// during a long call (the poll), and a handler may write the caller's array
// or free its memory (ndarray.resize, __setstate__); workers must never read
// it then. Another thread may also write it at any time, without the
// interpreter lock (np.copyto releases it): a data race in the caller's code,
// whose values may be anything, but which must not stretch the work done
// before the first poll. So every value is read once, and work done without
// a poll is bounded whatever the values are:
//   - apply_move_indexes reads the array in place, with no poll, for its
//     first kCubesBeforePoll cubes (one move each, whatever the index), which
//     spares most calls a copy that would cost as much as a third of their
//     time (moves are that cheap); the rest of the array is copied before the
//     poll is first allowed to run, and the rest of the work reads the copy;
//   - scramble, whose work is the values themselves, copies every length
//     before any turn on the pool (8 bytes a cube, against tens of turns),
//     and a call small enough for the calling thread stops there as soon as
//     the turns it read would reach the limit, handing the rest to the pool.
// Copies are made in parallel and with no handler running (the caller holds
// the interpreter lock); each value is read once, as `narrow` turns it into
// what the work needs.
template <class Out, class In, class Narrow>
std::unique_ptr<Out[]> snapshot(const In* values, std::size_t k, Narrow narrow) {
    std::unique_ptr<Out[]> copy(new Out[k]);
    Out* const out = copy.get();
    pool::instance().for_each_piece(k, [&](std::size_t b, std::size_t e) {
        for (; b < e; ++b)
            out[b] = narrow(values[b]);
    });
    return copy;
}

// Run `work(values of items b.., b, e, stop)` over [0, k): items
// [0, in_place) on the caller's array without a poll, the rest on a copy
// with `poll`.
template <class Out, class In, class Narrow, class Work>
void in_place_then_copy(const In* values, std::size_t k, std::size_t in_place, Narrow narrow,
                        pool::Poll poll, Work work) {
    pool::Pool& pool = pool::instance();
    pool.for_each_piece(in_place, [&](std::size_t b, std::size_t e, pool::StopToken stop) {
        work(values + b, b, e, stop);
    });
    if (in_place == k) return;
    const std::size_t rest = k - in_place;
    const auto own = snapshot<Out>(values + in_place, rest, narrow);
    const Out* const copy = own.get();
    pool.for_each_piece(
        rest,
        [&](std::size_t b, std::size_t e, pool::StopToken stop) {
            work(copy + b, in_place + b, in_place + e, stop);
        },
        poll);
}

// An index above 11 leaves its cube unchanged, whatever its value: one byte
// holds every distinct case, so the copy reads 8 bytes and writes 1 per cube
// and the work then reads that byte instead of 8.
constexpr std::uint8_t narrow_index(std::size_t index) noexcept {
    return static_cast<std::uint8_t>(index < kMoveCount ? index : kMoveCount);
}

template <Cube C, class Index>
void apply_range(C* data, const Index* indexes, std::size_t b, std::size_t e,
                 pool::StopToken stop) {
    while (b < e) {
        const std::size_t pause = b + std::min(e - b, kCubesPerStopCheck);
        for (; b < pause; ++b)
            apply_move_index_internal(data[b], indexes[b]);
        if (b < e && stop.stop_requested()) return;
    }
}

template <Cube C>
void apply_indexes(std::span<C> cubes, const std::size_t* indexes, std::size_t m, pool::Poll poll,
                   std::uint64_t inline_cubes, std::uint64_t cubes_before_poll) {
    C* const data = cubes.data();
    const std::size_t k = std::min(cubes.size(), m);
    if (k < inline_cubes) {
        // On this thread, with no poll: nothing else runs meanwhile.
        pool::instance();
        apply_range(data, indexes, 0, k, {});
        return;
    }
    in_place_then_copy<std::uint8_t>(
        indexes, k, static_cast<std::size_t>(std::min<std::uint64_t>(k, cubes_before_poll)),
        narrow_index, poll,
        [&](const auto* values, std::size_t b, std::size_t e, pool::StopToken stop) {
            apply_range(data + b, values, 0, e - b, stop);
        });
}

using PieceKey = ChaCha<8>::Key;

// The key of every piece of one scramble call: eight words of the calling
// thread's generator, drawn before any cube changes (an unreadable entropy
// source then fails the call with the batch untouched). The workers need no
// generator of their own.
PieceKey draw_piece_key() {
    ThreadRng& rng = thread_rng();
    PieceKey key;
    for (auto& word : key)
        word = rng.next_u32();
    return key;
}

// One piece: cubes [first, first + count) of the call, in order, drawing
// from the call's key with stream number `first`. Pieces of a call start at
// different cubes, so their streams are different ChaCha8 streams of one
// key: independent, and never shared. Each length is read once, and a cube
// whose turns would bring the piece's turns to `budget` or beyond is not
// started: the piece returns the number of cubes it finished (`count` unless
// it stopped). Turns go two at a time through the branch-free pair rows (one
// uniform pair digit per row), which give the same states as
// apply_move_index_internal; an odd length ends with the single row of d % 12
// for a fresh pair digit d, the second move of a uniform pair and so itself
// uniform over the 12 moves. Every kPairsPerStopCheck pairs, across cubes,
// the piece looks whether its call was cancelled; if so it stores the cube
// in hand, turned by whole pairs, and returns.
template <Cube C, class Length>
std::size_t scramble_piece(C* cubes, const Length* lengths, std::size_t count, const PieceKey& key,
                           std::uint64_t first, std::uint64_t budget, pool::StopToken stop) {
    ChaCha<8> stream(key, 0, first);
    MovePairDigits<ChaCha<8>> digits(stream);
    const auto& pairs = turn_table::pair_table<C>();
    const auto& singles = turn_table::table<C>();
    std::uint64_t until_check = kPairsPerStopCheck;
    for (std::size_t i = 0; i < count; ++i) {
        // Read once: the sign test, the budget and the count see one value.
        const Length length = lengths[i];
        if (length < 1) continue;
        const auto turns = static_cast<std::uint64_t>(length);
        if (turns >= budget) return i;
        budget -= turns;
        C cube = cubes[i];
        std::uint64_t left = turns / 2;
        while (left != 0) {
            const std::uint64_t run = std::min(left, until_check);
            for (std::uint64_t t = 0; t < run; ++t)
                turn_table::apply(cube, pairs[digits.next()]);
            left -= run;
            until_check -= run;
            if (until_check == 0) {
                until_check = kPairsPerStopCheck;
                if (stop.stop_requested()) {
                    cubes[i] = cube;
                    return i;
                }
            }
        }
        if (turns % 2 != 0) turn_table::apply(cube, singles[digits.next() % kMoveCount]);
        cubes[i] = cube;
    }
    return count;
}

inline constexpr std::uint64_t kNoBudget = std::numeric_limits<std::uint64_t>::max();

// Whether the first k lengths come to fewer than `limit` turns in all. Only
// a first look, to choose where the call runs: the values are read again
// when they are used, and a writer racing the call may have changed them.
bool turns_below(const std::int64_t* lengths, std::size_t k, std::uint64_t limit) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const std::int64_t length = lengths[i];
        if (length < 1) continue;
        const auto turns = static_cast<std::uint64_t>(length);
        if (turns >= limit - total) return false;
        total += turns;
    }
    return true;
}

// A length below 1 means no turns: all of them become 0 in the copy.
constexpr std::uint64_t turns_of(std::int64_t length) noexcept {
    return length > 0 ? static_cast<std::uint64_t>(length) : 0;
}

template <Cube C>
void scramble_cubes(std::span<C> cubes, const std::int64_t* lengths, std::size_t m, pool::Poll poll,
                    std::uint64_t inline_turns) {
    C* const data = cubes.data();
    const std::size_t k = std::min(cubes.size(), m);
    const PieceKey key = draw_piece_key();
    pool::Pool& pool = pool::instance();
    std::size_t done = 0;
    if (turns_below(lengths, k, inline_turns)) {
        // On this thread, with no poll: nothing else runs meanwhile, and the
        // budget holds the work below the limit whatever the lengths now say.
        done = scramble_piece(data, lengths, k, key, 0, inline_turns, {});
        if (done == k) return;
    }
    const std::size_t rest = k - done;
    const auto own = snapshot<std::uint64_t>(lengths + done, rest, turns_of);
    const std::uint64_t* const copy = own.get();
    pool.for_each_piece(
        rest,
        [&](std::size_t b, std::size_t e, pool::StopToken stop) {
            scramble_piece(data + done + b, copy + b, e - b, key, done + b, kNoBudget, stop);
        },
        poll);
}

} // namespace

void apply_move_indexes_internal(CubeBatch& batch, const std::size_t* indexes, std::size_t m,
                                 pool::Poll poll, std::uint64_t inline_cubes,
                                 std::uint64_t cubes_before_poll) {
    batch.visit([&](auto cubes) {
        apply_indexes(cubes, indexes, m, poll, inline_cubes, cubes_before_poll);
    });
}

void scramble_batch_internal(CubeBatch& batch, const std::int64_t* lengths, std::size_t m,
                             pool::Poll poll, std::uint64_t inline_turns) {
    batch.visit([&](auto cubes) { scramble_cubes(cubes, lengths, m, poll, inline_turns); });
}

} // namespace tessaroll

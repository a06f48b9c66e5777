// Batch cores without Python: pairing, an entropy failure reaching the
// caller as an exception before any cube changes, the calling-thread path
// against the pool's, and the random streams of a scramble call.
#include "cube/chacha.h"
#include "cube/rng.h"
#include "cubeBatch/mod.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

namespace tessaroll {
namespace {

void failing_source(std::span<std::byte>) {
    throw std::system_error(EIO, std::generic_category(), "entropy unavailable");
}

std::vector<Cube3x3> cubes_of(const CubeBatch& batch) {
    std::vector<Cube3x3> out;
    batch.visit([&](auto cubes) {
        for (const auto& c : cubes) {
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(c)>, Cube3x3>)
                out.push_back(c);
        }
    });
    return out;
}

// The key of a call's pieces is drawn on the calling thread before any cube
// changes: a fresh thread's first draw meets the failing source, and the
// call throws with every cube as it was, on the pool (inline limit 0) and on
// the calling thread alike. Once the source works, so does the call.
TEST(BatchScramble, EntropyFailureFailsTheCallBeforeAnyCubeChanges) {
    for (const std::uint64_t inline_limit : {std::uint64_t{0}, kInlineTurns}) {
        CubeBatch batch(CubeSeq<Cube3x3>(64));
        const std::vector<std::int64_t> lengths(64, 5);
        const auto previous = testing::set_entropy_source(&failing_source);
        std::thread([&] {
            EXPECT_THROW(
                scramble_batch_internal(batch, lengths.data(), lengths.size(), {}, inline_limit),
                std::system_error);
        }).join();
        testing::set_entropy_source(previous);
        for (const auto& c : cubes_of(batch))
            EXPECT_TRUE(c.is_solved());
        std::thread([&] {
            scramble_batch_internal(batch, lengths.data(), lengths.size(), {}, inline_limit);
        }).join();
        for (const auto& c : cubes_of(batch))
            EXPECT_FALSE(c.is_solved());
    }
}

TEST(BatchApply, PairsTheCommonPrefixAndIgnoresLargeIndexes) {
    CubeBatch batch(CubeSeq<Cube3x3>(4));
    const std::vector<std::size_t> indexes = {4, 12, static_cast<std::size_t>(-1)};
    apply_move_indexes_internal(batch, indexes.data(), indexes.size());
    const auto cubes = cubes_of(batch);
    Cube3x3 r;
    r.do_r_move_internal();
    EXPECT_EQ(cubes[0], r);
    EXPECT_TRUE(cubes[1].is_solved() && cubes[2].is_solved() && cubes[3].is_solved());
}

constexpr auto kAlwaysHere = std::numeric_limits<std::uint64_t>::max();

TEST(BatchInline, CallingThreadAndPoolGiveTheSameStates) {
    CubeBatch here(CubeSeq<Cube3x3>(300)), pooled(CubeSeq<Cube3x3>(300));
    std::vector<std::size_t> indexes(300);
    for (int round = 0; round < 5; ++round) {
        for (std::size_t i = 0; i < indexes.size(); ++i)
            indexes[i] = (i * 7 + static_cast<std::size_t>(round) * 5) % 13;
        apply_move_indexes_internal(here, indexes.data(), indexes.size(), {}, kAlwaysHere);
        apply_move_indexes_internal(pooled, indexes.data(), indexes.size(), {}, 0);
    }
    const auto states = cubes_of(here);
    EXPECT_EQ(states, cubes_of(pooled));
    EXPECT_FALSE(states[1].is_solved());

    const std::span<const Cube3x3> in(states);
    const std::size_t elements = *successor_elements<Cube3x3>(in.size());
    ASSERT_EQ(elements, 12 * 54 * states.size());
    // Filled with a marker first, so that a row left unwritten shows.
    std::vector<std::int64_t> a(elements, -1), b(elements, -1);
    write_successors(in, std::span<std::int64_t>(a), {}, kAlwaysHere);
    write_successors(in, std::span<std::int64_t>(b), {}, 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::count(a.begin(), a.end(), -1), 0);
}

// A pool call reads its array in place for a first stretch and from a copy
// after it (moves narrowed to a byte): wherever the cut falls, the states are
// those of the calling thread's in-place run, indexes far above 11 included.
class BatchCopyCut : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(BatchCopyCut, MovesMatchTheCallingThreadWhereverTheCutFalls) {
    CubeBatch here(CubeSeq<Cube3x3>(300)), pooled(CubeSeq<Cube3x3>(300));
    std::vector<std::size_t> indexes(300);
    for (std::size_t i = 0; i < indexes.size(); ++i)
        indexes[i] = i % 3 == 0 ? i % 12 : (i % 3 == 1 ? 12 + i : ~i); // 256: not U
    for (int round = 0; round < 3; ++round) {
        apply_move_indexes_internal(here, indexes.data(), indexes.size(), {}, kAlwaysHere);
        apply_move_indexes_internal(pooled, indexes.data(), indexes.size(), {}, 0, GetParam());
    }
    EXPECT_EQ(cubes_of(here), cubes_of(pooled));
}

// Lengths below 1 turn nothing, whether the call stays on the calling thread
// or runs on the pool from a copy: a cube turned an odd number of times has
// odd corner permutation parity, an even one even.
TEST_P(BatchCopyCut, ScrambleLengthsKeepTheirSignAndParityWhereverTheCallRuns) {
    CubeBatch batch(CubeSeq<Cube3x3>(200));
    std::vector<std::int64_t> lengths(200);
    for (std::size_t i = 0; i < lengths.size(); ++i)
        lengths[i] =
            i % 4 == 0 ? -static_cast<std::int64_t>(i) - 1 : static_cast<std::int64_t>(i % 9);
    scramble_batch_internal(batch, lengths.data(), lengths.size(), {}, GetParam() * 4);
    const auto cubes = cubes_of(batch);
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        unsigned inversions = 0;
        for (unsigned a = 0; a < 8; ++a)
            for (unsigned b = a + 1; b < 8; ++b)
                inversions +=
                    ((cubes[i].corners >> (5 * a)) & 7) > ((cubes[i].corners >> (5 * b)) & 7);
        if (lengths[i] <= 0) {
            EXPECT_TRUE(cubes[i].is_solved()) << i;
        } else {
            EXPECT_EQ(inversions % 2, static_cast<unsigned>(lengths[i] % 2)) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cuts, BatchCopyCut, ::testing::Values(0, 1, 150, 299, 300, 1000));

// The random streams of a scramble call, word for word. The calling thread
// draws one ChaCha8 key, eight words of its own generator, and each piece
// reads the stream of that key numbered by its first cube. The model below
// shares none of the drawing code: words at or above 9 * 12^8 are rejected,
// an accepted word gives four base-144 pair digits lowest first, pair d is
// move d / 12 then move d % 12, and an odd length ends with d % 12 of one
// more pair digit.
class StreamModel {
public:
    StreamModel(const ChaCha<8>::Key& key, std::uint64_t stream) : gen_(key, 0, stream) {}

    template <Cube C>
    void turn(C& cube, std::int64_t length) {
        for (std::int64_t t = 0; t + 1 < length; t += 2) {
            const unsigned d = pair();
            apply_move_index_internal(cube, d / 12);
            apply_move_index_internal(cube, d % 12);
        }
        if (length > 0 && length % 2 != 0) apply_move_index_internal(cube, pair() % 12);
    }

private:
    unsigned pair() {
        if (left_ == 0) {
            do {
                word_ = gen_.next_u32();
            } while (word_ >= 9u * 429981696u);
            left_ = 4;
        }
        --left_;
        const unsigned d = word_ % 144;
        word_ /= 144;
        return d;
    }

    ChaCha<8> gen_;
    std::uint32_t word_ = 0;
    unsigned left_ = 0;
};

// Entropy for a fresh thread's generator: byte b of the seed is b * 7 + 1.
void fixed_source(std::span<std::byte> out) {
    for (std::size_t b = 0; b < out.size(); ++b)
        out[b] = std::byte((b * 7 + 1) & 0xFF);
}

// The key a fresh thread draws under fixed_source: its generator is ChaCha12
// of the seed, read from the start.
ChaCha<8>::Key expected_piece_key() {
    ChaCha<12>::Key seed;
    for (std::uint32_t i = 0; i < 8; ++i) {
        seed[i] = 0;
        for (std::uint32_t k = 0; k < 4; ++k)
            seed[i] |= (((4 * i + k) * 7 + 1) & 0xFF) << (8 * k);
    }
    ChaCha<12> thread_gen(seed);
    ChaCha<8>::Key key;
    for (auto& word : key)
        word = thread_gen.next_u32();
    return key;
}

// Scrambles a new batch on a fresh thread (whose generator is then seeded
// from fixed_source) and returns its cubes.
std::vector<Cube3x3> scramble_on_fresh_thread(const std::vector<std::int64_t>& lengths,
                                              std::uint64_t inline_turns) {
    CubeBatch batch(CubeSeq<Cube3x3>(lengths.size()));
    const auto previous = testing::set_entropy_source(&fixed_source);
    std::thread([&] {
        scramble_batch_internal(batch, lengths.data(), lengths.size(), {}, inline_turns);
    }).join();
    testing::set_entropy_source(previous);
    return cubes_of(batch);
}

// Lengths of 5 to 11 turns, and every fifth one below 1: a state reached by
// five or more drawn turns matches a different draw only by a chance of about
// 12^-5.
std::vector<std::int64_t> mixed_lengths(std::size_t n) {
    std::vector<std::int64_t> lengths(n);
    for (std::size_t i = 0; i < n; ++i)
        lengths[i] =
            i % 5 == 4 ? -static_cast<std::int64_t>(i) : 5 + static_cast<std::int64_t>(i % 7);
    return lengths;
}

TEST(BatchStreams, OnTheCallingThreadOnePieceReadsStreamZero) {
    const auto lengths = mixed_lengths(120);
    const auto cubes = scramble_on_fresh_thread(lengths, kAlwaysHere);
    StreamModel model(expected_piece_key(), 0);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        Cube3x3 expected;
        model.turn(expected, lengths[i]);
        ASSERT_EQ(cubes[i], expected) << "cube " << i;
    }
}

// On the pool the pieces are not known in advance. fits[s][i]: cube i is
// what the stream numbered s gives it after serving cubes s..i-1 first, as
// it would in a piece that starts at cube s. Cube by cube, the starts still
// possible for the piece holding cube i are those of cube i - 1 that fit it
// too, and i itself if it fits; there must always be one. The pool's
// workers cut the call (2 items or more are always cut at least once), so
// stream 0 alone cannot explain the last cube.
TEST(BatchStreams, OnThePoolEachPieceReadsTheStreamOfItsFirstCube) {
    const auto lengths = mixed_lengths(160);
    const std::size_t n = lengths.size();
    const auto cubes = scramble_on_fresh_thread(lengths, 0);
    const auto key = expected_piece_key();
    std::vector<std::vector<bool>> fits(n, std::vector<bool>(n));
    for (std::size_t s = 0; s < n; ++s) {
        StreamModel model(key, s);
        for (std::size_t i = s; i < n; ++i) {
            Cube3x3 expected;
            model.turn(expected, lengths[i]);
            fits[s][i] = cubes[i] == expected;
        }
    }
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::size_t> next;
        for (std::size_t s : starts)
            if (fits[s][i]) next.push_back(s);
        if (fits[i][i]) next.push_back(i);
        ASSERT_FALSE(next.empty()) << "no piece explains cube " << i;
        starts = std::move(next);
    }
    EXPECT_EQ(std::find(starts.begin(), starts.end(), 0u), starts.end());
}

} // namespace
} // namespace tessaroll

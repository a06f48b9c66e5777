// Batch cores without Python: pairing, an entropy failure on a worker
// reaching the caller as an exception instead of a crash, and the
// calling-thread path against the pool's.
#include "cube/rng.h"
#include "cubeBatch/mod.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
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

TEST(BatchScramble, EntropyFailureOnAWorkerReachesTheCaller) {
    // The process-wide pool's workers have not seeded their generators yet
    // in this binary, so their first draw fails.
    CubeBatch batch(CubeSeq<Cube3x3>(64));
    const std::vector<std::int64_t> lengths(64, 5);
    const auto previous = testing::set_entropy_source(&failing_source);
    // Inline limit 0: on the pool even at this size.
    EXPECT_THROW(scramble_batch_internal(batch, lengths.data(), lengths.size(), {}, 0),
                 std::system_error);
    testing::set_entropy_source(previous);
    for (const auto& c : cubes_of(batch))
        EXPECT_TRUE(c.is_solved());
    scramble_batch_internal(batch, lengths.data(), lengths.size());
    for (const auto& c : cubes_of(batch))
        EXPECT_FALSE(c.is_solved());
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

// Lengths below 1 turn nothing wherever the cut falls: a cube turned an odd
// number of times has odd corner permutation parity, an even one even.
TEST_P(BatchCopyCut, ScrambleLengthsKeepTheirSignAndParityWhereverTheCutFalls) {
    CubeBatch batch(CubeSeq<Cube3x3>(200));
    std::vector<std::int64_t> lengths(200);
    for (std::size_t i = 0; i < lengths.size(); ++i)
        lengths[i] =
            i % 4 == 0 ? -static_cast<std::int64_t>(i) - 1 : static_cast<std::int64_t>(i % 9);
    scramble_batch_internal(batch, lengths.data(), lengths.size(), {}, 0, GetParam() * 4);
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

} // namespace
} // namespace tessaroll

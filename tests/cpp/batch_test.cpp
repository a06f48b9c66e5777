// Batch cores without Python: pairing, and an entropy failure on a worker
// reaching the caller as an exception instead of a crash.
#include "cube/rng.h"
#include "cubeBatch/mod.h"

#include <gtest/gtest.h>

#include <cerrno>
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
    EXPECT_THROW(scramble_batch_internal(batch, lengths.data(), lengths.size()), std::system_error);
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

} // namespace
} // namespace tessaroll

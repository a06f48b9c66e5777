// Batch calls on the pool or the calling thread: apply_move_indexes reads a
// fuzzer-chosen first stretch of its argument array in place and copies the
// rest (move indexes narrowed to a byte each); scramble runs on the calling
// thread below a fuzzer-chosen number of turns and from a copy of the
// lengths (those below 1 made 0) on the pool. Under fuzzer-chosen batch
// sizes, array lengths and values, including indexes far above 11 and
// negative lengths:
//
//   apply_move_indexes_internal gives what apply_move_index_internal gives
//   one cube at a time with the raw index;
//   scramble_batch_internal leaves a cube with length <= 0 as it was, and
//   gives one with length L > 0 the permutation parity L mod 2 on corners
//   (and edges, 3x3), as each quarter turn is a 4-cycle of both;
//   cubes past the array are never touched.
#include "check.h"
#include "cubeBatch/mod.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace {

using namespace tessaroll;

// Parity of the permutation in the low `piece_bits` of each 5-bit field.
unsigned parity(std::uint64_t word, unsigned fields, unsigned piece_mask) {
    unsigned inversions = 0;
    for (unsigned i = 0; i < fields; ++i)
        for (unsigned j = i + 1; j < fields; ++j)
            inversions += ((word >> (5 * i)) & piece_mask) > ((word >> (5 * j)) & piece_mask);
    return inversions & 1;
}

template <Cube C>
std::vector<unsigned> parities(const C& c) {
    if constexpr (std::is_same_v<C, Cube2x2>) {
        return {parity(c.state, 8, 7)};
    } else {
        return {parity(c.corners, 8, 7), parity(c.edges, 12, 15)};
    }
}

// Each cube starts a few fuzzer-chosen turns from solved, so that a cube the
// call leaves alone is told apart from a solved one.
template <Cube C>
std::vector<C> start_cubes(FuzzedDataProvider& in, std::size_t n) {
    std::vector<C> cubes(n);
    for (auto& c : cubes)
        for (unsigned t = in.ConsumeIntegralInRange<unsigned>(0, 3); t != 0; --t)
            apply_move_index_internal(c, in.ConsumeIntegralInRange<std::size_t>(0, 11));
    return cubes;
}

template <Cube C>
std::vector<C> contents(const CubeBatch& batch) {
    std::vector<C> out;
    batch.visit([&](auto cubes) {
        if constexpr (std::is_same_v<std::remove_const_t<typename decltype(cubes)::element_type>,
                                     C>)
            out.assign(cubes.begin(), cubes.end());
    });
    return out;
}

template <Cube C>
CubeBatch batch_of(const std::vector<C>& cubes) {
    CubeBatch batch(CubeSeq<C>(cubes.size()));
    batch.visit([&](auto span) {
        if constexpr (std::is_same_v<typename decltype(span)::element_type, C>)
            for (std::size_t i = 0; i < cubes.size(); ++i)
                span[i] = cubes[i];
    });
    return batch;
}

template <Cube C>
void check(FuzzedDataProvider& in) {
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 300);
    const std::size_t m = in.ConsumeIntegralInRange<std::size_t>(0, 300);
    // Inline limit 0 sends even an empty call to the pool; the default keeps
    // small calls on this thread, which reads the caller's array directly.
    const std::uint64_t inline_limit = in.ConsumeBool() ? 0 : kInlineCubes;
    // Moves read in place before the copy: none, some, or all of them; and
    // the turns below which a scramble stays on this thread.
    const std::uint64_t cubes_in_place = in.ConsumeIntegralInRange<std::uint64_t>(0, 320);
    const std::uint64_t turns_inline = in.ConsumeIntegralInRange<std::uint64_t>(0, 30000);
    const std::vector<C> before = start_cubes<C>(in, n);

    std::vector<std::size_t> indexes(m);
    for (auto& index : indexes)
        index = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, 11)
                                 : in.ConsumeIntegral<std::size_t>();
    CubeBatch applied = batch_of(before);
    apply_move_indexes_internal(applied, indexes.data(), m, {}, inline_limit, cubes_in_place);
    const std::vector<C> after = contents<C>(applied);
    for (std::size_t i = 0; i < n; ++i) {
        C expected = before[i];
        if (i < m) apply_move_index_internal(expected, indexes[i]);
        FUZZ_CHECK(after[i] == expected);
    }

    std::vector<std::int64_t> lengths(m);
    for (auto& length : lengths) {
        const auto v = in.ConsumeIntegral<std::int64_t>();
        length = v > 0 ? v % 97 : v;
    }
    CubeBatch scrambled = batch_of(before);
    scramble_batch_internal(scrambled, lengths.data(), m, {}, turns_inline);
    const std::vector<C> turned = contents<C>(scrambled);
    for (std::size_t i = 0; i < n; ++i) {
        if (i >= m || lengths[i] <= 0) {
            FUZZ_CHECK(turned[i] == before[i]);
            continue;
        }
        const unsigned odd = static_cast<unsigned>(lengths[i] & 1);
        const auto start = parities(before[i]);
        const auto end = parities(turned[i]);
        for (std::size_t k = 0; k < start.size(); ++k)
            FUZZ_CHECK((start[k] ^ end[k]) == odd);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        check<Cube2x2>(in);
    } else {
        check<Cube3x3>(in);
    }
    return 0;
}

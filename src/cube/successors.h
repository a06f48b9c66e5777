// Successor generation, written once over the Cube interface: for n states,
// the sticker arrays of all twelve quarter-turn successors, as 12 * n rows of
// sticker_dim int64 colour codes. Row 12c + i is state c after move index i.
//
// The kernel neither allocates nor schedules: the caller hands it the output
// block and a runner that spreads the rows over threads (or not), so that
// this floor stays free of the worker pool and of Python.
#pragma once

#include "cube/cube.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace tessaroll {

// Rows between two looks at whether the call was cancelled.
inline constexpr std::size_t kRowsPerStopCheck = 4096;

// Elements (12 * n * sticker_dim) of the successor rows of n states; nullopt
// when their bytes would not fit the address space (ptrdiff_t).
template <Cube C>
constexpr std::optional<std::size_t> successor_elements(std::size_t n) noexcept {
    constexpr std::size_t kMaxElements =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(std::int64_t);
    constexpr std::size_t kPerCube = kMoveCount * C::sticker_dim;
    if (n > kMaxElements / kPerCube) return std::nullopt;
    return n * kPerCube;
}

// Fills `out`, which holds successor_elements<C>(cubes.size()) elements, with
// the successor rows of `cubes`. `run(rows, piece)` must call piece(begin,
// end, stop) over disjoint ranges covering [0, rows), on any threads, where
// `stop.stop_requested()` tells the piece to give up; each piece writes its
// rows in place, with no allocation per row or per cube, and returns early
// once told to (it looks every kRowsPerStopCheck rows), leaving the rest of
// its rows unwritten.
template <Cube C, class Runner>
void next_states_internal(std::span<const C> cubes, std::span<std::int64_t> out, Runner&& run) {
    constexpr std::size_t S = C::sticker_dim;
    const C* const in = cubes.data();
    std::int64_t* const base = out.data();
    run(kMoveCount * cubes.size(), [&](std::size_t begin, std::size_t end, const auto& stop) {
        std::size_t cube = begin / kMoveCount;
        std::size_t move = begin % kMoveCount;
        std::int64_t* row = base + begin * S;
        while (begin < end) {
            const std::size_t pause = begin + std::min(end - begin, kRowsPerStopCheck);
            for (; begin < pause; ++begin, row += S) {
                C next = in[cube];
                apply_move_index_internal(next, move);
                next.write_stickers_internal(row);
                if (++move == kMoveCount) {
                    move = 0;
                    ++cube;
                }
            }
            if (begin < end && stop.stop_requested()) return;
        }
    });
}

} // namespace tessaroll

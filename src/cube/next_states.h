// Successor generation, written once over the Cube interface: for n states,
// the sticker arrays of all twelve quarter-turn successors, as 12 * n rows of
// sticker_dim int64 colour codes. Row 12c + i is state c after move index i.
#pragma once

#include "cube/cube.h"
#include "cubeBatch/pool.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <span>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessaroll {

// An owned row-major int64 matrix from std::malloc, so that it can be handed
// to a consumer that releases it with std::free.
struct StickerRows {
    struct Free {
        void operator()(std::int64_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::int64_t[], Free> data;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// A large result is written once, right after allocation: on Linux ask for
// transparent huge pages over its whole pages, so that filling it takes one
// page fault per 2 MiB instead of per 4 KiB (NumPy does the same for its own
// large arrays). Only advice: failure changes nothing.
inline void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kMinBytes = std::size_t{4} << 20;
    constexpr std::uintptr_t kPage = 4096;
    if (bytes < kMinBytes) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

// Below this many output rows the rows are written on the calling thread: a
// hand-off to the pool and back costs more than they take. Measured with
// bench/handoff_bench.cpp (2 workers, both cores free, best of 21): a 3x3
// row takes 17.7 ns, the hand-off 11-25 us; the pool lost at 1,536 rows
// (0.72x) and won at 2,304 (1.19x). The 2x2's shorter rows would repay the
// hand-off only later.
inline constexpr std::uint64_t kInlineSuccessorRows = 2048;
// Rows between two looks at whether the call was cancelled.
inline constexpr std::size_t kRowsPerStopCheck = 4096;

// Whether next_states_internal of n cubes stays on the calling thread.
constexpr bool next_states_inline(std::size_t n) noexcept {
    return n <= (kInlineSuccessorRows - 1) / kMoveCount;
}

// Throws std::bad_alloc when the result does not fit the address space or
// cannot be allocated. One work item per output row runs on the worker pool;
// each row is written in place, with no allocation per row or per cube. Every
// row is written, so the buffer needs no zeroing first. When `poll` throws,
// the rows stop early and its exception propagates (the buffer is freed).
template <Cube C>
StickerRows next_states_internal(std::span<const C> cubes, pool::Poll poll = {},
                                 std::uint64_t inline_rows = kInlineSuccessorRows) {
    constexpr std::size_t S = C::sticker_dim;
    constexpr std::size_t kMaxElements =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(std::int64_t);
    const std::size_t n = cubes.size();
    if (n > kMaxElements / (kMoveCount * S)) throw std::bad_alloc();

    StickerRows out;
    out.rows = kMoveCount * n;
    out.cols = S;
    // Never a zero-byte request: an empty result still gets a buffer to own.
    const std::size_t bytes = out.rows * S * sizeof(std::int64_t);
    out.data.reset(static_cast<std::int64_t*>(std::malloc(bytes ? bytes : 1)));
    if (!out.data) throw std::bad_alloc();
    advise_huge_pages(out.data.get(), bytes);

    const C* const in = cubes.data();
    std::int64_t* const base = out.data.get();
    pool::run_sized(
        out.rows, out.rows, inline_rows,
        [&](std::size_t begin, std::size_t end) {
            std::size_t cube = begin / kMoveCount;
            std::size_t move = begin % kMoveCount;
            std::int64_t* row = base + begin * S;
            while (begin < end) {
                const std::size_t stop = begin + std::min(end - begin, kRowsPerStopCheck);
                for (; begin < stop; ++begin, row += S) {
                    C next = in[cube];
                    apply_move_index_internal(next, move);
                    next.write_stickers_internal(row);
                    if (++move == kMoveCount) {
                        move = 0;
                        ++cube;
                    }
                }
                if (begin < end && pool::stop_requested()) return;
            }
        },
        poll);
    return out;
}

} // namespace tessaroll

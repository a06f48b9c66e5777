// A batch of cubes of one model, held as one contiguous block of packed
// states (8 bytes per 2x2, 16 per 3x3, no per-cube header), and the parallel
// operations that rewrite it in place.
#pragma once

#include "cube/cube.h"
#include "cube/successors.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"
#include "cubeBatch/pool.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <variant>

namespace tessaroll {

// An owned, fixed-length, contiguous sequence of states of one model.
template <Cube C>
class CubeSeq {
public:
    // `count` solved cubes. Throws std::bad_alloc when the block cannot be
    // allocated, including when its byte size does not fit the address space.
    explicit CubeSeq(std::size_t count) : cubes_(allocate(count)), size_(count) {}

    std::size_t size() const noexcept { return size_; }
    std::span<C> span() noexcept { return {cubes_.get(), size_}; }
    std::span<const C> span() const noexcept { return {cubes_.get(), size_}; }

private:
    static std::unique_ptr<C[]> allocate(std::size_t count) {
        constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
        if (count > kMax / sizeof(C)) throw std::bad_alloc();
        return std::unique_ptr<C[]>(new C[count]); // default member values: solved
    }

    std::unique_ptr<C[]> cubes_;
    std::size_t size_ = 0;
};

// The model is the alternative held; the cube_type number is not kept.
class CubeBatch {
public:
    using Cubes = std::variant<CubeSeq<Cube2x2>, CubeSeq<Cube3x3>>;

    explicit CubeBatch(Cubes cubes) noexcept : cubes_(std::move(cubes)) {}

    std::size_t size() const noexcept {
        return std::visit([](const auto& seq) { return seq.size(); }, cubes_);
    }

    // Call f(std::span<C>) or f(std::span<const C>) with the batch's model.
    template <class F>
    decltype(auto) visit(F&& f) {
        return std::visit([&](auto& seq) -> decltype(auto) { return f(seq.span()); }, cubes_);
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit([&](const auto& seq) -> decltype(auto) { return f(seq.span()); }, cubes_);
    }

private:
    Cubes cubes_;
};

// Below these amounts of work a call runs on the calling thread. Measured
// with bench/handoff_bench.cpp (2 workers, both cores free, best of 21):
// handing a call to the pool and waiting for it costs 11-25 us, one move
// 5.1 ns per cube and one scramble turn 5.1 ns; the pool lost at 8,192 cubes
// (0.85x) and won at 16,384 (1.18x), lost at 10,240 turns (0.93x) and won at
// 20,480 (1.30x).
inline constexpr std::uint64_t kInlineCubes = 12288;
inline constexpr std::uint64_t kInlineTurns = 12288;

// apply_move_indexes on the pool reads its argument array in place for this
// many cubes (a few milliseconds), during which it runs no signal handler;
// the rest of the array is copied before the first handler may run (see
// mod.cpp).
inline constexpr std::uint64_t kCubesBeforePoll = std::uint64_t{1} << 20;

// Pairs cube i with element i for i < min(cubes, m), on the worker pool, or
// on the calling thread below `inline_cubes` pairs. Move indexes above 11
// leave their cube unchanged. When `poll` throws, the call stops early with
// that exception: each cube has then had its move or not. `poll` may change
// or free the array: past the first `cubes_before_poll` cubes, which run
// before it is first called, the call works on a copy.
void apply_move_indexes_internal(CubeBatch& batch, const std::size_t* indexes, std::size_t m,
                                 pool::Poll poll = {}, std::uint64_t inline_cubes = kInlineCubes,
                                 std::uint64_t cubes_before_poll = kCubesBeforePoll);
// Each paired cube gets `length` uniformly drawn quarter turns (none for a
// length below 1), on the calling thread below `inline_turns` turns in all.
// One ChaCha8 key is drawn from the calling thread's generator, and every
// work piece draws from the stream of that key numbered by the piece's first
// cube. Throws what that generator throws (an unreadable entropy source)
// before any cube changes, or what `poll` throws; cubes already turned stay
// turned, and a cube that was being scrambled keeps the turns it got. Each
// length is read once, and the work done before `poll` is first called is
// bounded whatever the lengths are, even while another thread writes them:
// on the calling thread it stays below `inline_turns`, and on the pool the
// call works on a copy made before any turn (`poll` may change or free the
// lengths).
void scramble_batch_internal(CubeBatch& batch, const std::int64_t* lengths, std::size_t m,
                             pool::Poll poll = {}, std::uint64_t inline_turns = kInlineTurns);

// Below this many successor rows they are written on the calling thread: a
// hand-off to the pool and back costs more than they take. Measured with
// bench/handoff_bench.cpp (2 workers, both cores free, best of 21): a 3x3
// row takes 17.7 ns, the hand-off 11-25 us; the pool lost at 1,536 rows
// (0.72x) and won at 2,304 (1.19x). The 2x2's shorter rows would repay the
// hand-off only later.
inline constexpr std::uint64_t kInlineSuccessorRows = 2048;

// Whether the successors of n cubes are written on the calling thread.
constexpr bool successors_inline(std::size_t n) noexcept {
    return n <= (kInlineSuccessorRows - 1) / kMoveCount;
}

// next_states_internal, on the calling thread below `inline_rows` rows and
// on the worker pool from there on: `out` holds successor_elements<C>(cubes.size())
// elements. When `poll` throws, the rows stop early and its exception
// propagates; `out` is then partly written.
template <Cube C>
void write_successors(std::span<const C> cubes, std::span<std::int64_t> out, pool::Poll poll = {},
                      std::uint64_t inline_rows = kInlineSuccessorRows) {
    next_states_internal(cubes, out, [&](std::size_t rows, auto&& piece) {
        pool::run_sized(rows, rows, inline_rows, piece, poll);
    });
}

} // namespace tessaroll

// Instruction count of the bare turns, for `valgrind --tool=callgrind`:
//   g++ -std=c++20 -O2 -Isrc bench/turns_callgrind.cpp -o /tmp/turns
//   valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.out /tmp/turns
//   callgrind_annotate /tmp/cg.out | head
// run_turns applies kRounds x 12 turns; its inclusive count divided by the
// number of turns is the cost of one turn including the index dispatch.
#include "cube/cube.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"

#include <cstdio>

namespace {
constexpr int kRounds = 100000;

template <class C>
__attribute__((noinline)) C run_turns(C c) {
    for (int r = 0; r < kRounds; ++r) {
        for (std::size_t i = 0; i < 12; ++i)
            tessaroll::apply_move_index_internal(c, i);
    }
    return c;
}
} // namespace

int main() {
    const auto big = run_turns(tessaroll::Cube3x3{});
    const auto small = run_turns(tessaroll::Cube2x2{});
    std::printf("%d turns each; solved after: %d %d\n", kRounds * 12, big.is_solved(),
                small.is_solved());
}

// Parallel move application over a batch: one work item per
// paired cube, run on the worker pool.
#include "cubeBatch/mod.h"

#include "cubeBatch/pool.h"

#include <algorithm>

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

} // namespace

void apply_move_indexes_internal(CubeBatch& batch, const std::size_t* indexes, std::size_t m) {
    batch.visit([&](auto cubes) { apply_indexes(cubes, indexes, m); });
}

} // namespace tessaroll

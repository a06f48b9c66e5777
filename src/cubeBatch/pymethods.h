// The Python class CubeBatch: its traits, the batch as its object holds it,
// and the successor arrays that the module function shares.
#pragma once

#include "cubeBatch/mod.h"
#include "py/binding.h"
#include "py/host_memory.h"

#include <span>
#include <utility>

namespace tessaroll {

// A batch as its Python object holds it: the storage block is reported to the
// host's memory accounting (host_memory.h) for as long as the object owns it.
// Moving hands the report over with the block.
class HostedBatch : public CubeBatch {
public:
    HostedBatch(CubeBatch&& batch) noexcept : CubeBatch(std::move(batch)) {
        visit([this](auto cubes) {
            if (cubes.size_bytes() == 0) return;
            block_ = cubes.data();
            py::track_block(block_, cubes.size_bytes());
        });
    }
    HostedBatch(HostedBatch&& other) noexcept
        : CubeBatch(std::move(other)), block_(std::exchange(other.block_, nullptr)) {}
    HostedBatch& operator=(HostedBatch&&) = delete;
    ~HostedBatch() {
        if (block_) py::untrack_block(block_);
    }

private:
    const void* block_ = nullptr;
};

// A new (12 * n, sticker_dim) int64 NumPy array holding the successor rows
// of `cubes` (numpy must be imported). With `release_lock`, a call too large
// to stay on this thread writes the rows with the interpreter lock released,
// so the caller must keep `cubes` from changing meanwhile (a borrow); either
// way pending signal handlers run now and then, and an exception of theirs
// cancels the rest and is raised. MemoryError when the rows do not fit.
template <Cube C>
py::Ref successor_array(std::span<const C> cubes, bool release_lock);

using CubeBatchClass = py::Class<HostedBatch, "CubeBatch">;
PyTypeObject* new_class_type(const HostedBatch*);

} // namespace tessaroll

// The Python class CubeBatch.
#pragma once

#include "binding.h"
#include "cubeBatch/mod.h"
#include "host_memory.h"

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

struct CubeBatchClass {
    using value_type = HostedBatch;
    static constexpr const char* name = "CubeBatch";
    static inline PyTypeObject* cached = nullptr;
    // Created once per process on first need, under the interpreter lock.
    static PyTypeObject* type();
};

} // namespace tessaroll

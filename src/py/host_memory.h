// Reporting memory that Python objects own outside the interpreter's heap:
// the cube storage of batches. (Successor arrays are not reported here:
// NumPy allocates their buffers itself.)
//
// PyPy's collector learns of it only this way: a batch's block is freed when
// PyPy collects the batch, and PyPy schedules its collections by the memory
// it knows of, so without the report it lets gigabytes of dead batches pile
// up. On CPython, the same calls make the blocks visible to tracemalloc (in
// their own domain); when tracing is off they do nothing.
#pragma once

#include "py/py_ref.h"

#include <cstddef>
#include <cstdint>

namespace tessaroll::py {

// The tracemalloc domain of the module's blocks.
inline constexpr unsigned int kTraceDomain = 0x7E55;

// Failures (tracing off, no memory for the trace) only lose the report.
inline void track_block(const void* block, std::size_t bytes) noexcept {
    PyTraceMalloc_Track(kTraceDomain, reinterpret_cast<std::uintptr_t>(block), bytes);
}

// PyPy's version does nothing: its collector counts the report once, as
// pressure towards the next collection, which then frees the block.
inline void untrack_block(const void* block) noexcept {
    PyTraceMalloc_Untrack(kTraceDomain, reinterpret_cast<std::uintptr_t>(block));
}

} // namespace tessaroll::py

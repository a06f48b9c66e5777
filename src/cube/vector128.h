// Whether the target has 128-bit integer vectors, decided once for every
// user: GCC and Clang vector extensions over SSE2 or NEON. Plain i386 has no
// such registers: GCC would lower the vectors to scalar code anyway, and a
// vector passed by value there has no stable ABI (-Wpsabi), so such targets
// take the scalar paths of the users.
#pragma once

#include <cstdint>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__SSE2__) || defined(__ARM_NEON))
#define TESSAROLL_HAVE_VECTOR128 1

namespace tessaroll::vector128 {
using U64x2 = std::uint64_t __attribute__((vector_size(16)));
using U32x4 = std::uint32_t __attribute__((vector_size(16)));
} // namespace tessaroll::vector128
#endif

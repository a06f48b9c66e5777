// The per-thread random generator: ChaCha12, keyed with 32 bytes from the
// operating system, created lazily on each thread and never shared. It lives
// on the heap, found through a pthread key whose destructor frees it when
// its thread ends, not in the module's thread-local storage: glibc allocates
// a loaded module's thread-local block on a thread's first touch, and aborts
// the process when that allocation fails.
//
// It is reseeded from the operating system after every 64 KiB of output (the
// check is made when its 64-word buffer is refilled) and in a child process
// right after fork(): a child inherits its parent's memory, and without the
// reseed it would draw exactly the numbers its parent draws next.
#pragma once

#include "cube/chacha.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaroll {

class ThreadRng {
public:
    static constexpr std::uint64_t kReseedBytes = 64 * 1024;

    ThreadRng() noexcept;
    ~ThreadRng();
    ThreadRng(const ThreadRng&) = delete;
    ThreadRng& operator=(const ThreadRng&) = delete;

    // May throw std::system_error when the entropy source fails; the next
    // call tries again.
    std::uint32_t next_u32() {
        if (core_.buffered() == 0) [[unlikely]]
            refresh();
        return core_.next_u32();
    }

    bool seeded() const noexcept { return seeded_; }
    // New key from the operating system, block counter back to 0.
    void reseed();
    // Drop key and buffered output; the next use reseeds.
    void forget() noexcept;

private:
    void refresh();

    ChaCha<12> core_;
    bool seeded_ = false;
};

// The calling thread's generator, created and seeded on first use in the
// thread (and reseeded if a fork made it forget its key). Throws
// std::system_error if the entropy source cannot be read, std::bad_alloc if
// the generator cannot be made.
ThreadRng& thread_rng();

// Fill `out` from getrandom(2), or from /dev/urandom where that call does not
// exist. Retries interrupted and short reads; throws std::system_error.
void os_random_bytes(std::span<std::byte> out);

namespace testing {
// Replace the entropy source (nullptr restores the operating system's);
// returns the previous replacement. For unit tests only.
using EntropySource = void (*)(std::span<std::byte>);
EntropySource set_entropy_source(EntropySource source) noexcept;
} // namespace testing

} // namespace tessaroll

#include "cube/rng.h"

#include "cube/at_fork.h"
#include "cube/glibc_symver.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace tessaroll {
namespace {

std::atomic<testing::EntropySource> g_test_source{nullptr};

// Set once getrandom has been found missing, so later seedings go straight to
// the random device.
std::atomic<bool> g_no_getrandom{false};

[[noreturn]] void throw_errno(int err, const char* what) {
    throw std::system_error(err, std::generic_category(), what);
}

// False when the system has no usable getrandom call.
bool fill_from_getrandom(std::span<std::byte> out) {
#ifdef SYS_getrandom
    std::size_t done = 0;
    while (done < out.size()) {
        const long got = ::syscall(SYS_getrandom, out.data() + done, out.size() - done, 0u);
        if (got < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            // ENOSYS: kernel without the call. EPERM: a sandbox filter that
            // forbids it; the random device may still be readable.
            if ((err == ENOSYS || err == EPERM) && done == 0) return false;
            throw_errno(err, "getrandom");
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
#else
    (void)out;
    return false;
#endif
}

void fill_from_device(std::span<std::byte> out) {
    int fd;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_errno(errno, "open /dev/urandom");
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int err = got < 0 ? errno : EIO;
            ::close(fd);
            throw_errno(err, "read /dev/urandom");
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
}

void fill_seed(std::span<std::byte> out) {
    if (testing::EntropySource source = g_test_source.load(std::memory_order_acquire)) {
        source(out);
        return;
    }
    os_random_bytes(out);
}

// The key under which each thread keeps its generator; set once, before the
// fork handler that reads it is registered.
pthread_key_t g_rng_key;

void destroy_rng(void* rng) noexcept {
    delete static_cast<ThreadRng*>(rng);
}

// A forked child runs only the thread that called fork(), so that thread's
// generator is the only one the child can still use.
void forget_after_fork() noexcept {
    if (auto* rng = static_cast<ThreadRng*>(pthread_getspecific(g_rng_key))) rng->forget();
}

// Once per process, on the first use of a generator (a magic static: a
// creation that threw is tried again by the next use).
struct RngKey {
    RngKey() {
        if (const int rc = pthread_key_create(&g_rng_key, &destroy_rng); rc != 0) {
            throw_errno(rc, "pthread_key_create");
        }
        try {
            register_at_fork(nullptr, nullptr, &forget_after_fork);
        } catch (...) {
            pthread_key_delete(g_rng_key);
            throw;
        }
    }
};

} // namespace

void os_random_bytes(std::span<std::byte> out) {
    if (!g_no_getrandom.load(std::memory_order_relaxed)) {
        if (fill_from_getrandom(out)) return;
        g_no_getrandom.store(true, std::memory_order_relaxed);
    }
    fill_from_device(out);
}

ThreadRng::ThreadRng() noexcept : core_(ChaCha<12>::Key{}) {}

ThreadRng::~ThreadRng() {
    core_.wipe();
}

void ThreadRng::reseed() {
    std::array<std::byte, 32> seed;
    fill_seed(seed);
    ChaCha<12>::Key key;
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = std::to_integer<std::uint32_t>(seed[4 * i]) |
                 std::to_integer<std::uint32_t>(seed[4 * i + 1]) << 8 |
                 std::to_integer<std::uint32_t>(seed[4 * i + 2]) << 16 |
                 std::to_integer<std::uint32_t>(seed[4 * i + 3]) << 24;
    }
    core_ = ChaCha<12>(key);
    seeded_ = true;
}

void ThreadRng::forget() noexcept {
    core_.wipe();
    seeded_ = false;
}

void ThreadRng::refresh() {
    // Each block is 64 bytes; the counter restarts at 0 with every key.
    if (!seeded_ || core_.block_counter() * 64 >= kReseedBytes) reseed();
}

ThreadRng& thread_rng() {
    static const RngKey key;
    auto* rng = static_cast<ThreadRng*>(pthread_getspecific(g_rng_key));
    if (!rng) [[unlikely]] {
        auto made = std::make_unique<ThreadRng>();
        if (const int rc = pthread_setspecific(g_rng_key, made.get()); rc != 0) {
            if (rc == ENOMEM) throw std::bad_alloc();
            throw_errno(rc, "pthread_setspecific");
        }
        rng = made.release();
    }
    if (!rng->seeded()) [[unlikely]]
        rng->reseed();
    return *rng;
}

namespace testing {
EntropySource set_entropy_source(EntropySource source) noexcept {
    return g_test_source.exchange(source, std::memory_order_acq_rel);
}
} // namespace testing

} // namespace tessaroll

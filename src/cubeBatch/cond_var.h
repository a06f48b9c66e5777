// A condition variable over the POSIX one, for use with std::mutex.
//
// Why not std::condition_variable: with GCC 12's libstdc++ its wait() is the
// symbol std::condition_variable::wait@GLIBCXX_3.4.30, and its timed waits
// inline calls to pthread_cond_clockwait@GLIBC_2.30. Either would lift the
// wheel's manylinux tag above manylinux_2_28 (libstdc++ 3.4.25, glibc 2.28).
// pthread_cond_wait and pthread_cond_timedwait on CLOCK_MONOTONIC are as old
// as NPTL, and libstdc++'s std::mutex is a pthread_mutex_t underneath
// (native_handle), so the waits below keep std::unique_lock as their lock.
//
// Who may call what: any thread, holding the lock passed in for the waits;
// notify_* with or without it, as for std::condition_variable.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <system_error>

#include <pthread.h>

#include "cube/glibc_symver.h"

namespace tessaroll::pool {

class CondVar {
public:
    CondVar() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        // Timed waits measure a steady clock, immune to wall-clock jumps.
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        const int rc = pthread_cond_init(&cond_, &attr);
        pthread_condattr_destroy(&attr);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_cond_init");
    }
    ~CondVar() { pthread_cond_destroy(&cond_); }
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void notify_one() noexcept { pthread_cond_signal(&cond_); }
    void notify_all() noexcept { pthread_cond_broadcast(&cond_); }

    // Block until pred() holds; spurious wake-ups re-check it.
    template <class Pred>
    void wait(std::unique_lock<std::mutex>& lock, Pred pred) {
        while (!pred())
            pthread_cond_wait(&cond_, lock.mutex()->native_handle());
    }

    // Block until pred() holds or `timeout` has passed; returns pred().
    template <class Pred>
    bool wait_for(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds timeout, Pred pred) {
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        const std::int64_t ns = deadline.tv_nsec + timeout.count();
        deadline.tv_sec += static_cast<std::time_t>(ns / 1'000'000'000);
        deadline.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        while (!pred()) {
            if (pthread_cond_timedwait(&cond_, lock.mutex()->native_handle(), &deadline) ==
                ETIMEDOUT) {
                return pred();
            }
        }
        return true;
    }

private:
    pthread_cond_t cond_;
};

} // namespace tessaroll::pool

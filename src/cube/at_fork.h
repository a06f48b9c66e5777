// Registering fork handlers, the one way every part of the module does it.
#pragma once

#include <pthread.h>
#include <system_error>

namespace tessaroll {

// pthread_atfork(prepare, parent, child); the only refusal POSIX allows is
// ENOMEM, which becomes std::system_error like every other refusal of the
// system (OSError with that errno at the Python boundary).
inline void register_at_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
    if (const int rc = ::pthread_atfork(prepare, parent, child); rc != 0) {
        throw std::system_error(rc, std::generic_category(), "pthread_atfork");
    }
}

} // namespace tessaroll

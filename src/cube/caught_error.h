// The one classification of the C++ exceptions the module's code may throw,
// by what the Python boundary makes of them: std::bad_alloc and
// std::length_error (MemoryError), std::system_error (OSError with its code
// and text) and anything else (an internal fault with its text). Both the
// boundary and the pool, which carries a piece's exception back to its
// caller as plain data, classify through it.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>

namespace tessaroll {

struct CaughtError {
    enum class Kind : unsigned char { no_memory, system_error, other };
    Kind kind;
    std::error_code code; // system_error only
    const char* what;     // valid while the exception is being handled
};

// Inside a catch handler only: the exception being handled.
inline CaughtError classify_caught() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        return {CaughtError::Kind::no_memory, {}, e.what()};
    } catch (const std::length_error& e) {
        return {CaughtError::Kind::no_memory, {}, e.what()};
    } catch (const std::system_error& e) {
        return {CaughtError::Kind::system_error, e.code(), e.what()};
    } catch (const std::exception& e) {
        return {CaughtError::Kind::other, {}, e.what()};
    } catch (...) {
        return {CaughtError::Kind::other, {}, "unknown C++ exception"};
    }
}

} // namespace tessaroll

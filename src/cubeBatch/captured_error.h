// The first exception of a pool call's pieces, carried back to its caller.
#pragma once

#include "cube/caught_error.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tessaroll::pool {

// The first exception of a piece, kept as plain data until the caller
// rethrows it. Not a std::exception_ptr: GCC 12 inlines its copies and its
// destruction as calls to CXXABI_1.3.13 symbols, which would lift the wheel
// above manylinux_2_28. What the caller's boundary tells apart
// (caught_error.h) survives the trip: the kind, a system error's code, and
// the text.
class CapturedError {
public:
    explicit operator bool() const noexcept { return kind_ != Kind::none; }

    // Inside a catch handler only.
    void capture() noexcept {
        const CaughtError caught = classify_caught();
        switch (caught.kind) {
        case CaughtError::Kind::no_memory: kind_ = Kind::bad_alloc; return;
        case CaughtError::Kind::system_error: kind_ = Kind::system_error; break;
        case CaughtError::Kind::other: kind_ = Kind::other; break;
        }
        code_ = caught.code;
        keep_text(caught.what);
    }

    [[noreturn]] void rethrow() const {
        switch (kind_) {
        case Kind::system_error: throw Relayed<std::system_error>(text_, code_);
        case Kind::other: throw Relayed<std::runtime_error>(text_, text_);
        default: throw std::bad_alloc();
        }
    }

private:
    enum class Kind : unsigned char { none, bad_alloc, system_error, other };

    // Rethrown with the original what() text, not one rebuilt from the code.
    template <class Base>
    struct Relayed : Base {
        template <class Arg>
        Relayed(const std::string& text, const Arg& arg) : Base(arg), text(text) {}
        const char* what() const noexcept override { return text.c_str(); }
        std::string text;
    };

    void keep_text(const char* what) noexcept {
        try {
            text_ = what;
        } catch (...) {
            kind_ = Kind::bad_alloc; // no room for the text: report that
        }
    }

    Kind kind_ = Kind::none;
    std::error_code code_;
    std::string text_;
};

} // namespace tessaroll::pool

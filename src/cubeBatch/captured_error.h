// The first exception of a pool call's pieces, carried back to its caller.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tessaroll::pool {

// The first exception of a piece, kept as plain data until the caller
// rethrows it. Not a std::exception_ptr: GCC 12 inlines its copies and its
// destruction as calls to CXXABI_1.3.13 symbols, which would lift the wheel
// above manylinux_2_28. Pieces throw only what the caller's boundary maps:
// std::bad_alloc and std::length_error (MemoryError), std::system_error
// (OSError with its code and text) and other std::exception (an internal
// fault with its text); that much survives the trip.
class CapturedError {
public:
    explicit operator bool() const noexcept { return kind_ != Kind::none; }

    // Inside a catch handler only.
    void capture() noexcept {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            kind_ = Kind::bad_alloc;
        } catch (const std::length_error&) {
            kind_ = Kind::bad_alloc;
        } catch (const std::system_error& e) {
            kind_ = Kind::system_error;
            code_ = e.code();
            keep_text(e.what());
        } catch (const std::exception& e) {
            kind_ = Kind::other;
            keep_text(e.what());
        } catch (...) {
            kind_ = Kind::other;
            keep_text("unknown C++ exception");
        }
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

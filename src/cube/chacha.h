// The ChaCha stream cipher used as a random generator, with the number of
// rounds as a parameter (ChaCha8 for batch work pieces, ChaCha12 per thread).
//
// State layout is Bernstein's original one: words 0-3 the constant
// "expand 32-byte k", 4-11 the key, 12-13 a 64-bit block counter (low word
// first), 14-15 a 64-bit stream number (nonce). The IETF variant, with a
// 32-bit counter and a 96-bit nonce, is the same function with words 13-15
// regrouped. Output is the keystream read as consecutive little-endian 32-bit
// words, i.e. the words of block 0, then of block 1, and so on.
//
// Blocks are made four at a time with the four blocks held in lanes, so that
// every operation of a round is the same operation on four independent words:
// one 128-bit vector operation where the target has them (GCC and Clang
// vectorise plain lane loops here poorly, shuffling every word in and out),
// a loop over four words elsewhere.
#pragma once

#include "cube/vector128.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessaroll {

namespace chacha_detail {
#ifdef TESSAROLL_HAVE_VECTOR128
using Lane = vector128::U32x4;
#else
struct Lane {
    std::uint32_t v[4];
    std::uint32_t operator[](std::size_t l) const noexcept { return v[l]; }
    friend Lane operator+(Lane a, Lane b) noexcept {
        return a.apply(b, [](auto x, auto y) { return x + y; });
    }
    friend Lane operator^(Lane a, Lane b) noexcept {
        return a.apply(b, [](auto x, auto y) { return x ^ y; });
    }
    friend Lane operator|(Lane a, Lane b) noexcept {
        return a.apply(b, [](auto x, auto y) { return x | y; });
    }
    friend Lane operator<<(Lane a, int n) noexcept {
        return a.apply(a, [n](auto x, auto) { return x << n; });
    }
    friend Lane operator>>(Lane a, int n) noexcept {
        return a.apply(a, [n](auto x, auto) { return x >> n; });
    }
    Lane& operator+=(Lane b) noexcept { return *this = *this + b; }

private:
    template <class F>
    Lane apply(Lane b, F f) const noexcept {
        Lane r;
        for (std::size_t l = 0; l < 4; ++l)
            r.v[l] = static_cast<std::uint32_t>(f(v[l], b.v[l]));
        return r;
    }
};
#endif
} // namespace chacha_detail

template <int Rounds>
class ChaCha {
    static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs double rounds");

public:
    using Key = std::array<std::uint32_t, 8>;
    static constexpr std::size_t kBlockWords = 16;
    static constexpr std::size_t kLanes = 4;
    static constexpr std::size_t kBufferWords = kBlockWords * kLanes;

    explicit ChaCha(const Key& key, std::uint64_t counter = 0, std::uint64_t stream = 0) noexcept {
        input_[0] = 0x61707865; // "expa"
        input_[1] = 0x3320646e; // "nd 3"
        input_[2] = 0x79622d32; // "2-by"
        input_[3] = 0x6b206574; // "te k"
        for (std::size_t i = 0; i < 8; ++i)
            input_[4 + i] = key[i];
        set_counter(counter);
        input_[14] = static_cast<std::uint32_t>(stream);
        input_[15] = static_cast<std::uint32_t>(stream >> 32);
    }

    std::uint32_t next_u32() noexcept {
        if (pos_ == kBufferWords) [[unlikely]]
            refill();
        return buffer_[pos_++];
    }

    // Words still buffered; the next draw refills when this is 0.
    std::size_t buffered() const noexcept { return kBufferWords - pos_; }

    // Number of the next block to be generated: blocks made so far when the
    // counter started at 0.
    std::uint64_t block_counter() const noexcept {
        return input_[12] | (std::uint64_t{input_[13]} << 32);
    }

    // Overwrite key and buffered output (for a generator that must not be
    // reused, e.g. in a forked child). Called from destructors too, where the
    // stores would be dead to the optimiser: the empty asm, which may read
    // all memory through the object's address, keeps them.
    void wipe() noexcept {
        std::memset(input_.data(), 0, sizeof input_);
        std::memset(buffer_.data(), 0, sizeof buffer_);
        pos_ = kBufferWords;
        __asm__ __volatile__("" : : "r"(this) : "memory");
    }

private:
    void set_counter(std::uint64_t c) noexcept {
        input_[12] = static_cast<std::uint32_t>(c);
        input_[13] = static_cast<std::uint32_t>(c >> 32);
    }

    using Lane = chacha_detail::Lane;
    using Lanes = Lane[kBlockWords];

    static Lane rotl(Lane v, int n) noexcept { return (v << n) | (v >> (32 - n)); }

    static void quarter(Lanes& x, int a, int b, int c, int d) noexcept {
        x[a] += x[b];
        x[d] = rotl(x[d] ^ x[a], 16);
        x[c] += x[d];
        x[b] = rotl(x[b] ^ x[c], 12);
        x[a] += x[b];
        x[d] = rotl(x[d] ^ x[a], 8);
        x[c] += x[d];
        x[b] = rotl(x[b] ^ x[c], 7);
    }

    // The next four blocks into buffer_, block l at words 16l..16l+15.
    void refill() noexcept {
        Lanes start;
        const std::uint64_t base = block_counter();
        for (std::size_t i = 0; i < kBlockWords; ++i)
            start[i] = Lane{input_[i], input_[i], input_[i], input_[i]};
        const auto low = [&](std::uint64_t l) { return static_cast<std::uint32_t>(base + l); };
        const auto high = [&](std::uint64_t l) {
            return static_cast<std::uint32_t>((base + l) >> 32);
        };
        start[12] = Lane{low(0), low(1), low(2), low(3)};
        start[13] = Lane{high(0), high(1), high(2), high(3)};
        Lanes x;
        for (std::size_t i = 0; i < kBlockWords; ++i)
            x[i] = start[i];
        for (int r = 0; r < Rounds; r += 2) {
            quarter(x, 0, 4, 8, 12); // columns
            quarter(x, 1, 5, 9, 13);
            quarter(x, 2, 6, 10, 14);
            quarter(x, 3, 7, 11, 15);
            quarter(x, 0, 5, 10, 15); // diagonals
            quarter(x, 1, 6, 11, 12);
            quarter(x, 2, 7, 8, 13);
            quarter(x, 3, 4, 9, 14);
        }
        for (std::size_t i = 0; i < kBlockWords; ++i) {
            const Lane out = x[i] + start[i];
            for (std::size_t l = 0; l < kLanes; ++l)
                buffer_[l * kBlockWords + i] = out[l];
        }
        set_counter(base + kLanes);
        pos_ = 0;
    }

    std::array<std::uint32_t, kBlockWords> input_{};
    std::array<std::uint32_t, kBufferWords> buffer_{};
    std::size_t pos_ = kBufferWords;
};

} // namespace tessaroll

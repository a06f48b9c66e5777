// Exactly uniform digits of a fixed base from any generator of 32-bit words:
// move indexes 0..11 (base 12) and pairs of them (base 144).
//
// Method, for base B with k digits per word, B^k the largest power of B not
// above 2^32: a word w is accepted only if w < q * B^k, the largest multiple
// of B^k not above 2^32; other words are rejected and redrawn. An accepted w
// is uniform over q whole periods of B^k, so w mod B^k is uniform over
// 0..B^k-1 and its k base-B digits are independent and each uniform over
// 0..B-1. They are peeled off lowest first (w % B, then w /= B); the last
// "digit" w / B^k is thrown away. No draw has any modulo bias. Digits left
// over when the source is dropped are simply discarded, which does not affect
// the others.
//
// Base 12: 12^8 = 429 981 696, limit 9 * 12^8 = 3 869 835 264 (rejection
// probability about 0.099), one word serves about 7.2 moves. Base 144 = 12^2
// has 144^4 = 12^8, so it accepts exactly the same words and peels the same
// eight base-12 digits two at a time: a pair digit d stands for the moves
// d / 12 and d % 12, independent and each uniform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tessaroll {

namespace detail {
// Digits of base b that fit in one 32-bit word, and b to that power.
constexpr unsigned digits_per_word(std::uint64_t base) {
    unsigned k = 0;
    for (std::uint64_t p = base; p <= (std::uint64_t{1} << 32); p *= base)
        ++k;
    return k;
}
constexpr std::uint64_t power(std::uint64_t base, unsigned k) {
    std::uint64_t p = 1;
    while (k--)
        p *= base;
    return p;
}
} // namespace detail

template <std::uint32_t Base>
struct DigitBase {
    static_assert(Base >= 2 && Base <= 65536);
    static constexpr std::uint32_t base = Base;
    static constexpr unsigned per_word = detail::digits_per_word(Base);
    static constexpr std::uint64_t period = detail::power(Base, per_word);
    // 64-bit: for a power-of-two base B^k divides 2^32, so the limit is 2^32
    // and every word is accepted (in 32 bits it would wrap to 0).
    static constexpr std::uint64_t limit = (std::uint64_t{1} << 32) / period * period;
};

inline constexpr unsigned kMoveDigitsPerWord = DigitBase<12>::per_word;
inline constexpr std::uint64_t kMoveDigitPeriod = DigitBase<12>::period;
inline constexpr auto kMoveDigitLimit = static_cast<std::uint32_t>(DigitBase<12>::limit);
static_assert(kMoveDigitsPerWord == 8 && kMoveDigitPeriod == 429981696 &&
              kMoveDigitLimit == 9 * 429981696u);
static_assert(DigitBase<144>::per_word == 4 && DigitBase<144>::period == kMoveDigitPeriod &&
              DigitBase<144>::limit == kMoveDigitLimit);

// Gen: anything with `std::uint32_t next_u32()`. The source keeps a reference
// to the generator, which must outlive it.
template <class Gen, std::uint32_t Base>
class UniformDigits {
    using Params = DigitBase<Base>;

public:
    explicit UniformDigits(Gen& gen) noexcept : gen_(gen) {}

    // A digit in 0..Base-1; may throw whatever gen.next_u32() throws.
    std::size_t next() noexcept(noexcept(std::declval<Gen&>().next_u32())) {
        if (left_ == 0) [[unlikely]]
            refill();
        --left_;
        const std::uint32_t digit = word_ % Base;
        word_ /= Base;
        return digit;
    }

    // Throw away the digits left from the current word; the next draw starts
    // from a fresh word of the generator.
    void discard() noexcept { left_ = 0; }

private:
    void refill() noexcept(noexcept(std::declval<Gen&>().next_u32())) {
        std::uint32_t w;
        do {
            w = gen_.next_u32();
        } while (w >= Params::limit);
        word_ = w;
        left_ = Params::per_word;
    }

    Gen& gen_;
    std::uint32_t word_ = 0;
    unsigned left_ = 0;
};

// Move indexes 0..11.
template <class Gen>
using MoveDigits = UniformDigits<Gen, 12>;
// Move pairs 0..143: first move d / 12, second d % 12.
template <class Gen>
using MovePairDigits = UniformDigits<Gen, 144>;

} // namespace tessaroll

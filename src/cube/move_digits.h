// Exactly uniform move indexes 0..11 from any generator of 32-bit words.
//
// Method: a word w is accepted only if w < 9 * 12^8 (= 3 869 835 264, the
// largest multiple of 12^8 not above 2^32); other words are rejected and
// redrawn (probability about 0.099). An accepted w is uniform over nine whole
// periods of 12^8, so w mod 12^8 is uniform over 0..12^8-1 and its eight
// base-12 digits are independent and each uniform over 0..11. They are peeled
// off lowest first (w % 12, then w /= 12); the ninth "digit" w / 12^8 is
// thrown away. One word thus serves about 7.2 draws on average instead of one,
// and no draw has any modulo bias. Digits left over when the source is
// dropped are simply discarded, which does not affect the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tessaroll {

inline constexpr std::uint32_t kMoveDigitBase = 12;
inline constexpr unsigned kMoveDigitsPerWord = 8;
// 12^8 and the acceptance limit 9 * 12^8.
inline constexpr std::uint64_t kMoveDigitPeriod = 429981696;
inline constexpr std::uint32_t kMoveDigitLimit = 9 * 429981696u;
static_assert(kMoveDigitPeriod == 12ull * 12 * 12 * 12 * 12 * 12 * 12 * 12);
static_assert(kMoveDigitLimit <= (std::uint64_t{1} << 32) &&
              kMoveDigitLimit + kMoveDigitPeriod > (std::uint64_t{1} << 32));

// Gen: anything with `std::uint32_t next_u32()`. The source keeps a reference
// to the generator, which must outlive it.
template <class Gen>
class MoveDigits {
public:
    explicit MoveDigits(Gen& gen) noexcept : gen_(gen) {}

    // A move index in 0..11; may throw whatever gen.next_u32() throws.
    std::size_t next() noexcept(noexcept(std::declval<Gen&>().next_u32())) {
        if (left_ == 0) [[unlikely]]
            refill();
        --left_;
        const std::uint32_t digit = word_ % kMoveDigitBase;
        word_ /= kMoveDigitBase;
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
        } while (w >= kMoveDigitLimit);
        word_ = w;
        left_ = kMoveDigitsPerWord;
    }

    Gen& gen_;
    std::uint32_t word_ = 0;
    unsigned left_ = 0;
};

} // namespace tessaroll

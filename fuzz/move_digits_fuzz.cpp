// Uniform digits from fuzzer-chosen generator words, for the move bases 12
// and 144 and for the extremes the template admits. A reference follows the
// rule: with B^k the largest power of B not above 2^32, a word w is accepted
// exactly when w < floor(2^32 / B^k) * B^k, and then yields its k lowest
// base-B digits, lowest first; rejected words are skipped, discard() drops
// the digits left. The source must consume the same words and yield the same
// digits, each below B.
#include "check.h"
#include "cube/move_digits.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

struct Exhausted {};

// Hands out words from the input and records them.
struct InputGen {
    FuzzedDataProvider& in;
    std::vector<std::uint32_t> drawn;
    std::uint32_t next_u32() {
        if (in.remaining_bytes() < 4) throw Exhausted{};
        drawn.push_back(in.ConsumeIntegral<std::uint32_t>());
        return drawn.back();
    }
};

template <std::uint32_t B>
void run(FuzzedDataProvider& in) {
    std::uint64_t period = 1;
    unsigned k = 0;
    while (period * B <= (std::uint64_t{1} << 32)) {
        period *= B;
        ++k;
    }
    const std::uint64_t limit = (std::uint64_t{1} << 32) / period * period;

    InputGen gen{in, {}};
    tessaroll::UniformDigits<InputGen, B> digits(gen);
    std::vector<std::uint32_t> pending; // the reference's digits, next at the back
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeIntegralInRange(0, 15) == 0) {
            digits.discard();
            pending.clear();
            continue;
        }
        gen.drawn.clear();
        std::size_t d;
        try {
            d = digits.next();
        } catch (Exhausted) {
            // Out of words while looking for one to accept: all were rejected.
            FUZZ_CHECK(pending.empty());
            for (std::uint32_t w : gen.drawn)
                FUZZ_CHECK(w >= limit);
            return;
        }
        FUZZ_CHECK(d < B);
        if (pending.empty()) {
            FUZZ_CHECK(!gen.drawn.empty());
            for (std::size_t i = 0; i + 1 < gen.drawn.size(); ++i)
                FUZZ_CHECK(gen.drawn[i] >= limit);
            const std::uint32_t w = gen.drawn.back();
            FUZZ_CHECK(w < limit);
            std::uint64_t place = 1;
            for (unsigned i = 0; i < k; ++i, place *= B)
                pending.insert(pending.begin(), static_cast<std::uint32_t>(w / place % B));
        } else {
            FUZZ_CHECK(gen.drawn.empty());
        }
        FUZZ_CHECK(d == pending.back());
        pending.pop_back();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: run<12>(in); break;
    case 1: run<144>(in); break;
    case 2: run<2>(in); break;
    case 3: run<7>(in); break;
    case 4: run<65535>(in); break;
    default: run<65536>(in); break;
    }
    return 0;
}

// Move strings from arbitrary bytes. The forward and the backward walk cut
// the same tokens, and the same as a plain reference that looks for the
// encoded White_Space characters at every byte. Applying a string and then
// its inverse solves either model, unless a token uses the "X!" spelling
// (which the inverse copies unchanged), and inverting twice gives back the
// tokens joined by single spaces.
#include "check.h"
#include "cube/move_tokens.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace tessaroll;
using Tokens = std::vector<std::string_view>;

// The characters with the Unicode White_Space property, in UTF-8.
constexpr std::string_view kWhiteSpace[] = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00A0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

Tokens reference_tokens(std::string_view s) {
    Tokens out;
    std::size_t start = 0, i = 0;
    while (i < s.size()) {
        std::size_t sep = 0;
        for (std::string_view w : kWhiteSpace) {
            if (w[0] == s[i] && s.substr(i).starts_with(w)) sep = w.size();
        }
        if (sep == 0) {
            ++i;
            continue;
        }
        if (i > start) out.push_back(s.substr(start, i - start));
        i += sep;
        start = i;
    }
    if (i > start) out.push_back(s.substr(start, i - start));
    return out;
}

Tokens forward(std::string_view s) {
    Tokens out;
    move_tokens::for_each_token(s, [&](std::string_view t) { out.push_back(t); });
    return out;
}

template <class C>
void check_inverse_solves(std::string_view moves, std::string_view inverse) {
    C cube{};
    move_tokens::apply_moves(cube, moves);
    move_tokens::apply_moves(cube, inverse);
    FUZZ_CHECK(cube.is_solved());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view s(reinterpret_cast<const char*>(data), size);

    const Tokens tokens = forward(s);
    FUZZ_CHECK(tokens == reference_tokens(s));
    Tokens backward;
    move_tokens::for_each_token_reverse(s, [&](std::string_view t) { backward.push_back(t); });
    FUZZ_CHECK(Tokens(backward.rbegin(), backward.rend()) == tokens);

    const std::string inverse = move_tokens::inverse_moves(s);
    bool bang = false;
    for (std::string_view t : tokens)
        bang |= t.size() == 2 && t[1] == '!' && move_tokens::token_move(t).count != 0;
    if (!bang) {
        check_inverse_solves<Cube3x3>(s, inverse);
        check_inverse_solves<Cube2x2>(s, inverse);
    }

    std::string joined;
    for (std::string_view t : tokens)
        joined.append(joined.empty() ? "" : " ").append(t);
    FUZZ_CHECK(move_tokens::inverse_moves(inverse) == joined);
    return 0;
}

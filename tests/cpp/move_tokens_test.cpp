// The move-string tokenizer against a reference that knows nothing but the list
// of White_Space code points, plus the token tables.
#include "cube/move_tokens.h"
#include "cube2x2/utils.h"
#include "cube3x3/utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaroll {
namespace {

using move_tokens::for_each_token;
using move_tokens::for_each_token_reverse;

const std::vector<char32_t> kWhiteSpace = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                           0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                           0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                           0x2029, 0x202F, 0x205F, 0x3000};

// Characters next to the separators, or easily mistaken for them.
const std::vector<char32_t> kNotWhiteSpace = {
    0x08,   0x0E,   0x1C,   0x1D,   0x1E,   0x1F,   0x21,   0x84,   0x86,    0x9F,
    0xA1,   0xAD,   0x167F, 0x1681, 0x180E, 0x1FFF, 0x200B, 0x200C, 0x200D,  0x2027,
    0x202A, 0x202E, 0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF, 0x10000, 0x12000};

std::string utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

std::vector<std::string> forward(std::string_view s) {
    std::vector<std::string> out;
    for_each_token(s, [&](std::string_view t) { out.emplace_back(t); });
    return out;
}

std::vector<std::string> backward(std::string_view s) {
    std::vector<std::string> out;
    for_each_token_reverse(s, [&](std::string_view t) { out.emplace_back(t); });
    std::reverse(out.begin(), out.end());
    return out;
}

// Reference: mark every byte covered by an occurrence of an encoded separator,
// then take maximal unmarked runs.
std::vector<std::string> reference(const std::string& s) {
    std::vector<bool> sep(s.size(), false);
    for (char32_t c : kWhiteSpace) {
        const std::string e = utf8(c);
        for (std::size_t p = s.find(e); p != std::string::npos; p = s.find(e, p + 1)) {
            for (std::size_t k = 0; k < e.size(); ++k)
                sep[p + k] = true;
        }
    }
    std::vector<std::string> out;
    std::string cur;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (sep[i]) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += s[i];
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

using Tokens = std::vector<std::string>;

class EachSeparator : public ::testing::TestWithParam<char32_t> {};

TEST_P(EachSeparator, SeparatesInEveryPosition) {
    const std::string w = utf8(GetParam());
    const std::vector<std::pair<std::string, Tokens>> cases = {
        {"R" + w + "U", {"R", "U"}},
        {w + "R" + w + w + "U'" + w, {"R", "U'"}},
        {w, {}},
        {w + w + w, {}},
    };
    for (const auto& [s, expect] : cases) {
        EXPECT_EQ(forward(s), expect);
        EXPECT_EQ(backward(s), expect);
    }
}

INSTANTIATE_TEST_SUITE_P(WhiteSpace, EachSeparator, ::testing::ValuesIn(kWhiteSpace));

class EachNonSeparator : public ::testing::TestWithParam<char32_t> {};

TEST_P(EachNonSeparator, StaysInsideTheToken) {
    std::string s = "R";
    s += utf8(GetParam());
    s += 'U';
    EXPECT_EQ(forward(s), Tokens{s});
    EXPECT_EQ(backward(s), Tokens{s});
    std::string padded = " ";
    padded += s;
    padded += '\n';
    EXPECT_EQ(forward(padded), Tokens{s});
}

INSTANTIATE_TEST_SUITE_P(NotWhiteSpace, EachNonSeparator, ::testing::ValuesIn(kNotWhiteSpace));

TEST(MoveTokens, EmptyAndBlankTextHaveNoTokens) {
    for (std::string_view s : {"", " ", "\t\n\r\v\f ", "\xC2\xA0\xE3\x80\x80"}) {
        EXPECT_TRUE(forward(s).empty()) << s;
        EXPECT_TRUE(backward(s).empty()) << s;
    }
}

TEST(MoveTokens, TruncatedSeparatorsAtTheEndsAreTokenBytes) {
    // Lead bytes without their tail, and tails without their lead.
    for (std::string s : {"\xC2", "\xE2\x80", "\xE3\x80", "\x80\x80", "\xA0", "R\xE2", "\x80R"}) {
        EXPECT_EQ(forward(s), Tokens{s});
        EXPECT_EQ(backward(s), Tokens{s});
    }
    // A C2 A0 separator followed by a stray continuation byte: the stray byte
    // is a token of its own, in both directions.
    EXPECT_EQ(forward("R\xC2\xA0\x80"), (Tokens{"R", "\x80"}));
    EXPECT_EQ(backward("R\xC2\xA0\x80"), (Tokens{"R", "\x80"}));
}

TEST(MoveTokens, RandomTextMatchesReferenceBothWays) {
    std::mt19937 rng(12345);
    std::vector<std::string> pieces = {"R", "U'", "F2", "x", ",", "\xC2", "\x80", "\xE2\x80"};
    for (char32_t c : kWhiteSpace)
        pieces.push_back(utf8(c));
    for (char32_t c : kNotWhiteSpace)
        pieces.push_back(utf8(c));
    for (int trial = 0; trial < 20000; ++trial) {
        std::string s;
        const int n = static_cast<int>(rng() % 12);
        for (int k = 0; k < n; ++k) {
            if (rng() % 4 == 0) {
                s += static_cast<char>(rng() & 0xFF); // any byte, valid UTF-8 or not
            } else {
                s += pieces[rng() % pieces.size()];
            }
        }
        const Tokens ref = reference(s);
        ASSERT_EQ(forward(s), ref) << trial;
        ASSERT_EQ(backward(s), ref) << trial;
    }
}

struct TokenCase {
    const char* token;
    int index; // -1: not a move
    int count;
};

void PrintTo(const TokenCase& c, std::ostream* os) {
    *os << '"' << c.token << '"';
}

class TokenMeaning : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenMeaning, Matches) {
    const TokenCase& c = GetParam();
    const auto m = move_tokens::token_move(c.token);
    EXPECT_EQ(m.count, c.count);
    if (c.count > 0) {
        EXPECT_EQ(m.index, c.index);
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, TokenMeaning,
    ::testing::Values(TokenCase{"U", 0, 1}, TokenCase{"U'", 1, 1}, TokenCase{"U!", 1, 1},
                      TokenCase{"U2", 0, 2}, TokenCase{"D", 2, 1}, TokenCase{"D'", 3, 1},
                      TokenCase{"D!", 3, 1}, TokenCase{"D2", 2, 2}, TokenCase{"R", 4, 1},
                      TokenCase{"R'", 5, 1}, TokenCase{"R!", 5, 1}, TokenCase{"R2", 4, 2},
                      TokenCase{"L", 6, 1}, TokenCase{"L'", 7, 1}, TokenCase{"L!", 7, 1},
                      TokenCase{"L2", 6, 2}, TokenCase{"F", 8, 1}, TokenCase{"F'", 9, 1},
                      TokenCase{"F!", 9, 1}, TokenCase{"F2", 8, 2}, TokenCase{"B", 10, 1},
                      TokenCase{"B'", 11, 1}, TokenCase{"B!", 11, 1}, TokenCase{"B2", 10, 2},
                      TokenCase{"u", -1, 0}, TokenCase{"r'", -1, 0}, TokenCase{"U2'", -1, 0},
                      TokenCase{"U'2", -1, 0}, TokenCase{"U3", -1, 0}, TokenCase{"2", -1, 0},
                      TokenCase{"'", -1, 0}, TokenCase{"Uw", -1, 0}, TokenCase{"M", -1, 0},
                      TokenCase{"x", -1, 0}, TokenCase{"UU", -1, 0}, TokenCase{"RU", -1, 0},
                      TokenCase{"U\"", -1, 0}, TokenCase{"", -1, 0},
                      TokenCase{"\xC3\x9C", -1, 0})); // U with diaeresis

TEST(MoveTokens, InverseTable) {
    const char* faces = "UDRLFB";
    for (int f = 0; f < 6; ++f) {
        const std::string x(1, faces[f]);
        EXPECT_EQ(move_tokens::inverse_token(x), x + "'");
        EXPECT_EQ(move_tokens::inverse_token(x + "'"), x);
        EXPECT_EQ(move_tokens::inverse_token(x + "2"), x + "2");
        EXPECT_EQ(move_tokens::inverse_token(x + "!"), x + "!");
    }
    for (std::string_view t : {"x", "M", "r", "U3", "R,U", "u'", "U'2", "\xC3\x9C"}) {
        EXPECT_EQ(move_tokens::inverse_token(t), t);
    }
}

TEST(MoveTokens, InverseMovesReversesAndJoinsWithSingleSpaces) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},
        {" \t\n\xE3\x80\x80", ""},
        {"R U F'", "F U' R'"},
        {"R2 U' D", "D' U R2"},
        {"  R \t U\n", "U' R'"},
        {"U!", "U!"},
        {"R U!", "U! R'"},
        {"x M r U3", "U3 r M x"},
        {"R,U\xC2\xA0\xC3\x9C", "\xC3\x9C R,U"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(move_tokens::inverse_moves(in), out) << in;
}

// Each accepted token against the turns it names; other tokens change nothing.
template <class C>
void check_apply_moves() {
    C got{}, expected{};
    move_tokens::apply_moves(got, "R U'\xC2\xA0"
                                  "F2 x B! R,U D2' L");
    expected.do_r_move_internal();
    expected.do_u_prime_move_internal();
    expected.do_f_move_internal();
    expected.do_f_move_internal();
    expected.do_b_prime_move_internal();
    expected.do_l_move_internal();
    EXPECT_EQ(got, expected);
}

TEST(MoveTokens, ApplyMovesTurnsEachAcceptedToken) {
    check_apply_moves<Cube3x3>();
    check_apply_moves<Cube2x2>();
}

} // namespace
} // namespace tessaroll

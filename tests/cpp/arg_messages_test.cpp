#include "py/arg_messages.h"

#include <gtest/gtest.h>

namespace tessaroll::messages {
namespace {

TEST(ArgMessages, FullNames) {
    EXPECT_EQ(full_name("Cube3x3", "do_moves"), "Cube3x3.do_moves()");
    EXPECT_EQ(full_name("CubeBatch", "__new__"), "CubeBatch.__new__()");
    EXPECT_EQ(full_name(nullptr, "inverse_scramble"), "inverse_scramble()");
}

struct TooMany {
    std::size_t required, total, given;
    const char* expected;
};

class TooManyPositional : public ::testing::TestWithParam<TooMany> {};

TEST_P(TooManyPositional, Wording) {
    const TooMany& c = GetParam();
    EXPECT_EQ(too_many_positional("f()", c.required, c.total, c.given), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TooManyPositional,
    ::testing::Values(
        TooMany{0, 0, 1, "f() takes 0 positional arguments but 1 was given"},
        TooMany{2, 2, 3, "f() takes 2 positional arguments but 3 were given"},
        TooMany{0, 1, 2, "f() takes from 0 to 1 positional arguments but 2 were given"},
        TooMany{1, 3, 4, "f() takes from 1 to 3 positional arguments but 4 were given"}));

TEST(ArgMessages, MissingNamesAreJoinedLikeEnglish) {
    EXPECT_EQ(missing_required("f()", {"moves"}),
              "f() missing 1 required positional argument: 'moves'");
    EXPECT_EQ(missing_required("f()", {"count", "cube_type"}),
              "f() missing 2 required positional arguments: 'count' and 'cube_type'");
    EXPECT_EQ(missing_required("f()", {"a", "b", "c"}),
              "f() missing 3 required positional arguments: 'a', 'b', and 'c'");
    EXPECT_EQ(missing_required("f()", {"a", "b", "c", "d"}),
              "f() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'");
}

TEST(ArgMessages, KeywordProblems) {
    EXPECT_EQ(unexpected_keyword("inverse_scramble()", "x"),
              "inverse_scramble() got an unexpected keyword argument 'x'");
    EXPECT_EQ(multiple_values("CubeBatch.__new__()", "count"),
              "CubeBatch.__new__() got multiple values for argument 'count'");
}

} // namespace
} // namespace tessaroll::messages

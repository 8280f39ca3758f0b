#include "whole_number.h"

#include <gtest/gtest.h>

#include "failures.h"

namespace lmk {
namespace {

struct Accepted {
    const char* text;
    std::int32_t value;
};

class ParseWholeNumberAccepts : public testing::TestWithParam<Accepted> {};

TEST_P(ParseWholeNumberAccepts, GivesValue) {
    EXPECT_EQ(ParseWholeNumber(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseWholeNumberAccepts,
    testing::Values(Accepted{"320", 320}, Accepted{" 320", 320}, Accepted{"   320", 320},
                    Accepted{"+320", 320}, Accepted{"0320", 320}, Accepted{"$140", 320},
                    Accepted{"x140", 320}, Accepted{"X140", 320}, Accepted{"0x140", 320},
                    Accepted{"0X140", 320}, Accepted{"-320", -320}, Accepted{"$FFFFFFFF", -1},
                    Accepted{"$ffffffff", -1}, Accepted{"2147483647", 2147483647},
                    Accepted{"-2147483648", INT32_MIN}, Accepted{"0", 0}, Accepted{"-0", 0},
                    Accepted{"-$10", -16}, Accepted{"$00000000140", 320},
                    Accepted{"000000000000002147483647", 2147483647},
                    Accepted{"$80000000", INT32_MIN}, Accepted{"-$80000000", INT32_MIN},
                    Accepted{"x7fffffff", 2147483647}));

class ParseWholeNumberRefuses : public testing::TestWithParam<const char*> {};

TEST_P(ParseWholeNumberRefuses, WithQuotedMessage) {
    const std::string text = GetParam();
    try {
        ParseWholeNumber(text);
        FAIL() << "accepted \"" << text << '"';
    } catch (const EConvertError& failure) {
        EXPECT_EQ(failure.Message(), "'" + text + "' is not a valid integer value");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ParseWholeNumberRefuses,
                         testing::Values("", " ", "   ", "2147483648", "-2147483649", "320 ",
                                         "3 20", "320px", "- 320", "+", "-", "$", "x", "0x",
                                         "$100000000", "$G", "\t320", "320\n", "+-320", "--320",
                                         "abc", "99999999999999999999", "3.20", "0x-1", "$ 1"));

TEST(ParseWholeNumberRefusal, QuotesTextHoldingNulWhole) {
    const std::string text(" 320\0\0x", 7);
    try {
        ParseWholeNumber(text);
        FAIL();
    } catch (const EConvertError& failure) {
        EXPECT_EQ(failure.Message(), "'" + text + "' is not a valid integer value");
    }
}

}  // namespace
}  // namespace lmk

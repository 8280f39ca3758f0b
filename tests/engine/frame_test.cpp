#include "frame.h"

#include <gtest/gtest.h>

#include "failures.h"

namespace lmk {
namespace {

struct FitCase {
    const char* name;
    Frame source;
    Frame target;
    Frame result;
};

class FitFrameTable : public testing::TestWithParam<FitCase> {};

TEST_P(FitFrameTable, Fits) {
    Frame source = GetParam().source;
    FitFrame(source, GetParam().target);
    EXPECT_EQ(source.width, GetParam().result.width);
    EXPECT_EQ(source.height, GetParam().result.height);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FitFrameTable,
    testing::Values(
        FitCase{"WiderThanTall", {640, 480}, {320, 240}, {320, 240}},
        FitCase{"Widescreen", {1280, 720}, {320, 240}, {320, 180}},
        FitCase{"RoundsDown", {720, 480}, {320, 240}, {320, 213}},
        FitCase{"OnlyWidthExceeds", {352, 240}, {320, 240}, {320, 218}},
        FitCase{"ComesOutTallerThanTarget", {720, 576}, {320, 240}, {320, 256}},
        FitCase{"OnlyHeightExceedsButWider", {320, 250}, {320, 240}, {320, 250}},
        FitCase{"TwiceTargetHeight", {640, 400}, {320, 100}, {320, 200}},
        FitCase{"WideFrameGrowsToTheTargetsWidth", {300, 200}, {320, 100}, {320, 213}},
        FitCase{"ExactHalfToEvenBelow", {640, 481}, {320, 240}, {320, 240}},
        FitCase{"ExactHalfToEvenAbove", {640, 483}, {320, 240}, {320, 242}},
        FitCase{"Portrait", {480, 640}, {320, 240}, {180, 240}},
        FitCase{"SquareTakesHeight", {480, 480}, {320, 240}, {240, 240}},
        FitCase{"SmallerKept", {176, 144}, {320, 240}, {176, 144}},
        FitCase{"EqualKept", {320, 240}, {320, 240}, {320, 240}},
        FitCase{"ZeroKept", {0, 0}, {320, 240}, {0, 0}},
        FitCase{"NegativeTargetIsHuge", {1920, 1080}, {4294966976u, 4294967056u}, {1920, 1080}},
        // 90000 x 50000 wraps at 32 bits to 205032704 before the division (45000 unwrapped).
        FitCase{"ThinSideNeverBelowTwo", {2, 4000}, {320, 240}, {2, 240}},
        FitCase{"FlatSideNeverBelowTwo", {4000, 2}, {320, 240}, {320, 2}},
        FitCase{"ProductWrapsAt32Bits", {100000, 90000}, {50000, 100}, {50000, 2050}}),
    [](const testing::TestParamInfo<FitCase>& info) { return std::string(info.param.name); });

TEST(EvenSides, LowersOddSidesNeverBelowTwo) {
    EXPECT_EQ(EvenSides({320, 213}), (Frame{320, 212}));
    EXPECT_EQ(EvenSides({181, 240}), (Frame{180, 240}));
    EXPECT_EQ(EvenSides({1, 3}), (Frame{2, 2}));
    EXPECT_EQ(EvenSides({320, 240}), (Frame{320, 240}));
}

TEST(ReadTarget, NamesTheFirstSideNoFrameCanTake) {
    EXPECT_EQ(ReadTarget("$140", "240", "W", "H").frame, (Frame{320, 240}));
    EXPECT_EQ(ReadTarget("$140", "240", "W", "H").problem, "");
    EXPECT_EQ(ReadTarget("0", "-1", "W", "H").problem, "W: «0» — нужно целое число больше нуля");
    EXPECT_EQ(ReadTarget("1", "-$2", "W", "H").problem, "H: «-$2» — нужно целое число больше нуля");
    EXPECT_THROW(ReadTarget("1", "2.5", "W", "H"), EConvertError);
}

TEST(ReadTargetFrame, ParsesBothTextsWidthFirst) {
    EXPECT_EQ(ReadTargetFrame("320", "240"), (Frame{320, 240}));
    EXPECT_EQ(ReadTargetFrame(" $140", "0xF0"), (Frame{320, 240}));
    EXPECT_EQ(ReadTargetFrame("-320", "240"), (Frame{4294966976u, 240}));
    try {
        ReadTargetFrame("abc", "xyz");
        FAIL();
    } catch (const EConvertError& failure) {
        EXPECT_EQ(failure.Message(), "'abc' is not a valid integer value");
    }
    try {
        ReadTargetFrame("320", "240 ");
        FAIL();
    } catch (const EConvertError& failure) {
        EXPECT_EQ(failure.Message(), "'240 ' is not a valid integer value");
    }
}

}  // namespace
}  // namespace lmk

#include "failures.h"

#include <gtest/gtest.h>

namespace lmk {
namespace {

struct PeriodCase {
    const char* message;
    const char* shown;
};

class PeriodRuleTable : public testing::TestWithParam<PeriodCase> {};

TEST_P(PeriodRuleTable, AppendsFullStopOnlyAfterCodesAboveIt) {
    EXPECT_EQ(PeriodRule(GetParam().message), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PeriodRuleTable,
    testing::Values(PeriodCase{"Stream write error", "Stream write error."},
                    PeriodCase{"Done.", "Done."}, PeriodCase{"(see above)", "(see above)"},
                    PeriodCase{"Stop!", "Stop!"}, PeriodCase{"trailing ", "trailing "},
                    PeriodCase{"line\n", "line\n"}, PeriodCase{"value 42", "value 42."},
                    PeriodCase{"why?", "why?."}, PeriodCase{"path/", "path/."},
                    PeriodCase{"a:", "a:."}, PeriodCase{"x-", "x-"}, PeriodCase{"x,", "x,"},
                    PeriodCase{"quoted'", "quoted'"}, PeriodCase{"Готово", "Готово."},
                    PeriodCase{"", ""}));

TEST(SystemErrorTextTrim, RemovesTrailingControlsSpacesAndFullStops) {
    EXPECT_EQ(TrimSystemErrorText("The system cannot find the file specified.\r\n"),
              "The system cannot find the file specified");
    EXPECT_EQ(TrimSystemErrorText("No such file or directory"), "No such file or directory");
    EXPECT_EQ(TrimSystemErrorText("Odd . . \t"), "Odd");
    EXPECT_EQ(TrimSystemErrorText("..."), "");
}

TEST(FailureMessages, FollowTheCatalogue) {
    const EOSError started = OSErrorFromCode(2, "No such file or directory");
    EXPECT_EQ(started.Message(), "System Error.  Code: 2.\r\nNo such file or directory");
    EXPECT_EQ(started.Code(), 2);
    EXPECT_EQ(PeriodRule(started.Message()),
              "System Error.  Code: 2.\r\nNo such file or directory.");
    EXPECT_EQ(PeriodRule(OSErrorFromCode(0, "ignored").Message()),
              "A call to an OS function failed.");
    EXPECT_EQ(CannotCreateFile("/opt/x/coder.exe", "Permission denied").Message(),
              "Cannot create file \"/opt/x/coder.exe\". Permission denied");
    EXPECT_EQ(CannotOpenFile("/run/info", "No such file or directory").Message(),
              "Cannot open file \"/run/info\". No such file or directory");
    EXPECT_EQ(PeriodRule(NotAValidInteger("abc").Message()), "'abc' is not a valid integer value.");
    EXPECT_EQ(PeriodRule(NotAValidInteger("").Message()), "'' is not a valid integer value.");
    EXPECT_EQ(EOutOfMemory().Message(), "Out of memory");
}

TEST(FailureKinds, FormTheTree) {
    EXPECT_THROW(throw EFCreateError("x"), EFileStreamError);
    EXPECT_THROW(throw EFOpenError("x"), EStreamError);
    EXPECT_THROW(throw EWriteError("x"), EFilerError);
    EXPECT_THROW(throw EWriteError("x"), EStreamError);
    EXPECT_THROW(throw EOutOfMemory(), EHeapException);
    EXPECT_THROW(throw EConvertError("x"), Exception);
    EXPECT_THROW(throw EOSError("x", 1), Exception);
}

}  // namespace
}  // namespace lmk

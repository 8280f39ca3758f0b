// Started by the read-only folder test from a copy of itself in a folder it may not write to,
// as a user who may not write there.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include <QPlainTextEdit>

#include "application.h"
#include "boxes.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "shell_test_support.h"
#include "test_files.h"

namespace lmk {
namespace {

using test::BoxLog;
using test::DropFiles;
using test::Exists;

TEST(ReadOnlyProgramFolder, CannotCreateBoxThenAWindowThatRefusesDrops) {
    BoxLog boxes;
    test::WindowPlatform platform;
    auto window = test::MakeWindow(platform);
    TMainForm& form = *window;
    const std::string coder = ProgramFolder() + "coder.exe";
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(boxes.boxes[0].title, ApplicationTitle);
    EXPECT_EQ(boxes.boxes[0].text.toStdString(),
              "Cannot create file \"" + coder + "\". " + SystemErrorText(EACCES) + ".");
    EXPECT_EQ(ModuleValues.CoderPath, coder);
    EXPECT_FALSE(Exists(coder));

    form.show();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.DropsRegistered());
    const auto drop = DropFiles(&form, {"/etc/hostname"});
    EXPECT_FALSE(drop.enterAccepted);
    EXPECT_FALSE(drop.dropAccepted);
    const auto onLog = DropFiles(form.mLog->viewport(), {"/etc/hostname"});
    EXPECT_FALSE(onLog.dropAccepted);
}

}  // namespace
}  // namespace lmk

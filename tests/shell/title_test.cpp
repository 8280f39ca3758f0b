#include <gtest/gtest.h>

#include "application.h"
#include "posix_platform.h"

namespace lmk {
namespace {

TEST(ApplicationTitle, ProgramFileNameCutAtFirstStopAndLowered) {
    const struct {
        const char* path;
        const char* title;
    } cases[] = {
        {"/opt/tools/MYCONV.EXE", "Myconv"},
        {"/home/u/Video.Tool.exe", "Video"},
        {"/usr/bin/lmk-video", "lmk-video"},  // the first character is kept as it is
        {"lmk-video", "lmk-video"},
        {"/srv/a.b/ConVert", "Convert"},    // a stop in a folder's name does not count
        {"/x/dir\\Name.exe", "dir\\name"},  // a backslash is part of the name here
        {"/x/ЛМК-ВИДЕО.exe", "Лмк-видео"},
        {"/x/.hidden", ""},
        {"/x/", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ApplicationTitleFrom(QString::fromUtf8(c.path)).toStdString(), c.title) << c.path;
    }
}

TEST(ApplicationTitle, FixedFromTheRunningProgram) {
    EXPECT_EQ(ApplicationTitle, ApplicationTitleFrom(QString::fromStdString(ProgramPath())));
    EXPECT_EQ(ApplicationTitle, QStringLiteral("shell_tests"));
}

}  // namespace
}  // namespace lmk

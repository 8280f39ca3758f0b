#include <gtest/gtest.h>

#include "application.h"
#include "lmk1.h"
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

// The share of the whole job, rounded down, and the running file's number of all.
TEST(ApplicationTitle, AJobShowsItsProgressBeforeTheTitle) {
    const struct {
        int done, left;
        double share;
        const char* title;
    } cases[] = {
        {0, 1, 0, "0% · 1/1 — ЛМК-Видео"},
        {1, 4, 0.25, "25% · 2/5 — ЛМК-Видео"},
        {2, 1, 0.999, "99% · 3/3 — ЛМК-Видео"},  // 100% only once every file is done
        {3, 0, 0, "100% · 3/3 — ЛМК-Видео"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JobTitle(c.done, c.left, c.share, QStringLiteral("ЛМК-Видео")).toStdString(),
                  c.title);
    }
}

}  // namespace
}  // namespace lmk

// The program as the Debian package installs it, unpacked into a throwaway root that
// LMK_PACKAGE_ROOT names (package_test.sh does that): it runs the system's ffmpeg from PATH,
// writes nothing beside itself, and still opens its window when ffmpeg is missing.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "clips.h"
#include "desktop_run.h"
#include "desktop_support.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::desktop {
namespace {

using namespace std::chrono_literals;
using integration::ClipKind;
using test::Exists;
using test::FolderNames;
using test::RunProgram;
using test::RunResult;
using test::WaitUntil;
using testing::HasSubstr;

std::string PackageRoot() {
    const char* root = std::getenv("LMK_PACKAGE_ROOT");
    return root && *root ? root : "";
}

class Packaged : public DesktopRun {
protected:
    void SetUp() override {
        if (PackageRoot().empty()) GTEST_SKIP() << "LMK_PACKAGE_ROOT names no unpacked package";
        DesktopRun::SetUp();
        std::filesystem::create_directory(Scratch("empty"));
    }

    std::string PrepareProgram() override { return PackageRoot() + "/usr/bin/lmk-video"; }

    // A PATH on which no ffmpeg can be found.
    std::string NoCoderPath() const { return "PATH=" + Scratch("empty"); }
};

TEST_F(Packaged, ConvertsFromATerminalWithTheSystemsFfmpeg) {
    const std::string clip = Place(ClipKind::Avi640x480, "clip.avi");
    const RunResult result = RunProgram(Program(), {"--convert", clip}, Settings());
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    ExpectConverted(Work("lmk-clip.avi"), 320, 240);

    const RunResult missing =
        RunProgram(Program(), {"--convert", Place(ClipKind::Avi640x480, "other.avi")},
                   Settings({NoCoderPath()}));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_THAT(missing.err, HasSubstr("\"ffmpeg\""));
    EXPECT_FALSE(Exists(Work("lmk-other.avi")));
}

TEST_F(Packaged, TheWindowConvertsADropAndWritesNothingBesideItself) {
    const std::vector<std::string> installed = FolderNames(ProgramFolder());
    const std::string clip = Place(ClipKind::Avi640x480, "clip.avi");

    const std::string window = StartProgram();
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(FolderNames(ProgramFolder()), installed) << "a file was written beside the program";
    DropOnLog(window, {clip});
    ASSERT_TRUE(WaitUntil([&] { return JobDone({Work("lmk-clip.avi")}); }, kJobLimit))
        << "the drop was not converted; the drag source said: " << DragOutcome();
    ExpectConverted(Work("lmk-clip.avi"), 320, 240);

    ClickExit(window);
    const RunResult result = m_program->Wait(kEndLimit);
    EXPECT_FALSE(result.timedOut) << "Exit did not end the program";
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(FolderNames(ProgramFolder()), installed);
}

// The box's text itself is the shell tests' (built with the system coder); here, the order
// a person meets things in.
TEST_F(Packaged, WithoutFfmpegTheErrorBoxComesFirstAndTheWindowStillOpens) {
    const std::string clip = Place(ClipKind::Avi640x480, "clip.avi");
    const std::string box = StartProgram({NoCoderPath()}, kBoxTitle);
    ASSERT_FALSE(box.empty());
    SaveScreenshot(box, "missing-ffmpeg");
    // The window is shown only once the box is closed.
    EXPECT_FALSE(FindWindow(m_program->Pid(), kCaption, 0s));

    ASSERT_TRUE(FocusWindow(box, kStartLimit));
    PressKeys("Return");
    const auto window = FindWindow(m_program->Pid(), kCaption, kStartLimit);
    ASSERT_TRUE(window) << "the window did not open after the box";
    EXPECT_FALSE(WindowExists(box));

    // A drop is taken, to be refused with a line: there is no coder to run.
    DropOnLog(*window, {clip});
    EXPECT_EQ(DragOutcome(), "drag ended: copy\n");
    EXPECT_FALSE(Exists(Work("lmk-clip.avi")));

    ClickExit(*window);
    const RunResult result = m_program->Wait(kEndLimit);
    EXPECT_FALSE(result.timedOut) << "Exit did not end the program";
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

}  // namespace
}  // namespace lmk::desktop

// The real program in a real X server, used the way a person uses it: files dragged onto its
// window from another program, the Exit button clicked. Runs under with_xvfb.sh.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <memory>
#include <optional>

#include <gtest/gtest.h>
#include <signal.h>

#include "clips.h"
#include "desktop_run.h"
#include "desktop_support.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::desktop {
namespace {

using namespace std::chrono_literals;
using integration::ClipKind;
using test::Child;
using test::ChildrenOf;
using test::Exists;
using test::ProcessGone;
using test::ReadFile;
using test::RunResult;
using test::WaitUntil;

using Accessibility = DesktopRun;
using Drop = DesktopRun;
using Paste = DesktopRun;
using Stop = DesktopRun;

TEST_F(Drop, TwoClipsDroppedTogetherAreBothConverted) {
    // A name that needs escaping in a URL, and a clip smaller than the target, never enlarged.
    const std::string large = Place(ClipKind::Avi640x480, "поездка на дачу #1.avi");
    const std::string small = Place(ClipKind::AviSmall176x144, "small.avi");
    const std::string largeOutput = Work("lmk-поездка на дачу #1.avi");
    const std::string smallOutput = Work("lmk-small.avi");
    const std::string coderFile = ProgramFolder() + "/coder.exe";

    const std::string window = StartProgram();
    ASSERT_FALSE(window.empty());
    EXPECT_TRUE(Exists(coderFile)) << "no coder file beside the program";
    SaveScreenshot(window, "start");

    DropOnLog(window, {large, small});
    ASSERT_TRUE(WaitUntil(
        [&] {
            return JobDone({largeOutput, smallOutput});
        },
        kJobLimit))
        << "the outputs did not both appear; the drag source said: " << DragOutcome();
    EXPECT_EQ(DragOutcome(), "drag ended: copy\n");
    SaveScreenshot(window, "done");

    ExpectConverted(largeOutput, 320, 240);
    ExpectConverted(smallOutput, 176, 144);
    EXPECT_TRUE(Exists(large) && Exists(small)) << "an input was touched";
    EXPECT_FALSE(m_program->Ended()) << "the program ended after the job";
    EXPECT_TRUE(WindowExists(window));

    // Idle, Exit closes the window and ends the program, taking its coder file with it.
    ClickExit(window);
    const RunResult result = m_program->Wait(kEndLimit);
    EXPECT_FALSE(result.timedOut) << "Exit did not end the program";
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(Exists(coderFile));
}

// What a screen reader is given, read from the accessibility bus of the suite's own session
// bus: the program's window with the name and role of every control.
TEST_F(Accessibility, TheWindowIsAFrameWithEveryControlNamed) {
    const std::string window = StartProgram({"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
    ASSERT_FALSE(window.empty());
    const RunResult tree = test::RunProgram(AccessibleTreePath(), {});
    ASSERT_EQ(tree.exitCode, 0) << tree.err;
    for (const char* object : {
             "\n  frame: ЛМК-Видео: \n",
             "\n    push button: Выход: Останавливает конвертацию, а без неё закрывает окно\n",
             "\n    text: Журнал: Ход конвертации. Перетащите сюда файлы или нажмите Ctrl+O\n",
             "\n    text: Ширина видео: Ширина кадра в точках\n",
             "\n    text: Высота видео: Высота кадра в точках\n",
             "\n    push button: О программе: Показывает сведения о программе\n",
             "\n    label: Размер видео:: \n",
         }) {
        EXPECT_NE(tree.out.find(object), std::string::npos) << object << "\nin:\n" << tree.out;
    }
    ClickExit(window);
    EXPECT_FALSE(m_program->Wait(kEndLimit).timedOut);
}

TEST_F(Paste, TextGoesIntoTheWidthBoxAndCopiedFilesRunAsADrop) {
    const std::string clip = Place(ClipKind::Avi640x480, "copied.avi");
    const std::string output = Work("lmk-copied.avi");
    const std::string window = StartProgram();
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(FocusWindow(window, kStartLimit));

    // A width copied as text replaces the width box's text.
    ASSERT_TRUE(CopyToClipboard({"--text", "176"})) << "the clipboard could not be set";
    ClickWidthBox(window);
    PressKeys("ctrl+a");
    PressKeys("ctrl+v");
    ASSERT_TRUE(WaitUntil([&] { return ClipboardSent("text/plain"); }, kStartLimit))
        << "the text was never pasted";

    // A file copied in a file manager, pasted with the focus still in the width box.
    ASSERT_TRUE(CopyToClipboard({clip})) << "the clipboard could not be set";
    PressKeys("ctrl+v");
    ASSERT_TRUE(WaitUntil([&] { return JobDone({output}); }, kJobLimit))
        << "the pasted file was not converted";
    EXPECT_TRUE(ClipboardSent("text/uri-list"));
    // 640 x 480 fitted into the pasted 176 x 240; a file name in the box would have failed.
    ExpectConverted(output, 176, 132);
    EXPECT_TRUE(Exists(clip)) << "the input was touched";
}

// Qt's own file dialog, as a desktop without a platform dialog shows it: a path typed into its
// name box and Enter convert that file.
TEST_F(Paste, AFileTypedIntoTheOpenDialogIsConverted) {
    // The dialog opens in the Videos folder, and writes nothing under HOME: no history, no last
    // folder that would outlive the program.
    const std::filesystem::path home = Scratch("home");
    std::filesystem::create_directories(home / "Videos");
    const std::string clip = home / "Videos/chosen.avi";
    std::filesystem::copy_file(Place(ClipKind::Avi640x480, "chosen.avi"), clip);
    const std::string output = home / "Videos/lmk-chosen.avi";
    const std::string window =
        StartProgram({"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / ".config").string()});
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(FocusWindow(window, kStartLimit));

    PressKeys("ctrl+o");
    const auto dialog = FindWindow(m_program->Pid(), "Выберите файлы для конвертации", kStartLimit);
    ASSERT_TRUE(dialog) << "the file dialog never appeared";
    // Given the focus, as a window manager would, the dialog gives it to its name box.
    ASSERT_TRUE(FocusWindow(*dialog, kStartLimit)) << "the dialog did not get the focus";
    TypeText("chosen.avi");
    PressKeys("Return");
    ASSERT_TRUE(WaitUntil([&] { return JobDone({output}); }, kJobLimit))
        << "the chosen file was not converted";
    ExpectConverted(output, 320, 240);
    EXPECT_FALSE(WindowExists(*dialog));
    EXPECT_TRUE(Exists(clip)) << "the input was touched";

    ClickExit(window);
    EXPECT_FALSE(m_program->Wait(kEndLimit).timedOut);
    std::vector<std::string> written;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
        written.push_back(std::filesystem::relative(entry.path(), home));
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written,
              (std::vector<std::string>{"Videos", "Videos/chosen.avi", "Videos/lmk-chosen.avi"}));
}

// Two copies started from one folder share the coder file: the first to end leaves it to the
// other, and the last removes it.
TEST_F(Drop, TheSecondCopyEndingFirstLeavesTheCoderToTheOther) {
    const std::string clip = Place(ClipKind::AviSmall176x144, "clip.avi");
    const std::string coderFile = ProgramFolder() + "/coder.exe";
    const std::string first = StartProgram();
    ASSERT_FALSE(first.empty());
    // Out of the way of the second, which is centred as the first was, and of the drag source
    // at the top left.
    ASSERT_TRUE(MoveWindow(first, 660, 560, kStartLimit));

    Child secondProgram(Program(), {}, Settings());
    const auto second = FindWindow(secondProgram.Pid(), kCaption, kStartLimit);
    ASSERT_TRUE(second) << "the second copy's window never appeared";
    ClickExit(*second);
    const RunResult secondResult = secondProgram.Wait(kEndLimit);
    ASSERT_FALSE(secondResult.timedOut) << "Exit did not end the second copy";
    EXPECT_EQ(secondResult.exitCode, 0) << secondResult.err;
    EXPECT_TRUE(Exists(coderFile)) << "the second copy took the first one's coder";

    DropOnLog(first, {clip});
    ASSERT_TRUE(WaitUntil([&] { return JobDone({Work("lmk-clip.avi")}); }, kJobLimit))
        << "the first copy's drop was not converted; the drag source said: " << DragOutcome();
    ExpectConverted(Work("lmk-clip.avi"), 176, 144);

    ClickExit(first);
    const RunResult result = m_program->Wait(kEndLimit);
    EXPECT_FALSE(result.timedOut) << "Exit did not end the first copy";
    EXPECT_FALSE(Exists(coderFile)) << "the last copy to end left the coder file";
}

// A window whose start-up failed takes no drops, and no files named for it either: nothing is
// converted, and nothing is written into the current folder.
TEST_F(Drop, FilesNamedForAWindowThatCouldNotStartAreRefused) {
    const std::string clip = Place(ClipKind::AviSmall176x144, "clip.avi");
    // A folder where the coder file should go: it cannot be written.
    std::filesystem::create_directory(ProgramFolder() + "/coder.exe");

    const std::string box = StartProgram({}, kBoxTitle, {clip});
    ASSERT_FALSE(box.empty());
    ASSERT_TRUE(FocusWindow(box, kStartLimit));
    PressKeys("Return");
    const auto window = FindWindow(m_program->Pid(), kCaption, kStartLimit);
    ASSERT_TRUE(window) << "the window did not open after the box";

    ClickExit(*window);
    const RunResult result = m_program->Wait(kEndLimit);
    ASSERT_FALSE(result.timedOut) << "Exit did not end the program";
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::FolderNames(Work("")), std::vector<std::string>{"clip.avi"});
}

TEST_F(Stop, ExitDuringALongConversionEndsEverything) {
    const std::string longClip = Place(ClipKind::LongWebm, "long.webm");
    const std::string later = Place(ClipKind::Avi640x480, "later.avi");
    // The program makes the partial file as the conversion starts.
    const auto converting = [&] { return test::PartialFileIn(Work(""), "lmk-long.webm"); };

    const std::string window = StartProgram();
    ASSERT_FALSE(window.empty());
    DropOnLog(window, {longClip, later});

    std::vector<pid_t> coders;
    ASSERT_TRUE(WaitUntil(
        [&] {
            coders = ChildrenOf(m_program->Pid());
            return converting() && !coders.empty();
        },
        kJobLimit))
        << "the conversion never started; the drag source said: " << DragOutcome();
    if (std::getenv("LMK_SCREENSHOT_DIR")) {
        // Long enough for the coder to tell how far it has come.
        std::this_thread::sleep_for(3s);
        SaveScreenshot(window, "converting");
    }
    ASSERT_FALSE(m_program->Ended());
    coders = ChildrenOf(m_program->Pid());
    ASSERT_FALSE(coders.empty()) << "the conversion ended before it could be stopped";

    ClickExit(window);
    const RunResult result = m_program->Wait(kEndLimit);
    ASSERT_FALSE(result.timedOut) << "the program did not end after Exit";
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const pid_t coder : coders) {
        EXPECT_TRUE(ProcessGone(coder, kEndLimit)) << "the coder runs on after the program ended";
    }
    EXPECT_FALSE(converting()) << "the partial output was left behind";
    EXPECT_FALSE(Exists(Work("lmk-long.webm")) || Exists(Work("lmk-long.webm.mp4")));
    EXPECT_FALSE(Exists(Work("lmk-later.avi"))) << "a file after the stopped one was converted";
    EXPECT_TRUE(Exists(longClip) && Exists(later)) << "an input was touched";
    EXPECT_FALSE(Exists(ProgramFolder() + "/coder.exe"))
        << "the coder file beside the program was left behind";
}

// Without its window the program would run on for ever; it ends as after a close.
TEST_F(Stop, AWindowDestroyedFromOutsideEndsTheProgram) {
    const std::string window = StartProgram();
    ASSERT_FALSE(window.empty());
    EXPECT_TRUE(Exists(ProgramFolder() + "/coder.exe"));

    DestroyWindow(window);
    const RunResult result = m_program->Wait(kEndLimit);
    ASSERT_FALSE(result.timedOut) << "the program runs on without its window";
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(Exists(ProgramFolder() + "/coder.exe")) << "the coder file was left behind";
}

// SIGTERM, SIGINT and SIGHUP do what Exit does: during a job the coder is ended and its
// partial output deleted, then the program ends as after a close, taking its files with it.
// An X server that goes away ends the program with status 1, and leaves nothing behind either.
struct SignalCase {
    const char* label;
    int signal;
    bool duringJob;
    bool serverLost = false;  // the signal ends the program's own X server instead
};

void PrintTo(const SignalCase& c, std::ostream* out) {
    *out << c.label;
}

class StopBySignal : public DesktopRun, public testing::WithParamInterface<SignalCase> {};

TEST_P(StopBySignal, EndsTheProgramAsExitDoes) {
    const SignalCase& c = GetParam();
    const std::string longClip = Place(ClipKind::LongWebm, "long.webm");
    const auto converting = [&] { return test::PartialFileIn(Work(""), "lmk-long.webm"); };
    std::vector<std::string> named;
    if (c.duringJob) named.push_back(longClip);

    std::unique_ptr<Child> server;
    if (c.serverLost) {
        // The suite's server is the other tests'; this one is the program's alone.
        const std::string number = Scratch("display");
        test::WriteFile(number, "");
        server = std::make_unique<Child>(
            "/bin/sh",
            std::vector<std::string>{
                "-c", "exec Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>\"$0\"", number},
            Settings());
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(number).ends_with('\n'); }, kStartLimit))
            << "the program's X server did not start";
        std::string display = ReadFile(number);
        display.pop_back();
        m_program = std::make_unique<Child>(Program(), named, Settings({"DISPLAY=:" + display}));
    } else {
        ASSERT_FALSE(StartProgram({}, kCaption, named).empty());
    }
    std::vector<pid_t> coders;
    if (c.duringJob) {
        ASSERT_TRUE(WaitUntil(
            [&] {
                coders = ChildrenOf(m_program->Pid());
                return converting() && !coders.empty();
            },
            kJobLimit))
            << "the conversion never started";
    }
    EXPECT_TRUE(Exists(ProgramFolder() + "/coder.exe"));

    ASSERT_EQ(kill(c.serverLost ? server->Pid() : m_program->Pid(), c.signal), 0);
    const RunResult result = m_program->Wait(kEndLimit);
    ASSERT_FALSE(result.timedOut) << "the program did not end after the signal";
    EXPECT_EQ(result.exitCode, c.serverLost ? 1 : 0) << result.err;
    for (const pid_t coder : coders) {
        EXPECT_TRUE(ProcessGone(coder, kEndLimit)) << "the coder runs on after the program ended";
    }
    EXPECT_FALSE(converting()) << "the partial output was left behind";
    EXPECT_FALSE(Exists(Work("lmk-long.webm")) || Exists(Work("lmk-long.webm.mp4")));
    EXPECT_TRUE(Exists(longClip));
    EXPECT_FALSE(Exists(ProgramFolder() + "/coder.exe")) << "the coder file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Desktop, StopBySignal,
                         testing::Values(SignalCase{"TerminateDuringAJob", SIGTERM, true},
                                         SignalCase{"InterruptDuringAJob", SIGINT, true},
                                         SignalCase{"HangUpWhenIdle", SIGHUP, false},
                                         SignalCase{"TerminateWhenIdle", SIGTERM, false},
                                         SignalCase{"XServerLostDuringAJob", SIGTERM, true, true}),
                         [](const auto& info) { return std::string(info.param.label); });

struct AttentionCase {
    const char* label;
    bool programActive;  // the program's window has the focus while its job runs
    bool asks;           // the job's end asks the desktop for attention
};

void PrintTo(const AttentionCase& c, std::ostream* out) {
    *out << c.label;
}

class Attention : public DesktopRun, public testing::WithParamInterface<AttentionCase> {};

TEST_P(Attention, AJobEndAsksForAttentionOnlyWhenTheWindowIsNotActive) {
    const AttentionCase& c = GetParam();
    const std::string clip = Place(ClipKind::AviSmall176x144, "clip.avi");
    const std::string heard = Scratch("heard");
    Child watch(AttentionWatchPath(), {heard}, {});
    ASSERT_TRUE(WaitUntil([&] { return !LinesOf(heard).empty(); }, kStartLimit))
        << "the watch never listened";

    const std::string window = StartProgram();
    ASSERT_FALSE(window.empty());
    const std::string source = StartDragSource({clip});
    ASSERT_FALSE(source.empty());
    ASSERT_TRUE(FocusWindow(c.programActive ? window : source, kStartLimit));
    DragOntoLog(source, window);
    ASSERT_TRUE(WaitUntil([&] { return JobDone({Work("lmk-clip.avi")}); }, kJobLimit))
        << "the drop was not converted; the drag source said: " << DragOutcome();

    // All that the program asked for reaches the watch before its window's end does.
    ClickExit(window);
    const RunResult result = m_program->Wait(kEndLimit);
    ASSERT_FALSE(result.timedOut) << "Exit did not end the program";
    const std::string gone = window + " destroyed";
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto lines = LinesOf(heard);
            return std::find(lines.begin(), lines.end(), gone) != lines.end();
        },
        kEndLimit));
    const auto lines = LinesOf(heard);
    const bool asked = std::find(lines.begin(), lines.end(),
                                 window + " add _NET_WM_STATE_DEMANDS_ATTENTION") != lines.end();
    EXPECT_EQ(asked, c.asks) << testing::PrintToString(lines);
}

INSTANTIATE_TEST_SUITE_P(Desktop, Attention,
                         testing::Values(AttentionCase{"ElsewhereAsks", false, true},
                                         AttentionCase{"ActiveDoesNotAsk", true, false}),
                         [](const auto& info) { return std::string(info.param.label); });

// The outer frame is centred on the desktop once a window manager has framed the window; without
// one the window has no frame and is centred as it is. At a scale factor the window stands on
// the logical grid, so the frame may be off by less than one logical pixel.
struct PlacementCase {
    const char* label;
    bool windowManager;
    int scale;
};

void PrintTo(const PlacementCase& c, std::ostream* out) {
    *out << c.label;
}

class Placement : public DesktopRun, public testing::WithParamInterface<PlacementCase> {};

TEST_P(Placement, TheOuterFrameIsCentredOnTheDesktop) {
    const PlacementCase& c = GetParam();
    if (c.windowManager) {
        if (WindowManagerPath().empty()) GTEST_SKIP() << "no window manager installed";
        ASSERT_TRUE(StartWindowManager()) << "the window manager is not up";
    }
    const auto desktop = DisplayGeometry();
    ASSERT_TRUE(desktop);

    const std::string window = StartProgram({"QT_SCALE_FACTOR=" + std::to_string(c.scale)});
    ASSERT_FALSE(window.empty());
    std::optional<Geometry> frame;
    const bool centred = WaitUntil(
        [&] {
            frame = FrameOf(window);
            const bool framed = !c.windowManager || (frame && frame->height > 177 * c.scale);
            return frame && framed &&
                   std::abs(frame->x - (desktop->width / 2 - frame->width / 2)) < c.scale &&
                   std::abs(frame->y - (desktop->height / 2 - frame->height / 2)) < c.scale;
        },
        kStartLimit);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(centred) << "the frame stands at " << frame->x << "," << frame->y << " and is "
                         << frame->width << "x" << frame->height;
    if (c.windowManager) {
        EXPECT_GT(frame->height, 177 * c.scale) << "the window manager put no frame";
    }
    ClickExit(window);
    EXPECT_FALSE(m_program->Wait(kEndLimit).timedOut);
}

INSTANTIATE_TEST_SUITE_P(Desktop, Placement,
                         testing::Values(PlacementCase{"UnderAWindowManager", true, 1},
                                         PlacementCase{"WithoutAWindowManager", false, 1},
                                         PlacementCase{"UnderAWindowManagerAtScale2", true, 2}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lmk::desktop

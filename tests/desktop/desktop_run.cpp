#include "desktop_run.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "desktop_support.h"
#include "integration_support.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::desktop {
namespace {

using integration::ClipShelf;
using test::Child;
using test::ChildrenOf;
using test::Exists;
using test::RunSettings;

const std::string kDragSourceTitle = "lmk drag source";

}  // namespace

const std::string kCaption = "ЛМК-Видео";
const std::string kBoxTitle = "lmk-video";

void DesktopRun::SetUp() {
    const char* display = std::getenv("DISPLAY");
    ASSERT_TRUE(display && *display) << "no X server: run under with_xvfb.sh";
    m_folder = std::make_unique<test::ScratchFolder>("desktop");
    for (const char* part : {"program", "work", "run"}) {
        std::filesystem::create_directory(*m_folder / part);
    }
    // Qt takes a runtime folder open to others for none and makes one of its own there.
    std::filesystem::permissions(*m_folder / "run", std::filesystem::perms::owner_all);
    m_programPath = PrepareProgram();
}

void DesktopRun::TearDown() {
    if (m_program && m_program->Ended()) {
        EXPECT_EQ(test::FolderNames(*m_folder / "run"), std::vector<std::string>{})
            << "the program left its private folder behind";
    }
    m_dragSource.reset();
    m_clipboardSource.reset();
    m_program.reset();
    m_windowManager.reset();
    m_folder.reset();
}

std::string DesktopRun::PrepareProgram() {
    const std::string path = *m_folder / "program/lmk-video";
    test::CopyFile(integration::ProgramPath(), path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

std::string DesktopRun::ProgramFolder() const {
    return std::filesystem::path(m_programPath).parent_path().string();
}

std::string DesktopRun::Place(integration::ClipKind kind, const std::string& name) const {
    const std::string path = Work(name);
    test::CopyFile(ClipShelf::Get(kind), path);
    return path;
}

RunSettings DesktopRun::Settings(const std::vector<std::string>& extra) const {
    RunSettings settings;
    settings.currentFolder = *m_folder / "work";
    const std::string run = *m_folder / "run";
    settings.environmentExtra = {"XDG_RUNTIME_DIR=" + run, "TMPDIR=" + run};
    settings.environmentExtra.insert(settings.environmentExtra.end(), extra.begin(), extra.end());
    return settings;
}

RunSettings DesktopRun::ToolSettings() const {
    // Qt programs of their own, which would launch a session bus where none is set; only the
    // program under test is to be kept from doing that.
    return Settings({"DBUS_SESSION_BUS_ADDRESS=disabled:"});
}

std::string DesktopRun::StartProgram(const std::vector<std::string>& environment,
                                     const std::string& title,
                                     const std::vector<std::string>& arguments) {
    m_program = std::make_unique<Child>(m_programPath, arguments, Settings(environment));
    const auto window = FindWindow(m_program->Pid(), title, kStartLimit);
    if (!window) {
        ADD_FAILURE() << "the window \"" << title << "\" never appeared";
        return {};
    }
    return *window;
}

std::string DesktopRun::StartDragSource(const std::vector<std::string>& files) {
    m_dragSource = std::make_unique<Child>(DragSourcePath(), files, ToolSettings());
    const auto source = FindWindow(m_dragSource->Pid(), kDragSourceTitle, kStartLimit);
    if (!source) {
        ADD_FAILURE() << "the drag source's window never appeared";
        return {};
    }
    return *source;
}

void DesktopRun::DragOntoLog(const std::string& source, const std::string& window) {
    const auto from = GeometryOf(source);
    const auto to = GeometryOf(window);
    ASSERT_TRUE(from && to) << "a window is gone";
    // The log box's middle: 8 to 337 across and 32 to 138 down of 343 x 177.
    DragWithPointer(from->x + from->width / 2, from->y + from->height / 2, to->x + to->width / 2,
                    to->y + to->height * 85 / 177);
}

void DesktopRun::DropOnLog(const std::string& window, const std::vector<std::string>& files) {
    const std::string source = StartDragSource(files);
    ASSERT_FALSE(source.empty());
    DragOntoLog(source, window);
}

std::string DesktopRun::DragOutcome() {
    if (!m_dragSource) return {};
    return m_dragSource->Wait(kEndLimit).out;
}

bool DesktopRun::CopyToClipboard(const std::vector<std::string>& arguments) {
    const std::string report = Scratch("clipboard");
    std::filesystem::remove(report);
    std::vector<std::string> all = {report};
    all.insert(all.end(), arguments.begin(), arguments.end());
    m_clipboardSource = std::make_unique<Child>(ClipboardSourcePath(), all, ToolSettings());
    return test::WaitUntil(
        [&] {
            const auto lines = LinesOf(report);
            return std::find(lines.begin(), lines.end(), "owner") != lines.end();
        },
        kStartLimit);
}

bool DesktopRun::ClipboardSent(const std::string& format) {
    const auto lines = LinesOf(Scratch("clipboard"));
    return std::find(lines.begin(), lines.end(), "sent " + format) != lines.end();
}

bool DesktopRun::StartWindowManager() {
    // An ended manager leaves its mark on the root window: wait for this one's own.
    test::RunProgram(LMK_XPROP_PATH, {"-root", "-remove", "_NET_SUPPORTING_WM_CHECK"});
    m_windowManager = std::make_unique<Child>(WindowManagerPath(),
                                              std::vector<std::string>{"--sm-disable"}, Settings());
    return test::WaitUntil(WindowManagerRunning, kStartLimit);
}

// The Exit button's middle: 260 + 75 / 2 across and 144 + 25 / 2 down of 343 x 177, kept 8 from
// the right and bottom edges.
void DesktopRun::ClickExit(const std::string& window) {
    const auto geometry = GeometryOf(window);
    ASSERT_TRUE(geometry) << "the window is gone";
    ClickAt(geometry->x + geometry->width - 8 - 37, geometry->y + geometry->height - 8 - 12);
}

// The width box's middle: 104 + 57 / 2 across and 5 + 21 / 2 down; it stays put.
void DesktopRun::ClickWidthBox(const std::string& window) {
    const auto geometry = GeometryOf(window);
    ASSERT_TRUE(geometry) << "the window is gone";
    ClickAt(geometry->x + 104 + 28, geometry->y + 5 + 10);
}

bool DesktopRun::JobDone(const std::vector<std::string>& outputs) {
    return std::all_of(outputs.begin(), outputs.end(), Exists) &&
           ChildrenOf(m_program->Pid()).empty();
}

void ExpectConverted(const std::string& output, int width, int height) {
    SCOPED_TRACE(output);
    const auto streams = integration::StreamsOf(output);
    const auto video = integration::FirstStream(streams, "video");
    const auto sound = integration::FirstStream(streams, "audio");
    ASSERT_TRUE(video && sound) << "not a clip with picture and sound";
    EXPECT_EQ(video->width, width);
    EXPECT_EQ(video->height, height);
    EXPECT_EQ(sound->codec, "mp3");
}

}  // namespace lmk::desktop

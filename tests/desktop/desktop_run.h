#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clips.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::desktop {

extern const std::string kCaption;   // "ЛМК-Видео"
extern const std::string kBoxTitle;  // the boxes' title, formed from the program file's name

// Bounds on "happens at all", not timings: the machine may be busy.
inline constexpr std::chrono::seconds kStartLimit{60};
inline constexpr std::chrono::seconds kJobLimit{180};
inline constexpr std::chrono::seconds kEndLimit{30};

// The program run in the X server that DISPLAY names. Each test gets a fresh folder: program/
// holds a copy of the program (its coder file is written there), work/ the files it converts,
// run/ its runtime folder, which must be empty again once the program has ended.
class DesktopRun : public testing::Test {
protected:
    static void SetUpTestSuite() { integration::ClipShelf::Open(); }
    static void TearDownTestSuite() { integration::ClipShelf::Close(); }

    void SetUp() override;
    void TearDown() override;

    // Puts the program where the test runs it and returns its path.
    virtual std::string PrepareProgram();

    const std::string& Program() const { return m_programPath; }
    std::string ProgramFolder() const;
    std::string Scratch(const std::string& name) const { return *m_folder / name; }
    std::string Work(const std::string& name) const { return *m_folder / ("work/" + name); }
    // Copies a clip into the work folder under `name` and returns its path.
    std::string Place(integration::ClipKind kind, const std::string& name) const;

    // The work folder as current folder, run/ as runtime folder, and `extra` on top.
    test::RunSettings Settings(const std::vector<std::string>& extra = {}) const;
    // As Settings, for the tests' own Qt programs (the drag and clipboard sources).
    test::RunSettings ToolSettings() const;

    // Starts the program's window and returns the X window, or empty (with a failure noted)
    // when none appeared. `title` is the first window to wait for.
    std::string StartProgram(const std::vector<std::string>& environment = {},
                             const std::string& title = kCaption,
                             const std::vector<std::string>& arguments = {});

    // Shows `files` in a drag source of their own and returns its window.
    std::string StartDragSource(const std::vector<std::string>& files);
    // Drags from the source window onto the program's log box.
    void DragOntoLog(const std::string& source, const std::string& window);
    void DropOnLog(const std::string& window, const std::vector<std::string>& files);
    // What the drag source said of its drag ("drag ended: copy" when the drop was taken).
    std::string DragOutcome();

    // Puts the files on the X clipboard as a file manager's copy does (or, after "--text", that
    // text), from a program of its own that serves it; false when it could not.
    bool CopyToClipboard(const std::vector<std::string>& arguments);
    // True once a program pasting has been given the clipboard's data in `format`.
    bool ClipboardSent(const std::string& format);

    // Starts the window manager (openbox), as a desktop has one; false when it did not come up.
    // The caller skips when none is installed.
    bool StartWindowManager();

    void ClickExit(const std::string& window);
    void ClickWidthBox(const std::string& window);
    // True once every output is there and the program has no coder running.
    bool JobDone(const std::vector<std::string>& outputs);

    std::unique_ptr<test::ScratchFolder> m_folder;
    std::string m_programPath;
    std::unique_ptr<test::Child> m_program;
    std::unique_ptr<test::Child> m_dragSource;
    std::unique_ptr<test::Child> m_clipboardSource;
    std::unique_ptr<test::Child> m_windowManager;
};

// One video stream of this size and one MP3 sound stream.
void ExpectConverted(const std::string& output, int width, int height);

}  // namespace lmk::desktop

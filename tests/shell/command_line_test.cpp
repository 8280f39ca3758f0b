// The command line front end on a platform handed to it, as main() hands it the real one.
#include <functional>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "command_line.h"
#include "failures.h"
#include "posix_platform.h"
#include "terminal_log.h"
#include "test_environment.h"
#include "test_files.h"
#include "working_files.h"

namespace lmk {
namespace {

using test::EnvironmentOverride;
using test::FolderNames;
using test::ScratchFolder;
using test::WriteFile;

class RaisingProcesses : public Processes {
public:
    explicit RaisingProcesses(std::function<void()> raise) : m_raise(std::move(raise)) {}
    std::unique_ptr<Process> Start(const std::string&, const std::vector<std::string>&,
                                   const std::string&, const CoderAccess&) override {
        m_raise();
        return nullptr;
    }

private:
    std::function<void()> m_raise;
};

// Standard output and error caught until the end of the scope.
class CapturedStreams {
public:
    CapturedStreams() : m_out(std::cout.rdbuf(out.rdbuf())), m_err(std::cerr.rdbuf(err.rdbuf())) {}
    ~CapturedStreams() {
        std::cout.rdbuf(m_out);
        std::cerr.rdbuf(m_err);
    }
    std::ostringstream out;
    std::ostringstream err;

private:
    std::streambuf* m_out;
    std::streambuf* m_err;
};

TEST(CommandLine, AnyFailureEndsTheRunWithItsWholeTextAndCodeOne) {
    const std::string withNul("Cannot open file \"a\0b\". Denied", 30);
    const struct {
        const char* name;
        std::function<void()> raise;
        std::string shown;
    } cases[] = {
        {"a message holding a NUL", [&] { throw EFOpenError(withNul); }, withNul + ".\n"},
        {"std::exception", [] { throw std::runtime_error("disk on fire"); }, "disk on fire.\n"},
        {"bad_alloc", [] { throw std::bad_alloc(); }, "Out of memory.\n"},
        {"not an exception", [] { throw 42; }, "Unknown failure.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder scratch;
        EnvironmentOverride runtime("XDG_RUNTIME_DIR", scratch.Path());
        WriteFile(scratch / "clip.avi", "video");
        ConvertOptions options;
        options.coder = "/opt/no/coder";
        options.files = {scratch / "clip.avi"};
        RaisingProcesses processes(c.raise);
        PosixFiles files;
        int code = -1;
        std::string err;
        {
            WorkingFiles working;
            CapturedStreams streams;
            code = RunCommandLine(options, processes, files, working);
            err = streams.err.str();
        }
        EXPECT_EQ(code, 1);
        EXPECT_EQ(err, c.shown);
        EXPECT_EQ(FolderNames(scratch.Path()), std::vector<std::string>{"clip.avi"});
    }
}

TEST(TerminalLog, LinesAreCutByCharacterCellsNotBytes) {
    const struct {
        const char* name;
        std::string line;
        int cells;
        std::string kept;
    } cases[] = {
        {"fits", "abc", 3, "abc"},
        {"Latin cut", "abcdef", 4, "abcd"},
        {"Cyrillic counts one cell a letter", "Готово!", 3, "Гот"},
        {"never half a letter", "ЖЖ", 1, "Ж"},
        {"wide letters take two cells", "日本語", 3, "日"},
        {"combining marks take none", "e\u0301e\u0301x", 2, "e\u0301e\u0301"},
        {"a stray byte counts as one",
         "a\xff"
         "bc",
         2, "a\xff"},
        {"no room", "abc", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CutToCells(c.line, c.cells), c.kept);
    }
}

// The mark and the share done stay in sight however long the name.
TEST(TerminalLog, LongLinesGiveUpTheirMiddle) {
    const std::string status = "Обрабатывается файл очень длинное имя файла с дачи.mp4... ";
    const struct {
        const char* name;
        std::string line;
        int cells;
        std::string shown;
    } cases[] = {
        {"fits", "Готово!", 7, "Готово!"},
        {"mark and share kept", status + "/ 42%", 39, "Обрабатывается файл очень …mp4... / 42%"},
        {"too narrow for both ends", status + "/ 42%", 15, "Обрабатывается "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ShortenToCells(c.line, c.cells), c.shown);
    }
}

}  // namespace
}  // namespace lmk

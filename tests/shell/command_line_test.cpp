// The command line front end on a platform handed to it, as main() hands it the real one.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "command_line.h"
#include "failure_text.h"
#include "failures.h"
#include "fake_platform.h"
#include "file_descriptor.h"
#include "language.h"
#include "posix_platform.h"
#include "session.h"
#include "terminal_log.h"
#include "test_environment.h"
#include "test_files.h"
#include "working_files.h"

namespace lmk {
namespace {

using test::EnvironmentOverride;
using test::FakeFiles;
using test::FakeProcesses;
using test::FolderNames;
using test::Plan;
using test::ScratchFolder;
using test::Strings;
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
        ProgramOptions options;
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

// What the reader took, in one line.
std::string Taken(const ProgramOptions& options) {
    std::string taken = (options.convert ? "convert " : "window ") + options.width + "x" +
                        options.height + " coder=" + options.coder;
    if (options.jobs) taken += " jobs=" + std::to_string(*options.jobs);
    for (const auto& argument : options.toolkit) taken += " qt:" + argument;
    for (const auto& file : options.files) taken += " file:" + file;
    return taken;
}

// The options as GNU programs take them, for both front ends; a usage error is one line naming
// the problem (the program's own rows, run whole, are in the integration tests).
TEST(CommandLine, OptionsAreReadOrRefusedInOneLine) {
    const std::string tryHelp = "\nTry 'lmk-video --help'.\n";
    const struct {
        const char* name;
        Strings arguments;
        std::optional<int> code;
        std::string err;
        std::string taken = {};
    } cases[] = {
        {"values after '='",
         {"--convert", "--width=$1E0", "--height=0x110", "--coder=/f=1", "--jobs=3", "a"},
         std::nullopt,
         "",
         "convert $1E0x0x110 coder=/f=1 jobs=3 file:a"},
        {"the window's target and files",
         {"--width", "480", "--height=0x110", "a", "--", "--b"},
         std::nullopt,
         "",
         "window 480x0x110 coder= file:a file:--b"},
        {"Qt's options go to Qt in its spelling",
         {"--platform", "offscreen", "a", "-reverse", "-style=fusion", "--", "-display"},
         std::nullopt,
         "",
         "window 320x240 coder= qt:-platform qt:offscreen qt:-reverse qt:-style=fusion file:a "
         "file:-display"},
        {"the window refuses an unknown option",
         {"--bogus", "a"},
         64,
         "lmk-video: unknown option --bogus" + tryHelp},
        {"Qt's options are no --convert's",
         {"--convert", "-platform", "xcb", "a"},
         64,
         "lmk-video: unknown option -platform" + tryHelp},
        {"a Qt option without its value",
         {"a", "-display"},
         64,
         "lmk-video: -display needs a value" + tryHelp},
        {"jobs only with --convert",
         {"--jobs=2", "a"},
         64,
         "lmk-video: --jobs works only with --convert" + tryHelp},
        {"an empty value after '='",
         {"--convert", "--height=", "a"},
         64,
         "lmk-video: --height: '' is not a valid integer value." + tryHelp},
        {"an empty coder",
         {"--convert", "--coder=", "a"},
         64,
         "lmk-video: --coder needs a value" + tryHelp},
        {"a bad target refused for the window too",
         {"--width=1", "a"},
         64,
         "lmk-video: --width: '1' is less than 2." + tryHelp},
        {"no value for an option without one",
         {"--convert=1", "a"},
         64,
         "lmk-video: --convert takes no value" + tryHelp},
        {"help ends the reading", {"--help", "--width=abc"}, 0, ""},
        {"-h for help", {"a", "-h"}, 0, ""},
        {"version alone",
         {"--version", "extra"},
         64,
         "lmk-video: --version takes no other argument" + tryHelp},
        // It would name the current folder.
        {"an empty name",
         {"--convert", "a", ""},
         64,
         "lmk-video: an empty argument names no file" + tryHelp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOptions options;
        CapturedStreams streams;
        EXPECT_EQ(ReadOptions(c.arguments, options), c.code);
        EXPECT_EQ(streams.err.str(), c.err);
        if (!c.code) {
            EXPECT_EQ(Taken(options), c.taken);
        }
    }
}

// Something one job's thread waits for and another's brings about. The bound is on "happens at
// all": a fault that never brings it about fails the row instead of hanging it.
class Event {
public:
    void Set() {
        {
            const std::lock_guard lock(m_mutex);
            m_set = true;
        }
        m_changed.notify_all();
    }
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_set; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_set = false;
};

// Standard output, caught line by line from every thread; each line is told to `onLine`.
class LineCatcher : public std::streambuf {
public:
    explicit LineCatcher(std::function<void(const std::string&)> onLine)
        : m_onLine(std::move(onLine)), m_saved(std::cout.rdbuf(this)) {}
    ~LineCatcher() override { std::cout.rdbuf(m_saved); }
    Strings Lines() {
        const std::lock_guard lock(m_mutex);
        return m_lines;
    }

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return 0;
        const char one = traits_type::to_char_type(c);
        xsputn(&one, 1);
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        Strings ended;
        {
            const std::lock_guard lock(m_mutex);
            for (std::streamsize i = 0; i < count; ++i) {
                if (text[i] != '\n') {
                    m_open += text[i];
                    continue;
                }
                m_lines.push_back(m_open);
                ended.push_back(m_open);
                m_open.clear();
            }
        }
        for (const auto& line : ended) m_onLine(line);
        return count;
    }

private:
    std::function<void(const std::string&)> m_onLine;
    std::streambuf* m_saved;
    std::mutex m_mutex;
    std::string m_open;
    Strings m_lines;
};

const std::string kStatus = "Обрабатывается файл ";
// As printed once the file is done, with how it went.
std::string Status(const std::string& name) {
    return kStatus + name + "... готово";
}

std::string FailedStatus(const std::string& name) {
    return kStatus + name + "... не удалось";
}

std::string StoppedStatus(const std::string& name) {
    return kStatus + name + "... остановлено";
}

// Where a row's stop arrives: the probe or conversion of a file (at its first wait), a file's
// status line being printed, or before the run starts.
enum class StopAt { Never, BeforeAnyTake, Probe, Conversion, Line };

TEST(CommandLine, LanguageIsChosenAsGettextChooses) {
    using enum Language;
    const struct {
        std::map<std::string, std::string> variables;
        Language chosen;
    } cases[] = {
        {{}, Russian},
        {{{"LANG", "C.UTF-8"}}, Russian},
        {{{"LANG", "POSIX"}, {"LANGUAGE", "en"}}, Russian},  // LANGUAGE is not read under C
        {{{"LANG", "ru_RU.UTF-8"}}, Russian},
        {{{"LANG", "en_US.UTF-8"}}, English},
        {{{"LANG", "de_DE.UTF-8"}}, English},
        {{{"LANG", "en_US.UTF-8"}, {"LC_ALL", "C"}}, Russian},
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "ru_RU.UTF-8"}}, Russian},
        {{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "fr:ru:en"}}, Russian},
        {{{"LANG", "ru_RU.UTF-8"}, {"LANGUAGE", "de"}}, Russian},
        {{{"LANG", "ru_RU.UTF-8"}, {"LANGUAGE", "en_GB"}}, English},
    };
    for (const auto& c : cases) {
        const Language chosen = ChosenLanguage([&](const char* name) {
            const auto found = c.variables.find(name);
            return found == c.variables.end() ? std::string() : found->second;
        });
        std::string shown;
        for (const auto& [name, value] : c.variables) shown += name + "=" + value + " ";
        EXPECT_EQ(chosen, c.chosen) << shown;
    }
}

// A process of a file held at its first wait until another file's conversion has started or
// its line has been printed.
struct Hold {
    bool probe;
    std::string file;
    StopAt until;  // Conversion or Line
    std::string of;
};

// The parallel command line with two jobs on fake processes and files; the inputs are real files
// in a scratch folder, so that two paths to one file are one file.
struct ParallelCase {
    const char* name;
    Strings files;  // "link/NAME" through a link to the folder; "NAME=OTHER" a hard link
    StopAt stopAt;
    std::string stopFile;  // for a line: the stop comes with the line printed as this one
    std::vector<Hold> holds;
    Strings failing;  // files whose conversions end with exit code 1
    std::string probeFailsToStart;
    bool stopped;
    Strings lines;  // those before "Готово!" in any order unless `inOrder`
    bool inOrder = false;
    std::optional<Strings> conversions = std::nullopt;  // the inputs converted, in any order
    std::string raised = {};
};

void PrintTo(const ParallelCase& c, std::ostream* out) {
    *out << c.name;
}

class ParallelJobs : public testing::TestWithParam<ParallelCase> {};

TEST_P(ParallelJobs, StopsClashesAndLines) {
    const ParallelCase& c = GetParam();
    ScratchFolder scratch;
    ScratchFolder runtimeFolder;
    EnvironmentOverride runtime("XDG_RUNTIME_DIR", runtimeFolder.Path());
    std::filesystem::create_directory_symlink(scratch.Path(), scratch / "link");
    FakeFiles files;
    ParallelRun run{{}, "320", "240", 2};
    for (const auto& file : c.files) {
        const auto equals = file.find('=');
        const std::string name = file.substr(0, equals);
        if (equals != std::string::npos)
            std::filesystem::create_hard_link(scratch / file.substr(equals + 1), scratch / name);
        else if (!test::Exists(scratch / name))
            WriteFile(scratch / name, "video");
        run.paths.push_back(scratch / name);
        files.files[scratch / name] = "video";
    }

    std::atomic<bool> stop = false;
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    const FileDescriptor stopRead(pipeEnds[0]), stopWrite(pipeEnds[1]);
    const auto raiseStop = [&] {
        stop = true;
        EXPECT_EQ(write(stopWrite.Get(), "s", 1), 1);
    };
    if (c.stopAt == StopAt::BeforeAnyTake) raiseStop();

    // Events by "conversion NAME" and "line NAME", made before any thread needs them.
    std::map<std::string, Event> events;
    for (const auto& hold : c.holds)
        events[(hold.until == StopAt::Line ? "line " : "conversion ") + hold.of];
    const auto nameOf = [&](const std::string& path) {
        return path.substr(scratch.Path().size() + 1);
    };
    std::mutex recorded;
    Strings converted;
    int linesSeen = 0;
    FakeProcesses processes(files);
    processes.plan = [&](const Strings& arguments) {
        const bool probe = arguments.size() == 2;
        const std::string name = nameOf(test::InputOf(arguments));
        Plan p;
        if (probe) {
            p.printed = {
                "  Duration: 00:00:10.00, start: 0.000000\n"
                "  Stream #0:0: Video: mpeg4, yuv420p, 640x480 [SAR 1:1 DAR 4:3]\n"};
            p.failToStart = name == c.probeFailsToStart;
        } else {
            {
                const std::lock_guard lock(recorded);
                converted.push_back(name);
            }
            if (const auto event = events.find("conversion " + name); event != events.end())
                event->second.Set();
            if (std::count(c.failing.begin(), c.failing.end(), name)) p.status = {true, 1};
        }
        const bool stopsHere =
            (c.stopAt == StopAt::Probe && probe) || (c.stopAt == StopAt::Conversion && !probe);
        if (stopsHere && name == c.stopFile) {
            p.ticks = 3;
            p.onWait = raiseStop;
        }
        for (const auto& hold : c.holds) {
            if (hold.probe != probe || hold.file != name) continue;
            Event& until =
                events.at((hold.until == StopAt::Line ? "line " : "conversion ") + hold.of);
            p.onWait = [&until] { until.Wait(); };
        }
        return p;
    };

    std::string raised;
    JobOutcome outcome;
    Strings lines;
    {
        LineCatcher catcher([&](const std::string& line) {
            if (line.rfind(kStatus, 0) != 0) return;
            const std::string name =
                line.substr(kStatus.size(), line.find("... ", kStatus.size()) - kStatus.size());
            if (const auto event = events.find("line " + name); event != events.end())
                event->second.Set();
            const std::lock_guard lock(recorded);
            if (c.stopAt == StopAt::Line && std::to_string(++linesSeen) == c.stopFile) raiseStop();
        });
        try {
            WorkingFiles working;
            JobValues values;
            values.CoderPath = "/opt/lmk/coder.exe";
            values.WorkFolder = working.MakeFolder();
            Session session(processes, files, working, values);
            outcome = ConvertFiles(run, session, stop, stopRead.Get());
        } catch (...) {
            raised = CurrentFailureMessage();
        }
        lines = catcher.Lines();
    }

    EXPECT_EQ(raised, c.raised);
    EXPECT_EQ(outcome.stopped, c.stopped);
    if (!c.inOrder) {
        const auto done = std::find(lines.begin(), lines.end(), "Готово!");
        std::sort(lines.begin(), done);
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(processes.overlaps, Strings{}) << "files converted at once that must not be";
    if (c.conversions) {
        std::sort(converted.begin(), converted.end());
        EXPECT_EQ(converted, *c.conversions);
    }
    EXPECT_EQ(FolderNames(runtimeFolder.Path()), Strings{}) << "a job left its private folder";
}

const std::string kFailed = "Не удалось сконвертировать файл ";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, ParallelJobs,
    testing::Values(ParallelCase{"EveryFileThenDone",
                                 {"a.avi", "b.avi"},
                                 StopAt::Never,
                                 "",
                                 {},
                                 {},
                                 "",
                                 false,
                                 {Status("a.avi"), Status("b.avi"), "Готово!"},
                                 false,
                                 Strings{"a.avi", "b.avi"}},
                    ParallelCase{"StopBeforeAnyTakeEndsStopped",
                                 {"a.avi", "b.avi"},
                                 StopAt::BeforeAnyTake,
                                 "",
                                 {},
                                 {},
                                 "",
                                 true,
                                 {},
                                 false,
                                 Strings{}},
                    ParallelCase{"StopDuringAProbe",
                                 {"a.avi"},
                                 StopAt::Probe,
                                 "a.avi",
                                 {},
                                 {},
                                 "",
                                 true,
                                 {StoppedStatus("a.avi")},
                                 false,
                                 Strings{}},
                    ParallelCase{"StopDuringAConversionWhileItsTwinWaits",
                                 {"x.avi", "link/x.avi"},
                                 StopAt::Conversion,
                                 "x.avi",
                                 {},
                                 {},
                                 "",
                                 true,
                                 {StoppedStatus("x.avi")},
                                 false,
                                 Strings{"x.avi"}},
                    ParallelCase{"StopBetweenFilesWhileTheOtherJobWaitsOnAClash",
                                 {"x.avi", "link/x.avi"},
                                 StopAt::Line,
                                 "1",
                                 {},
                                 {},
                                 "",
                                 true,
                                 {Status("x.avi")},
                                 false,
                                 Strings{"x.avi"}},
                    ParallelCase{"StopAfterTheLastFile",
                                 {"a.avi", "b.avi"},
                                 StopAt::Line,
                                 "2",
                                 {},
                                 {},
                                 "",
                                 true,
                                 {Status("a.avi"), Status("b.avi")},
                                 false,
                                 Strings{"a.avi", "b.avi"}},
                    ParallelCase{"SameFileTwiceOneAfterTheOther",
                                 {"x.avi", "x.avi"},
                                 StopAt::Never,
                                 "",
                                 {},
                                 {},
                                 "",
                                 false,
                                 {Status("x.avi"), Status("x.avi"), "Готово!"},
                                 false,
                                 Strings{"x.avi", "x.avi"}},
                    ParallelCase{"AnInputThatIsAnotherFilesOutputIsReadFirst",
                                 {"a.avi", "lmk-a.avi"},
                                 StopAt::Never,
                                 "",
                                 {},
                                 {},
                                 "",
                                 false,
                                 {Status("lmk-a.avi"), Status("a.avi"), "Готово!"},
                                 true,
                                 Strings{"a.avi", "lmk-a.avi"}},
                    ParallelCase{"TwoPathsToOneFileOneAfterTheOther",
                                 {"x.avi", "y.avi=x.avi", "c.avi"},
                                 StopAt::Never,
                                 "",
                                 {{true, "y.avi", StopAt::Conversion, "x.avi"},
                                  {false, "x.avi", StopAt::Conversion, "c.avi"}},
                                 {},
                                 "",
                                 false,
                                 {Status("c.avi"), Status("x.avi"), Status("y.avi"), "Готово!"},
                                 false,
                                 Strings{"c.avi", "x.avi", "y.avi"}},
                    ParallelCase{"AFailureThatEndsAJobIsRaisedWithoutDone",
                                 {"a.avi"},
                                 StopAt::Never,
                                 "",
                                 {},
                                 {},
                                 "a.avi",
                                 false,
                                 {},
                                 false,
                                 Strings{},
                                 "System Error.  Code: 2.\r\nNo such file or directory"},
                    ParallelCase{
                        "LinesAsFilesEndThenFailuresInTheFilesOrder",
                        {"a.avi", "b.avi"},
                        StopAt::Never,
                        "",
                        {{false, "a.avi", StopAt::Line, "b.avi"}},
                        {"a.avi", "b.avi"},
                        "",
                        false,
                        {FailedStatus("b.avi"), FailedStatus("a.avi"), "Готово!",
                         kFailed + "a.avi: код завершения 1", kFailed + "b.avi: код завершения 1"},
                        true}),
    [](const testing::TestParamInfo<ParallelCase>& info) { return info.param.name; });

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

// The live line's note: the running file's number, then the time left once it can be told.
TEST(TerminalLog, ProgressNoteCountsFilesAndTellsTheTimeLeft) {
    const struct {
        const char* name;
        int done, left;
        double share, seconds;
        std::string note;
    } cases[] = {
        {"first file, too soon to tell", 0, 5, 0.5, 9, "1/5"},
        {"first file after some seconds", 0, 2, 0.5, 10, "1/2 ~0:30"},
        {"nothing done yet tells nothing", 0, 1, 0, 60, "1/1"},
        {"after the first file", 1, 4, 0.25, 45, "2/5 ~2:15"},
        {"an hour or more", 1, 9, 0, 600, "2/10 ~1:30:00"},
        {"all done", 3, 0, 0, 30, "3/3 ~0:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ProgressNote(c.done, c.left, c.share, c.seconds), c.note);
    }
}

// Piped or redirected, a line is printed once it is added, its end without the space the
// turning mark follows on a terminal, and redraws print nothing.
TEST(TerminalLog, LinesToAPipeEndWithoutASpace) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const FileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
    const FileDescriptor savedOut(dup(STDOUT_FILENO));
    std::string out;
    {
        CapturedStreams streams;
        // The log tells a terminal from a pipe when it is made.
        ASSERT_EQ(dup2(writeEnd.Get(), STDOUT_FILENO), STDOUT_FILENO);
        std::optional<TerminalLog> log;
        log.emplace();
        ASSERT_EQ(dup2(savedOut.Get(), STDOUT_FILENO), STDOUT_FILENO);
        log->AddLogLine(Status("a.avi") + " ");
        log->ReplaceLogLine(0, Status("a.avi") + " / 42%");
        log->ShowNote("1/1 ~0:05");  // the count and time left are for a terminal's live line
        log->AddLogLine("Готово!");
        log.reset();
        out = streams.out.str();
    }
    EXPECT_EQ(out, Status("a.avi") + "\nГотово!\n");
}

}  // namespace
}  // namespace lmk

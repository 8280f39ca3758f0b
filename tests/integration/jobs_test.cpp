// `lmk-video --convert --jobs N`: several files converted at once, each line printed whole, and
// no two conversions writing the same output at once.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "clips.h"
#include "coder_run.h"
#include "integration_support.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::integration {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::Exists;
using test::ReadFile;
using test::RunResult;
using test::RunSettings;
using test::SplitLines;
using test::WaitUntil;
using test::WriteFile;
using test::WriteScript;
using testing::ElementsAre;
using testing::UnorderedElementsAre;

constexpr auto kRunLimit = 60s;

// A stand-in coder: the probe gives a size; a conversion logs its start and end to `log` and
// writes its output, after `hold` for an output of that name ("forever": until it is ended).
std::string LoggingCoder(const std::string& path, const std::string& log,
                         const std::string& holdCase = "none", const std::string& hold = ":") {
    return WriteScript(path,
                       "for last; do :; done\n"
                       "last=${last#file:}\n"
                       "name=${last##*/}\n"
                       "name=${name#.lmk-partial-*-*-}\n"
                       "if [ $# -eq 2 ]; then\n"
                       "  echo '  Stream #0:0: Video: mpeg4, 640x480 [SAR 1:1]'\n"
                       "  exit 0\n"
                       "fi\n"
                       "echo \"start $name\" >> '" +
                           log + "'\ncase \"$name\" in " + holdCase + ") " + hold +
                           ";; esac\n"
                           "echo converted > \"$last\"\n" +
                           test::kDescribeOutput + "echo \"end $name\" >> '" + log + "'\n");
}

std::vector<std::string> LinesEndingIn(const std::string& path, const std::string& end) {
    std::vector<std::string> lines;
    for (const auto& line : SplitLines(ReadFile(path)))
        if (line.ends_with(end)) lines.push_back(line);
    return lines;
}

TEST_F(CoderRun, JobsPrintEachFileOnceWhenDoneThenTheFailures) {
    const std::string a = Place(ClipKind::Avi640x480, "a.avi");
    const std::string b = Place(ClipKind::WebmVp8, "b.webm");
    WriteFile(Work("notes.txt"), "not a video at all\n");
    const std::string c = Place(ClipKind::AviSmall176x144, "c.avi");

    const RunResult result = Convert({a, b, Work("notes.txt"), c}, {"--jobs", "2"});

    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    const auto lines = SplitLines(result.out);
    ASSERT_EQ(lines.size(), 6u) << result.out;
    EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 4),
                UnorderedElementsAre(StatusLine("a.avi"), StatusLine("b.webm"),
                                     FailedStatusLine("notes.txt"), StatusLine("c.avi")));
    EXPECT_EQ(lines[4], kDone);
    EXPECT_EQ(lines[5],
              kFailedConversionPrefix + "notes.txt: Invalid data found when processing input");
    EXPECT_EQ(FirstStream(StreamsOf(Work("lmk-a.avi")), "video")->width, 320);
    EXPECT_EQ(FirstStream(StreamsOf(Work("lmk-b.webm.mp4")), "video")->width, 320);
    EXPECT_EQ(FirstStream(StreamsOf(Work("lmk-c.avi")), "video")->width, 176);
    EXPECT_FALSE(Exists(Work("lmk-notes.txt")));
}

// The same file named twice (once through a linked folder) writes one output: its second
// conversion waits for the first, while a later file is taken meanwhile.
TEST_F(CoderRun, JobsNeverWriteOneOutputTwiceAtOnce) {
    const std::string log = Work("coder-log");
    const std::string release = Work("release");
    // One writing lmk-x.avi holds until the test releases it.
    const std::string coder = LoggingCoder(Work("coder"), log, "lmk-x.avi",
                                           "while [ ! -e '" + release + "' ]; do sleep 0.01; done");
    WriteFile(Work("x.avi"), "x");
    WriteFile(Work("y.avi"), "y");
    std::filesystem::create_directory_symlink(WorkFolder(), Work("link"));
    const auto starts = [&](const std::string& name) {
        const auto lines = Exists(log) ? SplitLines(ReadFile(log)) : std::vector<std::string>{};
        return std::count(lines.begin(), lines.end(), "start " + name);
    };

    Child program(ProgramPath(),
                  {"--convert", "--coder", coder, "--jobs", "2", Work("x.avi"), Work("link/x.avi"),
                   Work("y.avi")},
                  WithoutSandbox());
    // The first x.avi holds its conversion; y.avi is done beside it, whichever started first.
    ASSERT_TRUE(WaitUntil(
        [&] { return (Exists(Work("lmk-y.avi")) && starts("lmk-x.avi") > 0) || program.Ended(); },
        kRunLimit));
    EXPECT_EQ(starts("lmk-x.avi"), 1) << "the second job did not take the later file first";

    WriteFile(release, "");
    const RunResult result = program.Wait(kRunLimit);

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    std::vector<std::string> xLines;
    for (const auto& line : SplitLines(ReadFile(log)))
        if (line.ends_with("lmk-x.avi")) xLines.push_back(line);
    EXPECT_THAT(xLines, ElementsAre("start lmk-x.avi", "end lmk-x.avi", "start lmk-x.avi",
                                    "end lmk-x.avi"));
}

// A folder's files join the list as named files do: each converted with its own line, and the
// one named again beside its folder never converted twice at once.
TEST_F(CoderRun, JobsOpenAFolderIntoItsFilesBeforeScheduling) {
    const std::string log = Work("coder-log");
    const std::string coder =
        LoggingCoder(Work("coder"), log, "lmk-a.avi", "sleep 0.3");  // room for an overlap
    std::filesystem::create_directory(Work("dir"));
    WriteFile(Work("dir/a.avi"), "a");
    WriteFile(Work("dir/b.avi"), "b");

    const RunResult result = test::RunProgram(
        ProgramPath(),
        {"--convert", "--coder", coder, "--jobs", "2", Work("dir/"), Work("dir/a.avi")},
        WithoutSandbox());

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_THAT(
        SplitLines(result.out),
        UnorderedElementsAre(StatusLine("a.avi"), StatusLine("a.avi"), StatusLine("b.avi"), kDone));
    EXPECT_THAT(LinesEndingIn(log, "lmk-a.avi"), ElementsAre("start lmk-a.avi", "end lmk-a.avi",
                                                             "start lmk-a.avi", "end lmk-a.avi"));
}

// Without --jobs the run is the scheduler with one job: a named input that another file's
// output would replace is read first.
TEST_F(CoderRun, TheSequentialRunReadsANamedInputBeforeAnotherFilesOutputReplacesIt) {
    const std::string a = Place(ClipKind::Avi640x480, "a.avi");
    const std::string lmkA = Place(ClipKind::AviSmall176x144, "lmk-a.avi");

    const RunResult result = Convert({a, lmkA});

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(SplitLines(result.out),
              (std::vector<std::string>{StatusLine("lmk-a.avi"), StatusLine("a.avi"), kDone}));
    EXPECT_EQ(FirstStream(StreamsOf(Work("lmk-lmk-a.avi")), "video")->width, 176);
    EXPECT_EQ(FirstStream(StreamsOf(Work("lmk-a.avi")), "video")->width, 320);
}

// t.webm's second attempt is lmk-t.webm.mp4, t.webm.mp4's first: the second to end there
// fails, rather than replace the other's output and both be reported done.
TEST_F(CoderRun, TwoInputsNeverEndInOneOutput) {
    const std::string webm = Place(ClipKind::WebmVp8, "t.webm");
    const std::string mp4 = Place(ClipKind::AviSmall176x144, "t.webm.mp4");

    const RunResult result = Convert({webm, mp4});

    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    EXPECT_EQ(SplitLines(result.out).back(),
              kFailedConversionPrefix +
                  "t.webm.mp4: файл lmk-t.webm.mp4 уже записан из файла t.webm этого задания");
    EXPECT_EQ(FirstStream(StreamsOf(Work("lmk-t.webm.mp4")), "video")->width, 320);
}

// `lmk-video --convert --jobs 3 ... | head -c10`: the reader goes after the first line, and the
// run stops as on SIGTERM, ending the held conversions and leaving nothing of its own behind
// (the private folders are checked after every run).
TEST_F(CoderRun, JobsStopWhenTheStandardOutputsReaderGoes) {
    const std::string coder =
        LoggingCoder(Work("coder"), Work("coder-log"), "lmk-held*", "while :; do sleep 0.05; done");
    for (const char* name : {"quick.avi", "held1.avi", "held2.avi"}) WriteFile(Work(name), name);
    std::vector<std::string> arguments{
        "--convert",       "--coder",        coder, "--jobs", "3", Work("quick.avi"),
        Work("held1.avi"), Work("held2.avi")};
    const RunSettings settings = WithoutSandbox();

    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const std::string program = ProgramPath();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        if (chdir(settings.currentFolder.c_str()) != 0) _exit(126);
        for (const std::string& variable : settings.environmentExtra)
            putenv(const_cast<char*>(variable.c_str()));
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    // The first line, then the reader goes, as head -c10 does.
    std::string first;
    char byte = 0;
    while (first.find('\n') == std::string::npos && read(ends[0], &byte, 1) == 1) first += byte;
    close(ends[0]);
    EXPECT_EQ(first, StatusLine("quick.avi") + "\n");

    int status = 0;
    const bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, kRunLimit);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "the run went on without its reader";
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_THAT(test::FolderNames(WorkFolder()),
                UnorderedElementsAre("coder", "coder-log", "quick.avi", "held1.avi", "held2.avi",
                                     "lmk-quick.avi"));
}

}  // namespace
}  // namespace lmk::integration

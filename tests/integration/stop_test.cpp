// Ctrl+C, SIGTERM and SIGHUP during a long conversion: the coder is ended, its partial output
// deleted, the files after it left alone, and the program exits 130.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include <signal.h>
#include <sys/stat.h>

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
using test::ChildrenOf;
using test::Exists;
using test::FolderNames;
using test::ProcessGone;
using test::ReadFile;
using test::RunResult;
using test::RunSettings;
using test::WaitUntil;
using test::WriteFile;
using testing::HasSubstr;
using testing::Not;
using testing::UnorderedElementsAre;

// Bounds on "ends at all", not timings: the machine may be busy.
constexpr auto kConversionStartLimit = 60s;
constexpr auto kEndAfterSignalLimit = 20s;
constexpr auto kGroupEmptyLimit = 5s;

struct StopCase {
    const char* label;
    int signal;
    bool wholeGroup;  // as a terminal's Ctrl+C does: the coder gets the signal too
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.label;
}

class StopTable : public CoderRun, public testing::WithParamInterface<StopCase> {};

TEST_P(StopTable, EndsCoderDeletesPartialOutputLeavesLaterFiles) {
    const StopCase& c = GetParam();
    const std::string longClip = Place(ClipKind::LongWebm, "long.webm");
    const std::string later = Place(ClipKind::Avi640x480, "later.avi");
    WriteFile(Work("lmk-later.avi"), "an earlier output of the later file");
    WriteFile(Work("lmk-long.webm.mp4"), "an earlier output of the stopped file");
    const auto converting = [&] { return test::PartialFileIn(WorkFolder(), "lmk-long.webm"); };

    RunSettings settings = Settings();
    settings.ownProcessGroup = true;
    Child program(ProgramPath(), ConvertArguments({longClip, later}, {}), settings);

    // The program makes the partial file as the conversion starts; its stop handlers are in
    // place before it starts a coder.
    WaitUntil([&] { return converting() || program.Ended(); }, kConversionStartLimit);
    ASSERT_TRUE(converting()) << "the conversion never started";
    ASSERT_FALSE(program.Ended()) << "the conversion ended before it could be stopped";

    ASSERT_EQ(kill(c.wholeGroup ? -program.Pid() : program.Pid(), c.signal), 0);
    const RunResult result = program.Wait(kEndAfterSignalLimit);

    ASSERT_FALSE(result.timedOut) << "the program did not end after the signal";
    EXPECT_EQ(result.exitCode, 130) << result.out << result.err;
    EXPECT_TRUE(ProcessGone(-program.Pid(), kGroupEmptyLimit))
        << "the coder runs on after the program ended";
    EXPECT_THAT(result.out, HasSubstr("Обрабатывается файл long.webm... остановлено"));
    EXPECT_THAT(result.out, Not(HasSubstr(kDone))) << "a stopped run said it was done";
    EXPECT_THAT(result.out, Not(HasSubstr("later.avi"))) << "a file after the stop was started";
    EXPECT_THAT(
        FolderNames(WorkFolder()),
        UnorderedElementsAre("long.webm", "later.avi", "lmk-later.avi", "lmk-long.webm.mp4"))
        << "the partial output was left behind";
    EXPECT_EQ(ReadFile(Work("lmk-later.avi")), "an earlier output of the later file");
    EXPECT_EQ(ReadFile(Work("lmk-long.webm.mp4")), "an earlier output of the stopped file");
    EXPECT_EQ(ReadFile(longClip), ReadFile(ClipShelf::Get(ClipKind::LongWebm)));
}

const auto kSignalCases = testing::Values(StopCase{"InterruptToProgram", SIGINT, false},
                                          StopCase{"InterruptToGroupLikeCtrlC", SIGINT, true},
                                          StopCase{"TerminateToProgram", SIGTERM, false},
                                          StopCase{"TerminateToGroup", SIGTERM, true},
                                          StopCase{"HangUpLikeAClosedTerminal", SIGHUP, true});

INSTANTIATE_TEST_SUITE_P(Signals, StopTable, kSignalCases,
                         [](const auto& info) { return std::string(info.param.label); });

// A probe that never ends by itself (a coder standing in, stuck as on an endless input): the
// stop must end the probe, and nothing is converted or deleted after it.
class StopDuringProbeTable : public CoderRun, public testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringProbeTable, EndsProbeAndStartsNothingMore) {
    const StopCase& c = GetParam();
    const std::string stuck = Place(ClipKind::Avi640x480, "stuck.avi");
    const std::string later = Place(ClipKind::Avi640x480, "later.avi");
    WriteFile(Work("lmk-later.avi"), "an earlier output of the later file");
    const std::string coder = test::WriteScript(
        std::filesystem::path(WorkFolder()).parent_path() / "stuck-coder",
        "case \"$2\" in */stuck.avi) echo probing; exec sleep 600;; esac\nexec '" + CoderPath() +
            "' \"$@\"\n");
    // The stand-in's first word in its report: a child of the program's may be another (the
    // check that bubblewrap runs).
    const std::filesystem::path run = std::filesystem::path(WorkFolder()).parent_path() / "run";
    const auto probing = [&] {
        std::error_code error;
        for (const auto& folder : std::filesystem::directory_iterator(run, error)) {
            std::ifstream report(folder.path() / "info");
            std::string word;
            if (report >> word && word == "probing") return true;
        }
        return false;
    };

    RunSettings settings = Settings();
    settings.ownProcessGroup = true;
    Child program(ProgramPath(), {"--convert", "--coder", coder, stuck, later}, settings);
    // The stop handlers are in place once the probe runs.
    WaitUntil([&] { return probing() || program.Ended(); }, kConversionStartLimit);
    ASSERT_FALSE(program.Ended()) << "the probe of a pipe ended by itself";
    ASSERT_TRUE(probing()) << "the probe never started";

    ASSERT_EQ(kill(c.wholeGroup ? -program.Pid() : program.Pid(), c.signal), 0);
    const RunResult result = program.Wait(kEndAfterSignalLimit);

    ASSERT_FALSE(result.timedOut) << "the program did not end after the signal";
    EXPECT_EQ(result.exitCode, 130) << result.out << result.err;
    EXPECT_TRUE(ProcessGone(-program.Pid(), kGroupEmptyLimit))
        << "the probe runs on after the program ended";
    EXPECT_THAT(result.out, Not(HasSubstr("later.avi"))) << "a file after the stop was started";
    EXPECT_THAT(FolderNames(WorkFolder()),
                UnorderedElementsAre("stuck.avi", "later.avi", "lmk-later.avi"));
    EXPECT_EQ(ReadFile(Work("lmk-later.avi")), "an earlier output of the later file");
}

INSTANTIATE_TEST_SUITE_P(Signals, StopDuringProbeTable, kSignalCases,
                         [](const auto& info) { return std::string(info.param.label); });

// Several conversions at once: a stop ends every running one and starts no file after them.
TEST_F(CoderRun, StopEndsEveryConversionRunningAtOnce) {
    const std::string first = Place(ClipKind::LongWebm, "first.webm");
    const std::string second = Place(ClipKind::LongWebm, "second.webm");
    const std::string later = Place(ClipKind::Avi640x480, "later.avi");
    Child program(ProgramPath(), ConvertArguments({first, second, later}, {"--jobs", "2"}),
                  Settings());

    std::vector<pid_t> coders;
    WaitUntil(
        [&] {
            coders = ChildrenOf(program.Pid());
            return (coders.size() == 2 && test::PartialFileIn(WorkFolder(), "lmk-first.webm") &&
                    test::PartialFileIn(WorkFolder(), "lmk-second.webm")) ||
                   program.Ended();
        },
        kConversionStartLimit);
    ASSERT_FALSE(program.Ended()) << "the conversions ended before they could be stopped";
    ASSERT_EQ(coders.size(), 2u) << "the two conversions never ran at once";

    ASSERT_EQ(kill(program.Pid(), SIGINT), 0);
    const RunResult result = program.Wait(kEndAfterSignalLimit);

    ASSERT_FALSE(result.timedOut) << "the program did not end after the signal";
    EXPECT_EQ(result.exitCode, 130) << result.out << result.err;
    for (const pid_t coder : coders)
        EXPECT_TRUE(ProcessGone(coder, kGroupEmptyLimit)) << "a coder runs on";
    EXPECT_THAT(result.out, Not(HasSubstr("later.avi"))) << "a file after the stop was started";
    EXPECT_THAT(FolderNames(WorkFolder()),
                UnorderedElementsAre("first.webm", "second.webm", "later.avi"))
        << "a partial output was left behind";
}

}  // namespace
}  // namespace lmk::integration

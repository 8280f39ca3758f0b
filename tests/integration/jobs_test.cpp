// `lmk-video --convert --jobs N`: several files converted at once, each line printed whole, and
// no two conversions writing the same output at once.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

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
                                     StatusLine("notes.txt"), StatusLine("c.avi")));
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
    // A coder standing in: the probe gives a size; a conversion logs its start and end, and
    // one writing lmk-x.avi holds until the test releases it.
    const std::string coder =
        WriteScript(Work("coder"),
                    "for last; do :; done\n"
                    "last=${last#file:}\n"
                    "name=${last##*/}\n"
                    "name=${name#.lmk-partial-*-*-}\n"
                    "if [ $# -eq 2 ]; then\n"
                    "  echo '  Stream #0:0: Video: mpeg4, 640x480 [SAR 1:1]'\n"
                    "  exit 0\n"
                    "fi\n"
                    "echo \"start $name\" >> '" +
                        log +
                        "'\n"
                        "case \"$name\" in lmk-x.avi)\n"
                        "  while [ ! -e '" +
                        release +
                        "' ]; do sleep 0.01; done;;\n"
                        "esac\n"
                        "echo converted > \"$last\"\n"
                        "echo \"end $name\" >> '" +
                        log + "'\n");
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

}  // namespace
}  // namespace lmk::integration

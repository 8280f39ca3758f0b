// A drop of the program's own outputs: each is converted once more under a name with the
// prefix twice, and neither it nor the file it was made from is touched.
#include <chrono>
#include <string>
#include <vector>

#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "clips.h"
#include "coder_run.h"
#include "fault_run.h"
#include "integration_support.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::faults {
namespace {

using integration::ClipKind;
using integration::FirstStream;
using integration::kDone;
using integration::StatusLine;
using integration::StreamsOf;
using test::FolderNames;
using testing::UnorderedElementsAre;

class OwnOutputs : public FaultRun {};

TEST_F(OwnOutputs, ConvertToDoublePrefixLeavingOriginalsAlone) {
    // Each "lmk-" file holds a picture of its own, so the new outputs show which file they
    // were made from.
    Place(ClipKind::Avi640x480, "a.avi");
    Place(ClipKind::AviSmall176x144, "lmk-a.avi");
    Place(ClipKind::Mp4H264_720x480, "b.mp4");
    Place(ClipKind::Mp4Portrait480x640, "lmk-b.mp4");
    const std::vector<std::string> originals{"a.avi", "lmk-a.avi", "b.mp4", "lmk-b.mp4"};
    std::vector<FileState> before;
    for (const auto& name : originals) before.push_back(StateOf(Work(name)));

    const RunResult result =
        ConvertWith(integration::CoderPath(), {Work("lmk-a.avi"), Work("lmk-b.mp4")});

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.out,
              StatusLine("lmk-a.avi") + "\n" + StatusLine("lmk-b.mp4") + "\n" + kDone + "\n");
    EXPECT_THAT(FolderNames(WorkFolder()),
                UnorderedElementsAre("a.avi", "lmk-a.avi", "lmk-lmk-a.avi", "b.mp4", "lmk-b.mp4",
                                     "lmk-lmk-b.mp4"));
    for (std::size_t i = 0; i < originals.size(); ++i) {
        EXPECT_TRUE(StateOf(Work(originals[i])) == before[i]) << originals[i] << " was touched";
    }
    const auto small = FirstStream(StreamsOf(Work("lmk-lmk-a.avi")), "video");
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width, 176);
    EXPECT_EQ(small->height, 144);
    const auto portrait = FirstStream(StreamsOf(Work("lmk-lmk-b.mp4")), "video");
    ASSERT_TRUE(portrait);
    EXPECT_EQ(portrait->width, 180);
    EXPECT_EQ(portrait->height, 240);
}

// A copy stopped while it converts a file that another copy has converted meanwhile deletes
// only its own partial file, never the other's output of the same name.
TEST_F(OwnOutputs, AStoppedCopyLeavesAnotherCopysOutput) {
    const std::string clip = Place(ClipKind::Avi640x480, "clip.avi");
    const std::string slow = WrapperCoder("slow-coder", {"", "sleep 60"});
    test::Child stopped(integration::ProgramPath(), ArgumentsWith(slow, {clip}), Settings());
    ASSERT_TRUE(test::WaitUntil(
        [&] { return test::PartialFileIn(WorkFolder(), "lmk-clip.avi") || stopped.Ended(); },
        std::chrono::seconds(60)));
    ASSERT_FALSE(stopped.Ended()) << stopped.Wait(std::chrono::seconds(0)).err;

    const RunResult other = ConvertWith(integration::CoderPath(), {clip});
    EXPECT_EQ(other.exitCode, 0) << other.out << other.err;
    ASSERT_EQ(kill(stopped.Pid(), SIGTERM), 0);
    EXPECT_EQ(stopped.Wait(std::chrono::seconds(30)).exitCode, 130);

    EXPECT_THAT(FolderNames(WorkFolder()), UnorderedElementsAre("clip.avi", "lmk-clip.avi"));
    ExpectConverted(Work("lmk-clip.avi"));
}

}  // namespace
}  // namespace lmk::faults

#include "coder_output.h"

#include <gtest/gtest.h>

namespace lmk {
namespace {

using Strings = std::vector<std::string>;

const Strings kPaths = {"/v/in.webm", "/v/lmk-in.webm"};

CoderPrintout Read(std::string_view printed) {
    return ReadCoderPrintout(printed, kPaths);
}

struct ReasonCase {
    const char* name;
    std::string printed;
    std::string reason;  // as the log shows it
};

class FailureReasonTable : public testing::TestWithParam<ReasonCase> {};

TEST_P(FailureReasonTable, NamesTheCause) {
    EXPECT_EQ(ShownCoderLine(CoderFailureReason(Read(GetParam().printed), kPaths), kPaths),
              GetParam().reason);
}

// What the coder printed last, as it prints it.
INSTANTIATE_TEST_SUITE_P(
    Table, FailureReasonTable,
    testing::Values(
        ReasonCase{"ContainerRefusesSound",
                   "Press [q] to stop, [?] for help\n"
                   "[libvpx-vp9 @ 0x55693f1739c0] v1.12.0\n"
                   "[webm @ 0x55693f13f640] Only VP8 or VP9 or AV1 video and Vorbis or Opus audio "
                   "and WebVTT subtitles are supported for WebM.\n"
                   "Could not write header for output file #0 (incorrect codec parameters ?): "
                   "Invalid argument\n"
                   "Error initializing output stream 0:0 -- \n"
                   "[libmp3lame @ 0x55693f18ea00] 4 frames left in the queue on closing\n"
                   "Conversion failed!\n",
                   "Only VP8 or VP9 or AV1 video and Vorbis or Opus audio and WebVTT subtitles are "
                   "supported for WebM."},
        ReasonCase{"MessageGoesOnOnItsOwnLine",
                   "[h263 @ 0x55c8028a5300] The specified picture size of 320x240 is not valid for "
                   "the H.263 codec.\n"
                   "Valid sizes are 128x96, 176x144, 352x288, 704x576, and 1408x1152. Try H.263+.\n"
                   "Error initializing output stream 0:0 -- Error while opening encoder for output "
                   "stream #0:0 - maybe incorrect parameters such as bit_rate, rate, width or "
                   "height\nConversion failed!\n",
                   "The specified picture size of 320x240 is not valid for the H.263 codec."},
        ReasonCase{"NoOutputFormatFullPathShortened",
                   "[NULL @ 0x563ad959c240] Unable to find a suitable output format for "
                   "'/v/lmk-in.webm'\n/v/lmk-in.webm: Invalid argument\n",
                   "Unable to find a suitable output format for 'lmk-in.webm'"},
        ReasonCase{"InputUnreadableKeepsItsOwnLine",
                   "[avi @ 0x55f422d16880] Format avi detected only with low score of 1, "
                   "misdetection possible!\n/v/in.webm: Invalid data found when processing input\n",
                   "in.webm: Invalid data found when processing input"},
        ReasonCase{"OutputOpeningFailed",
                   "Error opening output file /v/lmk-in.webm.\n"
                   "Error opening output files: Permission denied\n",
                   "Error opening output files: Permission denied"},
        ReasonCase{"OnlyClosingWords", "frame=1\rConversion failed!\n", "Conversion failed!"},
        ReasonCase{"BlankAndProgressBreaksSkipped", "a\nb\n\n  \r\nframe=1\rframe=2\r", "b"},
        ReasonCase{"NothingPrinted", "\n\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShownCoderLine, DropsPrefixesAndShortensEveryPathLongestFirst) {
    EXPECT_EQ(ShownCoderLine("[mp4 @ 0x1] [aac @ 0x2] x", {}), "x");
    EXPECT_EQ(ShownCoderLine("[not a prefix] /v/a.avi, /v/lmk-a.avi.mp4",
                             {"/v/a.avi", "/v/lmk-a.avi", "/v/lmk-a.avi.mp4"}),
              "[not a prefix] a.avi, lmk-a.avi.mp4");
}

TEST(CoderWriteError, FindsTheLastWriteFailureAtALineStart) {
    EXPECT_EQ(
        CoderWriteError(Read("frame=1\rav_interleaved_write_frame(): No space left on device\r\n"
                             "Error closing file out.avi: No space left on device\nend\n")),
        "Error closing file out.avi: No space left on device");
    EXPECT_EQ(CoderWriteError(Read("[mp4 @ 0x1] Error writing trailer of x: I/O error")),
              "[mp4 @ 0x1] Error writing trailer of x: I/O error");
    EXPECT_EQ(CoderWriteError(Read("frame=  50 fps=0.0 Lsize=8kB video:1kB\n")), "");
    // A file's name may hold the marks.
    EXPECT_EQ(CoderWriteError(Read("Input #0, avi, from '/v/Error writing trailer.avi':\n"
                                   "Output #0, avi, to '/v/lmk-Error closing file.avi':\n")),
              "");
}

}  // namespace
}  // namespace lmk

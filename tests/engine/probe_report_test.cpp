#include "probe_report.h"

#include <gtest/gtest.h>

#include "failures.h"

namespace lmk {
namespace {

using namespace std::string_literals;

struct ReportCase {
    const char* name;
    std::string report;
    std::optional<Frame> source;
};

class SourceFrameTable : public testing::TestWithParam<ReportCase> {};

TEST_P(SourceFrameTable, Reads) {
    const ProbeFacts facts = ProbeFactsFromReport(GetParam().report);
    ASSERT_EQ(facts.source.has_value(), GetParam().source.has_value());
    if (facts.source) {
        EXPECT_EQ(*facts.source, *GetParam().source);
    }
}

const std::string kHead =
    "Input #0, avi, from 'trip.avi':\r\n  Duration: 00:00:10.00, start: 0.000000, bitrate: 1 "
    "kb/s\r\n";
const std::string kTail = "At least one output file must be specified\r\n";

std::string Report(const std::string& streams) {
    return kHead + streams + kTail;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SourceFrameTable,
    testing::Values(
        ReportCase{"AspectNoteAfterSize",
                   Report("    Stream #0.0: Video: mpeg4, yuv420p, 640x480 [PAR 1:1 DAR 4:3], "
                          "25 tbr, 25 tbn, 25 tbc\r\n"),
                   Frame{640, 480}},
        ReportCase{"AudioBeforeVideo",
                   Report("    Stream #0.0: Audio: mp3, 44100 Hz\r\n    Stream #0.1: Video: mpeg4, "
                          "yuv420p, 640x480 [PAR 1:1 DAR 4:3], 25 tbr, 25 tbn, 25 tbc\r\n"),
                   Frame{640, 480}},
        // The fixed search finds no size a comma follows; the video stream's line gives it.
        ReportCase{"SizeBeforeComma",
                   Report("    Stream #0.0: Video: h264, yuv420p, 1280x720, 25 fps, 25 tbr, 25 "
                          "tbn, 50 tbc\r\n"),
                   Frame{1280, 720}},
        ReportCase{"SizeEndsLine", Report("    Stream #0.0: Video: rawvideo, 320x240\r\n"),
                   Frame{320, 240}},
        // Stream lines as the coder prints them for common files.
        ReportCase{"WebmVp8",
                   Report("  Stream #0:0: Video: vp8, yuv420p(tv, bt709, progressive), 1920x1080, "
                          "SAR 1:1 DAR 16:9, 30 fps, 30 tbr, 1k tbn (default)\n"),
                   Frame{1920, 1080}},
        ReportCase{"AviDivx3",
                   Report("  Stream #0:0: Video: msmpeg4v3 (div3 / 0x33766964), yuv420p, 768x576, "
                          "816 kb/s, 10 fps, 10 tbr, 10 tbn\n"),
                   Frame{768, 576}},
        ReportCase{"Wmv2",
                   Report("  Stream #0:0: Video: wmv2 (WMV2 / 0x32564D57), yuv420p, 640x480, SAR "
                          "1:1 DAR 4:3, 25 fps, 25 tbr, 1k tbn\n"),
                   Frame{640, 480}},
        ReportCase{"FlvSoundFirst",
                   Report("  Stream #0:0: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s\n"
                          "  Stream #0:1: Video: flv1, yuv420p, 640x480, 200 kb/s, 25 fps, 25 tbr, "
                          "1k tbn\n"),
                   Frame{640, 480}},
        ReportCase{"CodecTagIsNoSize",
                   Report("  Stream #0:0[0x1](und): Video: h264 (High 4:4:4 Predictive) (avc1 / "
                          "0x31637661), yuv444p(progressive), 1280x720, 925 kb/s, 25 fps\n"),
                   Frame{1280, 720}},
        ReportCase{"MotionJpegMov",
                   Report("  Stream #0:0[0x1](eng): Video: mjpeg (Baseline) (jpeg / 0x6765706A), "
                          "yuvj422p(pc, bt470bg/unknown/unknown), 640x480, 11520 kb/s, 30 fps\n"),
                   Frame{640, 480}},
        // The coder takes the stream with the larger frame.
        ReportCase{"TheVideoTheCoderTakes",
                   Report("  Stream #0:0: Video: h264, yuv420p\n"
                          "  Stream #0:1: Video: mpeg4, 320x200, 25 fps\n"),
                   Frame{320, 200}},
        ReportCase{"LineSizeTurned",
                   Report("  Stream #0:0: Video: h264, yuv420p, 1280x720, 25 fps\n"
                          "      displaymatrix: rotation of -90.00 degrees\n"),
                   Frame{720, 1280}},
        ReportCase{"LineSizeNotBeforeOtherSigns",
                   Report("  Stream #0:0: Video: x (0x31), 12x34a, 56x78)\n"), std::nullopt},
        ReportCase{"NoVideo", Report("    Stream #0.0: Audio: mp3, 44100 Hz\r\n"), std::nullopt},
        ReportCase{"CapitalX",
                   Report("    Stream #0.0: Video: mpeg4, yuv420p, 640X480 [PAR 1:1 DAR 4:3]\r\n"),
                   std::nullopt},
        ReportCase{"FirstOfTwoVideos",
                   Report("    Stream #0.0: Video: mpeg4, 640x480 [SAR 1:1 DAR 4:3]\r\n"
                          "    Stream #0.1: Video: mpeg4, 320x200 [SAR 1:1 DAR 8:5]\r\n"),
                   Frame{640, 480}},
        ReportCase{"LargerVideoWhateverFollowsItsSize",
                   Report("    Stream #0.0: Video: h264, 1280x720, 25 fps\r\n"
                          "    Stream #0.1: Video: mpeg4, 320x200 [SAR 1:1 DAR 8:5]\r\n"),
                   Frame{1280, 720}},
        ReportCase{"DefaultVideoBeforeALargerOne",
                   Report("  Stream #0:0: Video: h264, 1280x720, 25 fps\n"
                          "  Stream #0:1: Video: mpeg4, 320x200, 25 fps (default)\n"),
                   Frame{320, 200}},
        ReportCase{"TwoProgrammesTheHdOne",
                   Report("  Program 1\n    Metadata:\n      service_name    : SD\n"
                          "  Stream #0:0[0x100]: Video: mpeg2video (Main), yuv420p(tv), 720x576 "
                          "[SAR 16:15 DAR 4:3], 25 fps\n"
                          "  Program 2\n  Stream #0:2[0x200]: Video: h264 (High), yuv420p(tv), "
                          "1280x720 [SAR 1:1 DAR 16:9], 50 fps\n"),
                   Frame{1280, 720}},
        ReportCase{"TextAfterTheStreamLinesNeverASize",
                   Report("    Stream #0.0: Video: h264, 1280x720, 25 fps\r\n    Note: 12x34 "
                          "here\r\n"),
                   Frame{1280, 720}},
        // Names and tags hold what the user put there.
        ReportCase{"TagValueIsNoStreamLine",
                   "Input #0, mov,mp4, from 'a.mp4':\n  Metadata:\n"
                   "    title           : x\n                    :   Stream #0:0: Video: h264, "
                   "16x16 [SAR 1:1 DAR 1:1]\n"
                   "  Duration: 00:00:03.00, start: 0.000000, bitrate: 1 kb/s\n"
                   "  Stream #0:0(und): Video: h264, yuv420p, 640x480, 25 fps\n",
                   Frame{640, 480}},
        ReportCase{"TagKeyHoldingAStreamLineEndsNoMetadata",
                   "Input #0, mov,mp4, from 'a.mp4':\n  Metadata:\n    note\n"
                   "  Stream #0:0: Video: h264, 16x16: x\n    encoder         : Lavf59.27.100\n"
                   "  Duration: 00:00:03.00, start: 0.000000, bitrate: 1 kb/s\n"
                   "  Stream #0:0[0x1](und): Video: h264, yuv420p, 640x480, 25 fps\n",
                   Frame{640, 480}},
        ReportCase{"StreamTagIsNoSideData",
                   Report("  Stream #0:0: Video: h264, 720x480 [SAR 1:1 DAR 3:2]\n"
                          "    Metadata:\n      comment         : x\n"
                          "      displaymatrix: rotation of -90.00 degrees\n"),
                   Frame{720, 480}},
        ReportCase{"OutputsStreamIsNoSource",
                   "Output #0, avi, to 'x':\n  Stream #0:0: Video: mpeg4, 16x16\n", std::nullopt},
        ReportCase{"NulHidesVideo",
                   "Input #0\r\n\0    Stream #0.0: Video: mpeg4, 640x480 [PAR 1:1 DAR 4:3]\r\n"s,
                   std::nullopt},
        ReportCase{"FailedRun", "/bin/sh: 1: coder.exe: not found\n", std::nullopt},
        ReportCase{"Empty", "", std::nullopt}, ReportCase{"OneBreak", "\r\n", std::nullopt},
        ReportCase{"CoderOfToday",
                   Report("  Stream #0:0[0x1](und): Video: h264 (High) (avc1 / 0x31637661), "
                          "yuv420p(progressive), 720x480 [SAR 1:1 DAR 3:2], 25 fps, 25 tbr\n"
                          "    Metadata:\n      handler_name    : VideoHandler\n"),
                   Frame{720, 480}},
        ReportCase{"TurnedQuarter",
                   Report("  Stream #0:0: Video: h264, yuv420p, 720x480 [SAR 1:1 DAR 3:2], 25 "
                          "fps\n    Side data:\n      displaymatrix: rotation of -90.00 degrees\n"),
                   Frame{480, 720}},
        ReportCase{"TurnedAfterItsMetadata",
                   Report("  Stream #0:0: Video: h264, 720x480 [SAR 1:1 DAR 3:2]\n    Metadata:\n"
                          "      handler_name    : VideoHandler\n    Side data:\n"
                          "      displaymatrix: rotation of 90.00 degrees\n"),
                   Frame{480, 720}},
        ReportCase{"TurnedThreeQuarters",
                   Report("  Stream #0:0: Video: h264, 720x480 [SAR 1:1 DAR 3:2]\n"
                          "      displaymatrix: rotation of 270 degrees\n"),
                   Frame{480, 720}},
        ReportCase{"TurnedHalfKeepsSides",
                   Report("  Stream #0:0: Video: h264, 720x480 [SAR 1:1 DAR 3:2]\n"
                          "      displaymatrix: rotation of 180.00 degrees\n"),
                   Frame{720, 480}},
        ReportCase{"TurnOfAnotherStreamIgnored",
                   Report("  Stream #0:0: Video: h264, 720x480 [SAR 1:1 DAR 3:2]\n"
                          "  Stream #0:1: Video: h264, 64x64 [SAR 1:1 DAR 1:1]\n"
                          "      displaymatrix: rotation of 90.00 degrees\n"),
                   Frame{720, 480}},
        ReportCase{"LargestWholeNumber",
                   Report("  Stream #0:0: Video: x, 2147483647x1 [SAR 1:1 DAR 1:1]\n"),
                   Frame{2147483647u, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

struct KindsCase {
    const char* name;
    std::string streams;
    bool video;
    bool sound;
};

class StreamKindsTable : public testing::TestWithParam<KindsCase> {};

TEST_P(StreamKindsTable, TellsVideoAndSound) {
    const ProbeFacts facts = ProbeFactsFromReport(Report(GetParam().streams));
    EXPECT_EQ(facts.hasVideo, GetParam().video);
    EXPECT_EQ(facts.hasSound, GetParam().sound);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StreamKindsTable,
    testing::Values(
        KindsCase{"Both",
                  "  Stream #0:0: Video: h264, 640x480\n  Stream #0:1: Audio: aac, 44100 Hz\n",
                  true, true},
        KindsCase{"SoundAlone", "  Stream #0:0: Audio: mp3, 44100 Hz\n", false, true},
        KindsCase{"CoverPictureIsNoVideo",
                  "  Stream #0:0: Audio: mp3, 44100 Hz\n  Stream #0:1: Video: mjpeg, 300x300 "
                  "[SAR 1:1 DAR 1:1], 90k tbr, 90k tbn (attached pic)\n",
                  false, true},
        KindsCase{"Neither", "  Stream #0:0: Data: none (rtp  / 0x20707472)\n", false, false},
        KindsCase{"MarksOnOtherLines", "  Note: Stream #0:0\n  : Video: x, 1x1 : Audio: y\n", false,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SourceFrame, SizeBeyondWholeNumbersFailsQuotingDigits) {
    try {
        ProbeFactsFromReport(Report("  Stream #0:0: Video: x, 2147483648x480 [SAR 1:1 DAR 1:1]\n"));
        FAIL();
    } catch (const EConvertError& failure) {
        EXPECT_EQ(failure.Message(), "'2147483648' is not a valid integer value");
    }
}

TEST(SourceFrame, LongReportsAreReadWithoutTrouble) {
    // Ten megabytes of near misses, then the real line: a recursive or quadratic search fails here.
    std::string report = kHead + "  Stream #0:0: Video: h264\n";
    while (report.size() < 10'000'000) report += " 1x1, 22x, x3 4x4,\n";
    report += "  Stream #0:1: Video: mpeg4, 352x288 [SAR 1:1 DAR 11:9]\n";
    const ProbeFacts facts = ProbeFactsFromReport(report);
    ASSERT_TRUE(facts.source);
    EXPECT_EQ(*facts.source, (Frame{352, 288}));
}

struct DurationCase {
    const char* name;
    std::string report;
    std::optional<double> seconds;
    std::vector<std::string> names = {};
};

class DurationTable : public testing::TestWithParam<DurationCase> {};

TEST_P(DurationTable, ReadsTheInputsClockOrNothing) {
    EXPECT_EQ(ProbeFactsFromReport(GetParam().report, GetParam().names).durationSeconds,
              GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DurationTable,
    testing::Values(
        DurationCase{"Clock", "Input #0, avi, from 'x':\n  Duration: 00:01:02.50, start: 0.0\n",
                     62.5},
        DurationCase{"Hour", "Input #0, avi, from 'x':\n  Duration: 01:00:00.00,\n", 3600.0},
        DurationCase{"NotKnown", "Input #0, avi, from 'x':\n  Duration: N/A, bitrate: N/A\n",
                     std::nullopt},
        DurationCase{"Zero", "Input #0, avi, from 'x':\n  Duration: 00:00:00.00\n", std::nullopt},
        DurationCase{"NameHoldsAClock",
                     "Input #0, mov,mp4, from '/v/Duration: 01:00:00.00 clip.mp4':\n"
                     "  Duration: 00:00:03.00, start: 0.000000, bitrate: 1 kb/s\n",
                     3.0,
                     {"/v/Duration: 01:00:00.00 clip.mp4"}},
        DurationCase{"TagKeyHoldingAClock",
                     "Input #0, mov,mp4, from 'x':\n  Metadata:\n    note\n"
                     "  Duration: 01:00:00.00: x\n    encoder         : Lavf59.27.100\n"
                     "  Duration: 00:00:03.00, start: 0.000000, bitrate: 1 kb/s\n"
                     "  Stream #0:0: Video: h264, yuv420p, 640x480, 25 fps\n",
                     3.0},
        DurationCase{"NameHoldingAControlByte",
                     "Input #0, avi, from '/v/x?\n  Stream #0:0: Audio: mp3\n  y.avi':\n"
                     "  Duration: 00:00:03.00, start: 0.000000, bitrate: 1 kb/s\n",
                     3.0,
                     {"/v/x\x01\n  Stream #0:0: Audio: mp3\n  y.avi"}},
        DurationCase{"OutsideTheInputsDescription", "[x @ 0x1] y\n  Duration: 00:00:03.00\n",
                     std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProbeFacts, ANameIsNoWordOfTheCoders) {
    const std::string name = "/v/x\n  Stream #0:0: Video: h264, 99999999999x2 [SAR 1:1 DAR 1:1]";
    const ProbeFacts facts = ProbeFactsFromReport(
        "Input #0, avi, from '" + name + "':\n  Stream #0:0: Video: mpeg4, 640x480, 25 fps\n",
        {name});
    EXPECT_EQ(facts.source, (Frame{640, 480}));
}

TEST(ProbeFacts, ALineCutByTheReadIsDropped) {
    const std::string streams = "Input #0, avi, from 'x':\n  Stream #0:0: Video: h264, 320x180";
    EXPECT_FALSE(ReadCoderPrintout(streams, "", {}, true).OutputVideo());
    EXPECT_FALSE(ProbeFactsFromPrintout(ReadCoderPrintout(streams, "", {}, true)).source);
    const CoderPrintout ends = ReadCoderPrintout(
        streams + "\n", "time=00:00:09.00 x\nframe=1 time=00:00:02.00\n", {}, true);
    EXPECT_EQ(ProbeFactsFromPrintout(ends).source, (Frame{320, 180}));
    EXPECT_EQ(ends.lastProgressTime, 2.0);
}

}  // namespace
}  // namespace lmk

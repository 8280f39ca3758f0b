#include "probe_report.h"

#include <gtest/gtest.h>

#include "failures.h"

namespace lmk {
namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

struct SplitCase {
    const char* name;
    std::string report;
    Lines lines;
};

class SplitReportLinesTable : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitReportLinesTable, Splits) {
    EXPECT_EQ(SplitReportLines(GetParam().report), GetParam().lines);
}

TEST_P(SplitReportLinesTable, OnePassCommaTextMatchesSplitThenJoin) {
    EXPECT_EQ(CommaTextFromReport(GetParam().report), JoinCommaText(GetParam().lines));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitReportLinesTable,
    testing::Values(
        SplitCase{"Empty", "", {}}, SplitCase{"OneBreak", "\r\n", {""}},
        SplitCase{"CrLf", "a\r\nb\r\n", {"a", "b"}}, SplitCase{"LfAlone", "a\nb\n", {"a", "b"}},
        SplitCase{"CrAlone", "a\rb\r", {"a", "b"}}, SplitCase{"NoFinalBreak", "a\nb", {"a", "b"}},
        SplitCase{"LfCrIsTwoBreaks", "a\n\rb", {"a", "", "b"}},
        SplitCase{"EmptyLineBetween", "a\r\n\r\nb", {"a", "", "b"}},
        SplitCase{"NulEndsReport", "a\nb\0c\nd"s, {"a", "b"}}, SplitCase{"NulFirst", "\0abc"s, {}},
        SplitCase{"QuotedItems", "a \"b\"\r\nc,d\n\nplain", {"a \"b\"", "c,d", "", "plain"}},
        SplitCase{"OneEmptyLineThenNul", "\n\0x"s, {""}},
        SplitCase{"TwoEmptyLines", "\n\n", {"", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

struct JoinCase {
    const char* name;
    Lines lines;
    std::string text;
};

class JoinCommaTextTable : public testing::TestWithParam<JoinCase> {};

TEST_P(JoinCommaTextTable, Joins) {
    EXPECT_EQ(JoinCommaText(GetParam().lines), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, JoinCommaTextTable,
    testing::Values(JoinCase{"NoLines", {}, ""}, JoinCase{"OneEmptyLine", {""}, "\"\""},
                    JoinCase{"TwoEmptyLines", {"", ""}, ","},
                    JoinCase{"PlainLineAsItIs", {"plain"}, "plain"},
                    JoinCase{"SpaceQuotes", {"abc", "d e"}, "abc,\"d e\""},
                    JoinCase{"QuoteDoubled", {"say \"hi\""}, "\"say \"\"hi\"\"\""},
                    JoinCase{"QuoteWithoutSpace", {"a\"b"}, "\"a\"\"b\""},
                    JoinCase{"Comma", {"a,b"}, "\"a,b\""}, JoinCase{"Tab", {"a\tb"}, "\"a\tb\""},
                    JoinCase{"BeyondAsciiPlain", {"Привет"}, "Привет"},
                    JoinCase{"EmptyAmongOthers", {"a", "", "b c"}, "a,,\"b c\""}),
    [](const auto& info) { return std::string(info.param.name); });

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
        ReportCase{"OnlyTheFirstVideoLine",
                   Report("  Stream #0:0: Video: h264, yuv420p\n"
                          "  Stream #0:1: Video: mpeg4, 320x200, 25 fps\n"),
                   std::nullopt},
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
        ReportCase{"SecondVideoWhenFirstHasNoSpace",
                   Report("    Stream #0.0: Video: h264, 1280x720, 25 fps\r\n"
                          "    Stream #0.1: Video: mpeg4, 320x200 [SAR 1:1 DAR 8:5]\r\n"),
                   Frame{320, 200}},
        ReportCase{"LaterTextAnywhere",
                   Report("    Stream #0.0: Video: h264, 1280x720, 25 fps\r\n    Note: 12x34 "
                          "here\r\n"),
                   Frame{12, 34}},
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

TEST(SourceFrame, FixedSearchAloneFindsNoSizeACommaFollows) {
    EXPECT_FALSE(FindSourceFrame(CommaTextFromReport(
        "    Stream #0.0: Video: h264, yuv420p, 1280x720, 25 fps, 25 tbr, 25 tbn, 50 tbc\r\n")));
}

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
        ProbeFactsFromReport("  Stream #0:0: Video: x, 2147483648x480 [SAR 1:1 DAR 1:1]\n");
        FAIL();
    } catch (const EConvertError& failure) {
        EXPECT_EQ(failure.Message(), "'2147483648' is not a valid integer value");
    }
}

TEST(SourceFrame, MatchReachesAcrossLinesAndGivesGroups) {
    const std::string text = JoinCommaText(SplitReportLines(
        "    Stream #0.0: Audio: mp3\r\n    Stream #0.1: Video: mpeg4, 640x480 [PAR 1:1]\r\n"));
    const auto match = FindSourceFrame(text);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->width, "640");
    EXPECT_EQ(match->height, "480");
    EXPECT_EQ(text.substr(match->end - 8, 9), "640x480 [");
}

TEST(SourceFrame, LongReportsAreReadWithoutTrouble) {
    // Ten megabytes of near misses, then the real line: a recursive or quadratic search fails here.
    std::string report = "  Stream #0:0: Video: h264\n";
    while (report.size() < 10'000'000) report += " 1x1, 22x, x3 4x4,\n";
    report += "  Stream #0:1: Video: mpeg4, 352x288 [SAR 1:1 DAR 11:9]\n";
    const ProbeFacts facts = ProbeFactsFromReport(report);
    ASSERT_TRUE(facts.source);
    EXPECT_EQ(*facts.source, (Frame{352, 288}));
}

TEST(ReportDuration, ReadsClockOrNothing) {
    EXPECT_DOUBLE_EQ(*ReportDuration("  Duration: 00:01:02.50, start: 0.0"), 62.5);
    EXPECT_DOUBLE_EQ(*ReportDuration("Duration: 01:00:00.00,"), 3600.0);
    EXPECT_FALSE(ReportDuration("  Duration: N/A, bitrate: N/A"));
    EXPECT_FALSE(ReportDuration("no length here"));
    EXPECT_FALSE(ReportDuration("Duration: 00:00:00.00"));
}

}  // namespace
}  // namespace lmk

// `lmk-video --convert` with the real coder: the output's frame and codecs as the coder's own
// report reads them back, awkward names, failed conversions and failures that end the job.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
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

using test::Exists;
using test::FolderNames;
using test::ReadFile;
using test::RunProgram;
using test::RunResult;
using test::SplitLines;
using test::WriteFile;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;
using testing::UnorderedElementsAre;

void ExpectVideo(const std::string& path, const std::string& codec, int width, int height,
                 const std::string& pixelFormat = "yuv420p") {
    const auto streams = StreamsOf(path);
    const auto video = FirstStream(streams, "video");
    ASSERT_TRUE(video) << path << " has no video stream the coder can read";
    EXPECT_EQ(video->codec, codec);
    EXPECT_EQ(video->width, width);
    EXPECT_EQ(video->height, height);
    // What every portable player decodes.
    EXPECT_EQ(video->pixelFormat, pixelFormat);
}

void ExpectMp3Sound(const std::string& path) {
    const auto sound = FirstStream(StreamsOf(path), "audio");
    ASSERT_TRUE(sound) << path << " has no sound stream the coder can read";
    EXPECT_EQ(sound->codec, "mp3");
}

std::string Repeated(const std::string& text, std::size_t count) {
    std::string all;
    for (std::size_t i = 0; i < count; ++i) all += text;
    return all;
}

// --- The frame the output gets ------------------------------------------------------------

struct FrameCase {
    const char* label;
    ClipKind clip;
    const char* videoCodec;  // chosen by the coder from the output name's extension; null: none
    int width;
    int height;
    const char* added = "";  // after the output's name when its container could not take it
    bool sound = true;
    std::string name = {};                 // the input's, when not "clip" + the clip's extension
    std::string output = {};               // when not "lmk-" + name + added
    std::vector<std::string> beside = {};  // the user's files beside the input, to stay as they are
    bool squarePixels = false;             // written so, from a source whose pixels are not
    const char* pixelFormat = "yuv420p";   // an encoder that takes no 4:2:0 keeps the source's
};

void PrintTo(const FrameCase& c, std::ostream* out) {
    *out << c.label;
}

class FrameTable : public CoderRun, public testing::WithParamInterface<FrameCase> {};

TEST_P(FrameTable, OutputHasFittedFrameAndMp3Sound) {
    const FrameCase& c = GetParam();
    const std::string name = c.name.empty() ? "clip" + ClipShelf::Extension(c.clip) : c.name;
    const std::string input = Place(c.clip, name);
    const std::string output = c.output.empty() ? "lmk-" + name + c.added : c.output;
    std::vector<std::string> names = {name, output};
    for (const auto& companion : ClipShelf::Companions(c.clip)) {
        names.push_back(std::filesystem::path(companion).filename());
        test::CopyFile(companion, Work(names.back()));
    }
    for (const auto& other : c.beside) {
        names.push_back(other);
        WriteFile(Work(other), "the user's own " + other);
    }
    std::vector<std::string> before;
    for (std::size_t i = 2; i < names.size(); ++i) before.push_back(ReadFile(Work(names[i])));

    const RunResult result = Convert({input});

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.out, StatusLine(name) + "\n" + kDone + "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_THAT(FolderNames(WorkFolder()), testing::UnorderedElementsAreArray(names));
    for (std::size_t i = 2; i < names.size(); ++i)
        EXPECT_EQ(ReadFile(Work(names[i])), before[i - 2]) << names[i] << " was changed";
    if (c.videoCodec) {
        ExpectVideo(Work(output), c.videoCodec, c.width, c.height, c.pixelFormat);
        if (c.squarePixels) {
            EXPECT_EQ(FirstStream(StreamsOf(Work(output)), "video")->sampleAspect, "1:1");
        }
    } else {
        EXPECT_FALSE(FirstStream(StreamsOf(Work(output)), "video"));
    }
    if (c.sound) ExpectMp3Sound(Work(output));
    EXPECT_EQ(DecodingErrors(Work(output)), "");
    EXPECT_EQ(ReadFile(input), ReadFile(ClipShelf::Get(c.clip))) << "the input was changed";
}

INSTANTIATE_TEST_SUITE_P(
    Clips, FrameTable,
    testing::Values(
        FrameCase{"Avi640x480", ClipKind::Avi640x480, "mpeg4", 320, 240},
        // 320x213 fitted, lowered to an even height for H.264
        FrameCase{"Mp4720x480EvenHeight", ClipKind::Mp4H264_720x480, "h264", 320, 212},
        FrameCase{"Portrait480x640", ClipKind::Mp4Portrait480x640, "h264", 180, 240},
        // 135x240 fitted, lowered to an even width
        FrameCase{"Portrait360x640EvenWidth", ClipKind::Mp4Portrait360x640, "h264", 134, 240},
        FrameCase{"Small176x144Kept", ClipKind::AviSmall176x144, "mpeg4", 176, 144},
        // The coder turns the picture upright while converting, so the fit must
        // be made on the turned frame.
        FrameCase{"Turned90Upright", ClipKind::Mp4Turned90, "h264", 160, 240},
        FrameCase{"Turned270Upright", ClipKind::Mp4Turned270, "h264", 160, 240},
        FrameCase{"Turned180StaysWide", ClipKind::Mp4Turned180, "h264", 320, 212},
        // No space after the size on the stream line.
        FrameCase{"MkvVp9", ClipKind::MkvVp9, "h264", 320, 240},
        FrameCase{"AviDivx3", ClipKind::AviDivx3, "mpeg4", 320, 240},
        FrameCase{"Wmv2", ClipKind::Wmv2, "msmpeg4v3", 320, 240},
        FrameCase{"FlvSoundFirst", ClipKind::FlvSoundFirst, "flv1", 320, 240},
        FrameCase{"Mp4High444", ClipKind::Mp4High444, "h264", 320, 180},
        FrameCase{"MovMotionJpeg", ClipKind::MovMotionJpeg, "h264", 320, 240},
        // The container cannot take the result: H.264 and MP3 in MP4 instead.
        FrameCase{"WebmAsMp4", ClipKind::WebmVp8, "h264", 320, 240, ".mp4"},
        FrameCase{"ThreeGpAsMp4", ClipKind::ThreeGpH263, "h264", 320, 262, ".mp4"},
        FrameCase{"M4vAsMp4", ClipKind::M4v, "h264", 320, 180, ".mp4"},
        FrameCase{"Mpeg1At15AsMp4", ClipKind::MpgMpeg1At15, "h264", 320, 218, ".mp4"},
        FrameCase{"OgvAsMp4", ClipKind::Ogv, "h264", 320, 240, ".mp4"},
        FrameCase{"OgmAsMp4", ClipKind::Ogm, "h264", 320, 240, ".mp4"},
        FrameCase{"RealMediaAsMp4", ClipKind::RealMedia, "h264", 320, 240, ".mp4"},
        FrameCase{"MpvAsMp4", ClipKind::MpegVideoStream, "h264", 320, 240, ".mp4", false},
        FrameCase{"NoExtensionAsMp4", ClipKind::NoExtension, "h264", 320, 240, ".mp4"},
        // Sound alone: MP3 as named, or MP3 instead.
        FrameCase{"Mp3", ClipKind::Mp3Tone, nullptr, 0, 0},
        FrameCase{"M4aAsMp3", ClipKind::M4aTone, nullptr, 0, 0, ".mp3"},
        FrameCase{"OgaAsMp3", ClipKind::OgaTone, nullptr, 0, 0, ".mp3"},
        FrameCase{"OpusAsMp3", ClipKind::OpusTone, nullptr, 0, 0, ".mp3"},
        FrameCase{"AacAsMp3", ClipKind::AacTone, nullptr, 0, 0, ".mp3"},
        FrameCase{"FlacAsMp3", ClipKind::FlacTone, nullptr, 0, 0, ".mp3"},
        // Outputs a portable player takes, named for what they hold, and only them written.
        FrameCase{"Vp9WithCoverSizedByItsVideo", ClipKind::MkvVp9WithCover, "h264", 320, 180},
        // Fitted as shown (1024x576), in square pixels.
        FrameCase{.label = "PalWideAsShownSquare",
                  .clip = ClipKind::Mp4PalWide,
                  .videoCodec = "h264",
                  .width = 320,
                  .height = 180,
                  .squarePixels = true},
        // Not the first programme's 720x576, but the stream the coder converts.
        FrameCase{"TwoProgrammesTheLarger", ClipKind::TsTwoProgrammes, "mpeg2video", 320, 180},
        FrameCase{"TenBitMadeEightBit", ClipKind::Mp4High10, "h264", 320, 180},
        FrameCase{"VariableFrameRate", ClipKind::MkvVariableRate, "h264", 320, 240},
        FrameCase{"CutAtAKeyframe", ClipKind::Mp4CutAtKeyframe, "h264", 320, 212},
        FrameCase{"Ac3AsMp3AtOnce", ClipKind::Ac3Tone, nullptr, 0, 0, ".mp3"},
        FrameCase{"DashManifestAsOneMp4", ClipKind::DashManifest, "h264", 320, 240, ".mp4"},
        // Written as asked and unreadable (MP3 in RoQ): once more in a container that holds it.
        FrameCase{"RoqUnreadableSoAsMp4", ClipKind::RoqCinematic, "h264", 64, 64, ".mp4"},
        FrameCase{"LatePictureFoundFurther", ClipKind::TsLatePicture, "mpeg2video", 320, 240},
        // Fitted as its EXIF turns it (360x480), in square pixels.
        FrameCase{.label = "JpegPhotoFittedUpright",
                  .clip = ClipKind::JpegTurned,
                  .videoCodec = "mjpeg",
                  .width = 180,
                  .height = 240,
                  .sound = false,
                  .squarePixels = true,
                  .pixelFormat = "yuvj444p"},
        FrameCase{.label = "ImagePatternReadAndWrittenAsNamed",
                  .clip = ClipKind::PngPicture,
                  .videoCodec = "h264",
                  .width = 320,
                  .height = 240,
                  .added = ".mp4",
                  .sound = false,
                  .name = "pic%d.png",
                  .beside = {"pic1.png", "lmk-pic1.png"}},
        FrameCase{.label = "LongCyrillicNameShortened",
                  .clip = ClipKind::Avi640x480,
                  .videoCodec = "mpeg4",
                  .width = 320,
                  .height = 240,
                  .name = Repeated("ф", 124) + ".avi",
                  .output = "lmk-" + Repeated("ф", 58) + "…f643f1…" + Repeated("ф", 59) + ".avi"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(CoderRun, SoundOnlyFileIsConvertedToMp3) {
    const std::string input = Place(ClipKind::WavTone, "tone.wav");

    const RunResult result = Convert({input});

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    const auto streams = StreamsOf(Work("lmk-tone.wav"));
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].type, "audio");
    EXPECT_EQ(streams[0].codec, "mp3");
}

// A stream line without a size after which a space follows: the file is fitted by its own size,
// not the previous file's.
TEST_F(CoderRun, SizeFromTheStreamLineIsFittedFileByFile) {
    const std::string first = Place(ClipKind::Avi640x480, "first.avi");
    const std::string second = Place(ClipKind::Mp4NoAspect480x360, "second.mp4");

    const RunResult result = Convert({first, second});

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    ExpectVideo(Work("lmk-first.avi"), "mpeg4", 320, 240);
    ExpectVideo(Work("lmk-second.mp4"), "h264", 320, 240);
}

// The new output replaces the earlier one and, of a private input, is private too.
TEST_F(CoderRun, EarlierOutputIsReplaced) {
    const std::string input = Place(ClipKind::Avi640x480, "clip.avi");
    ASSERT_EQ(chmod(input.c_str(), 0600), 0);
    WriteFile(Work("lmk-clip.avi"), "an earlier output");
    // Traced, to see the whole output reach the disk before it takes the output's name.
    if (!Exists("/usr/bin/strace")) GTEST_SKIP() << "no strace here";
    const std::string calls = WorkFolder() + "/../calls";
    std::vector<std::string> traced = {"-o", calls,        "-e", "trace=openat,fsync,renameat",
                                       "--", ProgramPath()};
    for (const auto& argument : ConvertArguments({input}, {})) traced.push_back(argument);

    // LeakSanitizer cannot run under a tracer; a sanitized build leaves it out here.
    test::RunSettings settings = Settings();
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    settings.environmentExtra.push_back("ASAN_OPTIONS=" + std::string(sanitizer ? sanitizer : "") +
                                        ":detect_leaks=0");
    const RunResult result = RunProgram("/usr/bin/strace", traced, settings);

    EXPECT_EQ(result.exitCode, 0) << result.err;
    ExpectVideo(Work("lmk-clip.avi"), "mpeg4", 320, 240);
    struct stat info {};
    ASSERT_EQ(stat(Work("lmk-clip.avi").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // What each descriptor was opened on ("openat(.., "NAME", ..) = FD"), and which were flushed
    // ("fsync(FD) = 0") before the partial file took the output's name.
    std::map<std::string, std::string> opened;
    std::set<std::string> flushed;
    bool renamedFlushed = false;
    for (const std::string& line : SplitLines(ReadFile(calls))) {
        const auto quote = line.find('"');
        const std::string name =
            quote == std::string::npos
                ? std::string()
                : line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
        const std::string result = line.substr(line.rfind(' ') + 1);
        if (line.starts_with("openat(")) opened[result] = name;
        if (line.starts_with("fsync(") && result == "0")
            flushed.insert(opened[line.substr(6, line.find(')') - 6)]);
        if (line.starts_with("renameat(") && line.ends_with("\"lmk-clip.avi\") = 0"))
            renamedFlushed = name.starts_with(".lmk-partial-") && flushed.count(name) > 0;
    }
    EXPECT_TRUE(renamedFlushed) << ReadFile(calls);
}

TEST_F(CoderRun, SeveralFilesInOneRunInTheirOrder) {
    const std::string a = Place(ClipKind::Avi640x480, "b-first.avi");
    const std::string b = Place(ClipKind::AviSmall176x144, "a-second.avi");

    const RunResult result = Convert({a, b});

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(SplitLines(result.out),
                ElementsAre(StatusLine("b-first.avi"), StatusLine("a-second.avi"), kDone));
    ExpectVideo(Work("lmk-b-first.avi"), "mpeg4", 320, 240);
    ExpectVideo(Work("lmk-a-second.avi"), "mpeg4", 176, 144);
}

// --- Names that a shell or a careless parser would break -----------------------------------

struct NameCase {
    const char* label;
    std::string name;
    std::string shown;                // in the status line: control characters become "?"
    bool childSignalIgnored = false;  // started as some service managers do, SIGCHLD ignored
};

void PrintTo(const NameCase& c, std::ostream* out) {
    *out << c.label;
}

class NameTable : public CoderRun, public testing::WithParamInterface<NameCase> {};

TEST_P(NameTable, ConvertsBesideTheInput) {
    const NameCase& c = GetParam();
    const std::string input = Place(ClipKind::Avi640x480, c.name);

    std::vector<std::string> arguments = ConvertArguments({input}, {});
    arguments.insert(arguments.begin(), {"-c", "trap '' CHLD; exec \"$0\" \"$@\"", ProgramPath()});
    const RunResult result =
        c.childSignalIgnored ? RunProgram("/bin/bash", arguments, Settings()) : Convert({input});

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.out, StatusLine(c.shown) + "\n" + kDone + "\n");
    ExpectVideo(Work("lmk-" + c.name), "mpeg4", 320, 240);
    ExpectMp3Sound(Work("lmk-" + c.name));
    EXPECT_THAT(FolderNames(WorkFolder()), UnorderedElementsAre(c.name, "lmk-" + c.name));
}

// Long enough that the full path of the output passes 256 characters.
const std::string kLongName = std::string(240, 'n') + ".avi";

INSTANTIATE_TEST_SUITE_P(
    Names, NameTable,
    testing::Values(NameCase{"Spaces", "my holiday  clip.avi", "my holiday  clip.avi"},
                    NameCase{"DoubleQuotes", "say \"cheese\".avi", "say \"cheese\".avi"},
                    NameCase{"SingleQuotes", "it's 'here'.avi", "it's 'here'.avi"},
                    NameCase{"DollarAndBackticks", "$HOME `id` $(id).avi", "$HOME `id` $(id).avi"},
                    NameCase{"ShellSigns", "a;b|c&d>e<f*.avi", "a;b|c&d>e<f*.avi"},
                    NameCase{"LeadingDash", "-i clip.avi", "-i clip.avi"},
                    NameCase{"Cyrillic", "Отпуск на море.avi", "Отпуск на море.avi"},
                    NameCase{"AlreadyPrefixed", "lmk-clip.avi", "lmk-clip.avi"},
                    NameCase{"Backslash", "back\\slash.avi", "back\\slash.avi"},
                    NameCase{"Newline", "two\nlines.avi", "two?lines.avi"},
                    NameCase{"WriteFailureMark", "Error writing trailer.avi",
                             "Error writing trailer.avi"},
                    NameCase{"PathOver256", kLongName, kLongName},
                    NameCase{"StartedWithChildSignalIgnored", "clip.avi", "clip.avi", true}),
    [](const auto& info) { return std::string(info.param.label); });

// Relative names are made absolute against the current folder before they reach the coder;
// the user's own files in that folder stay as they are.
struct RelativeCase {
    const char* label;
    std::string name;  // as it lies in the work folder
    std::vector<std::string> arguments;
    std::string output;
};

void PrintTo(const RelativeCase& c, std::ostream* out) {
    *out << c.label;
}

class RelativeTable : public CoderRun, public testing::WithParamInterface<RelativeCase> {};

TEST_P(RelativeTable, ConvertsBesideTheInput) {
    const RelativeCase& c = GetParam();
    std::filesystem::create_directories(std::filesystem::path(Work(c.name)).parent_path());
    Place(ClipKind::Avi640x480, c.name);
    WriteFile(Work("info"), "the user's own notes");
    WriteFile(Work("coder.log"), "the user's own log");

    const RunResult result = Convert(c.arguments);

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    ExpectVideo(Work(c.output), "mpeg4", 320, 240);
    EXPECT_EQ(ReadFile(Work("info")), "the user's own notes");
    EXPECT_EQ(ReadFile(Work("coder.log")), "the user's own log");
}

INSTANTIATE_TEST_SUITE_P(
    Names, RelativeTable,
    testing::Values(
        // Given as it stands, the coder would take it for a stream address.
        RelativeCase{"StreamAddressLike", "rtp:cam.avi", {"rtp:cam.avi"}, "lmk-rtp:cam.avi"},
        RelativeCase{"FileAddressLike", "file:x.avi", {"file:x.avi"}, "lmk-file:x.avi"},
        RelativeCase{
            "LeadingDashAfterOptionsEnd", "-dash.avi", {"--", "-dash.avi"}, "lmk--dash.avi"},
        RelativeCase{
            "InSubfolder", "sub dir/clip.avi", {"sub dir/clip.avi"}, "sub dir/lmk-clip.avi"},
        RelativeCase{"DotSegments", "sub/clip.avi", {"./sub/../sub/clip.avi"}, "sub/lmk-clip.avi"}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Conversions that fail: the job goes on, the failure is listed after "Готово!" ----------

struct FailedCase {
    const char* label;
    std::string name;
    enum { Text, Missing, Folder, OthersLink } kind;
    std::string text = "not a video at all\n";
    std::string reason = {};  // when the coder's own words are not the reason
};

void PrintTo(const FailedCase& c, std::ostream* out) {
    *out << c.label;
}

class FailedTable : public CoderRun, public testing::WithParamInterface<FailedCase> {};

TEST_P(FailedTable, ListedAfterDoneAndNextFileConverted) {
    const FailedCase& c = GetParam();
    const std::string bad = Work(c.name);
    if (c.kind == FailedCase::Text) WriteFile(bad, c.text);
    if (c.kind == FailedCase::Folder) std::filesystem::create_directory(bad);
    if (c.kind == FailedCase::OthersLink) {
        if (geteuid() != 0) GTEST_SKIP() << "only root makes a link another user owns";
        ASSERT_EQ(symlink(Place(ClipKind::Avi640x480, "private.avi").c_str(), bad.c_str()), 0);
        ASSERT_EQ(lchown(bad.c_str(), 65534, 65534), 0);
    }
    const std::string good = Place(ClipKind::Avi640x480, "good.avi");

    const RunResult result = Convert({bad, good});

    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    const auto lines = SplitLines(result.out);
    ASSERT_EQ(lines.size(), 4u) << result.out;
    EXPECT_EQ(lines[0], FailedStatusLine(c.name));
    EXPECT_EQ(lines[1], StatusLine("good.avi"));
    EXPECT_EQ(lines[2], kDone);
    const std::string prefix = kFailedConversionPrefix + c.name + ": ";
    EXPECT_THAT(lines[3], StartsWith(prefix));
    EXPECT_GT(lines[3].size(), prefix.size()) << "the coder's reason is missing";
    if (!c.reason.empty()) {
        EXPECT_EQ(lines[3], prefix + c.reason);
    }
    EXPECT_EQ(result.err, "");

    EXPECT_FALSE(Exists(Work("lmk-" + c.name))) << "a failed conversion left its output";
    ExpectVideo(Work("lmk-good.avi"), "mpeg4", 320, 240);
    if (c.kind == FailedCase::Text) {
        EXPECT_EQ(ReadFile(bad), c.text);
    }
    if (c.kind == FailedCase::Missing) {
        EXPECT_FALSE(Exists(bad));
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, FailedTable,
                         testing::Values(FailedCase{"NotAVideo", "notes.txt", FailedCase::Text},
                                         FailedCase{"Missing", "gone.avi", FailedCase::Missing},
                                         FailedCase{"Folder", "folder.avi", FailedCase::Folder},
                                         FailedCase{"SubtitlesAlone", "subs.srt", FailedCase::Text,
                                                    "1\n00:00:00,000 --> 00:00:01,000\nHi\n\n",
                                                    "в файле нет ни видео, ни звука"},
                                         FailedCase{"AnotherUsersLink", "planted.avi",
                                                    FailedCase::OthersLink, "",
                                                    "Not following a symbolic link that another "
                                                    "user made"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(CoderRun, EveryFailedConversionHasItsLine) {
    WriteFile(Work("one.txt"), "text");
    WriteFile(Work("two.avi"), "");

    const RunResult result = Convert({Work("one.txt"), Work("two.avi")});

    EXPECT_EQ(result.exitCode, 2);
    const auto lines = SplitLines(result.out);
    ASSERT_EQ(lines.size(), 5u) << result.out;
    EXPECT_EQ(lines[2], kDone);
    EXPECT_THAT(lines[3], StartsWith(kFailedConversionPrefix + "one.txt: "));
    EXPECT_THAT(lines[4], StartsWith(kFailedConversionPrefix + "two.avi: "));
    EXPECT_THAT(FolderNames(WorkFolder()), ElementsAre("one.txt", "two.avi"));
}

// --- The lines in the locale's language; the coder's reason as the coder wrote it ------------

struct LanguageCase {
    const char* label;
    std::vector<std::string> environment;
    std::string expected;  // a good clip's lines, then a damaged one's
};

void PrintTo(const LanguageCase& c, std::ostream* out) {
    *out << c.label;
}

// The program's own language, under Russian locales and C alike.
const std::string kRussianLines =
    "Обрабатывается файл good.avi... готово\nОбрабатывается файл bad.avi... не удалось\n"
    "Готово!\nНе удалось сконвертировать файл bad.avi: Invalid data found when processing "
    "input\n";

class LanguageTable : public CoderRun, public testing::WithParamInterface<LanguageCase> {};

TEST_P(LanguageTable, LinesSpeakTheLocale) {
    const LanguageCase& c = GetParam();
    const std::string good = Place(ClipKind::AviSmall176x144, "good.avi");
    WriteFile(Work("bad.avi"), "RIFF, but no video");
    test::RunSettings settings = Settings();
    settings.environmentExtra.insert(settings.environmentExtra.end(), c.environment.begin(),
                                     c.environment.end());

    const RunResult result = Convert({good, Work("bad.avi")}, {}, settings);

    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LanguageTable,
    testing::Values(
        LanguageCase{"English",
                     {"LANG=en_US.UTF-8"},
                     "Converting file good.avi... done\nConverting file bad.avi... failed\nDone!\n"
                     "Could not convert file bad.avi: Invalid data found when processing input\n"},
        LanguageCase{"Russian", {"LANG=ru_RU.UTF-8"}, kRussianLines},
        LanguageCase{
            "PlainLocaleIsTheProgramsOwn", {"LC_ALL=C.UTF-8", "LANGUAGE=en"}, kRussianLines}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Arguments: read before anything is made, so that help and usage errors need no folder --

struct ArgumentsCase {
    const char* label;
    std::vector<std::string> arguments;
    int exitCode;
    std::string out;  // what standard output starts with
    std::string err;  // what standard error starts with
    std::vector<std::string> environment = {};
};

void PrintTo(const ArgumentsCase& c, std::ostream* out) {
    *out << c.label;
}

class ArgumentsTable : public CoderRun, public testing::WithParamInterface<ArgumentsCase> {};

TEST_P(ArgumentsTable, AnsweredWithoutAPrivateFolder) {
    const ArgumentsCase& c = GetParam();
    test::RunSettings settings = Settings();
    // English, as the rows are written; a row may choose another language.
    settings.environmentExtra = {"XDG_RUNTIME_DIR=", "TMPDIR=/nonexistent", "LANG=en_US.UTF-8"};
    settings.environmentExtra.insert(settings.environmentExtra.end(), c.environment.begin(),
                                     c.environment.end());

    const RunResult result = RunProgram(ProgramPath(), c.arguments, settings);

    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    EXPECT_THAT(result.out, StartsWith(c.out));
    EXPECT_THAT(result.err, StartsWith(c.err));
    EXPECT_THAT(FolderNames(WorkFolder()), testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Usage, ArgumentsTable,
    testing::Values(
        ArgumentsCase{"Help", {"--help"}, 0, "Usage: lmk-video", ""},
        ArgumentsCase{"HelpAfterConvert", {"--convert", "-h", "clip.avi"}, 0, "Usage:", ""},
        ArgumentsCase{"NoFiles",
                      {"--convert"},
                      64,
                      "",
                      "lmk-video: no FILE to convert\nTry 'lmk-video --help'.\n"},
        ArgumentsCase{"UnknownOption",
                      {"--convert", "--frame", "clip.avi"},
                      64,
                      "",
                      "lmk-video: unknown option --frame\n"},
        ArgumentsCase{"UsageErrorInTheProgramsOwnLanguage",
                      {"--convert", "--frame", "clip.avi"},
                      64,
                      "",
                      "lmk-video: неизвестный параметр --frame\nСм. 'lmk-video --help'.\n",
                      {"LC_ALL=C.UTF-8"}},
        ArgumentsCase{
            "ValueMissing", {"--convert", "clip.avi", "--width"}, 64, "", "lmk-video: --width"},
        ArgumentsCase{"JobsNotANumber",
                      {"--convert", "--jobs", "two", "clip.avi"},
                      64,
                      "",
                      "lmk-video: --jobs: 'two' is not a valid integer value.\n"},
        ArgumentsCase{"JobsBelowZero",
                      {"--convert", "--jobs", "-1", "clip.avi"},
                      64,
                      "",
                      "lmk-video: --jobs: '-1' is less than 0.\n"},
        ArgumentsCase{"Version", {"--version"}, 0, "lmk-video " LMK_VERSION "\n", ""},
        ArgumentsCase{"VersionTakesNoOtherArgument",
                      {"--version", "extra"},
                      64,
                      "",
                      "lmk-video: --version takes no other argument\n"},
        ArgumentsCase{"EmptyCoder",
                      {"--convert", "--coder=", "clip.avi"},
                      64,
                      "",
                      "lmk-video: --coder needs a value\n"},
        // Refused before the window looks for a display.
        ArgumentsCase{"WindowRefusesAnUnknownOption",
                      {"--bogus"},
                      64,
                      "",
                      "lmk-video: unknown option --bogus\nTry 'lmk-video --help'.\n",
                      {"DISPLAY=:97", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE="}},
        // Qt's own options before "--" still reach Qt.
        ArgumentsCase{
            "QtOptionsBeforeDashesGoToQt",
            {"--width=480", "-display", ":98", "x.avi"},
            1,
            "",
            "lmk-video: no display could be opened for the window (no X display at \":98\")",
            {"DISPLAY=:97", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE="}},
        ArgumentsCase{"NoDisplayForTheWindow",
                      {"clip.avi"},
                      1,
                      "",
                      "lmk-video: no display could be opened",
                      {"DISPLAY=:97", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE="}},
        // After "--" Qt's own options are files too: Qt must not open an offscreen window.
        ArgumentsCase{
            "QtOptionsAfterDashesAreFiles",
            {"--", "-platform", "offscreen", "x.avi"},
            1,
            "",
            "lmk-video: no display could be opened",
            {"DISPLAY=:97", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE="}}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Targets that are not whole numbers from 2: usage errors naming the option, exit 64 ----

struct TargetCase {
    const char* label;
    std::vector<std::string> options;
    std::string message;
};

void PrintTo(const TargetCase& c, std::ostream* out) {
    *out << c.label;
}

class BadTargetTable : public CoderRun, public testing::WithParamInterface<TargetCase> {};

TEST_P(BadTargetTable, EndsTheJobBeforeAnythingStarts) {
    const TargetCase& c = GetParam();
    const std::string input = Place(ClipKind::Avi640x480, "clip.avi");

    test::RunSettings english = Settings();
    english.environmentExtra.push_back("LANG=en_US.UTF-8");
    const RunResult result = Convert({input}, c.options, english);

    EXPECT_EQ(result.exitCode, 64);
    EXPECT_EQ(result.err, "lmk-video: " + c.message + "\nTry 'lmk-video --help'.\n");
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(FolderNames(WorkFolder()), ElementsAre("clip.avi"));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BadTargetTable,
    testing::Values(
        TargetCase{"Letters", {"--width", "abc"}, "--width: 'abc' is not a valid integer value."},
        TargetCase{
            "Unit", {"--height", "240px"}, "--height: '240px' is not a valid integer value."},
        TargetCase{"Empty", {"--width", ""}, "--width: '' is not a valid integer value."},
        TargetCase{
            "TrailingSpace", {"--width", "320 "}, "--width: '320 ' is not a valid integer value."},
        TargetCase{"TooLarge",
                   {"--height", "2147483648"},
                   "--height: '2147483648' is not a valid integer value."},
        TargetCase{"WidthQuotedFirst",
                   {"--width", "w", "--height", "h"},
                   "--width: 'w' is not a valid integer value."},
        TargetCase{"BelowTwo", {"--height", "1"}, "--height: '1' is less than 2."}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(CoderRun, TargetTextsAcceptHexadecimalAndLeadingSpaces) {
    const std::string input = Place(ClipKind::Avi640x480, "clip.avi");

    const RunResult result = Convert({input}, {"--width", "$A0", "--height", "  0x78"});

    EXPECT_EQ(result.exitCode, 0) << result.err;
    ExpectVideo(Work("lmk-clip.avi"), "mpeg4", 160, 120);
}

TEST_F(CoderRun, CoderThatCannotStartEndsTheJob) {
    const std::string input = Place(ClipKind::Avi640x480, "clip.avi");

    const RunResult result =
        RunProgram(ProgramPath(), {"--convert", "--coder", "/nonexistent", input}, Settings());

    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "The coder \"/nonexistent\" cannot be run. No such file or directory.\n");
    EXPECT_THAT(result.out, Not(HasSubstr(kDone)));
    EXPECT_THAT(FolderNames(WorkFolder()), ElementsAre("clip.avi"));
}

}  // namespace
}  // namespace lmk::integration

#include "conversion_job.h"

#include <functional>
#include <map>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "failures.h"
#include "fake_platform.h"
#include "file_list.h"

namespace lmk {
namespace {

using Strings = std::vector<std::string>;

class FakeWindow : public JobLog, public JobHost {
public:
    Strings log;
    Strings events;
    std::string width = "320";
    std::string height = "240";
    int pumps = 0;
    std::function<void(int)> onPump;
    bool stop = false;

    void ClearLog() override {
        log.clear();
        events.push_back("clear");
    }
    int AddLogLine(const std::string& line) override {
        log.push_back(line);
        events.push_back("add " + line);
        return static_cast<int>(log.size()) - 1;
    }
    void ReplaceLogLine(int index, const std::string& line) override {
        log.at(index) = line;
        events.push_back("replace " + std::to_string(index) + " " + line);
    }
    void Pump() override {
        ++pumps;
        if (onPump) onPump(pumps);
    }
    bool StopRequested() override { return stop; }
    std::string WidthText() override { return width; }
    std::string HeightText() override { return height; }
};

using test::CoderTarget;
using test::FakeFiles;
using test::FakeProcesses;
using test::InputOf;
using test::OutputOf;
using test::Plan;

std::string VideoReport(const std::string& size, const std::string& duration = "00:00:10.00") {
    return "Input #0, avi, from 'x':\n  Duration: " + duration +
           ", start: 0.000000\n  Stream #0:0: Video: mpeg4, yuv420p, " + size +
           " [SAR 1:1 DAR 4:3], 25 fps\n";
}

std::string SarReport(const std::string& size, const std::string& sar) {
    return "Input #0, avi, from 'x':\n  Duration: 00:00:10.00, start: 0.000000\n"
           "  Stream #0:0: Video: mpeg2video, yuv420p, " +
           size + " [SAR " + sar + " DAR 16:9], 25 fps\n";
}

std::string Repeated(const std::string& text, std::size_t count) {
    std::string all;
    for (std::size_t i = 0; i < count; ++i) all += text;
    return all;
}

bool IsProbe(const Strings& arguments) {
    return arguments.at(arguments.size() - 2) == "-i";
}

class ConversionJobTest : public testing::Test {
protected:
    ConversionJobTest() {
        values.CoderPath = "/opt/lmk/coder.exe";
        values.WorkFolder = "/run/lmk";
        processes.plan = [this](const Strings& arguments) {
            Plan p;
            if (IsProbe(arguments))
                p.printed = {reports.count(InputOf(arguments)) ? reports[InputOf(arguments)]
                                                               : VideoReport("640x480")};
            return p;
        };
    }

    // The files one after another as a run of one job takes them, and the lines that end it.
    // `made`: each path is made a file first.
    Strings Run(const Strings& paths, bool made = true) {
        if (made)
            for (const auto& path : paths) files.files.emplace(path, "video");
        outcome = {};
        for (const auto& path : FileList(files, paths)) {
            if (window.stop) break;
            outcome.files.push_back(job.ConvertFile(path));
        }
        outcome.stopped = window.stop;
        for (const auto& line : EndLines(outcome)) window.AddLogLine(line);
        return window.log;
    }

    Strings FailedNames() const {
        Strings names;
        for (const auto& file : outcome.files)
            if (file.Failed()) names.push_back(FileNamePart(file.path));
        return names;
    }

    Strings ReplacedLines() const {
        Strings lines;
        for (const auto& event : window.events)
            if (event.rfind("replace ", 0) == 0) lines.push_back(event.substr(10));
        return lines;
    }

    FakeWindow window;
    FakeFiles files;
    FakeProcesses processes{files};
    JobValues values;
    test::FakeSchedule schedule;
    ConversionJob job{&window, window, schedule, processes, files, values};
    JobOutcome outcome;
    std::map<std::string, std::string> reports;
};

TEST_F(ConversionJobTest, WorkedExampleRunsProbeAndConversionWithSeparateArguments) {
    EXPECT_EQ(Run({"/clips/trip.avi"}), (Strings{"Обрабатывается файл trip.avi... ", "Готово!"}));
    ASSERT_EQ(processes.started.size(), 2u);
    EXPECT_EQ(processes.started[0].program, "/opt/lmk/coder.exe");
    EXPECT_EQ(processes.started[0].arguments, (Strings{"-i", "file:/clips/trip.avi"}));
    EXPECT_EQ(processes.started[0].outputFile, "/run/lmk/info");
    EXPECT_EQ(processes.started[0].access.input, "/clips/trip.avi");
    EXPECT_EQ(processes.started[0].access.output, "") << "the probe writes only its report";
    EXPECT_EQ(processes.started[1].program, "/opt/lmk/coder.exe");
    EXPECT_EQ(processes.started[1].arguments,
              (Strings{"-i", "file:/clips/trip.avi", "-vf", "scale=320:240,setsar=1", "-acodec",
                       "libmp3lame", "-nostats", "-progress", "pipe:3", "-y", "-truncate", "0",
                       CoderTarget("/clips/lmk-trip.avi")}));
    EXPECT_EQ(processes.started[1].access.input, "/clips/trip.avi");
    EXPECT_EQ(processes.started[1].access.progress, "/run/lmk/progress");
    EXPECT_EQ(processes.started[0].access.progress, "") << "the probe has no progress";
    EXPECT_EQ("file:" + processes.started[1].access.output, CoderTarget("/clips/lmk-trip.avi"));
    EXPECT_NE(processes.started[1].outputFile, "/run/lmk/info");
    EXPECT_EQ(values.OutputPath, "/clips/lmk-trip.avi");
    EXPECT_EQ(outcome.Converted(), 1);
    EXPECT_FALSE(outcome.stopped);
}

TEST_F(ConversionJobTest, MarksTurnInOrderAcrossProbeAndConversion) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        p.ticks = IsProbe(arguments) ? 2 : 3;
        if (IsProbe(arguments)) p.printed = {VideoReport("640x480", "N/A")};
        return p;
    };
    Run({"/clips/trip.avi"});
    const std::string status = "Обрабатывается файл trip.avi... ";
    EXPECT_EQ(ReplacedLines(), (Strings{status + "/", status + "-", status + "\\", status + "|",
                                        status + "/", status}));
    EXPECT_EQ(window.pumps, 5);
    const Strings start(window.events.begin(), window.events.begin() + 3);
    EXPECT_EQ(start, (Strings{"clear", "add " + status, "replace 0 " + status + "/"}));
}

TEST_F(ConversionJobTest, ThreeFilesLeaveOnlyTheLastStatusLine) {
    EXPECT_EQ(Run({"/a/one.avi", "/a/two.avi", "/a/three.avi"}),
              (Strings{"Обрабатывается файл three.avi... ", "Готово!"}));
    EXPECT_EQ(std::count(window.events.begin(), window.events.end(), "clear"), 3);
    EXPECT_EQ(processes.started.size(), 6u);
    EXPECT_EQ(outcome.Converted(), 3);
}

TEST_F(ConversionJobTest, EarlierOutputIsReplacedOnlyOnceTheNewOneIsWhole) {
    files.files["/clips/lmk-trip.avi"] = "old";
    Run({"/clips/trip.avi"});
    EXPECT_TRUE(files.deleted.empty());
    EXPECT_TRUE(processes.started[1].outputExistedAtStart);
    EXPECT_EQ(files.replaced, (Strings{"/clips/lmk-trip.avi"}));
    EXPECT_EQ(files.files["/clips/lmk-trip.avi"], "converted");
    // Its folder was held while it was made and let go after.
    EXPECT_TRUE(files.replacedUnheld.empty());
    EXPECT_TRUE(files.held.empty());
}

// Where a confinement costs more to make than to use, a file's runs share one, made with the
// file its own container's conversion writes; a file converted otherwise, or not at all, leaves
// that file behind deleted.
TEST_F(ConversionJobTest, AFilesRunsShareOneConfinement) {
    processes.sharesRuns = true;
    reports["/clips/bad.avi"] = "/clips/bad.avi: Invalid data found when processing input\n";
    reports["/clips/song.ac3"] = "  Stream #0:0: Audio: ac3, 48000 Hz, stereo, fltp\n";
    Run({"/clips/trip.avi", "/clips/bad.avi", "/clips/song.ac3"});
    EXPECT_EQ(FailedNames(), (Strings{"bad.avi"}));
    ASSERT_EQ(processes.runs.size(), 3u);
    ASSERT_EQ(processes.started.size(), 5u);
    EXPECT_EQ(processes.runs[0].input, "/clips/trip.avi");
    EXPECT_EQ(processes.started[0].runs, 0);
    EXPECT_EQ(processes.started[0].access.output, "") << "the probe is given no output";
    EXPECT_EQ(processes.started[1].runs, 0);
    EXPECT_EQ(processes.started[1].access.output, processes.runs[0].output);
    EXPECT_EQ(files.files["/clips/lmk-trip.avi"], "converted");
    EXPECT_EQ(processes.started[2].runs, 1);
    EXPECT_EQ(processes.started[3].runs, 2);
    EXPECT_EQ(processes.started[4].runs, -1) << "raw AC-3 is written as MP3, apart";
    EXPECT_EQ(files.files["/clips/lmk-song.ac3.mp3"], "converted");
    EXPECT_EQ(files.deleted, (Strings{processes.runs[1].output, processes.runs[2].output}));
    for (const auto& made : processes.runs) EXPECT_FALSE(files.files.count(made.output));

    // Read back, an output is read alone.
    reports["/clips/voice.aac"] = "  Stream #0:0: Audio: aac (LC), 44100 Hz, stereo, fltp\n";
    Run({"/clips/voice.aac"});
    const auto readBack =
        std::find_if(processes.started.begin() + 5, processes.started.end(), [](const auto& run) {
            return run.access.input.find("/.lmk-partial-") != std::string::npos;
        });
    ASSERT_NE(readBack, processes.started.end());
    EXPECT_EQ(readBack->runs, -1);
    EXPECT_EQ(processes.started[6].runs, 3) << "the conversion";
}

struct SizeCase {
    const char* name;
    std::string report;
    std::string width, height;
    Strings sizeArguments;
    Strings inputOptions = {};  // before "-i"
};

class ConversionSize : public ConversionJobTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(ConversionSize, GoesAfterDashS) {
    reports["/v/in.mp4"] = GetParam().report;
    window.width = GetParam().width;
    window.height = GetParam().height;
    Run({"/v/in.mp4"});
    const Strings& arguments = processes.started.at(1).arguments;
    const auto input = std::find(arguments.begin(), arguments.end(), "-i");
    ASSERT_NE(input, arguments.end());
    const Strings middle(input + 2, std::find(arguments.begin(), arguments.end(), "-acodec"));
    EXPECT_EQ(middle, GetParam().sizeArguments);
    EXPECT_EQ(Strings(arguments.begin(), input), GetParam().inputOptions);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConversionSize,
    testing::Values(
        SizeCase{"Fitted", VideoReport("640x480"), "320", "240", {"-vf", "scale=320:240,setsar=1"}},
        SizeCase{"OddSideLowered",
                 VideoReport("720x480"),
                 "320",
                 "240",
                 {"-vf", "scale=320:212,setsar=1"}},
        SizeCase{
            "PortraitOdd", VideoReport("480x640"), "320", "241", {"-vf", "scale=180:240,setsar=1"}},
        SizeCase{
            "SmallKept", VideoReport("176x144"), "320", "240", {"-vf", "scale=176:144,setsar=1"}},
        SizeCase{"WideRoundedStillSquare",
                 VideoReport("2560x1080"),
                 "320",
                 "240",
                 {"-vf", "scale=320:134,setsar=1"}},
        SizeCase{"TargetAsHex",
                 VideoReport("1280x720"),
                 "$140",
                 "0xF0",
                 {"-vf", "scale=320:180,setsar=1"}},
        SizeCase{"NoSizeKeepsSource", "Input #0\n  Stream #0:0: Audio: mp3\n", "320", "240", {}},
        SizeCase{"CoverNeverTheVideosSize",
                 "  Stream #0:0: Video: vp9 (Profile 0), yuv420p(tv), 1920x1080, SAR 1:1 DAR 16:9\n"
                 "  Stream #0:1: Audio: opus, 48000 Hz, stereo\n"
                 "  Stream #0:2: Video: mjpeg (Baseline), yuvj420p(pc), 600x600 [SAR 1:1 DAR 1:1], "
                 "90k tbn (attached pic)\n",
                 "320",
                 "240",
                 {"-map", "0:0", "-map", "0:1", "-vf", "scale=320:180,setsar=1"}},
        // The coder is told to convert the stream fitted: here not the first programme's.
        SizeCase{"TwoProgrammesTheLargerNamed",
                 "Input #0, mpegts, from 'x':\n  Program 1\n"
                 "  Stream #0:0[0x100]: Video: mpeg2video, yuv420p, 720x576 [SAR 64:45 DAR 16:9]\n"
                 "  Stream #0:1[0x101]: Audio: mp2, 48000 Hz, stereo, fltp, 192 kb/s\n"
                 "  Program 2\n"
                 "  Stream #0:2[0x200]: Video: h264, yuv420p, 1280x720 [SAR 1:1 DAR 16:9], "
                 "2000 kb/s, 25 fps\n"
                 "  Stream #0:3[0x201]: Audio: ac3, 48000 Hz, 5.1(side), fltp, 384 kb/s\n",
                 "320",
                 "240",
                 {"-map", "0:2", "-map", "0:3", "-vf", "scale=320:180,setsar=1"},
                 {"-skip_loop_filter", "all"}},
        // Pixels that are not square: the frame as shown is fitted, and written square.
        SizeCase{"PalDvdWide",
                 SarReport("720x576", "64:45"),
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"}},
        SizeCase{"PalNarrow",
                 SarReport("720x576", "16:15"),
                 "320",
                 "240",
                 {"-vf", "scale=320:240,setsar=1"}},
        SizeCase{
            "NtscDv", SarReport("720x480", "8:9"), "320", "240", {"-vf", "scale=320:240,setsar=1"}},
        SizeCase{
            "Hdv", SarReport("1440x1080", "4:3"), "320", "240", {"-vf", "scale=320:180,setsar=1"}},
        SizeCase{"SmallerThanTargetMadeSquare",
                 SarReport("352x288", "12:11"),
                 "640",
                 "480",
                 {"-vf", "scale=384:288,setsar=1"}},
        SizeCase{"TurnedPalDvdWide",
                 SarReport("720x576", "64:45") +
                     "    Side data:\n"
                     "      displaymatrix: rotation of -90.00 degrees\n",
                 "320",
                 "240",
                 {"-vf", "scale=134:240,setsar=1"}},
        SizeCase{"ContainersShapeBeforeTheCodecs",
                 "  Stream #0:0: Video: vp9, yuv420p(tv), 720x576 [SAR 1:1 DAR 5:4], SAR 64:45 "
                 "DAR 16:9, 25 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"}},
        SizeCase{"TenBitMadeEightBitFourTwoZero",
                 "  Stream #0:0: Video: h264 (High 10), yuv420p10le(tv, progressive), 1920x1080 "
                 "[SAR 1:1 DAR 16:9], 4000 kb/s, 30 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1", "-pix_fmt", "yuv420p"},
                 {"-skip_loop_filter", "all"}},
        // Shrunk to a third or less, H.264 and HEVC are decoded without their loop filter.
        SizeCase{"H264ThirdSkipsTheLoopFilter",
                 "  Stream #0:0: Video: h264 (High), yuv420p, 960x540, 1290 kb/s, 25 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"},
                 {"-skip_loop_filter", "all"}},
        SizeCase{"HevcQuarterSkipsTheLoopFilter",
                 "  Stream #0:0: Video: hevc (Main), yuv420p, 3840x2160, 24000 kb/s, 29.97 fps\n",
                 "640",
                 "480",
                 {"-vf", "scale=640:360,setsar=1"},
                 {"-skip_loop_filter", "all"}},
        // A phone's bitrate: skipped on B frames alone, from which few frames are predicted.
        SizeCase{"H264PhoneThirdSkipsTheLoopFilterOnBFrames",
                 "  Stream #0:0: Video: h264 (High), yuv420p, 1920x1080, 17000 kb/s, 30 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"},
                 {"-skip_loop_filter", "bidir"}},
        // The file's bitrate when the stream states none.
        SizeCase{"ContainersBitrateSkipsTheLoopFilter",
                 "Input #0, matroska,webm, from 'x':\n  Duration: 00:01:00.00, start: 0.000000, "
                 "bitrate: 5100 kb/s\n  Stream #0:0: Video: h264 (High), yuv420p(progressive), "
                 "1920x1080, 25 fps, 25 tbr, 1k tbn\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"},
                 {"-skip_loop_filter", "all"}},
        // Grain that high a bitrate keeps would drift far without it, and fill the output.
        SizeCase{"H264GrainyThirdKeepsTheLoopFilter",
                 "  Stream #0:0: Video: h264 (High), yuv420p, 1920x1080, 54000 kb/s, 25 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"}},
        SizeCase{"H264ThirdOfUnknownBitrateKeepsTheLoopFilter",
                 "  Stream #0:0: Video: h264 (High), yuv420p, 1920x1080, 25 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"}},
        SizeCase{"H264HalvedKeepsTheLoopFilter",
                 "  Stream #0:0: Video: h264 (High), yuv420p, 640x360, 25 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"}},
        // Stored narrower than shown: its stored width shrinks by less than a third.
        SizeCase{"H264WideDvdKeepsTheLoopFilter",
                 "  Stream #0:0: Video: h264 (Main), yuv420p, 720x576 [SAR 64:45 DAR 16:9]\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"}},
        SizeCase{"OtherCodecsKeepTheLoopFilter",
                 "  Stream #0:0: Video: mpeg2video (Main), yuv420p, 1920x1080, 25 fps\n",
                 "320",
                 "240",
                 {"-vf", "scale=320:180,setsar=1"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A broadcast's picture that starts after its sound: the probe names it without a size.
TEST_F(ConversionJobTest, APictureWithoutASizeIsLookedForFurtherOrNeverDone) {
    const Strings further = {"-analyzeduration", "60M", "-probesize", "64M"};
    processes.plan = [&](const Strings& arguments) {
        Plan p;
        const bool looked = arguments.front() == further.front();
        const std::string input = InputOf(arguments);
        if (IsProbe(arguments))
            p.printed = {input == "/v/a.avi" || (looked && input == "/v/late.ts")
                             ? VideoReport("720x576")
                             : "  Stream #0:0: Video: mpeg2video, none(tv)\n"
                               "  Stream #0:1: Audio: mp2, 44100 Hz\n"};
        return p;
    };
    Run({"/v/a.avi", "/v/late.ts", "/v/b.avi"});
    EXPECT_EQ(processes.started.at(0).arguments, (Strings{"-i", "file:/v/a.avi"}));
    EXPECT_EQ(
        processes.started.at(4).arguments,
        (Strings{"-analyzeduration", "60M", "-probesize", "64M", "-i", "file:/v/late.ts", "-vf",
                 "scale=320:256,setsar=1", "-acodec", "libmp3lame", "-nostats", "-progress",
                 "pipe:3", "-y", "-truncate", "0", CoderTarget("/v/lmk-late.ts")}));
    // Nowhere a size: never the previous file's, and never done with the sound alone.
    EXPECT_EQ(processes.started.at(7).arguments,
              (Strings{"-analyzeduration", "60M", "-probesize", "64M", "-i", "file:/v/b.avi",
                       "-pix_fmt", "yuv420p", "-acodec", "libmp3lame", "-nostats", "-progress",
                       "pipe:3", "-y", "-truncate", "0", CoderTarget("/v/lmk-b.avi")}));
    EXPECT_EQ(window.log.back(),
              "Не удалось сконвертировать файл b.avi: кадр файла lmk-b.avi неизвестного размера");
    EXPECT_FALSE(files.IsFile("/v/lmk-b.avi"));
    EXPECT_EQ(outcome.Converted(), 2);
}

TEST_F(ConversionJobTest, StartFailureEndsJobWithMessageAndGivesBackTheButton) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        p.failToStart = !IsProbe(arguments);
        if (IsProbe(arguments)) p.printed = {VideoReport("640x480")};
        return p;
    };
    try {
        Run({"/a/one.avi", "/a/two.avi"});
        FAIL();
    } catch (const EOSError& failure) {
        EXPECT_EQ(PeriodRule(failure.Message()),
                  "System Error.  Code: 2.\r\nNo such file or directory.");
    }
    EXPECT_EQ(processes.started.size(), 1u);
    EXPECT_EQ(window.log, (Strings{"Обрабатывается файл one.avi... "}));
    EXPECT_FALSE(files.IsFile(CoderTarget("/a/lmk-one.avi").substr(5))) << "its partial stayed";
}

TEST_F(ConversionJobTest, RefusedWaitEndsJobWithItsReasonAndGivesBackTheButton) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        p.ticks = 1;
        p.waitRefused = !IsProbe(arguments);
        if (IsProbe(arguments)) p.printed = {VideoReport("640x480")};
        return p;
    };
    try {
        Run({"/a/one.avi", "/a/two.avi"});
        FAIL();
    } catch (const EOSError& failure) {
        EXPECT_EQ(failure.Message(), "System Error.  Code: 22.\r\nInvalid argument");
    }
    EXPECT_EQ(processes.started.size(), 2u);
    EXPECT_EQ(window.log, (Strings{"Обрабатывается файл one.avi... -"}));  // no "Готово!"
    EXPECT_FALSE(files.IsFile("/a/lmk-one.avi")) << "the ended coder's partial output was left";
}

// A Ctrl+C reaching a coder as it starts may make its run fail: the job ends as stopped, with
// no failure raised, whichever run it was.
TEST_F(ConversionJobTest, RunFailingAfterAStopEndsTheJobAsStopped) {
    for (const bool probe : {true, false}) {
        SCOPED_TRACE(probe ? "the probe" : "the conversion");
        processes.plan = [this, probe](const Strings& arguments) {
            Plan p;
            if (IsProbe(arguments)) p.printed = {VideoReport("640x480")};
            if (IsProbe(arguments) != probe) return p;
            // The stop comes first, then the run's failure.
            p.onWait = [this] { window.stop = true; };
            p.waitRefused = true;
            return p;
        };
        window.stop = false;
        Run({"/a/one.avi", "/a/two.avi"});
        EXPECT_TRUE(outcome.stopped);
        EXPECT_TRUE(FailedNames().empty());
        EXPECT_FALSE(files.IsFile("/a/lmk-one.avi"));
    }
}

TEST_F(ConversionJobTest, WithoutItsPrivateFolderNothingStarts) {
    values.WorkFolder.clear();
    EXPECT_THROW(Run({"/a/one.avi"}), Exception);
    EXPECT_TRUE(processes.started.empty());
}

TEST_F(ConversionJobTest, TargetNoFrameCanTakeFailsEachFileBeforeAnyCoder) {
    const struct {
        std::string width, height, reason;
    } cases[] = {
        {"-5", "240", "ширина в «Размер видео»: «-5» — нужно целое число больше нуля"},
        {"320", "0", "высота в «Размер видео»: «0» — нужно целое число больше нуля"},
    };
    for (const auto& c : cases) {
        window.width = c.width;
        window.height = c.height;
        processes.started.clear();
        EXPECT_EQ(Run({"/a/one.avi", "/a/two.avi"}).back(),
                  "Не удалось сконвертировать файл two.avi: " + c.reason);
        EXPECT_EQ(processes.started.size(), 0u);
        EXPECT_EQ(FailedNames(), (Strings{"one.avi", "two.avi"}));
    }
}

TEST_F(ConversionJobTest, StopDuringProbeStartsAndDeletesNothing) {
    files.files["/a/lmk-one.avi"] = "earlier output";
    processes.plan = [](const Strings& arguments) {
        Plan p;
        p.ticks = 5;
        if (IsProbe(arguments)) p.printed = {VideoReport("640x480")};
        return p;
    };
    window.onPump = [this](int) { window.stop = true; };
    Run({"/a/one.avi", "/a/two.avi"});
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_TRUE(processes.started[0].ended);
    EXPECT_TRUE(files.deleted.empty());
    EXPECT_EQ(files.files["/a/lmk-one.avi"], "earlier output");
    EXPECT_EQ(window.log.back().rfind("Обрабатывается файл one.avi... ", 0), 0u)
        << "a stopped run said it was done";
    EXPECT_TRUE(outcome.stopped);
}

TEST_F(ConversionJobTest, StopDuringSecondOfThreeConversionsLeavesTheThirdUntouched) {
    files.files["/a/lmk-two.avi"] = "earlier output of two";
    files.files["/a/lmk-three.avi"] = "earlier output";
    processes.plan = [](const Strings& arguments) {
        Plan p;
        p.ticks = IsProbe(arguments) ? 0 : 3;
        if (IsProbe(arguments)) p.printed = {VideoReport("640x480")};
        return p;
    };
    window.onPump = [this](int pump) {
        if (pump == 4) window.stop = true;  // the second conversion's first tick
    };
    Run({"/a/one.avi", "/a/two.avi", "/a/three.avi"});
    ASSERT_EQ(processes.started.size(), 4u);
    EXPECT_FALSE(processes.started[1].ended);
    EXPECT_TRUE(processes.started[3].ended);
    EXPECT_TRUE(files.IsFile("/a/lmk-one.avi"));
    EXPECT_EQ(files.files["/a/lmk-two.avi"], "earlier output of two");
    EXPECT_EQ(files.deleted, (Strings{CoderTarget("/a/lmk-two.avi").substr(5)}))
        << "the stopped run's partial file stayed";
    EXPECT_EQ(files.files["/a/lmk-three.avi"], "earlier output");
    EXPECT_EQ(window.log, (Strings{"Обрабатывается файл two.avi... "}));  // stopped: not done
    EXPECT_EQ(outcome.Converted(), 1);
    EXPECT_TRUE(outcome.stopped);
}

TEST_F(ConversionJobTest, FailedConversionIsReportedAfterDoneAndTheJobGoesOn) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {VideoReport("640x480")};
        } else if (InputOf(arguments) == "/a/bad.avi") {
            p.printed = {"ffmpeg version 5.1\n",
                         "file:/a/bad.avi: Invalid data found when processing input\r\n"};
            p.ticks = 1;
            p.status = {true, 1};
        }
        return p;
    };
    files.files["/a/lmk-bad.avi"] = "earlier output";
    Run({"/a/bad.avi", "/a/good.avi"});
    EXPECT_EQ(window.log,
              (Strings{"Обрабатывается файл good.avi... ", "Готово!",
                       "Не удалось сконвертировать файл bad.avi: Invalid data found when "
                       "processing input"}));
    EXPECT_EQ(files.files["/a/lmk-bad.avi"], "earlier output");
    EXPECT_FALSE(files.IsFile(CoderTarget("/a/lmk-bad.avi").substr(5)));
    EXPECT_TRUE(files.IsFile("/a/lmk-good.avi"));
    EXPECT_EQ(FailedNames(), (Strings{"bad.avi"}));
    EXPECT_EQ(outcome.Converted(), 1);
}

TEST_F(ConversionJobTest, CoderKilledBySignalIsAFailureNamingTheSignal) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {VideoReport("640x480")};
        } else {
            p.printed = {"frame=  69 fps= 20 time=00:00:02.76 speed=1x\r"};
            p.status = {false, 9};
        }
        return p;
    };
    Run({"/a/x.avi"});
    EXPECT_EQ(window.log.back(), "Не удалось сконвертировать файл x.avi: прерван сигналом 9");
    EXPECT_FALSE(files.IsFile("/a/lmk-x.avi"));
    EXPECT_EQ(processes.started.size(), 2u) << "a killed coder is not the container's refusal";
}

TEST_F(ConversionJobTest, WriteErrorIsAFailureEvenWhenTheCoderExitsWell) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {VideoReport("640x480")};
        } else if (InputOf(arguments) == "/a/full.avi") {
            p.ticks = 2;
            p.printed = {"frame=1\r",
                         "Error writing trailer of /a/lmk-full.avi: No space left on device\n",
                         "frame=  50 fps=0.0 q=-0.0 Lsize=       8kB\n"};
        }
        return p;
    };
    Run({"/a/full.avi", "/a/fine.avi", "/a/Error writing trailer of x.avi"});
    EXPECT_EQ(window.log.at(2),
              "Не удалось сконвертировать файл full.avi: Error writing trailer of lmk-full.avi: "
              "No space left on device");
    EXPECT_FALSE(files.IsFile("/a/lmk-full.avi"));
    EXPECT_TRUE(files.IsFile("/a/lmk-fine.avi"));
    EXPECT_EQ(outcome.Converted(), 2) << "a mark in a file's name is no failure";
    EXPECT_EQ(processes.started.size(), 6u) << "a full disk is not the container's refusal";
}

TEST_F(ConversionJobTest, AnInputThatIsNoFileNeverCostsTheUserAFileOfTheOutputName) {
    // A folder dropped with its trailing slash has an empty name: its output name is "lmk-".
    files.files["/a/fold.avi/lmk-"] = "the user's own";
    files.files["/a/lmk-gone.avi"] = "earlier output of a file since removed";
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {"/a/x: Is a directory\n"};
        } else {
            p.printed = {"File exists. Overwrite? [y/N] Not overwriting - exiting\n"};
            p.status = {true, 1};
        }
        return p;
    };
    Run({"/a/fold.avi/", "/a/gone.avi"}, false);
    EXPECT_EQ(files.files["/a/fold.avi/lmk-"], "the user's own");
    EXPECT_EQ(files.files["/a/lmk-gone.avi"], "earlier output of a file since removed");
    EXPECT_EQ(FailedNames().size(), 2u);
}

// The first conversion refused by the coder: the file is tried once more in a container that
// takes H.264 and MP3, or as MP3 for sound alone.
struct SecondCase {
    const char* name;
    std::string streams;
    Strings secondArguments;
};

class SecondAttempt : public ConversionJobTest, public testing::WithParamInterface<SecondCase> {
protected:
    void SetUp() override {
        reports["/v/in.webm"] = "  Duration: 00:00:10.00\n" + GetParam().streams;
        processes.plan = [this](const Strings& arguments) {
            Plan p;
            if (IsProbe(arguments)) {
                p.printed = {reports[InputOf(arguments)]};
            } else if (OutputOf(arguments) == "/v/lmk-in.webm") {
                p.printed = {
                    "[webm @ 0x5] Only VP8 or VP9 video and Vorbis or Opus audio\n"
                    "Conversion failed!\n"};
                p.status = {true, 1};
            }
            return p;
        };
    }
};

TEST_P(SecondAttempt, FollowsARefusedConversion) {
    Run({"/v/in.webm"});
    const Strings& expected = GetParam().secondArguments;
    ASSERT_EQ(processes.started.size(), 3u);
    Strings told = expected;
    told.back() = CoderTarget(expected.back());
    told.insert(told.end() - 1, {"-nostats", "-progress", "pipe:3", "-y", "-truncate", "0"});
    told[1] = "file:" + told[1];
    EXPECT_EQ(processes.started[2].arguments, told);
    EXPECT_FALSE(files.IsFile("/v/lmk-in.webm")) << "the refused attempt left its output";
    EXPECT_FALSE(files.IsFile(CoderTarget("/v/lmk-in.webm").substr(5)));
    EXPECT_TRUE(files.IsFile(expected.back()));
    EXPECT_EQ(values.OutputPath, expected.back());
    EXPECT_EQ(window.log, (Strings{"Обрабатывается файл in.webm... ", "Готово!"}));
    EXPECT_EQ(outcome.Converted(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SecondAttempt,
    testing::Values(
        SecondCase{"VideoAsMp4",
                   "  Stream #0:0: Video: vp8, yuv420p, 640x480, 30 fps\n"
                   "  Stream #0:1: Audio: vorbis, 44100 Hz\n",
                   {"-i", "/v/in.webm", "-vf", "scale=320:240,setsar=1", "-acodec", "libmp3lame",
                    "-vcodec", "libx264", "-pix_fmt", "yuv420p", "/v/lmk-in.webm.mp4"}},
        SecondCase{
            "PhoneSpeechRaisedToAnMp4Rate",
            "  Stream #0:0(eng): Video: h263 (s263 / 0x33363273), yuv420p, 176x144, 15 fps\n"
            "  Stream #0:1(eng): Audio: amr_nb (samr / 0x726D6173), 8000 Hz, mono, flt\n",
            {"-i", "/v/in.webm", "-vf", "scale=176:144,setsar=1", "-acodec", "libmp3lame",
             "-vcodec", "libx264", "-pix_fmt", "yuv420p", "-ar", "22050", "/v/lmk-in.webm.mp4"}},
        SecondCase{"SoundAloneAsMp3",
                   "  Stream #0:0: Audio: opus, 48000 Hz\n",
                   {"-i", "/v/in.webm", "-acodec", "libmp3lame", "/v/lmk-in.webm.mp3"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConversionJobTest, BothAttemptsRefusedGiveTheLastReasonAndLeaveNothing) {
    files.files["/v/lmk-in.ogv.mp4"] = "an earlier second output";
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {VideoReport("640x480")};
        } else {
            p.printed = {"[ogg @ 0x1] Unsupported codec id in stream 1\n"};
            if (arguments.back().ends_with(".mp4"))
                p.printed[0] += arguments.back() + ": No space left on device\n";
            p.status = {true, 1};
        }
        return p;
    };
    Run({"/v/in.ogv"});
    ASSERT_EQ(processes.started.size(), 3u);
    EXPECT_EQ(window.log.back(),
              "Не удалось сконвертировать файл in.ogv: lmk-in.ogv.mp4: No space left on device");
    EXPECT_FALSE(files.IsFile("/v/lmk-in.ogv"));
    EXPECT_EQ(files.files["/v/lmk-in.ogv.mp4"], "an earlier second output")
        << "a failed conversion cost the earlier output";
    EXPECT_FALSE(files.IsFile(CoderTarget("/v/lmk-in.ogv.mp4").substr(5)));
}

TEST_F(ConversionJobTest, TwoInputsNeverEndInOneOutput) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {VideoReport("640x480") + "  Stream #0:1: Audio: mp3, 8000 Hz\n"};
        } else if (std::find(arguments.begin(), arguments.end(), "-vcodec") == arguments.end() &&
                   !OutputOf(arguments).ends_with(".webm.mp4")) {
            p.printed = {"[mp4 @ 0x1] Could not find tag for codec mp3 in stream #1\n"};
            p.status = {true, 1};
        }
        return p;
    };
    Run({"/v/lecture.mp4", "/v/t.webm", "/v/t.webm.mp4"});
    EXPECT_EQ(OutputOf(processes.started.at(2).arguments), "/v/lmk-lecture.mp4");
    EXPECT_TRUE(files.IsFile("/v/lmk-lecture.mp4"));
    EXPECT_FALSE(files.IsFile("/v/lmk-lecture.mp4.mp4"));
    EXPECT_EQ(window.log.back(),
              "Не удалось сконвертировать файл t.webm.mp4: файл "
              "lmk-t.webm.mp4 уже записан из файла t.webm этого задания");
    EXPECT_EQ(outcome.Converted(), 2);
    EXPECT_EQ(processes.started.size(), 7u) << "the clashing output was converted";
}

TEST_F(ConversionJobTest, StopDuringTheSecondAttemptDeletesItsOutput) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {VideoReport("640x480")};
        } else if (OutputOf(arguments) == "/v/lmk-in.3gp") {
            p.status = {true, 1};
        } else {
            p.ticks = 5;
        }
        return p;
    };
    window.onPump = [this](int) { window.stop = true; };
    Run({"/v/in.3gp"});
    ASSERT_EQ(processes.started.size(), 3u);
    EXPECT_TRUE(processes.started[2].ended);
    EXPECT_FALSE(files.IsFile("/v/lmk-in.3gp.mp4"));
    EXPECT_TRUE(outcome.stopped);
    EXPECT_TRUE(FailedNames().empty());
}

TEST_F(ConversionJobTest, EarlierOutputThatCannotBeReplacedStartsNoCoder) {
    files.files["/ro/lmk-one.avi"] = "the user's earlier output";
    files.uncreatable["/ro/lmk-one.avi"] = "Permission denied";
    Run({"/ro/one.avi", "/ro/two.avi"});
    ASSERT_EQ(processes.started.size(), 3u);
    EXPECT_EQ(OutputOf(processes.started[2].arguments), "/ro/lmk-two.avi");
    EXPECT_EQ(files.files["/ro/lmk-one.avi"], "the user's earlier output");
    EXPECT_EQ(window.log.back(),
              "Не удалось сконвертировать файл one.avi: не удалось заменить прежний файл "
              "lmk-one.avi: Permission denied");
}

// What the log shows at each tick of a conversion of a 10 s file, which writes one chunk of
// each of `progress` on its progress channel and of `printed` into its printout per tick.
struct ProgressCase {
    const char* name;
    Strings progress;
    Strings shown;  // after the status line, at each tick and at the end
    Strings printed = {"Input #0, avi, from 'x':\n"};
};

void PrintTo(const ProgressCase& progress, std::ostream* out) {
    *out << progress.name;
}

class ProgressTest : public ConversionJobTest, public testing::WithParamInterface<ProgressCase> {};

TEST_P(ProgressTest, FollowsTheCodersTimeAgainstTheDuration) {
    processes.plan = [](const Strings& arguments) {
        Plan p;
        if (IsProbe(arguments)) {
            p.printed = {VideoReport("640x480", "00:00:10.00")};
        } else {
            p.ticks = 4;
            p.printed = GetParam().printed;
            p.progress = GetParam().progress;
        }
        return p;
    };
    Run({"/a/x.avi"});
    Strings shown;
    for (const auto& end : GetParam().shown) shown.push_back("Обрабатывается файл x.avi... " + end);
    EXPECT_EQ(ReplacedLines(), shown);
    EXPECT_LE(files.largestRead, 64u * 1024);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressTest,
    testing::Values(
        // A block counts once its "progress=" line is written, whatever a read cuts.
        ProgressCase{"WholeBlocksOfTheChannel",
                     {"", "frame=0\nout_time_us=N/A\nout_time=N/A\nprogress=continue\n",
                      "frame=1\nout_time_us=4200000\nout_time=00:00:04.2",
                      "00000\nprogress=continue\nout_time_us=9990000\n", "progress=continue\n"},
                     {"/", "-", "\\ 42%", "| 99%", ""}},
        ProgressCase{"TagInThePrintoutMovesNothing",
                     {},
                     {"/", "-", "\\", "|", ""},
                     {"Input #0, avi, from 'x':\n",
                      "  Metadata:\n    title           : frame=1 time=00:00:09.00\n",
                      "frame=1 time=00:00:09.00 bitrate=1\r", "\nframe=1 time=00:00:09.00\n"}},
        // Only the end of what came since the last tick is read; the block it cuts is dropped.
        ProgressCase{
            "ChattyChannelReadByItsEnd",
            {"",
             Repeated("frame=1\nout_time_us=1000000\nprogress=continue\n", 10000) + "frame=2\n" +
                 Repeated("stream_0_0_q=1.0\n", 5000) + "out_time_us=9000000\nprogress=continue\n",
             "out_time_us=5000000\nprogress=continue\n"},
            {"/", "- 50%", "\\ 50%", "| 50%", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

// How a file's conversion ends, judged from what the coder printed and what it left.
struct OutcomeCase {
    const char* name = "";
    std::string printed = {};  // by the conversion
    ExitStatus status{true, 0};
    std::string failure = {};  // the failure line's reason; empty: converted
    bool kept = false;         // the output stays
    std::size_t starts = 2;
    std::string report = VideoReport("640x480");
    bool writes = true;
    std::function<void(FakeFiles&)> arrange = [](FakeFiles&) {};
    std::size_t readLimit = 0;  // the largest single read of a file, when bounded
    Strings probed = {};        // the inputs probed, in order, when several
    std::string file = "in.avi";
    std::optional<std::string> readBack = {};  // what the coder reads of the partial file
    ExitStatus probeStatus{true, 0};
    std::function<void(FakeFiles&)> whileConverting = [](FakeFiles&) {};
};

class Outcomes : public ConversionJobTest, public testing::WithParamInterface<OutcomeCase> {};

TEST_P(Outcomes, FollowWhatTheCoderDid) {
    const OutcomeCase& c = GetParam();
    const std::string input = "/v/" + c.file;
    reports[input] = c.report;
    processes.plan = [&](const Strings& arguments) {
        Plan p;
        const auto report = reports.find(InputOf(arguments));
        const bool readBack = FileNamePart(InputOf(arguments)).starts_with(".lmk-partial-");
        if (!IsProbe(arguments)) {
            if (!c.printed.empty()) p.printed = {c.printed};
            p.status = c.status;
            p.onWait = [&] { c.whileConverting(files); };
        } else {
            p.printed = {readBack                  ? c.readBack.value_or(VideoReport("320x240"))
                         : report != reports.end() ? report->second
                                                   : VideoReport("640x480")};
            p.status = c.probeStatus;
        }
        p.writes = c.writes;
        return p;
    };
    files.files[input] = "video";
    processes.memoryLimit = 3ULL << 30;
    c.arrange(files);
    Run({input}, false);
    EXPECT_EQ(processes.started.size(), c.starts);
    if (c.failure.empty()) {
        EXPECT_EQ(window.log.back(), "Готово!");
        EXPECT_EQ(outcome.Converted(), static_cast<int>(std::max<std::size_t>(c.probed.size(), 1)));
    } else {
        EXPECT_EQ(window.log.back(),
                  "Не удалось сконвертировать файл " + c.file + ": " + c.failure);
        EXPECT_EQ(FailedNames(), (Strings{c.file}));
    }
    if (!c.failure.empty() && c.starts >= 2) {
        EXPECT_EQ(files.IsFile("/v/lmk-" + c.file), c.kept);
    }
    if (c.readLimit) {
        EXPECT_LE(files.largestRead, c.readLimit);
    }
    if (!c.probed.empty()) {
        Strings probed;
        for (const auto& started : processes.started)
            if (IsProbe(started.arguments) &&
                !FileNamePart(InputOf(started.arguments)).starts_with(".lmk-partial-"))
                probed.push_back(InputOf(started.arguments));
        EXPECT_EQ(probed, c.probed);
    }
}

// An input of 4,000 tags, which puts the output's stream line across the first megabyte read.
std::string OutputAfterManyTags() {
    std::string printed = "Input #0, matroska,webm, from '/v/in.avi':\n  Metadata:\n";
    printed += Repeated("    TAG             : " + std::string(230, 'x') + "\n", 4000);
    const std::string head =
        "Output #0, avi, to 'x':\n  Stream #0:0: Video: mpeg4, yuv420p, 320x18";
    printed += "    PAD             : " +
               std::string(1024 * 1024 - printed.size() - head.size() - 23, 'x') + "\n";
    return printed + head + "0 [SAR 1:1 DAR 16:9]\n";
}

const std::string kOutputLines =
    "Output #0, avi, to '/v/lmk-in.avi':\n  Stream #0:0: Video: mpeg4, yuv420p, 320x240 [SAR 1:1 "
    "DAR 4:3], 25 fps\n";

INSTANTIATE_TEST_SUITE_P(
    Table, Outcomes,
    testing::Values(
        OutcomeCase{"AsAsked", kOutputLines + "frame= 250 time=00:00:09.96 bitrate=1\n"},
        OutcomeCase{"WithinASecond", kOutputLines + "frame= 230 time=00:00:09.05 bitrate=1\n"},
        OutcomeCase{
            .name = "UnreadableOutputTriedInAContainerThatHoldsIt",
            .printed = "Output #0, roq, to 'x':\n  Stream #0:0: Video: roq, 320x240\n"
                       "  Stream #0:1: Audio: mp3, 22050 Hz\nframe= 30 time=00:00:10.00\n",
            .starts = 4,
            .file = "in.roq",
            .readBack = "[roq @ 0x1]   unknown RoQ chunk (F3FF)\n"
                        "file:/v/.lmk-partial-lmk-in.roq: could not find codec parameters\n"},
        OutcomeCase{.name = "OutputWithoutItsPictureNeverDone",
                    .printed = "Output #0, mpegts, to 'x':\n  Stream #0:0: Audio: mp3\n"
                               "frame=1 time=00:00:10.00\n",
                    .failure = "в записанном файле lmk-in.ts.mp4 нет видео",
                    .starts = 3,
                    .file = "in.ts"},
        OutcomeCase{.name = "OutputReadBackWithoutItsSoundNeverDone",
                    .printed = "Output #0, roq, to 'x':\n  Stream #0:0: Video: mpeg4, 320x240\n"
                               "frame=1 time=00:00:10.00\n",
                    .failure = "в записанном файле lmk-in.roq.mp4 нет звука",
                    .starts = 4,
                    .report = VideoReport("640x480") + "  Stream #0:1: Audio: mp2, 44100 Hz\n",
                    .file = "in.roq"},
        OutcomeCase{.name = "OutputReadBackShortKeptAndReported",
                    .failure = "сконвертировано 0:04 из 0:10",
                    .kept = true,
                    .starts = 3,
                    .file = "in.roq",
                    .readBack = VideoReport("320x240", "00:00:04.00")},
        OutcomeCase{.name = "PrintoutCutShortByAFullFolderNeverDone",
                    .printed = "ffmpeg version 5.1 Copyright (c) 2000-2022\n",
                    .failure = "не удалось сохранить вывод кодера в /run/lmk/info",
                    .starts = 3,
                    .readBack = ""},
        OutcomeCase{.name = "PrintoutRemovedDuringTheRun",
                    .printed = kOutputLines + "frame= 250 time=00:00:09.96 bitrate=1\n",
                    .failure = "пропал вывод кодера /run/lmk/coder.log: No such file or directory",
                    .whileConverting = [](FakeFiles& f) { f.Delete("/run/lmk/coder.log"); }},
        OutcomeCase{.name = "PartialRemovedDuringTheRun",
                    .failure = "пропал записываемый файл lmk-in.avi: No such file or directory",
                    .whileConverting =
                        [](FakeFiles& f) { f.Delete(CoderTarget("/v/lmk-in.avi").substr(5)); }},
        OutcomeCase{.name = "ProbeKilledBySignalSaysSo",
                    .failure = "прерван сигналом 9",
                    .starts = 1,
                    .report = "ffmpeg version 5.1 Copyright (c) 2000-2022\n",
                    .probeStatus = {false, 9}},
        OutcomeCase{.name = "MissingImagePatternIsMissing",
                    .failure = "No such file or directory",
                    .starts = 0,
                    .arrange = [](FakeFiles& f) { f.files.erase("/v/x%d.png"); },
                    .file = "x%d.png"},
        OutcomeCase{.name = "SubtitlesAloneRefusedBeforeConverting",
                    .failure = "в файле нет ни видео, ни звука",
                    .starts = 1,
                    .report = "Input #0, srt, from 'x':\n  Stream #0:0: Subtitle: subrip\n",
                    .file = "subs.srt"},
        OutcomeCase{.name = "CoderEndsWellWithoutWriting",
                    .failure = "кодер не записал файл lmk-in.avi",
                    .writes = false},
        OutcomeCase{
            "OutputAtTheSourcesSizeDeleted",
            "Output #0, avi, to 'x':\n  Stream #0:0: Video: mpeg4, yuv420p, 640x480, 25 fps\n"
            "frame=1 time=00:00:10.00\n",
            {true, 0},
            "кадр файла lmk-in.avi 640x480 вместо 320x240"},
        OutcomeCase{.name = "OutputInPixelsThatAreNotSquareDeleted",
                    .printed = "Output #0, avi, to 'x':\n  Stream #0:0: Video: mpeg4, yuv420p, "
                               "320x180 [SAR 64:45 DAR 16:9], 25 fps\nframe=1 time=00:00:10.00\n",
                    .failure = "пиксели файла lmk-in.avi не квадратные (SAR 64:45)",
                    .report = SarReport("720x576", "64:45")},
        OutcomeCase{.name = "RoundedFitOutOfSquareDeleted",
                    .printed = "Output #0, avi, to 'x':\n  Stream #0:0: Video: mpeg4, yuv420p, "
                               "320x134 [SAR 134:135 DAR 64:27]\nframe=1 time=00:00:10.00\n",
                    .failure = "пиксели файла lmk-in.avi не квадратные (SAR 134:135)",
                    .report = VideoReport("2560x1080")},
        OutcomeCase{.name = "PictureOfUnknownSizeReadBackAndFitted",
                    .failure = "кадр файла lmk-in.avi 640x480 вместо 320x240",
                    .starts = 4,
                    .report = "Input #0, avi, from 'x':\n  Stream #0:0: Video: h264, yuv420p\n",
                    .readBack = VideoReport("640x480")},
        OutcomeCase{.name = "UndescribedOutputReadBackAndChecked",
                    .printed = "frame=1 time=00:00:10.00\n",
                    .failure = "кадр файла lmk-in.avi 640x480 вместо 320x240",
                    .starts = 3,
                    .readBack = VideoReport("640x480")},
        OutcomeCase{.name = "SlowClipJudgedByTheOutputsOwnLength",
                    .printed = kOutputLines + "frame= 2 time=00:00:04.00 bitrate=1\n",
                    .starts = 3},
        OutcomeCase{
            .name = "StreamLinesPastTheHeadReadInTheTail",
            .report = "Input #0, matroska,webm, from 'x':\n  Metadata:\n" +
                      Repeated("    TAG             : " + std::string(230, 'x') + "\n", 5000) +
                      "  Duration: 00:00:10.00, start: 0.000000\n"
                      "  Stream #0:0: Video: h264, yuv420p, 640x480 [SAR 1:1 DAR 4:3]\n"},
        OutcomeCase{.name = "CutOffInputKeptAndReported",
                    .printed = kOutputLines + "frame= 102 time=00:00:04.10 bitrate=1\n",
                    .failure = "сконвертировано 0:04 из 0:10",
                    .kept = true,
                    .starts = 3,
                    .readBack = VideoReport("320x240", "00:00:04.10")},
        OutcomeCase{.name = "EstimatedDurationNotChecked",
                    .printed = kOutputLines + "frame= 102 time=00:00:04.10 bitrate=1\n",
                    .report = "Input #0, mp3:\n  Estimating duration from bitrate, this may be "
                              "inaccurate\n" +
                              VideoReport("640x480")},
        OutcomeCase{.name = "ReportWithoutStreamLinesFails",
                    .failure = "кодер ничего не сообщил о файле",
                    .starts = 1,
                    .report = ""},
        OutcomeCase{"MetadataLineNeverTheReason",
                    "Error while decoding stream #0:0: Invalid data found when processing input\n"
                    "Output #0, mp4, to 'x':\n  Stream #0:1: Audio: mp3\n    Metadata:\n"
                    "      encoder         : Lavc59.37.100 libmp3lame\n"
                    "frame=1 time=00:00:01.00\nvideo:1kB audio:0kB\n[libx264 @ 0x1] kb/s:1.54\n"
                    "Conversion failed!\n",
                    {true, 1},
                    "Error while decoding stream #0:0: Invalid data found when processing input",
                    false,
                    3},
        OutcomeCase{"GarbageSoundFailingTheFiltersIsTheDecodingError",
                    "Error while decoding stream #0:1: Invalid data found when processing input\n"
                    "[auto_aresample_0 @ 0x1] Failed to configure output pad on auto_aresample_0\n"
                    "Error reinitializing filters!\nError configuring filter graph\n"
                    "Conversion failed!\n",
                    {true, 1},
                    "Error while decoding stream #0:1: Invalid data found when processing input"},
        OutcomeCase{"BeyondTheMemoryLimitSaysSoWithoutASecondAttempt",
                    "Failed to inject frame into filter network: Cannot allocate memory\n"
                    "Error while processing the decoded data for stream #0:0\n"
                    "Conversion failed!\n",
                    {true, 1},
                    "кодеру не хватило памяти: ему разрешено не больше 3072 МиБ"},
        OutcomeCase{.name = "ProbeBeyondTheMemoryLimitSaysSo",
                    .failure = "кодеру не хватило памяти: ему разрешено не больше 3072 МиБ",
                    .starts = 1,
                    .report = "ffmpeg: error while loading shared libraries: cannot allocate "
                              "symbol search list: Cannot allocate memory\n",
                    .probeStatus = {true, 127}},
        OutcomeCase{"UnwritableOutputGetsNoSecondAttempt",
                    "/v/lmk-in.avi: Permission denied\n",
                    {true, 1},
                    "lmk-in.avi: Permission denied"},
        OutcomeCase{.name = "FolderAtTheOutputsName",
                    .failure = "lmk-in.avi: Is a directory",
                    .starts = 1,
                    .arrange = [](FakeFiles& f) { f.folders.insert("/v/lmk-in.avi"); }},
        OutcomeCase{.name = "FifoRefusedBeforeAnyCoder",
                    .failure = "это не обычный файл, а канал, устройство или сокет",
                    .starts = 0,
                    .arrange = [](FakeFiles& f) { f.special.insert("/v/in.avi"); }},
        OutcomeCase{.name = "FolderWithoutMediaSaysSo",
                    .failure = "в папке нет видео- и звуковых файлов",
                    .starts = 0,
                    .arrange =
                        [](FakeFiles& f) {
                            f.folders.insert("/v/in.avi");
                            f.files["/v/in.avi/notes.txt"] = "text";
                        }},
        OutcomeCase{.name = "FolderThatCannotBeReadSaysWhy",
                    .failure = "не удалось прочитать папку: Permission denied",
                    .starts = 0,
                    .arrange =
                        [](FakeFiles& f) {
                            f.folders.insert("/v/in.avi");
                            f.unreadable["/v/in.avi"] = "Permission denied";
                        }},
        OutcomeCase{"HugeCoderOutputReadByItsEnds",
                    Repeated("[h264 @ 0x1] mmco: unref short failure\n", 256 * 1024) +
                        "/v/in.avi: Invalid data found when processing input\n",
                    {true, 1},
                    "Invalid data found when processing input",
                    false,
                    3,
                    VideoReport("640x480"),
                    true,
                    [](FakeFiles&) {},
                    1024 * 1024},
        // Names and tags hold what the user put there; the coder's printout is read by its
        // line starts, each line whole.
        OutcomeCase{"TagsAndWarningsAreNoOutputStreamLines",
                    "[avi @ 0x1] Output #0, avi, to 'y':\n  Stream #0:0: Video: h264, 16x16\n" +
                        kOutputLines +
                        "    Metadata:\n      title           : Output #0, avi, to 'y':\n"
                        "                      :   Stream #0:0: Video: h264, 16x16\n"
                        "frame= 250 time=00:00:09.96 bitrate=1\n"},
        // Its stream line cut, the description tells nothing: the output is read back.
        OutcomeCase{
            .name = "OutputStreamLineCutByTheReadLimit",
            .printed = OutputAfterManyTags() + Repeated("frame=1 time=00:00:09.96 x\n", 4000),
            .starts = 3},
        OutcomeCase{.name = "SizeBeyondWholeNumbersFailsTheFileAlone",
                    .failure = "'99999999999' is not a valid integer value",
                    .starts = 1,
                    .report = "Input #0, avi, from 'x':\n  Stream #0:0: Video: x, 99999999999x2\n"},
        OutcomeCase{.name = "HugeProbeReportReadByItsEnds",
                    .printed = kOutputLines,
                    .starts = 3,  // no progress printed: the output read back
                    .report = VideoReport("640x480") +
                              Repeated("[h264 @ 0x1] mmco: unref short failure\n", 64 * 1024),
                    .readLimit = 1024 * 1024}),
    [](const auto& info) { return std::string(info.param.name); });

struct PathCase {
    const char* name;
    std::string path;
    std::string output;
    std::string statusName;
    std::string report = VideoReport("640x480");
    Strings inputOptions = {};  // before "-i", for the probe and the conversion alike
};

class OutputNames : public ConversionJobTest, public testing::WithParamInterface<PathCase> {};

TEST_P(OutputNames, StandBesideTheInput) {
    reports[GetParam().path] = GetParam().report;
    Run({GetParam().path});
    for (const auto& started : processes.started) {
        const Strings& arguments = started.arguments;
        const Strings& options = GetParam().inputOptions;
        EXPECT_EQ(Strings(arguments.begin(), arguments.begin() + options.size()), options);
        EXPECT_EQ(arguments.at(options.size() + 1), "file:" + GetParam().path);
    }
    EXPECT_EQ(values.OutputPath, GetParam().output);
    EXPECT_EQ(processes.started.at(1).arguments.back(), CoderTarget(GetParam().output));
    EXPECT_EQ(window.log.front(), "Обрабатывается файл " + GetParam().statusName + "... ");
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutputNames,
    testing::Values(
        PathCase{"Plain", "/d/clip.mp4", "/d/lmk-clip.mp4", "clip.mp4"},
        PathCase{"ColonIsPartOfName", "/d/rtp:cam.avi", "/d/lmk-rtp:cam.avi", "rtp:cam.avi"},
        PathCase{"BackslashIsPartOfName", "/d/a\\b.avi", "/d/lmk-a\\b.avi", "a\\b.avi"},
        PathCase{"PrefixTwice", "/d/lmk-x.avi", "/d/lmk-lmk-x.avi", "lmk-x.avi"},
        PathCase{"SpacesAndCyrillic", "/д в/фильм 1.avi", "/д в/lmk-фильм 1.avi", "фильм 1.avi"},
        PathCase{"NewlineShownSafely", "/d/a\nb.avi", "/d/lmk-a\nb.avi", "a?b.avi"},
        PathCase{"RawSoundOfAnotherCodecAsMp3", "/d/x.ac3", "/d/lmk-x.ac3.mp3", "x.ac3",
                 "  Stream #0:0: Audio: ac3, 48000 Hz, 5.1(side), fltp, 384 kb/s\n"},
        PathCase{"DashManifestAsOneMp4", "/d/video.mpd", "/d/lmk-video.mpd.mp4", "video.mpd"},
        PathCase{"HlsPlaylistAsOneMp4", "/d/Video.M3U8", "/d/lmk-Video.M3U8.mp4", "Video.M3U8"},
        PathCase{"ImagePatternReadAndWrittenAsNamed", "/d/pic%d.png", "/d/lmk-pic%d.png.mp4",
                 "pic%d.png", VideoReport("640x480"),
                 Strings{"-f", "image2", "-pattern_type", "none"}},
        PathCase{"LongCyrillicNameShortenedInTheMiddle", "/d/" + Repeated("ф", 124) + ".avi",
                 "/d/lmk-" + Repeated("ф", 58) + "…f643f1…" + Repeated("ф", 59) + ".avi",
                 Repeated("ф", 124) + ".avi"}),
    [](const auto& info) { return std::string(info.param.name); });

// A name or a reason that holds a placeholder of its own is shown as it is.
TEST(FailureLines, NamesAndReasonsAreTakenAsTheyAre) {
    const struct {
        std::string name;
        std::string reason;
        std::string line;
    } cases[] = {
        {"a%2.avi", "no %1 here", "Не удалось сконвертировать файл a%2.avi: no %1 here"},
        {"%1%9%", "x", "Не удалось сконвертировать файл %1%9%: x"},
    };
    for (const auto& c : cases) EXPECT_EQ(FailureLine(c.name, c.reason), c.line);
}

}  // namespace
}  // namespace lmk

#include "conversion_job.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

#include "coder_output.h"
#include "failures.h"
#include "file_list.h"
#include "frame.h"
#include "output_check.h"
#include "probe_report.h"
#include "said.h"
#include "utf8_text.h"

namespace lmk {
namespace {

// A control character in a name would break a log line in two.
std::string ShownName(std::string name) {
    std::replace_if(
        name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }, '?');
    return name;
}

// The file is tried once more in a container that takes H.264 and MP3 (video) or as MP3.
constexpr std::string_view kVideoFallbackExtension = ".mp4";
constexpr std::string_view kSoundFallbackExtension = ".mp3";
constexpr unsigned kLeastMp4SoundRate = 16000;
constexpr unsigned kMp4SoundRate = 22050;
// The decoder's loop filter is skipped on every frame up to the first (a stream's or a
// broadcast's picture), on B frames alone up to the second (a camera's or a phone's: few
// frames are predicted from B frames, so their drift stays short), and kept above (grain kept
// whole).
constexpr double kMostBitsPerPixelUnfiltered = 0.1;
constexpr double kMostBitsPerPixelBidirUnfiltered = 0.3;

constexpr std::string_view kOutputPrefix = "lmk-";
constexpr std::string_view kPlainPixels = "yuv420p";
// The output's description comes early, its last progress and any failure at the end.
constexpr std::size_t kPrintedHeadLimit = 1024 * 1024;
constexpr std::size_t kPrintedTailLimit = 64 * 1024;
// The coder's exit code when more of the input failed to decode than it allows.
constexpr int kTooManyDecodingErrors = 69;

// The system's own words, as the coder would print them.
const std::string kMissingReason = "No such file or directory";
const std::string kFolderStandsReason = "Is a directory";
const std::string kOthersLinkReason = "Not following a symbolic link that another user made";

std::string NotAFileReason() {
    return Said("Job", "это не обычный файл, а канал, устройство или сокет");
}

std::string KilledReason(int signal) {
    return Filled(Said("Job", "прерван сигналом %1"), {std::to_string(signal)});
}

std::string ReplaceFailedText() {
    return Said("Job", "не удалось заменить прежний файл %1: %2");
}

// Ten times FFmpeg's own reach: a broadcast's picture may start well after its sound.
const std::vector<std::string> kLookFurther = {"-analyzeduration", "60M", "-probesize", "64M"};
constexpr std::size_t kLongestName = 255;  // bytes, as the Linux file systems allow
constexpr std::size_t kLongestExtension = 16;
constexpr std::string_view kShorteningMark = "…";

bool OneOf(std::string_view word, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

// The part of a name after its last dot, in lower case; empty without one.
std::string ExtensionOf(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string extension(name.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

bool IsImageExtension(std::string_view extension) {
    return OneOf(extension, {"png", "jpg", "jpeg", "bmp", "tif", "tiff", "webp", "ppm",
                             "pgm", "pbm", "pam",  "tga", "dpx", "exr",  "jp2",  "j2k",
                             "pcx", "sgi", "ras",  "xbm", "xwd", "pix",  "jls",  "qoi"});
}

// The image muxer reads "%d" in a name as a frame number.
bool IsImagePattern(std::string_view name) {
    return name.find('%') != std::string_view::npos && IsImageExtension(ExtensionOf(name));
}

// A manifest or playlist whose streams are files beside it.
bool IsPlaylist(std::string_view name) {
    return OneOf(ExtensionOf(name), {"mpd", "m3u8", "m3u", "ism", "isml", "f4m", "ffconcat"});
}

// What the coder may read of the user's for `path`: the file itself, or the folder of a
// playlist, whose segments lie beside it; nothing above that folder.
std::string ReadableFor(const std::string& path) {
    return IsPlaylist(FileNamePart(path)) ? FolderPart(path) : path;
}

// Holds a folder for as long as it lives.
class FolderHold {
public:
    FolderHold(Files& files, std::string folder) : m_files(files), m_folder(std::move(folder)) {
        m_files.HoldFolder(m_folder);
    }
    ~FolderHold() { m_files.LetGoFolder(m_folder); }
    FolderHold(const FolderHold&) = delete;
    FolderHold& operator=(const FolderHold&) = delete;

private:
    Files& m_files;
    std::string m_folder;
};

// A well spread hash of the whole name keeps two shortened names apart.
std::string NameHash(std::string_view name) {
    std::uint32_t hash = 2166136261u;
    for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int shift = 20; shift >= 0; shift -= 4) text += kDigits[(hash >> shift) & 0xF];
    return text;
}

// FFmpeg's protocol for local files: no name is read as a URL or another protocol.
constexpr std::string_view kLocalFile = "file:";

std::string AsLocalFile(const std::string& path) {
    return std::string(kLocalFile) + path;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// FFmpeg's name for the descriptor its "-progress" lines go to.
const std::string kProgressChannel = "pipe:" + std::to_string(kProgressDescriptor);

// The time a "-progress" line tells: "out_time_us=" in microseconds, or "out_time=" on the
// clock; none for other keys and for "N/A".
std::optional<double> ProgressChannelTime(std::string_view line) {
    constexpr std::string_view kMicroseconds = "out_time_us=";
    constexpr std::string_view kClock = "out_time=";
    if (line.starts_with(kClock)) return ParseClockTime(line.substr(kClock.size()));
    if (!line.starts_with(kMicroseconds)) return std::nullopt;
    const std::string_view value = line.substr(kMicroseconds.size());
    std::int64_t microseconds = 0;
    const auto [end, error] =
        std::from_chars(value.data(), value.data() + value.size(), microseconds);
    if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return static_cast<double>(microseconds) / 1e6;
}

// The coder's failure line, when it is an allocation the memory limit refused: FFmpeg ends
// such a line with the C library's words for ENOMEM (the coder's locale is C).
std::optional<std::string> BeyondMemoryLimit(std::string_view cause, std::uint64_t limit) {
    if (limit == 0 || !cause.ends_with("Cannot allocate memory")) return std::nullopt;
    return Filled(Said("Job", "кодеру не хватило памяти: ему разрешено не больше %1 МиБ"),
                  {std::to_string(limit >> 20)});
}

// The streams of the coder's own "Output #" description, and the first one's picture; none
// without one.
std::optional<ProbeFacts> DescribedOutput(const CoderPrintout& printed) {
    ProbeFacts facts;
    for (const PrintedStream& stream : printed.streams) {
        if (!stream.output) continue;
        facts.hasStreams = true;
        facts.hasVideo = facts.hasVideo || (stream.kind == "Video" && !stream.cover);
        facts.hasSound = facts.hasSound || stream.kind == "Audio";
    }
    if (!facts.hasStreams) return std::nullopt;
    if (const PrintedStream* video = printed.OutputVideo()) {
        facts.source = video->size;
        facts.sampleAspect = video->sampleAspect;
    }
    return facts;
}

// A still JPEG: its decoder turns it as its EXIF orientation says, which its description
// does not tell.
bool IsStillJpeg(const CoderPrintout& report, const ProbeFacts& facts) {
    const PrintedStream* video = report.ChosenVideo();
    return facts.source && video && video->description.starts_with("mjpeg") &&
           (report.inputFormat == "image2" || report.inputFormat == "jpeg_pipe");
}

// The coder's own lines when decoded frames changed beyond what its filters could be set up for.
bool SaysFiltersFailed(const CoderPrintout& printed) {
    return std::any_of(printed.others.begin(), printed.others.end(), [](const OtherLine& line) {
        return line.masked.starts_with("Error reinitializing filters!") ||
               line.masked.starts_with("Error configuring filter graph");
    });
}

}  // namespace

bool DescriptionTellsOutput(const std::string& outputName) {
    // Their muxers refuse a codec they cannot hold, or (NUT) hold every one; RoQ, raw streams
    // and the like take any and cannot be read back.
    return OneOf(ExtensionOf(outputName),
                 {"mp4",  "m4v", "mov", "qt",  "3gp", "3g2", "mkv", "mka",  "webm", "avi",
                  "divx", "nut", "flv", "f4v", "ts",  "m2t", "mts", "m2ts", "mpg",  "mpeg",
                  "vob",  "wmv", "asf", "ogg", "ogv", "oga", "mp3", "wav"});
}

std::string OutputName(const std::string& inputName, std::string_view added) {
    std::string whole = std::string(kOutputPrefix) + inputName + std::string(added);
    if (whole.size() <= kLongestName) return whole;
    const std::size_t dot = inputName.rfind('.');
    const bool hasExtension =
        dot != std::string::npos && dot > 0 && inputName.size() - dot <= kLongestExtension + 1;
    const std::string_view name = inputName;
    const std::string_view stem = hasExtension ? name.substr(0, dot) : name;
    const std::string_view extension = hasExtension ? name.substr(dot) : std::string_view();
    const std::string mark =
        std::string(kShorteningMark) + NameHash(inputName) + std::string(kShorteningMark);
    const std::size_t room =
        kLongestName - kOutputPrefix.size() - extension.size() - added.size() - mark.size();
    return std::string(kOutputPrefix) +
           ShortenedInTheMiddle(stem, room / 2, room - room / 2, mark) + std::string(extension) +
           std::string(added);
}

std::string FallbackOutputName(const std::string& inputName, std::string_view extension) {
    // In the input's own container the output's name is the first attempt's.
    // Compared without joining: GCC 12 misreads "." + text as an overlapping copy.
    if (extension.starts_with('.') && ExtensionOf(inputName) == extension.substr(1))
        return OutputName(inputName);
    return OutputName(inputName, extension);
}

std::vector<std::string> OutputNames(const std::string& inputName) {
    std::vector<std::string> names = {OutputName(inputName)};
    for (const std::string_view extension : {kVideoFallbackExtension, kSoundFallbackExtension}) {
        std::string name = FallbackOutputName(inputName, extension);
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    return names;
}

std::string_view DirectFormOf(const std::string& inputName, bool hasVideo) {
    const std::string extension = ExtensionOf(inputName);
    // Raw streams of another sound codec would hold MP3 data under a name that says otherwise.
    const bool rawSound =
        OneOf(extension, {"ac3", "eac3", "ec3", "dts", "dtshd", "gsm", "amr", "mp2", "m2a", "mpa",
                          "thd", "mlp", "truehd", "sbc", "aptx", "adx", "g722", "tco", "rco"});
    // These write their segments, playlists or frames beside the output under names of their own.
    const bool severalFiles = IsPlaylist(inputName) || IsImagePattern(inputName);
    if (!rawSound && !severalFiles) return {};
    return hasVideo ? kVideoFallbackExtension : kSoundFallbackExtension;
}

std::vector<std::string> InputOptionsFor(const std::string& inputName) {
    if (IsImagePattern(inputName)) return {"-f", "image2", "-pattern_type", "none"};
    return {};
}

bool TakesPlainPixels(const std::string& outputName) {
    // Their default encoders (H.264, MPEG-4, MPEG-1/2, FLV, VP9, Theora, WMV, RealVideo) all
    // take yuv420p; picture formats and others may not.
    return OneOf(ExtensionOf(outputName),
                 {"mp4", "m4v",  "mov", "qt",   "mkv", "avi", "divx", "flv", "f4v", "3gp",
                  "3g2", "ts",   "m2t", "m2ts", "mts", "mpg", "mpeg", "mpe", "vob", "wmv",
                  "asf", "webm", "ogv", "ogg",  "ogm", "rm",  "rmvb", "mxf", "nut"});
}

const std::vector<std::string_view>& VideoExtensions() {
    static const std::vector<std::string_view> extensions = {
        "3g2", "3gp", "asf", "avi", "divx", "dv",  "f4v",  "flv",  "m2t", "m2ts",
        "m2v", "m4v", "mkv", "mov", "mp4",  "mpe", "mpeg", "mpg",  "mts", "mxf",
        "ogm", "ogv", "qt",  "rm",  "rmvb", "ts",  "vob",  "webm", "wmv"};
    return extensions;
}

bool IsMediaName(const std::string& name) {
    const std::string extension = ExtensionOf(name);
    const auto& video = VideoExtensions();
    return std::find(video.begin(), video.end(), extension) != video.end() ||
           OneOf(extension, {"mp3", "wav", "m4a", "aac", "flac", "ogg", "oga", "opus", "wma", "ac3",
                             "amr", "mka", "aif", "aiff"});
}

std::string StatusLine(const std::string& fileName) {
    return Filled(Said("Job", "Обрабатывается файл %1... "), {ShownName(fileName)});
}

char SpinnerMark(std::uint32_t counter) {
    static constexpr char kMarks[] = {'|', '/', '-', '\\'};
    return kMarks[counter % 4];
}

std::string FolderPart(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileNamePart(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int JobOutcome::Converted() const {
    return static_cast<int>(std::count_if(files.begin(), files.end(), [](const FileOutcome& file) {
        return file.verdict == FileOutcome::Verdict::Converted;
    }));
}

int JobOutcome::Failed() const {
    return static_cast<int>(std::count_if(files.begin(), files.end(),
                                          [](const FileOutcome& file) { return file.Failed(); }));
}

std::string BrokenOffLine(const std::string& reason) {
    return Filled(Said("Job", "Задание прервано: %1"), {reason});
}

RunProgress ProgressOfRun(int filesDone, int filesLeft, double share) {
    const int files = std::max(1, filesDone + filesLeft);
    return {std::min(filesDone + 1, files), files,
            std::clamp((filesDone + share) / files, 0.0, 1.0)};
}

std::string FailureLine(const std::string& name, const std::string& reason) {
    return Filled(Said("Job", "Не удалось сконвертировать файл %1: %2"), {ShownName(name), reason});
}

std::string FailureLine(const FileOutcome& outcome) {
    return FailureLine(FileNamePart(outcome.path), outcome.reason);
}

std::vector<std::string> EndLines(const JobOutcome& outcome) {
    // A stopped run is not done: it shows only what failed before the stop.
    std::vector<std::string> lines;
    if (!outcome.stopped) lines.push_back(DoneLine());
    for (const FileOutcome& file : outcome.files)
        if (file.Failed()) lines.push_back(FailureLine(file));
    return lines;
}

ConversionJob::ConversionJob(JobLog* log, JobHost& host, JobSchedule& schedule,
                             Processes& processes, Files& files, JobValues& values)
    : m_log(log),
      m_host(host),
      m_schedule(schedule),
      m_processes(processes),
      m_files(files),
      m_values(values) {}

std::string ConversionJob::ReportPath() const {
    return m_values.WorkFolder + "/info";
}

std::string ConversionJob::ProgressPath() const {
    return m_values.WorkFolder + "/progress";
}

std::string ConversionJob::CoderOutputPath() const {
    return m_values.WorkFolder + "/coder.log";
}

FileOutcome ConversionJob::ConvertFile(const std::string& path) {
    // Relative names would put the coder's report into whatever folder the user is in.
    if (m_values.WorkFolder.empty()) throw Exception("The job has no private folder");
    const std::string name = FileNamePart(path);
    m_statusLine = StatusLine(name);
    m_statusIndex = -1;
    if (m_log) {
        m_log->ClearLog();
        m_statusIndex = m_log->AddLogLine(m_statusLine);
    }
    m_duration.reset();
    m_position.reset();
    m_spinner = 0;
    // Between files the session lets the window take its events.
    m_lastPump = std::chrono::steady_clock::now();
    // Opened once: the input, its outputs and the coder's view of them stay in this folder,
    // whatever is put at its path while the file is converted.
    const FolderHold held(m_files, FolderPart(path));
    struct RunsEnd {
        ConversionJob& job;
        ~RunsEnd() { job.EndRuns(); }
    } runsEnd{*this};
    FileOutcome outcome = ConvertOne(path);
    outcome.path = path;
    // Done: the line keeps no turning mark.
    ReplaceStatusLine(m_statusLine);
    return outcome;
}

void ConversionJob::ReplaceStatusLine(const std::string& line) {
    if (m_log && m_statusIndex >= 0) m_log->ReplaceLogLine(m_statusIndex, line);
}

FileOutcome ConversionJob::ConvertOne(const std::string& path) {
    const std::string name = FileNamePart(path);
    const auto fail = [&](const std::string& reason) {
        return FileOutcome{.verdict = FileOutcome::Verdict::Failed, .reason = reason};
    };
    const FileStatus input = m_files.StatusOf(path);
    // A FIFO would hold the coder forever, a device feed it without end.
    if (input.kind == FileKind::Special) return fail(NotAFileReason());
    if (input.kind == FileKind::OthersLink) return fail(kOthersLinkReason);
    // Read as one named picture, a missing one is "without streams" to the coder.
    if (input.kind == FileKind::Missing && IsImagePattern(name)) return fail(kMissingReason);
    // Folders were opened into the file list (FileList): one here gives nothing to convert.
    if (input.kind == FileKind::Folder) return fail(FolderFailure(m_files, path));

    // A target no frame can take fails before any coder runs.
    const TargetReading target = ReadTarget(m_host.WidthText(), m_host.HeightText(),
                                            m_host.WidthName(), m_host.HeightName());
    if (!target.problem.empty()) return fail(target.problem);

    StartRuns(path);
    const std::optional<ConversionPlan> plan = PlanFile(path, target.frame);
    if (!plan) return {.verdict = FileOutcome::Verdict::Stopped};
    if (!plan->refusal.empty()) return fail(plan->refusal);
    m_duration = plan->duration;

    const Attempt attempt = RunPlan(path, *plan);
    switch (attempt.kind) {
        case Attempt::Converted:
            return {.verdict = FileOutcome::Verdict::Converted, .output = m_values.OutputPath};
        case Attempt::Short:
            return {.verdict = FileOutcome::Verdict::Short,
                    .output = m_values.OutputPath,
                    .reason = attempt.reason};
        case Attempt::Stopped:
            return {.verdict = FileOutcome::Verdict::Stopped};
        case Attempt::Refused:
        case Attempt::Failed:
            break;
    }
    return fail(attempt.reason);
}

std::vector<std::string> SourceArguments(const std::string& path, bool lookFurther) {
    std::vector<std::string> source = lookFurther ? kLookFurther : std::vector<std::string>();
    const std::vector<std::string> options = InputOptionsFor(FileNamePart(path));
    source.insert(source.end(), options.begin(), options.end());
    source.insert(source.end(), {"-i", AsLocalFile(path)});
    return source;
}

ConversionPlan PlanConversion(const std::string& path, const ProbeFacts& facts, const Frame& target,
                              bool lookFurther) {
    // Subtitles or data alone: nothing a player would show or sound.
    if (!facts.hasVideo && !facts.hasSound)
        return {.refusal = Said("Job", "в файле нет ни видео, ни звука")};
    const std::string name = FileNamePart(path);
    ConversionPlan plan;
    plan.duration = facts.durationSeconds;
    std::vector<std::string> arguments = SourceArguments(path, lookFurther);
    OutputExpectation& expected = plan.expected;
    if (!facts.durationEstimated) expected.duration = facts.durationSeconds;
    expected.video = facts.hasVideo;
    expected.sound = facts.hasSound;
    if (const auto frame = FrameArgumentsFor(facts, target)) {
        expected.frame = frame->size;
        // Shrunk to a third or less, a picture shows nothing of what the decoder's loop filter
        // smooths, which is a good part of its decoding time. Detail at a higher bitrate
        // drifts without it until the next key frame, and costs the output's size.
        if ((facts.videoCodec == "h264" || facts.videoCodec == "hevc") && facts.bitsPerPixel &&
            *facts.bitsPerPixel <= kMostBitsPerPixelBidirUnfiltered &&
            std::uint64_t{frame->size.width} * 3 <= facts.source->width &&
            std::uint64_t{frame->size.height} * 3 <= facts.source->height)
            arguments.insert(
                arguments.end() - 2,
                {"-skip_loop_filter",
                 *facts.bitsPerPixel <= kMostBitsPerPixelUnfiltered ? "all" : "bidir"});
        arguments.insert(arguments.end(), frame->arguments.begin(), frame->arguments.end());
    } else if (facts.hasVideo) {
        // Converted at a size nobody knows, it is checked when read back.
        expected.target = target;
    }
    std::vector<std::string> plainPixels;
    if (facts.hasVideo && facts.pixelFormat != kPlainPixels)
        plainPixels = {"-pix_fmt", std::string(kPlainPixels)};
    arguments.insert(arguments.end(), {"-acodec", "libmp3lame"});

    // The output keeps the input's container, which may not take the result (MP3 in WebM, a
    // size H.263 lacks): then once more in one that does. Some containers are never used.
    const std::string_view direct = DirectFormOf(name, facts.hasVideo);
    const std::string folder = FolderPart(path);
    if (direct.empty()) {
        std::vector<std::string> first = arguments;
        // Players decode 8-bit 4:2:0 only; encoders that take other formats alone keep theirs.
        if (TakesPlainPixels(name))
            first.insert(first.end() - 2, plainPixels.begin(), plainPixels.end());
        plan.attempts.push_back({first, folder + OutputName(name)});
    }
    if (facts.hasVideo) {
        arguments.insert(arguments.end(),
                         {"-vcodec", "libx264", "-pix_fmt", std::string(kPlainPixels)});
        // MP4 takes MP3 at 16 kHz and above; phones record speech at 8 kHz.
        if (facts.soundRate && *facts.soundRate < kLeastMp4SoundRate)
            arguments.insert(arguments.end(), {"-ar", std::to_string(kMp4SoundRate)});
    }
    plan.attempts.push_back(
        {arguments, folder + FallbackOutputName(name, facts.hasVideo ? kVideoFallbackExtension
                                                                     : kSoundFallbackExtension)});
    return plan;
}

std::optional<ConversionPlan> ConversionJob::PlanFile(const std::string& path,
                                                      const Frame& target) {
    ProbeRun probe = Probe(SourceArguments(path), ReadableFor(path), path);
    if (probe.stopped) return std::nullopt;
    try {
        ProbeFacts facts = ProbeFactsFromPrintout(probe.report);
        // A picture without a size was not found in the part the coder looked at (a broadcast's
        // picture that starts after its sound): once more, further.
        const bool lookFurther = probe.failure.empty() && facts.hasVideo && !facts.source;
        if (lookFurther) {
            probe = Probe(SourceArguments(path, true), ReadableFor(path), path);
            if (probe.stopped) return std::nullopt;
            facts = ProbeFactsFromPrintout(probe.report);
        }
        if (!probe.failure.empty()) return ConversionPlan{.refusal = probe.failure};
        if (IsStillJpeg(probe.report, facts)) {
            // The frame its decoder gives, turned as the photo is shown, is the one-frame run's
            // own output.
            std::vector<std::string> arguments = SourceArguments(path);
            arguments.insert(arguments.end(), {"-map", "0:" + std::to_string(*facts.videoIndex),
                                               "-frames:v", "1", "-f", "null", "-"});
            const ProbeRun decoded = Probe(arguments, ReadableFor(path), path);
            if (decoded.stopped) return std::nullopt;
            const std::optional<ProbeFacts> upright = DescribedOutput(decoded.report);
            if (decoded.failure.empty() && upright && upright->source &&
                upright->source->width == facts.source->height &&
                upright->source->height == facts.source->width &&
                facts.source->width != facts.source->height) {
                facts.turned = !facts.turned;
                std::swap(facts.source->width, facts.source->height);
            }
        }
        // Without a stream line the source's size is unknown: never convert at the source's size.
        if (!facts.hasStreams) {
            const std::string cause = CoderFailureReason(probe.report, {path});
            if (auto memory = BeyondMemoryLimit(cause, m_processes.MemoryLimit()))
                return ConversionPlan{.refusal = *memory};
            return ConversionPlan{.refusal = cause.empty()
                                                 ? Said("Job", "кодер ничего не сообщил о файле")
                                                 : ShownReason(cause, path, {path})};
        }
        return PlanConversion(path, facts, target, lookFurther);
    } catch (const EConvertError& refusal) {
        // A size beyond what a frame can have fails this file alone.
        return ConversionPlan{.refusal = refusal.Message()};
    }
}

void ConversionJob::StartRuns(const std::string& path) {
    if (!m_processes.SharesRuns()) return;
    const std::string output = FolderPart(path) + OutputName(FileNamePart(path));
    // Without the file (a folder at the output's name, a folder that cannot be written) each
    // run gets a confinement of its own, and the conversion tells why.
    const PartialFile partial = m_files.CreatePartial(output, m_files.StatusOf(path).permissions);
    if (!partial.error.empty()) return;
    m_runsOutput = output;
    m_runsPartial = partial.path;
    try {
        // The sandbox's own printout has a file of its own: what its first processes hold
        // open must not be a file the coder's facts are read from.
        m_runs = m_processes.StartRuns(m_values.CoderPath,
                                       {ReadableFor(path), partial.path, ProgressPath()},
                                       m_values.WorkFolder + "/sandbox");
    } catch (...) {
        // Told by the probe's own start, which fails as this one did, or sees the stop.
        EndRuns();
    }
}

void ConversionJob::EndRuns() {
    m_runs.reset();
    if (!m_runsPartial.empty()) m_files.Delete(std::exchange(m_runsPartial, {}));
}

ConversionJob::ProbeRun ConversionJob::Probe(const std::vector<std::string>& arguments,
                                             const std::string& readable, const std::string& path,
                                             const std::string& partial,
                                             const std::string& output) {
    ExitStatus status;
    try {
        // A read-back of the output reads it alone, in a sandbox of its own.
        auto probe = m_runs && partial.empty() ? m_runs->Start(arguments, ReportPath(), false)
                                               : m_processes.Start(m_values.CoderPath, arguments,
                                                                   ReportPath(), {readable, {}});
        if (WaitTicking(*probe, false) == RunEnd::Stopped) return {.stopped = true};
        status = probe->Status();
    } catch (...) {
        if (m_host.StopRequested()) return {.stopped = true};
        throw;
    }
    // A killed coder's report ends wherever it was cut: its last line tells nothing.
    if (!status.exited) return {.failure = KilledReason(status.code)};
    ProbeRun run{.report = ReadPrinted(ReportPath(), path, partial, output, true)};
    run.empty = m_files.StatusOf(ReportPath()).size == 0;
    return run;
}

ConversionJob::Attempt ConversionJob::RunPlan(const std::string& path, const ConversionPlan& plan) {
    Attempt attempt{Attempt::Refused, {}};
    for (const ConversionAttempt& next : plan.attempts) {
        attempt = Convert(path, next, plan.expected);
        if (attempt.kind != Attempt::Refused) break;
    }
    return attempt;
}

ConversionJob::Attempt ConversionJob::Convert(const std::string& path,
                                              const ConversionAttempt& attempt,
                                              const OutputExpectation& expected) {
    const std::string& output = attempt.output;
    m_values.OutputPath = output;
    // A folder, or a link to one, at the output's name: no container would fare better.
    if (const FileKind standing = m_files.StatusOf(output).kind;
        standing == FileKind::Folder || standing == FileKind::Special) {
        return {Attempt::Failed,
                ShownName(FileNamePart(output)) + ": " +
                    (standing == FileKind::Folder ? kFolderStandsReason : NotAFileReason())};
    }
    // Two inputs of one run never end in one output: the later would replace the earlier's.
    if (const std::string owner = m_schedule.ClaimOutput(path, output); !owner.empty()) {
        return {Attempt::Failed,
                Filled(Said("Job", "файл %1 уже записан из файла %2 этого задания"),
                       {ShownName(FileNamePart(output)), ShownName(FileNamePart(owner))})};
    }
    Attempt ended = ConvertClaimed(path, attempt, expected);
    if (ended.kind != Attempt::Converted && ended.kind != Attempt::Short)
        m_schedule.ReleaseOutput(path, output);
    return ended;
}

ConversionJob::Attempt ConversionJob::ConvertClaimed(const std::string& path,
                                                     const ConversionAttempt& attempt,
                                                     const OutputExpectation& expected) {
    const std::string& output = attempt.output;
    // The coder writes a file of this run's own; the earlier output stays until it is whole.
    // A private video stays private: the output grants no more than its input.
    const bool shared = m_runs && !m_runsPartial.empty() && output == m_runsOutput;
    const PartialFile partial =
        shared ? PartialFile{std::exchange(m_runsPartial, {}), {}}
               : m_files.CreatePartial(output, m_files.StatusOf(path).permissions);
    if (!partial.error.empty()) {
        const std::string name = ShownName(FileNamePart(output));
        return {Attempt::Failed,
                Filled(m_files.IsFile(output) ? ReplaceFailedText()
                                              : Said("Job", "не удалось создать файл %1: %2"),
                       {name, partial.error})};
    }

    m_progressOffset = 0;
    m_progressTail.clear();
    m_progressBlockCut = false;
    // The progress goes to a channel of its own, which no text in the input can imitate; the
    // printout keeps only the last progress line. The file was made empty for the coder, which
    // may open it only without truncating (the picture muxer opens its files itself).
    std::vector<std::string> arguments = attempt.arguments;
    arguments.insert(arguments.end(), {"-nostats", "-progress", kProgressChannel, "-y"});
    if (IsImageExtension(ExtensionOf(FileNamePart(output))))
        arguments.insert(arguments.end(), {"-protocol_opts", "truncate=0"});
    arguments.insert(arguments.end(), {"-truncate", "0", AsLocalFile(partial.path)});
    std::unique_ptr<Process> conversion;
    try {
        conversion = shared ? m_runs->Start(arguments, CoderOutputPath(), true)
                            : m_processes.Start(m_values.CoderPath, arguments, CoderOutputPath(),
                                                {ReadableFor(path), partial.path, ProgressPath()});
    } catch (...) {
        m_files.Delete(partial.path);
        if (m_host.StopRequested()) return {Attempt::Stopped, {}};
        throw;
    }
    RunEnd end = RunEnd::Ended;
    try {
        end = WaitTicking(*conversion, true);
    } catch (...) {
        // A refused wait ends the job; the coder goes with its record.
        conversion.reset();
        m_files.Delete(partial.path);
        // A run the user stopped may fail as it goes (a Ctrl+C reaching a child that has not
        // left the program's group yet): the stop is what happened.
        if (m_host.StopRequested()) return {Attempt::Stopped, {}};
        throw;
    }
    if (end == RunEnd::Stopped) {
        m_files.Delete(partial.path);
        return {Attempt::Stopped, {}};
    }
    const ExitStatus status = conversion->Status();
    conversion.reset();
    return Verdict(path, output, partial.path, status, expected);
}

ConversionJob::Attempt ConversionJob::Verdict(const std::string& path, const std::string& output,
                                              const std::string& partial, const ExitStatus& status,
                                              const OutputExpectation& expected) {
    const CoderPrintout printed = ReadPrinted(CoderOutputPath(), path, partial, output, false);
    const std::string writeError = CoderWriteError(printed);
    const std::vector<std::string> paths = {path, output};
    // The program's own files: what went missing during the run can tell nothing.
    const FileStatus printout = m_files.StatusOf(CoderOutputPath());
    if (printout.kind != FileKind::Regular) {
        m_files.Delete(partial);
        return {Attempt::Failed, Filled(Said("Job", "пропал вывод кодера %1: %2"),
                                        {CoderOutputPath(), kMissingReason})};
    }
    if (status.Success() && m_files.StatusOf(partial).kind == FileKind::Missing) {
        return {Attempt::Failed, Filled(Said("Job", "пропал записываемый файл %1: %2"),
                                        {ShownName(FileNamePart(output)), kMissingReason})};
    }
    if (status.Success() && writeError.empty()) {
        const OutputVerdict file =
            CheckOutputFile(m_files.StatusOf(partial), ShownName(FileNamePart(output)));
        if (file.kind == OutputVerdict::Bad) {
            m_files.Delete(partial);
            return {Attempt::Failed, file.reason};
        }
        const Attempt read = ReadBack(path, output, partial, printed, expected);
        if (read.kind != Attempt::Converted && read.kind != Attempt::Short) {
            m_files.Delete(partial);
            return read;
        }
        // A short output is all that a damaged input holds: kept, and reported.
        const Attempt taken = TakeOutputName(partial, output);
        return taken.kind == Attempt::Converted && read.kind == Attempt::Short ? read : taken;
    }

    m_files.Delete(partial);
    // A coder ended by a signal has last printed a progress line, which tells nothing.
    if (!status.exited) return {Attempt::Failed, KilledReason(status.code)};
    // A write failure (a full disk) would meet the next container too.
    if (!writeError.empty()) return {Attempt::Failed, ShownReason(writeError, path, paths)};
    // Too many decoding errors, or garbage decoded into frames no filter takes (an encrypted
    // film's sound as 19 channels): the input, not the container, is at fault.
    if (status.code == kTooManyDecodingErrors || SaysInputUndecodable(printed) ||
        SaysFiltersFailed(printed)) {
        if (const std::string decoding = CoderDecodingError(printed); !decoding.empty())
            return {Attempt::Failed, decoding};
    }
    const std::string cause = CoderFailureReason(printed, paths);
    if (cause.empty())
        return {Attempt::Refused,
                Filled(Said("Job", "код завершения %1"), {std::to_string(status.code)})};
    // Another container would need as much.
    if (auto memory = BeyondMemoryLimit(cause, m_processes.MemoryLimit()))
        return {Attempt::Failed, *memory};
    // An output that cannot be written at all (no right to the folder, a name too long) would
    // fail in any container.
    return {SaysOutputUnwritable(cause, output) ? Attempt::Failed : Attempt::Refused,
            ShownReason(cause, path, paths)};
}

ConversionJob::Attempt ConversionJob::ReadBack(const std::string& path, const std::string& output,
                                               const std::string& partial,
                                               const CoderPrintout& printed,
                                               const OutputExpectation& expected) {
    const std::string name = ShownName(FileNamePart(output));
    const OutputVerdict progress = CheckLength(printed.lastProgressTime, expected);
    std::optional<ProbeFacts> written;
    // The coder's description tells what it wrote when its container refuses what it cannot
    // hold, it shows the size asked for, and its progress went the whole length; else the
    // output is read back (a printout cut short, an unknown size, a slow clip's last frame).
    const bool lengthShown =
        !expected.duration || (printed.lastProgressTime && progress.kind == OutputVerdict::Whole);
    if (DescriptionTellsOutput(FileNamePart(output)) && lengthShown && !expected.target)
        written = DescribedOutput(printed);
    if (written && expected.frame && written->hasVideo && !written->source) written.reset();
    OutputVerdict length = progress;
    if (!written) {
        const ProbeRun probe = Probe({"-i", AsLocalFile(partial)}, partial, path, partial, output);
        if (probe.stopped) return {Attempt::Stopped, {}};
        if (!probe.failure.empty()) return {Attempt::Failed, probe.failure};
        if (probe.empty)
            return {Attempt::Failed,
                    Filled(Said("Job", "не удалось сохранить вывод кодера в %1"), {ReportPath()})};
        const CoderPrintout& report = probe.report;
        written = ProbeFactsFromPrintout(report);
        // The container could not hold what the coder wrote into it (MP3 in RoQ).
        if (!written->hasStreams) {
            const std::string cause = CoderFailureReason(report, {output});
            return {Attempt::Refused,
                    cause.empty()
                        ? Filled(Said("Job", "кодер не читает записанный файл %1"), {name})
                        : Filled(Said("Job", "кодер не читает записанный файл %1: %2"),
                                 {name, ShownReason(cause, output, {output})})};
        }
        // The output's own length, where it tells one for sure.
        if (written->durationSeconds && !written->durationEstimated)
            length = CheckLength(written->durationSeconds, expected);
    }
    if (const OutputVerdict frame = CheckFrame(*written, name, expected);
        frame.kind == OutputVerdict::Bad)
        return {Attempt::Failed, frame.reason};
    if (expected.video && !written->hasVideo)
        return {Attempt::Refused, Filled(Said("Job", "в записанном файле %1 нет видео"), {name})};
    if (expected.sound && !written->hasSound)
        return {Attempt::Refused, Filled(Said("Job", "в записанном файле %1 нет звука"), {name})};
    if (length.kind == OutputVerdict::Short) return {Attempt::Short, length.reason};
    return {Attempt::Converted, {}};
}

CoderPrintout ConversionJob::ReadPrinted(const std::string& printout, const std::string& path,
                                         const std::string& partial, const std::string& output,
                                         bool required) {
    // A coder may print gigabytes: only the ends of what it printed are read.
    PrintedEnds ends =
        ReadPrintedEnds(m_files, printout, kPrintedHeadLimit, kPrintedTailLimit, required);
    ends.head = PrintedAsNamed(std::move(ends.head), path, partial, output);
    ends.tail = PrintedAsNamed(std::move(ends.tail), path, partial, output);
    // The names the coder was given are no words of its own. A report describes one file.
    return ReadCoderPrintout(ends, {path, output, partial}, required);
}

std::string ConversionJob::PrintedAsNamed(std::string printed, const std::string& path,
                                          const std::string& partial, const std::string& output) {
    // The user knows the files by their own names, not by the protocol or the partial file;
    // the coder's log prints control bytes in them as '?'.
    for (const bool asPrinted : {false, true}) {
        const auto spelt = [&](const std::string& name) {
            return asPrinted ? AsPrinted(name) : name;
        };
        if (!partial.empty()) ReplaceAll(printed, spelt(AsLocalFile(partial)), spelt(output));
        ReplaceAll(printed, spelt(AsLocalFile(path)), spelt(path));
    }
    return printed;
}

ConversionJob::Attempt ConversionJob::TakeOutputName(const std::string& partial,
                                                     const std::string& output) {
    if (const std::string error = m_files.Replace(partial, output); !error.empty()) {
        m_files.Delete(partial);
        return {Attempt::Failed,
                Filled(ReplaceFailedText(), {ShownName(FileNamePart(output)), error})};
    }
    return {Attempt::Converted, {}};
}

ConversionJob::RunEnd ConversionJob::WaitTicking(Process& process, bool conversion) {
    const auto tick = std::chrono::milliseconds(kTickMilliseconds);
    while (process.Wait(kTickMilliseconds) == WaitResult::TimedOut) {
        m_host.Pump();
        m_lastPump = std::chrono::steady_clock::now();
        ++m_spinner;
        if (conversion) ReadProgress();
        ShowMark();
        m_host.Progress(
            m_schedule.FilesDone(), m_schedule.FilesLeft(),
            m_duration && m_position ? std::clamp(*m_position / *m_duration, 0.0, 1.0) : 0.0);
        if (m_host.StopRequested()) {
            process.End();
            return RunEnd::Stopped;
        }
    }
    // Runs shorter than a tick, one after another, must not keep the window from its events.
    if (const auto now = std::chrono::steady_clock::now(); now - m_lastPump >= tick) {
        m_host.Pump();
        m_lastPump = now;
    }
    return RunEnd::Ended;
}

void ConversionJob::ReadProgress() {
    if (!m_duration) return;
    // What a chatty coder wrote since the last tick is skipped but for its end, whose first
    // block is then cut.
    const std::uint64_t size = m_files.StatusOf(ProgressPath()).size;
    if (size > m_progressOffset + kPrintedTailLimit) {
        m_progressOffset = size - kPrintedTailLimit;
        m_progressTail.clear();
        m_progressBlockCut = true;
    }
    const std::string fresh = m_files.ReadFrom(ProgressPath(), m_progressOffset, kPrintedTailLimit);
    if (fresh.empty()) return;
    m_progressOffset += fresh.size();
    m_progressTail += fresh;
    // Whole "key=value" lines, in blocks that each end with their "progress=" line; a block's
    // time counts once the block is whole.
    std::optional<double> blockTime;
    std::size_t taken = 0;
    for (std::size_t from = 0, end; (end = m_progressTail.find('\n', from)) != std::string::npos;
         from = end + 1) {
        const std::string_view line(m_progressTail.data() + from, end - from);
        if (const auto time = ProgressChannelTime(line)) {
            blockTime = time;
        } else if (line.starts_with("progress=")) {
            if (blockTime && !m_progressBlockCut) m_position = blockTime;
            blockTime.reset();
            m_progressBlockCut = false;
            taken = end + 1;
        }
    }
    m_progressTail.erase(0, taken);
    if (m_progressTail.size() > kPrintedTailLimit) {
        m_progressTail.clear();
        m_progressBlockCut = true;
    }
}

void ConversionJob::ShowMark() {
    std::string line = m_statusLine + SpinnerMark(m_spinner);
    if (m_duration && m_position) {
        const double share = std::clamp(*m_position / *m_duration, 0.0, 1.0);
        // Appended piece by piece: GCC 12 misreads a chain of + here as an overlapping copy.
        line += ' ';
        line += std::to_string(static_cast<int>(std::floor(share * 100)));
        line += '%';
    }
    ReplaceStatusLine(line);
}

}  // namespace lmk

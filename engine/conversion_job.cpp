#include "conversion_job.h"

#include <algorithm>
#include <cmath>

#include "coder_output.h"
#include "failures.h"
#include "frame.h"
#include "probe_report.h"

namespace lmk {
namespace {

constexpr std::string_view kTimeMark = "time=";
constexpr std::size_t kProgressTailKeep = 64;

// The coder's "time=hh:mm:ss.xx", once the whole clock has been printed.
std::optional<double> ParseCoderTime(std::string_view text) {
    const std::size_t end = text.find_first_not_of("0123456789:.");
    if (end == std::string_view::npos) return std::nullopt;
    return ParseClockTime(text.substr(0, end));
}

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

// FFmpeg's protocol for local files: no name is read as a URL or another protocol.
constexpr std::string_view kLocalFile = "file:";

std::string AsLocalFile(const std::string& path) {
    return std::string(kLocalFile) + path;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

}  // namespace

std::string StatusLine(const std::string& fileName) {
    return "Обрабатывается файл " + ShownName(fileName) + "... ";
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

ConversionJob::ConversionJob(JobLog& log, JobHost& host, Processes& processes, Files& files,
                             JobValues& values)
    : m_log(log), m_host(host), m_processes(processes), m_files(files), m_values(values) {}

std::string ConversionJob::ReportPath() const {
    return m_values.WorkFolder + "/info";
}

std::string ConversionJob::CoderOutputPath() const {
    return m_values.WorkFolder + "/coder.log";
}

void ConversionJob::Enqueue(const std::vector<std::string>& paths) {
    m_queue.insert(m_queue.end(), paths.begin(), paths.end());
}

JobOutcome ConversionJob::Run(const std::vector<std::string>& paths) {
    if (m_running) {
        Enqueue(paths);
        return {};
    }
    // Relative names would put the coder's report into whatever folder the user is in.
    if (m_values.WorkFolder.empty()) throw Exception("The job has no private folder");
    m_running = true;
    m_queue.assign(paths.begin(), paths.end());
    m_statusIndex = -1;
    m_host.JobStarted();

    JobOutcome outcome;
    // Every way out, failures included, releases the drop and tells the host.
    struct Release {
        ConversionJob& job;
        const JobOutcome& outcome;
        ~Release() {
            job.m_queue.clear();
            // Still running: a window closes only once the job's handler has returned.
            job.m_host.JobEnded(outcome.stopped);
            job.m_running = false;
        }
    } release{*this, outcome};

    std::vector<std::string> failureLines;
    while (!m_queue.empty() && !m_host.StopRequested()) {
        const std::string path = m_queue.front();
        m_queue.pop_front();
        ConvertOne(path, outcome, failureLines);
    }

    if (m_statusIndex >= 0) m_log.ReplaceLogLine(m_statusIndex, m_statusLine);
    m_log.AddLogLine(kDoneLine);
    for (const auto& line : failureLines) m_log.AddLogLine(line);
    outcome.stopped = m_host.StopRequested();
    return outcome;
}

void ConversionJob::ConvertOne(const std::string& path, JobOutcome& outcome,
                               std::vector<std::string>& failureLines) {
    const std::string name = FileNamePart(path);
    m_log.ClearLog();
    m_statusLine = StatusLine(name);
    m_statusIndex = m_log.AddLogLine(m_statusLine);
    m_duration.reset();
    m_position.reset();
    m_spinner = 0;

    {
        auto probe = m_processes.Start(m_values.CoderPath, {"-i", AsLocalFile(path)}, ReportPath(),
                                       {path, {}});
        if (WaitTicking(*probe, false) == RunEnd::Stopped) return;
    }

    const ProbeFacts facts = ReadSourceFrame(m_files, ReportPath());
    const Frame target = ReadTargetFrame(m_host.WidthText(), m_host.HeightText());
    m_duration = facts.durationSeconds;

    std::vector<std::string> arguments = {"-i", AsLocalFile(path)};
    if (facts.source) {
        Frame size = *facts.source;
        FitFrame(size, target);
        size = EvenSides(size);
        arguments.insert(arguments.end(),
                         {"-s", std::to_string(size.width) + "x" + std::to_string(size.height)});
    }
    arguments.insert(arguments.end(), {"-acodec", "libmp3lame"});

    const std::string output = FolderPart(path) + "lmk-" + name;
    Attempt attempt = Convert(path, arguments, output);
    // The output keeps the input's container, which may not take the result (MP3 in WebM, a
    // size H.263 lacks): then once more in one that does.
    if (attempt.kind == Attempt::Refused && (facts.hasVideo || facts.hasSound)) {
        if (facts.hasVideo) {
            arguments.insert(arguments.end(), {"-vcodec", "libx264", "-pix_fmt", "yuv420p"});
            // MP4 takes MP3 at 16 kHz and above; phones record speech at 8 kHz.
            if (facts.soundRate && *facts.soundRate < kLeastMp4SoundRate)
                arguments.insert(arguments.end(), {"-ar", std::to_string(kMp4SoundRate)});
        }
        attempt = Convert(path, arguments,
                          output + std::string(facts.hasVideo ? kVideoFallbackExtension
                                                              : kSoundFallbackExtension));
    }

    switch (attempt.kind) {
        case Attempt::Converted:
            ++outcome.converted;
            break;
        case Attempt::Stopped:
            break;
        case Attempt::Refused:
        case Attempt::Failed:
            outcome.failedFiles.push_back(name);
            failureLines.push_back("Не удалось сконвертировать файл " + ShownName(name) + ": " +
                                   attempt.reason);
            break;
    }
}

ConversionJob::Attempt ConversionJob::Convert(const std::string& path,
                                              std::vector<std::string> arguments,
                                              const std::string& output) {
    m_values.OutputPath = output;
    // The coder writes a file of this run's own; the earlier output stays until it is whole.
    const PartialFile partial = m_files.CreatePartial(output);
    if (!partial.error.empty()) {
        const std::string name = ShownName(FileNamePart(output));
        return {Attempt::Failed, (m_files.IsFile(output) ? "не удалось заменить прежний файл "
                                                         : "не удалось создать файл ") +
                                     name + ": " + partial.error};
    }

    m_coderOutputOffset = 0;
    m_coderOutputTail.clear();
    // The file was made empty for it, so the coder need not ask whether to overwrite it.
    arguments.insert(arguments.end(), {"-y", AsLocalFile(partial.path)});
    auto conversion =
        m_processes.Start(m_values.CoderPath, arguments, CoderOutputPath(), {path, partial.path});
    RunEnd end = RunEnd::Ended;
    try {
        end = WaitTicking(*conversion, true);
    } catch (...) {
        // A refused wait ends the job; the coder goes with its record.
        conversion.reset();
        m_files.Delete(partial.path);
        throw;
    }
    if (end == RunEnd::Stopped) {
        m_files.Delete(partial.path);
        return {Attempt::Stopped, {}};
    }
    const ExitStatus status = conversion->Status();
    conversion.reset();
    const std::string printed = PrintedAsNamed(path, partial.path, output);
    const std::string writeError = CoderWriteError(printed);
    if (status.Success() && writeError.empty()) return TakeOutputName(partial.path, output);

    m_files.Delete(partial.path);
    // A coder ended by a signal has last printed a progress line, which tells nothing.
    if (!status.exited) return {Attempt::Failed, "прерван сигналом " + std::to_string(status.code)};
    const std::vector<std::string> paths = {path, output};
    // A write failure (a full disk) would meet the next container too.
    if (!writeError.empty()) return {Attempt::Failed, ShownCoderLine(writeError, paths)};
    const std::string cause = CoderFailureReason(printed, paths);
    return {Attempt::Refused, cause.empty() ? "код завершения " + std::to_string(status.code)
                                            : ShownCoderLine(cause, paths)};
}

std::string ConversionJob::PrintedAsNamed(const std::string& path, const std::string& partial,
                                          const std::string& output) {
    // The user knows the files by their own names, not by the protocol or the partial file.
    std::string printed = m_files.ReadFrom(CoderOutputPath(), 0);
    ReplaceAll(printed, AsLocalFile(partial), output);
    ReplaceAll(printed, AsLocalFile(path), path);
    return printed;
}

ConversionJob::Attempt ConversionJob::TakeOutputName(const std::string& partial,
                                                     const std::string& output) {
    // Checks that the output is whole belong here, before it takes the output's name.
    if (const std::string error = m_files.Replace(partial, output); !error.empty()) {
        m_files.Delete(partial);
        return {Attempt::Failed, "не удалось заменить прежний файл " +
                                     ShownName(FileNamePart(output)) + ": " + error};
    }
    return {Attempt::Converted, {}};
}

ConversionJob::RunEnd ConversionJob::WaitTicking(Process& process, bool conversion) {
    while (process.Wait(kTickMilliseconds) == WaitResult::TimedOut) {
        m_host.Pump();
        ++m_spinner;
        if (conversion) ReadProgress();
        ShowMark();
        if (m_host.StopRequested()) {
            process.End();
            return RunEnd::Stopped;
        }
    }
    return RunEnd::Ended;
}

void ConversionJob::ReadProgress() {
    if (!m_duration) return;
    const std::string fresh = m_files.ReadFrom(CoderOutputPath(), m_coderOutputOffset);
    if (fresh.empty()) return;
    m_coderOutputOffset += fresh.size();
    m_coderOutputTail += fresh;
    const std::size_t at = m_coderOutputTail.rfind(kTimeMark);
    if (at != std::string::npos) {
        if (const auto position =
                ParseCoderTime(std::string_view(m_coderOutputTail).substr(at + kTimeMark.size()))) {
            m_position = position;
        }
    }
    // Keep enough for a "time=" split between two reads.
    if (m_coderOutputTail.size() > kProgressTailKeep) {
        m_coderOutputTail.erase(0, m_coderOutputTail.size() - kProgressTailKeep);
    }
}

void ConversionJob::ShowMark() {
    std::string line = m_statusLine + SpinnerMark(m_spinner);
    if (m_duration && m_position) {
        const double share = std::clamp(*m_position / *m_duration, 0.0, 1.0);
        line += " " + std::to_string(static_cast<int>(std::floor(share * 100))) + "%";
    }
    m_log.ReplaceLogLine(m_statusIndex, line);
}

}  // namespace lmk

#include "conversion_job.h"

#include <algorithm>
#include <cmath>

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

// A coder ended by a signal has last printed a progress line, which tells nothing.
std::string FailureReason(const ExitStatus& status, const std::string& lastLine) {
    if (!status.exited) return "прерван сигналом " + std::to_string(status.code);
    if (!lastLine.empty()) return lastLine;
    return "код завершения " + std::to_string(status.code);
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

std::string LastPrintedLine(std::string_view output) {
    std::size_t end = output.size();
    while (end > 0) {
        const std::size_t start = output.find_last_of("\r\n", end - 1);
        const std::size_t from = start == std::string_view::npos ? 0 : start + 1;
        std::string_view line = output.substr(from, end - from);
        while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ')
            line.remove_suffix(1);
        while (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ')
            line.remove_prefix(1);
        if (!line.empty()) return std::string(line);
        if (start == std::string_view::npos) break;
        end = start;
    }
    return {};
}

std::string CoderWriteError(std::string_view output) {
    static constexpr std::string_view kMarks[] = {"Error writing trailer", "Error closing file",
                                                  "av_interleaved_write_frame(): "};
    std::size_t best = std::string_view::npos;
    for (const auto mark : kMarks) {
        const std::size_t at = output.rfind(mark);
        if (at != std::string_view::npos && (best == std::string_view::npos || at > best))
            best = at;
    }
    if (best == std::string_view::npos) return {};
    const std::size_t start = output.find_last_of("\r\n", best);
    const std::size_t from = start == std::string_view::npos ? 0 : start + 1;
    return LastPrintedLine(output.substr(from, output.find_first_of("\r\n", best) - from));
}

ConversionJob::ConversionJob(JobWindow& window, Processes& processes, Files& files,
                             JobValues& values)
    : m_window(window), m_processes(processes), m_files(files), m_values(values) {}

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
    m_window.SetExitMeaning(ExitMeaning::Stop);

    // Every way out, failures included, releases the drop and gives the button back its
    // close meaning.
    struct Release {
        ConversionJob& job;
        ~Release() {
            job.m_queue.clear();
            job.m_running = false;
            job.m_window.SetExitMeaning(ExitMeaning::Close);
            job.m_window.JobFinished();
        }
    } release{*this};

    JobOutcome outcome;
    std::vector<std::string> failureLines;
    while (!m_queue.empty() && !m_values.StopRequested) {
        const std::string path = m_queue.front();
        m_queue.pop_front();
        ConvertOne(path, outcome, failureLines);
    }

    if (m_statusIndex >= 0) m_window.ReplaceLogLine(m_statusIndex, m_statusLine);
    m_window.AddLogLine(kDoneLine);
    for (const auto& line : failureLines) m_window.AddLogLine(line);
    if (m_values.StopRequested) {
        outcome.stopped = true;
        m_window.CloseMainWindow();
    }
    return outcome;
}

void ConversionJob::ConvertOne(const std::string& path, JobOutcome& outcome,
                               std::vector<std::string>& failureLines) {
    const std::string name = FileNamePart(path);
    m_window.ClearLog();
    m_window.SetLogPlain();
    m_statusLine = StatusLine(name);
    m_statusIndex = m_window.AddLogLine(m_statusLine);
    m_duration.reset();
    m_position.reset();
    m_spinner = 0;

    {
        auto probe = m_processes.Start(m_values.CoderPath, {"-i", path}, ReportPath());
        if (WaitTicking(*probe, false) == RunEnd::Stopped) return;
    }

    const ProbeFacts facts = ReadSourceFrame(m_files, ReportPath());
    const Frame target = ReadTargetFrame(m_window.WidthText(), m_window.HeightText());
    m_duration = facts.durationSeconds;

    m_values.OutputPath = FolderPart(path) + "lmk-" + name;
    std::vector<std::string> arguments = {"-i", path};
    if (facts.source) {
        Frame size = *facts.source;
        FitFrame(size, target);
        size = EvenSides(size);
        arguments.insert(arguments.end(),
                         {"-s", std::to_string(size.width) + "x" + std::to_string(size.height)});
    }
    arguments.insert(arguments.end(), {"-acodec", "libmp3lame", m_values.OutputPath});

    // An earlier output is replaced only for an input that is a file: a folder or a missing
    // input fails anyway, and the user's file of that name must survive it.
    if (m_files.IsFile(path) && m_files.IsFile(m_values.OutputPath)) {
        m_files.Delete(m_values.OutputPath);
    }
    // Only what this conversion wrote is removed when it fails or is stopped.
    const bool outputIsOurs = !m_files.IsFile(m_values.OutputPath);

    m_coderOutputOffset = 0;
    m_coderOutputTail.clear();
    auto conversion = m_processes.Start(m_values.CoderPath, arguments, CoderOutputPath());
    if (WaitTicking(*conversion, true) == RunEnd::Stopped) {
        // What an ended coder leaves is partial.
        if (outputIsOurs) m_files.Delete(m_values.OutputPath);
        return;
    }
    const ExitStatus status = conversion->Status();
    conversion.reset();
    const std::string printed = m_files.ReadFrom(CoderOutputPath(), 0);
    const std::string reason = status.Success() ? CoderWriteError(printed)
                                                : FailureReason(status, LastPrintedLine(printed));
    if (reason.empty()) {
        ++outcome.converted;
        return;
    }
    if (outputIsOurs) m_files.Delete(m_values.OutputPath);
    outcome.failedFiles.push_back(name);
    failureLines.push_back("Не удалось сконвертировать файл " + ShownName(name) + ": " + reason);
}

ConversionJob::RunEnd ConversionJob::WaitTicking(Process& process, bool conversion) {
    while (process.Wait(kTickMilliseconds) == WaitResult::TimedOut) {
        m_window.Pump();
        ++m_spinner;
        if (conversion) ReadProgress();
        ShowMark();
        if (m_values.StopRequested) {
            process.End();
            return RunEnd::Stopped;
        }
    }
    process.Wait(-1);
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
    m_window.ReplaceLogLine(m_statusIndex, line);
}

}  // namespace lmk

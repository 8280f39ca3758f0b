#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "job_ports.h"

namespace lmk {

// The process-wide values the job shares with its host for the whole run.
struct JobValues {
    std::string CoderPath;
    std::string OutputPath;  // the output of the file being worked on; left holding the last
    std::string WorkFolder;  // private folder for the probe report and the coder's output;
                             // a job runs only with one
};

struct JobOutcome {
    int converted = 0;
    std::vector<std::string> failedFiles;  // file names whose conversion failed
    bool stopped = false;
};

// "Обрабатывается файл " + name + "... "
std::string StatusLine(const std::string& fileName);
// "|", "/", "-", "\" by the counter modulo 4.
char SpinnerMark(std::uint32_t counter);
// Everything up to and including the last "/".
std::string FolderPart(const std::string& path);
std::string FileNamePart(const std::string& path);
inline constexpr int kTickMilliseconds = 200;
inline constexpr const char* kDoneLine = "Готово!";

// One drop's conversion job: probes each path, fits its frame and writes "lmk-" + name beside
// it, keeping the window live between 200 ms waits.
class ConversionJob {
public:
    ConversionJob(JobLog& log, JobHost& host, Processes& processes, Files& files,
                  JobValues& values);

    // Runs the job over `paths` and over every path queued while it runs. Failures are raised;
    // on every way out the queue is released and the host told that the job ended.
    // Without a WorkFolder it raises a failure and starts nothing.
    JobOutcome Run(const std::vector<std::string>& paths);

    // Paths dropped while a job runs join the end of its list.
    void Enqueue(const std::vector<std::string>& paths);
    bool Running() const { return m_running; }

    std::string ReportPath() const;
    std::string CoderOutputPath() const;

private:
    enum class RunEnd { Ended, Stopped };
    // How one conversion run of a file ended. Refused: the coder ended with a failure of its
    // own, which another container may not meet.
    struct Attempt {
        enum Kind { Converted, Stopped, Refused, Failed } kind;
        std::string reason;
    };

    RunEnd WaitTicking(Process& process, bool conversion);
    void ShowMark();
    void ReadProgress();
    void ConvertOne(const std::string& path, JobOutcome& outcome,
                    std::vector<std::string>& failureLines);
    Attempt Convert(const std::string& path, std::vector<std::string> arguments,
                    const std::string& output);
    // What the coder printed, with the names it was given put back as the user knows them.
    std::string PrintedAsNamed(const std::string& path, const std::string& partial,
                               const std::string& output);
    // The whole partial file replaces the output; a failure deletes it.
    Attempt TakeOutputName(const std::string& partial, const std::string& output);

    JobLog& m_log;
    JobHost& m_host;
    Processes& m_processes;
    Files& m_files;
    JobValues& m_values;

    std::deque<std::string> m_queue;
    bool m_running = false;

    // Per file.
    std::string m_statusLine;
    int m_statusIndex = -1;
    std::uint32_t m_spinner = 0;
    std::optional<double> m_duration;
    std::uint64_t m_coderOutputOffset = 0;
    std::string m_coderOutputTail;
    std::optional<double> m_position;
};

}  // namespace lmk

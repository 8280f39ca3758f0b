#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coder_printout.h"
#include "frame.h"
#include "job_ports.h"
#include "output_check.h"
#include "probe_report.h"
#include "said.h"

namespace lmk {

// The process-wide values the job shares with its host for the whole run.
struct JobValues {
    std::string CoderPath;
    std::string OutputPath;  // the output of the file being worked on; left holding the last
    std::string WorkFolder;  // private folder for the probe report and the coder's output;
                             // a job runs only with one
};

// How one file's conversion ended, as data that each front end shows in its own way.
struct FileOutcome {
    enum class Verdict {
        Converted,
        Short,    // whole as far as the input went: kept, and reported as a failure
        Failed,   // nothing of its own left behind
        Stopped,  // ended by a stop: nothing of its own left behind
    };
    std::string path = {};
    Verdict verdict = Verdict::Converted;
    std::string output = {};  // the file written, when one was kept
    std::string reason = {};  // why it failed, or how far a short one came

    bool Failed() const { return verdict == Verdict::Short || verdict == Verdict::Failed; }
};

// What a run of files came to: each file's outcome in the order they ended.
struct JobOutcome {
    std::vector<FileOutcome> files;
    bool stopped = false;

    int Converted() const;
    int Failed() const;
};

// How far a run has come, for progress shown outside the log: the running file's number of
// all, and the share of the whole (the files done, and the running one by its `share`).
struct RunProgress {
    int file = 1;
    int files = 1;
    double whole = 0;
};
RunProgress ProgressOfRun(int filesDone, int filesLeft, double share);

// "Не удалось сконвертировать файл NAME: REASON"
std::string FailureLine(const FileOutcome& outcome);
std::string FailureLine(const std::string& name, const std::string& reason);
// The lines that end a run: "Готово!" (not after a stop), then a failure line for each file
// that failed.
std::vector<std::string> EndLines(const JobOutcome& outcome);
// "Задание прервано: REASON", the line that ends a run cut short by a failure.
std::string BrokenOffLine(const std::string& reason);

// "Обрабатывается файл " + name + "... "
std::string StatusLine(const std::string& fileName);
// "|", "/", "-", "\" by the counter modulo 4.
char SpinnerMark(std::uint32_t counter);
// Everything up to and including the last "/".
std::string FolderPart(const std::string& path);
std::string FileNamePart(const std::string& path);

// The output's file name for an input's: "lmk-" + name + `added`. A name that would pass the
// file system's 255 bytes is shortened from the middle of its stem, on a whole character,
// keeping the prefix and the extensions.
std::string OutputName(const std::string& inputName, std::string_view added = {});
// The output's name for a second attempt in the container of `extension`: as the first
// attempt's when that is the input's own container.
std::string FallbackOutputName(const std::string& inputName, std::string_view extension);
// Every name the job may write for an input: as named, and its .mp4 and .mp3 forms.
std::vector<std::string> OutputNames(const std::string& inputName);

// The single-file form (".mp4" for video, ".mp3" for sound alone) an input gets at once when
// its own container cannot truthfully hold the result: a raw stream of another sound codec,
// or a container that writes several files (DASH, HLS, numbered images); empty otherwise.
std::string_view DirectFormOf(const std::string& inputName, bool hasVideo);

// The coder's options before "-i" that make it read the named file, and only it.
std::vector<std::string> InputOptionsFor(const std::string& inputName);

// Whether the default video encoder of the output name's container takes 8-bit 4:2:0, which
// every portable player decodes.
bool TakesPlainPixels(const std::string& outputName);

// The video kinds by extension, in lower case: what the window's file dialog lists.
const std::vector<std::string_view>& VideoExtensions();

// Media files by extension: the video kinds and the sound kinds.
bool IsMediaName(const std::string& name);

// One conversion run of a file: the coder's arguments before "-y PARTIAL", and the output the
// partial file stands for.
struct ConversionAttempt {
    std::vector<std::string> arguments;
    std::string output;
};

// What a file's conversion is to be, decided from its probe before anything is written.
struct ConversionPlan {
    std::string refusal;  // when set, the file is not converted, for this reason
    // Tried in order, each only when the coder refused the one before.
    std::vector<ConversionAttempt> attempts = {};
    OutputExpectation expected = {};
    std::optional<double> duration = {};  // the input's, for the progress figure
};

// The coder's arguments that name the input, for the probe and the conversions alike;
// `lookFurther`: read further into the input for the streams' parameters.
std::vector<std::string> SourceArguments(const std::string& path, bool lookFurther = false);

// The conversion of `path` by its probe's facts, fitted into `target`; `lookFurther` as the
// probe that gave the facts read.
ConversionPlan PlanConversion(const std::string& path, const ProbeFacts& facts, const Frame& target,
                              bool lookFurther = false);

// Whether the coder's own "Output #" description of a file of this name tells truly what it
// wrote: its muxer refuses what the container cannot hold.
bool DescriptionTellsOutput(const std::string& outputName);

inline constexpr int kTickMilliseconds = 200;

// "Готово!", the line that ends a run that was not stopped.
inline std::string DoneLine() {
    return Said("Job", "Готово!");
}

// The conversion of one file after another: each is probed, its frame fitted and "lmk-" + name
// written beside it, keeping the window live between 200 ms waits. Which file comes next is
// the scheduler's.
class ConversionJob {
public:
    // Without a `log` the job draws no lines of its own (one of several at once).
    ConversionJob(JobLog* log, JobHost& host, JobSchedule& schedule, Processes& processes,
                  Files& files, JobValues& values);

    // Converts `path`. A failure that ends the whole run (a coder that cannot start, a refused
    // wait) is raised; anything else is the file's outcome. Without a WorkFolder it raises a
    // failure and starts nothing.
    FileOutcome ConvertFile(const std::string& path);

    std::string ReportPath() const;
    std::string CoderOutputPath() const;
    // Where a conversion's progress lines go: its own channel, apart from the printout.
    std::string ProgressPath() const;

private:
    enum class RunEnd { Ended, Stopped };
    // How one conversion run of a file ended. Refused: the coder ended with a failure of its
    // own, which another container may not meet.
    // Short: whole as far as the input went, kept and reported.
    struct Attempt {
        enum Kind { Converted, Short, Stopped, Refused, Failed } kind;
        std::string reason;
    };

    // Where the coder's runs share one confinement, the file's: made with the conversion's
    // file, which must exist before it, for the output the input's own container gives.
    void StartRuns(const std::string& path);
    // Ends the file's runs, and deletes their conversion's file if no conversion took it.
    void EndRuns();
    RunEnd WaitTicking(Process& process, bool conversion);
    void ShowMark();
    void ReadProgress();
    FileOutcome ConvertOne(const std::string& path);
    void ReplaceStatusLine(const std::string& line);
    // One probe run: its report, or why there is none.
    struct ProbeRun {
        bool stopped = false;
        std::string failure = {};
        CoderPrintout report = {};
        bool empty = false;  // the report file holds nothing
    };
    // A probe of `readable`; the report is read with the names the coder was given masked.
    ProbeRun Probe(const std::vector<std::string>& arguments, const std::string& readable,
                   const std::string& path, const std::string& partial = {},
                   const std::string& output = {});
    // Probes the file and plans its conversion into `target`; none when a stop ended the probe.
    std::optional<ConversionPlan> PlanFile(const std::string& path, const Frame& target);
    // The plan's attempts, each after the coder refused the one before.
    Attempt RunPlan(const std::string& path, const ConversionPlan& plan);
    // One conversion run into a partial file, judged by Verdict.
    Attempt Convert(const std::string& path, const ConversionAttempt& attempt,
                    const OutputExpectation& expected);
    // Convert once the output is this file's own.
    Attempt ConvertClaimed(const std::string& path, const ConversionAttempt& attempt,
                           const OutputExpectation& expected);
    // Whether the ended run gave the output: then the partial file takes the output's name;
    // else it is deleted and the reason told.
    Attempt Verdict(const std::string& path, const std::string& output, const std::string& partial,
                    const ExitStatus& status, const OutputExpectation& expected);
    // Converted when the written output holds the streams and length expected, as the coder's
    // description tells or, where it cannot, as the coder reads the partial file back.
    Attempt ReadBack(const std::string& path, const std::string& output, const std::string& partial,
                     const CoderPrintout& printed, const OutputExpectation& expected);
    // The ends of the coder's printout at `printout`, read with the names it was given masked;
    // a `required` one (the probe's report) that is not there raises EFOpenError.
    CoderPrintout ReadPrinted(const std::string& printout, const std::string& path,
                              const std::string& partial, const std::string& output, bool required);
    // What the coder printed, with the names it was given put back as the user knows them.
    static std::string PrintedAsNamed(std::string printed, const std::string& path,
                                      const std::string& partial, const std::string& output);
    // The whole partial file replaces the output; a failure deletes it.
    Attempt TakeOutputName(const std::string& partial, const std::string& output);

    JobLog* m_log;
    JobHost& m_host;
    JobSchedule& m_schedule;
    Processes& m_processes;
    Files& m_files;
    JobValues& m_values;

    // The window is pumped at least once a tick, however short its coder runs are.
    std::chrono::steady_clock::time_point m_lastPump = {};

    // Per file.
    std::string m_statusLine;
    int m_statusIndex = -1;
    std::uint32_t m_spinner = 0;
    std::optional<double> m_duration;
    std::uint64_t m_progressOffset = 0;
    std::string m_progressTail;       // the progress lines of a block not yet ended
    bool m_progressBlockCut = false;  // the tail starts inside a block
    std::optional<double> m_position;
    std::unique_ptr<CoderRuns> m_runs;  // the file's shared confinement, where there is one
    std::string m_runsOutput;           // the output m_runsPartial was made for
    std::string m_runsPartial;          // empty once a conversion took it
};

}  // namespace lmk

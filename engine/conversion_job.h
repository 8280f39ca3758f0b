#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "coder_printout.h"
#include "frame.h"
#include "job_ports.h"
#include "output_check.h"
#include "probe_report.h"

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

// Media files by extension: the file dialog's video kinds and the sound kinds.
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

    RunEnd WaitTicking(Process& process, bool conversion);
    void ShowMark();
    void ReadProgress();
    void ConvertOne(const std::string& path, JobOutcome& outcome,
                    std::vector<std::string>& failureLines);
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

    JobLog& m_log;
    JobHost& m_host;
    Processes& m_processes;
    Files& m_files;
    JobValues& m_values;

    std::deque<std::string> m_queue;
    bool m_running = false;
    int m_filesDone = 0;              // converted or failed in this job
    std::set<std::string> m_written;  // the outputs this job has written

    // Per file.
    std::string m_statusLine;
    int m_statusIndex = -1;
    std::uint32_t m_spinner = 0;
    std::optional<double> m_duration;
    std::uint64_t m_progressOffset = 0;
    std::string m_progressTail;       // the progress lines of a block not yet ended
    bool m_progressBlockCut = false;  // the tail starts inside a block
    std::optional<double> m_position;
};

}  // namespace lmk

#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "conversion_job.h"
#include "job_ports.h"

namespace lmk {

class WorkingFiles;

// What the arguments ask for, in either front end: `lmk-video [--width TEXT] [--height TEXT]
// [FILE...]` opens the window, `lmk-video --convert [--width TEXT] [--height TEXT] [--coder PATH]
// [--jobs N] FILE...` converts without one.
struct ProgramOptions {
    bool convert = false;  // --convert: no window
    std::string width = "320";
    std::string height = "240";
    std::string coder;  // empty: the program's own
    std::vector<std::string> files;
    std::optional<int> jobs;  // conversions at once; 0: one per processor; none: one job
    // The window's: Qt's own options (-platform NAME, -reverse...) in Qt's one-dash spelling.
    std::vector<std::string> toolkit;
};

// Reads the arguments (without the program's name) for both front ends, before either starts.
// When there is nothing to run it prints the help or the version (exit code 0) or the usage
// error (64) and returns that code.
std::optional<int> ReadOptions(const std::vector<std::string>& arguments, ProgramOptions& options);

// Converts the options' files without a window, on the platform main() hands it: a session over
// `working` makes the private folder and the carried coder, opens folders into their files and
// schedules them with --jobs workers (one without it). Returns the exit code: 0 all converted,
// 1 a failure ended the job, 2 some conversions failed, 64 an empty name, 130 stopped by a stop
// signal (StopSignals, installed by main()) or a standard output whose reader has gone.
int RunCommandLine(const ProgramOptions& options, Processes& processes, Files& files,
                   WorkingFiles& working);

std::string UsageText();

class Session;
class TerminalLog;

// What `--convert` runs the files with.
struct ParallelRun {
    std::vector<std::string> paths;  // as named
    std::string width;
    std::string height;
    int jobs = 1;
};

// Converts the files through the session with up to `run.jobs` conversions at once. Each file's
// line is printed once, whole, when it is done (with one job and a `live` log, as it comes,
// there); then "Готово!" and the failure lines in the files' order. A stop is `stop` raised (by
// a signal handler) together with `stopReadable` becoming readable; it ends every running
// conversion and starts no more. A failure that ends a job is raised once every job has ended,
// and nothing more is printed.
JobOutcome ConvertFiles(const ParallelRun& run, Session& session, const std::atomic<bool>& stop,
                        int stopReadable, TerminalLog* live = nullptr);

}  // namespace lmk

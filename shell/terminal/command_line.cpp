#include "command_line.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <thread>

#include <unistd.h>

#include "coder_sandbox.h"
#include "conversion_job.h"
#include "failure_text.h"
#include "failures.h"
#include "frame.h"
#include "parallel_convert.h"
#include "posix_platform.h"
#include "session.h"
#include "stop_signals.h"
#include "terminal_log.h"
#include "working_files.h"

namespace lmk {
namespace {

constexpr int kUsageError = 64;
constexpr int kStoppedBySignal = 130;

constexpr int kJobFailed = 1;
constexpr int kSomeFailed = 2;

// Returns an error text, or empty when the arguments are fine.
std::string ParseOptions(const std::vector<std::string>& arguments, ConvertOptions& options,
                         bool& help, bool& version) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options.files.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument == "--convert") {
        } else if (argument == "--jobs") {
            if (i + 1 >= arguments.size()) return argument + " needs a value";
            const std::string& count = arguments[++i];
            int jobs = 0;
            const auto [end, error] =
                std::from_chars(count.data(), count.data() + count.size(), jobs);
            if (count.empty() || error != std::errc() || end != count.data() + count.size() ||
                jobs < 0)
                return "--jobs takes a whole number of conversions at once, 0 for one per "
                       "processor: " +
                       count;
            options.jobs = jobs;
        } else if (argument == "--width" || argument == "--height" || argument == "--coder") {
            if (i + 1 >= arguments.size()) return argument + " needs a value";
            std::string& into = argument == "--width"    ? options.width
                                : argument == "--height" ? options.height
                                                         : options.coder;
            into = arguments[++i];
        } else {
            return "unknown option " + argument;
        }
    }
    return {};
}

int ConversionsAtOnce(const ConvertOptions& options) {
    if (!options.jobs) return 1;
    if (*options.jobs > 0) return *options.jobs;
    return std::max(1u, std::thread::hardware_concurrency());
}

int Convert(const ConvertOptions& options, Processes& processes, Files& files,
            WorkingFiles& working) {
    // An empty name would be taken as the current folder.
    if (std::find(options.files.begin(), options.files.end(), "") != options.files.end()) {
        std::cerr << "lmk-video: " << kEmptyNameRefusal << '\n';
        return kUsageError;
    }
    // Bad target texts fail before anything is made or started, with the window's message.
    ReadTargetFrame(options.width, options.height);

    JobValues values;
    Session session(processes, files, working, values);
    // A coder that cannot run fails here, named, before any file is tried.
    session.Open();

    std::vector<std::string> named;
    named.reserve(options.files.size());
    // Absolute paths: a relative "rtp:cam.avi" must never reach the coder as a stream address.
    for (const auto& file : options.files) named.push_back(AbsolutePath(file));

    // main() installed the stop signals before anything was made.
    TerminalLog log;
    const JobOutcome outcome = ConvertFiles(
        {session.FileList(named), options.width, options.height, ConversionsAtOnce(options)},
        session, StopSignalFlag(), StopSignalDescriptor(), &log);
    if (outcome.stopped) return kStoppedBySignal;
    return outcome.failedFiles.empty() ? 0 : kSomeFailed;
}

}  // namespace

bool IsCommandLineRun(const std::vector<std::string>& arguments) {
    for (const auto& argument : arguments) {
        if (argument == "--") return false;
        if (argument == "--convert" || argument == "--help" || argument == "-h" ||
            argument == "--version")
            return true;
    }
    return false;
}

std::string UsageText() {
    return "Usage: lmk-video [FILE...]\n"
           "       lmk-video --convert [--width TEXT] [--height TEXT] [--coder PATH] [--jobs N]\n"
           "                 [--] FILE...\n"
           "       lmk-video --help | --version\n"
           "\n"
           "Re-encodes video files for portable devices. Each FILE is converted into\n"
           "\"lmk-\" + its name beside it, its frame fitted into the target size (320 x 240\n"
           "unless given) and its sound as MP3. An earlier \"lmk-\" file of that name is\n"
           "replaced once the new one is whole.\n"
           "\n"
           "Without --convert the window opens (and converts the FILEs given, if any).\n"
           "\n"
           "  --convert      convert the FILEs without a window\n"
           "  --width TEXT   target width (decimal, or hexadecimal after $ or 0x)\n"
           "  --height TEXT  target height\n"
           "  --coder PATH   the FFmpeg program to run\n"
           "  --jobs N       convert up to N files at once (0: one per processor); each\n"
           "                 file's line is printed when it is done\n"
           "  --help         show this text\n"
           "  --version      show the program's version\n"
           "\n"
           "Ctrl+C stops, as do SIGTERM and SIGHUP (a closed terminal): the running\n"
           "conversions are ended and their partial files deleted; files not yet started\n"
           "are left alone.\n"
           "Exit status: 0 all converted, 1 the job failed, 2 some conversions failed,\n"
           "130 stopped, 64 a usage error.\n"
           "\n" +
           SandboxDescription(!SandboxTurnedOff());
}

std::optional<int> ReadConvertOptions(const std::vector<std::string>& arguments,
                                      ConvertOptions& options) {
    bool help = false;
    bool version = false;
    const std::string error = ParseOptions(arguments, options, help, version);
    if (!error.empty()) {
        std::cerr << "lmk-video: " << error << "\n\n" << UsageText();
        return kUsageError;
    }
    if (help) {
        std::cout << UsageText();
        return 0;
    }
    if (version) {
        std::cout << "lmk-video " LMK_VERSION "\n";
        return 0;
    }
    if (options.files.empty()) {
        std::cerr << UsageText();
        return kUsageError;
    }
    return std::nullopt;
}

int RunCommandLine(const ConvertOptions& options, Processes& processes, Files& files,
                   WorkingFiles& working) {
    try {
        return Convert(options, processes, files, working);
    } catch (...) {
        std::cerr << PeriodRule(CurrentFailureMessage()) << '\n';
    }
    return kJobFailed;
}

}  // namespace lmk

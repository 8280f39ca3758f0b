#include "command_line.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <thread>

#include <unistd.h>

#include "coder_sandbox.h"
#include "conversion_job.h"
#include "failure_text.h"
#include "failures.h"
#include "posix_platform.h"
#include "session.h"
#include "stop_signals.h"
#include "terminal_log.h"
#include "whole_number.h"
#include "working_files.h"

namespace lmk {
namespace {

constexpr int kUsageError = 64;
// A usage error is one line and this pointer, not the whole help.
constexpr const char* kTryHelp = "\nTry 'lmk-video --help'.\n";
constexpr int kStoppedBySignal = 130;

constexpr int kJobFailed = 1;
constexpr int kSomeFailed = 2;

// The smallest side a frame can be fitted to.
constexpr std::int32_t kLeastTarget = 2;

// The whole number `text` given to `option`, at least `least`; a usage error names the option.
std::int32_t ReadWholeNumber(const std::string& option, const std::string& text, std::int32_t least,
                             std::string& error) {
    try {
        const std::int32_t value = ParseWholeNumber(text);
        if (value < least)
            error = option + ": '" + text + "' is less than " + std::to_string(least) + ".";
        return value;
    } catch (const EConvertError& failure) {
        error = option + ": " + PeriodRule(failure.Message());
    }
    return 0;
}

// Qt's own options, as QApplication and its X11 platform take them, with one dash or two;
// `value`: the next argument is its value. Qt takes style sheets and styles after "=" too.
struct ToolkitOption {
    std::string_view name;
    bool value;
};
constexpr ToolkitOption kToolkitOptions[] = {
    {"-platform", true},        {"-platformpluginpath", true},
    {"-platformtheme", true},   {"-plugin", true},
    {"-display", true},         {"-name", true},
    {"-visual", true},          {"-geometry", true},
    {"-qwindowgeometry", true}, {"-title", true},
    {"-qwindowtitle", true},    {"-icon", true},
    {"-qwindowicon", true},     {"-session", true},
    {"-style", true},           {"-stylesheet", true},
    {"-qmljsdebugger", true},   {"-reverse", false},
    {"-sync", false},           {"-nograb", false},
    {"-dograb", false},         {"-widgetcount", false},
    {"-testability", false},
};

// Takes Qt's option at `arguments[i]` (and its value) into `toolkit` in Qt's one-dash
// spelling; false when it is none of Qt's.
bool TakeToolkitOption(const std::vector<std::string>& arguments, std::size_t& i,
                       std::vector<std::string>& toolkit, std::string& error) {
    const std::string_view argument = arguments[i];
    const std::string_view spelled = argument.starts_with("--") ? argument.substr(1) : argument;
    for (const ToolkitOption& option : kToolkitOptions) {
        const bool joined = (option.name == "-style" || option.name == "-stylesheet" ||
                             option.name == "-qmljsdebugger") &&
                            spelled.starts_with(std::string(option.name) + "=");
        if (spelled != option.name && !joined) continue;
        toolkit.emplace_back(spelled);
        if (!option.value || joined) return true;
        if (i + 1 == arguments.size())
            error = std::string(argument) + " needs a value";
        else
            toolkit.push_back(arguments[++i]);
        return true;
    }
    return false;
}

// Returns an error text, or empty when the arguments are fine. An option's value follows it,
// or its "=" as GNU programs take it. Help ends the reading: what follows it is not checked.
std::string ParseOptions(const std::vector<std::string>& arguments, ProgramOptions& options,
                         bool& help, bool& version) {
    bool optionsEnded = false;
    std::string firstToolkit;      // refused with --convert: no window, no Qt
    std::string firstConvertOnly;  // refused without --convert
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options.files.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string error;
        if (TakeToolkitOption(arguments, i, options.toolkit, error)) {
            if (!error.empty()) return error;
            if (firstToolkit.empty()) firstToolkit = argument;
            continue;
        }
        const auto equals = argument.find('=');
        const std::string option = argument.substr(0, equals);
        const bool takesValue = option == "--width" || option == "--height" ||
                                option == "--coder" || option == "--jobs";
        const bool takesNone =
            option == "--help" || option == "-h" || option == "--version" || option == "--convert";
        if (!takesValue && !takesNone) return "unknown option " + argument;
        if (takesNone) {
            if (equals != std::string::npos) return option + " takes no value";
            if (option == "--convert") {
                options.convert = true;
            } else if (option == "--version") {
                version = true;
            } else {
                help = true;
                return {};
            }
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            return option + " needs a value";
        }
        if (option == "--jobs") {
            options.jobs = ReadWholeNumber(option, value, 0, error);
        } else if (option == "--coder") {
            // An empty path would quietly mean the program's own coder.
            if (value.empty()) return option + " needs a value";
            options.coder = value;
        } else {
            ReadWholeNumber(option, value, kLeastTarget, error);
            (option == "--width" ? options.width : options.height) = value;
        }
        if (!error.empty()) return error;
        if ((option == "--jobs" || option == "--coder") && firstConvertOnly.empty())
            firstConvertOnly = option;
    }
    if (version && arguments.size() > 1) return "--version takes no other argument";
    if (options.convert && !firstToolkit.empty()) return "unknown option " + firstToolkit;
    if (!options.convert && !version && !firstConvertOnly.empty())
        return firstConvertOnly + " works only with --convert";
    return {};
}

int ConversionsAtOnce(const ProgramOptions& options) {
    if (!options.jobs) return 1;
    if (*options.jobs > 0) return *options.jobs;
    return std::max(1u, std::thread::hardware_concurrency());
}

int Convert(const ProgramOptions& options, Processes& processes, Files& files,
            WorkingFiles& working) {
    JobValues values;
    Session session(processes, files, working, values);
    // A coder that cannot run fails here, named, before any file is tried.
    session.Open();

    // main() installed the stop signals before anything was made.
    TerminalLog log;
    const JobOutcome outcome =
        ConvertFiles({options.files, options.width, options.height, ConversionsAtOnce(options)},
                     session, StopSignalFlag(), StopSignalDescriptor(), &log);
    if (outcome.stopped) return kStoppedBySignal;
    return outcome.Failed() == 0 ? 0 : kSomeFailed;
}

}  // namespace

std::string UsageText() {
    return "Usage: lmk-video [--width=TEXT] [--height=TEXT] [--] [FILE...]\n"
           "       lmk-video --convert [--width=TEXT] [--height=TEXT] [--coder=PATH]\n"
           "                 [--jobs=N] [--] FILE...\n"
           "       lmk-video --help | --version\n"
           "\n"
           "Re-encodes video files for portable devices. Each FILE is converted into\n"
           "\"lmk-\" + its name beside it, its frame fitted to the target size (320 x 240\n"
           "unless given) and its sound as MP3. An earlier \"lmk-\" file of that name is\n"
           "replaced once the new one is whole.\n"
           "\n"
           "Without --convert the window opens, the target in its boxes, and converts the\n"
           "FILEs given, if any; Qt's own options (-platform NAME, -display X...) go to it.\n"
           "\n"
           "  --convert      convert the FILEs without a window\n"
           "  --width=TEXT   target width from 2 (decimal, or hexadecimal after $ or 0x)\n"
           "  --height=TEXT  target height from 2\n"
           "  --coder=PATH   the FFmpeg program to run (with --convert)\n"
           "  --jobs=N       convert up to N files at once (0: one per processor); each\n"
           "                 file's line is printed when it is done (with --convert)\n"
           "  --             end the options: every argument after it is a FILE\n"
           "  -h, --help     show this text\n"
           "  --version      show the program's version\n"
           "An option's value may also be the next argument: --width 480.\n"
           "\n"
           "Ctrl+C stops, as do SIGTERM and SIGHUP (a closed terminal): the running\n"
           "conversions are ended and their partial files deleted; files not yet started\n"
           "are left alone.\n"
           "Exit status: 0 all converted, 1 the job failed, 2 some conversions failed,\n"
           "130 stopped, 64 a usage error (told in one line).\n"
           "\n" +
           SandboxDescription(!SandboxTurnedOff());
}

std::optional<int> ReadOptions(const std::vector<std::string>& arguments, ProgramOptions& options) {
    bool help = false;
    bool version = false;
    const std::string error = ParseOptions(arguments, options, help, version);
    if (!error.empty()) {
        std::cerr << "lmk-video: " << error << kTryHelp;
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
    if (!options.convert) return std::nullopt;
    if (options.files.empty()) {
        std::cerr << "lmk-video: no FILE to convert" << kTryHelp;
        return kUsageError;
    }
    // An empty name would be taken as the current folder.
    if (std::find(options.files.begin(), options.files.end(), "") != options.files.end()) {
        std::cerr << "lmk-video: " << kEmptyNameRefusal << kTryHelp;
        return kUsageError;
    }
    return std::nullopt;
}

int RunCommandLine(const ProgramOptions& options, Processes& processes, Files& files,
                   WorkingFiles& working) {
    try {
        return Convert(options, processes, files, working);
    } catch (...) {
        std::cerr << PeriodRule(CurrentFailureMessage()) << '\n';
    }
    return kJobFailed;
}

JobOutcome ConvertFiles(const ParallelRun& run, Session& session, const std::atomic<bool>& stop,
                        int stopReadable, TerminalLog* live) {
    CommandLineHost host(run.width, run.height, stop);
    RunSettings settings{.workers = run.jobs, .stopReadable = stopReadable};
    // Lines drawn as they come only when one job draws them; else each file's, whole, once done.
    if (run.jobs == 1 && live) {
        settings.live = live;
        host.ShowProgressOn(live);
    } else {
        settings.fileDone = [](const FileOutcome& outcome) {
            std::cout << WithoutTrailingSpaces(StatusLine(FileNamePart(outcome.path))) << '\n';
            FlushStandardOutput();
        };
    }
    const JobOutcome outcome = session.Run(run.paths, host, settings);
    // The live log's open line is ended before anything is printed after it.
    if (settings.live) live->ClearLog();
    for (const std::string& line : EndLines(outcome)) std::cout << line << '\n';
    FlushStandardOutput();
    return outcome;
}

}  // namespace lmk

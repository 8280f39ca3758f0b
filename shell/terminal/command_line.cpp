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
#include "said.h"
#include "session.h"
#include "stop_signals.h"
#include "terminal_log.h"
#include "whole_number.h"
#include "working_files.h"

namespace lmk {
namespace {

constexpr int kUsageError = 64;
constexpr int kStoppedBySignal = 130;

constexpr int kJobFailed = 1;
constexpr int kSomeFailed = 2;

// A usage error is one line and a pointer to the help, not the whole help.
void UsageError(const std::string& error) {
    std::cerr << "lmk-video: " << error << Said("CommandLine", "\nTry 'lmk-video --help'.\n");
}

std::string NeedsValue(std::string_view option) {
    return Filled(Said("CommandLine", "%1 needs a value"), {option});
}

std::string UnknownOption(std::string_view option) {
    return Filled(Said("CommandLine", "unknown option %1"), {option});
}

// How a file went, said at the end of its line.
std::string ResultWord(const FileOutcome& outcome) {
    if (outcome.verdict == FileOutcome::Verdict::Converted) return Said("CommandLine", "готово");
    if (outcome.verdict == FileOutcome::Verdict::Stopped)
        return Said("CommandLine", "остановлено");
    return Said("CommandLine", "не удалось");
}

// The smallest side a frame can be fitted to.
constexpr std::int32_t kLeastTarget = 2;

// The whole number `text` given to `option`, at least `least`; a usage error names the option.
std::int32_t ReadWholeNumber(const std::string& option, const std::string& text, std::int32_t least,
                             std::string& error) {
    try {
        const std::int32_t value = ParseWholeNumber(text);
        if (value < least)
            error = Filled(Said("CommandLine", "%1: '%2' is less than %3."),
                           {option, text, std::to_string(least)});
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
            error = NeedsValue(argument);
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
        if (!takesValue && !takesNone) return UnknownOption(argument);
        if (takesNone) {
            if (equals != std::string::npos)
                return Filled(Said("CommandLine", "%1 takes no value"), {option});
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
            return NeedsValue(option);
        }
        if (option == "--jobs") {
            options.jobs = ReadWholeNumber(option, value, 0, error);
        } else if (option == "--coder") {
            // An empty path would quietly mean the program's own coder.
            if (value.empty()) return NeedsValue(option);
            options.coder = value;
        } else {
            ReadWholeNumber(option, value, kLeastTarget, error);
            (option == "--width" ? options.width : options.height) = value;
        }
        if (!error.empty()) return error;
        if ((option == "--jobs" || option == "--coder") && firstConvertOnly.empty())
            firstConvertOnly = option;
    }
    if (version && arguments.size() > 1)
        return Said("CommandLine", "--version takes no other argument");
    if (options.convert && !firstToolkit.empty()) return UnknownOption(firstToolkit);
    if (!options.convert && !version && !firstConvertOnly.empty())
        return Filled(Said("CommandLine", "%1 works only with --convert"), {firstConvertOnly});
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
    return Said(
               "CommandLine",
               "Usage: lmk-video [--width=TEXT] [--height=TEXT] [--] [FILE...]\n"
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
               "The language is Russian under a Russian or the C locale, English under any other:\n"
               "LANGUAGE, LC_ALL, LC_MESSAGES and LANG choose it, as for other programs.\n"
               "\n") +
           SandboxDescription(!SandboxTurnedOff());
}

std::optional<int> ReadOptions(const std::vector<std::string>& arguments, ProgramOptions& options) {
    bool help = false;
    bool version = false;
    const std::string error = ParseOptions(arguments, options, help, version);
    if (!error.empty()) {
        UsageError(error);
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
        UsageError(Said("CommandLine", "no FILE to convert"));
        return kUsageError;
    }
    // An empty name would be taken as the current folder.
    if (std::find(options.files.begin(), options.files.end(), "") != options.files.end()) {
        UsageError(Said("CommandLine", "an empty argument names no file"));
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
    // Lines drawn as they come only when one job draws them on a terminal; else each file's,
    // whole, once done.
    if (run.jobs == 1 && live && live->Redrawn()) {
        settings.live = live;
        host.ShowProgressOn(live);
    } else {
        settings.fileDone = [](const FileOutcome& outcome) {
            // Each line, printed once its file is done, ends with how it went.
            std::cout << StatusLine(FileNamePart(outcome.path)) << ResultWord(outcome) << '\n';
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

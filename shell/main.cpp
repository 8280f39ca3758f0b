#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <QObject>

#include "application.h"
#include "coder_payload.h"
#include "coder_sandbox.h"
#include "command_line.h"
#include "display_check.h"
#include "failure_text.h"
#include "failures.h"
#include "language.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "said.h"
#include "session.h"
#include "session_bus.h"
#include "stop_signal_watch.h"
#include "stop_signals.h"
#include "working_files.h"

namespace {

// Qt ends the program with exit(1) when its X server goes (xcb's connection error), from
// inside whatever handler is running, the job's included. What the window's run made goes on
// the way out all the same: the partial output, the private folder, the coder file. The coder
// itself is ended by the kernel with the program.
lmk::PosixFiles* g_exitFiles = nullptr;
lmk::WorkingFiles* g_exitWorking = nullptr;

void ReleaseAtExit() {
    if (g_exitFiles) g_exitFiles->DeleteHeldPartials();
    if (g_exitWorking) g_exitWorking->Release();
}

// While it lives, an exit() takes the run's files with it.
class ReleasedAtExit {
public:
    ReleasedAtExit(lmk::PosixFiles& files, lmk::WorkingFiles& working) {
        static const bool registered = std::atexit(ReleaseAtExit) == 0;
        if (!registered) return;
        g_exitFiles = &files;
        g_exitWorking = &working;
    }
    ~ReleasedAtExit() {
        g_exitFiles = nullptr;
        g_exitWorking = nullptr;
    }
    ReleasedAtExit(const ReleasedAtExit&) = delete;
    ReleasedAtExit& operator=(const ReleasedAtExit&) = delete;
};

// The window front end. Qt is given only its own options, which the reader took out: every
// other argument is the window's or a file, "-platform" after "--" included.
int RunWindow(const lmk::ProgramOptions& options, const std::string& program,
              lmk::Processes& processes, lmk::Files& files, lmk::WorkingFiles& working) {
    std::vector<std::string> qtArguments = {program};
    qtArguments.insert(qtArguments.end(), options.toolkit.begin(), options.toolkit.end());
    if (const std::string problem = lmk::DisplayProblem(qtArguments); !problem.empty()) {
        std::cerr << lmk::Filled(lmk::Said("CommandLine",
                                           "lmk-video: no display could be opened for the window "
                                           "(%1).\nlmk-video --convert FILE... converts without "
                                           "one.\n"),
                                 {problem});
        return 1;
    }

    // Before Qt starts: its accessibility bridge and theme reach for the session bus too.
    lmk::KeepToTheSessionBusGiven();
    std::vector<char*> qtArgv;
    for (std::string& argument : qtArguments) qtArgv.push_back(argument.data());
    int qtCount = static_cast<int>(qtArgv.size());
    qtArgv.push_back(nullptr);
    lmk::TApplication application(qtCount, qtArgv.data());

    // A logout, a shutdown or Ctrl+C in the starting terminal ends the program as Exit does,
    // through FormDestroy, so that no coder, coder file or private folder is left behind.
    lmk::StopSignalWatch stopSignals;
    lmk::TMainForm form(processes, files, working);
    QObject::connect(&stopSignals, &lmk::StopSignalWatch::received, &form,
                     &lmk::TMainForm::ExitAsClicked);
    form.SetTarget(options.width, options.height);
    form.show();
    // A file manager's "Open with": converted as if dropped once the window is up, and refused
    // like a drop when the window takes none.
    std::vector<std::string> named = options.files;
    // An empty name would be taken as the current folder.
    std::erase(named, std::string());
    // A stop that came while the window was being made (its error box closed by it) closes it
    // before any file starts.
    if (lmk::StopSignalFlag())
        QMetaObject::invokeMethod(&form, &lmk::TMainForm::ExitAsClicked, Qt::QueuedConnection);
    else
        form.OpenFiles(named);
    return application.exec();
}

// The one wiring point: the front end, the platform and the coder are chosen here only.
int Run(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    // Before anything is written, usage errors included.
    lmk::UseEnvironmentLanguage();

    // The arguments first, for both front ends: the help and a usage error need neither a
    // coder, nor a folder, nor a display.
    lmk::ProgramOptions options;
    if (const auto code = lmk::ReadOptions({arguments.begin() + 1, arguments.end()}, options))
        return *code;

    lmk::PosixProcesses processes(lmk::SandboxTurnedOff() ? lmk::PosixProcesses::Unconfined
                                                          : lmk::PosixProcesses::Confined);
    lmk::PosixFiles files;
    if (options.convert) {
        // The carried coder goes into the command line's private folder, so that runs side by
        // side never share it; a named coder is run instead.
        lmk::WorkingFiles working({}, options.coder);
        return lmk::RunCommandLine(options, processes, files, working);
    }
    // The window's beside the program, shared with the other copies started from there.
    lmk::WorkingFiles working(lmk::JoinPath(lmk::ProgramFolder(), lmk::kCoderFileName));
    const ReleasedAtExit released(files, working);
    return RunWindow(options, arguments.front(), processes, files, working);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        lmk::ResetInheritedSignals();
        // Installed before anything is made and removed after everything is cleaned up, so that
        // a stop at start-up or shut-down never kills the program outright.
        const lmk::StopSignals stopSignals;
        return Run(argc, argv);
    } catch (...) {
        // Only what no handler could catch arrives here; it must not end in std::terminate.
        std::cerr << lmk::PeriodRule(lmk::CurrentFailureMessage()) << '\n';
        return 1;
    }
}

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "application.h"
#include "coder_payload.h"
#include "coder_sandbox.h"
#include "command_line.h"
#include "failure_text.h"
#include "failures.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "stop_signals.h"
#include "working_files.h"

namespace {

// The files named for the window: what Qt left of the arguments, the first "--" taken as the
// end of options.
std::vector<std::string> NamedFiles(int argc, char** argv) {
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--" && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        files.push_back(lmk::AbsolutePath(argument));
    }
    return files;
}

int Run(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);

    // The arguments first: the help and a usage error need neither a coder nor a folder.
    std::optional<lmk::ConvertOptions> convert;
    if (lmk::IsCommandLineRun(arguments)) {
        convert.emplace();
        if (const auto code = lmk::ReadConvertOptions(arguments, *convert)) return *code;
    }

    // The platform, made here only and handed to the front end that runs. The command line's
    // carried coder goes into its private folder, so that runs side by side never share it;
    // the window's beside the program, shared with the other copies started from there.
    lmk::PosixProcesses processes(lmk::SandboxTurnedOff() ? lmk::PosixProcesses::Unconfined
                                                          : lmk::PosixProcesses::Confined);
    lmk::PosixFiles files;
    if (convert) {
        lmk::WorkingFiles working;
        return lmk::RunCommandLine(*convert, processes, files, working);
    }
    lmk::WorkingFiles working(lmk::JoinPath(lmk::ProgramFolder(), lmk::kCoderFileName));

    lmk::TApplication application(argc, argv);
    lmk::TMainForm form(processes, files, working);
    // A logout, a shutdown or Ctrl+C in the starting terminal ends the program as Exit does,
    // through FormDestroy, so that no coder, coder file or private folder is left behind.
    lmk::StopSignals stopSignals;
    QObject::connect(&stopSignals, &lmk::StopSignals::received, &form,
                     &lmk::TMainForm::ExitAsClicked);
    form.show();
    // A file manager's "Open with": converted as if dropped once the window is up, and refused
    // like a drop when the window takes none.
    form.OpenFiles(NamedFiles(argc, argv));
    return application.exec();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (...) {
        // Only what no handler could catch arrives here; it must not end in std::terminate.
        std::cerr << lmk::PeriodRule(lmk::CurrentFailureMessage()) << '\n';
        return 1;
    }
}

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <QTimer>

#include "application.h"
#include "coder_payload.h"
#include "command_line.h"
#include "failures.h"
#include "lmk1.h"
#include "posix_platform.h"

namespace {

// The command line runs the same coder build as the window. A bundled coder goes into a
// folder of this run's own, so that runs side by side never share or delete each other's.
int RunWithoutWindow(const std::vector<std::string>& arguments) {
    if constexpr (!lmk::kBundledCoder) {
        return lmk::RunCommandLine(arguments, lmk::FindOnPath(lmk::kSystemCoderName));
    }
    std::string folder;
    std::string coder;
    try {
        folder = lmk::MakePrivateFolder();
        coder = lmk::JoinPath(folder, lmk::kCoderFileName);
        lmk::ExportPayload(lmk::kPayloadName, coder);
    } catch (const std::exception& failure) {
        if (!folder.empty()) lmk::RemovePrivateFolder(folder);
        std::cerr << lmk::PeriodRule(failure.what()) << '\n';
        return 1;
    }
    const int code = lmk::RunCommandLine(arguments, coder);
    lmk::RemovePrivateFolder(folder);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (lmk::IsCommandLineRun(arguments)) return RunWithoutWindow(arguments);

    lmk::TApplication application(argc, argv);
    lmk::TMainForm form;
    form.show();

    // Files given as arguments (a file manager's "Open with") are converted as if dropped,
    // once the window is up. Qt has taken its own options out of argv by now.
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) files.push_back(lmk::AbsolutePath(argv[i]));
    if (!files.empty()) {
        QTimer::singleShot(0, &form, [&form, files] { form.PostDrop(files); });
    }
    return application.exec();
}

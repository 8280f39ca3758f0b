// The program's window start taken apart, each step marked, to see what its start costs over
// an empty window: the application object, its icon, the system's font list, the window font,
// the coder file, the window (which writes the coder file again, as at every start), its first
// paint.
#include <string>

#include <unistd.h>

#include <QApplication>
#include <QFontDatabase>
#include <QIcon>

#include "application.h"
#include "coder_payload.h"
#include "first_paint.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "working_files.h"

int main(int argc, char** argv) {
    MarkPhase("main");
    QApplication application(argc, argv);
    MarkPhase("application");
    application.setWindowIcon(QIcon(QStringLiteral(":/MAINICON")));
    MarkPhase("icon");
    // The system's font list, which any window with text loads before its first paint.
    QFontDatabase::families();
    MarkPhase("font-list");
    lmk::RegisterWindowFonts();
    MarkPhase("tahoma");
    const std::string coder = lmk::JoinPath(lmk::ProgramFolder(), "steps-coder.exe");
    lmk::ExportPayload(lmk::kPayloadName, coder);
    MarkPhase("payload");
    lmk::PosixProcesses processes;
    lmk::PosixFiles files;
    lmk::WorkingFiles working(lmk::JoinPath(lmk::ProgramFolder(), lmk::kCoderFileName));
    lmk::TMainForm form(processes, files, working);
    MarkPhase("window");
    form.show();
    QuitAfterFirstPaint(&form);
    const int code = application.exec();
    ::unlink(coder.c_str());
    return code;
}

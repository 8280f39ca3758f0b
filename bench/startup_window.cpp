// The program's window start, made as the program's entry makes it (the application, the
// window writing the coder file, show), ending once the window has been painted. The window is
// closed and the coder file deleted on the way out, as when the user closes it.
#include "application.h"
#include "coder_payload.h"
#include "first_paint.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "working_files.h"

int main(int argc, char** argv) {
    MarkPhase("main");
    lmk::TApplication application(argc, argv);
    MarkPhase("application");
    lmk::PosixProcesses processes;
    lmk::PosixFiles files;
    lmk::WorkingFiles working(lmk::JoinPath(lmk::ProgramFolder(), lmk::kCoderFileName));
    lmk::TMainForm form(processes, files, working);
    MarkPhase("window");
    form.show();
    QuitAfterFirstPaint(&form);
    return application.exec();
}

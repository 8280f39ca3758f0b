// The program's window start, made as the program's entry makes it (the application, the
// window writing the coder file, show), ending once the window has been painted. The window is
// closed and the coder file deleted on the way out, as when the user closes it.
#include "application.h"
#include "first_paint.h"
#include "lmk1.h"

int main(int argc, char** argv) {
    MarkPhase("main");
    lmk::TApplication application(argc, argv);
    MarkPhase("application");
    lmk::TMainForm form;
    MarkPhase("window");
    form.show();
    QuitAfterFirstPaint(&form);
    return application.exec();
}

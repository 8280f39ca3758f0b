// The start-up baseline: the least a Qt Widgets program does to show a window, an empty QWidget.
#include <QApplication>
#include <QWidget>

#include "first_paint.h"

int main(int argc, char** argv) {
    MarkPhase("main");
    QApplication application(argc, argv);
    MarkPhase("application");
    QWidget window;
    MarkPhase("window");
    window.show();
    QuitAfterFirstPaint(&window);
    return application.exec();
}

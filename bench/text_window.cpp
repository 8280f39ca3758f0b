// A second baseline: an empty window with one line of text, so that the cost of loading the
// system's fonts (which an empty window puts off until after its first paint) is seen apart.
#include <QApplication>
#include <QLabel>

#include "first_paint.h"

int main(int argc, char** argv) {
    MarkPhase("main");
    QApplication application(argc, argv);
    MarkPhase("application");
    QLabel window(QStringLiteral("Программа для пережимания видео"));
    MarkPhase("window");
    window.show();
    QuitAfterFirstPaint(&window);
    return application.exec();
}

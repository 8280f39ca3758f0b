#include "first_paint.h"

#include <cstdio>

#include <time.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace {

class FirstPaintWatch : public QObject {
public:
    explicit FirstPaintWatch(QWidget* window) : QObject(window) {
        window->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!m_seen && event->type() == QEvent::Paint) {
            m_seen = true;
            // The window's paint pass draws the controls and hands the picture to the screen
            // before the event loop runs timers again.
            QTimer::singleShot(0, qApp, [] {
                MarkPhase("painted");
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

}  // namespace

void MarkPhase(const char* name) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("phase %s %lld\n", name,
                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
}

void QuitAfterFirstPaint(QWidget* window) {
    new FirstPaintWatch(window);
}

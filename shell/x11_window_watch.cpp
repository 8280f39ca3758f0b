#include "x11_window_watch.h"

#include <utility>

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QWidget>

#include "guard.h"

namespace lmk {
namespace {

// The window an event of these kinds is about; 0 for other kinds.
xcb_window_t WindowOf(const xcb_generic_event_t* event, bool& destroyed) {
    destroyed = false;
    switch (event->response_type & 0x7f) {
        case XCB_DESTROY_NOTIFY:
            destroyed = true;
            return reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window;
        case XCB_REPARENT_NOTIFY:
            return reinterpret_cast<const xcb_reparent_notify_event_t*>(event)->window;
        case XCB_PROPERTY_NOTIFY:
            return reinterpret_cast<const xcb_property_notify_event_t*>(event)->window;
        default:
            return 0;
    }
}

}  // namespace

X11WindowWatch::X11WindowWatch(QWidget* window, std::function<void()> framed)
    : m_window(window), m_framed(std::move(framed)) {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->installNativeEventFilter(this);
    }
}

X11WindowWatch::~X11WindowWatch() {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->removeNativeEventFilter(this);
    }
}

bool X11WindowWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    Guard([&] {
        if (eventType != "xcb_generic_event_t") return;
        bool destroyed = false;
        const xcb_window_t about =
            WindowOf(static_cast<const xcb_generic_event_t*>(message), destroyed);
        const WId own = m_window->internalWinId();
        if (own == 0 || about != own) return;
        // Acted on once Qt has handled the event itself.
        QWidget* window = m_window;
        if (destroyed) {
            QMetaObject::invokeMethod(
                window, [window] { Guard([window] { window->close(); }); }, Qt::QueuedConnection);
        } else if (m_framed) {
            QMetaObject::invokeMethod(
                window, [framed = m_framed] { Guard(framed); }, Qt::QueuedConnection);
        }
    });
    return false;
}

}  // namespace lmk

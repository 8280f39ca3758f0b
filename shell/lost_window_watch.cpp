#include "lost_window_watch.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QWidget>

#include "guard.h"

namespace lmk {

LostWindowWatch::LostWindowWatch(QWidget* window) : m_window(window) {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->installNativeEventFilter(this);
    }
}

LostWindowWatch::~LostWindowWatch() {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->removeNativeEventFilter(this);
    }
}

bool LostWindowWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    Guard([&] {
        if (eventType != "xcb_generic_event_t") return;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_DESTROY_NOTIFY) return;
        const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
        const WId own = m_window->internalWinId();
        if (own == 0 || destroyed->window != own) return;
        // Closed once Qt has handled the event, as a close from the title bar would be.
        QWidget* window = m_window;
        QMetaObject::invokeMethod(
            window, [window] { Guard([window] { window->close(); }); }, Qt::QueuedConnection);
    });
    return false;
}

}  // namespace lmk

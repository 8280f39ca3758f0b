#include "x11_window_watch.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include <xcb/xcb.h>

#include <qguiapplication_platform.h>
#include <QGuiApplication>
#include <QWidget>

#include "guard.h"

namespace lmk {
namespace {

constexpr char kFrameExtents[] = "_NET_FRAME_EXTENTS";

xcb_connection_t* Connection() {
    auto* application =
        qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return application ? application->connection() : nullptr;
}

// Frees an xcb reply when it goes.
struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <class Reply>
using ReplyOf = std::unique_ptr<Reply, FreeReply>;

}  // namespace

X11WindowWatch::X11WindowWatch(QWidget* window, std::function<void(const QMarginsF&)> framed)
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

bool X11WindowWatch::IsFrameExtents(std::uint32_t atom) {
    if (m_frameExtentsAtom == 0) {
        xcb_connection_t* connection = Connection();
        if (!connection) return false;
        const ReplyOf<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 1, std::strlen(kFrameExtents), kFrameExtents),
            nullptr));
        if (reply) m_frameExtentsAtom = reply->atom;
    }
    return m_frameExtentsAtom != 0 && atom == m_frameExtentsAtom;
}

// Left, right, top and bottom, as the window manager gives them in device pixels, turned into
// the logical pixels that Qt places the window in (twice fewer at QT_SCALE_FACTOR=2).
QMarginsF X11WindowWatch::FrameExtents() const {
    xcb_connection_t* connection = Connection();
    if (!connection) return {};
    const ReplyOf<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, static_cast<xcb_window_t>(m_window->internalWinId()),
                         m_frameExtentsAtom, XCB_ATOM_CARDINAL, 0, 4),
        nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 16) {
        return {};
    }
    const auto* sides = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return QMarginsF(sides[0], sides[2], sides[1], sides[3]) / m_window->devicePixelRatioF();
}

bool X11WindowWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    Guard([&] {
        if (eventType != "xcb_generic_event_t") return;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const WId own = m_window->internalWinId();
        if (own == 0) return;
        QWidget* window = m_window;
        switch (event->response_type & 0x7f) {
            case XCB_DESTROY_NOTIFY: {
                const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
                if (destroyed->window != own) return;
                // Closed once Qt has handled the event itself.
                QMetaObject::invokeMethod(
                    window, [window] { Guard([window] { window->close(); }); },
                    Qt::QueuedConnection);
                return;
            }
            case XCB_PROPERTY_NOTIFY: {
                const auto* changed = reinterpret_cast<const xcb_property_notify_event_t*>(event);
                if (changed->window != own || changed->state != XCB_PROPERTY_NEW_VALUE ||
                    !m_framed || !IsFrameExtents(changed->atom))
                    return;
                const QMarginsF frame = FrameExtents();
                QMetaObject::invokeMethod(
                    window, [framed = m_framed, frame] { Guard([&] { framed(frame); }); },
                    Qt::QueuedConnection);
                return;
            }
            default:
                return;
        }
    });
    return false;
}

}  // namespace lmk

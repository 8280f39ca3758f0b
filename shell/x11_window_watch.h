#pragma once

#include <functional>

#include <QAbstractNativeEventFilter>

class QWidget;

namespace lmk {

// The X events of one window that Qt does not act on. When another X client destroys the window
// (`xdotool windowclose`, a window manager's kill) it is closed as by its title bar's close: Qt
// would otherwise run on with no window, and the program would never end. When a window manager
// frames it (reparents it, sets its frame's extents), `framed` runs once Qt has taken the
// event in, so the window can be placed by its outer rectangle. Watches while it lives; does
// nothing off X11.
class X11WindowWatch : public QAbstractNativeEventFilter {
public:
    X11WindowWatch(QWidget* window, std::function<void()> framed);
    ~X11WindowWatch() override;
    X11WindowWatch(const X11WindowWatch&) = delete;
    X11WindowWatch& operator=(const X11WindowWatch&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    QWidget* m_window;
    std::function<void()> m_framed;
};

}  // namespace lmk

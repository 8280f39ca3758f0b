#pragma once

#include <cstdint>
#include <functional>

#include <QAbstractNativeEventFilter>
#include <QMargins>

class QWidget;

namespace lmk {

// The X events of one window that Qt does not act on. When another X client destroys the window
// (`xdotool windowclose`, a window manager's kill) it is closed as by its title bar's close: Qt
// would otherwise run on with no window, and the program would never end. When a window manager
// sets the extents of the frame it put round the window (_NET_FRAME_EXTENTS), `framed` gets
// them in the window's logical pixels, read here: Qt learns its frame margins only at its next
// configure event. Watches while it lives; does nothing off X11.
class X11WindowWatch : public QAbstractNativeEventFilter {
public:
    X11WindowWatch(QWidget* window, std::function<void(const QMarginsF&)> framed);
    ~X11WindowWatch() override;
    X11WindowWatch(const X11WindowWatch&) = delete;
    X11WindowWatch& operator=(const X11WindowWatch&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    bool IsFrameExtents(std::uint32_t atom);
    QMarginsF FrameExtents() const;

    QWidget* m_window;
    std::function<void(const QMarginsF&)> m_framed;
    std::uint32_t m_frameExtentsAtom = 0;  // asked for when first needed
};

}  // namespace lmk

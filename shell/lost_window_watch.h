#pragma once

#include <QAbstractNativeEventFilter>

class QWidget;

namespace lmk {

// Closes the window, as its title bar's close does, when another X client destroys it
// (`xdotool windowclose`, a window manager's kill): Qt would otherwise run on with no window,
// and the program would never end. Watches while it lives; does nothing off X11.
class LostWindowWatch : public QAbstractNativeEventFilter {
public:
    explicit LostWindowWatch(QWidget* window);
    ~LostWindowWatch() override;
    LostWindowWatch(const LostWindowWatch&) = delete;
    LostWindowWatch& operator=(const LostWindowWatch&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    QWidget* m_window;
};

}  // namespace lmk

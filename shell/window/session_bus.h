#pragma once

#include <QString>

class QDBusMessage;

namespace lmk {

// The desktop's session bus, as one window uses it: connected on the first message, which may
// never come, and left when the window goes. Without a bus nothing is sent and nothing fails.
class SessionBus {
public:
    SessionBus();
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Sends without waiting for an answer: a desktop that does not answer holds nothing up.
    void Send(const QDBusMessage& message);

private:
    QString m_name;  // the connection's own, so that each window has its own
    bool m_tried = false;
    bool m_connected = false;
};

// Before anything of Qt starts: the session bus is only the one the environment names
// (DBUS_SESSION_BUS_ADDRESS, or the user's $XDG_RUNTIME_DIR/bus, then named for the whole
// process). Without one no bus is reached: the bus library would otherwise start one of its
// own (dbus-launch), which outlives the program.
void KeepToTheSessionBusGiven();

}  // namespace lmk

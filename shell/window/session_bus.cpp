#include "session_bus.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace lmk {

SessionBus::SessionBus() {
    static int made = 0;
    m_name = QStringLiteral("lmk-video-") + QString::number(++made);
}

SessionBus::~SessionBus() {
    if (m_tried) QDBusConnection::disconnectFromBus(m_name);
}

void SessionBus::Send(const QDBusMessage& message) {
    if (!m_tried) {
        m_tried = true;
        // Read here, not once per process as the bus library does: each window sees the
        // environment it starts in.
        const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        m_connected =
            (address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_name)
                               : QDBusConnection::connectToBus(address, m_name))
                .isConnected();
    }
    if (m_connected) QDBusConnection(m_name).send(message);
}

}  // namespace lmk

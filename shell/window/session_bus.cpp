#include "session_bus.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>

namespace lmk {
namespace {

// A D-Bus address value: bytes outside its plain set are written %XX.
std::string AddressValue(const std::string& text) {
    std::string value;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= 'a' && byte <= 'z') ||
            std::string_view("-_/.\\*").find(c) != std::string_view::npos) {
            value += c;
        } else {
            constexpr char kDigits[] = "0123456789ABCDEF";
            value += '%';
            value += kDigits[byte >> 4];
            value += kDigits[byte & 0xF];
        }
    }
    return value;
}

}  // namespace

void KeepToTheSessionBusGiven() {
    const char* given = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (given && *given) return;
    std::string address = "disabled:";
    // The bus a desktop session's service manager keeps for the user, as the bus library looks
    // for it.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string socket = std::string(runtime) + "/bus";
        struct stat info {};
        if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
            info.st_uid == ::getuid())
            address = "unix:path=" + AddressValue(socket);
    }
    // An address type the library does not know fails every connection at once, where none
    // would make it launch a bus.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

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

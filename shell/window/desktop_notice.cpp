#include "desktop_notice.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>

#include "conversion_job.h"
#include "session_bus.h"

namespace lmk {
namespace {

// The name of the icon that the desktop entry names, which the package installs.
constexpr const char* kIconName = "lmk-video";

// "Сконвертировано файлов: 3, не удалось: 1."
QString JobDoneText(int converted, int failed) {
    return QCoreApplication::translate("TMainForm", "Сконвертировано файлов: %1, не удалось: %2.")
        .arg(converted)
        .arg(failed);
}

}  // namespace

void ShowJobDoneNotice(SessionBus& bus, int converted, int failed) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // The desktop entry lets the notification server group it under the program and open it.
    const QVariantMap hints = {
        {QStringLiteral("desktop-entry"), QGuiApplication::desktopFileName()}};
    message << QCoreApplication::translate("TMainForm", "ЛМК-Видео") << 0u
            << QString::fromLatin1(kIconName) << QString::fromStdString(DoneLine())
            << JobDoneText(converted, failed) << QStringList() << hints << -1;
    bus.Send(message);
}

}  // namespace lmk

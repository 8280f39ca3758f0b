// Reads what a screen reader is given: the AT-SPI tree of the applications on the session's
// accessibility bus. Waits until one of them shows a window (a frame), then prints every
// object, one line each, indented by its depth: "role: name: description". Exits 1 when no
// application showed one within a minute, printing what there was on standard error.
#include <chrono>
#include <cstdio>
#include <thread>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QString>

namespace {

struct Object {
    QString service;
    QString path;
};

QDBusMessage Call(QDBusConnection& bus, const Object& object, const QString& interface,
                  const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(object.service, object.path, interface, method);
    message.setArguments(arguments);
    return bus.call(message);
}

QList<Object> Children(QDBusConnection& bus, const Object& object) {
    QList<Object> children;
    const QDBusMessage reply = Call(bus, object, QStringLiteral("org.a11y.atspi.Accessible"),
                                    QStringLiteral("GetChildren"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return children;
    const auto list = reply.arguments().constFirst().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        QString service;
        QDBusObjectPath path;
        list.beginStructure();
        list >> service >> path;
        list.endStructure();
        children.push_back({service, path.path()});
    }
    list.endArray();
    return children;
}

QString Text(QDBusConnection& bus, const Object& object, const QString& property) {
    const QDBusMessage reply =
        Call(bus, object, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
             {QStringLiteral("org.a11y.atspi.Accessible"), property});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toString();
}

QString Role(QDBusConnection& bus, const Object& object) {
    const QDBusMessage reply = Call(bus, object, QStringLiteral("org.a11y.atspi.Accessible"),
                                    QStringLiteral("GetRoleName"));
    return reply.arguments().isEmpty() ? QString() : reply.arguments().constFirst().toString();
}

void Print(QDBusConnection& bus, const Object& object, int depth, QString& out) {
    out += QString(depth * 2, QLatin1Char(' ')) + Role(bus, object) + QStringLiteral(": ") +
           Text(bus, object, QStringLiteral("Name")) + QStringLiteral(": ") +
           Text(bus, object, QStringLiteral("Description")) + QLatin1Char('\n');
    for (const Object& child : Children(bus, object)) Print(bus, child, depth + 1, out);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QDBusConnection session = QDBusConnection::sessionBus();
    const QDBusMessage address =
        Call(session, {QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus")},
             QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
    if (address.type() != QDBusMessage::ReplyMessage || address.arguments().isEmpty()) {
        std::fprintf(stderr, "no accessibility bus: %s\n", qPrintable(address.errorMessage()));
        return 1;
    }
    QDBusConnection bus =
        QDBusConnection::connectToBus(address.arguments().constFirst().toString(), "a11y");
    const Object root{QStringLiteral("org.a11y.atspi.Registry"),
                      QStringLiteral("/org/a11y/atspi/accessible/root")};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const Object& application : Children(bus, root)) {
            for (const Object& window : Children(bus, application)) {
                if (Role(bus, window) != QLatin1String("frame")) continue;
                QString out;
                Print(bus, application, 0, out);
                std::fputs(out.toUtf8().constData(), stdout);
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    QString seen;
    for (const Object& application : Children(bus, root)) Print(bus, application, 0, seen);
    std::fprintf(stderr, "no application showed a window; seen:\n%s", seen.toUtf8().constData());
    return 1;
}

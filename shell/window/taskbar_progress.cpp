#include "taskbar_progress.h"

#include <algorithm>

#include <QDBusMessage>
#include <QGuiApplication>

#include "guard.h"
#include "session_bus.h"

namespace lmk {
namespace {

// At most four updates a second: a dock redraws the icon for each.
constexpr int kIntervalMilliseconds = 250;

QDBusMessage UpdateMessage(const QVariantMap& properties) {
    QDBusMessage message = QDBusMessage::createSignal(
        QStringLiteral("/org/example/lmk_video"),
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    // The entry is named by the desktop file the program installs.
    message << QStringLiteral("application://") + QGuiApplication::desktopFileName() +
                   QStringLiteral(".desktop")
            << properties;
    return message;
}

}  // namespace

TaskbarProgress::TaskbarProgress(SessionBus& bus, QObject* parent) : QObject(parent), m_bus(bus) {
    m_later.setSingleShot(true);
    connect(&m_later, &QTimer::timeout, this, [this] { Guard([this] { SendPending(); }); });
}

TaskbarProgress::~TaskbarProgress() {
    Calm();
}

void TaskbarProgress::Show(int filesDone, int filesLeft, double share) {
    const int files = std::max(1, filesDone + filesLeft);
    const QVariantMap state = {
        {QStringLiteral("progress"), std::clamp((filesDone + share) / files, 0.0, 1.0)},
        {QStringLiteral("progress-visible"), true},
        {QStringLiteral("count"), static_cast<qint64>(filesLeft)},
        {QStringLiteral("count-visible"), true},
    };
    if (state == m_sent) {
        m_later.stop();
        m_pending.clear();
        return;
    }
    m_pending = state;
    if (m_sinceSent.isValid() && m_sinceSent.elapsed() < kIntervalMilliseconds) {
        if (!m_later.isActive()) m_later.start(kIntervalMilliseconds - m_sinceSent.elapsed());
        return;
    }
    SendPending();
}

void TaskbarProgress::Clear(bool urgent) {
    m_later.stop();
    m_pending.clear();
    m_urgent = urgent;
    Update({{QStringLiteral("progress-visible"), false},
            {QStringLiteral("count-visible"), false},
            {QStringLiteral("urgent"), urgent}});
    // The next job's first state goes out at once.
    m_sinceSent.invalidate();
}

void TaskbarProgress::Calm() {
    if (!m_urgent) return;
    m_urgent = false;
    Update({{QStringLiteral("urgent"), false}});
}

void TaskbarProgress::SendPending() {
    if (m_pending.isEmpty()) return;
    Update(m_pending);
    m_pending.clear();
}

void TaskbarProgress::Update(const QVariantMap& properties) {
    m_bus.Send(UpdateMessage(properties));
    m_sent = properties;
    m_sinceSent.start();
}

}  // namespace lmk

#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

namespace lmk {

class SessionBus;

// The job's progress bar and the count of files left on the program's icon, in the docks and
// task managers that read the launcher entry signal (KDE Plasma, Ubuntu's dock, elementary,
// Plank).
class TaskbarProgress : public QObject {
    Q_OBJECT

public:
    explicit TaskbarProgress(SessionBus& bus, QObject* parent = nullptr);
    ~TaskbarProgress() override;

    // The share of the whole job: files done count whole, the running one by its `share`.
    // Sent at most a few times a second; the latest state always goes out.
    void Show(int filesDone, int filesLeft, double share);
    // The job ended: bar and count go. `urgent` asks for attention, as the window's hint does.
    void Clear(bool urgent);
    // The user came back to the window: an attention asked for is no longer needed.
    void Calm();

private:
    void Update(const QVariantMap& properties);
    void SendPending();

    SessionBus& m_bus;
    QVariantMap m_pending;
    QVariantMap m_sent;
    QElapsedTimer m_sinceSent;
    QTimer m_later;
    bool m_urgent = false;
};

}  // namespace lmk

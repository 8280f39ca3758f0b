#pragma once

#include <QObject>

class QSocketNotifier;

namespace lmk {

// The stop signals (StopSignals, installed by main()) brought into the Qt loop as `received`.
// A dialog open at that moment (the About box, the file dialog, an error box) is closed first:
// a box's own loop would otherwise hold the stop until the user closed it.
class StopSignalWatch : public QObject {
    Q_OBJECT

public:
    explicit StopSignalWatch(QObject* parent = nullptr);

signals:
    void received(int signal);

private:
    void Take();

    QSocketNotifier* m_notifier = nullptr;
};

// Rejects every dialog that is open, message boxes included.
void CloseOpenDialogs();

}  // namespace lmk

#pragma once

#include <csignal>

#include <QObject>

#include "file_descriptor.h"

class QSocketNotifier;

namespace lmk {

// SIGTERM, SIGINT and SIGHUP brought into the Qt loop as `received`: the handler only writes
// the signal's number into a pipe that a socket notifier watches. The handler is installed
// without SA_RESTART, so that a signal cuts a job's 200 ms wait short and its pump runs at once.
// One at a time; the handlers in place before are put back when it goes.
class StopSignals : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void received(int signal);

private:
    void Drain();

    FileDescriptor m_readEnd;
    FileDescriptor m_writeEnd;
    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_previous[3] = {};
};

}  // namespace lmk

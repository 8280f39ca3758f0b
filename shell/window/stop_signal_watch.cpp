#include "stop_signal_watch.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QSocketNotifier>

#include "guard.h"
#include "stop_signals.h"

namespace lmk {

StopSignalWatch::StopSignalWatch(QObject* parent) : QObject(parent) {
    const int descriptor = StopSignalDescriptor();
    if (descriptor < 0) return;
    m_notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignalWatch::Take);
}

void StopSignalWatch::Take() {
    Guard([this] {
        const int signal = TakeStopSignals();
        if (signal == 0) return;
        CloseOpenDialogs();
        emit received(signal);
    });
}

void CloseOpenDialogs() {
    // Closing one may close or delete another: each is looked at through a guarded pointer.
    QList<QPointer<QDialog>> dialogs;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible())
            dialogs.push_back(dialog);
    for (const QPointer<QDialog>& dialog : dialogs)
        if (dialog && dialog->isVisible()) dialog->reject();
}

}  // namespace lmk

#include "boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "application.h"
#include "failures.h"
#include "lmk1.h"

namespace lmk {
namespace {

BoxRecorder& Recorder() {
    static BoxRecorder recorder;
    return recorder;
}

}  // namespace

void SetBoxRecorder(BoxRecorder recorder) {
    Recorder() = std::move(recorder);
}

QString BoxText(const std::string& text) {
    QString lines = QString::fromStdString(text);
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return lines;
}

std::unique_ptr<QMessageBox> MakeErrorBox(const Exception& failure, QWidget* owner) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, ApplicationTitle,
                                             BoxText(PeriodRule(failure.Message())),
                                             QMessageBox::Ok, owner);
    // File names may hold anything, markup included.
    box->setTextFormat(Qt::PlainText);
    return box;
}

std::unique_ptr<QMessageBox> MakeInfoBox(const std::string& text, QWidget* owner) {
    auto box = std::make_unique<QMessageBox>(owner);
    box->setWindowTitle(ApplicationTitle);
    box->setIcon(QMessageBox::NoIcon);
    box->setTextFormat(Qt::PlainText);
    box->setText(BoxText(text));
    QPushButton* ok = box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box->setDefaultButton(ok);
    box->setEscapeButton(ok);
    return box;
}

void ShowErrorBox(const Exception& failure) {
    if (Recorder()) {
        Recorder()(BoxKind::Error, ApplicationTitle, BoxText(PeriodRule(failure.Message())));
        return;
    }
    // At start no window is active yet: the box then stands on its own.
    MakeErrorBox(failure, QApplication::activeWindow())->exec();
}

void ShowInfoBox(const std::string& text) {
    if (Recorder()) {
        Recorder()(BoxKind::Information, ApplicationTitle, BoxText(text));
        return;
    }
    QWidget* owner = QApplication::activeWindow();
    if (!owner) owner = MainForm;
    MakeInfoBox(text, owner)->exec();
}

void ReportFailure(const Exception& failure) {
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    ShowErrorBox(failure);
}

}  // namespace lmk

#include "lmk1.h"

#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>

#include "added_files.h"
#include "boxes.h"
#include "coder_payload.h"
#include "conversion_job.h"
#include "desktop_notice.h"
#include "failure_text.h"
#include "failures.h"
#include "guard.h"
#include "ui_TMainForm.h"
#include "working_files.h"

namespace lmk {

TModuleValues ModuleValues;
TMainForm* MainForm = nullptr;

namespace {

// A job shorter than this ends while the user still waits for it: no notice.
constexpr qint64 kNoticeAfterMilliseconds = 5000;

// The definition gives sizes in points for a 96 dpi screen, where the layout's pixels are
// measured; fonts in pixels keep text and controls in step on any screen.
void UsePixelFonts(QWidget* window) {
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* widget : widgets) {
        if (!widget->testAttribute(Qt::WA_SetFont)) continue;
        QFont font = widget->font();
        if (font.pointSizeF() <= 0) continue;
        font.setPixelSize(qRound(font.pointSizeF() * 96.0 / 72.0));
        widget->setFont(font);
    }
}

// A log line is one block: a line break inside a text must not split it.
QString LogText(const std::string& line) {
    QString text = QString::fromStdString(line);
    text.replace(QLatin1String("\r\n"), QString(QChar::LineSeparator));
    text.replace(QLatin1Char('\r'), QChar::LineSeparator);
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return text;
}

// Qt gives a top-level QWidget the role of a client area, which AT-SPI shows as a "filler";
// the program's window is a frame to assistive technology, as a QMainWindow would be.
QAccessibleInterface* WindowAccessible(const QString& className, QObject* object) {
    if (className != QLatin1String(TMainForm::staticMetaObject.className())) return nullptr;
    auto* window = qobject_cast<QWidget*>(object);
    if (!window || !window->isWindow()) return nullptr;
    return new QAccessibleWidget(window, QAccessible::Window);
}

}  // namespace

std::string AboutText() {
    return Filled(Said("TMainForm",
                       "Программа для пережимания\r"
                       "видео в формат портативных устройств.\r"
                       "\r"
                       "Сайт автора: %1"),
                  {LMK_HOMEPAGE});
}

QString JobTitle(int filesDone, int filesLeft, double share, const QString& title) {
    const RunProgress run = ProgressOfRun(filesDone, filesLeft, share);
    // Rounded down: 100% only once every file is done.
    const int percent = static_cast<int>(std::floor(run.whole * 100));
    return QStringLiteral("%1% · %2/%3 — %4").arg(percent).arg(run.file).arg(run.files).arg(title);
}

TMainForm::TMainForm(Processes& processes, Files& files, WorkingFiles& working, QWidget* parent)
    : QWidget(parent),
      m_ui(std::make_unique<Ui::TMainForm>()),
      m_working(working),
      m_session(processes, files, working, ModuleValues) {
    static const bool accessibleWindow = (QAccessible::installFactory(WindowAccessible), true);
    Q_UNUSED(accessibleWindow);
    ApplyDefinition();
    connect(bExit, &QPushButton::clicked, this, &TMainForm::ExitAsClicked);
    connect(bAbout, &QPushButton::clicked, this, [this] { Guard([this] { bAboutClick(); }); });
    new FileKeys(this);
    if (!MainForm) MainForm = this;
    // A failure here is shown before the window is, and skips the rest of FormCreate. Drops
    // are taken all the same, to be refused with a line rather than in silence.
    Guard([this] {
        try {
            FormCreate();
        } catch (...) {
            m_coderProblem = PeriodRule(CurrentFailureMessage());
            throw;
        }
    });
    setAcceptDrops(true);
}

TMainForm::~TMainForm() {
    Guard([this] { FormDestroy(); });
    if (MainForm == this) MainForm = nullptr;
}

void TMainForm::ApplyDefinition() {
    m_ui->setupUi(this);
    bExit = m_ui->bExit;
    mLog = m_ui->mLog;
    edW = m_ui->edW;
    edH = m_ui->edH;
    lX = m_ui->lX;
    lSize = m_ui->lSize;
    bAbout = m_ui->bAbout;
    m_title = windowTitle();
    bExit->installEventFilter(this);
    bAbout->installEventFilter(this);

    UsePixelFonts(this);
    FitLabelsToText(this);
    QPalette logColours = mLog->palette();
    logColours.setBrush(QPalette::Base, logColours.brush(QPalette::Button));
    mLog->setPalette(logColours);
    m_logLines = mLog->document()->blockCount();

    m_keptDistances.Record(this);
    RouteChildDrops();
    bExit->setFocus();
}

// Drops anywhere on the window reach it as one drop: Qt hands a drag over a control that takes
// no drops to its parent. The text boxes would otherwise take file drops as text.
void TMainForm::RouteChildDrops() {
    for (QWidget* child : findChildren<QWidget*>()) child->setAcceptDrops(false);
    setAcceptDrops(false);
}

void TMainForm::ExportExeFromRes(const std::string& name, const std::string& path) {
    m_working.ExportCoder(name, path);
}

void TMainForm::FormCreate() {
    ModuleValues.StopRequested = false;
    // The private folder and the coder, made as the command line's session makes them.
    m_session.Open();
    setAcceptDrops(true);
}

void TMainForm::FormDestroy() {
    setAcceptDrops(false);
    // The coder file goes only when no other copy of the program still runs from it.
    m_session.Release();
}

void TMainForm::bExitClick() {
    ModuleValues.StopRequested = true;
}

void TMainForm::bExit2Click() {
    close();
}

void TMainForm::bAboutClick() {
    ShowInfoBox(AboutText());
}

void TMainForm::WMDropFiles(const std::vector<std::string>& paths) {
    // A drop during a job joins its list rather than starting a second job inside the first.
    if (m_session.Running()) {
        m_session.Add(paths);
        return;
    }
    if (!m_coderProblem.empty()) {
        ShowEndLine(Filled(Said("TMainForm", "Файлы не приняты: кодер не может работать. %1"),
                           {m_coderProblem}));
        return;
    }
    JobOutcome outcome;
    try {
        outcome = m_session.Run(paths, *this, {.live = this});
    } catch (...) {
        // The log says the job went no further; the error box tells the reason too.
        ShowEndLine(BrokenOffLine(CurrentFailureMessage()));
        throw;
    }
    for (const std::string& line : EndLines(outcome)) ShowEndLine(line);
    // A user who looked elsewhere during a long job learns of its end from the desktop's
    // notifications too; a stopped job closes the window and says nothing.
    if (!outcome.stopped && !isActiveWindow() && m_jobClock.elapsed() > kNoticeAfterMilliseconds)
        ShowJobDoneNotice(m_bus, outcome.Converted(), outcome.Failed());
}

// The end of a job and each failure are told to assistive technology wherever the focus is.
// Qt 6.4's AT-SPI bridge passes no Alert on, but it does pass the log's new description.
void TMainForm::Announce(const std::string& line) {
    mLog->setAccessibleDescription(LogText(line));
    QAccessibleEvent alert(mLog, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void TMainForm::ShowEndLine(const std::string& line) {
    AddLogLine(line);
    Announce(line);
}

void TMainForm::PostDrop(const std::vector<std::string>& paths,
                         const std::vector<std::string>& refused) {
    // The drag's source waits until the drop event returns; the job runs after that.
    QMetaObject::invokeMethod(
        this, [this, paths, refused] { RunDrop(paths, refused); }, Qt::QueuedConnection);
}

void TMainForm::OpenFiles(const std::vector<std::string>& paths) {
    if (!paths.empty() && DropsRegistered()) PostDrop(paths);
}

void TMainForm::RunDrop(const std::vector<std::string>& paths,
                        const std::vector<std::string>& refused) {
    Guard([&] {
        if (!paths.empty()) WMDropFiles(paths);
        // The coder reads local files only; an address is refused by name, after the job.
        for (const std::string& address : refused)
            ShowEndLine(FailureLine(address, Said("TMainForm", "это адрес, а не локальный файл")));
    });
    if (m_closePending && !m_session.Running()) {
        m_closePending = false;
        close();
    }
}

void TMainForm::ExitAsClicked() {
    Guard([this] {
        if (m_exitMeaning == ExitMeaning::Stop) {
            bExitClick();
        } else {
            bExit2Click();
        }
    });
}

void TMainForm::ClearLog() {
    mLog->clear();
    m_logLines = 0;
    QFont font = mLog->font();
    font.setBold(false);
    mLog->setFont(font);
}

int TMainForm::AddLogLine(const std::string& line) {
    QTextCursor cursor(mLog->document());
    cursor.movePosition(QTextCursor::End);
    if (m_logLines > 0) cursor.insertBlock();
    cursor.insertText(LogText(line));
    return m_logLines++;
}

void TMainForm::ReplaceLogLine(int index, const std::string& line) {
    if (index < 0 || index >= m_logLines) return;
    const QTextBlock block = mLog->document()->findBlockByNumber(index);
    if (!block.isValid()) return;
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(LogText(line));
}

void TMainForm::Pump() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TMainForm::JobStarted() {
    m_exitMeaning = ExitMeaning::Stop;
    m_jobClock.start();
}

void TMainForm::Progress(int filesDone, int filesLeft, double share) {
    m_taskbar.Show(filesDone, filesLeft, share);
    setWindowTitle(JobTitle(filesDone, filesLeft, share, m_title));
}

void TMainForm::SetTarget(const std::string& width, const std::string& height) {
    edW->setText(QString::fromStdString(width));
    edH->setText(QString::fromStdString(height));
}

std::string TMainForm::WidthText() {
    return edW->text().toStdString();
}

std::string TMainForm::HeightText() {
    return edH->text().toStdString();
}

void TMainForm::JobEnded(bool stopped) {
    // A stopped job closes the window once its handler has returned.
    if (stopped) m_closePending = true;
    m_exitMeaning = ExitMeaning::Close;
    setWindowTitle(m_title);
    // A user who looked elsewhere during a long job learns of its end from the taskbar (the
    // window manager's urgency hint); the one looking at the window needs no call.
    if (!isActiveWindow()) QApplication::alert(this);
    m_taskbar.Clear(!isActiveWindow());
    emit jobFinished();
}

void TMainForm::HandleDrag(QDropEvent* drag) {
    const AddedFiles added = LocalFiles(drag->mimeData());
    const Qt::DropActions possible = drag->possibleActions();
    // Never a move: the source must keep its files.
    if (!acceptDrops() || added.Empty() || !(possible & (Qt::CopyAction | Qt::LinkAction))) {
        drag->ignore();
        return;
    }
    drag->setDropAction(possible & Qt::CopyAction ? Qt::CopyAction : Qt::LinkAction);
    drag->accept();
    if (drag->type() == QEvent::Drop) PostDrop(added.paths, added.refused);
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
    Guard([&] { HandleDrag(event); });
}

void TMainForm::dragMoveEvent(QDragMoveEvent* event) {
    Guard([&] { HandleDrag(event); });
}

void TMainForm::dropEvent(QDropEvent* event) {
    Guard([&] { HandleDrag(event); });
}

// Enter presses the focused button as Space does: Qt does so only for a dialog's buttons.
bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    auto* button = qobject_cast<QPushButton*>(watched);
    if (!button || event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
        (key->modifiers() & ~Qt::KeypadModifier))
        return QWidget::eventFilter(watched, event);
    if (!key->isAutoRepeat()) button->click();
    return true;
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The window manager drops its attention hint once the window is active; so does the dock.
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        Guard([this] { m_taskbar.Calm(); });
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    Guard([&] {
        // The window stays up and working until the job has returned; then the program ends.
        if (m_session.Running()) {
            m_closePending = true;
            event->ignore();
            return;
        }
        event->accept();
    });
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Guard([this] {
        if (m_placed) return;
        m_placed = true;
        const QRect outer = frameGeometry();
        const QRect inner = geometry();
        const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(),
                             outer.right() - inner.right(), outer.bottom() - inner.bottom());
        CentreOnDesktop(frame);
        // A window manager frames the window only once it is mapped: until then its outer
        // rectangle is the client area, and the frame would stand too high.
        m_awaitingFrame = frame.isNull();
    });
}

// Once the window manager has told its frame: centred once more, now by its outer rectangle.
// Without a window manager no frame ever comes and nothing moves.
void TMainForm::CentreOnceFramed(const QMarginsF& frame) {
    if (!m_awaitingFrame || frame.isNull()) return;
    m_awaitingFrame = false;
    CentreOnDesktop(frame);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Guard([&] { m_keptDistances.Apply(event->size()); });
}

// The outer rectangle (the client area and `frame` round it) centred on the rectangle spanning
// all monitors, kept inside its left and top edges. The client area is placed inside it, so
// that the result does not depend on what Qt knows of the frame yet. Worked out in fractions:
// at a scale factor a frame's device pixels are fractions of a logical one.
void TMainForm::CentreOnDesktop(const QMarginsF& frame) {
    const QScreen* display = screen();
    if (!display) return;
    const QRectF desktop = display->virtualGeometry();
    const QSizeF outer = QSizeF(size()).grownBy(frame);
    const qreal left = std::max(desktop.left(), desktop.center().x() - outer.width() / 2);
    const qreal top = std::max(desktop.top(), desktop.center().y() - outer.height() / 2);
    setGeometry(QRect(QPointF(left + frame.left(), top + frame.top()).toPoint(), size()));
}

}  // namespace lmk

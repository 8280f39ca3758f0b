#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QWidget>

#include "conversion_job.h"
#include "job_ports.h"
#include "kept_distances.h"
#include "session.h"
#include "session_bus.h"
#include "taskbar_progress.h"
#include "x11_window_watch.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace Ui {
class TMainForm;
}

namespace lmk {

// The values the window and its jobs share for the whole run: CoderPath, OutputPath, the
// private WorkFolder and StopRequested, raised by Exit in its stop meaning.
struct TModuleValues : JobValues {
    bool StopRequested = false;
};
extern TModuleValues ModuleValues;

enum class ExitMeaning { Close, Stop };

class TMainForm;
extern TMainForm* MainForm;

// The program's one window: the target frame, the log, Exit and About; files dropped on it are
// converted by a job that runs inside the drop's handler, keeping the window live.
class TMainForm : public QWidget, public JobLog, public JobHost {
    Q_OBJECT

public:
    // The platform and the working files are main()'s, handed in; FormCreate opens the
    // window's session over them, which makes the private folder and the coder.
    TMainForm(Processes& processes, Files& files, WorkingFiles& working, QWidget* parent = nullptr);
    ~TMainForm() override;

    // The controls, as the window definition names them.
    QPushButton* bExit = nullptr;
    QPlainTextEdit* mLog = nullptr;
    QLineEdit* edW = nullptr;
    QLineEdit* edH = nullptr;
    QLabel* lX = nullptr;
    QLabel* lSize = nullptr;
    QPushButton* bAbout = nullptr;

    void ExportExeFromRes(const std::string& name, const std::string& path);
    void FormCreate();
    void FormDestroy();
    void bExitClick();
    void bExit2Click();
    void bAboutClick();
    // Runs one job over the paths, in order; paths dropped while a job runs join its list.
    void WMDropFiles(const std::vector<std::string>& paths);

    // Hands the paths to WMDropFiles once the current event has been handled, as a drop does.
    // Addresses that name no local file are refused, each with a failure line.
    void PostDrop(const std::vector<std::string>& paths,
                  const std::vector<std::string>& refused = {});
    // What the Exit button does in the meaning in force: stop the job (which then closes the
    // window), or close. SIGTERM, SIGINT and SIGHUP do the same.
    void ExitAsClicked();

    // Files named when the program was started: taken like a drop, refused like one when the
    // window takes no drops (its start-up failed).
    void OpenFiles(const std::vector<std::string>& paths);
    // The target the program was started with (--width, --height), put in the boxes.
    void SetTarget(const std::string& width, const std::string& height);

    bool DropsRegistered() const { return acceptDrops(); }
    ExitMeaning CurrentExitMeaning() const { return m_exitMeaning; }
    bool JobRunning() const { return m_session.Running(); }

    // JobLog.
    void ClearLog() override;
    int AddLogLine(const std::string& line) override;
    void ReplaceLogLine(int index, const std::string& line) override;
    // JobHost.
    std::string WidthText() override;
    std::string HeightText() override;
    bool StopRequested() override { return ModuleValues.StopRequested; }
    void Pump() override;
    void JobStarted() override;
    void JobEnded(bool stopped) override;
    void Progress(int filesDone, int filesLeft, double share) override;

signals:
    void jobFinished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void ApplyDefinition();
    void RouteChildDrops();
    void HandleDrag(QDropEvent* drag);
    void RunDrop(const std::vector<std::string>& paths, const std::vector<std::string>& refused);
    void ShowEndLine(const std::string& line);
    void Announce(const std::string& line);
    void CentreOnDesktop(const QMarginsF& frame);
    void CentreOnceFramed(const QMarginsF& frame);

    std::unique_ptr<Ui::TMainForm> m_ui;
    KeptDistances m_keptDistances;
    X11WindowWatch m_x11Watch{this, [this](const QMarginsF& frame) { CentreOnceFramed(frame); }};
    WorkingFiles& m_working;
    // Progress shown outside the window, and the notice of a long job's end.
    SessionBus m_bus;
    TaskbarProgress m_taskbar{m_bus};
    QElapsedTimer m_jobClock;
    Session m_session;
    ExitMeaning m_exitMeaning = ExitMeaning::Close;
    QString m_title;              // the window's own title, shown again once a job has ended
    int m_logLines = 0;           // lines as the log counts them; an empty log has none
    bool m_closePending = false;  // closed while a job ran: close once it has returned
    bool m_placed = false;
    std::string m_coderProblem;    // why no coder can run, told to each drop; empty when one can
    bool m_awaitingFrame = false;  // centred before a window manager's frame was known
};

// The About text: four lines separated by CR, the third empty.
std::string AboutText();

// The window's title while a job runs: the share of the whole job done (the files done, and
// the running one by its `share`), the running file's number of all, then `title`:
// "45% · 2/5 — ЛМК-Видео".
QString JobTitle(int filesDone, int filesLeft, double share, const QString& title);

}  // namespace lmk

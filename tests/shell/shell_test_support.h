#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>
#include <QTimer>
#include <Qt>

#include "boxes.h"
#include "posix_platform.h"
#include "working_files.h"

class QWidget;

namespace lmk {
class TMainForm;
}

namespace lmk::test {

// What main() hands the window, made for one test: the POSIX platform, and working files whose
// carried coder goes to `coderPath` (by default beside the test program, as the program's own).
struct WindowPlatform {
    WindowPlatform();
    explicit WindowPlatform(const std::string& coderPath);

    // The stand-in coders keep their journal beside the test's files.
    PosixProcesses processes{PosixProcesses::Unconfined};
    PosixFiles files;
    WorkingFiles working;
};

// The window as main() makes it, on `platform`.
std::unique_ptr<TMainForm> MakeWindow(WindowPlatform& platform);

struct RecordedBox {
    BoxKind kind;
    QString title;
    QString text;
};

// Boxes shown while it lives are recorded here instead of waiting for a person.
class BoxLog {
public:
    BoxLog();
    ~BoxLog();
    BoxLog(const BoxLog&) = delete;
    BoxLog& operator=(const BoxLog&) = delete;

    std::vector<RecordedBox> boxes;
};

// While it lives, the file dialog is not shown: Ctrl+O "chooses" `urls`, and each time it is
// asked, the filter it was given is kept.
class ChosenFiles {
public:
    explicit ChosenFiles(QStringList chosen = {});
    ~ChosenFiles();
    ChosenFiles(const ChosenFiles&) = delete;
    ChosenFiles& operator=(const ChosenFiles&) = delete;

    QStringList urls;
    QStringList filtersAsked;
};

// Puts the URLs on the clipboard as a file manager copies files: as URLs and as text.
void CopyUrls(const QStringList& urls);
QStringList FileUrls(const std::vector<std::string>& paths);

// A stand-in for the coder, written into `folder`. Asked with "-i FILE" it prints a report of a
// 640x480 MPEG-4 video; otherwise it leaves FILE.started beside its last argument (the output),
// takes `seconds` (in short naps, so an ended coder leaves nothing behind for long), writes the
// output and exits 0. Each conversion's start and end go to `folder`/journal, its arguments to
// `folder`/arguments.
std::string WriteFakeCoder(const std::string& folder, double seconds);

// For `seconds`: the conversion holds until ReleaseFakeCoder, however long the test takes.
inline constexpr double kUntilReleased = -1;
void ReleaseFakeCoder(const std::string& folder);

// Lines of `folder`/journal ("start NAME", "end NAME").
std::vector<std::string> Journal(const std::string& folder);

struct DropResult {
    bool enterAccepted = false;
    bool dropAccepted = false;
    Qt::DropAction dropAction = Qt::IgnoreAction;
};

// Sends a drag of the URLs over `target` and drops it there, as the window system would.
DropResult DropUrls(QWidget* target, const QStringList& urls);
DropResult DropFiles(QWidget* target, const std::vector<std::string>& paths);

// Runs `action` once, from inside whichever event loop is running (a job's pump included), as
// soon as `condition` holds.
class Trigger {
public:
    Trigger(std::function<bool()> condition, std::function<void()> action);
    bool Fired() const { return m_fired; }

private:
    QTimer m_timer;
    bool m_fired = false;
};

// Pumps events until `condition` holds; false when it still does not after a generous time
// (a hang guard, not a timing claim).
bool PumpUntil(const std::function<bool()>& condition);

}  // namespace lmk::test

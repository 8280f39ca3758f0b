#include "shell_test_support.h"

#include <chrono>

#include <QClipboard>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include "added_files.h"
#include "coder_payload.h"
#include "lmk1.h"
#include "test_files.h"

namespace lmk::test {

WindowPlatform::WindowPlatform() : WindowPlatform(JoinPath(ProgramFolder(), kCoderFileName)) {}

WindowPlatform::WindowPlatform(const std::string& coderPath) : working(coderPath) {}

std::unique_ptr<TMainForm> MakeWindow(WindowPlatform& platform) {
    return std::make_unique<TMainForm>(platform.processes, platform.files, platform.working);
}

BoxLog::BoxLog() {
    SetBoxRecorder([this](BoxKind kind, const QString& title, const QString& text) {
        boxes.push_back({kind, title, text});
    });
}

BoxLog::~BoxLog() {
    SetBoxRecorder({});
}

ChosenFiles::ChosenFiles(QStringList chosen) : urls(std::move(chosen)) {
    SetFileChooser([this](QWidget*, const QString& filter) {
        filtersAsked.push_back(filter);
        QList<QUrl> list;
        for (const QString& url : urls) list.push_back(QUrl(url));
        return list;
    });
}

ChosenFiles::~ChosenFiles() {
    SetFileChooser({});
}

void CopyUrls(const QStringList& urls) {
    auto* mime = new QMimeData;
    QList<QUrl> list;
    for (const QString& url : urls) list.push_back(QUrl(url));
    mime->setUrls(list);
    mime->setText(urls.join(QLatin1Char('\n')));
    QGuiApplication::clipboard()->setMimeData(mime);
}

QStringList FileUrls(const std::vector<std::string>& paths) {
    QStringList urls;
    for (const std::string& path : paths) {
        // The name's bytes percent-encoded, as a file manager sends a name that is not UTF-8.
        urls.push_back(QStringLiteral("file://") +
                       QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding("/")));
    }
    return urls;
}

std::string WriteFakeCoder(const std::string& folder, double seconds) {
    const int naps = static_cast<int>(seconds * 20);
    return WriteScript(
        folder + "/fake-coder",
        "folder='" + folder +
            "'\n"
            "if [ \"$#\" -eq 2 ] && [ \"$1\" = -i ]; then\n"
            "  echo \"Input #0, avi, from '$2':\"\n"
            "  echo '  Duration: 00:00:01.00, start: 0.000000, bitrate: 1000 kb/s'\n"
            "  echo '  Stream #0:0: Video: mpeg4, yuv420p, 640x480 [SAR 1:1 DAR 4:3], 25 fps'\n"
            "  echo 'At least one output file must be specified'\n"
            "  exit 1\n"
            "fi\n"
            "for last in \"$@\"; do :; done\n"
            "last=${last#file:}\n"
            "name=${last##*/}\n"
            "name=${name#.lmk-partial-*-*-}\n"
            "echo \"$*\" >> \"$folder/arguments\"\n"
            "echo \"start $name\" >> \"$folder/journal\"\n"
            ": > \"${last%/*}/$name.started\"\n"
            "i=0\n" +
            (seconds == kUntilReleased ? std::string("while [ ! -e \"$folder/release\" ]")
                                       : "while [ $i -lt " + std::to_string(naps) + " ]") +
            "; do sleep 0.05; i=$((i + 1)); done\n"
            "echo converted > \"$last\"\n" +
            kDescribeOutput + "echo \"end $name\" >> \"$folder/journal\"");
}

void ReleaseFakeCoder(const std::string& folder) {
    WriteFile(folder + "/release", "");
}

std::vector<std::string> Journal(const std::string& folder) {
    return SplitLines(ReadFile(folder + "/journal"));
}

DropResult DropUrls(QWidget* target, const QStringList& urls) {
    QMimeData mime;
    QList<QUrl> list;
    for (const QString& url : urls) list.push_back(QUrl(url));
    mime.setUrls(list);
    // File managers offer the names as text too, which text boxes would take.
    mime.setText(urls.join(QLatin1Char('\n')));
    const QPoint centre = target->rect().center();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;

    DropResult result;
    QDragEnterEvent enter(centre, actions, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    result.enterAccepted = enter.isAccepted();
    QDropEvent drop(QPointF(centre), actions, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    result.dropAccepted = drop.isAccepted();
    result.dropAction = drop.dropAction();
    return result;
}

DropResult DropFiles(QWidget* target, const std::vector<std::string>& paths) {
    return DropUrls(target, FileUrls(paths));
}

Trigger::Trigger(std::function<bool()> condition, std::function<void()> action) {
    QObject::connect(&m_timer, &QTimer::timeout, [this, condition, action] {
        if (m_fired || !condition()) return;
        m_fired = true;
        m_timer.stop();
        action();
    });
    m_timer.start(20);
}

bool PumpUntil(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        QTest::qWait(20);
    }
    return true;
}

}  // namespace lmk::test

#include "added_files.h"

#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QStringList>

#include "guard.h"
#include "lmk1.h"

namespace lmk {
namespace {

const char* const kVideoExtensions[] = {
    "3g2", "3gp", "asf", "avi", "divx", "dv",  "f4v",  "flv",  "m2t", "m2ts",
    "m2v", "m4v", "mkv", "mov", "mp4",  "mpe", "mpeg", "mpg",  "mts", "mxf",
    "ogm", "ogv", "qt",  "rm",  "rmvb", "ts",  "vob",  "webm", "wmv",
};

FileChooser& Chooser() {
    static FileChooser chooser;
    return chooser;
}

}  // namespace

std::vector<std::string> LocalFiles(const QList<QUrl>& urls) {
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        const QByteArray path = QFile::encodeName(url.toLocalFile());
        if (!path.isEmpty()) paths.push_back(path.toStdString());
    }
    return paths;
}

std::vector<std::string> LocalFiles(const QMimeData* mime) {
    if (!mime || !mime->hasUrls()) return {};
    return LocalFiles(mime->urls());
}

QString VideoFileFilter() {
    QStringList lower;
    QStringList upper;
    for (const char* extension : kVideoExtensions) {
        lower.push_back(QStringLiteral("*.") + QLatin1String(extension));
        upper.push_back(lower.back().toUpper());
    }
    // Some desktops' dialogs match case by case, and cameras name their files in capitals.
    return QStringLiteral("Видеофайлы (") + (lower + upper).join(QLatin1Char(' ')) +
           QStringLiteral(");;Все файлы (*)");
}

void SetFileChooser(FileChooser chooser) {
    Chooser() = std::move(chooser);
}

QList<QUrl> ChooseFiles(QWidget* owner) {
    if (Chooser()) return Chooser()(owner, VideoFileFilter());
    // The coder is given paths: the dialog offers local files only.
    return QFileDialog::getOpenFileUrls(owner, QStringLiteral("Выберите файлы для конвертации"),
                                        QUrl(), VideoFileFilter(), nullptr, {},
                                        {QStringLiteral("file")});
}

FileKeys::FileKeys(TMainForm* form) : QObject(form), m_form(form) {
    form->installEventFilter(this);
    for (QWidget* control : form->findChildren<QWidget*>()) control->installEventFilter(this);
}

bool FileKeys::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
        return QObject::eventFilter(watched, event);
    }
    bool taken = false;
    Guard([&] { taken = TakeKey(static_cast<QKeyEvent*>(event)); });
    return taken;
}

// The key goes to the control with the focus, which would take Ctrl+V for its own paste; the
// window claims it first when the clipboard holds files.
bool FileKeys::TakeKey(QKeyEvent* key) {
    const bool open = key->matches(QKeySequence::Open);
    std::vector<std::string> pasted;
    if (!open) {
        if (!key->matches(QKeySequence::Paste)) return false;
        pasted = LocalFiles(QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard));
        // Text, and links to elsewhere, paste into the box with the focus as they always did.
        if (pasted.empty()) return false;
    }
    key->accept();
    if (key->type() == QEvent::ShortcutOverride) return true;
    // Refused like a drop: files are never pasted as text either. A held key adds them once.
    if (!m_form->DropsRegistered() || key->isAutoRepeat()) return true;
    if (open) {
        OpenFiles();
    } else {
        m_form->PostDrop(pasted);
    }
    return true;
}

void FileKeys::OpenFiles() {
    const std::vector<std::string> chosen = LocalFiles(ChooseFiles(m_form));
    if (!chosen.empty() && m_form->DropsRegistered()) m_form->PostDrop(chosen);
}

}  // namespace lmk

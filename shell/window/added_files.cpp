#include "added_files.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include "conversion_job.h"
#include "guard.h"
#include "lmk1.h"

namespace lmk {
namespace {

FileChooser& Chooser() {
    static FileChooser chooser;
    return chooser;
}

}  // namespace

std::string LocalFile(const QUrl& url) {
    // Another machine's file, or a "file:" with a relative path ("file:http://host/x.avi")
    // that the coder would take as an address.
    if (!url.isLocalFile() || (!url.host().isEmpty() && url.host() != QLatin1String("localhost")))
        return {};
    // The name's own bytes, undecoded: a name that is not UTF-8 would lose them through text.
    const QByteArray path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (!path.startsWith('/')) return {};
    return path.toStdString();
}

AddedFiles LocalFiles(const QList<QUrl>& urls) {
    AddedFiles added;
    for (const QUrl& url : urls) {
        std::string path = LocalFile(url);
        if (!path.empty()) {
            added.paths.push_back(std::move(path));
        } else if (!url.isEmpty()) {
            added.refused.push_back(url.toDisplayString().toStdString());
        }
    }
    return added;
}

AddedFiles LocalFiles(const QMimeData* mime) {
    if (!mime || !mime->hasUrls()) return {};
    return LocalFiles(mime->urls());
}

QString VideoFileFilter() {
    QStringList lower;
    QStringList upper;
    for (const std::string_view extension : VideoExtensions()) {
        lower.push_back(QStringLiteral("*.") +
                        QLatin1String(extension.data(), static_cast<qsizetype>(extension.size())));
        upper.push_back(lower.back().toUpper());
    }
    // Some desktops' dialogs match case by case, and cameras name their files in capitals.
    return TMainForm::tr("Видеофайлы (%1);;Все файлы (*)")
        .arg((lower + upper).join(QLatin1Char(' ')));
}

QString FileDialogFolder() {
    const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    return !videos.isEmpty() && QDir(videos).exists() ? videos : QDir::homePath();
}

void SetFileChooser(FileChooser chooser) {
    Chooser() = std::move(chooser);
}

void ChooseFiles(QWidget* owner, std::function<void(const QList<QUrl>&)> chosen) {
    if (Chooser()) {
        chosen(Chooser()(owner, VideoFileFilter()));
        return;
    }
    // Qt's own dialog keeps its history and last folder in QtProject.conf among the user's
    // settings, which no removal of the package takes away; the program keeps them in its
    // private folder, gone when it ends.
    if (!ModuleValues.WorkFolder.empty()) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(ModuleValues.WorkFolder));
    }
    // Opened, not run: a dialog's own loop would hold a job that runs in the window's handler
    // until the dialog closed.
    auto* dialog = new QFileDialog(owner, TMainForm::tr("Выберите файлы для конвертации"),
                                   FileDialogFolder(), VideoFileFilter());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    // The coder is given paths: the dialog offers local files only.
    dialog->setSupportedSchemes({QStringLiteral("file")});
    // Qt's own dialog tells only filesSelected; a platform's dialog tells urlsSelected and then
    // filesSelected with its local files, which are all it offers.
    QObject::connect(dialog, &QFileDialog::filesSelected, owner,
                     [chosen = std::move(chosen)](const QStringList& files) {
                         Guard([&] {
                             QList<QUrl> urls;
                             for (const QString& file : files) {
                                 urls.push_back(QUrl::fromLocalFile(file));
                             }
                             chosen(urls);
                         });
                     });
    dialog->open();
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
    AddedFiles pasted;
    if (!open) {
        if (!key->matches(QKeySequence::Paste)) return false;
        pasted = LocalFiles(QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard));
        // Text pastes into the box with the focus as it always did.
        if (pasted.Empty()) return false;
    }
    key->accept();
    if (key->type() == QEvent::ShortcutOverride) return true;
    // Refused like a drop: files are never pasted as text either. A held key adds them once.
    if (!m_form->DropsRegistered() || key->isAutoRepeat()) return true;
    if (open) {
        OpenFiles();
    } else {
        m_form->PostDrop(pasted.paths, pasted.refused);
    }
    return true;
}

void FileKeys::OpenFiles() {
    ChooseFiles(m_form, [form = m_form](const QList<QUrl>& urls) {
        const AddedFiles chosen = LocalFiles(urls);
        if (!chosen.Empty() && form->DropsRegistered())
            form->PostDrop(chosen.paths, chosen.refused);
    });
}

}  // namespace lmk

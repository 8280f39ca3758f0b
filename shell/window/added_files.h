#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QKeyEvent;
class QMimeData;
class QWidget;

namespace lmk {

class TMainForm;

// The file a URL names on this machine, its name's bytes as they are; empty for anything else
// (another host, a relative path, another scheme).
std::string LocalFile(const QUrl& url);

// What a drop, a paste or the dialog adds: the local files among its URLs, in their order, and
// the addresses of anything else, to be refused by name.
struct AddedFiles {
    std::vector<std::string> paths;
    std::vector<std::string> refused;
    bool Empty() const { return paths.empty() && refused.empty(); }
};
AddedFiles LocalFiles(const QList<QUrl>& urls);
AddedFiles LocalFiles(const QMimeData* mime);

// The file dialog's filters: video files by their common extensions, then all files.
QString VideoFileFilter();

// Where the file dialog opens: the user's Videos folder, or home where there is none.
QString FileDialogFolder();

// When set, the chooser is asked instead of the file dialog being shown, so that tests never
// wait for a person.
using FileChooser = std::function<QList<QUrl>(QWidget* owner, const QString& filter)>;
void SetFileChooser(FileChooser chooser);

// Opens the desktop's file dialog, several files at once, and returns at once; `chosen` gets
// the files once the user has chosen them, and is not called when the dialog is cancelled.
void ChooseFiles(QWidget* owner, std::function<void(const QList<QUrl>&)> chosen);

// Files added to the window without dragging, following the drop's rules: Ctrl+O chooses them
// in the file dialog, Ctrl+V pastes files copied in a file manager, wherever the focus is.
class FileKeys : public QObject {
    Q_OBJECT

public:
    // Watches the window and every control it holds now.
    explicit FileKeys(TMainForm* form);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool TakeKey(QKeyEvent* key);
    void OpenFiles();

    TMainForm* m_form;
};

}  // namespace lmk

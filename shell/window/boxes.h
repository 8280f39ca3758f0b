#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QString>

class QMessageBox;
class QWidget;

namespace lmk {

class Exception;

enum class BoxKind { Error, Information };

// When set, boxes are handed to the recorder instead of being shown, so that tests never wait
// for a person.
using BoxRecorder = std::function<void(BoxKind kind, const QString& title, const QString& text)>;
void SetBoxRecorder(BoxRecorder recorder);

// CR, LF and CR LF each start a new line.
QString BoxText(const std::string& text);

// The boxes as they are shown, for ShowErrorBox and ShowInfoBox (and for tests to look at).
std::unique_ptr<QMessageBox> MakeErrorBox(const Exception& failure, QWidget* owner);
std::unique_ptr<QMessageBox> MakeInfoBox(const std::string& text, QWidget* owner);

// The error box: title ApplicationTitle, the message after the period rule, the error icon, OK.
void ShowErrorBox(const Exception& failure);
// The information box: title ApplicationTitle, the text, no icon, one "OK" for Enter and Esc.
void ShowInfoBox(const std::string& text);
// Releases a held mouse grab (a pressed button, a drag), then shows the error box.
void ReportFailure(const Exception& failure);

}  // namespace lmk

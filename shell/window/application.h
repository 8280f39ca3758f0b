#pragma once

#include <QApplication>
#include <QString>

namespace lmk {

// The title of every box, fixed when the application object is made.
extern QString ApplicationTitle;

// The program file's name after the last "/", cut at its first ".", every character after the
// first lower-cased: "MYCONV.EXE" gives "Myconv".
QString ApplicationTitleFrom(const QString& programPath);

// Makes the Tahoma the window is drawn in known to the application when the system has it
// (Debian's fonts-wine carries one with Cyrillic letters); otherwise Tahoma stands for the
// system's sans font.
void RegisterWindowFonts();

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    // The last guard: a failure that some handler let through is still shown, not fatal.
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace lmk

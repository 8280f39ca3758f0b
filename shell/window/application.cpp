#include "application.h"

#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QTranslator>

#include "guard.h"
#include "language.h"
#include "posix_platform.h"

namespace lmk {
namespace {

constexpr const char* kWindowFontFamily = "Tahoma";
// Only the regular face: Wine's tahomabd.ttf is named bold but its outlines are regular, so
// bold text drawn with it looks plain. Without it Qt emboldens the regular face.
constexpr const char* kWindowFontFile = "/usr/share/wine/fonts/tahoma.ttf";

}  // namespace

QString ApplicationTitle;

QString ApplicationTitleFrom(const QString& programPath) {
    QString name = programPath.mid(programPath.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype stop = name.indexOf(QLatin1Char('.'));
    if (stop >= 0) name.truncate(stop);
    if (name.isEmpty()) return name;
    // The first character may be a surrogate pair; keep it whole.
    const qsizetype first = name.at(0).isHighSurrogate() && name.size() > 1 ? 2 : 1;
    return name.left(first) + name.mid(first).toLower();
}

void RegisterWindowFonts() {
    if (QFontDatabase::hasFamily(QString::fromLatin1(kWindowFontFamily))) return;
    if (QFile::exists(QString::fromLatin1(kWindowFontFile))) {
        QFontDatabase::addApplicationFont(QString::fromLatin1(kWindowFontFile));
    }
    if (!QFontDatabase::hasFamily(QString::fromLatin1(kWindowFontFamily))) {
        QFont::insertSubstitution(QString::fromLatin1(kWindowFontFamily),
                                  QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
    }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    ApplicationTitle = ApplicationTitleFrom(QFile::decodeName(ProgramPath().c_str()));
    // Naming the format spares the icon engine's probing, a measurable part of the start.
    setWindowIcon(QIcon(QPixmap(QStringLiteral(":/MAINICON"), "PNG")));
    setDesktopFileName(QStringLiteral("org.example.lmk_video"));
    RegisterWindowFonts();
    installTranslator(&ProgramTranslator());
    // The desktop's own dialogs (the file dialog, the buttons Qt names) speak the window's
    // language where it is Russian, else the user's.
    const QLocale dialogs =
        ProgramLanguage() == Language::Russian ? QLocale(QLocale::Russian) : QLocale::system();
    auto* translator = new QTranslator(this);
    if (translator->load(dialogs, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        installTranslator(translator);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    bool handled = false;
    Guard([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

}  // namespace lmk

// A stand-in for a file manager's copy in the desktop tests: puts the files named on its command
// line on the X clipboard, as URLs and as text, as file managers do ("--text TEXT": that text
// only), and serves it until another program takes the clipboard or it is ended. Writes one
// line per event into the file named first:
//   "owner"          once it holds the clipboard
//   "sent FORMAT"    each time another program was given the data in that format
#include <cstdio>

#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

namespace {

std::FILE* g_report = nullptr;

void Report(const QString& line) {
    std::fprintf(g_report, "%s\n", line.toUtf8().constData());
    std::fflush(g_report);
}

// Tells when the data has been handed over, so that a test knows a paste has read it.
class ReportedData : public QMimeData {
protected:
    QVariant retrieveData(const QString& format, QMetaType type) const override {
        Report(QStringLiteral("sent ") + format);
        return QMimeData::retrieveData(format, type);
    }
};

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QStringList arguments = QGuiApplication::arguments().mid(1);
    if (arguments.isEmpty()) {
        std::fprintf(stderr, "usage: lmk_clipboard_source REPORT (--text TEXT | FILE...)\n");
        return 64;
    }
    g_report = std::fopen(QFile::encodeName(arguments.takeFirst()).constData(), "a");
    if (!g_report) return 1;

    auto* data = new ReportedData;
    if (arguments.value(0) == QStringLiteral("--text")) {
        data->setText(arguments.value(1));
    } else {
        QList<QUrl> urls;
        QStringList paths;
        for (const QString& argument : arguments) {
            paths.append(QFileInfo(argument).absoluteFilePath());
            urls.append(QUrl::fromLocalFile(paths.back()));
        }
        data->setUrls(urls);
        data->setText(paths.join(QLatin1Char('\n')));
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setMimeData(data);
    if (!clipboard->ownsClipboard()) {
        std::fprintf(stderr, "the clipboard could not be taken\n");
        return 1;
    }
    Report(QStringLiteral("owner"));
    QObject::connect(clipboard, &QClipboard::dataChanged, [clipboard] {
        if (!clipboard->ownsClipboard()) QGuiApplication::quit();
    });
    return application.exec();
}

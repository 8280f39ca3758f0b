// A stand-in for a file manager in the desktop tests: a window that, when the mouse is pressed on
// it, starts a real drag of the files named on its command line, as URLs and as text. The drag's
// outcome is printed on standard output ("drag ended: copy", "link", "move" or "none"), and the
// program ends once the target is done with the drag.
#include <cstdio>

#include <QApplication>
#include <QDrag>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QUrl>
#include <QWidget>

namespace {

// A target that never says it is finished.
constexpr int kFinishLimitMilliseconds = 10000;

const char* ActionName(Qt::DropAction action) {
    switch (action) {
        case Qt::CopyAction:
            return "copy";
        case Qt::LinkAction:
            return "link";
        case Qt::MoveAction:
            return "move";
        default:
            return "none";
    }
}

class DragSource : public QWidget {
public:
    explicit DragSource(QStringList files) : m_files(std::move(files)) {
        setWindowTitle(QStringLiteral("lmk drag source"));
        // A press here must leave the keyboard focus where the test put it.
        setWindowFlag(Qt::WindowDoesNotAcceptFocus);
        setAutoFillBackground(true);
        QPalette colours = palette();
        colours.setColor(QPalette::Window, QColor(230, 236, 245));
        setPalette(colours);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawText(rect().adjusted(6, 6, -6, -6), Qt::AlignLeft | Qt::AlignTop,
                         m_files.join(QLatin1Char('\n')));
    }

    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return;
        QList<QUrl> urls;
        for (const QString& file : m_files) urls.append(QUrl::fromLocalFile(file));
        auto* mime = new QMimeData;
        mime->setUrls(urls);
        mime->setText(m_files.join(QLatin1Char('\n')));
        // On the heap, as Qt deletes it itself: the target may still fetch the data after exec()
        // has returned.
        auto* drag = new QDrag(this);
        drag->setMimeData(mime);
        const Qt::DropAction outcome =
            drag->exec(Qt::CopyAction | Qt::LinkAction | Qt::MoveAction, Qt::CopyAction);
        std::printf("drag ended: %s\n", ActionName(outcome));
        std::fflush(stdout);
        // One drag is all a test needs. A target that took the drop fetches the data after
        // exec() has returned; Qt lets the drag go once the target says it is finished with it.
        // A drop no one took has nothing left to serve.
        if (outcome == Qt::IgnoreAction) {
            QTimer::singleShot(0, qApp, &QApplication::quit);
        } else {
            connect(drag, &QObject::destroyed, qApp, &QApplication::quit, Qt::QueuedConnection);
            QTimer::singleShot(kFinishLimitMilliseconds, qApp, &QApplication::quit);
        }
    }

private:
    QStringList m_files;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments().mid(1);
    QStringList files;
    for (const QString& argument : arguments) files.append(QFileInfo(argument).absoluteFilePath());
    DragSource window(files);
    // Top left, clear of the program's window, which centres itself.
    window.setGeometry(0, 0, 240, 120);
    window.show();
    return application.exec();
}

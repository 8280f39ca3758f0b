#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QFileDialog>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>

#include "added_files.h"
#include "application.h"
#include "boxes.h"
#include "conversion_job.h"
#include "failures.h"
#include "kept_distances.h"
#include "lmk1.h"
#include "shell_test_support.h"
#include "stop_signal_watch.h"
#include "stop_signals.h"
#include "test_child.h"
#include "test_environment.h"
#include "test_files.h"

namespace lmk {
namespace {

using test::BoxLog;
using test::ChosenFiles;
using test::CopyUrls;
using test::DropFiles;
using test::DropResult;
using test::DropUrls;
using test::Exists;
using test::FileUrls;
using test::Journal;
using test::kUntilReleased;
using test::MakeWindow;
using test::PumpUntil;
using test::ReadFile;
using test::ReleaseFakeCoder;
using test::ScratchFolder;
using test::Trigger;
using test::WriteFakeCoder;
using test::WriteFile;

QString Text(const QWidget* control) {
    if (auto* label = qobject_cast<const QLabel*>(control)) return label->text();
    if (auto* button = qobject_cast<const QPushButton*>(control)) return button->text();
    if (auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text();
    if (auto* log = qobject_cast<const QPlainTextEdit*>(control)) return log->toPlainText();
    return {};
}

std::vector<std::string> LogLines(const TMainForm& form) {
    std::vector<std::string> lines;
    for (QTextBlock block = form.mLog->document()->begin(); block.isValid(); block = block.next()) {
        lines.push_back(block.text().toStdString());
    }
    return lines;
}

// The ways files reach the window: dragged onto it, chosen with Ctrl+O, pasted with Ctrl+V.
enum class Way { Drag, Open, Paste };
const struct {
    Way way;
    const char* name;
} kWays[] = {{Way::Drag, "drag"}, {Way::Open, "Ctrl+O"}, {Way::Paste, "Ctrl+V"}};

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        form = MakeWindow(platform);
        ASSERT_TRUE(boxes.boxes.empty()) << boxes.boxes[0].text.toStdString();
        finished = std::make_unique<QSignalSpy>(form.get(), &TMainForm::jobFinished);
    }

    // Points the window at a stand-in coder; the one it wrote stays untouched.
    void UseFakeCoder(double seconds) {
        ModuleValues.CoderPath = WriteFakeCoder(scratch.Path(), seconds);
    }

    std::string Clip(const std::string& name) {
        WriteFile(scratch / name, "not really a video");
        return scratch / name;
    }

    void ShowAndActivate() {
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }

    bool WaitForJobs(int count = 1) {
        return PumpUntil([&] { return finished->count() >= count; });
    }

    // Adds the URLs by `way`: dropped on `target`, or with the keys pressed where it has the
    // focus. Only a drag tells whether it was taken.
    DropResult AddUrls(Way way, QWidget* target, const QStringList& urls) {
        if (way == Way::Drag) return DropUrls(target, urls);
        if (way == Way::Open) {
            chosen.urls = urls;
        } else {
            CopyUrls(urls);
        }
        target->setFocus();
        QTest::keyClick(target, way == Way::Open ? Qt::Key_O : Qt::Key_V, Qt::ControlModifier);
        return {};
    }

    BoxLog boxes;
    ChosenFiles chosen;
    ScratchFolder scratch;
    test::WindowPlatform platform;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<QSignalSpy> finished;
};

// --- The window definition ---

TEST_F(MainWindowTest, CaptionClientAreaAndIcon) {
    EXPECT_EQ(form->windowTitle(), QStringLiteral("ЛМК-Видео"));
    // Assistive technology is told it is the program's window, by its title.
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(form.get());
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->role(), QAccessible::Window);
    EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("ЛМК-Видео"));
    EXPECT_EQ(form->size(), QSize(343, 177));
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_EQ(form->font().family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(form->font().pixelSize(), 11);
    EXPECT_FALSE(form->font().bold());
}

TEST_F(MainWindowTest, EveryControlAsDefined) {
    const struct {
        const char* name;
        QWidget* control;
        QRect geometry;
        const char* text;
        int fontPixels;
        bool bold;
        bool takesFocus;
        const char*
            accessibleName;  // every control that takes the focus has one, and a description
    } controls[] = {
        {"lX", form->lX, {167, 3, 10, 19}, "x", 16, true, false, ""},
        {"lSize", form->lSize, {8, 8, 84, 13}, "Размер видео:", 11, true, false, ""},
        {"bExit", form->bExit, {260, 144, 75, 25}, "Выход", 11, false, true, "Выход"},
        {"mLog",
         form->mLog,
         {8, 32, 329, 106},
         "Перетащите сюда файлы, требующие конвертации.",
         11,
         true,
         true,
         "Журнал"},
        {"edW", form->edW, {104, 5, 57, 21}, "320", 11, false, true, "Ширина видео"},
        {"edH", form->edH, {183, 5, 57, 21}, "240", 11, false, true, "Высота видео"},
        {"bAbout",
         form->bAbout,
         {8, 144, 105, 25},
         "О программе...",
         11,
         false,
         true,
         "О программе"},
    };
    // The label names the width box it stands before.
    EXPECT_EQ(form->lSize->buddy(), form->edW);
    // Created in this order, so later ones lie on top.
    QStringList created;
    for (QObject* child : form->children()) {
        if (child->isWidgetType()) created.push_back(child->objectName());
    }
    EXPECT_EQ(created, QStringList({"lX", "lSize", "bExit", "mLog", "edW", "edH", "bAbout"}));

    const bool tahomaInstalled = QFile::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"));
    for (const auto& c : controls) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.control, nullptr);
        EXPECT_EQ(c.control->objectName(), QString::fromLatin1(c.name));
        EXPECT_EQ(c.control->geometry(), c.geometry);
        EXPECT_EQ(Text(c.control).toStdString(), c.text);
        EXPECT_EQ(c.control->font().family(), QStringLiteral("Tahoma"));
        EXPECT_EQ(c.control->font().pixelSize(), c.fontPixels);
        EXPECT_EQ(c.control->font().bold(), c.bold);
        if (tahomaInstalled) {
            EXPECT_EQ(QFontInfo(c.control->font()).family(), "Tahoma");
        }
        EXPECT_EQ(c.control->focusPolicy() != Qt::NoFocus, c.takesFocus);
        EXPECT_EQ(c.control->accessibleName().toStdString(), c.accessibleName);
        EXPECT_EQ(c.control->accessibleDescription().isEmpty(), !c.takesFocus);
    }
}

// Ink of `text` drawn in black with `font`: bold text must carry visibly more.
int Ink(const QFont& font, const QString& text) {
    QImage image(200, 40, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignLeft | Qt::AlignVCenter, text);
    painter.end();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) ink += 255 - row[x];
    }
    return ink;
}

TEST_F(MainWindowTest, BoldTextIsDrawnBold) {
    QFont bold = form->lSize->font();
    ASSERT_TRUE(bold.bold());
    QFont plain = bold;
    plain.setBold(false);
    const QString text = form->lSize->text();
    EXPECT_GT(Ink(bold, text), Ink(plain, text) * 6 / 5);
}

TEST_F(MainWindowTest, LogIsReadOnlyWrappedAndSelectable) {
    QPlainTextEdit* log = form->mLog;
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(log->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    EXPECT_TRUE(log->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_FALSE(log->textInteractionFlags() & Qt::TextEditable);
    EXPECT_EQ(log->palette().color(QPalette::Base), log->palette().color(QPalette::Button));
    EXPECT_EQ(LogLines(*form).size(), 1u);
}

TEST_F(MainWindowTest, ResizingKeepsTheAnchoredDistances) {
    ShowAndActivate();
    for (const QSize client : {QSize(443, 277), QSize(300, 150), QSize(343, 177)}) {
        SCOPED_TRACE(client.width());
        form->resize(client);
        const int w = client.width();
        const int h = client.height();
        EXPECT_EQ(form->mLog->geometry(), QRect(8, 32, w - 8 - 6, h - 32 - 39));
        EXPECT_EQ(form->bExit->geometry(), QRect(w - 8 - 75, h - 8 - 25, 75, 25));
        EXPECT_EQ(form->bAbout->geometry(), QRect(w - 230 - 105, h - 8 - 25, 105, 25));
        EXPECT_EQ(form->lX->geometry(), QRect(167, 3, 10, 19));
        EXPECT_EQ(form->lSize->geometry(), QRect(8, 8, 84, 13));
        EXPECT_EQ(form->edW->geometry(), QRect(104, 5, 57, 21));
        EXPECT_EQ(form->edH->geometry(), QRect(183, 5, 57, 21));
    }
    form->resize(443, 277);
    EXPECT_EQ(form->mLog->size(), QSize(429, 206));
    EXPECT_EQ(form->bExit->pos(), QPoint(360, 244));
    EXPECT_EQ(form->bAbout->pos(), QPoint(108, 244));
}

// A label keeps its designed size where its text fits, and grows to its text where a wider font
// stands in for Tahoma; the controls beside it stay.
TEST_F(MainWindowTest, LabelsGrowToAWiderFontsTextOnly) {
    const struct {
        const char* name;
        int fontPixels;
        bool grows;
    } cases[] = {{"designed font", 11, false}, {"wider font", 16, true}};
    const auto others = [&] {
        std::vector<QRect> geometries;
        for (const QWidget* control : std::initializer_list<const QWidget*>{
                 form->edW, form->edH, form->lX, form->mLog, form->bExit}) {
            geometries.push_back(control->geometry());
        }
        return geometries;
    };
    const std::vector<QRect> designed = others();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFont font = form->lSize->font();
        font.setPixelSize(c.fontPixels);
        form->lSize->setFont(font);
        FitLabelsToText(form.get());
        const QRect label = form->lSize->geometry();
        EXPECT_EQ(label.topLeft(), QPoint(8, 8));
        EXPECT_GE(label.width(), form->lSize->fontMetrics().horizontalAdvance(form->lSize->text()));
        EXPECT_EQ(label.size() == QSize(84, 13), !c.grows);
        EXPECT_EQ(others(), designed);
    }
}

TEST_F(MainWindowTest, FocusStartsOnExitAndTabWalksTheDefinedOrder) {
    ShowAndActivate();
    EXPECT_EQ(QApplication::focusWidget(), form->bExit);
    const std::vector<QWidget*> order = {form->mLog, form->edW, form->edH, form->bAbout,
                                         form->bExit};
    for (QWidget* expected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected) << expected->objectName().toStdString();
        // An edit box entered with the keyboard has its whole text selected.
        if (auto* edit = qobject_cast<QLineEdit*>(expected)) {
            EXPECT_EQ(edit->selectedText(), edit->text());
        }
    }
}

TEST_F(MainWindowTest, SpaceOrEnterRightAfterTheStartClosesTheWindow) {
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
        ShowAndActivate();
        ASSERT_EQ(QApplication::focusWidget(), form->bExit);
        QTest::keyClick(QApplication::focusWidget(), key);
        EXPECT_FALSE(form->isVisible()) << key;
    }
}

TEST_F(MainWindowTest, CentredOnTheDesktopWhenFirstShown) {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QRect desktop = form->screen()->virtualGeometry();
    const QSize outer = form->frameGeometry().size();
    EXPECT_EQ(form->frameGeometry().topLeft(),
              QPoint(desktop.left() + desktop.width() / 2 - outer.width() / 2,
                     desktop.top() + desktop.height() / 2 - outer.height() / 2));
}

// Failure lines past the fourth must still be reachable.
TEST_F(MainWindowTest, LogScrollsOnlyWhenItsLinesOverflow) {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QScrollBar* bar = form->mLog->verticalScrollBar();
    form->ClearLog();
    form->AddLogLine("Обрабатывается файл clip.avi... ");
    form->AddLogLine("Готово!");
    QCoreApplication::processEvents();
    EXPECT_FALSE(bar->isVisible());
    for (int i = 0; i < 10; ++i)
        form->AddLogLine("Не удалось сконвертировать файл " + std::to_string(i));
    EXPECT_TRUE(PumpUntil([&] { return bar->isVisible(); })) << bar->maximum();
}

// --- The log operations ---

TEST_F(MainWindowTest, LogLinesAreWholeBlocksHoweverTheyWrap) {
    form->ClearLog();
    EXPECT_TRUE(form->mLog->toPlainText().isEmpty());
    EXPECT_EQ(form->AddLogLine("first"), 0);
    const std::string longLine(400, 'w');
    EXPECT_EQ(form->AddLogLine(longLine), 1);
    EXPECT_EQ(form->AddLogLine("third"), 2);
    form->ReplaceLogLine(1, "second");
    EXPECT_EQ(LogLines(*form), (std::vector<std::string>{"first", "second", "third"}));
    form->ReplaceLogLine(1, longLine + " again");
    EXPECT_EQ(LogLines(*form), (std::vector<std::string>{"first", longLine + " again", "third"}));

    // A line break inside a text does not make a second line.
    form->ClearLog();
    EXPECT_EQ(form->AddLogLine("a\nb"), 0);
    EXPECT_EQ(form->AddLogLine("c"), 1);
    form->ReplaceLogLine(0, "d\r\ne");
    EXPECT_EQ(form->mLog->document()->blockCount(), 2);
    EXPECT_EQ(form->mLog->toPlainText(), QStringLiteral("d\ne\nc"));
}

TEST_F(MainWindowTest, AnEmptyFirstLineStillCounts) {
    form->ClearLog();
    EXPECT_EQ(form->AddLogLine(""), 0);
    EXPECT_EQ(form->AddLogLine("next"), 1);
    EXPECT_EQ(LogLines(*form), (std::vector<std::string>{"", "next"}));
}

TEST_F(MainWindowTest, LogStartsBoldAndTurnsPlainForAFile) {
    EXPECT_TRUE(form->mLog->font().bold());
    form->ClearLog();
    EXPECT_FALSE(form->mLog->font().bold());
    EXPECT_EQ(form->mLog->font().pixelSize(), 11);
}

// --- Drops and the job ---

TEST_F(MainWindowTest, DropRunsAJobWithItsLinesMarksAndExitMeanings) {
    UseFakeCoder(kUntilReleased);
    const std::string clip = Clip("trip.avi");
    const std::string status = StatusLine("trip.avi");

    std::vector<std::string> firstLines;
    std::vector<ExitMeaning> meanings;
    QStringList titles;
    QObject::connect(form->mLog->document(), &QTextDocument::contentsChanged, [&] {
        const std::string first = form->mLog->document()->firstBlock().text().toStdString();
        if (firstLines.empty() || firstLines.back() != first) firstLines.push_back(first);
        meanings.push_back(form->CurrentExitMeaning());
        titles.push_back(form->windowTitle());
    });
    // The coder runs on until the mark has turned over several ticks.
    Trigger release([&] { return firstLines.size() >= 4; },
                    [&] { ReleaseFakeCoder(scratch.Path()); });

    ASSERT_EQ(form->CurrentExitMeaning(), ExitMeaning::Close);
    const auto drop = DropFiles(form.get(), {clip});
    EXPECT_TRUE(drop.enterAccepted);
    EXPECT_TRUE(drop.dropAccepted);
    EXPECT_EQ(drop.dropAction, Qt::CopyAction);  // never a move: the source keeps its files
    ASSERT_TRUE(WaitForJobs());

    EXPECT_EQ(LogLines(*form), (std::vector<std::string>{status, DoneLine()}));
    EXPECT_FALSE(form->mLog->font().bold());
    EXPECT_EQ(ReadFile(scratch / "lmk-trip.avi"), "converted\n");
    // Written to a partial file of its own, which then took the output's name.
    const std::string arguments = ReadFile(scratch / "arguments");
    EXPECT_EQ(arguments.rfind("-i file:" + clip +
                                  " -vf scale=320:240,setsar=1 -acodec libmp3lame -nostats "
                                  "-progress pipe:3 -y -truncate 0 file:" +
                                  scratch.Path() + "/.lmk-partial-",
                              0),
              0u)
        << arguments;
    EXPECT_TRUE(arguments.ends_with("-lmk-trip.avi\n")) << arguments;

    // The marks turn "/", "-", "\", "|", ... while the coder runs (it takes over two ticks).
    std::vector<char> marks;
    for (const std::string& line : firstLines) {
        if (line.size() == status.size() + 1 && line.compare(0, status.size(), status) == 0) {
            marks.push_back(line.back());
        }
    }
    ASSERT_GE(marks.size(), 2u);
    for (std::size_t i = 0; i < marks.size(); ++i) EXPECT_EQ(marks[i], SpinnerMark(i + 1)) << i;

    // Stop meaning while the job wrote the log, close meaning again after it.
    ASSERT_FALSE(meanings.empty());
    EXPECT_EQ(meanings.front(), ExitMeaning::Stop);
    EXPECT_EQ(form->CurrentExitMeaning(), ExitMeaning::Close);
    EXPECT_TRUE(boxes.boxes.empty());

    // The title tells the job's progress while it runs, and the end is told to assistive
    // technology.
    EXPECT_TRUE(titles.contains(QStringLiteral("0% · 1/1 — ЛМК-Видео")))
        << titles.join(u'|').toStdString();
    EXPECT_EQ(form->windowTitle().toStdString(), "ЛМК-Видео");
    EXPECT_EQ(form->mLog->accessibleDescription().toStdString(), DoneLine());
}

TEST_F(MainWindowTest, DropsOnEveryControlReachTheWindow) {
    UseFakeCoder(0);
    const std::string clip = Clip("on control.avi");
    const std::vector<QWidget*> targets = {form->mLog,  form->mLog->viewport(),
                                           form->edW,   form->edH,
                                           form->lX,    form->lSize,
                                           form->bExit, form->bAbout};
    int jobs = 0;
    for (QWidget* target : targets) {
        SCOPED_TRACE(target->objectName().toStdString());
        form->ClearLog();
        const auto drop = DropFiles(target, {clip});
        EXPECT_TRUE(drop.enterAccepted);
        EXPECT_TRUE(drop.dropAccepted);
        ASSERT_TRUE(WaitForJobs(++jobs));
        EXPECT_EQ(LogLines(*form),
                  (std::vector<std::string>{StatusLine("on control.avi"), DoneLine()}));
    }
    // Text boxes took none of it as text.
    EXPECT_EQ(form->edW->text(), QStringLiteral("320"));
    EXPECT_EQ(form->edH->text(), QStringLiteral("240"));
}

TEST_F(MainWindowTest, FilesChosenOrPastedRunAsADropWhereverTheFocusIs) {
    ShowAndActivate();
    UseFakeCoder(0);
    const std::string clip = Clip("by key.avi");
    const std::vector<QWidget*> focused = {form.get(), form->bExit, form->mLog,
                                           form->edW,  form->edH,   form->bAbout};
    int jobs = 0;
    for (const Way way : {Way::Open, Way::Paste}) {
        for (QWidget* target : focused) {
            SCOPED_TRACE(target->objectName().toStdString());
            form->ClearLog();
            AddUrls(way, target, FileUrls({clip}));
            ASSERT_TRUE(WaitForJobs(++jobs));
            EXPECT_EQ(LogLines(*form),
                      (std::vector<std::string>{StatusLine("by key.avi"), DoneLine()}));
        }
    }
    // A held Ctrl+V repeats: the repeats add nothing more.
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, QString(), true);
    QCoreApplication::sendEvent(form->edW, &repeat);
    QCoreApplication::processEvents();
    EXPECT_EQ(finished->count(), jobs);
    // The boxes took no file name as text, and the dialog was asked once for each Ctrl+O.
    EXPECT_EQ(form->edW->text(), QStringLiteral("320"));
    EXPECT_EQ(form->edH->text(), QStringLiteral("240"));
    EXPECT_EQ(chosen.filtersAsked.size(), static_cast<qsizetype>(focused.size()));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(MainWindowTest, TextOnTheClipboardStillPastesIntoTheSizeBoxesAndLinksAreRefused) {
    const struct {
        const char* label;
        QStringList urls;  // none: plain text only
        QString text;
        std::string refusal = {};  // the log's last line: a link is no text, nor a file
    } cases[] = {
        {"plain text", {}, QStringLiteral("640")},
        {"a link elsewhere",
         {QStringLiteral("https://example.org/clip.avi")},
         {},
         "Не удалось сконвертировать файл https://example.org/clip.avi: это адрес, а не "
         "локальный файл"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.urls.isEmpty()) {
            QGuiApplication::clipboard()->setText(c.text);
        } else {
            CopyUrls(c.urls);
        }
        const QString pasted = QGuiApplication::clipboard()->text();
        ASSERT_FALSE(pasted.isEmpty());
        for (QLineEdit* box : {form->edW, form->edH}) {
            box->clear();
            box->setFocus();
            QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
            if (c.refusal.empty()) {
                EXPECT_EQ(box->text(), pasted);
            } else {
                QCoreApplication::processEvents();
                EXPECT_EQ(box->text(), QString());
                EXPECT_EQ(LogLines(*form).back(), c.refusal);
            }
        }
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(finished->count(), 0);
}

TEST_F(MainWindowTest, TheFileDialogOffersVideoFilesThenAllFiles) {
    const QStringList filters = VideoFileFilter().split(QStringLiteral(";;"));
    ASSERT_EQ(filters.size(), 2);
    EXPECT_TRUE(filters[0].startsWith(QStringLiteral("Видеофайлы (*.")));
    for (const char* extension : {"mp4", "mov", "mkv", "webm", "avi", "wmv", "flv", "3gp", "m4v",
                                  "mpg", "mpeg", "ts", "ogv", "mts", "vob"}) {
        SCOPED_TRACE(extension);
        const QString pattern = QStringLiteral("*.") + QLatin1String(extension);
        EXPECT_TRUE(
            filters[0].split(QRegularExpression(QStringLiteral("[( )]"))).contains(pattern));
        EXPECT_TRUE(filters[0].contains(pattern.toUpper()));
    }
    EXPECT_EQ(filters[1], QStringLiteral("Все файлы (*)"));
    // Qt's own dialog reads the same two filters out of it.
    QFileDialog dialog;
    dialog.setNameFilter(VideoFileFilter());
    EXPECT_EQ(dialog.nameFilters(), filters);

    // A cancelled dialog chooses nothing, and nothing runs.
    AddUrls(Way::Open, form.get(), {});
    ASSERT_EQ(chosen.filtersAsked, QStringList({VideoFileFilter()}));
    QCoreApplication::processEvents();
    EXPECT_EQ(finished->count(), 0);
    EXPECT_EQ(LogLines(*form).size(), 1u);
}

TEST_F(MainWindowTest, OnlyLocalFilesCountInTheDropsOrder) {
    UseFakeCoder(0);
    // A name that is not UTF-8 keeps its bytes.
    const std::string first = Clip("b\xff.avi");
    const std::string second = Clip("a.avi");
    const QString remote = QStringLiteral("https://example.org/clip.avi");
    // A "file:" URL with a relative path would reach the coder as an address.
    const QString relative = QStringLiteral("file:http://127.0.0.1:8765/x.avi");
    const QStringList mixed = {FileUrls({first})[0], remote, relative, FileUrls({second})[0]};

    int jobs = 0;
    for (const auto& w : kWays) {
        SCOPED_TRACE(w.name);
        WriteFile(scratch / "journal", "");
        const auto remoteOnly = AddUrls(w.way, form.get(), {remote});
        const auto mixedDrop = AddUrls(w.way, form.get(), mixed);
        if (w.way == Way::Drag) {
            EXPECT_TRUE(remoteOnly.dropAccepted);  // to be refused with a line
            EXPECT_TRUE(mixedDrop.dropAccepted);
        }
        ASSERT_TRUE(WaitForJobs(++jobs));
        QCoreApplication::processEvents();
        EXPECT_EQ(finished->count(), jobs);  // the remote-only addition ran nothing
        EXPECT_EQ(Journal(scratch.Path()),
                  (std::vector<std::string>{"start lmk-b\xff.avi", "end lmk-b\xff.avi",
                                            "start lmk-a.avi", "end lmk-a.avi"}));
        const std::string refused = ": это адрес, а не локальный файл";
        EXPECT_EQ(
            LogLines(*form),
            (std::vector<std::string>{
                StatusLine("a.avi"), DoneLine(),
                "Не удалось сконвертировать файл https://example.org/clip.avi" + refused,
                "Не удалось сконвертировать файл file:http://127.0.0.1:8765/x.avi" + refused}));
    }
}

TEST_F(MainWindowTest, ExitDuringAConversionEndsTheCoderAndClosesTheWindow) {
    ShowAndActivate();
    UseFakeCoder(60);
    const std::string clip = Clip("long.avi");
    const std::string output = scratch / "lmk-long.avi";
    bool stillVisibleAfterClick = false;
    Trigger pressExit([&] { return Exists(output + ".started"); },
                      [&] {
                          form->bExit->click();
                          stillVisibleAfterClick = form->isVisible();
                      });

    ASSERT_TRUE(DropFiles(form.get(), {clip}).dropAccepted);
    ASSERT_TRUE(WaitForJobs());

    EXPECT_TRUE(pressExit.Fired());
    EXPECT_TRUE(stillVisibleAfterClick);  // the stop meaning does not close by itself
    EXPECT_TRUE(ModuleValues.StopRequested);
    EXPECT_FALSE(Exists(output));  // ended before it wrote anything, and a partial one goes
    EXPECT_EQ(Journal(scratch.Path()), (std::vector<std::string>{"start lmk-long.avi"}));
    // Stopped, not done.
    EXPECT_EQ(LogLines(*form), (std::vector<std::string>{StatusLine("long.avi")}));
    EXPECT_EQ(form->CurrentExitMeaning(), ExitMeaning::Close);
    EXPECT_FALSE(form->isVisible());  // a stopped job closes the window once it has returned
}

// However quick the files, the window takes its events between them: an Exit waiting when the
// job starts stops it before the second file.
TEST_F(MainWindowTest, ExitBetweenQuickFilesEndsTheJob) {
    ShowAndActivate();
    UseFakeCoder(0);
    const std::vector<std::string> clips = {Clip("one.avi"), Clip("two.avi"), Clip("three.avi")};
    ASSERT_TRUE(DropFiles(form.get(), clips).dropAccepted);
    QMetaObject::invokeMethod(
        form.get(), [&] { form->bExit->click(); }, Qt::QueuedConnection);
    ASSERT_TRUE(WaitForJobs());

    const std::vector<std::string> journal = Journal(scratch.Path());
    EXPECT_TRUE(std::find(journal.begin(), journal.end(), "start lmk-two.avi") == journal.end());
    EXPECT_FALSE(Exists(scratch / "lmk-three.avi"));
    EXPECT_FALSE(form->isVisible());
}

// SIGTERM, SIGINT and SIGHUP do what Exit does, as main() wires them.
TEST_F(MainWindowTest, StopSignalsWhenIdleCloseTheWindow) {
    const StopSignals stopSignals;
    StopSignalWatch watch;
    QObject::connect(&watch, &StopSignalWatch::received, form.get(), &TMainForm::ExitAsClicked);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        // Restarted, so that no blocking call elsewhere sees EINTR.
        struct sigaction installed {};
        ASSERT_EQ(::sigaction(signal, nullptr, &installed), 0);
        EXPECT_NE(installed.sa_flags & SA_RESTART, 0);
        ShowAndActivate();
        ASSERT_EQ(::raise(signal), 0);
        EXPECT_TRUE(PumpUntil([&] { return !form->isVisible(); }));
        EXPECT_FALSE(ModuleValues.StopRequested);
    }
}

// A stop signal during a job ends its coder and closes the window, with any dialog open: the
// dialog is closed first. The file dialog holds nothing up: the job goes on while it is open.
TEST_F(MainWindowTest, AStopSignalDuringAConversionEndsTheCoderThenCloses) {
    const StopSignals stopSignals;
    SetBoxRecorder({});
    SetFileChooser({});
    const struct {
        const char* label;
        std::function<void(TMainForm&)> open;  // none: no dialog
        bool jobGoesOn;
    } cases[] = {
        {"no dialog", {}, false},
        {"About box", [](TMainForm& window) { window.bAbout->click(); }, false},
        {"error box", [](TMainForm&) { ReportFailure(Exception("a failure")); }, false},
        {"file dialog",
         [](TMainForm& window) { QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        form.reset();
        form = MakeWindow(platform);
        finished = std::make_unique<QSignalSpy>(form.get(), &TMainForm::jobFinished);
        StopSignalWatch watch;
        QObject::connect(&watch, &StopSignalWatch::received, form.get(), &TMainForm::ExitAsClicked);
        ShowAndActivate();
        UseFakeCoder(kUntilReleased);
        std::filesystem::remove(scratch / "release");
        WriteFile(scratch / "journal", "");
        const std::string output = scratch / "lmk-first.avi";
        const auto dialogOpen = [] { return QApplication::activeModalWidget() != nullptr; };
        Trigger open([&] { return c.open && Exists(output + ".started"); }, [&] { c.open(*form); });
        Trigger release([&] { return c.jobGoesOn && dialogOpen(); },
                        [&] { ReleaseFakeCoder(scratch.Path()); });
        Trigger terminate(
            [&] {
                return (!c.open || dialogOpen()) &&
                       (c.jobGoesOn ? finished->count() > 0 : Exists(output + ".started"));
            },
            [] { ::raise(SIGTERM); });

        ASSERT_TRUE(DropFiles(form.get(), {Clip("first.avi"), Clip("second.avi")}).dropAccepted);
        ASSERT_TRUE(WaitForJobs());
        EXPECT_TRUE(PumpUntil([&] { return !form->isVisible(); }));

        EXPECT_TRUE(terminate.Fired());
        EXPECT_FALSE(dialogOpen());
        if (c.jobGoesOn) {
            EXPECT_EQ(Journal(scratch.Path()),
                      (std::vector<std::string>{"start lmk-first.avi", "end lmk-first.avi",
                                                "start lmk-second.avi", "end lmk-second.avi"}));
        } else {
            EXPECT_TRUE(ModuleValues.StopRequested);
            EXPECT_FALSE(Exists(output));
            EXPECT_EQ(Journal(scratch.Path()), (std::vector<std::string>{"start lmk-first.avi"}));
        }
    }
}

TEST_F(MainWindowTest, ExitAfterAJobClosesTheWindow) {
    ShowAndActivate();
    UseFakeCoder(0);
    ASSERT_TRUE(DropFiles(form.get(), {Clip("short.avi")}).dropAccepted);
    ASSERT_TRUE(WaitForJobs());
    ASSERT_TRUE(form->isVisible());
    form->bExit->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(ModuleValues.StopRequested);
}

TEST_F(MainWindowTest, ADropDuringAJobJoinsItsList) {
    UseFakeCoder(kUntilReleased);
    const std::string first = Clip("first.avi");
    const std::string second = Clip("second.avi");
    int jobs = 0;
    for (const auto& w : kWays) {
        SCOPED_TRACE(w.name);
        WriteFile(scratch / "journal", "");
        std::filesystem::remove(scratch / "lmk-first.avi.started");
        std::filesystem::remove(scratch / "release");
        bool secondAccepted = false;
        Trigger addAgain(
            [&] { return Exists(scratch / "lmk-first.avi.started"); },
            [&] {
                secondAccepted =
                    AddUrls(w.way, form->mLog->viewport(), FileUrls({second})).dropAccepted;
                // The added files reach the window as a posted call; one posted after it runs
                // once they have joined the job.
                QMetaObject::invokeMethod(
                    form.get(), [&] { ReleaseFakeCoder(scratch.Path()); }, Qt::QueuedConnection);
            });

        ASSERT_TRUE(DropFiles(form.get(), {first}).dropAccepted);
        ASSERT_TRUE(WaitForJobs(++jobs));
        QCoreApplication::processEvents();

        EXPECT_TRUE(addAgain.Fired());
        EXPECT_TRUE(secondAccepted || w.way != Way::Drag);
        EXPECT_EQ(finished->count(), jobs);  // one job, not one inside the other
        EXPECT_EQ(Journal(scratch.Path()),
                  (std::vector<std::string>{"start lmk-first.avi", "end lmk-first.avi",
                                            "start lmk-second.avi", "end lmk-second.avi"}));
        EXPECT_EQ(LogLines(*form),
                  (std::vector<std::string>{StatusLine("second.avi"), DoneLine()}));
    }
}

TEST_F(MainWindowTest, ClosingDuringAJobWaitsForItThenCloses) {
    ShowAndActivate();
    UseFakeCoder(kUntilReleased);
    const std::string first = Clip("one.avi");
    const std::string second = Clip("two.avi");
    bool visibleAfterClose = false;
    Trigger closeWindow([&] { return Exists(scratch / "lmk-one.avi.started"); },
                        [&] {
                            form->close();
                            visibleAfterClose = form->isVisible();
                            ReleaseFakeCoder(scratch.Path());
                        });

    ASSERT_TRUE(DropFiles(form.get(), {first, second}).dropAccepted);
    ASSERT_TRUE(WaitForJobs());
    QCoreApplication::processEvents();

    EXPECT_TRUE(closeWindow.Fired());
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_FALSE(ModuleValues.StopRequested);  // closing is no stop request
    EXPECT_EQ(ReadFile(scratch / "lmk-one.avi"), "converted\n");
    EXPECT_EQ(ReadFile(scratch / "lmk-two.avi"), "converted\n");
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindowTest, ABadTargetTextShowsTheErrorBoxAndTheWindowGoesOn) {
    ShowAndActivate();
    UseFakeCoder(0);
    const std::string clip = Clip("clip.avi");
    const struct {
        const char* width;
        const char* shown;
    } cases[] = {
        {"abc", "'abc' is not a valid integer value."},
        {"", "'' is not a valid integer value."},
    };
    int jobs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        boxes.boxes.clear();
        // As main() puts the window's --width in.
        form->SetTarget(c.width, "240");
        ASSERT_TRUE(DropFiles(form.get(), {clip}).dropAccepted);
        ASSERT_TRUE(WaitForJobs(++jobs));
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].kind, BoxKind::Error);
        EXPECT_EQ(boxes.boxes[0].title, ApplicationTitle);
        EXPECT_EQ(boxes.boxes[0].text.toStdString(), c.shown);
        // The log ends with the box's reason, without its full stop.
        EXPECT_EQ(LogLines(*form).back() + ".", BrokenOffLine(c.shown)) << "the log did not end";
        EXPECT_EQ(form->CurrentExitMeaning(), ExitMeaning::Close);
        EXPECT_TRUE(form->isVisible());
    }

    boxes.boxes.clear();
    form->edW->setText(QStringLiteral("320"));
    ASSERT_TRUE(DropFiles(form.get(), {clip}).dropAccepted);
    ASSERT_TRUE(WaitForJobs(++jobs));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(LogLines(*form), (std::vector<std::string>{StatusLine("clip.avi"), DoneLine()}));
}

TEST_F(MainWindowTest, AboutShowsItsFourLinesInTheInformationBox) {
    form->bAbout->click();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, BoxKind::Information);
    EXPECT_EQ(boxes.boxes[0].title, ApplicationTitle);
    const QStringList lines = boxes.boxes[0].text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QStringLiteral("Программа для пережимания"));
    EXPECT_EQ(lines[1], QStringLiteral("видео в формат портативных устройств."));
    EXPECT_TRUE(lines[2].isEmpty());
    EXPECT_EQ(lines[3].toStdString(), "Сайт автора: " LMK_HOMEPAGE);
    // Lines are parted by lone carriage returns.
    EXPECT_EQ(AboutText().find('\n'), std::string::npos);
}

// --- Beyond the window: the session bus ---

// A value as the bus carried it, with its type: a dock reads "count" only as an int64.
QString Shown(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) {
        QStringList items;
        const QVariantMap map = qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
        for (auto item = map.begin(); item != map.end(); ++item) {
            items.push_back(item.key() + QLatin1Char('=') + Shown(item.value()));
        }
        return QLatin1Char('{') + items.join(QLatin1Char(' ')) + QLatin1Char('}');
    }
    return value.toString() + QLatin1Char(':') + QLatin1String(value.typeName());
}

// A session bus of the test's own (dbus-daemon) and, on it, a listener of the launcher entry's
// signals and a stand-in notification server: it owns the server's name and answers Notify as a
// desktop's does. What it hears, in order, one line each.
class DesktopBus : public QDBusVirtualObject {
    Q_OBJECT

public:
    explicit DesktopBus(const std::string& folder)
        : address("unix:path=" + folder + "/bus"),
          m_daemon(LMK_DBUS_DAEMON_PATH,
                   {"--session", "--nofork", "--nopidfile", "--address=" + address}, {}) {
        const QString name = QStringLiteral("test-desktop");
        if (!test::WaitUntil(
                [&] {
                    if (QDBusConnection::connectToBus(QString::fromStdString(address), name)
                            .isConnected())
                        return true;
                    QDBusConnection::disconnectFromBus(name);
                    return false;
                },
                std::chrono::seconds(60)))
            throw std::runtime_error("the test's session bus did not come up");
        m_bus = std::make_unique<QDBusConnection>(name);
        m_bus->registerService(QStringLiteral("org.freedesktop.Notifications"));
        m_bus->registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this);
        m_bus->connect({}, {}, QStringLiteral("com.canonical.Unity.LauncherEntry"),
                       QStringLiteral("Update"), this, SLOT(Heard(QDBusMessage)));
        m_bus->connect(QStringLiteral("org.freedesktop.DBus"),
                       QStringLiteral("/org/freedesktop/DBus"),
                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                       this, SLOT(Left(QString, QString, QString)));
    }

    ~DesktopBus() override {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("test-desktop"));
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        Heard(message);
        if (message.isReplyRequired()) {
            connection.send(message.createReply(QVariant::fromValue(1u)));
        }
        return true;
    }

    // True once every connection heard from has left the bus: all it sent has been heard.
    bool SpeakersLeft() const {
        return std::all_of(m_speakers.begin(), m_speakers.end(),
                           [&](const QString& speaker) { return m_left.contains(speaker); });
    }

    const std::string address;
    std::vector<std::string> heard;

public slots:
    void Heard(const QDBusMessage& message) {
        QStringList line = {message.member()};
        for (const QVariant& argument : message.arguments()) line.push_back(Shown(argument));
        heard.push_back(line.join(QLatin1Char(' ')).toStdString());
        if (!m_speakers.contains(message.service())) m_speakers.push_back(message.service());
    }

    void Left(const QString& name, const QString&, const QString& newOwner) {
        if (newOwner.isEmpty()) m_left.push_back(name);
    }

private:
    test::Child m_daemon;
    std::unique_ptr<QDBusConnection> m_bus;
    QStringList m_speakers;
    QStringList m_left;
};

const std::string kUpdate = "Update application://org.example.lmk_video.desktop:QString ";

std::string Progress(const char* progress, int count) {
    return kUpdate + "{count=" + std::to_string(count) +
           ":qlonglong count-visible=true:bool progress=" + progress +
           ":double progress-visible=true:bool}";
}

std::string Cleared(bool urgent) {
    return kUpdate + "{count-visible=false:bool progress-visible=false:bool urgent=" +
           (urgent ? "true" : "false") + ":bool}";
}

const std::string kCalmed = kUpdate + "{urgent=false:bool}";

// Three clips and a folder without any: the dock's bar and count go with the job and are cleared
// at its end, at most a few times a second (each file here takes seconds, so each state is seen
// once). A job that ran for seconds while the user looked elsewhere ends with a notice, and the
// attention asked for goes when the user comes back. Without a bus the job runs as ever.
TEST_F(MainWindowTest, TheJobsProgressAndItsEndReachTheDesktopOverTheSessionBus) {
    const std::string notice =
        "Notify ЛМК-Видео:QString 0:uint lmk-video:QString Готово!:QString Сконвертировано файлов: "
        "3, не удалось: 1.:QString :QStringList {desktop-entry=org.example.lmk_video:QString} "
        "-1:int";
    const std::vector<std::string> longJob = {Progress("0", 4), Progress("0.25", 3),
                                              Progress("0.5", 2)};
    const auto then = [](std::vector<std::string> lines, const std::vector<std::string>& more) {
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    };
    const struct {
        const char* label;
        bool bus;
        bool active;     // the window is the active one while the job runs
        double seconds;  // each file's conversion
        bool endOnly;    // a short job's ticks, if any, are not looked at
        std::vector<std::string> heard;
    } cases[] = {
        {"elsewhere, a long job", true, false, 2, false,
         then(longJob, {Cleared(true), notice, kCalmed})},
        {"active, a long job", true, true, 2, false, then(longJob, {Cleared(false)})},
        {"elsewhere, a short job", true, false, 0, true, {Cleared(true), kCalmed}},
        {"no session bus", false, false, 0, false, {}},
    };
    DesktopBus desktop(scratch.Path());
    form.reset();  // each case's window is made where the session bus is set
    std::filesystem::create_directory(scratch / "no clips");
    const std::vector<std::string> drop = {Clip("a.avi"), Clip("b.avi"), Clip("c.avi"),
                                           scratch / "no clips"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const test::EnvironmentOverride bus(
            "DBUS_SESSION_BUS_ADDRESS",
            c.bus ? desktop.address : "unix:path=" + (scratch / "no bus"));
        desktop.heard.clear();
        form = MakeWindow(platform);
        finished = std::make_unique<QSignalSpy>(form.get(), &TMainForm::jobFinished);
        UseFakeCoder(c.seconds);
        ShowAndActivate();
        QWidget elsewhere;
        if (!c.active) {
            elsewhere.show();
            elsewhere.activateWindow();
            QApplication::setActiveWindow(&elsewhere);
            ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
        }

        ASSERT_TRUE(DropFiles(form.get(), drop).dropAccepted);
        ASSERT_TRUE(WaitForJobs());
        const std::vector<std::string> log = LogLines(*form);
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[1], DoneLine());
        EXPECT_TRUE(boxes.boxes.empty());
        // Back to the window, then the window gone: all it sent has been heard by then.
        ShowAndActivate();
        form.reset();
        ASSERT_TRUE(PumpUntil(
            [&] { return desktop.heard.size() >= c.heard.size() && desktop.SpeakersLeft(); }));
        std::vector<std::string> heard = desktop.heard;
        if (c.endOnly && heard.size() > c.heard.size()) {
            heard.erase(heard.begin(), heard.end() - c.heard.size());
        }
        EXPECT_EQ(heard, c.heard);
    }
}

}  // namespace
}  // namespace lmk

#include "main_window_test.moc"

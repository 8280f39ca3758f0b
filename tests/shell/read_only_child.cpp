// Started by the read-only folder test from a copy of itself in a folder it may not write to,
// as a user who may not write there.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>

#include "application.h"
#include "boxes.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "shell_test_support.h"
#include "test_files.h"

namespace lmk {
namespace {

using test::BoxLog;
using test::ChosenFiles;
using test::CopyUrls;
using test::DropFiles;
using test::Exists;
using test::FileUrls;

TEST(ReadOnlyProgramFolder, CannotCreateBoxThenAWindowThatRefusesDropsWithALine) {
    BoxLog boxes;
    test::WindowPlatform platform;
    auto window = test::MakeWindow(platform);
    TMainForm& form = *window;
    const std::string coder = ProgramFolder() + "coder.exe";
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(boxes.boxes[0].title, ApplicationTitle);
    EXPECT_EQ(boxes.boxes[0].text.toStdString(),
              "Cannot create file \"" + coder + "\". " + SystemErrorText(EACCES) + ".");
    EXPECT_EQ(ModuleValues.CoderPath, coder);
    EXPECT_FALSE(Exists(coder));

    form.show();
    EXPECT_TRUE(form.isVisible());
    // Drops are taken, to be refused each with a line that says why.
    const auto drop = DropFiles(&form, {"/etc/hostname"});
    EXPECT_TRUE(drop.dropAccepted);

    // So are files chosen or pasted; pasted ones do not land in a box as text either.
    ChosenFiles chosen(FileUrls({"/etc/hostname"}));
    CopyUrls(FileUrls({"/etc/hostname"}));
    QSignalSpy finished(&form, &TMainForm::jobFinished);
    for (QWidget* focused : {static_cast<QWidget*>(&form), static_cast<QWidget*>(form.edW)}) {
        QTest::keyClick(focused, Qt::Key_O, Qt::ControlModifier);
        QTest::keyClick(focused, Qt::Key_V, Qt::ControlModifier);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen.filtersAsked.size(), 2);
    EXPECT_EQ(form.edW->text(), QStringLiteral("320"));
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(boxes.boxes.size(), 1u);
    const QString refusal =
        QStringLiteral("Файлы не приняты: кодер не может работать. ") + boxes.boxes[0].text;
    EXPECT_EQ(form.mLog->toPlainText().split(QLatin1Char('\n')).count(refusal), 5);
}

}  // namespace
}  // namespace lmk

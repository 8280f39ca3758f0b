#include <functional>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

#include "application.h"
#include "boxes.h"
#include "failures.h"
#include "guard.h"
#include "shell_test_support.h"

namespace lmk {
namespace {

using test::BoxLog;

TEST(Guard, ReportsEveryKindOfFailureInTheErrorBox) {
    const struct {
        const char* name;
        std::function<void()> raise;
        std::string shown;
    } cases[] = {
        {"convert", [] { throw NotAValidInteger("abc"); }, "'abc' is not a valid integer value."},
        {"system error", [] { throw OSErrorFromCode(2, "No such file or directory"); },
         "System Error.  Code: 2.\nNo such file or directory."},
        {"code 0", [] { throw OSErrorFromCode(0, ""); }, "A call to an OS function failed."},
        {"cannot create", [] { throw CannotCreateFile("/opt/x/coder.exe", "Permission denied"); },
         "Cannot create file \"/opt/x/coder.exe\". Permission denied."},
        {"write", [] { throw EWriteError("Stream write error"); }, "Stream write error."},
        {"bad_alloc", [] { throw std::bad_alloc(); }, "Out of memory."},
        {"std::exception", [] { throw std::runtime_error("disk on fire"); }, "disk on fire."},
        {"a NUL inside", [] { throw Exception(std::string("a\0b", 3)); }, std::string("a\0b.", 4)},
        {"not an exception", [] { throw 42; }, "Unknown failure."},
        {"ends in a stop", [] { throw Exception("Already ended."); }, "Already ended."},
        {"ends in a bracket", [] { throw Exception("(see above)"); }, "(see above)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoxLog log;
        Guard(c.raise);
        ASSERT_EQ(log.boxes.size(), 1u);
        EXPECT_EQ(log.boxes[0].kind, BoxKind::Error);
        EXPECT_EQ(log.boxes[0].title, ApplicationTitle);
        EXPECT_EQ(log.boxes[0].text.toStdString(), c.shown);
    }
}

TEST(Guard, ShowsNothingWhenTheBodySucceeds) {
    BoxLog log;
    int runs = 0;
    Guard([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(log.boxes.empty());
}

TEST(Boxes, LineBreaksOfEveryKindStartANewLine) {
    const struct {
        const char* given;
        const char* shown;
    } cases[] = {
        {"one\rtwo", "one\ntwo"},       {"one\ntwo", "one\ntwo"},
        {"one\r\ntwo", "one\ntwo"},     {"one\r\rthree", "one\n\nthree"},
        {"one\n\r\ntwo", "one\n\ntwo"},
    };
    for (const auto& c : cases) EXPECT_EQ(BoxText(c.given).toStdString(), c.shown) << c.given;
}

TEST(Boxes, ErrorBoxHasTitleErrorIconOneOkAndThePeriodRule) {
    const auto box = MakeErrorBox(NotAValidInteger("<b>x</b>"), nullptr);
    EXPECT_EQ(box->windowTitle(), ApplicationTitle);
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->text(), QStringLiteral("'<b>x</b>' is not a valid integer value."));
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->standardButton(box->buttons()[0]), QMessageBox::Ok);
}

TEST(Boxes, InfoBoxHasTitleNoIconAndOneOkForEnterAndEsc) {
    const auto box = MakeInfoBox("first\rsecond\r\rfourth", nullptr);
    EXPECT_EQ(box->windowTitle(), ApplicationTitle);
    EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(box->text(), QStringLiteral("first\nsecond\n\nfourth"));
    ASSERT_EQ(box->buttons().size(), 1);
    QAbstractButton* ok = box->buttons()[0];
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_EQ(box->defaultButton(), ok);
    EXPECT_EQ(box->escapeButton(), ok);
}

TEST(Boxes, ShowInfoBoxGoesToTheRecorderWithTheTextsLines) {
    BoxLog log;
    ShowInfoBox("a\rb");
    ASSERT_EQ(log.boxes.size(), 1u);
    EXPECT_EQ(log.boxes[0].kind, BoxKind::Information);
    EXPECT_EQ(log.boxes[0].title, ApplicationTitle);
    EXPECT_EQ(log.boxes[0].text, QStringLiteral("a\nb"));
}

TEST(Boxes, ReportFailureReleasesTheMouseFirst) {
    QWidget window;
    window.show();
    window.grabMouse();
    ASSERT_EQ(QWidget::mouseGrabber(), &window);

    QWidget* grabberWhenShown = &window;
    SetBoxRecorder([&](BoxKind, const QString&, const QString&) {
        grabberWhenShown = QWidget::mouseGrabber();
    });
    ReportFailure(Exception("x"));
    SetBoxRecorder({});
    EXPECT_EQ(grabberWhenShown, nullptr);
}

}  // namespace
}  // namespace lmk

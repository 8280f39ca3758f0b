#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QResource>
#include <QSignalSpy>
#include <QStandardPaths>

#include "application.h"
#include "coder_payload.h"
#include "failures.h"
#include "file_descriptor.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "shared_coder_file.h"
#include "shell_test_support.h"
#include "test_child.h"
#include "test_environment.h"
#include "test_files.h"

namespace lmk {
namespace {

using test::BoxLog;
using test::CopyFile;
using test::CurrentFolderOverride;
using test::DropFiles;
using test::EnvironmentOverride;
using test::Exists;
using test::FolderNames;
using test::MakeWindow;
using test::ReadFile;
using test::ScratchFolder;
using test::WindowPlatform;
using test::WriteFile;
using test::WriteScript;

#ifndef LMK_SYSTEM_CODER

mode_t ModeOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

std::string EmbeddedPayload() {
    QFile resource(QString::fromStdString(PayloadResourcePath(kPayloadName)));
    EXPECT_TRUE(resource.open(QIODevice::ReadOnly));
    return resource.readAll().toStdString();
}

TEST(CoderPayload, CarriesTheConfiguredCoderUncompressed) {
    const QResource resource(QString::fromStdString(PayloadResourcePath(kPayloadName)));
    ASSERT_TRUE(resource.isValid());
    EXPECT_EQ(resource.compressionAlgorithm(), QResource::NoCompression);
    const std::string payload = EmbeddedPayload();
    EXPECT_EQ(payload, ReadFile(LMK_TEST_PAYLOAD_FILE));
    EXPECT_GT(payload.size(), 0u);
}

TEST(CoderPayload, ReplacesWhatIsThereExecutable) {
    ScratchFolder scratch;
    const std::string coder = scratch / "coder.exe";
    WriteFile(coder, std::string(10 * 1024 * 1024, 'x'));  // longer than the payload
    ::chmod(coder.c_str(), 0600);
    ExportPayload(kPayloadName, coder);
    EXPECT_EQ(ReadFile(coder), EmbeddedPayload());
    EXPECT_EQ(ModeOf(coder), 0755u);
}

TEST(CoderPayload, FailuresCarryTheCataloguesMessages) {
    ScratchFolder scratch;
    const std::string missing = scratch / "no such folder/coder.exe";
    try {
        ExportPayload(kPayloadName, missing);
        ADD_FAILURE() << "no failure";
    } catch (const EFCreateError& failure) {
        EXPECT_EQ(failure.Message(),
                  "Cannot create file \"" + missing + "\". " + SystemErrorText(ENOENT));
    }

    // A link planted where the coder goes is not followed.
    const std::string target = scratch / "elsewhere";
    WriteFile(target, "keep");
    const std::string link = scratch / "linked.exe";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_THROW(ExportPayload(kPayloadName, link), EFCreateError);
    EXPECT_EQ(ReadFile(target), "keep");

    if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill";
    try {
        ExportPayload(kPayloadName, "/dev/full");
        ADD_FAILURE() << "no failure";
    } catch (const EWriteError& failure) {
        EXPECT_EQ(failure.Message(),
                  "Stream write error in file \"/dev/full\". " + SystemErrorText(ENOSPC));
    }
}

TEST(CoderPayload, AMissingPayloadWritesAnEmptyFile) {
    ScratchFolder scratch;
    const std::string coder = scratch / "coder.exe";
    WriteFile(coder, "old");
    ExportPayload("NoSuchPayload", coder);
    EXPECT_EQ(ReadFile(coder), "");
}

TEST(CoderPayload, TheWindowWritesTheCoderBesideTheProgramAndRemovesIt) {
    const std::string coder = ProgramFolder() + "coder.exe";
    WriteFile(coder, "left over by a killed run");
    ::chmod(coder.c_str(), 0644);

    BoxLog boxes;
    WindowPlatform platform;
    auto form = MakeWindow(platform);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(ModuleValues.CoderPath, coder);
    EXPECT_EQ(ReadFile(coder), EmbeddedPayload());
    EXPECT_EQ(ModeOf(coder), 0755u);
    EXPECT_TRUE(form->DropsRegistered());
    const std::string workFolder = ModuleValues.WorkFolder;
    EXPECT_TRUE(std::filesystem::is_directory(workFolder));

    form.reset();
    EXPECT_FALSE(Exists(coder));
    EXPECT_FALSE(Exists(workFolder));
}

// Copies of the program started from one folder share its coder file.
TEST(SharedCoderFile, TakenAsItStandsWhileHeldAndRemovedByTheLastToEnd) {
    ScratchFolder scratch;
    const std::string coder = scratch / "coder.exe";
    WriteFile(coder, "left over by a killed run");
    SharedCoderFile first;
    first.Export(kPayloadName, coder);
    ASSERT_EQ(ReadFile(coder), EmbeddedPayload());

    // A coder runs from it: the file can no longer be opened for writing.
    test::Child running(coder, {"-nostdin", "-f", "lavfi", "-i", "nullsrc", "-f", "null", "-"}, {});
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            return std::filesystem::read_symlink("/proc/" + std::to_string(running.Pid()) +
                                                 "/exe") == coder;
        },
        std::chrono::seconds(30)));
    SharedCoderFile second;
    second.Export(kPayloadName, coder);
    EXPECT_TRUE(second.Held());

    first.Release();
    EXPECT_TRUE(Exists(coder));  // the second copy still runs from it
    second.Release();
    EXPECT_FALSE(Exists(coder));
}

TEST(SharedCoderFile, WhatCannotBeWrittenFailsAndIsNotHeld) {
    ScratchFolder scratch;
    const std::string target = scratch / "elsewhere";
    WriteFile(target, "keep");
    ASSERT_EQ(::symlink(target.c_str(), (scratch / "linked.exe").c_str()), 0);
    std::filesystem::create_directory(scratch / "folder.exe");
    const struct {
        const char* name;
        int error;
    } cases[] = {
        {"linked.exe", ELOOP}, {"folder.exe", EISDIR}, {"no such folder/coder.exe", ENOENT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SharedCoderFile file;
        try {
            file.Export(kPayloadName, scratch / c.name);
            ADD_FAILURE() << "no failure";
        } catch (const EFCreateError& failure) {
            EXPECT_EQ(failure.Message(), "Cannot create file \"" + (scratch / c.name) + "\". " +
                                             SystemErrorText(c.error));
        }
        EXPECT_FALSE(file.Held());
    }
    EXPECT_EQ(ReadFile(target), "keep");
}

// A coder file another copy holds runs as it stands: only when no one else can have put it there
// or changed it.
TEST(SharedCoderFile, APlantedCoderFileIsNotUsed) {
    const struct {
        const char* name;
        mode_t mode;
        bool otherOwner;
        const char* refusal;
        bool fifo = false;  // a FIFO, refused without waiting for a writer
    } cases[] = {{"WritableByOthers", 0757, false, "others may write to it"},
                 {"WritableByGroup", 0775, false, "others may write to it"},
                 {"OwnedByAnotherUser", 0755, true, "it belongs to another user"},
                 {"AFifo", 0700, false, "it is not a regular file", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.otherOwner && ::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
        ScratchFolder scratch;
        const std::string coder = scratch / "coder.exe";
        if (c.fifo) {
            ASSERT_EQ(::mkfifo(coder.c_str(), c.mode), 0);
        } else {
            WriteFile(coder, "#!/bin/sh\necho planted\n");
        }
        ASSERT_EQ(::chmod(coder.c_str(), c.mode), 0);
        if (c.otherOwner) {
            ASSERT_EQ(::chown(coder.c_str(), 65534, 65534), 0);
        }
        // Held as a running copy holds it.
        const FileDescriptor holder(::open(coder.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_EQ(::flock(holder.Get(), LOCK_SH), 0);
        SharedCoderFile file;
        try {
            file.Export(kPayloadName, coder);
            ADD_FAILURE() << "the planted file was taken";
        } catch (const Exception& failure) {
            EXPECT_EQ(failure.Message(),
                      "The coder file \"" + coder + "\" is not used: " + c.refusal);
        }
        EXPECT_FALSE(file.Held());
        if (!c.fifo) {
            EXPECT_EQ(ReadFile(coder), "#!/bin/sh\necho planted\n");
        }
    }
}

TEST(ReadOnlyProgramFolder, CannotCreateBoxAndDropsRefusedWithALine) {
    const bool root = ::geteuid() == 0;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (root && setpriv.isEmpty()) {
        GTEST_SKIP()
            << "running as root, which writes anywhere, and setpriv is missing to drop that";
    }

    ScratchFolder scratch;
    ::chmod(scratch.Path().c_str(), 0755);
    const std::string copy = scratch / "shell_read_only_child";
    CopyFile(LMK_READ_ONLY_CHILD, copy);
    ::chmod(copy.c_str(), 0755);
    ::chmod(scratch.Path().c_str(), 0555);

    QStringList arguments = {QString::fromStdString(copy)};
    QString program = arguments.takeFirst();
    if (root) {
        // nobody: root would write into the read-only folder all the same.
        arguments.prepend(program);
        arguments = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                QStringLiteral("--clear-groups"), QStringLiteral("--")} +
                    arguments;
        program = setpriv;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"));
    environment.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));

    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(program, arguments);
    ASSERT_TRUE(child.waitForFinished(120000));
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

TEST(CommandLine, WritesItsCoderIntoItsOwnFolderAndRemovesIt) {
    ScratchFolder scratch;
    const std::string beside = std::filesystem::path(LMK_PROGRAM).parent_path() / "coder.exe";
    const bool besideBefore = Exists(beside);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), QString::fromStdString(scratch.Path()));
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QProcess run;
    run.setProcessEnvironment(environment);
    run.setProcessChannelMode(QProcess::MergedChannels);
    // Not a video: the coder itself runs and refuses it.
    WriteFile(scratch / "input.avi", "not a video");
    run.start(QStringLiteral(LMK_PROGRAM),
              {QStringLiteral("--convert"), QString::fromStdString(scratch / "input.avi")});
    ASSERT_TRUE(run.waitForFinished(120000));
    const std::string output = run.readAll().toStdString();
    EXPECT_EQ(run.exitCode(), 2) << output;
    EXPECT_NE(output.find("input.avi"), std::string::npos) << output;

    // Nothing of the run is left in the temporary folder, and nothing beside the program.
    EXPECT_EQ(FolderNames(scratch.Path()), std::vector<std::string>{"input.avi"});
    EXPECT_EQ(Exists(beside), besideBefore);
}

#else

TEST(SystemCoder, TheWindowRunsFfmpegFromPathAndWritesNothing) {
    ScratchFolder scratch;
    const std::string ffmpeg = WriteScript(scratch / "ffmpeg", "");
    // Only while the window looks for its coder.
    std::optional<EnvironmentOverride> path(std::in_place, "PATH", scratch.Path());

    BoxLog boxes;
    WindowPlatform platform;
    auto form = MakeWindow(platform);
    path.reset();
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(ModuleValues.CoderPath, ffmpeg);
    EXPECT_FALSE(Exists(ProgramFolder() + "coder.exe"));
    EXPECT_TRUE(form->DropsRegistered());
    form.reset();
    EXPECT_TRUE(Exists(ffmpeg));  // not ours to delete
}

TEST(SystemCoder, NoFfmpegOnPathSaysSoAndTheWindowStillOpens) {
    ScratchFolder scratch;
    // Only while the window looks for its coder.
    std::optional<EnvironmentOverride> path(std::in_place, "PATH", scratch.Path());
    BoxLog boxes;
    WindowPlatform platform;
    auto window = MakeWindow(platform);
    TMainForm& form = *window;
    path.reset();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, BoxKind::Error);
    EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("\"ffmpeg\" was not found")));
    EXPECT_TRUE(boxes.boxes[0].text.endsWith(QLatin1Char('.')));
    form.show();
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.DropsRegistered());  // to refuse each with a line
}

#endif

// Whichever build: a coder file that cannot be written, or no ffmpeg on PATH.
TEST(FailedStart, FilesNamedAtTheStartAreRefusedLikeADrop) {
    ScratchFolder scratch;
    std::filesystem::create_directory(scratch / "coder.exe");
    WriteFile(scratch / "clip.avi", "video");
    CurrentFolderOverride current(scratch.Path());
    std::optional<EnvironmentOverride> path(std::in_place, "PATH", scratch.Path());
    BoxLog boxes;
    WindowPlatform platform(scratch / "coder.exe");
    auto form = MakeWindow(platform);
    path.reset();
    ASSERT_EQ(boxes.boxes.size(), 1u);

    QSignalSpy finished(form.get(), &TMainForm::jobFinished);
    form->OpenFiles({scratch / "clip.avi"});
    QCoreApplication::processEvents();
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(boxes.boxes.size(), 1u);
    // Refused with a line that says why, not in silence.
    EXPECT_EQ(form->mLog->toPlainText().split(QLatin1Char('\n')).last().toStdString(),
              "Файлы не приняты: кодер не может работать. " + boxes.boxes[0].text.toStdString());
    // No report or coder output in the current folder.
    EXPECT_EQ(FolderNames(scratch.Path()), (std::vector<std::string>{"clip.avi", "coder.exe"}));
}

}  // namespace
}  // namespace lmk

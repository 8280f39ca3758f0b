#include <algorithm>
#include <csignal>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "conversion_job.h"
#include "failures.h"
#include "file_descriptor.h"
#include "posix_platform.h"
#include "test_environment.h"
#include "test_files.h"
#include "utf8_text.h"

namespace lmk {
namespace {

using test::ScratchFolder;
using test::WriteFile;

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(m_folder / "file", "content");
        WriteFile(m_folder / "empty", "");
        ASSERT_EQ(mkdir((m_folder / "folder").c_str(), 0755), 0);
        ASSERT_EQ(symlink("file", (m_folder / "link-to-file").c_str()), 0);
        ASSERT_EQ(symlink("folder", (m_folder / "link-to-folder").c_str()), 0);
        ASSERT_EQ(symlink("nowhere", (m_folder / "dangling").c_str()), 0);
    }

    ScratchFolder m_folder;
    PosixFiles m_files;
};

TEST_F(FilesTest, IsFileIsTrueForAnythingButAFolder) {
    ASSERT_EQ(mkfifo((m_folder / "pipe").c_str(), 0600), 0);
    // Only root makes a link another user owns.
    const std::string othersLink = m_folder / "folder/others-link";
    const std::string othersFolderLink = m_folder / "folder/others-folder-link";
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(symlink("../file", othersLink.c_str()), 0);
        ASSERT_EQ(symlink("..", othersFolderLink.c_str()), 0);
        ASSERT_EQ(lchown(othersLink.c_str(), 65534, 65534), 0);
        ASSERT_EQ(lchown(othersFolderLink.c_str(), 65534, 65534), 0);
    }
    const struct {
        std::string path;
        bool expected;
        FileKind kind;
        std::uint64_t size = 0;
    } cases[] = {
        {m_folder / "file", true, FileKind::Regular, 7},
        {m_folder / "empty", true, FileKind::Regular},
        {m_folder / "link-to-file", true, FileKind::Regular, 7},
        {"/dev/null", true, FileKind::Special},
        {m_folder / "pipe", true, FileKind::Special},
        {m_folder / "folder", false, FileKind::Folder},
        {m_folder / "folder/", false, FileKind::Folder},
        {m_folder / "link-to-folder", false, FileKind::Folder},
        {othersLink, true, FileKind::OthersLink},
        {othersFolderLink + "/file", true, FileKind::OthersLink},
        {m_folder / "dangling", false, FileKind::Missing},
        {m_folder / "missing", false, FileKind::Missing},
        {m_folder / "file/below", false, FileKind::Missing},
        {"", false, FileKind::Missing},
    };
    for (const auto& c : cases) {
        if (c.kind == FileKind::OthersLink && !root) continue;
        EXPECT_EQ(m_files.IsFile(c.path), c.expected) << c.path;
        EXPECT_EQ(m_files.StatusOf(c.path).kind, c.kind) << c.path;
        EXPECT_EQ(m_files.StatusOf(c.path).size, c.size) << c.path;
    }
    std::vector<std::string> names = m_files.FolderNames(m_folder.Path()).names;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling", "empty", "file", "folder",
                                               "link-to-file", "link-to-folder", "pipe"}));
}

TEST_F(FilesTest, DeleteRemovesFilesAndIgnoresFailures) {
    m_files.Delete(m_folder / "file");
    EXPECT_FALSE(m_files.IsFile(m_folder / "file"));

    m_files.Delete(m_folder / "link-to-folder");  // the link goes, not what it points at
    EXPECT_NE(access((m_folder / "link-to-folder").c_str(), F_OK), 0);
    EXPECT_EQ(access((m_folder / "folder").c_str(), F_OK), 0);

    EXPECT_NO_THROW(m_files.Delete(m_folder / "missing"));
    EXPECT_NO_THROW(m_files.Delete(m_folder / "folder"));
    EXPECT_EQ(access((m_folder / "folder").c_str(), F_OK), 0);
}

// What stands at the output's name when a whole output takes it.
struct ReplaceCase {
    const char* name;
    const char* standing;  // "nothing", "file", "dangling", "link", "folder"
    const char* refusal;   // CreatePartial's reason, empty when the output is made
    // Once held, the folder is swapped for a link to another.
    bool folderSwapped = false;
};

class ReplaceTest : public FilesTest, public ::testing::WithParamInterface<ReplaceCase> {};

TEST_P(ReplaceTest, OnlyAFileOrALinkAtTheOutputNameIsReplacedAndNoLinkIsFollowed) {
    const std::string output = m_folder / "lmk-clip.avi";
    const std::string standing = GetParam().standing;
    const std::string target = m_folder / "target";
    if (standing == "file") WriteFile(output, "earlier output");
    if (standing == "dangling") {
        ASSERT_EQ(symlink(target.c_str(), output.c_str()), 0);
    }
    if (standing == "link") {
        WriteFile(target, "the user's file");
        ASSERT_EQ(symlink(target.c_str(), output.c_str()), 0);
    }
    if (standing == "folder") {
        ASSERT_EQ(mkdir(output.c_str(), 0755), 0);
    }

    // Links planted at the names this run's partial files may take are never written through.
    const std::string planted = m_folder / "planted";
    for (unsigned long serial = 0; serial < 512; ++serial) {
        const std::string name = m_folder / PartialFileName("lmk-clip.avi", getpid(), serial);
        ASSERT_EQ(symlink(planted.c_str(), name.c_str()), 0);
    }

    m_files.HoldFolder(m_folder.Path() + "/");
    const std::string held = m_folder.Path() + "-held";
    const std::string elsewhere = m_folder.Path() + "-elsewhere";
    if (GetParam().folderSwapped) {
        ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
        ASSERT_EQ(rename(m_folder.Path().c_str(), held.c_str()), 0);
        ASSERT_EQ(symlink(elsewhere.c_str(), m_folder.Path().c_str()), 0);
    }
    const PartialFile partial = m_files.CreatePartial(output, 0600);
    EXPECT_EQ(partial.error, GetParam().refusal);
    EXPECT_FALSE(test::Exists(planted)) << "a link planted at a partial file's name was followed";
    if (!partial.error.empty()) {
        m_files.LetGoFolder(m_folder.Path() + "/");
        struct stat info {};
        EXPECT_TRUE(stat(output.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
        return;
    }
    EXPECT_EQ(partial.path.rfind(m_folder / ".lmk-partial-", 0), 0u) << partial.path;
    EXPECT_TRUE(partial.path.ends_with("-lmk-clip.avi")) << "the extension is kept";
    // As the coder, which sees the folder held.
    WriteFile((GetParam().folderSwapped ? held + "/" + FileNamePart(partial.path) : partial.path),
              "whole output");
    EXPECT_EQ(m_files.Replace(partial.path, output), "");
    m_files.LetGoFolder(m_folder.Path() + "/");
    if (GetParam().folderSwapped) {
        EXPECT_EQ(test::FolderNames(elsewhere), std::vector<std::string>{});
        ASSERT_EQ(unlink(m_folder.Path().c_str()), 0);
        ASSERT_EQ(rename(held.c_str(), m_folder.Path().c_str()), 0);
        rmdir(elsewhere.c_str());
    }

    struct stat info {};
    ASSERT_EQ(lstat(output.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "a link at the output name was followed";
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the output grants more than its input";
    EXPECT_EQ(test::ReadFile(output), "whole output");
    EXPECT_FALSE(test::Exists(partial.path));
    if (standing == "dangling") {
        EXPECT_FALSE(test::Exists(target)) << "the link's target was made";
    }
    if (standing == "link") {
        EXPECT_EQ(test::ReadFile(target), "the user's file");
    }
}

INSTANTIATE_TEST_SUITE_P(Standing, ReplaceTest,
                         ::testing::Values(ReplaceCase{"Nothing", "nothing", ""},
                                           ReplaceCase{"EarlierOutput", "file", ""},
                                           ReplaceCase{"DanglingLink", "dangling", ""},
                                           ReplaceCase{"LinkToTheUsersFile", "link", ""},
                                           ReplaceCase{"Folder", "folder", "Is a directory"},
                                           ReplaceCase{"FolderSwappedForALink", "file", "", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilesTest, PartialFilesOfEndedRunsGoWhenTheSameOutputIsMadeAgain) {
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const std::string output = m_folder / "lmk-clip.avi";
    const std::string killedRun = m_folder / PartialFileName("lmk-clip.avi", ended, 3);
    // Killed outright, its number since taken by a live process: the lock decides, not the number.
    const std::string numberReused = m_folder / PartialFileName("lmk-clip.avi", getpid(), 999);
    // A live run in another PID name space: its number is no process here, but it holds its lock.
    const std::string liveRun = m_folder / PartialFileName("lmk-clip.avi", ended, 0);
    const std::string otherOutput = m_folder / PartialFileName("lmk-other.avi", ended, 0);
    const std::string usersOwn = m_folder / ".lmk-partial-notes-lmk-clip.avi";
    for (const auto& path : {killedRun, numberReused, liveRun, otherOutput, usersOwn})
        WriteFile(path, "");
    const FileDescriptor held(open(liveRun.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(held.Get(), LOCK_EX), 0);

    const PartialFile first = m_files.CreatePartial(output, 0644);
    const PartialFile second = m_files.CreatePartial(output, 0644);
    EXPECT_NE(first.path, second.path) << "two runs at once share a partial file";
    EXPECT_FALSE(test::Exists(killedRun));
    EXPECT_FALSE(test::Exists(numberReused));
    for (const auto& path : {liveRun, otherOutput, usersOwn, first.path, second.path}) {
        EXPECT_TRUE(test::Exists(path)) << path;
    }
    EXPECT_EQ(PartialFileProcess(FileNamePart(killedRun), "lmk-clip.avi"), ended);
    EXPECT_EQ(PartialFileProcess(FileNamePart(usersOwn), "lmk-clip.avi"), 0);

    // Deleted or taken as the output, a partial file is no longer held.
    EXPECT_EQ(m_files.Delete(first.path), "");
    EXPECT_EQ(m_files.Replace(second.path, output), "");
    EXPECT_EQ(
        flock(FileDescriptor(open(output.c_str(), O_RDONLY | O_CLOEXEC)).Get(), LOCK_EX | LOCK_NB),
        0);
}

bool IsUtf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, length] = DecodeUtf8(text, at);
        if (length == 1 && code >= 0x80) return false;
        at += length;
    }
    return true;
}

TEST_F(FilesTest, LongPartialNamesAreCutOnWholeCharacters) {
    for (const std::size_t letters : {120, 121, 122, 123, 124, 125, 126, 127, 200}) {
        std::string name = "lmk-";
        for (std::size_t i = 0; i < letters; ++i) name += i % 3 == 0 ? "ж" : "日";
        name += ".avi";
        const std::string partial = PartialFileName(name, 4194304, 12345);
        SCOPED_TRACE(letters);
        EXPECT_LE(partial.size(), 255u);
        EXPECT_TRUE(partial.ends_with(".avi"));
        EXPECT_TRUE(IsUtf8(partial)) << partial;
        EXPECT_EQ(PartialFileProcess(partial, name), 4194304);
    }
}

TEST_F(FilesTest, ReadAllGivesEveryByte) {
    std::string binary = "line\r\nnext\n";
    binary += std::string("\0\xff\x80 tail", 9);
    WriteFile(m_folder / "binary", binary);
    EXPECT_EQ(m_files.ReadAll(m_folder / "binary"), binary);
    EXPECT_EQ(m_files.ReadAll(m_folder / "empty"), "");
    EXPECT_EQ(m_files.ReadAll("/proc/self/status").substr(0, 5), "Name:");  // size 0 in stat
}

TEST_F(FilesTest, ReadAllOfALargeFile) {
    std::mt19937 random(7);
    std::string large(5 * 1024 * 1024 + 123, '\0');
    for (auto& byte : large) byte = static_cast<char>(random());
    WriteFile(m_folder / "large", large);
    EXPECT_EQ(m_files.ReadAll(m_folder / "large"), large);
}

TEST_F(FilesTest, ReadAllTakesAPipeThatArrivesInPieces) {
    // No size to go by, and far more than one read gives: the buffer has to grow.
    const std::string fifo = m_folder / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string expected;
    for (int line = 0; line < 30000; ++line) expected += "line " + std::to_string(line) + "\n";

    std::thread writer([&] {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);  // a reader that gave up: EPIPE
        const int fd = open(fifo.c_str(), O_WRONLY);
        for (std::size_t done = 0; fd >= 0 && done < expected.size();) {
            const ssize_t count = write(fd, expected.data() + done,
                                        std::min<std::size_t>(1000, expected.size() - done));
            if (count <= 0) break;
            done += static_cast<std::size_t>(count);
        }
        if (fd >= 0) close(fd);
    });
    std::string data;
    EXPECT_NO_THROW(data = m_files.ReadAll(fifo));
    writer.join();
    EXPECT_EQ(data.size(), expected.size());
    EXPECT_TRUE(data == expected);
}

TEST_F(FilesTest, ReadAllFailureNamesTheFullPath) {
    const test::CurrentFolderOverride current(m_folder.Path());
    const std::string folder = test::CurrentFolder();
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {"info", "Cannot open file \"" + folder + "/info\". No such file or directory"},
        {"./info", "Cannot open file \"" + folder + "/info\". No such file or directory"},
        {m_folder / "missing",
         "Cannot open file \"" + (m_folder / "missing") + "\". No such file or directory"},
        {"folder", "Cannot open file \"" + folder + "/folder\". Is a directory"},
        {"file/below", "Cannot open file \"" + folder + "/file/below\". Not a directory"},
    };
    for (const auto& c : cases) {
        try {
            m_files.ReadAll(c.path);
            ADD_FAILURE() << "no failure raised for " << c.path;
        } catch (const EFOpenError& error) {
            EXPECT_EQ(error.Message(), c.message);
        }
    }
}

TEST_F(FilesTest, ReadFromGivesTheBytesAfterTheOffset) {
    const std::string path = m_folder / "digits";
    WriteFile(path, "0123456789");
    const struct {
        std::uint64_t offset;
        std::string expected;
    } cases[] = {
        {0, "0123456789"}, {4, "456789"}, {9, "9"}, {10, ""}, {11, ""}, {UINT64_MAX, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(m_files.ReadFrom(path, c.offset, SIZE_MAX), c.expected) << c.offset;

    // The end is read afresh each time: what was added since shows up.
    WriteFile(path, "0123456789abc");
    EXPECT_EQ(m_files.ReadFrom(path, 10, SIZE_MAX), "abc");
    // A chatty coder's output is read a bounded part at a time.
    EXPECT_EQ(m_files.ReadFrom(path, 2, 3), "234");
}

TEST_F(FilesTest, ReadFromGivesNothingOnFailure) {
    EXPECT_EQ(m_files.ReadFrom(m_folder / "missing", 0, SIZE_MAX), "");
    EXPECT_EQ(m_files.ReadFrom(m_folder / "folder", 0, SIZE_MAX), "");
    EXPECT_EQ(m_files.ReadFrom(m_folder / "empty", 0, SIZE_MAX), "");
}

}  // namespace
}  // namespace lmk

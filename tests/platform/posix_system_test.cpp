#include <cerrno>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "failures.h"
#include "posix_platform.h"
#include "test_environment.h"
#include "test_files.h"

namespace lmk {
namespace {

using test::EnvironmentOverride;
using test::Exists;
using test::ScratchFolder;
using test::WriteFile;
using test::WriteScript;

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(SystemErrorTextTest, GivesTheSystemsText) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {ENOENT, "No such file or directory"},
        {EACCES, "Permission denied"},
        {EEXIST, "File exists"},
        {EISDIR, "Is a directory"},
        {0, "Success"},
        {123456, "Unknown error 123456"},
    };
    for (const auto& c : cases) EXPECT_EQ(SystemErrorText(c.code), c.text) << c.code;
}

TEST(SystemErrorTextTest, NoTextEndsInBlanksOrFullStops) {
    for (int code = 0; code < 200; ++code) {
        const std::string text = SystemErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        const auto last = static_cast<unsigned char>(text.back());
        EXPECT_TRUE(last > 0x20 && last != '.') << code << ": " << text;
        // So the error box ends the system-error message with exactly one full stop.
        EXPECT_EQ(PeriodRule(OSErrorFromCode(code == 0 ? 1 : code, text).Message()),
                  OSErrorFromCode(code == 0 ? 1 : code, text).Message() + ".");
    }
}

class PrivateFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir((m_scratch / "runtime").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((m_scratch / "temporary").c_str(), 0700), 0);
        WriteFile(m_scratch / "plain-file", "");
    }

    ScratchFolder m_scratch;
};

TEST_F(PrivateFolderTest, IsMadeInTheFirstUsableBase) {
    const std::string runtime = m_scratch / "runtime";
    const std::string temporary = m_scratch / "temporary";
    const struct {
        std::optional<std::string> runtimeVariable;
        std::optional<std::string> temporaryVariable;
        std::string base;
    } cases[] = {
        {runtime, temporary, runtime},
        {runtime + "/", temporary, runtime},
        {std::nullopt, temporary, temporary},
        {"", temporary, temporary},
        {m_scratch / "missing", temporary, temporary},
        {m_scratch / "plain-file", temporary, temporary},
        {std::nullopt, temporary + "//", temporary},
        {std::nullopt, std::nullopt, "/tmp"},
        {std::nullopt, "", "/tmp"},
    };
    for (const auto& c : cases) {
        const EnvironmentOverride runtimeOverride("XDG_RUNTIME_DIR", c.runtimeVariable);
        const EnvironmentOverride temporaryOverride("TMPDIR", c.temporaryVariable);
        const std::string folder = MakePrivateFolder();
        const std::string prefix = c.base + "/lmk-video-";
        EXPECT_EQ(folder.substr(0, prefix.size()), prefix);
        EXPECT_EQ(folder.size(), prefix.size() + 6) << folder;
        struct stat info {};
        ASSERT_EQ(stat(folder.c_str(), &info), 0) << folder;
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u) << "others may look into " << folder;
        RemovePrivateFolder(folder);
        EXPECT_FALSE(Exists(folder));
    }
}

TEST_F(PrivateFolderTest, TwoFoldersAreNeverTheSame) {
    const EnvironmentOverride runtimeOverride("XDG_RUNTIME_DIR", m_scratch / "runtime");
    const std::string first = MakePrivateFolder();
    const std::string second = MakePrivateFolder();
    EXPECT_NE(first, second);
    RemovePrivateFolder(first);
    RemovePrivateFolder(second);
}

TEST_F(PrivateFolderTest, FailureNamesThePattern) {
    const EnvironmentOverride runtimeOverride("XDG_RUNTIME_DIR", std::nullopt);
    const EnvironmentOverride temporaryOverride("TMPDIR", m_scratch / "missing");
    try {
        MakePrivateFolder();
        FAIL() << "no failure raised";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message(), "Cannot create file \"" + (m_scratch / "missing") +
                                       "/lmk-video-XXXXXX\". No such file or directory");
    }
}

TEST_F(PrivateFolderTest, RemovalTakesTheFilesAndTheFolder) {
    const EnvironmentOverride runtimeOverride("XDG_RUNTIME_DIR", m_scratch / "runtime");
    const std::string folder = MakePrivateFolder();
    WriteFile(folder + "/info", "report");
    WriteFile(folder + "/.hidden", "");
    WriteFile(folder + "/output with spaces", "coder output");
    const std::string outside = m_scratch / "plain-file";
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/link").c_str()), 0);

    RemovePrivateFolder(folder);
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(Exists(outside)) << "a link's target was removed";
}

TEST_F(PrivateFolderTest, RemovalDoesNotGoIntoSubfolders) {
    const EnvironmentOverride runtimeOverride("XDG_RUNTIME_DIR", m_scratch / "runtime");
    const std::string folder = MakePrivateFolder();
    WriteFile(folder + "/info", "report");
    ASSERT_EQ(mkdir((folder + "/below").c_str(), 0700), 0);
    WriteFile(folder + "/below/kept", "");

    RemovePrivateFolder(folder);
    EXPECT_FALSE(Exists(folder + "/info"));
    EXPECT_TRUE(Exists(folder + "/below/kept"));
}

TEST_F(PrivateFolderTest, RemovalOfNothingDoesNothing) {
    const test::CurrentFolderOverride current(m_scratch.Path());
    EXPECT_NO_THROW(RemovePrivateFolder(""));
    EXPECT_NO_THROW(RemovePrivateFolder(m_scratch / "missing"));
    EXPECT_TRUE(IsFolder(m_scratch / "runtime"));
    EXPECT_TRUE(Exists(m_scratch / "plain-file"));
}

TEST(ProgramPathTest, NamesThisTestProgram) {
    const std::string path = ProgramPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    const std::string name = "/platform_tests";
    ASSERT_GT(path.size(), name.size());
    EXPECT_EQ(path.substr(path.size() - name.size()), name);
    EXPECT_EQ(ProgramFolder() + "platform_tests", path);
    EXPECT_TRUE(IsFolder(ProgramFolder()));
}

TEST(AbsolutePathTest, JoinsRelativePathsWithTheCurrentFolder) {
    ScratchFolder scratch;
    ASSERT_EQ(symlink("/usr", (scratch / "link").c_str()), 0);
    const test::CurrentFolderOverride current(scratch.Path());
    const std::string here = test::CurrentFolder();
    const struct {
        std::string path;
        std::string expected;
    } cases[] = {
        {"info", here + "/info"},
        {"./info", here + "/info"},
        {"././info", here + "/info"},
        {".//info", here + "/info"},
        {".", here},
        {"./", here},
        {"", here},
        {".hidden", here + "/.hidden"},
        {"..name", here + "/..name"},
        {"../up", here + "/../up"},
        {"a/./b/../c", here + "/a/./b/../c"},
        {"link/bin", here + "/link/bin"},
        {"rtp:cam.avi", here + "/rtp:cam.avi"},
        {"клип с пробелом.avi", here + "/клип с пробелом.avi"},
        {"/abs/./path", "/abs/./path"},
        {"/", "/"},
    };
    for (const auto& c : cases) EXPECT_EQ(AbsolutePath(c.path), c.expected) << c.path;
}

TEST(AbsolutePathTest, AtTheRootFolder) {
    const test::CurrentFolderOverride current("/");
    EXPECT_EQ(AbsolutePath("info"), "/info");
    EXPECT_EQ(AbsolutePath("./info"), "/info");
    EXPECT_EQ(AbsolutePath("."), "/");
}

TEST(FindOnPathTest, FindsSystemPrograms) {
    const std::string shell = FindOnPath("sh");
    ASSERT_FALSE(shell.empty());
    EXPECT_EQ(shell.front(), '/');
    EXPECT_EQ(access(shell.c_str(), X_OK), 0);
    EXPECT_EQ(FindOnPath("no-such-program-xyz"), "");
    EXPECT_EQ(FindOnPath(""), "");
}

TEST(FindOnPathTest, TakesTheFirstExecutableFile) {
    ScratchFolder scratch;
    for (const char* folder : {"first", "second", "current"})
        ASSERT_EQ(mkdir((scratch / folder).c_str(), 0755), 0);
    WriteFile(scratch / "first/tool", "not executable");
    ASSERT_EQ(mkdir((scratch / "first/dir-tool").c_str(), 0755), 0);
    WriteScript(scratch / "second/tool", "exit 0");
    WriteScript(scratch / "second/dir-tool", "exit 0");
    WriteScript(scratch / "first/both", "exit 0");
    WriteScript(scratch / "second/both", "exit 0");
    WriteScript(scratch / "current/here", "exit 0");

    const test::CurrentFolderOverride current(scratch / "current");
    const std::string here = test::CurrentFolder();
    const EnvironmentOverride path(
        "PATH", scratch / "first" + ":" + scratch / "second/" + "::" + scratch / "missing");
    const struct {
        std::string name;
        std::string expected;
    } cases[] = {
        {"tool", scratch / "second/tool"},
        {"dir-tool", scratch / "second/dir-tool"},
        {"both", scratch / "first/both"},
        {"here", here + "/here"},  // the empty entry
        {"sh", ""},
        {"./here", here + "/here"},
        {"./missing", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(FindOnPath(c.name), c.expected) << c.name;
}

}  // namespace
}  // namespace lmk

// Faults of the storage around the job: an output folder the coder may not write to, a disk
// that fills up, the program's private folder taken away while it runs.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "clips.h"
#include "coder_run.h"
#include "fault_run.h"
#include "integration_support.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::faults {
namespace {

namespace fs = std::filesystem;
using integration::ClipKind;
using integration::kFailedConversionPrefix;
using integration::StatusLine;
using test::FolderNames;
using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::StartsWith;
using testing::UnorderedElementsAre;

// --- An output folder the coder may not write to -----------------------------------------

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
};

class UnwritableFolder : public FaultRun {
protected:
    // setpriv with the arguments that run a program as `account`.
    std::vector<std::string> AsUser(const Account& account,
                                    const std::vector<std::string>& command) const {
        std::vector<std::string> arguments{"--reuid=" + std::to_string(account.uid),
                                           "--regid=" + std::to_string(account.gid),
                                           "--clear-groups", "--"};
        arguments.insert(arguments.end(), command.begin(), command.end());
        return arguments;
    }
};

TEST_F(UnwritableFolder, FailureLinesInputsAndEarlierOutputUntouched) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    const std::string setpriv = "/usr/bin/setpriv";
    if (access(setpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is missing";
    const passwd* nobody = getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "there is no user \"nobody\" to run the program as";
    const Account account{nobody->pw_uid, nobody->pw_gid};

    // work/ stays root's and closed to others' writes; the runtime folder and free/ are the
    // user's own.
    fs::permissions(Root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    const std::string run = Root() + "/run";
    const std::string free = Root() + "/free";
    fs::create_directory(free);
    ASSERT_EQ(chown(run.c_str(), account.uid, account.gid), 0) << std::strerror(errno);
    ASSERT_EQ(chown(free.c_str(), account.uid, account.gid), 0) << std::strerror(errno);

    // The build folder may be closed to other users: then a copy of the program is run.
    std::string program = integration::ProgramPath();
    auto check = test::RunProgram(setpriv, AsUser(account, {program, "--help"}), Settings());
    if (check.exitCode != 0) {
        program = Root() + "/lmk-video";
        test::CopyFile(integration::ProgramPath(), program);
        check = test::RunProgram(setpriv, AsUser(account, {program, "--help"}), Settings());
    }
    if (check.exitCode != 0) GTEST_SKIP() << "cannot run the program as user nobody: " << check.err;

    const std::string a = Place(ClipKind::Avi640x480, "a.avi");
    const std::string b = Place(ClipKind::Avi640x480, "b.avi");
    test::WriteFile(Work("lmk-b.avi"), "an earlier output of b.avi");
    const std::string c = free + "/c.avi";
    test::CopyFile(a, c);
    const FileState aBefore = StateOf(a);
    const FileState bBefore = StateOf(b);
    const FileState earlierBefore = StateOf(Work("lmk-b.avi"));

    const RunResult result = test::RunProgram(
        setpriv,
        AsUser(account, {program, "--convert", "--coder", integration::CoderPath(), a, b, c}),
        Settings());

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    const auto failures = FailureLines(result.out);
    ASSERT_EQ(failures.size(), 2u) << result.out;
    // No coder and no second attempt for a folder where no file can be made.
    EXPECT_EQ(failures[0], kFailedConversionPrefix +
                               "a.avi: не удалось создать файл lmk-a.avi: Permission denied");
    // Not the coder's question whether to overwrite, which no one answers.
    EXPECT_EQ(failures[1],
              kFailedConversionPrefix +
                  "b.avi: не удалось заменить прежний файл lmk-b.avi: Permission denied");
    EXPECT_THAT(FolderNames(WorkFolder()), UnorderedElementsAre("a.avi", "b.avi", "lmk-b.avi"));
    EXPECT_TRUE(StateOf(a) == aBefore) << "an input was changed";
    EXPECT_TRUE(StateOf(b) == bBefore) << "an input was changed";
    EXPECT_TRUE(StateOf(Work("lmk-b.avi")) == earlierBefore)
        << "an output that could not be replaced was lost";
    ExpectConverted(free + "/lmk-c.avi");
}

// --- A disk that fills up -----------------------------------------------------------------

// A small tmpfs, unmounted at the end of the scope.
class SmallDisk {
public:
    SmallDisk(const std::string& folder, const char* size) : m_folder(folder) {
        fs::create_directory(m_folder);
        const std::string options = std::string("size=") + size;
        if (mount("tmpfs", m_folder.c_str(), "tmpfs", 0, options.c_str()) == 0) {
            m_mounted = true;
        } else {
            m_error = std::strerror(errno);
        }
    }
    ~SmallDisk() {
        if (m_mounted && umount(m_folder.c_str()) != 0) umount2(m_folder.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Mounted() const { return m_mounted; }
    const std::string& Error() const { return m_error; }
    unsigned long long FreeBytes() const {
        struct statvfs info {};
        statvfs(m_folder.c_str(), &info);
        return static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
    }

private:
    std::string m_folder;
    bool m_mounted = false;
    std::string m_error;
};

class FullDisk : public FaultRun {};

// The Debian 12 coder (FFmpeg 5.1) prints the write failures of a full disk ("Error writing
// trailer of ...: No space left on device") and still exits with status 0.
TEST_F(FullDisk, FailureLineNoPartialOutputNothingElseLost) {
    const std::string full = Root() + "/full";
    const SmallDisk disk(full, "2m");
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a 2 MB tmpfs at " << full << ": " << disk.Error()
                     << " (needs root with CAP_SYS_ADMIN)";

    const std::string a = full + "/a.avi";
    test::CopyFile(integration::ClipShelf::Get(ClipKind::Avi640x480), a);
    // Leave two pages: the output's headers fit, its first second of picture does not.
    const unsigned long long room = disk.FreeBytes();
    ASSERT_GT(room, 8192u);
    test::WriteFile(full + "/filler", std::string(room - 8192, 'f'));
    const std::string b = Place(ClipKind::Avi640x480, "b.avi");
    const FileState aBefore = StateOf(a);
    const FileState fillerBefore = StateOf(full + "/filler");

    const RunResult result = ConvertWith(integration::CoderPath(), {a, b});

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    EXPECT_THAT(FailureLines(result.out),
                ElementsAre(StartsWith(kFailedConversionPrefix + "a.avi: ")));
    EXPECT_THAT(FolderNames(full), UnorderedElementsAre("a.avi", "filler"))
        << "the partial output on the full disk was left behind";
    EXPECT_TRUE(StateOf(a) == aBefore) << "the input was changed";
    EXPECT_TRUE(StateOf(full + "/filler") == fillerBefore) << "another file was changed";
    ExpectConverted(Work("lmk-b.avi"));
}

// --- The private folder taken away --------------------------------------------------------

struct RemovedFolderCase {
    const char* label;
    CoderFault fault;
    const char* messageStart;  // the failure's message, up to the folder's path
    bool firstConverted;
};

void PrintTo(const RemovedFolderCase& c, std::ostream* out) {
    *out << c.label;
}

const std::string kRemovePrivateFolder = std::string("rm -rf ") + kPrivateFolderOfCoder;

class RemovedPrivateFolder : public FaultRun,
                             public testing::WithParamInterface<RemovedFolderCase> {};

// Ending the job with the failure's message is enough; a crash, a hang or a lost file is not.
TEST_P(RemovedPrivateFolder, EndsWithFileMessageNoCrash) {
    const RemovedFolderCase& c = GetParam();
    const std::string first = Place(ClipKind::Avi640x480, "first.avi");
    const std::string second = Place(ClipKind::Avi640x480, "second.avi");
    const FileState firstBefore = StateOf(first);
    const FileState secondBefore = StateOf(second);
    const std::string coder = WrapperCoder("folder-removing-coder", c.fault);

    const RunResult result = ConvertUnconfined(coder, {first, second});

    ASSERT_FALSE(result.timedOut) << "the program hung";
    EXPECT_EQ(result.signal, 0) << "the program crashed: " << result.err;
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_THAT(result.err, StartsWith(std::string(c.messageStart) + Root() + "/run/lmk-video-"));
    EXPECT_THAT(result.err, EndsWith("/info\". No such file or directory.\n"));
    // Each file's line is printed to a pipe once it is done; the broken-off one has none.
    if (c.firstConverted) {
        EXPECT_THAT(result.out, HasSubstr(StatusLine("first.avi")));
    }
    EXPECT_THAT(result.out, testing::Not(HasSubstr(integration::kDone)));
    EXPECT_TRUE(StateOf(first) == firstBefore) << "an input was changed";
    EXPECT_TRUE(StateOf(second) == secondBefore) << "an input was changed";
    EXPECT_FALSE(test::Exists(Work("lmk-second.avi")));
    EXPECT_EQ(test::Exists(Work("lmk-first.avi")), c.firstConverted);
    if (c.firstConverted) ExpectConverted(Work("lmk-first.avi"));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, RemovedPrivateFolder,
    testing::Values(
        // The report is gone before it is read.
        RemovedFolderCase{"AfterProbe", {kRemovePrivateFolder, ""}, "Cannot open file \"", false},
        // The first file's printout went with the folder, so its output cannot be judged and
        // is not kept; the second probe finds no folder for its report.
        RemovedFolderCase{
            "DuringConversion", {"", kRemovePrivateFolder}, "Cannot create file \"", false}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lmk::faults

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bubblewrap.h"
#include "coder_confinement.h"
#include "coder_sandbox.h"
#include "failures.h"
#include "posix_platform.h"
#include "test_child.h"
#include "test_environment.h"
#include "test_files.h"

namespace lmk {
namespace {

using test::ReadFile;
using test::ScratchFolder;
using test::WriteFile;
using test::WriteScript;

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Every test must leave no child behind, running or unreaped, and no descriptor open.
class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override { m_descriptors = OpenDescriptorCount(); }
    void TearDown() override {
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD) << "a child process was left behind";
        EXPECT_EQ(OpenDescriptorCount(), m_descriptors) << "a descriptor was left open";
    }

    std::unique_ptr<Process> Start(const std::string& program,
                                   const std::vector<std::string>& arguments = {}) {
        return m_processes.Start(program, arguments, Output(), {});
    }
    std::string Output() const { return m_folder / "output"; }

    // Waits for the script to write its line into `path` (without trailing newline).
    std::string WaitForLine(Process& process, const std::string& path) {
        for (int attempt = 0; attempt < 2000; ++attempt) {
            const std::string text = ReadFileIfAny(path);
            if (!text.empty() && text.back() == '\n') return text.substr(0, text.size() - 1);
            if (process.Wait(5) != WaitResult::TimedOut) break;
        }
        ADD_FAILURE() << "the child never wrote " << path;
        return {};
    }

    static std::string ReadFileIfAny(const std::string& path) {
        return access(path.c_str(), F_OK) == 0 ? ReadFile(path) : std::string();
    }

    ScratchFolder m_folder;
    // The starting itself, with children that write where the tests look.
    PosixProcesses m_processes{PosixProcesses::Unconfined};
    int m_descriptors = 0;
};

// Ignores and blocks the given signals in this process until the end of the scope, so a
// child that inherited either would not die of them.
class SignalsIgnoredAndBlocked {
public:
    explicit SignalsIgnoredAndBlocked(const std::vector<int>& signals) : m_signals(signals) {
        sigset_t block;
        sigemptyset(&block);
        for (const int signal : m_signals) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigaction(signal, &ignore, &m_saved[signal]);
            sigaddset(&block, signal);
        }
        sigprocmask(SIG_BLOCK, &block, &m_savedMask);
    }
    ~SignalsIgnoredAndBlocked() {
        sigprocmask(SIG_SETMASK, &m_savedMask, nullptr);
        for (const int signal : m_signals) sigaction(signal, &m_saved[signal], nullptr);
    }

private:
    std::vector<int> m_signals;
    std::map<int, struct sigaction> m_saved;
    sigset_t m_savedMask;
};

std::map<std::string, std::string> ParseReport(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

TEST_F(ProcessTest, StdoutAndStderrBothGoIntoTheOutputFileWhichStartsEmpty) {
    WriteFile(Output(), std::string(10000, 'x') + "\nstale report\n");
    const auto script = WriteScript(m_folder / "talk", "echo out\necho err >&2\necho out2");
    auto process = Start(script);
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);
    EXPECT_EQ(ReadFile(Output()), "out\nerr\nout2\n");
}

TEST_F(ProcessTest, ChildGetsCleanStartingState) {
    // Things a careless start would hand down: open descriptors without close-on-exec,
    // ignored and blocked signals.
    const int leakedFile = open("/dev/null", O_RDONLY);
    int leakedPipe[2];
    ASSERT_EQ(pipe(leakedPipe), 0);
    const SignalsIgnoredAndBlocked signals({SIGINT, SIGTERM, SIGPIPE, SIGHUP});
    // Nothing of ours that would change what the coder prints: colours, a report, a language.
    const test::EnvironmentOverride colour("AV_LOG_FORCE_COLOR", "1");
    const test::EnvironmentOverride coderReport("FFREPORT", "file=here.log");
    const test::EnvironmentOverride language("LANG", "ru_RU.UTF-8");
    const test::CurrentFolderOverride folder(m_folder.Path());

    auto process = Start(LMK_CHILD_PROBE, {"one"});
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);
    EXPECT_TRUE(process->Status().Success());
    close(leakedFile);
    close(leakedPipe[0]);
    close(leakedPipe[1]);

    auto report = ParseReport(ReadFile(Output()));
    EXPECT_EQ(report["fds"], "0,1,2");
    EXPECT_EQ(report["environment"], "LC_ALL,HOME,PATH");
    EXPECT_EQ(report["LC_ALL"], "C");
    EXPECT_EQ(report["stdin"], "/dev/null");
    EXPECT_EQ(report["stdin-read"], "0");
    EXPECT_EQ(report["own-group"], "1");
    EXPECT_EQ(report["blocked"], "");
    EXPECT_EQ(report["SIGINT"], "default");
    EXPECT_EQ(report["SIGTERM"], "default");
    EXPECT_EQ(report["SIGPIPE"], "default");
    EXPECT_EQ(report["SIGHUP"], "default");
    EXPECT_EQ(report["cwd"], test::CurrentFolder());
    EXPECT_EQ(report["argc"], "2");
    EXPECT_EQ(report["argv0"], LMK_CHILD_PROBE);
    EXPECT_EQ(report["stderr"], "works");
}

TEST_F(ProcessTest, ChildGetsItsStreamsWhenOursAreClosed) {
    // Started with no standard streams, our own output file and pipes take their numbers.
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) saved[fd] = dup(fd);
    for (int fd = 0; fd < 3; ++fd) close(fd);
    // The record goes before our streams come back, as its pidfd may hold one of their numbers.
    bool ended = false;
    try {
        ended = Start(LMK_CHILD_PROBE)->Wait(-1) == WaitResult::Ended;
    } catch (...) {
    }
    for (int fd = 0; fd < 3; ++fd) {
        dup2(saved[fd], fd);
        close(saved[fd]);
    }
    ASSERT_TRUE(ended);
    auto report = ParseReport(ReadFile(Output()));
    EXPECT_EQ(report["fds"], "0,1,2");
    EXPECT_EQ(report["stdin"], "/dev/null");
    EXPECT_EQ(report["stderr"], "works");
}

TEST_F(ProcessTest, CatEndsAtOnceEvenWhenOurStdinStaysOpen) {
    // Our own standard input is a pipe that never ends; the child must not read it.
    int endless[2];
    ASSERT_EQ(pipe(endless), 0);
    const int savedStdin = dup(STDIN_FILENO);
    dup2(endless[0], STDIN_FILENO);

    auto process = Start("cat");  // found on PATH
    const WaitResult result = process->Wait(20000);

    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);
    close(endless[0]);
    close(endless[1]);
    ASSERT_EQ(result, WaitResult::Ended);
    EXPECT_TRUE(process->Status().Success());
    EXPECT_EQ(ReadFile(Output()), "");
}

// Makes this test process the reaper of its orphaned descendants for the scope, so a test can
// see how one ended.
class OrphansComeToUs {
public:
    OrphansComeToUs() { EXPECT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
    ~OrphansComeToUs() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
    OrphansComeToUs(const OrphansComeToUs&) = delete;
    OrphansComeToUs& operator=(const OrphansComeToUs&) = delete;

    // Waits for the orphan `pid` to end and reaps it: true when it was killed by SIGKILL. One
    // still running after the limit is killed here and reaped, so no test leaves it behind.
    static bool EndsKilled(pid_t pid) {
        int status = 0;
        const bool ended = test::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                           std::chrono::seconds(30));
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "process " << pid << " ran on";
            return false;
        }
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
};

struct ExitCase {
    const char* name;
    const char* script;
    bool exited;
    int code;
    bool leavesHelper = false;  // the script started a helper into its group, pid in "$0.helper"
    // The script held this much memory at once: its cost reaches the status.
    std::uint64_t leastPeakKiB = 0;
};

// The cost of a run, told only by a status that counts the processes the run waited for.
void ExpectCostOf(const ExitCase& end, const ExitStatus& status) {
    EXPECT_GE(status.peakMemoryKiB, end.leastPeakKiB);
    if (end.leastPeakKiB > 0) {
        EXPECT_GT(status.processorMicroseconds, 0U);
    }
}

class ExitStatusTest : public ProcessTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitStatusTest, IsReportedAsTheChildEnded) {
    // The parent ignoring and blocking these signals must not change how the child dies.
    const SignalsIgnoredAndBlocked signals({SIGINT, SIGTERM, SIGPIPE, SIGHUP});
    const OrphansComeToUs orphans;
    const auto script = WriteScript(m_folder / "end", GetParam().script);
    auto process = Start(script);
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);
    if (GetParam().leavesHelper) {
        EXPECT_TRUE(OrphansComeToUs::EndsKilled(std::stoi(ReadFile(script + ".helper"))))
            << "the helper outlived a run that ended well";
    }
    const ExitStatus status = process->Status();
    EXPECT_EQ(status.exited, GetParam().exited);
    EXPECT_EQ(status.code, GetParam().code);
    EXPECT_EQ(status.Success(), GetParam().exited && GetParam().code == 0);
    ExpectCostOf(GetParam(), status);
}

const ExitCase kExitCases[] = {
    {"Exit0", "exit 0", true, 0},
    {"Exit3", "exit 3", true, 3},
    {"Exit255", "exit 255", true, 255},
    {"SIGINT", "kill -INT $$\nexit 0", false, SIGINT},
    {"SIGTERM", "kill -TERM $$\nexit 0", false, SIGTERM},
    {"SIGPIPE", "kill -PIPE $$\nexit 0", false, SIGPIPE},
    {"SIGKILL", "kill -KILL $$\nexit 0", false, SIGKILL},
    {"SIGHUP", "kill -HUP $$\nexit 0", false, SIGHUP},
    {"Exit0AfterHolding50MB", "x=$(yes | head -c 50000000)\nexit 0", true, 0, false,
     50000000 / 1024},
    {"Exit0LeavingAHelperInItsGroup",
     "sleep 60 &\necho $! > \"$0.helper.part\"\nmv \"$0.helper.part\" \"$0.helper\"\nexit 0", true,
     0, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, ExitStatusTest, ::testing::ValuesIn(kExitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The same ends as bubblewrap passes them on: a coder killed by signal n as 128 + n.
class ExitInNameSpacesTest : public ExitStatusTest {};

TEST_P(ExitInNameSpacesTest, IsReportedAsTheChildEnded) {
    if (!BubblewrapRuns()) GTEST_SKIP() << "bubblewrap does not run here";
    const SignalsIgnoredAndBlocked signals({SIGINT, SIGTERM, SIGPIPE, SIGHUP});
    PosixProcesses inNameSpaces(PosixProcesses::InNameSpaces);
    auto process =
        inNameSpaces.Start(WriteScript(m_folder / "end", GetParam().script), {}, Output(), {});
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);
    EXPECT_EQ(process->Status().exited, GetParam().exited);
    EXPECT_EQ(process->Status().code, GetParam().code);
    ExpectCostOf(GetParam(), process->Status());
}

// Its helper cannot write beside the script there.
INSTANTIATE_TEST_SUITE_P(Cases, ExitInNameSpacesTest,
                         ::testing::ValuesIn(kExitCases, kExitCases + std::size(kExitCases) - 1),
                         [](const auto& info) { return std::string(info.param.name); });

// The folders bound for a coder follow from its first bytes and where it is installed.
TEST_F(ProcessTest, NameSpacesBindWhatTheCoderNeeds) {
    struct Case {
        std::string start;
        std::string path;
        bool script, local, bits32;
    };
    const std::string elf64 = std::string("\x7f") + "ELF\x02\x01";
    const std::string elf32 = std::string("\x7f") + "ELF\x01\x01";
    for (const Case& c : {Case{elf64, "/usr/bin/ffmpeg", false, false, false},
                          Case{elf32, "/opt/ffmpeg32/ffmpeg", false, false, true},
                          Case{elf64, "/usr/local/bin/ffmpeg", false, true, false},
                          Case{"#!/bin/sh\n", "/home/u/coder.sh", true, false, false},
                          Case{"#!", "/home/u/short.sh", true, false, false},
                          Case{"#", "/home/u/empty", false, false, false}}) {
        SCOPED_TRACE(c.path);
        WriteFile(m_folder / "coder", c.start);
        const int coder = open((m_folder / "coder").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(coder, 0);
        const CoderNeeds needs = NeedsOf(coder, c.path);
        close(coder);
        EXPECT_EQ(needs.script, c.script);
        EXPECT_EQ(needs.local, c.local);
        EXPECT_EQ(needs.bits32, c.bits32);
    }
}

TEST_F(ProcessTest, WaitTimesOutWhileRunningAndEndsOnceItExits) {
    const std::string trigger = m_folder / "trigger";
    const auto script =
        WriteScript(m_folder / "waiter", "while [ ! -e \"$1\" ]; do sleep 0.01; done\nexit 7");
    auto process = Start(script, {trigger});

    EXPECT_EQ(process->Wait(0), WaitResult::TimedOut);
    EXPECT_EQ(process->Wait(30), WaitResult::TimedOut);
    WriteFile(trigger, "");
    EXPECT_EQ(process->Wait(-1), WaitResult::Ended);
    EXPECT_TRUE(process->Status().exited);
    EXPECT_EQ(process->Status().code, 7);

    // Asking again changes nothing.
    EXPECT_EQ(process->Wait(0), WaitResult::Ended);
    EXPECT_EQ(process->Wait(-1), WaitResult::Ended);
    EXPECT_EQ(process->Status().code, 7);
}

TEST_F(ProcessTest, SignalDuringAnUnlimitedWaitCountsAsTimedOut) {
    // The child never ends by itself, so only the timer's signal can end this wait; the
    // caller then gets the chance to look at its stop request.
    const auto script = WriteScript(m_folder / "forever", "exec sleep 60");
    auto process = Start(script);
    struct sigaction tick {};
    tick.sa_handler = [](int) {};
    struct sigaction saved {};
    sigaction(SIGALRM, &tick, &saved);
    itimerval every10ms{{0, 10000}, {0, 10000}};
    setitimer(ITIMER_REAL, &every10ms, nullptr);

    const WaitResult result = process->Wait(-1);

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_EQ(result, WaitResult::TimedOut);
    process->End();
}

TEST_F(ProcessTest, RefusedWaitIsRaisedWithItsReason) {
    // poll refuses to watch more descriptors than the limit of open files allows, so a limit of
    // none makes the system refuse the wait on the pidfd. The polling wait has no such call.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    if (pidFd < 0) GTEST_SKIP() << "no pidfd here";
    close(pidFd);
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' checks need descriptors of their own while it is raised";
#endif
    auto process = Start(WriteScript(m_folder / "forever", "exec sleep 60"));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none{0, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    std::string message = "no failure raised";
    try {
        process->Wait(10000);
    } catch (const EOSError& error) {
        message = error.Message();
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(message, "System Error.  Code: 22.\r\nInvalid argument");
    process->End();
    EXPECT_EQ(process->Status().code, SIGKILL);
}

TEST_F(ProcessTest, EndKillsALongSleeperAndReapsIt) {
    const std::string pidFile = m_folder / "pid";
    const auto script = WriteScript(m_folder / "sleeper", "echo $$ > \"$1\"\nexec sleep 60");
    auto process = Start(script, {pidFile});
    const pid_t pid = std::stoi(WaitForLine(*process, pidFile));

    process->End();
    EXPECT_FALSE(process->Status().exited);
    EXPECT_EQ(process->Status().code, SIGKILL);
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);

    process->End();  // harmless the second time
    EXPECT_EQ(process->Wait(0), WaitResult::Ended);
    EXPECT_EQ(process->Status().code, SIGKILL);
}

TEST_F(ProcessTest, EndTakesAlongWhatTheChildStarted) {
    const OrphansComeToUs orphans;
    const std::string pidFile = m_folder / "pid";
    const auto script =
        WriteScript(m_folder / "parent", "sleep 60 &\necho $! > \"$1\"\nwait\nexit 0");
    auto process = Start(script, {pidFile});
    const pid_t grandchild = std::stoi(WaitForLine(*process, pidFile));

    process->End();
    EXPECT_TRUE(OrphansComeToUs::EndsKilled(grandchild)) << "the grandchild outlived End()";
}

TEST_F(ProcessTest, DestroyingARunningProcessEndsIt) {
    const std::string pidFile = m_folder / "pid";
    const auto script = WriteScript(m_folder / "sleeper", "echo $$ > \"$1\"\nexec sleep 60");
    auto process = Start(script, {pidFile});
    const pid_t pid = std::stoi(WaitForLine(*process, pidFile));

    process.reset();
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ProcessTest, EndAfterTheProcessEndedKeepsItsStatus) {
    auto process = Start(WriteScript(m_folder / "quick", "exit 5"));
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);
    process->End();
    EXPECT_TRUE(process->Status().exited);
    EXPECT_EQ(process->Status().code, 5);
}

TEST_F(ProcessTest, ArgumentsArriveUnchanged) {
    const std::vector<std::string> arguments = {
        "two words",   "it's",        "\"quoted\"", "$HOME",   "`id`",    "$(id)",
        "line\nbreak", "Привет, мир", "-i",         "--",      "",        "back\\slash",
        "*",           "a;b|c&d>e<f", " padded ",   "tab\tin", "rtp:cam", "%s %d",
    };
    const auto script = WriteScript(m_folder / "echo args", "printf '%s\\0' \"$0\" \"$@\"");
    auto process = Start(script, arguments);
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);

    std::string expected = script + '\0';
    for (const auto& argument : arguments) expected += argument + '\0';
    EXPECT_EQ(ReadFile(Output()), expected);
}

TEST_F(ProcessTest, ProgramWithoutSlashIsFoundOnPath) {
    // A folder earlier on PATH with a file of that name that cannot run is passed over.
    const std::string earlier = m_folder / "earlier";
    mkdir(earlier.c_str(), 0755);
    WriteFile(earlier + "/lmk-fake-coder", "#!/bin/sh\necho wrong one\n");
    WriteScript(m_folder / "lmk-fake-coder", "echo found \"$@\"");
    const test::EnvironmentOverride path("PATH",
                                         earlier + ":" + m_folder.Path() + ":/usr/bin:/bin");
    auto process = Start("lmk-fake-coder", {"-i", "x"});
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);
    EXPECT_EQ(ReadFile(Output()), "found -i x\n");
}

struct StartFailureCase {
    const char* name;
    const char* program;  // "@" stands for the scratch folder
    int code;
    const char* message;
};

class StartFailureTest : public ProcessTest,
                         public ::testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailureTest, RaisesTheSystemError) {
    WriteFile(m_folder / "not-executable", "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(mkfifo((m_folder / "fifo-coder").c_str(), 0700), 0);
    WriteScript(m_folder / "writable-coder", "exit 0");
    ASSERT_EQ(chmod((m_folder / "writable-coder").c_str(), 0757), 0);
    // Another user's, put in the place of the coder after its first check (as root: nobody's).
    WriteScript(m_folder / "others-coder", "exit 0");
    if (chown((m_folder / "others-coder").c_str(), 65534, 65534) != 0 &&
        std::string(GetParam().name) == "OwnedByAnotherUser")
        GTEST_SKIP() << "cannot give a file to another user here";
    std::string program = GetParam().program;
    if (program.front() == '@') program = m_folder.Path() + program.substr(1);
    std::string message = GetParam().message;
    if (const auto at = message.find('@'); at != std::string::npos)
        message.replace(at, 1, m_folder.Path());
    const test::EnvironmentOverride path("PATH", m_folder.Path() + ":/usr/bin:/bin");
    try {
        Start(program, {"-i", "x"});
        FAIL() << "no failure raised";
    } catch (const EOSError& error) {
        EXPECT_EQ(error.Code(), GetParam().code);
        EXPECT_EQ(error.Message(), message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartFailureTest,
    ::testing::Values(StartFailureCase{"MissingPath", "/no/such/folder/coder", 2,
                                       "System Error.  Code: 2.\r\nNo such file or directory"},
                      StartFailureCase{"MissingInScratch", "@/coder", 2,
                                       "System Error.  Code: 2.\r\nNo such file or directory"},
                      StartFailureCase{"MissingOnPath", "no-such-program-xyz", 2,
                                       "System Error.  Code: 2.\r\nNo such file or directory"},
                      StartFailureCase{"NotExecutable", "@/not-executable", 13,
                                       "System Error.  Code: 13.\r\nPermission denied"},
                      StartFailureCase{"NotExecutableOnPath", "not-executable", 13,
                                       "System Error.  Code: 13.\r\nPermission denied"},
                      StartFailureCase{"Folder", "@", 13,
                                       "System Error.  Code: 13.\r\nPermission denied"},
                      // Not waited on for a writer: refused at once.
                      StartFailureCase{"Fifo", "@/fifo-coder", 13,
                                       "System Error.  Code: 13.\r\nPermission denied"},
                      // Swapped or changed by someone else between its check and its start.
                      StartFailureCase{"WritableByOthers", "@/writable-coder", 1,
                                       "System Error.  Code: 1.\r\nThe coder @/writable-coder is "
                                       "not used: others may write to it"},
                      StartFailureCase{"OwnedByAnotherUser", "@/others-coder", 1,
                                       "System Error.  Code: 1.\r\nThe coder @/others-coder is "
                                       "not used: it belongs to another user"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcessTest, OutputFileThatCannotBeCreatedStopsTheStart) {
    const std::string marker = m_folder / "ran";
    const auto script = WriteScript(m_folder / "marker", "touch \"$1\"");
    const std::string output = m_folder / "missing/output";
    try {
        m_processes.Start(script, {marker}, output, {});
        FAIL() << "no failure raised";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message(),
                  "Cannot create file \"" + output + "\". No such file or directory");
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the program ran anyway";
}

struct SandboxCase {
    const char* name;
    const char* attempt;  // hostile_coder's
    const char* outcome;  // "allowed", or the errno's name that refused it
    const char* deniedBy;
    // In name spaces, where these see no such file first: the outcome, denied by them.
    const char* inNameSpaces = nullptr;
    // The coder is this bash script instead, given the hostile coder's arguments.
    const char* bashScript = nullptr;
    // Once held, the input's folder is swapped for a link to home, which has a file of its name.
    bool folderSwapped = false;
    // In a file's sandbox, where the runner is the coder's parent: the outcome, when it differs.
    const char* inAFilesSandbox = nullptr;
};

// Converts as the program's conversion does, into its output without emptying it.
constexpr const char* kBashCoder =
    "/usr/bin/ffmpeg -nostdin -v error -f lavfi -i testsrc=d=0.2:s=64x48 -f avi -y -truncate 0 "
    "\"file:$3\" && echo allowed";

void PrintTo(const SandboxCase& attempt, std::ostream* out) {
    *out << attempt.name;
}

// The processes that hold `path` open, as the host numbers them.
std::vector<pid_t> HoldersOf(const std::string& path) {
    struct stat file {};
    std::vector<pid_t> holders;
    if (stat(path.c_str(), &file) != 0) return holders;
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        const std::string name = process.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", error)) {
            struct stat open {};
            if (stat(fd.path().c_str(), &open) == 0 && open.st_dev == file.st_dev &&
                open.st_ino == file.st_ino)
                holders.push_back(std::stoi(name));
        }
    }
    return holders;
}

// A parent of ours killed outright can end nothing itself: the coder it started ends anyway,
// and in name spaces bubblewrap and the run's first process with it.
class KilledParentTest : public ProcessTest,
                         public ::testing::WithParamInterface<PosixProcesses::Confinement> {};

TEST_P(KilledParentTest, TakesTheCoderAlong) {
    const bool nameSpaces = GetParam() == PosixProcesses::InNameSpaces;
    if (nameSpaces && !BubblewrapRuns()) GTEST_SKIP() << "bubblewrap does not run here";
    const OrphansComeToUs orphans;
    const auto coder = WriteScript(m_folder / "coder", "echo ready\nexec sleep 600");
    test::Child parent(LMK_CODER_PARENT,
                       {coder, Output(), nameSpaces ? "in-name-spaces" : "unconfined"}, {});
    ASSERT_TRUE(
        test::WaitUntil([&] { return ReadFileIfAny(Output()) == "ready\n" || parent.Ended(); },
                        std::chrono::seconds(30)));
    ASSERT_FALSE(parent.Ended()) << parent.Wait(std::chrono::seconds(0)).err;
    // Whatever the run started holds its printout.
    const std::vector<pid_t> started = HoldersOf(Output());
    ASSERT_FALSE(started.empty());

    ASSERT_EQ(kill(parent.Pid(), SIGKILL), 0);
    EXPECT_EQ(parent.Wait(std::chrono::seconds(30)).signal, SIGKILL);
    const bool ended =
        test::WaitUntil([&] { return HoldersOf(Output()).empty(); }, std::chrono::seconds(30));
    for (const pid_t left : HoldersOf(Output())) kill(left, SIGKILL);
    EXPECT_TRUE(ended) << "the coder outlived its killed parent";
    // Those that came to us as orphans.
    for (const pid_t pid : started) waitpid(pid, nullptr, 0);
}

INSTANTIATE_TEST_SUITE_P(Confinements, KilledParentTest,
                         ::testing::Values(PosixProcesses::Unconfined,
                                           PosixProcesses::InNameSpaces),
                         [](const auto& info) {
                             return info.param == PosixProcesses::InNameSpaces ? "InNameSpaces"
                                                                               : "Unconfined";
                         });

// How a run is confined: in name spaces, or by Landlock (capped at `landlockCap` unless it is
// -1: 2 is Debian 12's own kernel's, 0 none) and seccomp where there are none.
struct SandboxPath {
    PosixProcesses::Confinement confinement;
    int landlockCap = -1;
    // The attempt is the second run of a file's sandbox, after itself as the probe.
    bool shared = false;
};

// Each attempt in the run's own name spaces, and by Landlock and seccomp where there are none.
class SandboxTest : public ProcessTest,
                    public ::testing::WithParamInterface<std::tuple<SandboxCase, SandboxPath>> {};

TEST_P(SandboxTest, TheCoderGetsItsFilesAndNothingMore) {
    const auto& [attempt, path] = GetParam();
    const test::EnvironmentOverride cap(
        "LMK_LANDLOCK_MAX",
        path.landlockCap < 0 ? std::nullopt : std::optional(std::to_string(path.landlockCap)));
    const bool nameSpaces = path.confinement == PosixProcesses::InNameSpaces;
    if (nameSpaces && !BubblewrapRuns()) GTEST_SKIP() << "bubblewrap does not run here";
    const bool byNameSpaces = nameSpaces && attempt.inNameSpaces;
    if (!nameSpaces && std::string(attempt.deniedBy) == "Landlock" && LandlockVersion() == 0)
        GTEST_SKIP() << "this kernel has no Landlock";
    if (std::string(attempt.deniedBy) == "memory limit" && CoderMemoryLimit() == 0)
        GTEST_SKIP() << "no memory limit in a sanitized build";
    if (std::string(attempt.deniedBy) == "task limit" && getuid() == 0)
        GTEST_SKIP() << "the kernel limits no tasks of root's";
    const std::string home = m_folder / "home";
    const std::string inputs = m_folder / "inputs";
    const std::string elsewhere = m_folder / "elsewhere";
    for (const auto& folder : {home, inputs, elsewhere}) ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    WriteFile(home + "/secret", "the user's key");
    struct stat secret {};
    ASSERT_EQ(stat((home + "/secret").c_str(), &secret), 0);
    WriteFile(inputs + "/clip.avi", "a hostile file");
    const std::string output = inputs + "/.lmk-partial-1-0-lmk-clip.avi";
    WriteFile(output, "");
    const test::EnvironmentOverride homeVariable("HOME", home);
    // Something to reach: without the sandbox the connection is made.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);

    // As the program holds it while the file is converted.
    PosixFiles files;
    files.HoldFolder(inputs + "/");
    if (attempt.folderSwapped) {
        WriteFile(home + "/clip.avi", "the user's key");
        ASSERT_EQ(rename(inputs.c_str(), (inputs + "-held").c_str()), 0);
        ASSERT_EQ(symlink(home.c_str(), inputs.c_str()), 0);
    }
    PosixProcesses confined(path.confinement);
    std::string coder = LMK_HOSTILE_CODER;
    if (attempt.bashScript) {
        coder = WriteScript(m_folder / "coder", "");
        WriteFile(coder, std::string("#!/bin/bash\n") + attempt.bashScript + "\n");
    }
    const std::vector<std::string> arguments = {attempt.attempt,
                                                inputs + "/clip.avi",
                                                output,
                                                elsewhere,
                                                std::to_string(ntohs(address.sin_port)),
                                                std::to_string(getpid())};
    const CoderAccess access{inputs + "/clip.avi", output, m_folder / "progress"};
    std::unique_ptr<CoderRuns> runs;
    if (path.shared) {
        ASSERT_TRUE(confined.SharesRuns());
        runs = confined.StartRuns(coder, access, m_folder / "sandbox");
        ASSERT_TRUE(runs);
        ASSERT_EQ(runs->Start(arguments, m_folder / "probe", false)->Wait(-1), WaitResult::Ended);
        // As a probe may write the output it is shown: none of that stays in the conversion's.
        std::string left;
        for (int i = 0; i < 5000; ++i) left += "left by the probe ";
        WriteFile(output, left);
    }
    auto process = runs ? runs->Start(arguments, Output(), true)
                        : confined.Start(coder, arguments, Output(), access);
    ASSERT_EQ(process->Wait(-1), WaitResult::Ended);
    process.reset();
    runs.reset();
    close(listener);
    files.LetGoFolder(inputs + "/");
    if (attempt.folderSwapped) {
        ASSERT_EQ(unlink(inputs.c_str()), 0);
        ASSERT_EQ(rename((inputs + "-held").c_str(), inputs.c_str()), 0);
    }
    const std::string deniedBy = byNameSpaces ? "name spaces" : attempt.deniedBy;
    const char* expected = byNameSpaces ? attempt.inNameSpaces : attempt.outcome;
    if (path.shared && attempt.inAFilesSandbox) expected = attempt.inAFilesSandbox;
    EXPECT_EQ(ReadFile(Output()), std::string(expected) + "\n")
        << attempt.attempt << " was to be "
        << (deniedBy.empty() ? "allowed" : "denied by " + deniedBy);
    EXPECT_EQ(ReadFile(m_folder / "progress"), attempt.attempt == std::string("write-progress")
                                                   ? "out_time_us=0\nprogress=end\n"
                                                   : "");
    EXPECT_EQ(ReadFile(output).find("left by the probe"), std::string::npos);
    EXPECT_FALSE(test::Exists(inputs + "/planted"));
    EXPECT_FALSE(test::Exists(elsewhere + "/planted"));
    EXPECT_EQ(ReadFile(inputs + "/clip.avi"), "a hostile file");
    struct stat secretAfter {};
    ASSERT_EQ(stat((home + "/secret").c_str(), &secretAfter), 0);
    EXPECT_EQ(secretAfter.st_mode, secret.st_mode);
    // Nothing the run started is left to write later: its name spaces or its group ended it.
    const bool ended =
        test::WaitUntil([&] { return HoldersOf(output).empty(); }, std::chrono::seconds(10));
    for (const pid_t left : HoldersOf(output)) kill(left, SIGKILL);
    EXPECT_TRUE(ended) << attempt.attempt << " left a process behind";
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, SandboxTest,
    ::testing::Combine(
        ::testing::Values(
            SandboxCase{"ReadsItsInput", "read-input", "allowed", ""},
            SandboxCase{"WritesItsOutput", "write-output", "allowed", ""},
            SandboxCase{"WritesItsProgressOnItsDescriptor", "write-progress", "allowed", ""},
            SandboxCase{"ReadsNoSecretInHome", "read-home-secret", "EACCES", "Landlock", "ENOENT"},
            SandboxCase{"WritesNothingBesideTheInput", "write-beside-input", "EACCES", "Landlock",
                        "EROFS"},
            SandboxCase{"LeavesTheInputAsItIs", "overwrite-input", "EACCES", "Landlock", "EROFS"},
            SandboxCase{"CreatesNothingElsewhere", "create-elsewhere", "EACCES", "Landlock",
                        "ENOENT"},
            SandboxCase{"RunsNoShell", "run-shell", "EACCES", "Landlock", "ENOENT"},
            SandboxCase{"ConnectsNowhere", "connect-tcp", "EPERM", "seccomp"},
            SandboxCase{"ListensNowhere", "listen-tcp", "EPERM", "seccomp"},
            SandboxCase{"OpensNoLocalSocket", "local-socket", "EPERM", "seccomp"},
            SandboxCase{"PairsNoSockets", "socket-pair", "EPERM", "seccomp"},
            SandboxCase{"TracesNothing", "trace-parent", "EPERM", "seccomp"},
            SandboxCase{"KeepsTheModeOfHomeFiles", "chmod-home-file", "EPERM", "seccomp"},
            SandboxCase{"SetsNoAttribute", "set-xattr", "EPERM", "seccomp"},
            SandboxCase{"KeepsFileTimes", "change-times", "EPERM", "seccomp"},
            SandboxCase{"LeavesThePriorityOfOthers", "reprioritize-parent", "EPERM", "seccomp"},
            SandboxCase{"LeavesTheLimitsOfOthers", "limit-parent", "EPERM", "seccomp"},
            SandboxCase{"SetsNoLimitOfItsOwn", "set-own-limit", "EPERM", "seccomp"},
            SandboxCase{"MakesNoNameSpaceByClone", "clone-name-spaces", "EPERM", "seccomp"},
            SandboxCase{"TakesNoDescriptorOfOthers", "take-parent-descriptor", "EPERM", "seccomp"},
            SandboxCase{"WatchesNoFolder", "watch-home", "EPERM", "seccomp"},
            SandboxCase{"TruncatesNoFileByPath", "truncate-input", "EPERM", "seccomp"},
            SandboxCase{"SignalsNoOtherProcess", "signal-parent", "EPERM", "seccomp"},
            SandboxCase{"LeavesNoSessionBehind", "setsid-child", "EPERM", "seccomp"},
            SandboxCase{"SeesItsOwnProcess", "proc-own", "allowed", ""},
            SandboxCase{"SeesNoOtherProcess", "proc-other", "EACCES", "Landlock", "ENOENT"},
            // In a run's own name spaces its parent is bubblewrap's init, which holds nothing
            // of the program's; the runner of a file's sandbox holds its socket to the program.
            SandboxCase{"WritesNoMemoryOfTheRunner", "write-parent-memory", "EACCES", "Landlock",
                        "allowed", nullptr, false, "EACCES"},
            SandboxCase{"TakesNoMoreThanTheMemoryLimit", "allocate-4-gib", "ENOMEM",
                        "memory limit"},
            SandboxCase{"EmptiesNoFileByOpening", "open-truncating-input", "EPERM", "seccomp"},
            SandboxCase{"DeletesNoFile", "unlink-home-file", "EPERM", "seccomp"},
            SandboxCase{"MovesNoFile", "rename-input", "EPERM", "seccomp"},
            SandboxCase{"LinksNoFile", "link-input", "EPERM", "seccomp"},
            SandboxCase{"SharesNoMemoryPastTheLimit", "share-4-gib", "EPERM", "seccomp"},
            SandboxCase{"StartsNoMoreThanTheTaskLimit", "start-3000-threads", "EAGAIN",
                        "task limit"},
            SandboxCase{"ABashCoderConverts", "convert", "allowed", "", nullptr, kBashCoder},
            SandboxCase{"ReadsOnlyTheInputOfItsFolderAsHeld", "print-input", "EACCES", "Landlock",
                        "a hostile file", nullptr, true}),
        ::testing::Values(SandboxPath{PosixProcesses::InNameSpaces},
                          SandboxPath{PosixProcesses::ByLandlock},
                          SandboxPath{PosixProcesses::ByLandlock, 2},
                          SandboxPath{PosixProcesses::ByLandlock, 0},
                          SandboxPath{PosixProcesses::InNameSpaces, -1, true})),
    [](const auto& info) {
        const SandboxPath& path = std::get<1>(info.param);
        const std::string name = std::get<0>(info.param).name;
        if (path.shared) return name + "_InAFilesSandbox";
        if (path.confinement == PosixProcesses::InNameSpaces) return name + "_InNameSpaces";
        return name + "_ByLandlock" +
               (path.landlockCap < 0 ? "OfTheKernel" : std::to_string(path.landlockCap));
    });

// A file's sandbox whose runner dies in mid-run: the run ends as killed, and the file's next run
// gets a sandbox of its own.
TEST_F(ProcessTest, AFilesSandboxWhoseRunnerDiesEndsItsRunAndServesTheNextApart) {
    if (!BubblewrapRuns()) GTEST_SKIP() << "bubblewrap does not run here";
    PosixProcesses inNameSpaces(PosixProcesses::InNameSpaces);
    const std::string input = m_folder / "clip.avi";
    WriteFile(input, "a clip");
    const std::string coder =
        WriteScript(m_folder / "coder",
                    "[ \"$1\" = quick ] && { echo quick; exit 0; }\necho started\nexec sleep 60");
    auto runs = inNameSpaces.StartRuns(coder, {input, {}}, m_folder / "sandbox");
    ASSERT_TRUE(runs);
    auto run = runs->Start({"slow"}, Output(), false);
    ASSERT_EQ(WaitForLine(*run, Output()), "started");
    // It holds the run's printout while the run lasts, as the coder does.
    pid_t runner = 0;
    for (const pid_t holder : HoldersOf(Output()))
        if (ReadFile("/proc/" + std::to_string(holder) + "/cmdline").find("lmk-coder-runner") !=
            std::string::npos)
            runner = holder;
    ASSERT_GT(runner, 0);
    ASSERT_EQ(kill(runner, SIGKILL), 0);
    ASSERT_EQ(run->Wait(-1), WaitResult::Ended);
    EXPECT_FALSE(run->Status().exited);
    EXPECT_EQ(run->Status().code, SIGKILL);
    run.reset();

    auto next = runs->Start({"quick"}, Output(), false);
    ASSERT_EQ(next->Wait(-1), WaitResult::Ended);
    EXPECT_TRUE(next->Status().Success());
    EXPECT_EQ(ReadFile(Output()), "quick\n");
}

}  // namespace
}  // namespace lmk

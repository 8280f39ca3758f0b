#include "posix_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bubblewrap.h"
#include "coder_confinement.h"
#include "coder_runner.h"
#include "coder_sandbox.h"
#include "failures.h"
#include "file_descriptor.h"

extern char** environ;

namespace lmk {
namespace {

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

long long MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::uint64_t Microseconds(const timeval& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000000 +
           static_cast<std::uint64_t>(time.tv_usec);
}

// Adds what a reaped process used, with those it waited for, to the run's cost.
void AddUsage(ExitStatus& status, const rusage& usage) {
    status.processorMicroseconds += Microseconds(usage.ru_utime) + Microseconds(usage.ru_stime);
    status.peakMemoryKiB =
        std::max(status.peakMemoryKiB, static_cast<std::uint64_t>(std::max(usage.ru_maxrss, 0L)));
}

ExitStatus StatusFromWait(int status) {
    ExitStatus result;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.code = WTERMSIG(status);
    }
    return result;
}

// The system's refusal, with its reason.
EOSError SystemFailure(int error) {
    return OSErrorFromCode(error, SystemErrorText(error));
}

// Moves a descriptor above those a child gets at fixed numbers (standard input, output and
// error, the progress descriptor), so that setting those up in the child cannot overwrite it.
int AboveFixedDescriptors(int fd) {
    if (fd < 0 || fd > kProgressDescriptor) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kProgressDescriptor + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

constexpr int kMaxPassed = 9;

// Everything the child needs before its exec, made beforehand: the child shares our memory
// until then, and may not allocate or take a lock (another thread of ours may hold one).
struct ChildStart {
    std::vector<const char*> candidates;
    char* const* argv = nullptr;
    char* const* environment = nullptr;
    pid_t parent = -1;
    int output = -1;
    int progress = -1;   // becomes kProgressDescriptor; -1: none
    int errorPipe = -1;  // close-on-exec: the exec closes it, a failure writes its errno there
    int descriptorLimit = 0;
    const PreparedSandbox* sandbox = nullptr;  // Landlock and seccomp; none in name spaces
    int program = -1;  // the checked program's descriptor, run as it is; -1: by its name
    // Open across the exec: the descriptors bubblewrap binds or reads. Sorted, -1 past the end.
    int passed[kMaxPassed] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
    rlim_t memoryLimit = RLIM_INFINITY;
    rlim_t taskLimit = RLIM_INFINITY;
    bool inNameSpaces = false;  // the program is bubblewrap
};

// Written instead of the errno when the kernel refused the sandbox.
constexpr int kSandboxFailureMark = 1 << 20;

// The child's code runs on a stack of its own in our memory: the address sanitizer's fake
// stack frames, kept per thread, would be ours.
#define LMK_CHILD_CODE __attribute__((no_sanitize("address")))

// Tells the parent why the start failed and ends the child.
LMK_CHILD_CODE [[noreturn]] void FailChild(const ChildStart& start, int error) {
    while (write(start.errorPipe, &error, sizeof error) < 0 && errno == EINTR) {
    }
    _exit(127);
}

// Closes every descriptor from 3 up but those of `kept`: sorted, -1 for none.
LMK_CHILD_CODE void CloseFromThreeExcept(const int* kept, int count, int limit) {
    bool closed = true;
    int first = 3;
    for (int i = 0; i < count && closed; ++i) {
        if (kept[i] < first) continue;
        if (kept[i] > first)
            closed = close_range(static_cast<unsigned>(first), static_cast<unsigned>(kept[i] - 1),
                                 0) == 0;
        first = kept[i] + 1;
    }
    if (closed && close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
    // Kernels before 5.9.
    for (int fd = 3; fd < limit; ++fd) {
        bool keep = false;
        for (int i = 0; i < count; ++i) keep = keep || kept[i] == fd;
        if (!keep) close(fd);
    }
}

// Sorts the few descriptors into `sorted` (room for `count`), without allocating.
LMK_CHILD_CODE void SortDescriptors(int* sorted, int count) {
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && sorted[j - 1] > sorted[j]; --j)
            std::swap(sorted[j - 1], sorted[j]);
}

// Applies the run's sandbox; a start never goes on without the sandbox it was given.
LMK_CHILD_CODE void ConfineChild(const ChildStart& start) {
    // bubblewrap gains nothing by its exec either; it confines the coder itself.
    if (start.inNameSpaces && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        FailChild(start, errno | kSandboxFailureMark);
    if (!start.sandbox) return;
    if (const int error = start.sandbox->Apply(); error != 0)
        FailChild(start, error | kSandboxFailureMark);
}

// Runs in the child until its exec: async-signal-safe calls only, and no writes to our memory
// but its own stack.
LMK_CHILD_CODE [[noreturn]] void BecomeProgram(const ChildStart& start) {
    // Its own process group, so a Ctrl+C on the terminal reaches only us; we stop it ourselves.
    if (setpgid(0, 0) != 0) FailChild(start, errno);
    // A Ctrl+C sent to the program's group before that line is pending here too; the program
    // stops for it itself. Ignoring a signal discards it; the defaults are set below.
    for (const int stop : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(stop, &ignore, nullptr);
    }

    // Our handlers must not run here, and the program starts as from a shell: every caught
    // signal and the stop signals back to their defaults, none blocked (the parent blocked all
    // for the start). The child has a table of handlers of its own.
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current {};
        if (signal == SIGKILL || signal == SIGSTOP || sigaction(signal, nullptr, &current) != 0)
            continue;
        const bool caught = (current.sa_flags & SA_SIGINFO) != 0 ||
                            (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
        const bool stopSignal =
            signal == SIGINT || signal == SIGTERM || signal == SIGPIPE || signal == SIGHUP;
        if (!caught && !(stopSignal && current.sa_handler == SIG_IGN)) continue;
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigaction(signal, &standard, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    // The kernel kills the child when the thread that started it ends, however the program
    // ends; one whose parent went before this line is already an orphan.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) FailChild(start, errno);
    if (getppid() != start.parent) _exit(127);

    if (dup2(start.output, STDOUT_FILENO) < 0 || dup2(start.output, STDERR_FILENO) < 0)
        FailChild(start, errno);
    const int input = open("/dev/null", O_RDONLY);
    if (input < 0 || dup2(input, STDIN_FILENO) < 0) FailChild(start, errno);
    if (start.progress >= 0 && dup2(start.progress, kProgressDescriptor) < 0)
        FailChild(start, errno);
    // Soft and hard alike, so the coder cannot raise it again.
    const rlimit memory{start.memoryLimit, start.memoryLimit};
    if (start.memoryLimit != RLIM_INFINITY && setrlimit(RLIMIT_DATA, &memory) != 0)
        FailChild(start, errno);
    const rlimit tasks{start.taskLimit, start.taskLimit};
    if (start.taskLimit != RLIM_INFINITY && setrlimit(RLIMIT_NPROC, &tasks) != 0)
        FailChild(start, errno);
    ConfineChild(start);
    // bubblewrap reads these after its exec; ours are close-on-exec in every other child.
    int kept[kMaxPassed + 3] = {start.errorPipe, start.program,
                                start.progress >= 0 ? kProgressDescriptor : -1};
    int count = 3;
    for (const int fd : start.passed) {
        if (fd < 0) continue;
        if (fcntl(fd, F_SETFD, 0) != 0) FailChild(start, errno);
        kept[count++] = fd;
    }
    SortDescriptors(kept, count);
    CloseFromThreeExcept(kept, count, start.descriptorLimit);

    // The file that was checked is the file that runs, whatever its name points at by now.
    if (start.program >= 0) {
        syscall(SYS_execveat, start.program, "", start.argv, start.environment, AT_EMPTY_PATH);
        FailChild(start, errno);
    }

    // As execvp: a name on PATH goes on to the next folder where it is missing, and "Permission
    // denied" is told only when no folder had a program by that name.
    int error = ENOENT;
    bool denied = false;
    for (const char* candidate : start.candidates) {
        execve(candidate, start.argv, start.environment);
        error = errno;
        if (error == EACCES) {
            denied = true;
        } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV &&
                   error != ETIMEDOUT) {
            FailChild(start, error);
        }
    }
    FailChild(start, denied ? EACCES : error);
}

[[maybe_unused]] LMK_CHILD_CODE int ChildEntry(void* start) {
    BecomeProgram(*static_cast<const ChildStart*>(start));
}

// The child's stack, in our memory; pages it never touches cost nothing.
class ChildStack {
public:
    static constexpr std::size_t kBytes = 256 * 1024;
    ChildStack()
        : m_base(mmap(nullptr, kBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)) {}
    ~ChildStack() {
        if (Valid()) munmap(m_base, kBytes);
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;
    bool Valid() const { return m_base != MAP_FAILED; }
    void* Top() const { return static_cast<char*>(m_base) + kBytes; }

private:
    void* m_base;
};

// Blocks every signal of this thread until the end of the scope, so that no handler of ours
// runs in a child before it has set its signals to their defaults.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &m_saved);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &m_saved, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t m_saved;
};

// Reads what the pipe holds until its writer is gone (or, when `untilObject`, until the
// first JSON object is whole).
std::string ReadStatus(int fd, bool untilObject) {
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
        if (untilObject && text.find('}') != std::string::npos) return text;
    }
}

// What bwrap printed last: its reason when it could not make the sandbox or run the coder.
std::string BubblewrapComplaint(const std::string& printout) {
    const FileDescriptor file(open(printout.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!file.Valid() || fstat(file.Get(), &info) != 0) return "bubblewrap failed";
    const off_t from = std::max<off_t>(0, info.st_size - 1024);
    std::string text(static_cast<std::size_t>(info.st_size - from), '\0');
    const ssize_t got = pread(file.Get(), text.data(), text.size(), from);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    text = text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    return text.empty() ? "bubblewrap failed" : text;
}

// Whether `fd` became readable within `milliseconds` (negative: without limit). A signal cuts
// the wait short as a timeout: the caller then looks at its stop request.
bool ReadableWithin(int fd, int milliseconds) {
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, milliseconds < 0 ? -1 : milliseconds);
    if (ready < 0 && errno != EINTR) throw SystemFailure(errno);
    return ready > 0;
}

class PosixProcess : public Process {
public:
    PosixProcess() = default;
    ~PosixProcess() override;
    PosixProcess(const PosixProcess&) = delete;
    PosixProcess& operator=(const PosixProcess&) = delete;

    void Adopt(pid_t pid);
    // The child is bubblewrap: `status` is the end of its status pipe, of which `statusRead`
    // was read, `sandboxProcess` the first process of the run's PID name space, `printout`
    // where bwrap tells why it failed.
    void WatchNameSpaces(int status, std::string statusRead, long sandboxProcess,
                         std::string printout);
    WaitResult Wait(int milliseconds) override;
    void End() override;
    ExitStatus Status() const override { return m_status; }

private:
    bool Collect(bool block);
    WaitResult Reap(bool block);
    WaitResult WaitByPolling(int milliseconds);
    void TakeNameSpacesEnd(bool endedByUs);

    pid_t m_pid = -1;
    FileDescriptor m_pidFd;
    bool m_ended = true;
    ExitStatus m_status;
    FileDescriptor m_bubblewrapStatus;  // only in name spaces
    std::string m_statusText;
    FileDescriptor m_sandboxProcess;
    pid_t m_sandboxPid = -1;
    std::string m_printout;
    std::string m_sandboxFailure;  // bwrap ended without running the coder: its reason
};

PosixProcess::~PosixProcess() {
    if (!m_ended) End();
}

void PosixProcess::Adopt(pid_t pid) {
    m_pid = pid;
    m_ended = false;
    // The child is not reaped yet, so its number cannot have been reused. Without a pidfd
    // (kernels before 5.3, a sandbox that filters the call) Wait falls back to polling.
    m_pidFd.Reset(OpenPidFd(pid));
}

void PosixProcess::WatchNameSpaces(int status, std::string statusRead, long sandboxProcess,
                                   std::string printout) {
    m_bubblewrapStatus.Reset(status);
    m_statusText = std::move(statusRead);
    // Its parent, bwrap, is not reaped, so the number is still the sandbox's.
    m_sandboxProcess.Reset(OpenPidFd(static_cast<pid_t>(sandboxProcess)));
    m_sandboxPid = static_cast<pid_t>(sandboxProcess);
    m_printout = std::move(printout);
}

// Takes the coder's status from what bwrap passed on, once bwrap is reaped; and waits for the
// PID name space to be gone, so that nothing of the run is left when its end is told.
void PosixProcess::TakeNameSpacesEnd(bool endedByUs) {
    if (!m_bubblewrapStatus.Valid()) return;
    // Killed with bwrap (--die-with-parent), its first process takes the name space along.
    // bwrap ends without waiting for it, so it came to us (Start made us its reaper): reaped
    // here, it hands over the coder's cost, which it collected.
    rusage usage{};
    bool reaped = false;
    if (m_sandboxProcess.Valid()) {
        pollfd watch{m_sandboxProcess.Get(), POLLIN, 0};
        while (poll(&watch, 1, 10000) < 0 && errno == EINTR) {
        }
        siginfo_t ended{};
        reaped = syscall(SYS_waitid, P_PIDFD, m_sandboxProcess.Get(), &ended, WEXITED | WNOHANG,
                         &usage) == 0 &&
                 ended.si_pid != 0;
    } else if (m_sandboxPid > 0) {
        // Without a pidfd, by its number: ours until reaped, so not reused before. Ended with
        // bwrap, if not before.
        pid_t result;
        do {
            result = wait4(m_sandboxPid, nullptr, 0, &usage);
        } while (result < 0 && errno == EINTR);
        reaped = result == m_sandboxPid;
    }
    m_sandboxPid = -1;
    // A quick coder's exit code may have come with the sandbox's first words.
    const BubblewrapStatus said =
        ReadBubblewrapStatus(m_statusText + ReadStatus(m_bubblewrapStatus.Get(), false));
    m_bubblewrapStatus.Reset();
    m_sandboxProcess.Reset();
    if (reaped) AddUsage(m_status, usage);
    if (said.coderRan) {
        const ExitStatus cost = m_status;
        m_status = CoderStatusFromBubblewrap(said.exitCode);
        m_status.processorMicroseconds = cost.processorMicroseconds;
        m_status.peakMemoryKiB = cost.peakMemoryKiB;
    } else if (!endedByUs && m_status.exited) {
        m_sandboxFailure = BubblewrapComplaint(m_printout);
    }
}

// Takes the ended child's status: true once reaped, false while it still runs (only when not
// blocking, errno then 0) or when the system refuses (errno tells why).
bool PosixProcess::Collect(bool block) {
    // Ended but not reaped yet, its number names its group still: the helpers it started into
    // the group go with it, however it ended.
    siginfo_t ended{};
    int seen;
    do {
        seen = waitid(P_PID, static_cast<id_t>(m_pid), &ended,
                      WEXITED | WNOWAIT | (block ? 0 : WNOHANG));
    } while (seen < 0 && errno == EINTR);
    if (seen == 0 && ended.si_pid == 0) {
        errno = 0;
        return false;
    }
    if (seen == 0) kill(-m_pid, SIGKILL);

    int status = 0;
    rusage usage{};
    pid_t result;
    do {
        result = wait4(m_pid, &status, block ? 0 : WNOHANG, &usage);
    } while (result < 0 && errno == EINTR);
    if (result == m_pid) {
        m_status = StatusFromWait(status);
        AddUsage(m_status, usage);
        m_ended = true;
        return true;
    }
    if (result < 0 && errno == ECHILD) {
        // SIGCHLD is ignored somewhere and the system reaped it for us: gone, status unknown.
        m_status = ExitStatus{};
        m_ended = true;
        return true;
    }
    if (result == 0) errno = 0;
    return false;
}

WaitResult PosixProcess::Reap(bool block) {
    if (Collect(block)) {
        TakeNameSpacesEnd(false);
        if (!m_sandboxFailure.empty())
            throw OSErrorFromCode(EPERM,
                                  "The coder's sandbox could not be applied: " + m_sandboxFailure);
        return WaitResult::Ended;
    }
    if (errno == 0) return WaitResult::TimedOut;
    throw SystemFailure(errno);
}

WaitResult PosixProcess::Wait(int milliseconds) {
    if (m_ended) return WaitResult::Ended;
    if (!m_pidFd.Valid()) return WaitByPolling(milliseconds);

    if (!ReadableWithin(m_pidFd.Get(), milliseconds)) return WaitResult::TimedOut;
    return Reap(true);
}

// Only when there is no pidfd to wait on.
WaitResult PosixProcess::WaitByPolling(int milliseconds) {
    const long long deadline = MonotonicMilliseconds() + std::max(milliseconds, 0);
    for (;;) {
        const WaitResult result = Reap(false);
        if (result != WaitResult::TimedOut) return result;
        const long long left = deadline - MonotonicMilliseconds();
        if (milliseconds >= 0 && left <= 0) return WaitResult::TimedOut;
        const long long pause = milliseconds < 0 ? 5 : std::min(left, 5LL);
        const timespec interval{0, static_cast<long>(pause * 1000000)};
        if (nanosleep(&interval, nullptr) != 0 && errno == EINTR) return WaitResult::TimedOut;
    }
}

void PosixProcess::End() {
    if (m_ended) return;
    // The child leads its own group; helpers it started go with it.
    kill(-m_pid, SIGKILL);
    kill(m_pid, SIGKILL);
    // Never raises: the destructor ends a running child too.
    Collect(true);
    m_ended = true;
    TakeNameSpacesEnd(true);
}

// A program named by its path, opened for the start to run from its descriptor once it passed
// ProgramFileRefusal; -1 for a name on PATH, a file that cannot be opened (the start reports
// why) and a script (its interpreter reads it by name). Opened without waiting: a FIFO put
// there would hold the opening thread until a writer came.
int OpenCheckedProgram(const std::string& program) {
    if (program.find('/') == std::string::npos) return -1;
    FileDescriptor file(open(program.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.Valid()) return -1;
    struct stat info {};
    if (fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    if (const std::string refusal = ProgramFileRefusal(file.Get(), ProgramOwner::UserOrRoot);
        !refusal.empty())
        throw OSErrorFromCode(EPERM, "The coder " + program + " is not used: " + refusal);
    if (IsScriptFile(file.Get())) return -1;
    return file.Release();
}

// The coder's environment: nothing that changes what it prints (AV_LOG_FORCE_COLOR, FFREPORT, a
// language), only where its programs and the user's home are.
std::vector<std::string> CoderEnvironment() {
    std::vector<std::string> environment = {"LC_ALL=C"};
    for (const char* name : {"HOME", "PATH"})
        if (const char* value = std::getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    return environment;
}

// The runner a sandbox of several runs starts with: its file, and its end of the socket.
struct RunnerStart {
    std::string path;
    FileDescriptor program, socket;
};

// What a run in name spaces has opened and checked before its start: bubblewrap, the coder, the
// user's files, the seccomp program, the pipe on which bwrap tells how the run went and the one
// whose end lets the sandbox start the coder; with a runner, the coder's own filter unfilled.
struct NameSpaceRun {
    // With a `runner`, the sandbox starts it rather than the coder.
    NameSpaceRun(const std::string& program, const CoderAccess& access,
                 const RunnerStart* runner = nullptr);

    std::string coderPath;
    FileDescriptor bubblewrap, coder, input, output, filter, statusRead, statusWrite, blockRead,
        blockWrite, coderFilter;
    std::vector<std::string> arguments;  // bwrap's, up to and with the coder's path
};

int OpenAbove(const std::string& path, int flags) {
    return AboveFixedDescriptors(open(path.c_str(), flags | O_CLOEXEC));
}

// The coder found as execvp would find it; empty when it is not.
std::string CoderPathOf(const std::string& program) {
    return program.find('/') == std::string::npos ? FindOnPath(program) : AbsolutePath(program);
}

NameSpaceRun::NameSpaceRun(const std::string& program, const CoderAccess& access,
                           const RunnerStart* runner) {
    // Neither waits for a FIFO put at its name: it is refused as not a regular file.
    bubblewrap.Reset(OpenAbove(kBubblewrapPath, O_RDONLY | O_NONBLOCK));
    if (!bubblewrap.Valid()) throw SystemFailure(errno);
    if (const std::string refusal = ProgramFileRefusal(bubblewrap.Get(), ProgramOwner::UserOrRoot);
        !refusal.empty())
        throw OSErrorFromCode(EPERM, std::string(kBubblewrapPath) + " is not used: " + refusal);

    // The coder is found here, as execvp would, and shown to bwrap by the descriptor checked.
    coderPath = CoderPathOf(program);
    if (coderPath.empty()) throw SystemFailure(ENOENT);
    coder.Reset(OpenAbove(coderPath, O_RDONLY | O_NONBLOCK));
    if (!coder.Valid()) throw SystemFailure(errno);
    struct stat info {};
    if (fstat(coder.Get(), &info) != 0) throw SystemFailure(errno);
    if (!S_ISREG(info.st_mode) || (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
        throw SystemFailure(EACCES);
    if (const std::string refusal = ProgramFileRefusal(coder.Get(), ProgramOwner::UserOrRoot);
        !refusal.empty())
        throw OSErrorFromCode(EPERM, "The coder " + program + " is not used: " + refusal);
    const CoderNeeds needs = NeedsOf(coder.Get(), coderPath);

    std::vector<BoundFile> files = {{coder.Get(), coderPath, false}};
    // As Landlock's rules: a path that does not exist gets nothing, nor does a folder or a link
    // standing where the output was made. Both are looked up in their folder as held.
    bool othersLink = false;
    if (!access.input.empty()) {
        input.Reset(AboveFixedDescriptors(OpenInItsFolder(access.input, O_PATH, othersLink)));
        if (input.Valid() && fstat(input.Get(), &info) == 0 &&
            (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)))
            files.push_back({input.Get(), AbsolutePath(access.input), false});
    }
    if (!access.output.empty()) {
        output.Reset(
            AboveFixedDescriptors(OpenInItsFolder(access.output, O_PATH | O_NOFOLLOW, othersLink)));
        if (output.Valid() && fstat(output.Get(), &info) == 0 && S_ISREG(info.st_mode))
            files.push_back({output.Get(), AbsolutePath(access.output), true});
    }
    if (runner) {
        files.push_back({runner->program.Get(), runner->path, false});
        coderFilter.Reset(AboveFixedDescriptors(SeccompProgramFile(needs.script, false, false)));
        if (!coderFilter.Valid()) throw SystemFailure(errno);
    }
    filter.Reset(AboveFixedDescriptors(SeccompProgramFile(needs.script, runner != nullptr)));
    int ends[2];
    if (!filter.Valid() || pipe2(ends, O_CLOEXEC) != 0) throw SystemFailure(errno);
    statusRead.Reset(ends[0]);
    statusWrite.Reset(AboveFixedDescriptors(ends[1]));
    if (!statusWrite.Valid() || pipe2(ends, O_CLOEXEC) != 0) throw SystemFailure(errno);
    blockRead.Reset(AboveFixedDescriptors(ends[0]));
    blockWrite.Reset(ends[1]);
    if (!blockRead.Valid()) throw SystemFailure(errno);

    arguments = BubblewrapArguments(files, filter.Get(), statusWrite.Get(), blockRead.Get(), needs);
    if (runner)
        arguments.insert(arguments.end(), {"--", runner->path, std::to_string(runner->socket.Get()),
                                           std::to_string(coderFilter.Get())});
    else
        arguments.insert(arguments.end(), {"--", coderPath});
}

// The runner installed beside the program (bin/../libexec/lmk-video), or built beside it.
std::string CoderRunnerPath() {
    static const std::string path = [] {
        char self[4096];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        std::vector<std::string> candidates;
        if (length > 0) {
            const std::string program(self, static_cast<std::size_t>(length));
            const std::string folder = program.substr(0, program.rfind('/') + 1);
            candidates = {folder + "../libexec/lmk-video/" + kCoderRunnerName,
                          folder + kCoderRunnerName};
        }
#ifdef LMK_CODER_RUNNER_BUILT
        candidates.emplace_back(LMK_CODER_RUNNER_BUILT);
#endif
        for (const std::string& candidate : candidates) {
            char real[4096];
            if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), real))
                return std::string(real);
        }
        return std::string();
    }();
    return path;
}

// `path` made empty for a run to write into; raises EFCreateError naming it when it cannot be.
int CreatedEmpty(const std::string& path) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        throw CannotCreateFile(path, SystemErrorText(error));
    }
    return fd;
}

using Confinement = PosixProcesses::Confinement;

std::unique_ptr<PosixProcess> StartProcess(Confinement confinement, const std::string& program,
                                           const std::vector<std::string>& arguments,
                                           const std::string& outputFile, const CoderAccess& access,
                                           const RunnerStart* runner);

}  // namespace

PosixProcesses::Confinement PosixProcesses::Applied() const {
    return m_confinement == Confined ? StrongestConfinement() : m_confinement;
}

std::uint64_t PosixProcesses::MemoryLimit() const {
    return Applied() == Unconfined ? 0 : CoderMemoryLimit();
}

std::unique_ptr<Process> PosixProcesses::Start(const std::string& program,
                                               const std::vector<std::string>& arguments,
                                               const std::string& outputFile,
                                               const CoderAccess& access) {
    return StartProcess(Applied(), program, arguments, outputFile, access, nullptr);
}

namespace {

std::unique_ptr<PosixProcess> StartProcess(Confinement confinement, const std::string& program,
                                           const std::vector<std::string>& arguments,
                                           const std::string& outputFile, const CoderAccess& access,
                                           const RunnerStart* runner) {
    using enum PosixProcesses::Confinement;
    // Made before the start, so no child can run without a record that ends it.
    auto process = std::make_unique<PosixProcess>();

    const FileDescriptor kept(AboveFixedDescriptors(CreatedEmpty(outputFile)));
    FileDescriptor progress;
    if (!access.progress.empty()) {
        progress.Reset(AboveFixedDescriptors(CreatedEmpty(access.progress)));
        if (!progress.Valid()) {
            const int error = errno;
            throw CannotCreateFile(access.progress, SystemErrorText(error));
        }
    }
    int pipeEnds[2];
    if (!kept.Valid() || pipe2(pipeEnds, O_CLOEXEC) != 0) throw SystemFailure(errno);
    const FileDescriptor reportEnd(pipeEnds[0]);
    FileDescriptor failureEnd(AboveFixedDescriptors(pipeEnds[1]));
    if (!failureEnd.Valid()) throw SystemFailure(errno);

    std::optional<NameSpaceRun> nameSpaces;
    if (confinement == InNameSpaces) {
        nameSpaces.emplace(program, access, runner);
        // bwrap ends as soon as the coder has, before its sandbox's first process, which waited
        // for the coder and so holds its processor time and memory: orphaned, that process
        // comes to us to reap rather than to the system's init. Set at each start, since the
        // setting is the whole program's.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    const std::vector<std::string> candidates =
        nameSpaces ? std::vector<std::string>{} : ProgramCandidates(program);
    const FileDescriptor checkedProgram(
        nameSpaces ? -1 : AboveFixedDescriptors(OpenCheckedProgram(program)));

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2 + (nameSpaces ? nameSpaces->arguments.size() : 0));
    if (nameSpaces) {
        argv.push_back(const_cast<char*>(kBubblewrapPath));
        for (auto& argument : nameSpaces->arguments) argv.push_back(argument.data());
    } else {
        argv.push_back(const_cast<char*>(program.c_str()));
    }
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environmentText = CoderEnvironment();
    std::vector<char*> environment;
    for (const auto& entry : environmentText)
        environment.push_back(const_cast<char*>(entry.c_str()));
    environment.push_back(nullptr);

    ChildStart start;
    for (const auto& candidate : candidates) start.candidates.push_back(candidate.c_str());
    start.argv = argv.data();
    start.environment = environment.data();
    start.parent = getpid();
    start.output = kept.Get();
    start.progress = progress.Get();
    start.errorPipe = failureEnd.Get();
    start.program = nameSpaces ? nameSpaces->bubblewrap.Get() : checkedProgram.Get();
    start.descriptorLimit = static_cast<int>(std::min(sysconf(_SC_OPEN_MAX), 65536L));
    if (nameSpaces) {
        start.inNameSpaces = true;
        const int passed[] = {nameSpaces->coder.Get(),
                              nameSpaces->input.Get(),
                              nameSpaces->output.Get(),
                              nameSpaces->filter.Get(),
                              nameSpaces->statusWrite.Get(),
                              nameSpaces->blockRead.Get(),
                              runner ? runner->program.Get() : -1,
                              runner ? runner->socket.Get() : -1,
                              nameSpaces->coderFilter.Get()};
        std::copy(std::begin(passed), std::end(passed), start.passed);
    }
    if (const std::uint64_t limit = confinement == Unconfined ? 0 : CoderMemoryLimit(); limit > 0)
        start.memoryLimit = limit;
    // Outside a user name space of its own the limit counts all of the user's tasks.
    if (confinement == ByLandlock) start.taskLimit = UserTaskCount() + kCoderTasks;
    std::optional<PreparedSandbox> sandbox;
    if (confinement == ByLandlock) {
        sandbox.emplace(candidates, access);
        start.sandbox = &*sandbox;
    }

    const ChildStack stack;
    if (!stack.Valid()) throw SystemFailure(errno);

    // As vfork: the child shares our memory and this thread waits until the child's exec, so
    // no page tables are copied (a fork from the window costs milliseconds more, growing with
    // its size). The thread that starts a child must outlive it: the kernel ends the child when
    // that thread ends (PR_SET_PDEATHSIG), not only when the process does. That is the
    // window's thread, or a command-line worker thread that waits for its own coders.
    pid_t pid;
    int startError = 0;
    {
        const SignalsBlocked blocked;
#ifdef LMK_START_BY_FORK
        // The thread sanitizer cannot follow a child that shares our memory.
        pid = fork();
        if (pid == 0) BecomeProgram(start);
#else
        pid = clone(ChildEntry, stack.Top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
#endif
        if (pid < 0) startError = errno;
    }
    if (pid < 0) throw SystemFailure(startError);
    failureEnd.Reset();

    // The pipe closes unread on a successful exec; otherwise the child wrote why it failed.
    int error = 0;
    ssize_t got;
    do {
        got = read(reportEnd.Get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof error) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (error & kSandboxFailureMark) {
            error &= ~kSandboxFailureMark;
            throw OSErrorFromCode(error, SandboxFailureText(error));
        }
        throw SystemFailure(error);
    }

    if (nameSpaces) {
        // bwrap names the sandbox's first process as soon as it made it; without that it failed.
        nameSpaces->statusWrite.Reset();
        nameSpaces->blockRead.Reset();
        std::string said = ReadStatus(nameSpaces->statusRead.Get(), true);
        const BubblewrapStatus made = ReadBubblewrapStatus(said);
        if (made.sandboxProcess <= 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            throw OSErrorFromCode(EPERM, "The coder's sandbox could not be applied: " +
                                             BubblewrapComplaint(outputFile));
        }
        process->Adopt(pid);
        process->WatchNameSpaces(nameSpaces->statusRead.Release(), std::move(said),
                                 made.sandboxProcess, outputFile);
        // Counted in the run's own user name space, and handed down to the coder: set while
        // the sandbox waits, before anything of the coder's runs.
        const rlimit tasks{kCoderTasks, kCoderTasks};
        if (prlimit(static_cast<pid_t>(made.sandboxProcess), RLIMIT_NPROC, &tasks, nullptr) != 0) {
            const int error = errno;
            process->End();
            throw OSErrorFromCode(error, SandboxFailureText(error));
        }
        nameSpaces->blockWrite.Reset();
        return process;
    }
    process->Adopt(pid);
    return process;
}

// A file's sandbox, whose runner starts each coder run asked for on the socket.
class SandboxRuns : public CoderRuns {
public:
    SandboxRuns(std::unique_ptr<PosixProcess> sandbox, int socket, std::string program,
                CoderAccess access, int partial)
        : m_sandbox(std::move(sandbox)),
          m_socket(socket),
          m_program(std::move(program)),
          m_access(std::move(access)),
          m_partial(partial) {}
    ~SandboxRuns() override;
    SandboxRuns(const SandboxRuns&) = delete;
    SandboxRuns& operator=(const SandboxRuns&) = delete;

    std::unique_ptr<Process> Start(const std::vector<std::string>& arguments,
                                   const std::string& outputFile, bool conversion) override;

    int Socket() const { return m_socket.Get(); }
    // The runner and whatever it runs, at once: the sandbox serves no more runs.
    void EndSandbox() {
        m_sandbox->End();
        m_socket.Reset();
    }

private:
    std::unique_ptr<PosixProcess> m_sandbox;
    FileDescriptor m_socket;
    std::string m_program;
    CoderAccess m_access;
    FileDescriptor m_partial;  // O_PATH, on the file the conversion writes
};

// One run of a SandboxRuns: it ends when the runner tells so.
class RunnerProcess : public Process {
public:
    explicit RunnerProcess(SandboxRuns& runs) : m_runs(runs) {}
    ~RunnerProcess() override {
        if (!m_ended) End();
    }
    RunnerProcess(const RunnerProcess&) = delete;
    RunnerProcess& operator=(const RunnerProcess&) = delete;

    WaitResult Wait(int milliseconds) override;
    void End() override;
    ExitStatus Status() const override { return m_status; }

private:
    SandboxRuns& m_runs;
    bool m_ended = false;
    ExitStatus m_status;
};

SandboxRuns::~SandboxRuns() {
    if (!m_socket.Valid()) return;
    // The runner ends with the program's end of its socket, and the sandbox with the runner.
    m_socket.Reset();
    try {
        m_sandbox->Wait(-1);
    } catch (const std::exception&) {
        m_sandbox->End();
    }
}

std::unique_ptr<Process> SandboxRuns::Start(const std::vector<std::string>& arguments,
                                            const std::string& outputFile, bool conversion) {
    // Once the sandbox is gone (a stop, a runner that died), each run gets one of its own.
    if (!m_socket.Valid())
        return StartProcess(PosixProcesses::InNameSpaces, m_program, arguments, outputFile,
                            conversion ? m_access : CoderAccess{m_access.input, {}}, nullptr);
    const FileDescriptor output(CreatedEmpty(outputFile));
    const FileDescriptor progress(
        conversion && !m_access.progress.empty() ? CreatedEmpty(m_access.progress) : -1);
    // A probe in the same sandbox could write the conversion's file: it starts empty.
    if (conversion && m_partial.Valid()) {
        const FileDescriptor written(
            open(("/proc/self/fd/" + std::to_string(m_partial.Get())).c_str(),
                 O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (!written.Valid()) throw SystemFailure(errno);
    }

    std::string request(sizeof(RunRequest), '\0');
    RunRequest header;
    header.argumentCount = static_cast<std::uint32_t>(arguments.size() + 1);
    std::memcpy(request.data(), &header, sizeof header);
    request.append(m_program.c_str(), m_program.size() + 1);
    for (const std::string& argument : arguments)
        request.append(argument.c_str(), argument.size() + 1);
    if (request.size() > sizeof(RunRequest) + kMostRunBytes) throw SystemFailure(E2BIG);

    const int fds[2] = {output.Get(), progress.Get()};
    const int count = progress.Valid() ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    iovec data{request.data(), request.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* part = CMSG_FIRSTHDR(&message);
    part->cmsg_level = SOL_SOCKET;
    part->cmsg_type = SCM_RIGHTS;
    part->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(part), fds, count * sizeof(int));
    ssize_t sent;
    do {
        sent = sendmsg(m_socket.Get(), &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) {
        const int error = sent < 0 ? errno : EIO;
        EndSandbox();
        throw SystemFailure(error);
    }
    return std::make_unique<RunnerProcess>(*this);
}

WaitResult RunnerProcess::Wait(int milliseconds) {
    if (m_ended) return WaitResult::Ended;
    if (!ReadableWithin(m_runs.Socket(), milliseconds)) return WaitResult::TimedOut;
    RunEnded ended;
    ssize_t got;
    do {
        got = recv(m_runs.Socket(), &ended, sizeof ended, 0);
    } while (got < 0 && errno == EINTR);
    m_ended = true;
    if (got != sizeof ended) {
        // The runner is gone, and the run with it: as a run the system killed.
        m_runs.EndSandbox();
        m_status = ExitStatus{.exited = false, .code = SIGKILL};
        return WaitResult::Ended;
    }
    if (ended.startError != 0) throw SystemFailure(ended.startError);
    m_status = StatusFromWait(ended.waitStatus);
    m_status.processorMicroseconds = ended.processorMicroseconds;
    m_status.peakMemoryKiB = ended.peakMemoryKiB;
    return WaitResult::Ended;
}

void RunnerProcess::End() {
    if (m_ended) return;
    m_ended = true;
    m_runs.EndSandbox();
    m_status = ExitStatus{.exited = false, .code = SIGKILL};
}

}  // namespace

bool PosixProcesses::SharesRuns() const {
    return Applied() == InNameSpaces && !CoderRunnerPath().empty();
}

std::unique_ptr<CoderRuns> PosixProcesses::StartRuns(const std::string& program,
                                                     const CoderAccess& access,
                                                     const std::string& outputFile) {
    if (!SharesRuns()) return nullptr;
    RunnerStart runner;
    runner.path = CoderRunnerPath();
    runner.program.Reset(OpenAbove(runner.path, O_RDONLY | O_NONBLOCK));
    if (!runner.program.Valid()) return nullptr;
    if (const std::string refusal =
            ProgramFileRefusal(runner.program.Get(), ProgramOwner::UserOrRoot);
        !refusal.empty())
        throw OSErrorFromCode(EPERM, runner.path + " is not used: " + refusal);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        throw SystemFailure(errno);
    FileDescriptor ours(ends[0]);
    runner.socket.Reset(AboveFixedDescriptors(ends[1]));
    if (!runner.socket.Valid()) throw SystemFailure(errno);
    FileDescriptor partial;
    if (!access.output.empty()) {
        bool othersLink = false;
        partial.Reset(OpenInItsFolder(access.output, O_PATH | O_NOFOLLOW, othersLink));
    }
    // Each conversion gets the progress file from the program, not from the sandbox's start.
    CoderAccess bound = access;
    bound.progress.clear();
    auto sandbox = StartProcess(InNameSpaces, program, {}, outputFile, bound, &runner);
    // Each run names the coder as the sandbox shows it, which the start found.
    return std::make_unique<SandboxRuns>(std::move(sandbox), ours.Release(), CoderPathOf(program),
                                         access, partial.Release());
}

}  // namespace lmk

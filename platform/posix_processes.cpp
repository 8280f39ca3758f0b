#include "posix_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Moves a descriptor above standard input, output and error, so that setting those up in the
// child cannot overwrite it.
int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// Everything the child needs before its exec, made beforehand: the child shares our memory
// until then, and may not allocate or take a lock (another thread of ours may hold one).
struct ChildStart {
    std::vector<const char*> candidates;
    char* const* argv = nullptr;
    char* const* environment = nullptr;
    pid_t parent = -1;
    int output = -1;
    int errorPipe = -1;  // close-on-exec: the exec closes it, a failure writes its errno there
    int descriptorLimit = 0;
    const PreparedSandbox* sandbox = nullptr;  // none for an unconfined start
    int program = -1;  // the checked program's descriptor, run as it is; -1: by its name
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

// Closes every descriptor from 3 up but `kept` and `alsoKept` (-1: none).
LMK_CHILD_CODE void CloseFromThreeExcept(int kept, int alsoKept, int limit) {
    const int low = alsoKept < 0 ? kept : std::min(kept, alsoKept);
    const int high = alsoKept < 0 ? kept : std::max(kept, alsoKept);
    const auto closeSpan = [](int first, int last) {
        return first > last ||
               close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0;
    };
    if (closeSpan(3, low - 1) && closeSpan(low + 1, high - 1) && close_range(high + 1, ~0U, 0) == 0)
        return;
    // Kernels before 5.9.
    for (int fd = 3; fd < limit; ++fd)
        if (fd != kept && fd != alsoKept) close(fd);
}

// Applies the run's sandbox; a start never goes on without the sandbox it was given.
LMK_CHILD_CODE void ConfineChild(const ChildStart& start) {
    if (!start.sandbox) return;
    if (const int error = start.sandbox->Apply(); error != 0)
        FailChild(start, error | kSandboxFailureMark);
}

// Runs in the child until its exec: async-signal-safe calls only, and no writes to our memory
// but its own stack.
LMK_CHILD_CODE [[noreturn]] void BecomeProgram(const ChildStart& start) {
    // Its own process group, so a Ctrl+C on the terminal reaches only us; we stop it ourselves.
    if (setpgid(0, 0) != 0) FailChild(start, errno);

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
    ConfineChild(start);
    CloseFromThreeExcept(start.errorPipe, start.program, start.descriptorLimit);

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

class PosixProcess : public Process {
public:
    PosixProcess() = default;
    ~PosixProcess() override;
    PosixProcess(const PosixProcess&) = delete;
    PosixProcess& operator=(const PosixProcess&) = delete;

    void Adopt(pid_t pid);
    WaitResult Wait(int milliseconds) override;
    void End() override;
    ExitStatus Status() const override { return m_status; }

private:
    bool Collect(bool block);
    WaitResult Reap(bool block);
    WaitResult WaitByPolling(int milliseconds);

    pid_t m_pid = -1;
    FileDescriptor m_pidFd;
    bool m_ended = true;
    ExitStatus m_status;
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
    pid_t result;
    do {
        result = waitpid(m_pid, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == m_pid) {
        m_status = StatusFromWait(status);
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
    if (Collect(block)) return WaitResult::Ended;
    if (errno == 0) return WaitResult::TimedOut;
    throw SystemFailure(errno);
}

WaitResult PosixProcess::Wait(int milliseconds) {
    if (m_ended) return WaitResult::Ended;
    if (!m_pidFd.Valid()) return WaitByPolling(milliseconds);

    pollfd watch{m_pidFd.Get(), POLLIN, 0};
    const int ready = poll(&watch, 1, milliseconds < 0 ? -1 : milliseconds);
    if (ready == 0) return WaitResult::TimedOut;
    // A signal cuts the wait short; the caller then looks at its stop request.
    if (ready < 0) {
        if (errno == EINTR) return WaitResult::TimedOut;
        throw SystemFailure(errno);
    }
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
}

// A program named by its path, opened for the start to run from its descriptor once it passed
// ProgramFileRefusal; -1 for a name on PATH, a file that cannot be opened (the start reports
// why) and a script (its interpreter reads it by name).
int OpenCheckedProgram(const std::string& program) {
    if (program.find('/') == std::string::npos) return -1;
    FileDescriptor file(open(program.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) return -1;
    struct stat info {};
    if (fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    if (const std::string refusal = ProgramFileRefusal(file.Get(), ProgramOwner::Anyone);
        !refusal.empty())
        throw OSErrorFromCode(EPERM, "The coder " + program + " is not used: " + refusal);
    char start[2] = {};
    if (pread(file.Get(), start, 2, 0) == 2 && start[0] == '#' && start[1] == '!') return -1;
    return file.Release();
}

}  // namespace

std::unique_ptr<Process> PosixProcesses::Start(const std::string& program,
                                               const std::vector<std::string>& arguments,
                                               const std::string& outputFile,
                                               const CoderAccess& access) {
    // Made before the start, so no child can run without a record that ends it.
    auto process = std::make_unique<PosixProcess>();

    FileDescriptor output(open(outputFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644));
    if (!output.Valid()) {
        const int error = errno;
        throw CannotCreateFile(outputFile, SystemErrorText(error));
    }

    const FileDescriptor kept(AboveStandardStreams(output.Release()));
    int pipeEnds[2];
    if (!kept.Valid() || pipe2(pipeEnds, O_CLOEXEC) != 0) throw SystemFailure(errno);
    const FileDescriptor reportEnd(pipeEnds[0]);
    FileDescriptor failureEnd(AboveStandardStreams(pipeEnds[1]));
    if (!failureEnd.Valid()) throw SystemFailure(errno);

    const std::vector<std::string> candidates = ProgramCandidates(program);
    const FileDescriptor checkedProgram(AboveStandardStreams(OpenCheckedProgram(program)));
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    ChildStart start;
    for (const auto& candidate : candidates) start.candidates.push_back(candidate.c_str());
    start.argv = argv.data();
    start.environment = environ;
    start.parent = getpid();
    start.output = kept.Get();
    start.errorPipe = failureEnd.Get();
    start.program = checkedProgram.Get();
    start.descriptorLimit = static_cast<int>(std::min(sysconf(_SC_OPEN_MAX), 65536L));
    std::optional<PreparedSandbox> sandbox;
    if (m_confinement == Confined) {
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

    process->Adopt(pid);
    return process;
}

}  // namespace lmk

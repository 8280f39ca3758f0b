#include "posix_platform.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&m_attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* Get() { return &m_attributes; }

private:
    posix_spawnattr_t m_attributes;
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

// Collects the ended child: Ended once reaped, TimedOut while it still runs (only when not
// blocking), Failed when the system refuses.
WaitResult PosixProcess::Reap(bool block) {
    int status = 0;
    pid_t result;
    do {
        result = waitpid(m_pid, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == m_pid) {
        m_status = StatusFromWait(status);
        m_ended = true;
        return WaitResult::Ended;
    }
    if (result == 0) return WaitResult::TimedOut;
    if (errno == ECHILD) {
        // SIGCHLD is ignored somewhere and the system reaped it for us: gone, status unknown.
        m_status = ExitStatus{};
        m_ended = true;
        return WaitResult::Ended;
    }
    return WaitResult::Failed;
}

WaitResult PosixProcess::Wait(int milliseconds) {
    if (m_ended) return WaitResult::Ended;
    if (!m_pidFd.Valid()) return WaitByPolling(milliseconds);

    pollfd watch{m_pidFd.Get(), POLLIN, 0};
    const int ready = poll(&watch, 1, milliseconds < 0 ? -1 : milliseconds);
    if (ready == 0) return WaitResult::TimedOut;
    // A signal cuts the wait short; the caller then looks at its stop request.
    if (ready < 0) return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
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
    Reap(true);
    m_ended = true;
}

}  // namespace

std::unique_ptr<Process> PosixProcesses::Start(const std::string& program,
                                               const std::vector<std::string>& arguments,
                                               const std::string& outputFile) {
    // Made before the start, so no child can run without a record that ends it.
    auto process = std::make_unique<PosixProcess>();

    const FileDescriptor output(
        open(outputFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644));
    if (!output.Valid()) {
        const int error = errno;
        throw CannotCreateFile(outputFile, SystemErrorText(error));
    }

    SpawnFileActions actions;
    int error = posix_spawn_file_actions_adddup2(actions.Get(), output.Get(), STDOUT_FILENO);
    if (error == 0)
        error = posix_spawn_file_actions_adddup2(actions.Get(), output.Get(), STDERR_FILENO);
    if (error == 0)
        error =
            posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);

    // Its own process group, so a Ctrl+C on the terminal reaches only us; we stop it ourselves.
    SpawnAttributes attributes;
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGINT);
    sigaddset(&defaultSignals, SIGTERM);
    sigaddset(&defaultSignals, SIGPIPE);
    if (error == 0)
        error = posix_spawnattr_setflags(attributes.Get(), POSIX_SPAWN_SETPGROUP |
                                                               POSIX_SPAWN_SETSIGMASK |
                                                               POSIX_SPAWN_SETSIGDEF);
    if (error == 0) error = posix_spawnattr_setpgroup(attributes.Get(), 0);
    if (error == 0) error = posix_spawnattr_setsigmask(attributes.Get(), &noSignals);
    if (error == 0) error = posix_spawnattr_setsigdefault(attributes.Get(), &defaultSignals);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    if (error == 0) {
        const bool searchPath = program.find('/') == std::string::npos;
        error = searchPath ? posix_spawnp(&pid, program.c_str(), actions.Get(), attributes.Get(),
                                          argv.data(), environ)
                           : posix_spawn(&pid, program.c_str(), actions.Get(), attributes.Get(),
                                         argv.data(), environ);
    }
    if (error != 0) throw OSErrorFromCode(error, SystemErrorText(error));

    process->Adopt(pid);
    return process;
}

}  // namespace lmk

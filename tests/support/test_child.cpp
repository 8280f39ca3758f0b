#include "test_child.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_files.h"

extern char** environ;

namespace lmk::test {
namespace {

constexpr auto kRunLimit = std::chrono::minutes(2);
constexpr auto kChildPollStep = std::chrono::milliseconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(50);

// A capture file that the child writes and the test reads after it ends.
int MakeCaptureFile(std::string& path) {
    path = TemporaryBase() + "/lmk-capture-XXXXXX";
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("mkostemp: " + std::string(std::strerror(errno)));
    return fd;
}

// The program's language follows these; a child speaks the program's own, in C.UTF-8, unless a
// test asks for another.
bool IsLanguageVariable(const std::string& name) {
    return name == "LANGUAGE" || name == "LC_ALL" || name == "LC_MESSAGES" || name == "LANG";
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        if (IsLanguageVariable(name)) continue;
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
            return e.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) result.push_back(variable);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    // A UTF-8 locale all the same: names and window titles are written in it.
    if (std::none_of(extra.begin(), extra.end(),
                     [](const std::string& e) { return e.starts_with("LANG="); }))
        result.push_back("LANG=C.UTF-8");
    return result;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& arguments,
             const RunSettings& settings)
    : m_ownGroup(settings.ownProcessGroup) {
    const int outFd = MakeCaptureFile(m_outPath);
    const int errFd = MakeCaptureFile(m_errPath);

    std::vector<std::string> argumentTexts{program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentTexts = ChildEnvironment(settings.environmentExtra);
    std::vector<char*> argv = PointersTo(argumentTexts);
    std::vector<char*> envp = PointersTo(environmentTexts);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    if (!settings.currentFolder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, settings.currentFolder.c_str());

    // The test runner may have set these aside; the program must get them as a shell would.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (m_ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);

    const int error =
        posix_spawn(&m_pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    if (error != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
    }
}

Child::~Child() {
    if (m_pid > 0 && !m_result) {
        kill(m_ownGroup ? -m_pid : m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    unlink(m_outPath.c_str());
    unlink(m_errPath.c_str());
}

void Child::Collect(int status) {
    RunResult result;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = ReadFile(m_outPath);
    result.err = ReadFile(m_errPath);
    m_result = std::move(result);
}

bool Child::Ended() {
    if (m_result) return true;
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) Collect(status);
    return m_result.has_value();
}

RunResult Child::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Ended()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(m_ownGroup ? -m_pid : m_pid, SIGKILL);
            int status = 0;
            waitpid(m_pid, &status, 0);
            Collect(status);
            m_result->timedOut = true;
            break;
        }
        std::this_thread::sleep_for(kChildPollStep);
    }
    return *m_result;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunSettings& settings) {
    Child child(program, arguments, settings);
    return child.Wait(kRunLimit);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream file(task.path() / "children");
        pid_t child = 0;
        while (file >> child) children.push_back(child);
    }
    return children;
}

bool ProcessGone(pid_t pid, std::chrono::milliseconds limit) {
    return WaitUntil([pid] { return kill(pid, 0) == -1 && errno == ESRCH; }, limit);
}

}  // namespace lmk::test

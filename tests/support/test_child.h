#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// Programs run by the tests as child processes, their output captured.
namespace lmk::test {

struct RunSettings {
    std::string currentFolder;                  // empty: the test's own
    std::vector<std::string> environmentExtra;  // "NAME=value", set on top of the test's own
    bool ownProcessGroup = false;               // so a signal can reach the program's coder too
};

struct RunResult {
    int exitCode = -1;  // -1 when ended by a signal or not ended in time
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// A child process with its standard output and error captured in files.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& arguments,
          const RunSettings& settings);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }
    // True once the child has ended; the result is then filled in.
    bool Ended();
    // Waits up to `limit`; on time-out the child (and its group) is killed and timedOut set.
    RunResult Wait(std::chrono::milliseconds limit);

private:
    void Collect(int status);

    pid_t m_pid = -1;
    bool m_ownGroup = false;
    std::string m_outPath;
    std::string m_errPath;
    std::optional<RunResult> m_result;
};

// Runs a program to its end (killed after two minutes, which no test here comes near).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunSettings& settings = {});

// Polls `condition` until it holds or `limit` has passed; true when it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// The direct children of a process, started by any of its threads (the program's coder runs).
std::vector<pid_t> ChildrenOf(pid_t pid);

// True once no process with this number is left (reaped, not merely ended); a negative number
// names a process group.
bool ProcessGone(pid_t pid, std::chrono::milliseconds limit);

}  // namespace lmk::test

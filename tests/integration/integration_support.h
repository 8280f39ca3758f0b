#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// Helpers for the tests that run the real program on clips made by the real coder.
namespace lmk::integration {

// The programs under test, from the build (LMK_VIDEO, LMK_FFMPEG and LMK_FFPROBE in the
// environment override them).
std::string ProgramPath();
std::string CoderPath();
std::string CoderReportPath();

// A fresh folder under the temporary folder, removed with everything in it at the end of the
// scope.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& label);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void CopyFile(const std::string& from, const std::string& to);
std::vector<std::string> FolderNames(const std::string& folder);

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

// Runs the coder with these arguments and fails the test (via ADD_FAILURE) if it fails.
void RunCoder(const std::vector<std::string>& arguments);

// One stream of a file as the coder's own report gives it.
struct Stream {
    std::string type;  // "video", "audio"
    std::string codec;
    int width = 0;
    int height = 0;
};

// The streams of a media file; empty when the coder cannot read it.
std::vector<Stream> StreamsOf(const std::string& path);
std::optional<Stream> FirstStream(const std::vector<Stream>& streams, const std::string& type);

std::vector<std::string> SplitLines(const std::string& text);

}  // namespace lmk::integration

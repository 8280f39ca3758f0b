#include "integration_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace lmk::integration {
namespace {

namespace fs = std::filesystem;

constexpr auto kRunLimit = std::chrono::minutes(2);
constexpr auto kPollStep = std::chrono::milliseconds(5);

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string TemporaryBase() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

// A capture file that the child writes and the test reads after it ends.
int MakeCaptureFile(std::string& path) {
    path = TemporaryBase() + "/lmk-capture-XXXXXX";
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("mkostemp: " + std::string(std::strerror(errno)));
    return fd;
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
            return e.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) result.push_back(variable);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::string ProgramPath() {
    return FromEnvironment("LMK_VIDEO", LMK_VIDEO_PATH);
}

std::string CoderPath() {
    return FromEnvironment("LMK_FFMPEG", LMK_FFMPEG_PATH);
}

std::string CoderReportPath() {
    return FromEnvironment("LMK_FFPROBE", LMK_FFPROBE_PATH);
}

ScratchFolder::ScratchFolder(const std::string& label) {
    std::string pattern = TemporaryBase() + "/lmk-" + label + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    m_path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

void CopyFile(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

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
        std::this_thread::sleep_for(kPollStep);
    }
    return *m_result;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunSettings& settings) {
    Child child(program, arguments, settings);
    return child.Wait(kRunLimit);
}

void RunCoder(const std::vector<std::string>& arguments) {
    std::vector<std::string> full{"-nostdin", "-hide_banner", "-v", "error", "-y"};
    full.insert(full.end(), arguments.begin(), arguments.end());
    const RunResult result = RunProgram(CoderPath(), full);
    if (result.exitCode != 0) {
        ADD_FAILURE() << "the coder could not make a clip (exit " << result.exitCode
                      << "): " << result.err;
    }
}

std::vector<Stream> StreamsOf(const std::string& path) {
    const RunResult result =
        RunProgram(CoderReportPath(),
                   {"-v", "error", "-show_entries", "stream=codec_type,codec_name,width,height",
                    "-of", "compact=p=0", "-i", path});
    std::vector<Stream> streams;
    if (result.exitCode != 0) return streams;
    for (const auto& line : SplitLines(result.out)) {
        if (line.empty()) continue;
        Stream stream;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '|')) {
            const auto equals = field.find('=');
            if (equals == std::string::npos) continue;
            const std::string key = field.substr(0, equals);
            const std::string value = field.substr(equals + 1);
            if (key == "codec_type") stream.type = value;
            if (key == "codec_name") stream.codec = value;
            if (key == "width") stream.width = std::atoi(value.c_str());
            if (key == "height") stream.height = std::atoi(value.c_str());
        }
        streams.push_back(stream);
    }
    return streams;
}

std::optional<Stream> FirstStream(const std::vector<Stream>& streams, const std::string& type) {
    for (const auto& stream : streams)
        if (stream.type == type) return stream;
    return std::nullopt;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream input(text);
    std::string line;
    while (std::getline(input, line)) lines.push_back(line);
    return lines;
}

}  // namespace lmk::integration

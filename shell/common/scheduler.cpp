#include "scheduler.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "failures.h"
#include "file_descriptor.h"
#include "posix_platform.h"
#include "stop_signals.h"

namespace lmk {

// Calls `wake` once the stop descriptor becomes readable, from a thread of its own, until it goes.
// A standard output into a pipe whose reader has gone (`| head`) raises the stop meanwhile, at
// once rather than at the next line printed.
class StopWatch {
public:
    StopWatch(int stopReadable, std::function<void()> wake) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) throw OSErrorFromCode(errno, SystemErrorText(errno));
        m_quitRead.Reset(ends[0]);
        m_quitWrite.Reset(ends[1]);
        struct stat output {};
        const bool outputPipe = fstat(STDOUT_FILENO, &output) == 0 && S_ISFIFO(output.st_mode);
        m_thread = std::jthread([this, stopReadable, outputPipe, wake = std::move(wake)] {
            // A negative descriptor is left out of the poll.
            pollfd watched[3] = {{stopReadable, POLLIN, 0},
                                 {m_quitRead.Get(), POLLIN, 0},
                                 {outputPipe ? STDOUT_FILENO : -1, 0, 0}};
            for (;;) {
                if (poll(watched, 3, -1) < 0) {
                    if (errno == EINTR) continue;
                    break;
                }
                if (watched[0].revents != 0 || watched[1].revents != 0) break;
                if ((watched[2].revents & POLLERR) != 0) RaiseStop(SIGPIPE);
                watched[2].fd = -1;
            }
            if (watched[0].revents != 0) wake();
        });
    }
    ~StopWatch() {
        const char quit = 0;
        while (write(m_quitWrite.Get(), &quit, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

private:
    FileDescriptor m_quitRead;
    FileDescriptor m_quitWrite;
    std::jthread m_thread;
};

std::vector<std::string> OutputNamesOf(const std::string& path) {
    std::vector<std::string> outputs = OutputNames(FileNamePart(path));
    for (auto& output : outputs) output = FolderPart(path) + output;
    return outputs;
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return (file && other.file && *file == *other.file) || place == other.place;
}

FileIdentity IdentityOf(const std::string& path) {
    FileIdentity identity;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) identity.file = {status.st_dev, status.st_ino};
    const std::string folder = FolderPart(path);
    if (stat(folder.empty() ? "." : folder.c_str(), &status) == 0)
        identity.place = {status.st_dev, status.st_ino, FileNamePart(path)};
    else
        identity.place = {0, 0, JoinPath(ResolvedPath(folder), FileNamePart(path))};
    return identity;
}

FileUse UseOf(const std::string& path) {
    FileUse use{IdentityOf(path), {}};
    for (const auto& output : OutputNamesOf(path)) use.outputs.push_back(IdentityOf(output));
    return use;
}

bool Clash(const FileUse& one, const FileUse& other) {
    const auto writes = [](const FileUse& use, const FileIdentity& file) {
        return std::find(use.outputs.begin(), use.outputs.end(), file) != use.outputs.end();
    };
    if (one.input == other.input || ReadsOutputOf(one, other) || ReadsOutputOf(other, one))
        return true;
    return std::any_of(one.outputs.begin(), one.outputs.end(),
                       [&](const FileIdentity& output) { return writes(other, output); });
}

bool ReadsOutputOf(const FileUse& reader, const FileUse& writer) {
    return std::find(writer.outputs.begin(), writer.outputs.end(), reader.input) !=
           writer.outputs.end();
}

Scheduler::Scheduler(JobHost& host, int stopReadable) : m_host(host) {
    if (stopReadable < 0) return;
    m_stopWatch = std::make_unique<StopWatch>(stopReadable, [this] {
        { const std::lock_guard lock(m_mutex); }
        m_changed.notify_all();
    });
}

Scheduler::~Scheduler() {
    m_stopWatch.reset();
}

void Scheduler::Add(const std::vector<std::string>& paths) {
    std::vector<FileUse> uses;
    for (const auto& path : paths) uses.push_back(UseOf(path));
    {
        const std::lock_guard lock(m_mutex);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            m_waiting.push_back(m_paths.size());
            m_paths.push_back(paths[i]);
            m_uses.push_back(std::move(uses[i]));
            m_outcomes.emplace_back();
        }
    }
    m_changed.notify_all();
}

std::optional<std::size_t> Scheduler::Take() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        // A stop seen here is the run's, even when no running job is left to see it.
        if (m_host.StopRequested()) {
            m_stopped = true;
            m_ending = true;
        }
        if (m_ending || m_waiting.empty()) return std::nullopt;
        auto file = std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [&](std::size_t index) { return MayStart(index); });
        // Files that each go before another (reached by links) go in their order.
        if (file == m_waiting.end() && m_running.empty()) file = m_waiting.begin();
        if (file != m_waiting.end()) {
            const std::size_t index = *file;
            m_waiting.erase(file);
            m_running.push_back(index);
            return index;
        }
        // Woken by a file's end, a failure or a stop; without a stop descriptor a stop is seen
        // at the next tick.
        if (m_stopWatch)
            m_changed.wait(lock);
        else
            m_changed.wait_for(lock, std::chrono::milliseconds(kTickMilliseconds));
    }
}

std::string Scheduler::Path(std::size_t index) {
    const std::lock_guard lock(m_mutex);
    return m_paths.at(index);
}

void Scheduler::Finish(std::size_t index, const FileOutcome& outcome,
                       const std::function<void(const FileOutcome&)>& done) {
    {
        const std::lock_guard lock(m_mutex);
        m_outcomes.at(index) = outcome;
        ++m_done;
        if (outcome.verdict == FileOutcome::Verdict::Stopped) {
            m_stopped = true;
            m_ending = true;
        }
        if (done) done(outcome);
    }
    Release(index);
}

void Scheduler::Release(std::size_t index) {
    {
        const std::lock_guard lock(m_mutex);
        m_running.erase(std::find(m_running.begin(), m_running.end(), index));
    }
    m_changed.notify_all();
}

void Scheduler::Fail(std::exception_ptr failure) {
    {
        const std::lock_guard lock(m_mutex);
        if (!m_failure) m_failure = failure;
        m_ending = true;
    }
    m_changed.notify_all();
}

JobOutcome Scheduler::End() {
    m_stopWatch.reset();
    if (m_failure) std::rethrow_exception(m_failure);
    JobOutcome outcome;
    // A stop after the last file was taken ends the run as stopped too.
    outcome.stopped = m_stopped || m_host.StopRequested();
    for (const auto& file : m_outcomes)
        if (file) outcome.files.push_back(*file);
    return outcome;
}

int Scheduler::FilesDone() {
    const std::lock_guard lock(m_mutex);
    return m_done;
}

int Scheduler::FilesLeft() {
    const std::lock_guard lock(m_mutex);
    return static_cast<int>(m_waiting.size() + m_running.size());
}

std::string Scheduler::ClaimOutput(const std::string& input, const std::string& output) {
    const FileIdentity place = IdentityOf(output);
    const FileIdentity reader = IdentityOf(input);
    const std::lock_guard lock(m_mutex);
    for (const Claim& claim : m_claims) {
        if (claim.output == place && !(claim.input == reader)) return claim.inputPath;
    }
    m_claims.push_back({place, reader, input});
    return {};
}

void Scheduler::ReleaseOutput(const std::string& input, const std::string& output) {
    const FileIdentity place = IdentityOf(output);
    const std::lock_guard lock(m_mutex);
    const auto claimed = std::find_if(m_claims.begin(), m_claims.end(), [&](const Claim& claim) {
        return claim.inputPath == input && claim.output == place;
    });
    if (claimed != m_claims.end()) m_claims.erase(claimed);
}

// Of two clashing files the one that reads the other's output goes first, else the earlier.
bool Scheduler::GoesBefore(std::size_t first, std::size_t second) const {
    if (!Clash(m_uses[first], m_uses[second])) return false;
    const bool firstReads = ReadsOutputOf(m_uses[first], m_uses[second]);
    const bool secondReads = ReadsOutputOf(m_uses[second], m_uses[first]);
    if (firstReads != secondReads) return firstReads;
    return first < second;
}

bool Scheduler::MayStart(std::size_t index) const {
    const auto clashes = [&](std::size_t other) { return Clash(m_uses[index], m_uses[other]); };
    const auto before = [&](std::size_t other) {
        return other != index && GoesBefore(other, index);
    };
    return std::none_of(m_running.begin(), m_running.end(), clashes) &&
           std::none_of(m_waiting.begin(), m_waiting.end(), before);
}

}  // namespace lmk

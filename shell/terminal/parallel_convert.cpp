#include "parallel_convert.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <exception>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "failures.h"
#include "file_descriptor.h"
#include "posix_platform.h"
#include "session.h"
#include "stop_signals.h"
#include "terminal_log.h"

namespace lmk {
namespace {

constexpr auto kTick = std::chrono::milliseconds(kTickMilliseconds);

// One job's log: the lines of the file it works on. With `live`, those before "Готово!" are
// shown there as they come as well; the run prints "Готово!" and the failures at its end.
class FileLines : public JobLog {
public:
    explicit FileLines(JobLog* live) : m_live(live) {}
    void ClearLog() override {
        m_lines.clear();
        m_liveIndexes.clear();
        m_done = false;
        if (m_live) m_live->ClearLog();
    }
    int AddLogLine(const std::string& line) override {
        m_lines.push_back(line);
        if (line == kDoneLine) m_done = true;
        m_liveIndexes.push_back(m_live && !m_done ? m_live->AddLogLine(line) : -1);
        if (m_live) FlushStandardOutput();
        return static_cast<int>(m_lines.size()) - 1;
    }
    void ReplaceLogLine(int index, const std::string& line) override {
        if (index < 0 || index >= static_cast<int>(m_lines.size())) return;
        m_lines[index] = line;
        if (m_liveIndexes[index] < 0) return;
        m_live->ReplaceLogLine(m_liveIndexes[index], line);
        FlushStandardOutput();
    }
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    JobLog* m_live;
    std::vector<std::string> m_lines;
    std::vector<int> m_liveIndexes;
    bool m_done = false;
};

// Calls `wake` once the stop descriptor becomes readable, from a thread of its own, until it goes.
// A standard output into a pipe whose reader has gone (`| head`) raises the stop meanwhile, at
// once rather than at the next line printed.
class StopWatch {
public:
    StopWatch(int stopReadable, std::function<void()> wake) {
        if (stopReadable < 0) return;
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
        if (!m_thread.joinable()) return;
        const char quit = 0;
        while (write(m_quitWrite.Get(), &quit, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;
    bool Watching() const { return m_thread.joinable(); }

private:
    FileDescriptor m_quitRead;
    FileDescriptor m_quitWrite;
    std::jthread m_thread;
};

// The files, handed out to the jobs in their order, and what became of each.
class Batch {
public:
    Batch(const ParallelRun& run, const std::atomic<bool>& stop, int stopReadable, JobLog* live)
        : m_stop(stop), m_live(live), m_paths(run.paths), m_failureLines(run.paths.size()) {
        for (std::size_t i = 0; i < run.paths.size(); ++i) {
            m_waiting.push_back(i);
            m_uses.push_back(UseOf(run.paths[i]));
        }
        m_stopWatch.emplace(stopReadable, [this] {
            { const std::lock_guard lock(m_mutex); }
            m_changed.notify_all();
        });
    }

    // The first waiting file that clashes with no running file and no waiting one that goes
    // before it, once there is one; nothing once all are handed out or no more may start. A stop
    // seen here is the run's, even when no running job is left to see it.
    std::optional<std::size_t> Take() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_stop.load()) {
                m_outcome.stopped = true;
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
            // Woken by a file's end, a failure or a stop; without a stop descriptor a stop is
            // seen at the next tick.
            if (m_stopWatch->Watching())
                m_changed.wait(lock);
            else
                m_changed.wait_for(lock, kTick);
        }
    }

    // The file's job has returned: its status line is printed whole, at once.
    void Finish(std::size_t index, const std::vector<std::string>& lines,
                const JobOutcome& outcome) {
        const auto done = std::find(lines.begin(), lines.end(), kDoneLine);
        {
            const std::lock_guard lock(m_mutex);
            if (!m_live) {
                for (auto line = lines.begin(); line != done; ++line)
                    std::cout << WithoutTrailingSpaces(*line) << '\n';
                FlushStandardOutput();
            }
            if (done != lines.end()) m_failureLines[index].assign(done + 1, lines.end());
            m_outcome.converted += outcome.converted;
            m_outcome.failedFiles.insert(m_outcome.failedFiles.end(), outcome.failedFiles.begin(),
                                         outcome.failedFiles.end());
            if (outcome.stopped) {
                m_outcome.stopped = true;
                m_ending = true;
            }
        }
        Release(index);
    }

    void Release(std::size_t index) {
        {
            const std::lock_guard lock(m_mutex);
            m_running.erase(std::find(m_running.begin(), m_running.end(), index));
        }
        m_changed.notify_all();
    }

    // The first failure that ended a job; no more files start.
    void Fail(std::exception_ptr failure) {
        {
            const std::lock_guard lock(m_mutex);
            if (!m_failure) m_failure = failure;
            m_ending = true;
        }
        m_changed.notify_all();
    }

    // Empty when file `index` may end in `output`, which it then holds; else why not: another
    // file of the run ended in it (t.webm's second attempt and t.webm.mp4 both write
    // lmk-t.webm.mp4). The same file named twice may replace its own.
    std::string ClaimOutput(std::size_t index, const std::string& output) {
        const FileIdentity place = IdentityOf(output);
        const std::lock_guard lock(m_mutex);
        for (const auto& [claimed, owner] : m_claims) {
            if (claimed == place && !(m_uses[owner].input == m_uses[index].input))
                return "в него уже сконвертирован файл " + FileNamePart(m_paths[owner]);
        }
        m_claims.emplace_back(place, index);
        return {};
    }

    // The file did not end in `output` after all.
    void ReleaseOutput(std::size_t index, const std::string& output) {
        const FileIdentity place = IdentityOf(output);
        const std::lock_guard lock(m_mutex);
        std::erase_if(m_claims, [&](const auto& claim) {
            return claim.second == index && claim.first == place;
        });
    }

    // Once every job has returned.
    JobOutcome End() {
        m_stopWatch.reset();
        if (m_failure) std::rethrow_exception(m_failure);
        // A stop after the last file was taken ends the run as stopped too.
        if (m_stop.load()) m_outcome.stopped = true;
        // The live log's open line is ended before anything is printed after it.
        if (m_live) m_live->ClearLog();
        std::cout << kDoneLine << '\n';
        for (const auto& lines : m_failureLines)
            for (const auto& line : lines) std::cout << line << '\n';
        FlushStandardOutput();
        return m_outcome;
    }

private:
    // Of two clashing files the one that reads the other's output goes first, else the earlier.
    bool GoesBefore(std::size_t first, std::size_t second) const {
        if (!Clash(m_uses[first], m_uses[second])) return false;
        const bool firstReads = ReadsOutputOf(m_uses[first], m_uses[second]);
        const bool secondReads = ReadsOutputOf(m_uses[second], m_uses[first]);
        if (firstReads != secondReads) return firstReads;
        return first < second;
    }

    bool MayStart(std::size_t index) const {
        const auto clashes = [&](std::size_t other) { return Clash(m_uses[index], m_uses[other]); };
        const auto before = [&](std::size_t other) {
            return other != index && GoesBefore(other, index);
        };
        return std::none_of(m_running.begin(), m_running.end(), clashes) &&
               std::none_of(m_waiting.begin(), m_waiting.end(), before);
    }

    const std::atomic<bool>& m_stop;
    JobLog* m_live;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::size_t> m_waiting;
    std::vector<std::size_t> m_running;
    std::vector<FileUse> m_uses;
    const std::vector<std::string>& m_paths;
    std::vector<std::pair<FileIdentity, std::size_t>> m_claims;  // outputs ended in, by file
    std::vector<std::vector<std::string>> m_failureLines;
    JobOutcome m_outcome;
    bool m_ending = false;
    std::exception_ptr m_failure;
    std::optional<StopWatch> m_stopWatch;  // last made, first gone: it calls into the rest
};

// The session's files as one job of the run sees them: an output that another file of the run
// ended in is never replaced.
class RunFiles : public Files {
public:
    RunFiles(Files& files, Batch& batch) : m_files(files), m_batch(batch) {}
    void Working(std::size_t index) { m_index = index; }

    bool IsFile(const std::string& path) override { return m_files.IsFile(path); }
    std::string Delete(const std::string& path) override { return m_files.Delete(path); }
    std::string ReadAll(const std::string& path) override { return m_files.ReadAll(path); }
    std::string ReadFrom(const std::string& path, std::uint64_t offset,
                         std::size_t limit) override {
        return m_files.ReadFrom(path, offset, limit);
    }
    FileStatus StatusOf(const std::string& path) override { return m_files.StatusOf(path); }
    FolderListing FolderNames(const std::string& path) override {
        return m_files.FolderNames(path);
    }
    PartialFile CreatePartial(const std::string& output) override {
        return m_files.CreatePartial(output);
    }
    std::string Replace(const std::string& partial, const std::string& output) override {
        if (std::string refusal = m_batch.ClaimOutput(m_index, output); !refusal.empty())
            return refusal;
        std::string error = m_files.Replace(partial, output);
        if (!error.empty()) m_batch.ReleaseOutput(m_index, output);
        return error;
    }

private:
    Files& m_files;
    Batch& m_batch;
    std::size_t m_index = 0;
};

// One sequential job, file after file. The thread waits for every coder it starts: a coder is
// ended with the thread that started it.
void RunJob(Batch& batch, const ParallelRun& run, Session& session, const std::atomic<bool>& stop,
            JobLog* live) {
    try {
        FileLines log(live);
        CommandLineHost host(run.width, run.height, stop);
        RunFiles files(session.FilesPort(), batch);
        SessionWorker worker(session, log, host, files);
        while (const auto index = batch.Take()) {
            files.Working(*index);
            JobOutcome outcome;
            try {
                outcome = worker.Job().Run({run.paths[*index]});
            } catch (...) {
                batch.Release(*index);
                throw;
            }
            batch.Finish(*index, log.Lines(), outcome);
        }
    } catch (...) {
        batch.Fail(std::current_exception());
    }
}

}  // namespace

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

JobOutcome ConvertFiles(const ParallelRun& run, Session& session, const std::atomic<bool>& stop,
                        int stopReadable, JobLog* live) {
    const std::size_t count =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(run.jobs, 1)), 1,
                                std::max<std::size_t>(run.paths.size(), 1));
    // Lines drawn as they come only when one job draws them.
    Batch batch(run, stop, stopReadable, count == 1 ? live : nullptr);
    {
        std::vector<std::jthread> jobs;
        for (std::size_t i = 0; i < count; ++i)
            jobs.emplace_back(RunJob, std::ref(batch), std::cref(run), std::ref(session),
                              std::cref(stop), count == 1 ? live : nullptr);
    }
    return batch.End();
}

}  // namespace lmk

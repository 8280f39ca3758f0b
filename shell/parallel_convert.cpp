#include "parallel_convert.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "posix_platform.h"
#include "terminal_log.h"

namespace lmk {
namespace {

constexpr auto kTick = std::chrono::milliseconds(kTickMilliseconds);

// One job's log: the lines of the file it works on, nothing drawn while it runs.
class FileLines : public JobLog {
public:
    void ClearLog() override { m_lines.clear(); }
    int AddLogLine(const std::string& line) override {
        m_lines.push_back(line);
        return static_cast<int>(m_lines.size()) - 1;
    }
    void ReplaceLogLine(int index, const std::string& line) override {
        if (index >= 0 && index < static_cast<int>(m_lines.size())) m_lines[index] = line;
    }
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    std::vector<std::string> m_lines;
};

struct OwnFolder {
    std::string path = MakePrivateFolder();
    ~OwnFolder() { RemovePrivateFolder(path); }
};

// The files, handed out to the jobs in their order, and what became of each.
class Batch {
public:
    Batch(const ParallelRun& run, const volatile std::sig_atomic_t& stopSignal)
        : m_stopSignal(stopSignal), m_failureLines(run.paths.size()) {
        for (std::size_t i = 0; i < run.paths.size(); ++i) {
            m_waiting.push_back(i);
            m_outputs.push_back(OutputNamesOf(run.paths[i]));
        }
    }

    // The first waiting file whose outputs no running job writes, once there is one; nothing
    // once all are handed out or no more may start.
    std::optional<std::size_t> Take() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_ending || m_stopSignal || m_waiting.empty()) return std::nullopt;
            const auto free = std::find_if(m_waiting.begin(), m_waiting.end(),
                                           [&](std::size_t i) { return !Clashes(i); });
            if (free != m_waiting.end()) {
                const std::size_t index = *free;
                m_waiting.erase(free);
                m_writing.insert(m_outputs[index].begin(), m_outputs[index].end());
                return index;
            }
            // A stop signal wakes no one: look again at each tick.
            m_freed.wait_for(lock, kTick);
        }
    }

    // The file's job has returned: its status line is printed whole, at once.
    void Finish(std::size_t index, const std::vector<std::string>& lines,
                const JobOutcome& outcome) {
        const auto done = std::find(lines.begin(), lines.end(), kDoneLine);
        {
            const std::lock_guard lock(m_mutex);
            for (auto line = lines.begin(); line != done; ++line) std::cout << *line << '\n';
            std::cout.flush();
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
            for (const auto& output : m_outputs[index]) m_writing.erase(m_writing.find(output));
        }
        m_freed.notify_all();
    }

    // The first failure that ended a job; no more files start.
    void Fail(std::exception_ptr failure) {
        {
            const std::lock_guard lock(m_mutex);
            if (!m_failure) m_failure = failure;
            m_ending = true;
        }
        m_freed.notify_all();
    }

    JobOutcome End() {
        if (m_failure) std::rethrow_exception(m_failure);
        std::cout << kDoneLine << '\n';
        for (const auto& lines : m_failureLines)
            for (const auto& line : lines) std::cout << line << '\n';
        std::cout.flush();
        return m_outcome;
    }

private:
    bool Clashes(std::size_t index) const {
        return std::any_of(m_outputs[index].begin(), m_outputs[index].end(),
                           [&](const std::string& output) { return m_writing.count(output) > 0; });
    }

    const volatile std::sig_atomic_t& m_stopSignal;
    std::mutex m_mutex;
    std::condition_variable m_freed;
    std::deque<std::size_t> m_waiting;
    std::vector<std::vector<std::string>> m_outputs;
    std::multiset<std::string> m_writing;  // the same file may be named twice
    std::vector<std::vector<std::string>> m_failureLines;
    JobOutcome m_outcome;
    bool m_ending = false;
    std::exception_ptr m_failure;
};

// One sequential job, file after file. The thread waits for every coder it starts: a coder is
// ended with the thread that started it.
void RunJob(Batch& batch, const ParallelRun& run, Processes& processes, Files& files,
            const volatile std::sig_atomic_t& stopSignal) {
    try {
        const OwnFolder folder;
        JobValues values;
        values.CoderPath = run.coderPath;
        values.WorkFolder = folder.path;
        FileLines log;
        CommandLineHost host(run.width, run.height, stopSignal);
        ConversionJob job(log, host, processes, files, values);
        while (const auto index = batch.Take()) {
            JobOutcome outcome;
            try {
                outcome = job.Run({run.paths[*index]});
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
    const std::string folder = ResolvedPath(FolderPart(path));
    std::vector<std::string> outputs = OutputNames(FileNamePart(path));
    for (auto& output : outputs) output = JoinPath(folder, output);
    return outputs;
}

JobOutcome ConvertInParallel(const ParallelRun& run, Processes& processes, Files& files,
                             const volatile std::sig_atomic_t& stopSignal) {
    Batch batch(run, stopSignal);
    {
        const std::size_t count =
            std::clamp<std::size_t>(static_cast<std::size_t>(std::max(run.jobs, 1)), 1,
                                    std::max<std::size_t>(run.paths.size(), 1));
        std::vector<std::jthread> jobs;
        for (std::size_t i = 0; i < count; ++i)
            jobs.emplace_back(RunJob, std::ref(batch), std::cref(run), std::ref(processes),
                              std::ref(files), std::cref(stopSignal));
    }
    return batch.End();
}

}  // namespace lmk

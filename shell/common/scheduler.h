#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "conversion_job.h"
#include "job_ports.h"

namespace lmk {

// The output names that converting `path` may write: "lmk-" + name, and the same with ".mp4"
// and ".mp3" for a container that cannot take the result.
std::vector<std::string> OutputNamesOf(const std::string& path);

// Which file a path names, however it is reached (a linked or bind-mounted folder, a hard
// link): its device and inode when it exists, and its folder's device and inode with its name,
// which also names a file not made yet.
struct FileIdentity {
    std::optional<std::pair<std::uint64_t, std::uint64_t>> file;
    std::tuple<std::uint64_t, std::uint64_t, std::string> place;
    bool operator==(const FileIdentity& other) const;
};
FileIdentity IdentityOf(const std::string& path);

// What converting one file reads and may write.
struct FileUse {
    FileIdentity input;
    std::vector<FileIdentity> outputs;
};
FileUse UseOf(const std::string& path);

// True when the two files must not be converted at once: the same input, or one's input or
// outputs among the other's outputs (its input would be replaced while it is read).
bool Clash(const FileUse& one, const FileUse& other);
// True when `reader`'s input is among `writer`'s outputs: the reader goes first, so that the
// file the user named is read before another file's output replaces it.
bool ReadsOutputOf(const FileUse& reader, const FileUse& writer);

class StopWatch;

// The files of one run, handed out to its jobs (one or several at once) in their order, by the
// same rules for every front end: of two files that clash, the one that reads the other's
// output goes first, else the earlier; two files never end in one output. Files added during
// the run join its end. A stop, or a failure that ends a job, starts no more files.
class Scheduler : public JobSchedule {
public:
    // `host` tells of a stop; `stopReadable`, when not -1, becomes readable with it and wakes the
    // jobs waiting for a file at once (it is never read here).
    Scheduler(JobHost& host, int stopReadable);
    ~Scheduler() override;
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void Add(const std::vector<std::string>& paths);

    // The first waiting file that clashes with no running file and no waiting one that goes
    // before it, once there is one; nothing once all are handed out or no more may start.
    std::optional<std::size_t> Take();
    std::string Path(std::size_t index);
    // The file's job has returned; `done` is told of it, one file at a time.
    void Finish(std::size_t index, const FileOutcome& outcome,
                const std::function<void(const FileOutcome&)>& done);
    // The file's job ended in a failure that ends the run.
    void Release(std::size_t index);
    // The first failure that ended a job; no more files start.
    void Fail(std::exception_ptr failure);
    // Once every job has returned: the files' outcomes in their order, or the failure raised.
    JobOutcome End();

    int FilesDone() override;
    int FilesLeft() override;
    std::string ClaimOutput(const std::string& input, const std::string& output) override;
    void ReleaseOutput(const std::string& input, const std::string& output) override;

private:
    bool GoesBefore(std::size_t first, std::size_t second) const;
    bool MayStart(std::size_t index) const;

    JobHost& m_host;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_paths;
    std::vector<FileUse> m_uses;
    std::deque<std::size_t> m_waiting;
    std::vector<std::size_t> m_running;
    std::vector<std::optional<FileOutcome>> m_outcomes;
    int m_done = 0;
    struct Claim {
        FileIdentity output;
        FileIdentity input;
        std::string inputPath;
    };
    std::vector<Claim> m_claims;  // outputs ended in, or being written
    bool m_stopped = false;
    bool m_ending = false;
    std::exception_ptr m_failure;
    std::unique_ptr<StopWatch> m_stopWatch;  // last made, first gone: it calls into the rest
};

}  // namespace lmk

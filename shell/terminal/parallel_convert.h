#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "conversion_job.h"
#include "job_ports.h"

namespace lmk {

class Session;

// What `--convert` runs the files with.
struct ParallelRun {
    std::vector<std::string> paths;  // absolute, folders opened (Session::FileList)
    std::string width;
    std::string height;
    int jobs = 2;
};

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
// outputs among the other's outputs (its input would be deleted while it is read).
bool Clash(const FileUse& one, const FileUse& other);
// True when `reader`'s input is among `writer`'s outputs: the reader goes first, so that the
// file the user named is read before another file's output replaces it.
bool ReadsOutputOf(const FileUse& reader, const FileUse& writer);

// Converts the paths with up to `run.jobs` conversions at once: as many jobs of the session's
// (SessionWorker), each with a private folder of its own, take the files from one queue in their
// order; of two files that clash, the one that reads the other's output goes first, else the
// earlier. Each file's status line is printed once, whole, when it is done (with one job and a
// `live` log, as it comes, there); then "Готово!" and the failure lines in the files' order.
// A stop ends every running conversion and starts no more. A failure that ends a job starts no
// more files; once every job has ended it is raised again, and nothing more is printed.
//
// A stop is `stop` raised (by a signal handler) together with `stopReadable` becoming readable,
// which wakes the jobs waiting for a file at once; the descriptor is never read here. Whenever
// a stop arrives before the run ends, the run ends as stopped.
JobOutcome ConvertFiles(const ParallelRun& run, Session& session, const std::atomic<bool>& stop,
                        int stopReadable, JobLog* live = nullptr);

}  // namespace lmk

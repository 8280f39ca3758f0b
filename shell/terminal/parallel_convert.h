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

// What `--convert --jobs N` runs the files with.
struct ParallelRun {
    std::vector<std::string> paths;  // absolute
    std::string coderPath;
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

// Converts the paths with up to `run.jobs` conversions at once: as many sequential jobs, each
// with a private folder of its own, take the files from one queue in their order; a file whose
// outputs another job is writing waits for it. Each file's status line is printed once, whole,
// when it is done; then "Готово!" and the failure lines in the files' order. `stopSignal` ends
// every running conversion and starts no more. A failure that ends a job starts no more files;
// once every job has ended it is raised again, and nothing more is printed.
//
// A stop is `stop` raised (by a signal handler) together with `stopReadable` becoming readable,
// which wakes the jobs waiting for a file at once; the descriptor is never read here. Whenever
// a stop arrives before the run ends, the run ends as stopped.
JobOutcome ConvertInParallel(const ParallelRun& run, Processes& processes, Files& files,
                             const std::atomic<bool>& stop, int stopReadable);

}  // namespace lmk

#pragma once

#include <csignal>
#include <string>
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

// The output names that converting `path` may write ("lmk-" + name, and the same with ".mp4"
// and ".mp3" for a container that cannot take the result), in the input's folder with its links
// resolved: two inputs that share one of them must not be converted at once.
std::vector<std::string> OutputNamesOf(const std::string& path);

// Converts the paths with up to `run.jobs` conversions at once: as many sequential jobs, each
// with a private folder of its own, take the files from one queue in their order; a file whose
// outputs another job is writing waits for it. Each file's status line is printed once, whole,
// when it is done; then "Готово!" and the failure lines in the files' order. `stopSignal` ends
// every running conversion and starts no more. A failure that ends a job starts no more files;
// once every job has ended it is raised again, and nothing more is printed.
JobOutcome ConvertInParallel(const ParallelRun& run, Processes& processes, Files& files,
                             const volatile std::sig_atomic_t& stopSignal);

}  // namespace lmk

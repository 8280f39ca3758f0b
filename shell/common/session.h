#pragma once

#include <functional>
#include <string>
#include <vector>

#include "conversion_job.h"
#include "job_ports.h"
#include "working_files.h"

namespace lmk {

class Scheduler;

// How a front end runs the session's files.
struct RunSettings {
    int workers = 1;         // conversions at once; the first on the calling thread
    JobLog* live = nullptr;  // with one worker: the lines of the file being converted
    int stopReadable = -1;   // readable once a stop came: wakes workers waiting for a file
    // Each file's end, from its worker's thread, one file at a time.
    std::function<void(const FileOutcome&)> fileDone = {};
};

// One run of the program's conversions, the same for the window and the command line: the
// private folder, the coder (written out first when it is the program's own), the file list,
// the scheduler and its jobs. The front ends differ only in how they show the outcomes and
// take the stops.
class Session {
public:
    // `working` holds the coder main() chose; `values` the job's shared values (the window's
    // module values, or the command line's own).
    Session(Processes& processes, Files& files, WorkingFiles& working, JobValues& values);

    // Makes the private folder, then finds the coder and writes out the program's own. Raises
    // the first failure (the coder that cannot run, a coder file that cannot be written); what
    // was made goes with Release.
    void Open();
    // Removes the private folders and the coder file this run wrote (unless another copy of the
    // program still runs from it).
    void Release();

    // Converts the files the user named (a folder gives its media files) and those added while
    // it runs, with `settings.workers` jobs at once, and returns what became of each. A failure
    // that ends a job starts no more files; once every job has ended it is raised. The host
    // hears of the run's start and end, failures included.
    JobOutcome Run(const std::vector<std::string>& named, JobHost& host,
                   const RunSettings& settings);
    bool Running() const { return m_scheduler != nullptr; }
    // Files named while a run goes on join its end.
    void Add(const std::vector<std::string>& named);

    const JobValues& Values() const { return m_values; }

private:
    std::vector<std::string> FileList(const std::vector<std::string>& named);
    // One job: files from the scheduler until there are none.
    void Work(Scheduler& scheduler, JobHost& host, JobLog* log, JobValues& values,
              const RunSettings& settings);

    Processes& m_processes;
    Files& m_files;
    WorkingFiles& m_working;
    JobValues& m_values;
    Scheduler* m_scheduler = nullptr;  // while a run goes on
};

}  // namespace lmk

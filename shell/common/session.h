#pragma once

#include <string>
#include <vector>

#include "conversion_job.h"
#include "job_ports.h"
#include "working_files.h"

namespace lmk {

// Said of an empty argument, which would otherwise name the current folder.
inline constexpr const char* kEmptyNameRefusal = "an empty argument names no file";

// One run's conversions, built the same way for the window and the command line: the private
// folder, the coder (written out first when it is the program's own), the file list and the
// jobs. The front ends differ only in how they show the lines and take the stops.
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

    // The job a front end runs over the session's coder and folder.
    ConversionJob Job(JobLog& log, JobHost& host);

    // The paths named, as the jobs take them (FileList): a folder gives its media files.
    std::vector<std::string> FileList(const std::vector<std::string>& named);

    const JobValues& Values() const { return m_values; }
    Processes& ProcessesPort() { return m_processes; }
    Files& FilesPort() { return m_files; }

private:
    Processes& m_processes;
    Files& m_files;
    WorkingFiles& m_working;
    JobValues& m_values;
};

// A job beside the session's for the command line's workers: the session's coder and a private
// folder of its own, removed when it goes; `files` stands for the session's (a run's view of
// them).
class SessionWorker {
public:
    SessionWorker(Session& session, JobLog& log, JobHost& host, Files& files);
    SessionWorker(const SessionWorker&) = delete;
    SessionWorker& operator=(const SessionWorker&) = delete;

    ConversionJob& Job() { return m_job; }

private:
    WorkingFiles m_folder;
    JobValues m_values;
    ConversionJob m_job;
};

}  // namespace lmk

#include "session.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <thread>

#include "coder_payload.h"
#include "file_list.h"
#include "posix_platform.h"
#include "scheduler.h"

namespace lmk {

Session::Session(Processes& processes, Files& files, WorkingFiles& working, JobValues& values)
    : m_processes(processes), m_files(files), m_working(working), m_values(values) {}

void Session::Open() {
    // The folder first: the command line's carried coder is written into it.
    m_values.WorkFolder = m_working.MakeFolder();
    m_values.CoderPath = m_working.CoderPath();
    if (m_working.CoderCarried()) m_working.ExportCoder(kPayloadName, m_values.CoderPath);
}

void Session::Release() {
    m_working.Release();
    m_values.WorkFolder.clear();
}

std::vector<std::string> Session::FileList(const std::vector<std::string>& named) {
    std::vector<std::string> paths;
    paths.reserve(named.size());
    // Absolute paths: a relative "rtp:cam.avi" must never reach the coder as a stream address.
    for (const auto& name : named) paths.push_back(AbsolutePath(name));
    return lmk::FileList(m_files, paths);
}

void Session::Add(const std::vector<std::string>& named) {
    if (m_scheduler) m_scheduler->Add(FileList(named));
}

JobOutcome Session::Run(const std::vector<std::string>& named, JobHost& host,
                        const RunSettings& settings) {
    const std::vector<std::string> paths = FileList(named);
    Scheduler scheduler(host, settings.stopReadable);
    scheduler.Add(paths);
    m_scheduler = &scheduler;
    host.JobStarted();
    // Every way out, failures included, tells the host; a window closes only once the job's
    // handler has returned.
    bool stopped = false;
    struct Ended {
        Session& session;
        JobHost& host;
        const bool& stopped;
        ~Ended() {
            session.m_scheduler = nullptr;
            host.JobEnded(stopped);
        }
    } ended{*this, host, stopped};

    const int workers =
        std::clamp(settings.workers, 1, std::max(static_cast<int>(paths.size()), 1));
    if (workers == 1) {
        // Here, so that the window's events are handled between the job's waits.
        Work(scheduler, host, settings.live, m_values, settings);
    } else {
        // Each in a thread and a private folder of its own. A thread waits for every coder it
        // starts: a coder is ended with the thread that started it.
        std::vector<std::jthread> jobs;
        for (int i = 0; i < workers; ++i) {
            jobs.emplace_back([this, &scheduler, &host, &settings] {
                try {
                    WorkingFiles folder;
                    JobValues values;
                    values.CoderPath = m_values.CoderPath;
                    values.WorkFolder = folder.MakeFolder();
                    Work(scheduler, host, nullptr, values, settings);
                } catch (...) {
                    scheduler.Fail(std::current_exception());
                }
            });
        }
    }
    try {
        JobOutcome outcome = scheduler.End();
        stopped = outcome.stopped;
        return outcome;
    } catch (...) {
        stopped = host.StopRequested();
        throw;
    }
}

void Session::Work(Scheduler& scheduler, JobHost& host, JobLog* log, JobValues& values,
                   const RunSettings& settings) {
    try {
        ConversionJob job(log, host, scheduler, m_processes, m_files, values);
        while (const auto index = scheduler.Take()) {
            FileOutcome outcome;
            try {
                outcome = job.ConvertFile(scheduler.Path(*index));
            } catch (...) {
                scheduler.Release(*index);
                throw;
            }
            scheduler.Finish(*index, outcome, settings.fileDone);
            // However short the files, the window repaints and takes Exit between them.
            host.Pump();
        }
    } catch (...) {
        scheduler.Fail(std::current_exception());
    }
}

}  // namespace lmk

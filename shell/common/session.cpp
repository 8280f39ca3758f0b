#include "session.h"

#include "coder_payload.h"
#include "file_list.h"

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

ConversionJob Session::Job(JobLog& log, JobHost& host) {
    return ConversionJob(log, host, m_processes, m_files, m_values);
}

std::vector<std::string> Session::FileList(const std::vector<std::string>& named) {
    return lmk::FileList(m_files, named);
}

SessionWorker::SessionWorker(Session& session, JobLog& log, JobHost& host, Files& files)
    : m_job(log, host, session.ProcessesPort(), files, m_values) {
    m_values.CoderPath = session.Values().CoderPath;
    m_values.WorkFolder = m_folder.MakeFolder();
}

}  // namespace lmk

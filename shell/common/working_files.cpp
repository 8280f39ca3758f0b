#include "working_files.h"

#include <cerrno>
#include <utility>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "coder_payload.h"
#include "conversion_job.h"
#include "failures.h"
#include "posix_platform.h"

namespace lmk {
namespace {

// Why `path`, named with a "/", cannot be run as a program.
std::string WhyNotRunnable(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return SystemErrorText(errno);
    if (S_ISDIR(status.st_mode)) return SystemErrorText(EISDIR);
    return SystemErrorText(EACCES);
}

// The coder the user named, found as the shell finds a program; the failure names it before
// any file is tried.
std::string NamedCoderPath(const std::string& named) {
    const std::string path = FindOnPath(named);
    if (!path.empty()) return path;
    if (named.find('/') == std::string::npos)
        throw Exception("The coder \"" + named + "\" was not found in any folder on PATH");
    throw Exception("The coder \"" + named + "\" cannot be run. " + WhyNotRunnable(named));
}

}  // namespace

WorkingFiles::WorkingFiles(std::string carriedCoderPath, std::string namedCoder)
    : m_carriedCoderPath(std::move(carriedCoderPath)), m_namedCoder(std::move(namedCoder)) {}

bool WorkingFiles::CoderCarried() const {
    return kBundledCoder && m_namedCoder.empty();
}

std::string WorkingFiles::CoderPath() const {
    if (!m_namedCoder.empty()) return NamedCoderPath(m_namedCoder);
    if constexpr (!kBundledCoder) return SystemCoderPath();
    if (!m_carriedCoderPath.empty()) return m_carriedCoderPath;
    return JoinPath(m_folder, kCoderFileName);
}

void WorkingFiles::ExportCoder(const std::string& name, const std::string& path) {
    m_coder.Export(name, path);
    // The start would fail file by file with a bare "Permission denied".
    struct statvfs system {};
    const std::string folder = FolderPart(path);
    if (::statvfs(folder.c_str(), &system) == 0 && (system.f_flag & ST_NOEXEC) != 0)
        throw Exception("The coder file \"" + path +
                        "\" cannot be run: its folder is on a file system mounted noexec. Set "
                        "TMPDIR to a folder that may hold programs, or name a coder with --coder");
}

const std::string& WorkingFiles::MakeFolder() {
    if (m_folder.empty()) m_folder = MakePrivateFolder();
    return m_folder;
}

void WorkingFiles::Release() {
    m_coder.Release();
    RemovePrivateFolder(m_folder);
    m_folder.clear();
}

}  // namespace lmk

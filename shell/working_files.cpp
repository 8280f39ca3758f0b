#include "working_files.h"

#include <utility>

#include "coder_payload.h"
#include "posix_platform.h"

namespace lmk {

WorkingFiles::WorkingFiles(std::string carriedCoderPath)
    : m_carriedCoderPath(std::move(carriedCoderPath)) {}

std::string WorkingFiles::CoderPath() const {
    if constexpr (!kBundledCoder) return SystemCoderPath();
    if (!m_carriedCoderPath.empty()) return m_carriedCoderPath;
    return JoinPath(m_folder, kCoderFileName);
}

void WorkingFiles::ExportCoder(const std::string& name, const std::string& path) {
    m_coder.Export(name, path);
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

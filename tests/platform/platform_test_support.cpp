#include "platform_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace lmk::test {

ScratchFolder::ScratchFolder() {
    std::string pattern = "/tmp/lmk-platform-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch folder");
    m_path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    if (chmod(path.c_str(), 0755) != 0) throw std::runtime_error("cannot chmod " + path);
    return path;
}

EnvironmentOverride::EnvironmentOverride(std::string name, const std::optional<std::string>& value)
    : m_name(std::move(name)) {
    if (const char* saved = std::getenv(m_name.c_str())) m_saved = saved;
    if (value)
        setenv(m_name.c_str(), value->c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

EnvironmentOverride::~EnvironmentOverride() {
    if (m_saved)
        setenv(m_name.c_str(), m_saved->c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

std::string CurrentFolder() {
    return std::filesystem::current_path().string();
}

CurrentFolderOverride::CurrentFolderOverride(const std::string& folder) : m_saved(CurrentFolder()) {
    std::filesystem::current_path(folder);
}

CurrentFolderOverride::~CurrentFolderOverride() {
    std::error_code ignored;
    std::filesystem::current_path(m_saved, ignored);
}

}  // namespace lmk::test

#include "test_environment.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

namespace lmk::test {

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

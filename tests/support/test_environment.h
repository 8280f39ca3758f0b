#pragma once

#include <optional>
#include <string>

// Settings of the test process that are put back when the scope ends.
namespace lmk::test {

// Sets (or, with nullopt, removes) an environment variable until the end of the scope.
class EnvironmentOverride {
public:
    EnvironmentOverride(std::string name, const std::optional<std::string>& value);
    ~EnvironmentOverride();
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_saved;
};

// Changes the current folder until the end of the scope.
class CurrentFolderOverride {
public:
    explicit CurrentFolderOverride(const std::string& folder);
    ~CurrentFolderOverride();
    CurrentFolderOverride(const CurrentFolderOverride&) = delete;
    CurrentFolderOverride& operator=(const CurrentFolderOverride&) = delete;

private:
    std::string m_saved;
};

// The current folder as the system reports it.
std::string CurrentFolder();

}  // namespace lmk::test

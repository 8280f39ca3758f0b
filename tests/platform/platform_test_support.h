#pragma once

#include <optional>
#include <string>

// Helpers shared by the platform tests: a scratch folder, files, scripts and settings that
// are put back when the test ends.
namespace lmk::test {

// A fresh folder under /tmp, removed with everything in it at the end of the scope.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// Writes a /bin/sh script with `body` and makes it executable; returns its path.
std::string WriteScript(const std::string& path, const std::string& body);

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

#include "posix_platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "failures.h"

namespace lmk {
namespace {

// strerror_r comes in a GNU and an XSI flavour; the overloads take either result.
[[maybe_unused]] const char* ErrorTextOf(const char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* ErrorTextOf(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}

bool IsWritableFolder(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode) && access(path, W_OK | X_OK) == 0;
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string CurrentFolder() {
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(buffer.data(), buffer.size())) {
            buffer.resize(std::strlen(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string SystemErrorText(int code) {
    char buffer[256] = {};
    const char* text = ErrorTextOf(strerror_r(code, buffer, sizeof buffer), buffer);
    if (!text) return "Unknown error " + std::to_string(code);
    return TrimSystemErrorText(text);
}

std::string MakePrivateFolder() {
    std::string base = "/tmp";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* temporary = std::getenv("TMPDIR");
    if (runtime && *runtime && IsWritableFolder(runtime))
        base = runtime;
    else if (temporary && *temporary)
        base = temporary;

    const std::string pattern = JoinPath(WithoutTrailingSlashes(base), "lmk-video-XXXXXX");
    std::string folder = pattern;  // mkdtemp fills in the X's
    if (!mkdtemp(folder.data())) {
        const int error = errno;
        throw CannotCreateFile(pattern, SystemErrorText(error));
    }
    return folder;
}

void RemovePrivateFolder(const std::string& folder) {
    if (folder.empty()) return;
    if (DIR* listing = opendir(folder.c_str())) {
        // Names first, removal after: the listing is not changed while it is being read.
        std::vector<std::string> names;
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        for (const auto& name : names) unlinkat(dirfd(listing), name.c_str(), 0);
        closedir(listing);
    }
    rmdir(folder.c_str());
}

std::string ProgramPath() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    std::string rest = path;
    while (rest.size() >= 2 && rest[0] == '.' && rest[1] == '/') {
        rest.erase(0, 2);
        while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
    }
    if (rest == ".") rest.clear();
    const std::string current = CurrentFolder();
    if (current.empty()) return path;  // the current folder is gone; nothing better to offer
    return rest.empty() ? current : JoinPath(current, rest);
}

std::string ResolvedPath(const std::string& path) {
    char* const resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::vector<std::string> ProgramCandidates(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return {name};
    const char* variable = std::getenv("PATH");
    const std::string list = variable ? variable : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    std::size_t start = 0;
    for (;;) {
        const auto colon = list.find(':', start);
        const std::string folder = list.substr(start, colon - start);
        // An empty entry stands for the current folder, as the shell reads it.
        candidates.push_back(folder.empty() ? name : JoinPath(folder, name));
        if (colon == std::string::npos) return candidates;
        start = colon + 1;
    }
}

std::string FindOnPath(const std::string& name) {
    for (const std::string& candidate : ProgramCandidates(name))
        if (IsExecutableFile(candidate)) return AbsolutePath(candidate);
    return {};
}

}  // namespace lmk

namespace lmk {

std::string ProgramFileRefusal(int fd, ProgramOwner owner) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return SystemErrorText(errno);
    if (!S_ISREG(info.st_mode)) return "it is not a regular file";
    if (info.st_uid != geteuid() && (owner == ProgramOwner::User || info.st_uid != 0))
        return "it belongs to another user";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "others may write to it";
    return {};
}

bool IsScriptFile(int fd) {
    char start[2] = {};
    return pread(fd, start, 2, 0) == 2 && start[0] == '#' && start[1] == '!';
}

}  // namespace lmk

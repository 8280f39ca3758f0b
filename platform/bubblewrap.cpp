#include "bubblewrap.h"

#include <csignal>
#include <cstdlib>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "posix_platform.h"

namespace lmk {
namespace {

// The libraries, and what they read (ld.so's cache and the Debian alternatives that some of
// their names lead through). No /usr/bin: a binary coder runs no other program. No /usr/share:
// the coder reads nothing there.
constexpr const char* kLibraryFolders[] = {"/usr/lib", "/usr/lib64"};
constexpr const char* k32BitFolders[] = {"/usr/lib32", "/usr/libx32"};
constexpr const char* kSystemFiles[] = {"/etc/ld.so.cache", "/etc/alternatives"};
// Merged /usr makes these links; elsewhere they are folders of their own.
constexpr const char* kRootFolders[] = {"/lib", "/lib64", "/lib32", "/libx32", "/bin", "/sbin"};

void Add(std::vector<std::string>& arguments, std::initializer_list<std::string> more) {
    arguments.insert(arguments.end(), more);
}

// A root folder as the system has it: the link to its place under /usr, or the folder itself.
void AddRootFolder(std::vector<std::string>& arguments, const std::string& folder, bool script) {
    const bool programs = folder == "/bin" || folder == "/sbin";
    if (programs && !script) return;
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) return;
    if (S_ISLNK(info.st_mode)) {
        char target[4096];
        const ssize_t length = readlink(folder.c_str(), target, sizeof target);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof target)
            Add(arguments,
                {"--symlink", std::string(target, static_cast<std::size_t>(length)), folder});
    } else if (S_ISDIR(info.st_mode)) {
        Add(arguments, {"--ro-bind", folder, folder});
    }
}

long NumberAfter(const std::string& text, const std::string& key, bool& found) {
    const auto at = text.find("\"" + key + "\":");
    found = at != std::string::npos;
    return found ? std::strtol(text.c_str() + at + key.size() + 3, nullptr, 10) : 0;
}

}  // namespace

bool BubblewrapRuns() {
    static const bool runs = [] {
        if (access(kBubblewrapPath, X_OK) != 0) return false;
        // Started as every coder is, no new privileges among the rest: a setuid bubblewrap
        // that made its name spaces only by its privileges cannot make them for a coder.
        try {
            PosixProcesses trial(PosixProcesses::InNameSpaces);
            auto process = trial.Start("/usr/bin/true", {}, "/dev/null", {});
            return process->Wait(-1) == WaitResult::Ended && process->Status().Success();
        } catch (const std::exception&) {
            return false;
        }
    }();
    return runs;
}

CoderNeeds NeedsOf(int coder, const std::string& path) {
    CoderNeeds needs;
    unsigned char start[5] = {};
    const ssize_t got = pread(coder, start, sizeof start, 0);
    needs.script = IsScriptFile(coder);
    // By its name or by the file it leads to: a link into /usr/local is a coder built there.
    char target[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(coder);
    const ssize_t length = readlink(self.c_str(), target, sizeof target - 1);
    needs.local =
        path.starts_with("/usr/local/") ||
        (length > 0 &&
         std::string_view(target, static_cast<std::size_t>(length)).starts_with("/usr/local/"));
    needs.bits32 = got == sizeof start && start[0] == 0x7f && start[1] == 'E' && start[2] == 'L' &&
                   start[3] == 'F' && start[4] == 1;  // ELFCLASS32
    return needs;
}

std::vector<std::string> BubblewrapArguments(const std::vector<BoundFile>& files, int filterFd,
                                             int statusFd, int blockFd, const CoderNeeds& needs) {
    // Every name space new but the network's, none more for the coder to make, no capability,
    // no terminal. The seccomp filter refuses every socket, so a network name space would add
    // nothing but its making and tearing down to every run.
    std::vector<std::string> arguments = {"--unshare-user",       "--unshare-ipc",
                                          "--unshare-pid",        "--unshare-uts",
                                          "--unshare-cgroup-try", "--disable-userns",
                                          "--new-session",        "--die-with-parent",
                                          "--cap-drop",           "ALL"};
    if (statusFd >= 0) Add(arguments, {"--json-status-fd", std::to_string(statusFd)});
    if (blockFd >= 0) Add(arguments, {"--block-fd", std::to_string(blockFd)});
    if (needs.script) {
        Add(arguments, {"--ro-bind", "/usr", "/usr"});
    } else {
        for (const char* folder : kLibraryFolders)
            Add(arguments, {"--ro-bind-try", folder, folder});
        if (needs.bits32)
            for (const char* folder : k32BitFolders)
                Add(arguments, {"--ro-bind-try", folder, folder});
    }
    if (needs.local) Add(arguments, {"--ro-bind-try", "/usr/local/lib", "/usr/local/lib"});
    for (const char* folder : kRootFolders) AddRootFolder(arguments, folder, needs.script);
    for (const char* file : kSystemFiles) Add(arguments, {"--ro-bind-try", file, file});
    // Of /dev only where output is thrown away and where random bytes come from, read-only.
    Add(arguments, {"--proc", "/proc", "--dev-bind", "/dev/null", "/dev/null", "--dev-bind",
                    "/dev/urandom", "/dev/urandom", "--remount-ro", "/dev/urandom"});
    for (const auto& file : files)
        Add(arguments,
            {file.writable ? "--bind-fd" : "--ro-bind-fd", std::to_string(file.fd), file.path});
    // The folders made for the binds hold nothing the coder may add to.
    Add(arguments, {"--remount-ro", "/", "--chdir", "/"});
    if (filterFd >= 0) Add(arguments, {"--seccomp", std::to_string(filterFd)});
    return arguments;
}

BubblewrapStatus ReadBubblewrapStatus(const std::string& text) {
    BubblewrapStatus status;
    bool found = false;
    status.sandboxProcess = NumberAfter(text, "child-pid", found);
    status.exitCode = static_cast<int>(NumberAfter(text, "exit-code", status.coderRan));
    return status;
}

ExitStatus CoderStatusFromBubblewrap(int exitCode) {
    ExitStatus status;
    if (exitCode > 128 && exitCode < 128 + NSIG) {
        status.code = exitCode - 128;
    } else {
        status.exited = true;
        status.code = exitCode;
    }
    return status;
}

}  // namespace lmk

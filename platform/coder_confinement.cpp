#include "coder_confinement.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bubblewrap.h"
#include "coder_sandbox.h"
#include "said.h"

namespace lmk {

PosixProcesses::Confinement StrongestConfinement() {
    if (SandboxTurnedOff()) return PosixProcesses::Unconfined;
    const char* asked = std::getenv("LMK_SANDBOX");
    if (asked && std::string_view(asked) == "landlock") return PosixProcesses::ByLandlock;
    return BubblewrapRuns() ? PosixProcesses::InNameSpaces : PosixProcesses::ByLandlock;
}

std::uint64_t CoderMemoryLimit() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers reserve terabytes of shadow memory in every program built with them, the
    // test stand-ins for the coder among them.
    return 0;
#endif
    // An 8K H.264 clip decoded on 17 threads took 1.1 GiB of data, on 3 threads 0.4 GiB.
    constexpr std::uint64_t kMost = 3ULL << 30;
    constexpr std::uint64_t kLeast = 1ULL << 30;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return kMost;
    const std::uint64_t half =
        static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 2;
    return std::clamp(half, kLeast, kMost);
}

unsigned UserTaskCount() {
    // /proc shows a process as its owner's (its effective user's); its threads are in its stat.
    DIR* processes = opendir("/proc");
    if (!processes) return 0;
    const uid_t user = getuid();
    unsigned count = 0;
    while (const dirent* entry = readdir(processes)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        struct stat info {};
        if (fstatat(dirfd(processes), entry->d_name, &info, 0) != 0 || info.st_uid != user)
            continue;
        char text[1024];
        const std::string path = std::string("/proc/") + entry->d_name + "/stat";
        const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0) continue;
        const ssize_t got = read(file, text, sizeof text - 1);
        close(file);
        if (got <= 0) continue;
        text[got] = '\0';
        // The 20th field, counted after the name's closing parenthesis (the 2nd field).
        const char* at = std::strrchr(text, ')');
        for (int field = 2; at && field < 20; ++field) at = std::strchr(at + 1, ' ');
        count += at ? static_cast<unsigned>(std::strtoul(at + 1, nullptr, 10)) : 1;
    }
    closedir(processes);
    return count;
}

std::string SandboxDescription(bool confined) {
    const std::string memory =
        CoderMemoryLimit() == 0
            ? Said("Sandbox", "none in a sanitized build")
            : Filled(Said("Sandbox", "%1 MiB"), {std::to_string(CoderMemoryLimit() >> 20)});
    switch (confined ? StrongestConfinement() : PosixProcesses::Unconfined) {
        case PosixProcesses::Unconfined:
            return Said("Sandbox",
                        "Sandbox: off (LMK_NO_SANDBOX=1): the coder runs with all your rights.\n");
        case PosixProcesses::InNameSpaces:
            return Filled(
                Said("Sandbox",
                     "Sandbox: bubblewrap's name spaces, a seccomp allow-list and a memory limit\n"
                     "(%1): the coder sees only the system's libraries, its input and\n"
                     "its output, no network and no other process, and what it starts ends with "
                     "it.\n"),
                {memory});
        default:
            break;
    }
    const int version = LandlockVersion();
    if (version == 0)
        return Filled(
            Said("Sandbox",
                 "Sandbox: a seccomp allow-list and a memory limit (%1) only: no\n"
                 "sockets, nothing done to other processes; this system has neither bubblewrap's\n"
                 "name spaces nor Landlock, so the coder may read and write what you may.\n"),
            {memory});
    return Filled(
        version >= 4
            ? Said("Sandbox",
                   "Sandbox: Landlock %1, a seccomp allow-list and a memory limit (%2): the\n"
                   "coder reads only the system's folders and its input, writes only its output, "
                   "and\nhas no sockets and no TCP.\n")
            : Said("Sandbox",
                   "Sandbox: Landlock %1, a seccomp allow-list and a memory limit (%2): the\n"
                   "coder reads only the system's folders and its input, writes only its output, "
                   "and\nhas no sockets.\n"),
        {std::to_string(version), memory});
}

}  // namespace lmk

#include "coder_confinement.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

#include "bubblewrap.h"
#include "coder_sandbox.h"

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

std::string SandboxDescription(bool confined) {
    const std::string memory = CoderMemoryLimit() == 0
                                   ? "none in a sanitized build"
                                   : std::to_string(CoderMemoryLimit() >> 20) + " MiB";
    switch (confined ? StrongestConfinement() : PosixProcesses::Unconfined) {
        case PosixProcesses::Unconfined:
            return "Sandbox: off (LMK_NO_SANDBOX=1): the coder runs with all your rights.\n";
        case PosixProcesses::InNameSpaces:
            return "Sandbox: bubblewrap's name spaces, a seccomp allow-list and a memory limit\n"
                   "(" +
                   memory +
                   "): the coder sees only the system's libraries, its input and\n"
                   "its output, no network and no other process, and what it starts ends with "
                   "it.\n";
        default:
            break;
    }
    const int version = LandlockVersion();
    if (version == 0)
        return "Sandbox: a seccomp allow-list and a memory limit (" + memory +
               ") only: no\n"
               "sockets, nothing done to other processes; this system has neither bubblewrap's\n"
               "name spaces nor Landlock, so the coder may read and write what you may.\n";
    return "Sandbox: Landlock " + std::to_string(version) +
           ", a seccomp allow-list and a memory limit (" + memory +
           "): the\n"
           "coder reads only the system's folders and its input, writes only its output, and\n"
           "has no sockets" +
           (version >= 4 ? " and no TCP" : "") + ".\n";
}

}  // namespace lmk

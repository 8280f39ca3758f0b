#pragma once

#include <string>
#include <vector>

#include "job_ports.h"

// Each coder run in name spaces of its own, made by bubblewrap (Debian's `bubblewrap`, the tool
// that confines GNOME's image loaders and Flatpak's applications). The coder sees the system's
// libraries read-only, its input read-only, its one output, a private /proc and a minimal /dev;
// no network, no other process, no user name space of its own; and its PID name space ends with
// the run (or with a file's runs, which a runner starts in one), taking along everything it
// started.
namespace lmk {

constexpr const char* kBubblewrapPath = "/usr/bin/bwrap";

// True when bubblewrap runs here: installed, and the kernel lets this user make the name spaces.
// Tried once, by running it.
bool BubblewrapRuns();

// A file of the user's that the program opened and checked, shown to the coder at `path` from
// that descriptor, so that no name is looked up twice.
struct BoundFile {
    int fd;
    std::string path;
    bool writable;
};

// What the coder needs of the system besides the usual libraries' folders.
struct CoderNeeds {
    bool script = false;  // a "#!" file: its shell and the commands it runs, all of /usr
    bool local = false;   // installed under /usr/local, whose libraries it may use
    bool bits32 = false;  // a 32-bit program, whose libraries have folders of their own
};

// What `coder`, open at `path`, needs.
CoderNeeds NeedsOf(int coder, const std::string& path);

// bwrap's arguments up to the coder's own path: the `files` bound in their order, the seccomp
// program read from `filterFd`, bwrap's status (JSON) written to `statusFd`; the sandbox waits
// to start the coder until `blockFd` ends. Each bound folder costs every start a little: only
// what the coder needs.
std::vector<std::string> BubblewrapArguments(const std::vector<BoundFile>& files, int filterFd,
                                             int statusFd, int blockFd, const CoderNeeds& needs);

// What bwrap wrote on its status descriptor: the host's number of the sandbox's first process
// (0 before it was made), and once the coder ran, the exit code bwrap passed on.
struct BubblewrapStatus {
    long sandboxProcess = 0;
    bool coderRan = false;
    int exitCode = 0;
};
BubblewrapStatus ReadBubblewrapStatus(const std::string& text);

// The coder's end as bwrap passed it on: like a shell, 128 + n for a coder killed by signal n.
ExitStatus CoderStatusFromBubblewrap(int exitCode);

}  // namespace lmk

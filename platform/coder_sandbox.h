#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_descriptor.h"
#include "job_ports.h"

// The coder parses files from anywhere with all of the user's rights, so each run is confined in
// the child before its exec, by the kernel's own means: Landlock (as far as the kernel's version
// of it goes) keeps it to the system's folders, its program, its one input and its one output;
// seccomp allows only the calls the coder makes, on itself.
namespace lmk {

class CoderFilter;

// The kernel's Landlock version, 0 when it has none (or it is turned off); LMK_LANDLOCK_MAX=N
// uses at most version N (0: none).
int LandlockVersion();

// True when the user turned the sandbox off with LMK_NO_SANDBOX=1 (for a coder that needs more,
// as Firefox's MOZ_DISABLE_RDD_SANDBOX does).
bool SandboxTurnedOff();

// Which protections a coder run gets on this kernel, for --help (coder_confinement.cpp).
std::string SandboxDescription(bool confined);

// The seccomp filter as a compiled program in a memory file, for bubblewrap's --seccomp: a
// descriptor for the caller to close; `script`: the coder is a "#!" file; `runner`: the filter
// of the runner that starts a file's coders, each under the coder's filter (which
// SeccompProgramFile(script, false, false) gives unfilled, for the runner to fill in). Raises
// EOSError when it cannot be made.
int SeccompProgramFile(bool script, bool runner = false, bool filled = true);

// The rules for one run, made in the parent (they allocate); the child only applies them.
class PreparedSandbox {
public:
    // `programFiles`: the files the start may execute. Raises EOSError when the kernel has
    // Landlock or seccomp and refuses the rules.
    PreparedSandbox(const std::vector<std::string>& programFiles, const CoderAccess& access);
    PreparedSandbox(const PreparedSandbox&) = delete;
    PreparedSandbox& operator=(const PreparedSandbox&) = delete;

    // In the child, before its exec: async-signal-safe, allocates nothing. Returns 0 or the
    // errno of the step the kernel refused.
    int Apply() const;

private:
    FileDescriptor m_ruleset;     // none without Landlock
    std::uint64_t m_handled = 0;  // the file rights it handles
    const CoderFilter* m_filter;
};

// The failure of a start whose sandbox the kernel refused, with the system's reason.
std::string SandboxFailureText(int error);

}  // namespace lmk

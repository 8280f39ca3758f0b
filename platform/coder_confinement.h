#pragma once

#include <cstdint>

#include "posix_platform.h"

// Which of the kernel's means confine a coder run here.
namespace lmk {

// Off with LMK_NO_SANDBOX=1; in name spaces of its own where bubblewrap runs (unless
// LMK_SANDBOX=landlock asks for the other); else Landlock and seccomp.
PosixProcesses::Confinement StrongestConfinement();

// The most memory (the data limit) a confined coder may take: enough for an 8K clip decoded on
// many threads, and at most half of the machine's, so a file that asks for more fails and the
// desktop keeps its memory. 0: none.
std::uint64_t CoderMemoryLimit();

// The most tasks (processes and threads) a confined coder may have: well above what FFmpeg
// starts on a machine of 128 cores, far below what a machine has.
constexpr unsigned kCoderTasks = 1024;

// The tasks this user runs now, as the limit of tasks counts them where the coder has no user
// name space of its own.
unsigned UserTaskCount();

}  // namespace lmk

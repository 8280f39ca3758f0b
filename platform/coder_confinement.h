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

}  // namespace lmk

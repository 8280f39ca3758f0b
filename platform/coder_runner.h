#pragma once

#include <cstdint>

// What the program and the coder runner inside a sandbox say to each other: one datagram of a
// SOCK_SEQPACKET pair per run each way. The runner is started with the numbers of its socket and
// of the coder's seccomp program (unfilled, see CoderFilter) as its two arguments.
namespace lmk {

constexpr char kCoderRunnerName[] = "lmk-coder-runner";
constexpr std::uint32_t kRunMagic = 0x4C4D4B52;
// A run's arguments, the coder's path first, each ended by a NUL.
constexpr std::size_t kMostRunBytes = 128 * 1024;

// Followed by the arguments; with it come one or two descriptors: the run's printout, and its
// progress channel for a conversion.
struct RunRequest {
    std::uint32_t magic = kRunMagic;
    std::uint32_t argumentCount = 0;
};

struct RunEnded {
    std::int32_t startError = 0;  // errno of a run that did not start; then no wait status
    std::int32_t waitStatus = 0;
    std::uint64_t processorMicroseconds = 0;
    std::uint64_t peakMemoryKiB = 0;
};

}  // namespace lmk

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <linux/filter.h>
#include <sys/types.h>

// The coder's system calls as an allow-list: every call it is not given is refused. Made once in
// the parent (libseccomp allocates); a start only copies it with the coder's process id filled
// in, since the calls that name a process (signals, limits, scheduling) are allowed on the coder
// itself alone, and its id is known only after the fork.
namespace lmk {

// Stands for the coder's process id in the program until a start fills it in: above any process
// id (at most 2^22), so no other constant of the program has it.
inline constexpr std::uint32_t kCoderSelf = 0x4C4D4B53;

class CoderFilter {
public:
    // Enough for the program made; a start copies it onto its stack.
    static constexpr std::size_t kMaxInstructions = 1024;

    // `script`: the coder is a "#!" file, whose shell starts the commands it runs.
    static const CoderFilter& Get(bool script);
    // What the runner that starts a file's coders one after another may call: a script's
    // calls (its coders run under their own filter as well), its socket to the program, and
    // the filter put on each coder.
    static const CoderFilter& Runner();

    // Non-zero when the program could not be made (an errno).
    int Error() const { return m_error; }

    // The program for a coder whose process id is `self` (as its own PID name space numbers it),
    // written into `room`. Async-signal-safe, allocates nothing.
    sock_fprog For(pid_t self, sock_filter (&room)[kMaxInstructions]) const;
    // The same, as bytes for bubblewrap's --seccomp. bubblewrap's own init is process 1 of the
    // new PID name space and runs under the filter too; the coder it starts is process 2.
    std::vector<sock_filter> For(pid_t self) const;
    // Unfilled, for the runner to fill in for each coder it starts.
    const std::vector<sock_filter>& Program() const { return m_program; }

private:
    enum class Kind { Binary, Script, Runner };
    explicit CoderFilter(Kind kind);

    std::vector<sock_filter> m_program;
    std::vector<std::size_t> m_selfSlots;  // the instructions that compare with the coder's id
    int m_error = 0;
};

}  // namespace lmk

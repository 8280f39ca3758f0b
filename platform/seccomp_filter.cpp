#include "seccomp_filter.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "file_descriptor.h"

namespace lmk {
namespace {

// What ffmpeg calls over every kind of file the tests convert, each traced from its probe to its
// last conversion with the program's own arguments; and what the start itself calls after the
// filter is on (execveat, close_range, write and exit_group when the exec fails).
constexpr int kCoderCalls[] = {
    // Files: which ones is Landlock's (or bubblewrap's) to say.
    SCMP_SYS(read),
    SCMP_SYS(write),
    SCMP_SYS(pread64),
    SCMP_SYS(lseek),
    SCMP_SYS(close),
    SCMP_SYS(close_range),
    SCMP_SYS(newfstatat),
    SCMP_SYS(statfs),
    SCMP_SYS(access),
    SCMP_SYS(getdents64),
    // Memory; mremap is realloc's for large blocks.
    SCMP_SYS(brk),
    SCMP_SYS(munmap),
    SCMP_SYS(mremap),
    SCMP_SYS(mprotect),
    SCMP_SYS(madvise),
    SCMP_SYS(mlock),
    SCMP_SYS(get_mempolicy),
    SCMP_SYS(set_mempolicy),
    // Threads and their waits; av_usleep's sleeps on an input that has nothing yet.
    SCMP_SYS(futex),
    SCMP_SYS(set_robust_list),
    SCMP_SYS(rseq),
    SCMP_SYS(set_tid_address),
    SCMP_SYS(arch_prctl),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
    SCMP_SYS(pselect6),
    SCMP_SYS(nanosleep),
    SCMP_SYS(clock_nanosleep),
    // Its signal handlers, which return when the program stops it.
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn),
    // About itself; the clocks are the vDSO's, by a call where it has no fast clock.
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
    SCMP_SYS(getuid),
    SCMP_SYS(getrusage),
    SCMP_SYS(getrandom),
    SCMP_SYS(clock_gettime),
    SCMP_SYS(gettimeofday),
    SCMP_SYS(execve),
    SCMP_SYS(execveat),
    // bubblewrap's init, the coder's parent in its PID name space, runs under the filter too:
    // it waits for the coder (and sets its parent-death signal, below).
    SCMP_SYS(wait4),
};

// What a script's shell calls besides, to start its commands and wait for them (traced over the
// tests' stand-in coders); bash's start asks for its process group (and fails without it) and its
// folder.
constexpr int kScriptCalls[] = {
    SCMP_SYS(vfork),     SCMP_SYS(pipe),       SCMP_SYS(pipe2),         SCMP_SYS(dup2),
    SCMP_SYS(faccessat), SCMP_SYS(faccessat2), SCMP_SYS(geteuid),       SCMP_SYS(getgid),
    SCMP_SYS(getegid),   SCMP_SYS(getppid),    SCMP_SYS(rt_sigsuspend), SCMP_SYS(getpgrp),
    SCMP_SYS(getcwd),
};

// The C library tries these first and falls back to older calls on ENOSYS (clone3 → clone,
// where the flags are seen).
constexpr int kFallenBackFrom[] = {SCMP_SYS(clone3)};

// Whether a stream is a terminal; never TIOCSTI, a terminal's input faked.
constexpr unsigned long kIoctls[] = {TCGETS};

// No F_SETOWN (signals to another process), F_NOTIFY (a folder watched) or leases.
constexpr int kFcntls[] = {F_GETFD, F_SETFD, F_GETFL, F_DUPFD, F_DUPFD_CLOEXEC};

constexpr int kPrctls[] = {PR_CAPBSET_READ, PR_SET_PDEATHSIG};

// The runner's own: the program's requests and its answers, each coder's descriptors and
// filter, and its memory kept from them.
constexpr int kRunnerCalls[] = {SCMP_SYS(recvmsg), SCMP_SYS(sendto), SCMP_SYS(dup3),
                                SCMP_SYS(seccomp)};
constexpr int kRunnerPrctls[] = {PR_SET_DUMPABLE, PR_SET_NO_NEW_PRIVS};

// Flags by which a clone would leave the coder's name spaces, its parent or its tracing.
constexpr std::uint64_t kRefusedCloneFlags =
    CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID |
    CLONE_NEWNET | CLONE_PARENT | CLONE_PIDFD | CLONE_PTRACE | CLONE_UNTRACED;

struct Rule {
    int call;
    std::vector<scmp_arg_cmp> conditions;  // all of them
};

std::vector<Rule> CoderRules(bool script, bool runner) {
    std::vector<Rule> rules;
    for (const int call : kCoderCalls) rules.push_back({call, {}});
    for (const unsigned long command : kIoctls)
        rules.push_back({SCMP_SYS(ioctl), {SCMP_A1(SCMP_CMP_EQ, command)}});
    for (const int command : kFcntls)
        rules.push_back(
            {SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(command))}});
    for (const int option : kPrctls)
        rules.push_back(
            {SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(option))}});
    // Never O_TRUNC: Landlock before version 3 lets a file that may be read be emptied by it,
    // and the program empties the coder's output itself.
    rules.push_back({SCMP_SYS(openat), {SCMP_A2(SCMP_CMP_MASKED_EQ, O_TRUNC, 0)}});
    // Memory shared with no file escapes the data limit: only private or file-backed mappings.
    rules.push_back({SCMP_SYS(mmap), {SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_TYPE, MAP_PRIVATE)}});
    rules.push_back({SCMP_SYS(mmap), {SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, 0)}});
    // A call that names a process may name the caller alone. The runner's filter stays on
    // the coders it starts, each under its own as well, which names it: the runner's leaves
    // the process to the PID name space, which holds only the runner and its coders.
    const auto onSelf = [runner](std::vector<scmp_arg_cmp> conditions) {
        if (!runner) conditions.insert(conditions.begin(), SCMP_A0(SCMP_CMP_EQ, kCoderSelf));
        return conditions;
    };
    // Its own limits are read, never set: root could raise them again.
    rules.push_back({SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)}});
    rules.push_back({SCMP_SYS(prlimit64), onSelf({SCMP_A2(SCMP_CMP_EQ, 0)})});
    // The processors it runs on: its own only (0 is the caller).
    rules.push_back({SCMP_SYS(sched_getaffinity), {SCMP_A0(SCMP_CMP_EQ, 0)}});
    rules.push_back({SCMP_SYS(sched_getaffinity), onSelf({})});
    // The C library's raise and abort signal the calling thread by its process and thread id.
    rules.push_back({SCMP_SYS(tgkill), onSelf({})});
    // Threads, which share all it has.
    rules.push_back(
        {SCMP_SYS(clone),
         {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD | kRefusedCloneFlags, CLONE_THREAD)}});
    if (script) {
        for (const int call : kScriptCalls) rules.push_back({call, {}});
        // Processes of its own, in its name spaces.
        rules.push_back(
            {SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD | kRefusedCloneFlags, 0)}});
        rules.push_back({SCMP_SYS(kill), onSelf({})});
    }
    if (runner) {
        for (const int call : kRunnerCalls) rules.push_back({call, {}});
        for (const int option : kRunnerPrctls)
            rules.push_back(
                {SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(option))}});
    }
    return rules;
}

}  // namespace

const CoderFilter& CoderFilter::Get(bool script) {
    static const CoderFilter coder(Kind::Binary);
    static const CoderFilter scriptCoder(Kind::Script);
    return script ? scriptCoder : coder;
}

const CoderFilter& CoderFilter::Runner() {
    static const CoderFilter runner(Kind::Runner);
    return runner;
}

CoderFilter::CoderFilter(Kind kind) {
    scmp_filter_ctx context = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!context) {
        m_error = ENOMEM;
        return;
    }
    // Set by the child itself, for Landlock as well.
    seccomp_attr_set(context, SCMP_FLTATR_CTL_NNP, 0);
    int result = 0;
    for (const int call : kFallenBackFrom)
        if (result == 0) result = seccomp_rule_add(context, SCMP_ACT_ERRNO(ENOSYS), call, 0);
    for (const Rule& rule : CoderRules(kind != Kind::Binary, kind == Kind::Runner))
        if (result == 0)
            result = seccomp_rule_add_array(context, SCMP_ACT_ALLOW, rule.call,
                                            static_cast<unsigned>(rule.conditions.size()),
                                            rule.conditions.data());
    // libseccomp of Debian 12 exports only to a descriptor.
    const FileDescriptor memory(memfd_create("lmk-seccomp", MFD_CLOEXEC));
    if (result == 0 && !memory.Valid()) result = -errno;
    if (result == 0) result = seccomp_export_bpf(context, memory.Get());
    seccomp_release(context);
    const off_t size = result == 0 ? lseek(memory.Get(), 0, SEEK_END) : -1;
    if (result != 0 || size <= 0 || size % sizeof(sock_filter) != 0 ||
        static_cast<std::size_t>(size) > kMaxInstructions * sizeof(sock_filter)) {
        m_error = result < 0 ? -result : EINVAL;
        return;
    }
    m_program.resize(static_cast<std::size_t>(size) / sizeof(sock_filter));
    if (pread(memory.Get(), m_program.data(), static_cast<std::size_t>(size), 0) != size) {
        m_program.clear();
        m_error = EIO;
        return;
    }
    for (std::size_t i = 0; i < m_program.size(); ++i)
        if (m_program[i].code == (BPF_JMP | BPF_JEQ | BPF_K) && m_program[i].k == kCoderSelf)
            m_selfSlots.push_back(i);
    if (m_selfSlots.empty() && kind != Kind::Runner) m_error = EINVAL;
}

// In the child, on its own stack in our memory.
__attribute__((no_sanitize("address"))) sock_fprog CoderFilter::For(
    pid_t self, sock_filter (&room)[kMaxInstructions]) const {
    std::memcpy(room, m_program.data(), m_program.size() * sizeof(sock_filter));
    for (const std::size_t slot : m_selfSlots) room[slot].k = static_cast<std::uint32_t>(self);
    return {static_cast<unsigned short>(m_program.size()), room};
}

std::vector<sock_filter> CoderFilter::For(pid_t self) const {
    std::vector<sock_filter> program = m_program;
    for (const std::size_t slot : m_selfSlots) program[slot].k = static_cast<std::uint32_t>(self);
    return program;
}

}  // namespace lmk

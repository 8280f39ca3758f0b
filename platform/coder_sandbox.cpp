#include "coder_sandbox.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "failures.h"
#include "posix_platform.h"

namespace lmk {
namespace {

// Rights of later Landlock versions than the system's headers may know.
constexpr std::uint64_t kReadFile = LANDLOCK_ACCESS_FS_READ_FILE;
constexpr std::uint64_t kReadDir = LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t kExecute = LANDLOCK_ACCESS_FS_EXECUTE;
constexpr std::uint64_t kWriteFile = LANDLOCK_ACCESS_FS_WRITE_FILE;
constexpr std::uint64_t kRefer = 1ULL << 13;     // version 2
constexpr std::uint64_t kTruncate = 1ULL << 14;  // version 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;  // version 5
constexpr std::uint64_t kBindTcp = 1ULL << 0;    // version 4, network
constexpr std::uint64_t kConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;  // version 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;

// The ruleset's attributes as the newest kernels read them; older ones are given a prefix.
struct RulesetAttributes {
    std::uint64_t handledFs;
    std::uint64_t handledNet;
    std::uint64_t scoped;
};

struct PathRule {
    std::uint64_t allowed;
    std::int32_t parentFd;
} __attribute__((packed));

long CreateRuleset(const RulesetAttributes* attributes, std::size_t size, std::uint32_t flags) {
    return syscall(__NR_landlock_create_ruleset, attributes, size, flags);
}

// Every file-system right the kernel's version knows: each is denied unless a rule gives it.
std::uint64_t HandledFileRights(int version) {
    std::uint64_t rights = (1ULL << 13) - 1;
    if (version >= 2) rights |= kRefer;
    if (version >= 3) rights |= kTruncate;
    if (version >= 5) rights |= kIoctlDev;
    return rights;
}

constexpr std::uint64_t kFileOnlyRights = kReadFile | kWriteFile | kExecute | kTruncate | kIoctlDev;

// The system's folders: libraries, locales and settings are read, and only the loader and the
// libraries' folders hold what may be executed besides the coder itself.
struct SystemPath {
    const char* path;
    std::uint64_t rights;
};
constexpr SystemPath kSystemPaths[] = {
    {"/usr", kReadFile | kReadDir},
    {"/usr/lib", kReadFile | kReadDir | kExecute},
    {"/usr/lib64", kReadFile | kReadDir | kExecute},
    {"/usr/lib32", kReadFile | kReadDir | kExecute},
    {"/usr/libx32", kReadFile | kReadDir | kExecute},
    {"/lib", kReadFile | kReadDir | kExecute},
    {"/lib64", kReadFile | kReadDir | kExecute},
    {"/lib32", kReadFile | kReadDir | kExecute},
    {"/libx32", kReadFile | kReadDir | kExecute},
    {"/bin", kReadFile | kReadDir},
    {"/etc", kReadFile | kReadDir},
    {"/proc", kReadFile | kReadDir},
    {"/sys", kReadFile | kReadDir},
    {"/dev/null", kReadFile | kWriteFile | kTruncate},
    {"/dev/urandom", kReadFile},
    {"/dev/random", kReadFile},
};
// A coder that is a script runs its interpreter and the tools it calls.
constexpr SystemPath kScriptPaths[] = {
    {"/usr", kReadFile | kReadDir | kExecute},
    {"/bin", kReadFile | kReadDir | kExecute},
};

bool IsScript(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char start[2] = {};
    return file.read(start, 2) && start[0] == '#' && start[1] == '!';
}

EOSError SandboxFailure(int error) {
    return OSErrorFromCode(error, SandboxFailureText(error));
}

enum class Target { Any, FileOnly };

// Adds a rule for `path` with those of `rights` the ruleset handles; a path that does not exist
// needs none, and a folder standing where the user's file was named gets none.
void AddPathRule(int ruleset, const std::string& path, std::uint64_t rights, std::uint64_t handled,
                 Target target = Target::Any) {
    const FileDescriptor opened(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!opened.Valid()) return;
    struct stat info {};
    if (fstat(opened.Get(), &info) != 0) return;
    if (S_ISDIR(info.st_mode) && target == Target::FileOnly) return;
    rights &= handled;
    if (!S_ISDIR(info.st_mode)) rights &= kFileOnlyRights;
    if (rights == 0) return;
    const PathRule rule{rights, opened.Get()};
    if (syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
        throw SandboxFailure(errno);
}

// No socket of any family: the session bus and the X server are local sockets that reach
// outside the sandbox too. No tracing, no new name spaces, no kernel features the coder never
// needs; io_uring would bypass the filter.
struct SeccompFilter {
    std::vector<sock_filter> program;
    sock_fprog header{};
    int error = 0;
};

const SeccompFilter& Filter() {
    static const SeccompFilter filter = [] {
        SeccompFilter made;
        scmp_filter_ctx context = seccomp_init(SCMP_ACT_ALLOW);
        if (!context) {
            made.error = ENOMEM;
            return made;
        }
        // Set by the child itself, for Landlock as well.
        seccomp_attr_set(context, SCMP_FLTATR_CTL_NNP, 0);
        const int denied[] = {
            SCMP_SYS(socket),
            SCMP_SYS(ptrace),
            SCMP_SYS(process_vm_readv),
            SCMP_SYS(process_vm_writev),
            SCMP_SYS(bpf),
            SCMP_SYS(perf_event_open),
            SCMP_SYS(userfaultfd),
            SCMP_SYS(keyctl),
            SCMP_SYS(add_key),
            SCMP_SYS(request_key),
            SCMP_SYS(mount),
            SCMP_SYS(umount2),
            SCMP_SYS(pivot_root),
            SCMP_SYS(chroot),
            SCMP_SYS(unshare),
            SCMP_SYS(setns),
            SCMP_SYS(io_uring_setup),
            SCMP_SYS(io_uring_enter),
            SCMP_SYS(io_uring_register),
            SCMP_SYS(kexec_load),
            SCMP_SYS(kexec_file_load),
            SCMP_SYS(init_module),
            SCMP_SYS(finit_module),
            SCMP_SYS(delete_module),
            SCMP_SYS(reboot),
            SCMP_SYS(swapon),
            SCMP_SYS(swapoff),
            SCMP_SYS(acct),
            SCMP_SYS(fanotify_init),
            SCMP_SYS(open_by_handle_at),
        };
        int result = 0;
        for (const int call : denied)
            if (result == 0) result = seccomp_rule_add(context, SCMP_ACT_ERRNO(EPERM), call, 0);
        // A terminal's input is never the coder's to fake.
        if (result == 0)
            result = seccomp_rule_add(context, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                                      SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, TIOCSTI));
        // libseccomp of Debian 12 exports only to a descriptor.
        const FileDescriptor memory(memfd_create("lmk-seccomp", MFD_CLOEXEC));
        if (result == 0 && !memory.Valid()) result = -errno;
        if (result == 0) result = seccomp_export_bpf(context, memory.Get());
        seccomp_release(context);
        const off_t size = result == 0 ? lseek(memory.Get(), 0, SEEK_END) : -1;
        if (result != 0 || size <= 0 || size % sizeof(sock_filter) != 0) {
            made.error = result < 0 ? -result : EINVAL;
            return made;
        }
        made.program.resize(static_cast<std::size_t>(size) / sizeof(sock_filter));
        if (pread(memory.Get(), made.program.data(), static_cast<std::size_t>(size), 0) != size) {
            made.error = EIO;
            return made;
        }
        made.header.len = static_cast<unsigned short>(made.program.size());
        made.header.filter = made.program.data();
        return made;
    }();
    return filter;
}

}  // namespace

int SeccompProgramFile() {
    const SeccompFilter& filter = Filter();
    if (filter.error != 0) throw SandboxFailure(filter.error);
    FileDescriptor file(memfd_create("lmk-seccomp", MFD_CLOEXEC));
    const std::size_t size = filter.program.size() * sizeof(sock_filter);
    if (!file.Valid() ||
        write(file.Get(), filter.program.data(), size) != static_cast<ssize_t>(size) ||
        lseek(file.Get(), 0, SEEK_SET) != 0)
        throw SandboxFailure(errno);
    return file.Release();
}

int LandlockVersion() {
    static const int version = [] {
        const long result = CreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
        return result < 0 ? 0 : static_cast<int>(result);
    }();
    return version;
}

bool SandboxTurnedOff() {
    const char* value = std::getenv("LMK_NO_SANDBOX");
    return value && std::string_view(value) == "1";
}

std::string SandboxFailureText(int error) {
    return "The coder's sandbox could not be applied: " + SystemErrorText(error);
}

PreparedSandbox::PreparedSandbox(const std::vector<std::string>& programFiles,
                                 const CoderAccess& access)
    : m_filter(nullptr) {
    const SeccompFilter& filter = Filter();
    if (filter.error != 0) throw SandboxFailure(filter.error);
    m_filter = &filter.header;

    const int version = LandlockVersion();
    if (version == 0) return;
    const RulesetAttributes attributes{HandledFileRights(version),
                                       version >= 4 ? kBindTcp | kConnectTcp : 0,
                                       version >= 6 ? kScopeAbstractUnix | kScopeSignal : 0};
    const std::size_t size = version >= 6   ? sizeof attributes
                             : version >= 4 ? 2 * sizeof(std::uint64_t)
                                            : sizeof(std::uint64_t);
    const long ruleset = CreateRuleset(&attributes, size, 0);
    if (ruleset < 0) throw SandboxFailure(errno);
    // Above standard input, output and error, which the child sets up before applying it.
    m_ruleset.Reset(fcntl(static_cast<int>(ruleset), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    close(static_cast<int>(ruleset));
    if (!m_ruleset.Valid()) throw SandboxFailure(errno);

    const std::uint64_t handled = attributes.handledFs;
    for (const auto& system : kSystemPaths)
        AddPathRule(m_ruleset.Get(), system.path, system.rights, handled);
    bool script = false;
    for (const auto& program : programFiles) {
        AddPathRule(m_ruleset.Get(), program, kReadFile | kExecute, handled);
        script = script || IsScript(program);
    }
    if (script)
        for (const auto& system : kScriptPaths)
            AddPathRule(m_ruleset.Get(), system.path, system.rights, handled);
    if (!access.input.empty()) AddPathRule(m_ruleset.Get(), access.input, kReadFile, handled);
    if (!access.output.empty())
        AddPathRule(m_ruleset.Get(), access.output, kReadFile | kWriteFile | kTruncate, handled,
                    Target::FileOnly);
}

int PreparedSandbox::Apply() const {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
    if (m_ruleset.Valid() && syscall(__NR_landlock_restrict_self, m_ruleset.Get(), 0) != 0)
        return errno;
    if (syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, 0, m_filter) != 0) return errno;
    return 0;
}

}  // namespace lmk

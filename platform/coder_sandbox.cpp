#include "coder_sandbox.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "failures.h"
#include "posix_platform.h"
#include "seccomp_filter.h"

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
    // Of /proc only what describes the machine; the coder's own entries are added in the
    // child, so no other process's command line or files are read.
    {"/proc/sys", kReadFile | kReadDir},
    {"/proc/filesystems", kReadFile},
    {"/proc/cpuinfo", kReadFile},
    {"/proc/meminfo", kReadFile},
    {"/proc/stat", kReadFile},
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
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return file.Valid() && IsScriptFile(file.Get());
}

EOSError SandboxFailure(int error) {
    return OSErrorFromCode(error, SandboxFailureText(error));
}

// The user's files are looked up in their folder as held.
enum class Target { System, UsersFile, UsersOutput };

// Adds a rule for `path` with those of `rights` the ruleset handles; a path that does not exist
// needs none, and a folder standing where the user's output was named gets none.
void AddPathRule(int ruleset, const std::string& path, std::uint64_t rights, std::uint64_t handled,
                 Target target = Target::System) {
    bool othersLink = false;
    const FileDescriptor opened(
        target == Target::System
            ? open(path.c_str(), O_PATH | O_CLOEXEC)
            : OpenInItsFolder(path, target == Target::UsersOutput ? O_PATH | O_NOFOLLOW : O_PATH,
                              othersLink));
    if (!opened.Valid()) return;
    struct stat info {};
    if (fstat(opened.Get(), &info) != 0) return;
    if (target == Target::UsersOutput && !S_ISREG(info.st_mode)) return;
    rights &= handled;
    if (!S_ISDIR(info.st_mode)) rights &= kFileOnlyRights;
    if (rights == 0) return;
    const PathRule rule{rights, opened.Get()};
    if (syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
        throw SandboxFailure(errno);
}

}  // namespace

int SeccompProgramFile(bool script, bool runner, bool filled) {
    const CoderFilter& filter = runner ? CoderFilter::Runner() : CoderFilter::Get(script);
    if (filter.Error() != 0) throw SandboxFailure(filter.Error());
    // The coder (or the runner) is the second process of its PID name space, after
    // bubblewrap's init.
    const std::vector<sock_filter> program = filled ? filter.For(2) : filter.Program();
    FileDescriptor file(memfd_create("lmk-seccomp", MFD_CLOEXEC));
    const std::size_t size = program.size() * sizeof(sock_filter);
    if (!file.Valid() || write(file.Get(), program.data(), size) != static_cast<ssize_t>(size) ||
        lseek(file.Get(), 0, SEEK_SET) != 0)
        throw SandboxFailure(errno);
    return file.Release();
}

int LandlockVersion() {
    static const int kernel = [] {
        const long result = CreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
        return result < 0 ? 0 : static_cast<int>(result);
    }();
    // Lower for a test of an older kernel's rights, as Debian 12's own 6.1 has version 2.
    const char* cap = std::getenv("LMK_LANDLOCK_MAX");
    if (!cap || *cap < '0' || *cap > '9') return kernel;
    return std::min(kernel, std::atoi(cap));
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
    bool script = false;
    for (const auto& program : programFiles) script = script || IsScript(program);
    const CoderFilter& filter = CoderFilter::Get(script);
    if (filter.Error() != 0) throw SandboxFailure(filter.Error());
    m_filter = &filter;

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
    // Above the descriptors the child sets up before applying it: standard input, output and
    // error, and the progress descriptor.
    m_ruleset.Reset(fcntl(static_cast<int>(ruleset), F_DUPFD_CLOEXEC, kProgressDescriptor + 1));
    close(static_cast<int>(ruleset));
    if (!m_ruleset.Valid()) throw SandboxFailure(errno);

    const std::uint64_t handled = attributes.handledFs;
    m_handled = handled;
    for (const auto& system : kSystemPaths)
        AddPathRule(m_ruleset.Get(), system.path, system.rights, handled);
    for (const auto& program : programFiles)
        AddPathRule(m_ruleset.Get(), program, kReadFile | kExecute, handled);
    if (script)
        for (const auto& system : kScriptPaths)
            AddPathRule(m_ruleset.Get(), system.path, system.rights, handled);
    if (!access.input.empty())
        AddPathRule(m_ruleset.Get(), access.input, kReadFile, handled, Target::UsersFile);
    if (!access.output.empty())
        AddPathRule(m_ruleset.Get(), access.output, kReadFile | kWriteFile | kTruncate, handled,
                    Target::UsersOutput);
}

// Runs on the child's own stack in our memory, as the rest of the child's code does.
__attribute__((no_sanitize("address"))) int PreparedSandbox::Apply() const {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
    if (m_ruleset.Valid()) {
        // The ruleset is this start's alone, so the child's own /proc entry may join it.
        const int own = open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (own >= 0) {
            const PathRule rule{(kReadFile | kReadDir) & m_handled, own};
            const int error = syscall(__NR_landlock_add_rule, m_ruleset.Get(),
                                      LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0
                                  ? 0
                                  : errno;
            close(own);
            if (error != 0) return error;
        }
        if (syscall(__NR_landlock_restrict_self, m_ruleset.Get(), 0) != 0) return errno;
    }
    // Its own process id goes into the filter: only now is it known.
    sock_filter room[CoderFilter::kMaxInstructions];
    const sock_fprog program = m_filter->For(getpid(), room);
    if (syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) return errno;
    return 0;
}

}  // namespace lmk

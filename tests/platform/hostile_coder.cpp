// A coder gone hostile, for the sandbox tests: makes the one attempt named by its first argument
// and prints "allowed" or the errno's name that refused it.
// Usage: hostile_coder ATTEMPT INPUT OUTPUT ELSEWHERE PORT OUTSIDER
// OUTSIDER: the number of a process outside the run (the test's own).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr char kProgress[] = "out_time_us=0\nprogress=end\n";

int Outcome(bool succeeded) {
    if (succeeded) {
        std::puts("allowed");
    } else {
        const int error = errno;
        std::puts(error == EACCES   ? "EACCES"
                  : error == EPERM  ? "EPERM"
                  : error == ENOSYS ? "ENOSYS"
                                    : strerrorname_np(error));
    }
    return 0;
}

bool Opens(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1);
}

// To 127.0.0.1 on `port`, or listening there.
bool Tcp(bool listening, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* place = reinterpret_cast<const sockaddr*>(&address);
    const bool done = listening ? bind(fd, place, sizeof address) == 0 && listen(fd, 1) == 0
                                : connect(fd, place, sizeof address) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return done;
}

// A child in a new user and network name space, by clone() rather than unshare().
bool NewNameSpaces() {
    const long child = syscall(SYS_clone, CLONE_NEWUSER | CLONE_NEWNET | SIGCHLD, 0, 0, 0, 0);
    if (child == 0) _exit(0);
    if (child > 0) waitpid(static_cast<pid_t>(child), nullptr, 0);
    return child > 0;
}

// The parent's standard output, taken through a descriptor of the process.
bool TakesParentDescriptor() {
    const int process = static_cast<int>(syscall(SYS_pidfd_open, getppid(), 0));
    return process >= 0 && syscall(SYS_pidfd_getfd, process, STDOUT_FILENO, 0) >= 0;
}

// Each changes the other process as little as it can: its own values again, or signal 0.
bool ReprioritizesParent() {
    errno = 0;
    const int priority = getpriority(PRIO_PROCESS, static_cast<id_t>(getppid()));
    return errno == 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(getppid()), priority) == 0;
}

// Its file-size limit would end the parent with SIGXFSZ at its next write.
bool LimitsParent() {
    rlimit limit{};
    return prlimit(getppid(), RLIMIT_FSIZE, nullptr, &limit) == 0 &&
           prlimit(getppid(), RLIMIT_FSIZE, &limit, nullptr) == 0;
}

bool SignalsParent() {
    return kill(getppid(), 0) == 0 || syscall(SYS_tgkill, getppid(), getppid(), 0) == 0;
}

// A child in a session of its own, which the process group's end does not reach: it tells
// whether its setsid was refused, then stays, holding the output, as long as it lives.
int LeavesASessionBehind(const std::string& output) {
    int ready[2];
    if (pipe(ready) != 0) return Outcome(false);
    if (fork() == 0) {
        const bool alone = setsid() >= 0;
        Outcome(alone);
        std::fflush(stdout);
        const int held = open(output.c_str(), O_WRONLY | O_APPEND);
        close(ready[1]);
        for (;;) {
            if (held >= 0 && write(held, "late\n", 5) < 0) _exit(1);
            pause();
        }
    }
    close(ready[1]);
    char none;
    while (read(ready[0], &none, 1) < 0 && errno == EINTR) {
    }
    return 0;
}

bool ReadsCommandLineOf(const std::string& process) {
    return Opens("/proc/" + process + "/cmdline", O_RDONLY);
}

// Each by its old call and by the *at one the C library may use instead.
bool Unlinks(const std::string& path) {
    return unlink(path.c_str()) == 0 || unlinkat(AT_FDCWD, path.c_str(), 0) == 0;
}

bool Renames(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0 ||
           renameat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str()) == 0 ||
           renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0;
}

bool Links(const std::string& from, const std::string& to) {
    return link(from.c_str(), to.c_str()) == 0 ||
           linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0;
}

// Threads that wait until the process ends, as many as it is given.
bool StartsThreads(int wanted) {
    pthread_attr_t small;
    pthread_attr_init(&small);
    pthread_attr_setstacksize(&small, PTHREAD_STACK_MIN);
    for (int started = 0; started < wanted; ++started) {
        pthread_t thread;
        const int error = pthread_create(
            &thread, &small,
            [](void*) -> void* {
                for (;;) pause();
            },
            nullptr);
        if (error != 0) {
            errno = error;
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) return 64;
    const std::string attempt = argv[1];
    const std::string input = argv[2];
    const std::string output = argv[3];
    const std::string elsewhere = argv[4];
    const char* home = std::getenv("HOME");

    if (attempt == "read-input") return Outcome(Opens(input, O_RDONLY));
    if (attempt == "print-input") {
        // What the coder reads under its input's name: that file's or another's words.
        char text[64] = {};
        const int fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, text, sizeof text - 1) < 0) return Outcome(false);
        std::puts(text);
        return 0;
    }
    if (attempt == "write-output") return Outcome(Opens(output, O_WRONLY));
    // On the descriptor a conversion's "-progress pipe:3" names.
    if (attempt == "write-progress") return Outcome(write(3, kProgress, sizeof kProgress - 1) > 0);
    if (attempt == "read-home-secret")
        return Outcome(Opens(std::string(home ? home : "") + "/secret", O_RDONLY));
    if (attempt == "write-beside-input")
        return Outcome(Opens(FolderOf(input) + "planted", O_WRONLY | O_CREAT));
    if (attempt == "overwrite-input") return Outcome(Opens(input, O_WRONLY));
    if (attempt == "create-elsewhere")
        return Outcome(Opens(elsewhere + "/planted", O_WRONLY | O_CREAT));
    if (attempt == "connect-tcp") return Outcome(Tcp(false, std::atoi(argv[5])));
    if (attempt == "listen-tcp") return Outcome(Tcp(true, 0));
    if (attempt == "local-socket") return Outcome(socket(AF_UNIX, SOCK_STREAM, 0) >= 0);
    if (attempt == "socket-pair") {
        int ends[2];
        return Outcome(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
    }
    if (attempt == "trace-parent")
        return Outcome(ptrace(PTRACE_ATTACH, getppid(), nullptr, nullptr) == 0);
    const std::string secret = std::string(home ? home : "") + "/secret";
    if (attempt == "chmod-home-file") return Outcome(chmod(secret.c_str(), 0666) == 0);
    if (attempt == "set-xattr")
        return Outcome(setxattr(secret.c_str(), "user.planted", "1", 1, 0) == 0);
    if (attempt == "change-times")
        return Outcome(utimensat(AT_FDCWD, secret.c_str(), nullptr, 0) == 0);
    if (attempt == "reprioritize-parent") return Outcome(ReprioritizesParent());
    if (attempt == "limit-parent") return Outcome(LimitsParent());
    // Its own memory limit set again as it is, as root could raise it.
    if (attempt == "set-own-limit") {
        rlimit limit{};
        return Outcome(getrlimit(RLIMIT_DATA, &limit) == 0 && setrlimit(RLIMIT_DATA, &limit) == 0);
    }
    if (attempt == "clone-name-spaces") return Outcome(NewNameSpaces());
    if (attempt == "take-parent-descriptor") return Outcome(TakesParentDescriptor());
    if (attempt == "watch-home") {
        const int watch = inotify_init1(IN_CLOEXEC);
        return Outcome(watch >= 0 &&
                       inotify_add_watch(watch, FolderOf(secret).c_str(), IN_ALL_EVENTS) >= 0);
    }
    if (attempt == "truncate-input") return Outcome(truncate(input.c_str(), 0) == 0);
    if (attempt == "open-truncating-input") return Outcome(Opens(input, O_RDONLY | O_TRUNC));
    if (attempt == "unlink-home-file") return Outcome(Unlinks(secret));
    if (attempt == "rename-input") return Outcome(Renames(input, elsewhere + "/planted"));
    if (attempt == "link-input") return Outcome(Links(input, elsewhere + "/planted"));
    if (attempt == "signal-parent") return Outcome(SignalsParent());
    if (attempt == "run-shell") {
        execl("/bin/sh", "sh", "-c", "echo allowed", static_cast<char*>(nullptr));
        return Outcome(false);
    }
    if (attempt == "setsid-child") return LeavesASessionBehind(output);
    if (attempt == "proc-other") return Outcome(ReadsCommandLineOf(argv[6]));
    if (attempt == "proc-own") return Outcome(ReadsCommandLineOf("self"));
    // What started it, the runner of a file's sandbox among them, changed from within; its
    // number as the coder's own /proc tells it (the filter refuses getppid).
    if (attempt == "write-parent-memory") {
        std::ifstream stat("/proc/self/stat");
        std::string pid, name, state, parent;
        stat >> pid >> name >> state >> parent;
        return Outcome(Opens("/proc/" + parent + "/mem", O_RDWR));
    }
    if (attempt == "allocate-4-gib") {
        void* memory =
            mmap(nullptr, 4ULL << 30, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return Outcome(memory != MAP_FAILED);
    }
    // Shared memory is not data: the data limit does not see it.
    if (attempt == "share-4-gib") {
        void* memory =
            mmap(nullptr, 4ULL << 30, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        return Outcome(memory != MAP_FAILED);
    }
    if (attempt == "start-3000-threads") return Outcome(StartsThreads(3000));
    return 64;
}

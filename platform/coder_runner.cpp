// The first process of a file's sandbox: runs each coder the program asks for, one after
// another, each under the coder's own seccomp filter, and tells how it ended. So one sandbox
// serves the probe and the conversion of a file.
#include "coder_runner.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "seccomp_filter.h"

namespace {

using namespace lmk;

constexpr std::size_t kMostArguments = 4096;

sock_filter g_filter[CoderFilter::kMaxInstructions];
std::size_t g_filterLength = 0;
char g_request[sizeof(RunRequest) + kMostRunBytes + 1];
char* g_arguments[kMostArguments + 1];

bool ReadFilter(int fd) {
    const ssize_t got = pread(fd, g_filter, sizeof g_filter, 0);
    if (got <= 0 || got % static_cast<ssize_t>(sizeof(sock_filter)) != 0) return false;
    g_filterLength = static_cast<std::size_t>(got) / sizeof(sock_filter);
    return true;
}

// In the child, before its exec: the coder's filter with its own id filled in.
[[noreturn]] void BecomeCoder(int output, int progress, int failure) {
    int error = 0;
    // Above the numbers the coder's descriptors take, so that none of them replaces it.
    if (const int moved = fcntl(failure, F_DUPFD_CLOEXEC, 64); moved >= 0) failure = moved;
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(nothing, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0 ||
        (progress >= 0 && dup2(progress, 3) < 0))
        error = errno;
    if (error == 0) {
        // Nothing of the runner's reaches the coder but the failure pipe, closed by the exec.
        const int first = progress >= 0 ? 4 : 3;
        if (failure != first && dup2(failure, first) < 0) error = errno;
        failure = first;
        if (error == 0 && syscall(SYS_close_range, first + 1, ~0U, 0) != 0) error = errno;
        if (error == 0) fcntl(failure, F_SETFD, FD_CLOEXEC);
    }
    if (error == 0) {
        const std::uint32_t self = static_cast<std::uint32_t>(getpid());
        for (std::size_t i = 0; i < g_filterLength; ++i)
            if (g_filter[i].code == (BPF_JMP | BPF_JEQ | BPF_K) && g_filter[i].k == kCoderSelf)
                g_filter[i].k = self;
        sock_fprog program{static_cast<unsigned short>(g_filterLength), g_filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0)
            error = errno;
    }
    if (error == 0) {
        execve(g_arguments[0], g_arguments, environ);
        error = errno;
    }
    while (write(failure, &error, sizeof error) < 0 && errno == EINTR) {
    }
    _exit(127);
}

RunEnded Run(int output, int progress) {
    RunEnded ended;
    int failure[2];
    if (pipe2(failure, O_CLOEXEC) != 0) {
        ended.startError = errno;
        return ended;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(failure[0]);
        BecomeCoder(output, progress, failure[1]);
    }
    close(failure[1]);
    if (child < 0) {
        ended.startError = errno;
        close(failure[0]);
        return ended;
    }
    int error = 0;
    ssize_t got;
    do {
        got = read(failure[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(failure[0]);
    rusage usage{};
    int status = 0;
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (got == sizeof error) {
        ended.startError = error;
        return ended;
    }
    ended.waitStatus = status;
    ended.processorMicroseconds =
        static_cast<std::uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
        static_cast<std::uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    ended.peakMemoryKiB = static_cast<std::uint64_t>(usage.ru_maxrss);
    return ended;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int socket = std::atoi(argv[1]);
    if (!ReadFilter(std::atoi(argv[2]))) return 2;
    close(std::atoi(argv[2]));
    // The coders it starts run as the same user: they may not read or write its memory.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    for (;;) {
        iovec data{g_request, sizeof g_request - 1};
        alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR) continue;
        // The program closed its end, or said something no run is made of: the sandbox ends.
        if (got <= static_cast<ssize_t>(sizeof(RunRequest)) ||
            (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0)
            return 0;
        int fds[2] = {-1, -1};
        int count = 0;
        for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part))
            if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS) {
                count = static_cast<int>((part->cmsg_len - CMSG_LEN(0)) / sizeof(int));
                std::memcpy(fds, CMSG_DATA(part), static_cast<std::size_t>(count) * sizeof(int));
            }
        RunRequest request;
        std::memcpy(&request, g_request, sizeof request);
        g_request[got] = '\0';
        std::size_t arguments = 0;
        for (char* at = g_request + sizeof request;
             at < g_request + got && arguments < kMostArguments; at += std::strlen(at) + 1)
            g_arguments[arguments++] = at;
        g_arguments[arguments] = nullptr;
        if (request.magic != kRunMagic || request.argumentCount != arguments || arguments == 0 ||
            count < 1)
            return 0;
        const RunEnded ended = Run(fds[0], count > 1 ? fds[1] : -1);
        for (int i = 0; i < count; ++i) close(fds[i]);
        while (send(socket, &ended, sizeof ended, MSG_NOSIGNAL) < 0) {
            if (errno != EINTR) return 0;
        }
    }
}

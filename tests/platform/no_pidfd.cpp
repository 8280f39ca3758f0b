// Stands in for the C library's syscall() in the polling test program: pidfd_open then fails
// as on a kernel older than 5.3, so the process tests go through the polling wait.
#include <cerrno>
#include <cstdarg>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern "C" long syscall(long number, ...) noexcept {
    va_list list;
    va_start(list, number);
    long arguments[6];
    for (auto& argument : arguments) argument = va_arg(list, long);
    va_end(list);
    if (number == SYS_pidfd_open) {
        errno = ENOSYS;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const auto real = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
                arguments[5]);
}

namespace {

TEST(NoPidFdTest, PidFdOpenIsUnavailableHere) {
    errno = 0;
    EXPECT_EQ(syscall(SYS_pidfd_open, getpid(), 0), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(syscall(SYS_getpid), getpid());  // everything else still reaches the kernel
}

}  // namespace

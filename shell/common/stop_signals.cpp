#include "stop_signals.h"

#include <cerrno>
#include <iostream>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "failures.h"
#include "file_descriptor.h"
#include "posix_platform.h"

namespace lmk {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is raised by a handler");
std::atomic<bool> g_stopFlag{false};
volatile std::sig_atomic_t g_writeEnd = -1;
// The pipe lives as long as the program: a handler may still be running as the next is put in.
FileDescriptor g_readEnd;
FileDescriptor g_writeEndOwner;

void OnSignal(int signal) {
    const int saved = errno;
    g_stopFlag.store(true, std::memory_order_relaxed);
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a wake-up: losing this one loses nothing.
    if (g_writeEnd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &number, 1);
    }
    errno = saved;
}

}  // namespace

StopSignals::StopSignals() {
    if (!g_readEnd.Valid()) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            throw OSErrorFromCode(errno, SystemErrorText(errno));
        g_readEnd.Reset(ends[0]);
        g_writeEndOwner.Reset(ends[1]);
    }
    g_writeEnd = g_writeEndOwner.Get();

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &action, &m_previous[i]);
    }
    struct sigaction ignored = {};
    ignored.sa_handler = SIG_IGN;
    sigemptyset(&ignored.sa_mask);
    ::sigaction(SIGPIPE, &ignored, &m_previousPipe);
}

StopSignals::~StopSignals() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &m_previous[i], nullptr);
    }
    ::sigaction(SIGPIPE, &m_previousPipe, nullptr);
    g_writeEnd = -1;
}

void RaiseStop(int signal) {
    OnSignal(signal);
}

void FlushStandardOutput() {
    if (std::cout.good()) {
        errno = 0;
        std::cout.flush();
        if (std::cout.good()) return;
    }
    // A write before the flush may have failed first, its errno gone since: a pipe without a
    // reader also shows as an error on its write end.
    pollfd output{STDOUT_FILENO, 0, 0};
    const bool readerGone =
        errno == EPIPE || (::poll(&output, 1, 0) == 1 && (output.revents & POLLERR) != 0);
    std::cout.clear();
    if (readerGone) RaiseStop(SIGPIPE);
}

void ResetInheritedSignals() {
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    ::sigaction(SIGCHLD, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

const std::atomic<bool>& StopSignalFlag() {
    return g_stopFlag;
}

int StopSignalDescriptor() {
    return g_readEnd.Get();
}

int TakeStopSignals() {
    int last = 0;
    unsigned char numbers[16];
    for (;;) {
        const ssize_t count = ::read(g_readEnd.Get(), numbers, sizeof numbers);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return last;
        last = numbers[count - 1];
    }
}

}  // namespace lmk

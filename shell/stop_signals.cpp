#include "stop_signals.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "failures.h"
#include "guard.h"
#include "posix_platform.h"

namespace lmk {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

volatile std::sig_atomic_t g_writeEnd = -1;

void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a wake-up: losing this one loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &number, 1);
    errno = saved;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw OSErrorFromCode(errno, SystemErrorText(errno));
    m_readEnd.Reset(ends[0]);
    m_writeEnd.Reset(ends[1]);
    g_writeEnd = m_writeEnd.Get();

    m_notifier = new QSocketNotifier(m_readEnd.Get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::Drain);

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &action, &m_previous[i]);
    }
}

StopSignals::~StopSignals() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &m_previous[i], nullptr);
    }
    g_writeEnd = -1;
}

void StopSignals::Drain() {
    Guard([this] {
        unsigned char numbers[16];
        for (;;) {
            const ssize_t count = ::read(m_readEnd.Get(), numbers, sizeof numbers);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return;
            for (ssize_t i = 0; i < count; ++i) emit received(numbers[i]);
        }
    });
}

}  // namespace lmk

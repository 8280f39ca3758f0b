#pragma once

#include <atomic>
#include <csignal>

namespace lmk {

// SIGINT, SIGTERM and SIGHUP (Ctrl+C, kill, a closed terminal, a logout) ask the program to stop
// as Exit does. main() installs this first and removes it last, so that a signal at start-up or
// shut-down is taken as a stop too. The handler raises a flag that worker threads may read
// and writes the signal's number into a pipe whose read end an event loop can watch. It is
// installed with SA_RESTART, so that blocking calls (the terminal's writes) never see EINTR; the
// job's timed waits are never restarted anyway. SIGPIPE is ignored meanwhile: a reader of the
// standard output that went away (`| head`) is a stop too (FlushStandardOutput), not a death that
// leaves partial files and private folders behind. One at a time; the handlers in place before
// are put back when it goes.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction m_previous[3] = {};
    struct sigaction m_previousPipe = {};
};

// Raises the stop as the signal `signal` would have; any thread may call it.
void RaiseStop(int signal);

// Flushes the standard output; when its reader has gone (EPIPE) the job is stopped as by
// SIGTERM (RaiseStop with SIGPIPE). Other write failures are not the job's concern.
void FlushStandardOutput();

// Puts back what a starting program may inherit through exec from a service manager or a shell:
// SIGCHLD ignored (the kernel would then reap every coder before its status is read) and
// blocked signals (a stop would never arrive).
void ResetInheritedSignals();

// True once a stop signal arrived; lock-free, so a handler may raise it and any thread read it.
const std::atomic<bool>& StopSignalFlag();

// Readable once a stop signal has arrived; -1 before StopSignals was first installed.
int StopSignalDescriptor();
// Reads what the pipe holds without waiting; returns the last signal's number, or 0.
int TakeStopSignals();

}  // namespace lmk

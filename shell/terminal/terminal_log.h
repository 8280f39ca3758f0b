#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <string_view>
#include <utility>

#include "conversion_job.h"
#include "job_ports.h"

namespace lmk {

class TerminalLog;

// The command line's host: the target texts it was given, and a stop once a signal handler has
// raised `stop` (read by every job's thread, hence atomic).
class CommandLineHost : public JobHost {
public:
    CommandLineHost(std::string width, std::string height, const std::atomic<bool>& stop)
        : m_width(std::move(width)), m_height(std::move(height)), m_stop(stop) {}

    std::string WidthText() override { return m_width; }
    std::string HeightText() override { return m_height; }
    std::string WidthName() override { return "--width"; }
    std::string HeightName() override { return "--height"; }
    bool StopRequested() override { return m_stop.load(); }
    void JobStarted() override { m_start = std::chrono::steady_clock::now(); }
    void Progress(int filesDone, int filesLeft, double share) override;

    // The job's count and time left go on the live line of `log` (one job, on one thread).
    void ShowProgressOn(TerminalLog* log) { m_live = log; }

private:
    std::string m_width;
    std::string m_height;
    const std::atomic<bool>& m_stop;
    TerminalLog* m_live = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// The running file's number of all and, once it can be told, the time the job has left:
// "2/5 ~1:20". The time left is the time `seconds` taken so far, scaled to the share of the
// whole job still to do; it is told after the first file, or after some seconds of it.
std::string ProgressNote(int filesDone, int filesLeft, double share, double seconds);

// The longest start of the UTF-8 `line` that takes at most `cells` character cells on a
// terminal: most characters take one, East Asian wide ones two, combining marks none.
std::string CutToCells(std::string_view line, int cells);

// `line` in at most `cells` character cells: when it does not fit, its middle gives way to "…",
// so that its end (the turning mark and how far the file has come) stays in sight.
std::string ShortenToCells(std::string_view line, int cells);

// `line` as printed once done: without the spaces at its end (a status line's "... " is
// followed by its turning mark only while it is redrawn).
std::string_view WithoutTrailingSpaces(std::string_view line);

// The command line's log. On a terminal whose width is known the open line is redrawn in place
// as its mark turns, cut to the width so that it never wraps (a wrapped line would leave a copy
// at each redraw), and shown whole once it is done; the width is read again after SIGWINCH.
// A terminal of unknown width is taken as $COLUMNS or 80 wide. Elsewhere (a pipe, a file)
// each line is printed once. A printed line never ends with a space.
class TerminalLog : public JobLog {
public:
    TerminalLog();
    ~TerminalLog() override;
    TerminalLog(const TerminalLog&) = delete;
    TerminalLog& operator=(const TerminalLog&) = delete;

    void ClearLog() override { EndOpenLine(); }
    int AddLogLine(const std::string& line) override;
    void ReplaceLogLine(int index, const std::string& line) override;
    // Drawn after the open line on a terminal, until the next line; nothing elsewhere.
    void ShowNote(const std::string& note);
    bool Redrawn() const { return m_redrawn; }

private:
    void Draw(const std::string& line);
    void EndOpenLine();

    bool m_redrawn;     // a terminal: lines are drawn in place
    int m_columns = 0;  // the terminal's width, or the width assumed
    struct sigaction m_previousResize = {};
    bool m_lineOpen = false;
    std::string m_addedLine;  // the open line as added, without a mark
    std::string m_shownLine;  // the open line as last drawn, without the note
    std::string m_note;
    int m_lines = 0;
};

}  // namespace lmk

#include "terminal_log.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <utility>
#include <vector>

#include <locale.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "conversion_job.h"
#include "output_check.h"
#include "stop_signals.h"
#include "utf8_text.h"

namespace lmk {
namespace {

// The end of a status line: its name's ending, "... ", the turning mark and "NN%".
constexpr int kKeptEndCells = 12;
constexpr int kLeastShortened = 16;

// The first file's share after this long is taken as a guide to the rest; sooner, its start
// (the coder opening the file) would weigh too much.
constexpr double kEstimateAfterSeconds = 10;

// Set by the handler on whichever thread takes the signal, read by the thread that draws: a
// lock-free atomic is safe in both places.
std::atomic<bool> g_resized{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnResize(int) {
    g_resized.store(true, std::memory_order_relaxed);
}

// A terminal that tells no width (0 columns: `script`, a serial console) is taken as $COLUMNS
// wide, else as the VT100's 80 columns: its line is still redrawn in place with the mark and
// the share done, and a line cut to 80 columns wraps on no wider terminal. A line printed at
// each tick instead would scroll five lines a second past the user.
constexpr int kAssumedColumns = 80;

int TerminalColumns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        int value = 0;
        const std::string_view text(columns);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size() && value > 0) return value;
    }
    return kAssumedColumns;
}

// Cells of one code point, by the C library's table for UTF-8.
int Cells(char32_t code) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (!utf8 || code < 0x80) return 1;
    const locale_t previous = ::uselocale(utf8);
    const int cells = ::wcwidth(static_cast<wchar_t>(code));
    ::uselocale(previous);
    return cells < 0 ? 1 : cells;
}

// Where each character of `line` starts, and the cells taken up to there; the last entry is
// the line's end with its total.
std::vector<std::pair<std::size_t, int>> CellMarks(std::string_view line) {
    std::vector<std::pair<std::size_t, int>> marks;
    int used = 0;
    std::size_t at = 0;
    while (at < line.size()) {
        marks.emplace_back(at, used);
        const auto [code, length] = DecodeUtf8(line, at);
        used += Cells(code);
        at += length;
    }
    marks.emplace_back(line.size(), used);
    return marks;
}

}  // namespace

std::string CutToCells(std::string_view line, int cells) {
    const auto marks = CellMarks(line);
    std::size_t end = 0;
    for (std::size_t i = 1; i < marks.size() && marks[i].second <= cells; ++i) end = marks[i].first;
    return std::string(line.substr(0, end));
}

std::string ShortenToCells(std::string_view line, int cells) {
    const auto marks = CellMarks(line);
    const int total = marks.back().second;
    // Too narrow to keep both ends with any sense: the start alone.
    if (total <= cells || cells < kLeastShortened) return CutToCells(line, cells);
    const int endCells = std::min(kKeptEndCells, cells / 2);
    std::size_t end = line.size();
    for (auto mark = marks.rbegin(); mark != marks.rend() && total - mark->second <= endCells;
         ++mark)
        end = mark->first;
    return CutToCells(line, cells - endCells - 1) + "…" + std::string(line.substr(end));
}

std::string_view WithoutTrailingSpaces(std::string_view line) {
    const auto end = line.find_last_not_of(' ');
    return line.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

std::string ProgressNote(int filesDone, int filesLeft, double share, double seconds) {
    const RunProgress run = ProgressOfRun(filesDone, filesLeft, share);
    std::string note = std::to_string(run.file) + "/" + std::to_string(run.files);
    if (run.whole <= 0 || (filesDone == 0 && seconds < kEstimateAfterSeconds)) return note;
    note += " ~";
    note += ClockText(std::round(seconds * (1 - run.whole) / run.whole));
    return note;
}

void CommandLineHost::Progress(int filesDone, int filesLeft, double share) {
    if (!m_live) return;
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - m_start;
    m_live->ShowNote(ProgressNote(filesDone, filesLeft, share, spent.count()));
}

TerminalLog::TerminalLog() : m_redrawn(isatty(STDOUT_FILENO) == 1) {
    if (!m_redrawn) return;
    struct sigaction action = {};
    action.sa_handler = OnResize;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, &m_previousResize);
    m_columns = TerminalColumns();
}

TerminalLog::~TerminalLog() {
    EndOpenLine();
    if (m_redrawn) ::sigaction(SIGWINCH, &m_previousResize, nullptr);
}

int TerminalLog::AddLogLine(const std::string& line) {
    EndOpenLine();
    if (m_redrawn) {
        m_lineOpen = true;
        m_addedLine = line;
        m_note.clear();
        Draw(line);
    } else {
        std::cout << WithoutTrailingSpaces(line) << '\n';
        FlushStandardOutput();
    }
    return m_lines++;
}

void TerminalLog::ReplaceLogLine(int, const std::string& line) {
    if (m_lineOpen) Draw(line);
}

void TerminalLog::ShowNote(const std::string& note) {
    if (!m_lineOpen || note == m_note) return;
    m_note = note;
    Draw(m_shownLine);
}

void TerminalLog::Draw(const std::string& line) {
    if (g_resized.exchange(false, std::memory_order_relaxed)) {
        m_columns = TerminalColumns();
    }
    m_shownLine = line;
    // The last column stays free: a line that fills it may wrap on some terminals. The note
    // gives way first, then the line's middle.
    const std::string note = m_note.empty() ? std::string() : " " + m_note;
    const int lineCells = m_columns - 1 - static_cast<int>(note.size());
    if (note.empty() || lineCells < kLeastShortened) {
        std::cout << '\r' << ShortenToCells(line, m_columns - 1) << "\x1b[K";
    } else {
        std::cout << '\r' << WithoutTrailingSpaces(ShortenToCells(line, lineCells)) << note
                  << "\x1b[K";
    }
    FlushStandardOutput();
}

// A line that is done is never drawn again, so it may wrap: it is shown whole, and without the
// mark of a file that is no longer being worked on.
void TerminalLog::EndOpenLine() {
    if (!m_lineOpen) return;
    std::cout << "\r\x1b[K" << WithoutTrailingSpaces(m_addedLine) << '\n';
    FlushStandardOutput();
    m_lineOpen = false;
}

}  // namespace lmk

// The printout reader on large probe reports, with the old search (std::regex running its
// fixed pattern over the lines joined into one comma text) as the baseline.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <regex>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "probe_report.h"

namespace {

constexpr std::size_t kMegabyte = 1 << 20;
constexpr unsigned kRegexChildSeconds = 120;

const char* const kPattern = "Stream #.*?: Video: .*? (\\d+?)x(\\d+?) ";

// A report as the coder prints it for a file whose sound stream comes first and carries long
// tags: the video stream's line is the last one, so the search (and the regex's lazy ".*?")
// has to cross the whole text.
std::string MakeReport(std::size_t fillerBytes) {
    std::string report =
        "Input #0, matroska,webm, from '/home/user/Videos/concert.mkv':\n"
        "  Metadata:\n"
        "    ENCODER         : Lavf59.27.100\n"
        "  Duration: 01:02:03.04, start: 0.000000, bitrate: 2345 kb/s\n"
        "  Stream #0:0(eng): Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s (default)\n"
        "    Metadata:\n";
    report.reserve(fillerBytes + 1024);
    char line[128];
    for (unsigned n = 0; report.size() < fillerBytes; ++n) {
        std::snprintf(line, sizeof line,
                      "      LYRICS-%07u  : la la la, the quick brown fox jumps over 2 lazy dogs\n",
                      n);
        report += line;
    }
    report +=
        "  Stream #0:1(eng): Video: h264 (High), yuv420p(tv, bt709, progressive), 1920x1080 "
        "[SAR 1:1 DAR 16:9], 25 fps, 25 tbr, 1k tbn (default)\n"
        "At least one output file must be specified\n";
    return report;
}

const std::string& Report(std::size_t bytes) {
    static std::map<std::size_t, std::string> made;
    auto& report = made[bytes];
    if (report.empty()) report = MakeReport(bytes);
    return report;
}

// The old search's comma text: the lines joined by commas, each quoted when it holds a space,
// a control character, a quote or a comma.
std::string JoinedLines(const std::string& report) {
    std::string text;
    std::size_t at = 0;
    while (at < report.size()) {
        const std::size_t end = std::min(report.find_first_of("\r\n", at), report.size());
        const std::string line = report.substr(at, end - at);
        const bool quoted = line.find_first_of(" \",\t") != std::string::npos;
        if (!quoted) {
            text += line;
        } else {
            text += '"';
            for (const char c : line) text += c == '"' ? std::string("\"\"") : std::string(1, c);
            text += '"';
        }
        text += ',';
        at = end + 1;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

const std::string& CommaText(std::size_t bytes) {
    static std::map<std::size_t, std::string> made;
    auto& text = made[bytes];
    if (text.empty()) text = JoinedLines(Report(bytes));
    return text;
}

bool IsExpectedFrame(const lmk::ProbeFacts& facts) {
    return facts.source && facts.source->width == 1920 && facts.source->height == 1080;
}

// The whole path the program takes: bytes to lines to comma text to the frame.
void BM_ReportToFrame(benchmark::State& state) {
    const std::string& report = Report(static_cast<std::size_t>(state.range(0)) * kMegabyte);
    if (!IsExpectedFrame(lmk::ProbeFactsFromReport(report))) {
        state.SkipWithError("the frame was not found");
        return;
    }
    for (auto _ : state) {
        auto facts = lmk::ProbeFactsFromReport(report);
        benchmark::DoNotOptimize(facts);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * report.size()));
    state.SetLabel(std::to_string(state.range(0)) + " MB report");
}
BENCHMARK(BM_ReportToFrame)->Arg(1)->Arg(10)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);

// The reader alone, on the reports whose comma texts the baseline searches.
void BM_ReaderOnReport(benchmark::State& state) {
    const std::string& report = Report(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto facts = lmk::ProbeFactsFromReport(report);
        benchmark::DoNotOptimize(facts);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * report.size()));
}

// What happens to std::regex on this text, found in a child process: libstdc++'s executor
// recurses per character under ".*?", so a long text may overflow the stack.
std::string RegexTrouble(const std::string& text) {
    static std::map<std::size_t, std::string> known;
    if (const auto found = known.find(text.size()); found != known.end()) return found->second;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        alarm(kRegexChildSeconds);
        const std::regex pattern(kPattern, std::regex::ECMAScript);
        std::smatch match;
        _exit(std::regex_search(text, match, pattern) ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::string trouble;
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        trouble = signal == SIGALRM
                      ? "std::regex took over " + std::to_string(kRegexChildSeconds) + " s"
                  : signal == SIGSEGV ? "std::regex crashed: stack overflow (SIGSEGV)"
                                      : "std::regex crashed: signal " + std::to_string(signal);
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        trouble = "std::regex found no match";
    }
    return known[text.size()] = trouble;
}

void BM_RegexCommaText(benchmark::State& state) {
    const std::string& text = CommaText(static_cast<std::size_t>(state.range(0)));
    if (const std::string trouble = RegexTrouble(text); !trouble.empty()) {
        state.SkipWithError(trouble.c_str());
        return;
    }
    const std::regex pattern(kPattern, std::regex::ECMAScript);
    std::smatch match;
    if (!std::regex_search(text, match, pattern) || match.str(1) != "1920" ||
        match.str(2) != "1080") {
        state.SkipWithError("std::regex does not find the frame");
        return;
    }
    for (auto _ : state) {
        std::smatch each;
        benchmark::DoNotOptimize(std::regex_search(text, each, pattern));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Growing reports, and their comma texts for the baseline, until std::regex gives out.
void GrowingTexts(benchmark::internal::Benchmark* benchmark) {
    for (std::int64_t bytes = 1 << 10; bytes <= 4 << 20; bytes *= 2) benchmark->Arg(bytes);
}
BENCHMARK(BM_ReaderOnReport)->Apply(GrowingTexts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RegexCommaText)->Apply(GrowingTexts)->Unit(benchmark::kMicrosecond);

}  // namespace

#include "probe_report.h"

#include <cmath>
#include <cstdlib>

#include "job_ports.h"
#include "whole_number.h"

namespace lmk {
namespace {

constexpr std::string_view kStreamMark = "Stream #";
constexpr std::string_view kVideoMark = ": Video: ";
constexpr std::string_view kRotationMark = "displaymatrix: rotation of ";
constexpr std::string_view kDurationMark = "Duration: ";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool NeedsQuotes(std::string_view line) {
    for (const char c : line) {
        const auto code = static_cast<unsigned char>(c);
        if ((code >= 1 && code <= 32) || c == '"' || c == ',') return true;
    }
    return false;
}

}  // namespace

std::optional<double> ParseClockTime(std::string_view text) {
    unsigned hours = 0, minutes = 0, seconds = 0;
    std::size_t i = 0;
    const auto number = [&](unsigned& into) {
        const std::size_t start = i;
        while (i < text.size() && IsDigit(text[i]) && i - start < 9)
            into = into * 10 + (text[i++] - '0');
        return i > start;
    };
    if (!number(hours) || i >= text.size() || text[i++] != ':') return std::nullopt;
    if (!number(minutes) || i >= text.size() || text[i++] != ':') return std::nullopt;
    if (!number(seconds)) return std::nullopt;
    double fraction = 0;
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && IsDigit(text[i]); ++i, scale /= 10)
            fraction += (text[i] - '0') * scale;
    }
    return hours * 3600.0 + minutes * 60.0 + seconds + fraction;
}

std::vector<std::string> SplitReportLines(std::string_view report) {
    std::vector<std::string> lines;
    std::size_t i = 0;
    const std::size_t n = report.size();
    while (i < n && report[i] != '\0') {
        const std::size_t start = i;
        while (i < n && report[i] != '\r' && report[i] != '\n' && report[i] != '\0') ++i;
        lines.emplace_back(report.substr(start, i - start));
        if (i < n && report[i] == '\r') ++i;
        if (i < n && report[i] == '\n') ++i;
    }
    return lines;
}

namespace {

void AppendItem(std::string& text, std::string_view line) {
    if (!NeedsQuotes(line)) {
        text += line;
    } else {
        text += '"';
        std::size_t from = 0;
        for (std::size_t quote; (quote = line.find('"', from)) != std::string_view::npos;
             from = quote + 1) {
            text.append(line.substr(from, quote + 1 - from));
            text += '"';
        }
        text.append(line.substr(from));
        text += '"';
    }
    text += ',';
}

}  // namespace

std::string JoinCommaText(const std::vector<std::string>& lines) {
    if (lines.size() == 1 && lines.front().empty()) return "\"\"";
    std::size_t size = 0;
    for (const auto& line : lines) size += line.size() + 3;
    std::string text;
    text.reserve(size);
    for (const auto& line : lines) AppendItem(text, line);
    if (!text.empty()) text.pop_back();
    return text;
}

std::string CommaTextFromReport(std::string_view report) {
    std::string text;
    text.reserve(report.size() + report.size() / 16 + 2);
    std::size_t lineCount = 0;
    bool onlyLineEmpty = false;
    std::size_t i = 0;
    const std::size_t n = report.size();
    while (i < n && report[i] != '\0') {
        const std::size_t start = i;
        while (i < n && report[i] != '\r' && report[i] != '\n' && report[i] != '\0') ++i;
        AppendItem(text, report.substr(start, i - start));
        onlyLineEmpty = ++lineCount == 1 && i == start;
        if (i < n && report[i] == '\r') ++i;
        if (i < n && report[i] == '\n') ++i;
    }
    if (lineCount == 1 && onlyLineEmpty) return "\"\"";
    if (!text.empty()) text.pop_back();
    return text;
}

std::optional<FrameMatch> FindSourceFrame(std::string_view text) {
    const std::size_t stream = text.find(kStreamMark);
    if (stream == std::string_view::npos) return std::nullopt;
    const std::size_t video = text.find(kVideoMark, stream + kStreamMark.size());
    if (video == std::string_view::npos) return std::nullopt;

    // " digits x digits ": a failed try resumes where it stopped, so each character is
    // looked at a bounded number of times.
    const std::size_t n = text.size();
    std::size_t i = video + kVideoMark.size();
    while (true) {
        const std::size_t space = text.find(' ', i);
        if (space == std::string_view::npos) return std::nullopt;
        std::size_t j = space + 1;
        while (j < n && IsDigit(text[j])) ++j;
        if (j == space + 1 || j >= n || text[j] != 'x') {
            i = j;
            continue;
        }
        std::size_t k = j + 1;
        while (k < n && IsDigit(text[k])) ++k;
        if (k > j + 1 && k < n && text[k] == ' ') {
            return FrameMatch{text.substr(space + 1, j - space - 1), text.substr(j + 1, k - j - 1),
                              k + 1};
        }
        i = k;
    }
}

bool IsTurnedQuarter(std::string_view text, std::size_t from) {
    const std::size_t limit = std::min(text.find(kStreamMark, from), text.size());
    const std::size_t at = text.find(kRotationMark, from);
    if (at == std::string_view::npos || at >= limit) return false;
    std::size_t i = at + kRotationMark.size();
    const std::size_t start = i;
    if (i < limit && text[i] == '-') ++i;
    while (i < limit && (IsDigit(text[i]) || text[i] == '.')) ++i;
    const std::string angleText(text.substr(start, i - start));
    char* end = nullptr;
    const double angle = std::strtod(angleText.c_str(), &end);
    if (angleText.empty() || end != angleText.c_str() + angleText.size()) return false;
    return std::fabs(std::fmod(angle, 180.0)) == 90.0;
}

std::optional<double> ReportDuration(std::string_view report) {
    const std::size_t at = report.find(kDurationMark);
    if (at == std::string_view::npos) return std::nullopt;
    const auto duration = ParseClockTime(report.substr(at + kDurationMark.size()));
    if (!duration || *duration <= 0) return std::nullopt;
    return duration;
}

ProbeFacts ProbeFactsFromReport(std::string_view report) {
    const std::string text = CommaTextFromReport(report);
    ProbeFacts facts;
    if (const auto match = FindSourceFrame(text)) {
        Frame source;
        source.width = static_cast<std::uint32_t>(ParseWholeNumber(match->width));
        source.height = static_cast<std::uint32_t>(ParseWholeNumber(match->height));
        if (IsTurnedQuarter(text, match->end)) std::swap(source.width, source.height);
        facts.source = source;
    }
    facts.durationSeconds = ReportDuration(text);
    return facts;
}

ProbeFacts ReadSourceFrame(Files& files, const std::string& reportPath) {
    return ProbeFactsFromReport(files.ReadAll(reportPath));
}

}  // namespace lmk

#include "probe_report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "job_ports.h"
#include "whole_number.h"

namespace lmk {
namespace {

constexpr std::string_view kStreamMark = "Stream #";
constexpr std::string_view kVideoMark = ": Video: ";
constexpr std::string_view kAudioMark = ": Audio: ";
constexpr std::string_view kCoverMark = "(attached pic)";
constexpr std::string_view kRotationMark = "displaymatrix: rotation of ";
constexpr std::string_view kDurationMark = "Duration: ";
constexpr std::string_view kEstimatedMark = "Estimating duration from bitrate";

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

// The report as the line rule reads it: a NUL ends it.
std::string_view UpToNul(std::string_view report) {
    return report.substr(0, report.find('\0'));
}

// The first " digits x digits" at or after `from` and before `end` whose next place
// `endsSize` accepts, the match ending there. A failed try resumes where it stopped, so each
// character is looked at a bounded number of times.
template <class EndsSize>
std::optional<FrameMatch> FindSize(std::string_view text, std::size_t from, std::size_t end,
                                   EndsSize endsSize) {
    std::size_t i = from;
    while (i < end) {
        const std::size_t space = text.find(' ', i);
        if (space == std::string_view::npos || space >= end) return std::nullopt;
        std::size_t j = space + 1;
        while (j < end && IsDigit(text[j])) ++j;
        if (j == space + 1 || j >= end || text[j] != 'x') {
            i = j;
            continue;
        }
        std::size_t k = j + 1;
        while (k < end && IsDigit(text[k])) ++k;
        if (k > j + 1 && endsSize(k)) {
            return FrameMatch{text.substr(space + 1, j - space - 1), text.substr(j + 1, k - j - 1),
                              k};
        }
        i = k;
    }
    return std::nullopt;
}

// " WxH" on a stream line that ends at `end`, followed by a space, a comma or the line's end.
std::optional<FrameMatch> SizeOnLine(std::string_view text, std::size_t from, std::size_t end) {
    return FindSize(text, from, end,
                    [&](std::size_t k) { return k == end || text[k] == ' ' || text[k] == ','; });
}

// What the stream lines of a report hold: where the first video stream's description starts
// and ends, and which kinds of stream there are.
struct StreamLines {
    // The first video stream that is no cover picture.
    std::size_t firstVideoFrom = std::string_view::npos;
    std::size_t firstVideoEnd = 0;
    bool hasStreams = false;
    bool hasVideo = false;
    bool hasSound = false;
    std::optional<unsigned> soundRate;
};

// "NNNN Hz" on a sound stream line.
std::optional<unsigned> SoundRate(std::string_view line) {
    const std::size_t hertz = line.find(" Hz");
    if (hertz == std::string_view::npos) return std::nullopt;
    std::size_t start = hertz;
    while (start > 0 && IsDigit(line[start - 1]) && hertz - start < 9) --start;
    if (start == hertz) return std::nullopt;
    unsigned rate = 0;
    for (std::size_t i = start; i < hertz; ++i) rate = rate * 10 + (line[i] - '0');
    return rate;
}

StreamLines ScanStreamLines(std::string_view text) {
    StreamLines found;
    std::size_t at = 0;
    while ((at = text.find(kStreamMark, at)) != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
        const std::string_view line = text.substr(at, end - at);
        found.hasStreams = true;
        if (const std::size_t video = line.find(kVideoMark); video != std::string_view::npos) {
            // A cover picture is no video to convert, nor its size the video's.
            if (line.find(kCoverMark, video) == std::string_view::npos && !found.hasVideo) {
                found.firstVideoFrom = at + video + kVideoMark.size();
                found.firstVideoEnd = end;
                found.hasVideo = true;
            }
        } else if (const std::size_t audio = line.find(kAudioMark);
                   audio != std::string_view::npos) {
            if (!found.hasSound) found.soundRate = SoundRate(line.substr(audio));
            found.hasSound = true;
        }
        at = end;
    }
    return found;
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

    // " digits x digits ", the match ending just past the space.
    auto match = FindSize(text, video + kVideoMark.size(), text.size(),
                          [&](std::size_t k) { return k < text.size() && text[k] == ' '; });
    if (match) ++match->end;
    return match;
}

std::optional<FrameMatch> FindStreamLineFrame(std::string_view report) {
    const std::string_view text = UpToNul(report);
    const StreamLines lines = ScanStreamLines(text);
    if (lines.firstVideoFrom == std::string_view::npos) return std::nullopt;
    return SizeOnLine(text, lines.firstVideoFrom, lines.firstVideoEnd);
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

namespace {

// True when the stream whose description holds `at` (up to the next "Stream #") is a cover.
bool OnCoverLine(std::string_view text, std::size_t at) {
    const std::size_t start = text.rfind(kStreamMark, at);
    const std::size_t end = std::min(text.find(kStreamMark, at), text.size());
    if (start == std::string_view::npos) return false;
    const std::size_t cover = text.find(kCoverMark, start);
    return cover != std::string_view::npos && cover < end;
}

// The pixel format after the codec on a video stream's description: "yuv420p10le" of
// "h264 (High 10), yuv420p10le(tv, progressive), 1920x1080".
std::string PixelFormatOn(std::string_view description) {
    int depth = 0;
    std::size_t i = 0;
    for (; i < description.size(); ++i) {
        if (description[i] == '(') ++depth;
        if (description[i] == ')') --depth;
        if (description[i] == ',' && depth == 0) break;
    }
    std::size_t start = i + 1;
    while (start < description.size() && description[start] == ' ') ++start;
    std::size_t end = start;
    while (end < description.size() && description[end] != '(' && description[end] != ',' &&
           description[end] != ' ')
        ++end;
    return start < description.size() ? std::string(description.substr(start, end - start))
                                      : std::string();
}

Frame FrameOf(const FrameMatch& match, std::string_view text) {
    Frame source;
    source.width = static_cast<std::uint32_t>(ParseWholeNumber(match.width));
    source.height = static_cast<std::uint32_t>(ParseWholeNumber(match.height));
    if (IsTurnedQuarter(text, match.end)) std::swap(source.width, source.height);
    return source;
}

}  // namespace

ProbeFacts ProbeFactsFromReport(std::string_view report) {
    const std::string text = CommaTextFromReport(report);
    const std::string_view lines = UpToNul(report);
    const StreamLines streams = ScanStreamLines(lines);
    ProbeFacts facts;
    // The fixed search first: its groups stand unless they lie on a cover picture's line, which
    // it may reach from the line of a video whose size a comma follows.
    const auto match = FindSourceFrame(text);
    if (match && !OnCoverLine(text, match->end)) {
        facts.source = FrameOf(*match, text);
    } else if (streams.firstVideoFrom != std::string_view::npos) {
        if (const auto size = SizeOnLine(lines, streams.firstVideoFrom, streams.firstVideoEnd))
            facts.source = FrameOf(*size, lines);
    }
    facts.durationSeconds = ReportDuration(text);
    facts.durationEstimated = lines.find(kEstimatedMark) != std::string_view::npos;
    facts.hasStreams = streams.hasStreams;
    if (streams.hasVideo)
        facts.pixelFormat = PixelFormatOn(
            lines.substr(streams.firstVideoFrom, streams.firstVideoEnd - streams.firstVideoFrom));
    facts.hasVideo = streams.hasVideo;
    facts.hasSound = streams.hasSound;
    facts.soundRate = streams.soundRate;
    return facts;
}

ProbeFacts ReadSourceFrame(Files& files, const std::string& reportPath) {
    return ProbeFactsFromReport(files.ReadAll(reportPath));
}

}  // namespace lmk

#include "fuzz_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "failures.h"
#include "probe_report.h"
#include "whole_number.h"

namespace lmk::fuzz {
namespace {

constexpr std::string_view kDecimalDigits = "0123456789";
constexpr std::string_view kHexDigits = "0123456789abcdefABCDEF";

std::string RefusalMessage(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid integer value";
}

bool QuotesUnchanged(const std::string& message, std::string_view text) {
    const std::string full = RefusalMessage(text);
    return message == full;
}

// The rules read the other way round from the parser: cut the text into its parts first,
// check each part's characters as a whole, and only then convert the digits, bounding their
// count instead of watching for overflow digit by digit.
std::optional<std::int32_t> ReferenceWholeNumber(std::string_view text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;  // empty, or spaces alone
    std::string_view rest = text.substr(start);

    const bool negative = rest.front() == '-';
    if (negative || rest.front() == '+') rest.remove_prefix(1);

    int base = 10;
    if (rest.starts_with("0x") || rest.starts_with("0X")) {
        base = 16;
        rest.remove_prefix(2);
    } else if (rest.starts_with('$') || rest.starts_with('x') || rest.starts_with('X')) {
        base = 16;
        rest.remove_prefix(1);
    }
    const std::string_view allowed = base == 16 ? kHexDigits : kDecimalDigits;
    if (rest.empty() || rest.find_first_not_of(allowed) != std::string_view::npos)
        return std::nullopt;

    const std::size_t significant = rest.find_first_not_of('0');
    const std::string digits =
        significant == std::string_view::npos ? "0" : std::string(rest.substr(significant));
    // 8 hexadecimal digits fill 32 bits; 10 decimal digits cover every 32-bit value.
    if (digits.size() > (base == 16 ? 8u : 10u)) return std::nullopt;
    const unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, base);

    if (base == 16) {
        auto bits = static_cast<std::uint32_t>(magnitude);
        if (negative) bits = ~bits + 1u;
        return static_cast<std::int32_t>(bits);
    }
    const long long value =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// A group holds digits only; its value, or nothing when it exceeds 2147483647.
bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of(kDecimalDigits) == std::string_view::npos;
}

// The facts, or the refusal's message.
struct Reading {
    std::optional<ProbeFacts> facts;
    std::string refusal;
};

Reading Read(std::string_view report, const std::vector<std::string>& names = {}) {
    try {
        return {ProbeFactsFromReport(report, names), {}};
    } catch (const EConvertError& failure) {
        return {std::nullopt, failure.Message()};
    }
}

bool Same(const Reading& a, const Reading& b) {
    if (a.refusal != b.refusal || a.facts.has_value() != b.facts.has_value()) return false;
    if (!a.facts) return true;
    const ProbeFacts& x = *a.facts;
    const ProbeFacts& y = *b.facts;
    return x.source == y.source && x.sampleAspect == y.sampleAspect &&
           x.durationSeconds == y.durationSeconds && x.hasStreams == y.hasStreams &&
           x.hasVideo == y.hasVideo && x.hasSound == y.hasSound && x.videoIndex == y.videoIndex &&
           x.soundIndex == y.soundIndex && x.durationEstimated == y.durationEstimated;
}

std::vector<std::string_view> LinesOf(std::string_view report) {
    report = report.substr(0, report.find('\0'));
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at < report.size()) {
        const std::size_t end = std::min(report.find_first_of("\r\n", at), report.size());
        lines.push_back(report.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Every "WxH" on `line` that a space starts and a space, a comma or the line's end follows, by
// its values (beyond 32 bits: none).
std::vector<Frame> SizesOn(std::string_view line) {
    std::vector<Frame> sizes;
    const auto value = [](std::string_view digits) -> std::optional<std::uint32_t> {
        const std::size_t significant = digits.find_first_not_of('0');
        if (significant == std::string_view::npos) return 0;
        if (digits.size() - significant > 10) return std::nullopt;
        const unsigned long long number =
            std::strtoull(std::string(digits.substr(significant)).c_str(), nullptr, 10);
        if (number > UINT32_MAX) return std::nullopt;
        return static_cast<std::uint32_t>(number);
    };
    for (std::size_t at = 1; at < line.size(); ++at) {
        if (line[at - 1] != ' ') continue;
        const std::size_t x = line.find_first_not_of(kDecimalDigits, at);
        if (x == at || x == std::string_view::npos || line[x] != 'x') continue;
        std::size_t end = line.find_first_not_of(kDecimalDigits, x + 1);
        if (end == std::string_view::npos) end = line.size();
        if (end == x + 1 || (end < line.size() && line[end] != ' ' && line[end] != ',')) continue;
        const auto width = value(line.substr(at, x - at));
        const auto height = value(line.substr(x + 1, end - x - 1));
        if (width && height) sizes.push_back({*width, *height});
    }
    return sizes;
}

// A size found stands as "WxH" on a line that holds a video stream's marks.
std::string CheckSizeOnAStreamLine(std::string_view report, const Frame& source) {
    for (const auto line : LinesOf(report)) {
        const std::size_t stream = line.find("Stream #");
        if (stream == std::string_view::npos || line.find(": Video: ", stream) == line.npos)
            continue;
        for (const Frame& size : SizesOn(line)) {
            if (size == source || (size.width == source.height && size.height == source.width))
                return {};
        }
    }
    return "source frame " + std::to_string(source.width) + "x" + std::to_string(source.height) +
           " stands on no video stream line";
}

constexpr std::string_view kFakeLines =
    "  Stream #0:0: Video: h264, 16x16 [SAR 1:1 DAR 1:1]\nOutput #0, avi, to 'x':\n"
    "  Duration: 01:00:00.00\n";

// Whether the input heading at `heading` is followed, within its section, by its duration.
bool HasDurationAfter(const std::vector<std::string_view>& lines, std::size_t heading) {
    for (std::size_t i = heading + 1; i < lines.size() && lines[i].starts_with(' '); ++i)
        if (lines[i].starts_with("  Duration: ")) return true;
    return false;
}

// What a name or a tag holds never changes what the report says: a warning naming a file
// whose name holds stream lines, put before a heading, and a title tag holding them, put
// after one.
std::string CheckNamesAndTagsChangeNothing(std::string_view report, const Reading& plain) {
    const std::vector<std::string_view> lines = LinesOf(report);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].starts_with("Input #") && !lines[i].starts_with("Output #")) continue;
        const std::size_t at = static_cast<std::size_t>(lines[i].data() - report.data());
        const std::string name = "/v/x'\n" + std::string(kFakeLines) + "y.avi";
        const std::string named = std::string(report.substr(0, at)) + "[avi @ 0x1] " + name +
                                  ": note\n" + std::string(report.substr(at));
        if (!Same(Read(named, {name}), plain))
            return "a name masked before a heading changed the facts";
        const std::size_t next = at + lines[i].size();
        const bool shallowNext = i + 1 == lines.size() || lines[i + 1].find_first_not_of(' ') <= 2;
        if (!shallowNext || next >= report.size()) break;
        // An input's own tags end only at its duration, which the coder always writes: a
        // report without one has no place where a tag could end.
        if (lines[i].starts_with("Input #") && !HasDurationAfter(lines, i)) break;
        std::string tagged = std::string(report.substr(0, next)) + "\n  Metadata:\n    title  : x";
        for (const auto fake : LinesOf(kFakeLines))
            tagged += "\n                    : " + std::string(fake);
        tagged += std::string(report.substr(next));
        if (!Same(Read(tagged), plain)) return "a title tag after a heading changed the facts";
        break;
    }
    return {};
}

}  // namespace

std::string Printable(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 32 && code < 127 && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
            out += escaped;
        }
    }
    return out;
}

std::string CheckWholeNumber(std::string_view text) {
    const std::optional<std::int32_t> expected = ReferenceWholeNumber(text);
    const std::string shown = "'" + Printable(text) + "': ";
    try {
        const std::int32_t value = ParseWholeNumber(text);
        if (!expected) return shown + "accepted as " + std::to_string(value) + ", should fail";
        if (value != *expected)
            return shown + "gives " + std::to_string(value) + ", should give " +
                   std::to_string(*expected);
    } catch (const EConvertError& failure) {
        if (expected) return shown + "refused, should give " + std::to_string(*expected);
        if (!QuotesUnchanged(failure.Message(), text))
            return shown + "refused with the message '" + Printable(failure.Message()) + "'";
    }
    return {};
}

std::string CheckProbeReport(std::string_view report) {
    const Reading plain = Read(report);
    if (!plain.facts) {
        // Only digits beyond 2147483647 on a stream line are refused, quoted unchanged.
        const std::string prefix = "'";
        const std::string suffix = "' is not a valid integer value";
        const std::string& message = plain.refusal;
        if (!message.starts_with(prefix) || !message.ends_with(suffix))
            return "refused with '" + Printable(message) + "'";
        const std::string digits =
            message.substr(prefix.size(), message.size() - prefix.size() - suffix.size());
        if (!AllDigits(digits) || digits.size() < 10 || report.find(digits) == report.npos)
            return "refused digits that are no side in the report: " + Printable(message);
        return CheckNamesAndTagsChangeNothing(report, plain);
    }
    const ProbeFacts& facts = *plain.facts;
    if (facts.durationSeconds &&
        !(std::isfinite(*facts.durationSeconds) && *facts.durationSeconds > 0))
        return "a duration that is not a positive number";
    if (facts.source && !facts.hasVideo) return "a source frame without a video stream";
    if (facts.source) {
        if (std::string problem = CheckSizeOnAStreamLine(report, *facts.source); !problem.empty())
            return problem;
    }
    return CheckNamesAndTagsChangeNothing(report, plain);
}

}  // namespace lmk::fuzz

#include "fuzz_checks.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "failures.h"
#include "probe_report.h"
#include "whole_number.h"

namespace lmk::fuzz {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kDecimalDigits = "0123456789";
constexpr std::string_view kHexDigits = "0123456789abcdefABCDEF";
constexpr std::string_view kLineBreaks = "\r\n\0"sv;

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
std::optional<std::uint32_t> GroupValue(std::string_view digits) {
    const std::size_t significant = digits.find_first_not_of('0');
    if (significant == std::string_view::npos) return 0;
    const std::string trimmed(digits.substr(significant));
    if (trimmed.size() > 10) return std::nullopt;
    const unsigned long long value = std::strtoull(trimmed.c_str(), nullptr, 10);
    if (value > 2147483647u) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of(kDecimalDigits) == std::string_view::npos;
}

std::size_t OffsetIn(std::string_view text, std::string_view part) {
    return static_cast<std::size_t>(part.data() - text.data());
}

std::string CheckMatchShape(std::string_view text, const FrameMatch& match) {
    const auto inside = [&](std::string_view part) {
        return part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size();
    };
    if (!inside(match.width) || !inside(match.height)) return "a group lies outside the text";
    if (!AllDigits(match.width) || !AllDigits(match.height))
        return "a group is not all ASCII digits: '" + Printable(match.width) + "' x '" +
               Printable(match.height) + "'";
    const std::size_t width = OffsetIn(text, match.width);
    const std::size_t height = OffsetIn(text, match.height);
    if (width == 0 || text[width - 1] != ' ' || height != width + match.width.size() + 1 ||
        text[height - 1] != 'x' || match.end != height + match.height.size() + 1)
        return "the groups do not stand as space, digits, x, digits, space";
    if (match.end > text.size() || text.substr(match.end - 1, 1) != " ")
        return "the match does not end just past a space";
    return {};
}

// libstdc++'s ECMAScript "." refuses only '\n' and '\r' for char (its _AnyMatcher also refuses
// U+2028 and U+2029, but only for wider character types), and "\d" in the classic locale holds
// the ASCII digits alone. The comma text holds neither line break, so the pattern reads here
// exactly as the search intends it; the invariants above make sure of that before comparing.
std::string CompareWithRegex(std::string_view text, const std::optional<FrameMatch>& match) {
    static const std::regex pattern("Stream #.*?: Video: .*? (\\d+?)x(\\d+?) ",
                                    std::regex::ECMAScript);
    std::match_results<std::string_view::const_iterator> found;
    const bool matched = std::regex_search(text.begin(), text.end(), found, pattern);
    if (matched != match.has_value())
        return matched ? "std::regex matches '" + Printable(found.str(1)) + "' x '" +
                             Printable(found.str(2)) + "' where the search found nothing"
                       : "the search found '" + Printable(match->width) + "' x '" +
                             Printable(match->height) + "' where std::regex finds nothing";
    if (!matched) return {};
    const auto at = [&](int group) {
        return static_cast<std::size_t>(found[group].first - text.begin());
    };
    if (at(1) != OffsetIn(text, match->width) || found.length(1) != std::ssize(match->width) ||
        at(2) != OffsetIn(text, match->height) || found.length(2) != std::ssize(match->height) ||
        static_cast<std::size_t>(found[0].second - text.begin()) != match->end)
        return "groups differ: std::regex '" + Printable(found.str(1)) + "' x '" +
               Printable(found.str(2)) + "' at " + std::to_string(at(1)) + ", search '" +
               Printable(match->width) + "' x '" + Printable(match->height) + "' at " +
               std::to_string(OffsetIn(text, match->width));
    return {};
}

struct Groups {
    std::string width;
    std::string height;
};

// The stream-line reading done another way: the first line on which "Stream #" comes before
// ": Video: ", then std::regex's leftmost " (\d+)x(\d+)" after it that a space, a comma or the
// line's end follows.
std::optional<Groups> ReferenceLineSize(std::string_view report) {
    static const std::regex size(" (\\d+)x(\\d+)(?=[ ,]|$)", std::regex::ECMAScript);
    for (const auto& line : SplitReportLines(report)) {
        const std::size_t stream = line.find("Stream #");
        if (stream == std::string::npos) continue;
        const std::size_t video = line.find(": Video: ", stream);
        if (video == std::string::npos) continue;
        if (line.find("(attached pic)", video) != std::string::npos) continue;  // a cover
        const std::string rest = line.substr(video + 9);
        std::smatch found;
        if (!std::regex_search(rest, found, size)) return std::nullopt;
        return Groups{found.str(1), found.str(2)};
    }
    return std::nullopt;
}

// The whole path as the job takes it: the fixed search's groups where it matches, else the
// first video stream line's size (checked against std::regex on small reports); no size gives
// no frame, a size gives its values (turned pictures swap them), and a group beyond 2147483647
// is refused quoting it.
// True when the stream description holding `at` in the comma text is a cover picture's.
bool OnCover(std::string_view text, std::size_t at) {
    const std::size_t start = text.rfind("Stream #", at);
    if (start == std::string_view::npos) return false;
    const std::size_t end = std::min(text.find("Stream #", at), text.size());
    const std::size_t cover = text.find("(attached pic)", start);
    return cover != std::string_view::npos && cover < end;
}

std::string CheckProbeFacts(std::string_view report, std::optional<FrameMatch> match) {
    // A size on a cover picture's line does not stand.
    if (match && OnCover(CommaTextFromReport(report), match->end)) match.reset();
    const bool checkLine = !match && report.size() <= kRegexReportLimit;
    std::optional<Groups> groups;
    if (match) groups = Groups{std::string(match->width), std::string(match->height)};
    if (checkLine) groups = ReferenceLineSize(report);
    std::optional<std::uint32_t> width, height;
    if (groups) {
        width = GroupValue(groups->width);
        height = GroupValue(groups->height);
    }
    try {
        const ProbeFacts facts = ProbeFactsFromReport(report);
        if (facts.durationSeconds &&
            !(std::isfinite(*facts.durationSeconds) && *facts.durationSeconds > 0))
            return "a duration that is not a positive number";
        if (!match && !checkLine) return {};
        if (!groups) return facts.source ? "a source frame without a size in the report" : "";
        if (!width || !height) return "a group beyond 2147483647 was accepted";
        if (!facts.source) return "no source frame although the report gives a size";
        const Frame& source = *facts.source;
        const bool asFound = source.width == *width && source.height == *height;
        const bool swapped = source.width == *height && source.height == *width;
        if (!asFound && !swapped)
            return "source frame " + std::to_string(source.width) + "x" +
                   std::to_string(source.height) + " is not the groups' " + std::to_string(*width) +
                   "x" + std::to_string(*height);
    } catch (const EConvertError& failure) {
        if (!match && !checkLine) return {};
        if (!groups) return "refused without a size: " + Printable(failure.Message());
        const std::string_view quoted = !width ? groups->width : groups->height;
        if (width && height) return "refused a size within range: " + Printable(failure.Message());
        if (!QuotesUnchanged(failure.Message(), quoted))
            return "refusal message '" + Printable(failure.Message()) + "' does not quote '" +
                   Printable(quoted) + "'";
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
    const std::vector<std::string> lines = SplitReportLines(report);
    for (const auto& line : lines) {
        if (line.find_first_of(kLineBreaks) != std::string::npos)
            return "a line holds CR, LF or NUL: '" + Printable(line) + "'";
    }
    const std::string text = JoinCommaText(lines);
    if (text.find_first_of(kLineBreaks) != std::string::npos)
        return "the comma text holds CR, LF or NUL: '" + Printable(text) + "'";
    if (CommaTextFromReport(report) != text)
        return "the one-pass comma text differs from split then join: '" + Printable(text) + "'";

    const std::optional<FrameMatch> match = FindSourceFrame(text);
    if (match) {
        if (std::string problem = CheckMatchShape(text, *match); !problem.empty()) return problem;
    }
    if (report.size() <= kRegexReportLimit) {
        if (std::string problem = CompareWithRegex(text, match); !problem.empty())
            return problem + " in the comma text '" + Printable(text) + "'";
    }
    return CheckProbeFacts(report, match);
}

}  // namespace lmk::fuzz

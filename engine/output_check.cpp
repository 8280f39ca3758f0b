#include "output_check.h"

#include <cmath>

#include "probe_report.h"

namespace lmk {
namespace {

constexpr std::string_view kOutputMark = "Output #";
constexpr double kShortShare = 0.02;
constexpr double kShortSeconds = 1.0;

std::optional<std::uint32_t> Side(std::string_view digits) {
    std::uint64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string FrameText(const Frame& frame) {
    return std::to_string(frame.width) + "x" + std::to_string(frame.height);
}

}  // namespace

std::optional<Frame> PrintedOutputFrame(std::string_view printed) {
    const std::size_t output = printed.find(kOutputMark);
    if (output == std::string_view::npos) return std::nullopt;
    const auto match = FindStreamLineFrame(printed.substr(output));
    if (!match) return std::nullopt;
    const auto width = Side(match->width);
    const auto height = Side(match->height);
    if (!width || !height) return std::nullopt;
    return Frame{*width, *height};
}

std::optional<double> LastProgressTime(std::string_view printed) {
    const std::size_t at = printed.rfind(kTimeMark);
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view value = printed.substr(at + kTimeMark.size());
    if (value.starts_with("N/A")) return 0.0;
    return CoderClockAt(value);
}

std::optional<double> CoderClockAt(std::string_view text) {
    // A clock cut off by the end of what was read tells nothing.
    const std::size_t end = text.find_first_not_of("0123456789:.");
    if (end == std::string_view::npos) return std::nullopt;
    return ParseClockTime(text.substr(0, end));
}

std::string ClockText(double seconds) {
    const auto whole = static_cast<long long>(std::floor(std::max(seconds, 0.0)));
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long rest = whole % 60;
    const auto two = [](long long value) {
        std::string text = std::to_string(value);
        if (value < 10) text.insert(0, 1, '0');
        return text;
    };
    return hours > 0 ? std::to_string(hours) + ":" + two(minutes) + ":" + two(rest)
                     : std::to_string(minutes) + ":" + two(rest);
}

OutputVerdict CheckOutput(const FileStatus& output, const std::string& outputName,
                          std::string_view head, std::string_view tail,
                          const OutputExpectation& expected) {
    // The program makes the file empty for the coder: empty is not written.
    if (output.kind != FileKind::Regular || output.size == 0)
        return {OutputVerdict::Bad, "кодер не записал файл " + outputName};
    // Only a size the coder shows counts against it: its description may lie beyond the head.
    if (expected.frame) {
        if (const auto shown = PrintedOutputFrame(head); shown && !(*shown == *expected.frame)) {
            return {OutputVerdict::Bad, "кадр файла " + outputName + " " + FrameText(*shown) +
                                            " вместо " + FrameText(*expected.frame)};
        }
    }
    return CheckLength(LastProgressTime(tail), expected);
}

OutputVerdict CheckLength(std::optional<double> reached, const OutputExpectation& expected) {
    if (!expected.duration || !reached) return {};
    const double allowed = std::max(*expected.duration * kShortShare, kShortSeconds);
    if (*reached < *expected.duration - allowed) {
        return {OutputVerdict::Short,
                "сконвертировано " + ClockText(*reached) + " из " + ClockText(*expected.duration)};
    }
    return {};
}

}  // namespace lmk

#include "output_check.h"

#include <cmath>

#include "said.h"

namespace lmk {
namespace {

constexpr double kShortShare = 0.02;
constexpr double kShortSeconds = 1.0;

std::string FrameText(const Frame& frame) {
    return std::to_string(frame.width) + "x" + std::to_string(frame.height);
}

}  // namespace

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

OutputVerdict CheckOutputFile(const FileStatus& output, const std::string& outputName) {
    // The program makes the file empty for the coder: empty is not written.
    if (output.kind != FileKind::Regular || output.size == 0)
        return {OutputVerdict::Bad, Filled(Said("Job", "кодер не записал файл %1"), {outputName})};
    return {};
}

OutputVerdict CheckFrame(const ProbeFacts& written, const std::string& outputName,
                         const OutputExpectation& expected) {
    if (!expected.video || !written.hasVideo) return {};
    std::optional<Frame> asked = expected.frame;
    if (!asked && expected.target && written.source) {
        asked = *written.source;
        FitFrame(*asked, *expected.target);
    }
    if (!asked && !expected.target) return {};
    if (!written.source)
        return {OutputVerdict::Bad,
                Filled(Said("Job", "кадр файла %1 неизвестного размера"), {outputName})};
    if (!(*written.source == *asked)) {
        return {OutputVerdict::Bad,
                Filled(Said("Job", "кадр файла %1 %2 вместо %3"),
                       {outputName, FrameText(*written.source), FrameText(*asked)})};
    }
    if (expected.frame && IsNonSquare(written.sampleAspect)) {
        return {OutputVerdict::Bad,
                Filled(Said("Job", "пиксели файла %1 не квадратные (SAR %2:%3)"),
                       {outputName, std::to_string(written.sampleAspect.num),
                        std::to_string(written.sampleAspect.den)})};
    }
    return {};
}

OutputVerdict CheckLength(std::optional<double> reached, const OutputExpectation& expected) {
    if (!expected.duration || !reached) return {};
    const double allowed = std::max(*expected.duration * kShortShare, kShortSeconds);
    if (*reached < *expected.duration - allowed) {
        return {OutputVerdict::Short, Filled(Said("Job", "сконвертировано %1 из %2"),
                                             {ClockText(*reached), ClockText(*expected.duration)})};
    }
    return {};
}

}  // namespace lmk

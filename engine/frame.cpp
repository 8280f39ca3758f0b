#include "frame.h"

#include <algorithm>
#include <cmath>

#include "failures.h"
#include "said.h"
#include "whole_number.h"

namespace lmk {
namespace {

constexpr std::uint32_t kLeastSide = 2;

// The product wraps at 32 bits as the original arithmetic did; the quotient is rounded half to
// even, the default floating-point rounding mode.
std::uint32_t ScaledSide(std::uint32_t side, std::uint32_t targetSide, std::uint32_t divisor) {
    const std::uint32_t product = side * targetSide;
    const auto scaled = static_cast<std::uint32_t>(
        std::nearbyint(static_cast<double>(product) / static_cast<double>(divisor)));
    // A very thin frame would round to nothing, which no encoder takes.
    return std::max(scaled, kLeastSide);
}

std::uint32_t EvenSide(std::uint32_t side) {
    if (side % 2 == 0) return side;
    return std::max<std::uint32_t>(side - 1, kLeastSide);
}

// A text that is no whole number raises EConvertError, as every reading of the boxes does; a
// number no frame can take is refused by the side's name.
std::string SideProblem(const std::string& text, const std::string& name) {
    if (ParseWholeNumber(text) > 0) return {};
    return Filled(Said("Job", "%1: «%2» — нужно целое число больше нуля"), {name, text});
}

}  // namespace

void FitFrame(Frame& source, const Frame& target) {
    if (source.width <= target.width && source.height <= target.height) return;
    if (source.width > source.height) {
        source.height = ScaledSide(source.height, target.width, source.width);
        source.width = target.width;
    } else {
        source.width = ScaledSide(source.width, target.height, source.height);
        source.height = target.height;
    }
}

Frame EvenSides(const Frame& frame) {
    return {EvenSide(frame.width), EvenSide(frame.height)};
}

bool IsNonSquare(const Ratio& sampleAspect) {
    return sampleAspect.num != 0 && sampleAspect.den != 0 && sampleAspect.num != sampleAspect.den;
}

Frame ShownFrame(const Frame& source, const Ratio& sampleAspect, bool turned) {
    if (!IsNonSquare(sampleAspect)) return source;
    Frame shown = source;
    std::uint32_t& stored = turned ? shown.height : shown.width;
    const double side = std::nearbyint(static_cast<double>(stored) * sampleAspect.num /
                                       static_cast<double>(sampleAspect.den));
    stored = static_cast<std::uint32_t>(std::clamp(side, 1.0, 4294967295.0));
    return shown;
}

Frame ReadTargetFrame(const std::string& widthText, const std::string& heightText) {
    Frame target;
    target.width = static_cast<std::uint32_t>(ParseWholeNumber(widthText));
    target.height = static_cast<std::uint32_t>(ParseWholeNumber(heightText));
    return target;
}

TargetReading ReadTarget(const std::string& widthText, const std::string& heightText,
                         const std::string& widthName, const std::string& heightName) {
    TargetReading reading;
    reading.problem = SideProblem(widthText, widthName);
    if (reading.problem.empty()) reading.problem = SideProblem(heightText, heightName);
    if (reading.problem.empty()) reading.frame = ReadTargetFrame(widthText, heightText);
    return reading;
}

}  // namespace lmk

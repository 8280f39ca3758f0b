#include "frame.h"

#include <algorithm>
#include <cmath>

#include "whole_number.h"

namespace lmk {
namespace {

// The product wraps at 32 bits as the original arithmetic did; the quotient is rounded half to
// even, the default floating-point rounding mode.
std::uint32_t ScaledSide(std::uint32_t side, std::uint32_t targetSide, std::uint32_t divisor) {
    const std::uint32_t product = side * targetSide;
    return static_cast<std::uint32_t>(
        std::nearbyint(static_cast<double>(product) / static_cast<double>(divisor)));
}

std::uint32_t EvenSide(std::uint32_t side) {
    if (side % 2 == 0) return side;
    return std::max<std::uint32_t>(side - 1, 2);
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

Frame ReadTargetFrame(const std::string& widthText, const std::string& heightText) {
    Frame target;
    target.width = static_cast<std::uint32_t>(ParseWholeNumber(widthText));
    target.height = static_cast<std::uint32_t>(ParseWholeNumber(heightText));
    return target;
}

}  // namespace lmk

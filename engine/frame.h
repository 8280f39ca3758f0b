#pragma once

#include <cstdint>
#include <string>

namespace lmk {

struct Frame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const Frame&) const = default;
};

// A pixel's width to its height; 0:0 when none is stated.
struct Ratio {
    std::uint32_t num = 0;
    std::uint32_t den = 0;
    bool operator==(const Ratio&) const = default;
};

// Scales a source larger than the target down, keeping proportions; never enlarges.
void FitFrame(Frame& source, const Frame& target);

// Odd sides are lowered by one (never below 2): most encoders refuse odd 4:2:0 frames.
Frame EvenSides(const Frame& frame);

// Width and height from the two target texts, each through ParseWholeNumber, width first.
Frame ReadTargetFrame(const std::string& widthText, const std::string& heightText);

}  // namespace lmk

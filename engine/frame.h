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

// Leaves a source within the target as it is; scales any other, keeping proportions, to the
// target's width when it is wider than tall, else to its height. The other side may come out
// above the target, and a side may grow (300x200 into 320x100 gives 320x213). A scaled side
// never comes out below 2.
void FitFrame(Frame& source, const Frame& target);

// Odd sides are lowered by one (never below 2): most encoders refuse odd 4:2:0 frames.
Frame EvenSides(const Frame& frame);

// True for a stated pixel shape other than square.
bool IsNonSquare(const Ratio& sampleAspect);

// The frame as a player shows it: `source` (upright) with the stored width, which is the
// upright height of a `turned` picture, times the sample aspect, rounded half to even.
Frame ShownFrame(const Frame& source, const Ratio& sampleAspect, bool turned);

// Width and height from the two target texts, each through ParseWholeNumber, width first.
Frame ReadTargetFrame(const std::string& widthText, const std::string& heightText);

struct TargetReading {
    Frame frame;
    std::string problem;  // empty when both sides are whole numbers above 0
};

// The target for one file; a side that is no whole number above 0 gives a problem naming it by
// `widthName` or `heightName`, width first.
TargetReading ReadTarget(const std::string& widthText, const std::string& heightText,
                         const std::string& widthName, const std::string& heightName);

}  // namespace lmk

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coder_printout.h"
#include "frame.h"

namespace lmk {

class Files;

struct ProbeFacts {
    std::optional<Frame> source;            // sides swapped for a turned picture
    Ratio sampleAspect;                     // of the stored frame; 0:0 when none is stated
    bool turned = false;                    // turned by an odd multiple of 90 degrees
    std::optional<double> durationSeconds;  // for the progress figure and the check
    bool durationEstimated = false;         // from the bitrate: the check cannot rely on it
    bool hasStreams = false;                // any stream line at all
    bool hasVideo = false;                  // a video stream other than a cover picture
    std::string pixelFormat;                // of that video stream, as the report names it
    std::string videoCodec;                 // of that video stream: "h264", "hevc"...
    // Its bits per stored pixel and frame: the stream's bitrate, else the whole file's; none
    // when either rate is unknown.
    std::optional<double> bitsPerPixel;
    bool hasSound = false;
    std::optional<unsigned> soundRate;  // of the sound stream taken, in Hz
    // The streams the coder takes when none is named to it ("0:N"), and how many it could
    // choose from: a cover picture counts among the video streams.
    std::optional<unsigned> videoIndex;
    std::optional<unsigned> soundIndex;
    unsigned videoStreams = 0;
};

// What the input's part of a printout says. Raises EConvertError for a size beyond 2147483647.
ProbeFacts ProbeFactsFromPrintout(const CoderPrintout& printout);

// The same, read from the report's bytes with `names` masked.
ProbeFacts ProbeFactsFromReport(std::string_view report,
                                const std::vector<std::string>& names = {});

// The frame size arguments for a file whose facts are `facts`, and the size they ask for.
struct FrameArguments {
    std::vector<std::string> arguments;
    Frame size;  // in square pixels
};

// The source's frame as shown, fitted into `target` with even sides. The one video stream
// fitted is named to the coder when it could choose another, with the sound stream it would
// take; the pixels come out square.
std::optional<FrameArguments> FrameArgumentsFor(const ProbeFacts& facts, const Frame& target);

}  // namespace lmk

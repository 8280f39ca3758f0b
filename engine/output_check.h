#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "coder_printout.h"
#include "frame.h"
#include "job_ports.h"

// Whether a conversion the coder ended well gave what was asked for, judged from the output file
// and from what the coder printed, without another run of the coder.
namespace lmk {

// What the conversion was asked to give.
struct OutputExpectation {
    std::optional<Frame> frame;      // the size asked for, when one was
    bool squarePixels = false;       // asked for, of a source whose pixels are not square
    std::optional<double> duration;  // the input's, in seconds, when its report gives it for sure
    bool video = false;              // a picture: the input has one
    bool sound = false;              // the input has sound
};

struct OutputVerdict {
    enum Kind {
        Whole,  // as asked
        Short,  // whole as far as the input went: kept, and reported
        Bad,    // deleted like a failed conversion
    } kind = Whole;
    std::string reason;
};

// "m:ss", or "h:mm:ss" from an hour on; whole seconds, rounded down.
std::string ClockText(double seconds);

// Short when `reached` seconds fall clearly below the expected duration; Whole otherwise.
OutputVerdict CheckLength(std::optional<double> reached, const OutputExpectation& expected);

// `printed`: what the coder printed while converting, read at its ends (the output's
// description comes before its progress). `outputName` names the output in the reason.
OutputVerdict CheckOutput(const FileStatus& output, const std::string& outputName,
                          const CoderPrintout& printed, const OutputExpectation& expected);

}  // namespace lmk

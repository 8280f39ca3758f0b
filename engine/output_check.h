#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "frame.h"
#include "job_ports.h"
#include "probe_report.h"

// Whether a conversion the coder ended well gave what was asked for, judged from the output file
// and from what it holds: by the coder's description of it or by reading it back.
namespace lmk {

// What the conversion was asked to give.
struct OutputExpectation {
    std::optional<Frame> frame;  // the size asked for, in square pixels, when one was
    // A picture whose size the probe did not give: it must come out needing no fit into this.
    std::optional<Frame> target;
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

// Bad when the coder left no file, or an empty one. `outputName` names it in the reason.
OutputVerdict CheckOutputFile(const FileStatus& output, const std::string& outputName);

// Bad when the picture `written` holds is not of the size asked for, or not in square pixels.
OutputVerdict CheckFrame(const ProbeFacts& written, const std::string& outputName,
                         const OutputExpectation& expected);

}  // namespace lmk

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame.h"

// What the coder printed, read once by the line starts it writes: its description of each input
// and output file (heading, metadata, duration, programmes, stream lines and their details), the
// stream mapping, its progress lines, and every other line (warnings and errors). The names the
// program passed are masked before reading, so a name, like a tag, never passes for the coder's
// own words.
namespace lmk {

class Files;

// The start and the end of a printout too long to read whole; what lies between is never read.
struct PrintedEnds {
    std::string head;
    std::string tail;
    bool gap = false;  // false: `head` is the whole printout and `tail` is empty
};

// Reads the printout at `path` whole when it holds at most `headLimit` + `tailLimit` bytes,
// else its first `headLimit` and last `tailLimit` bytes. When `required`, a printout that is
// not there raises EFOpenError as Files::ReadAll does; else it reads as empty.
PrintedEnds ReadPrintedEnds(Files& files, const std::string& path, std::size_t headLimit,
                            std::size_t tailLimit, bool required);

struct PrintedStream {
    bool output = false;         // described under "Output #"
    unsigned file = 0;           // N of "Stream #N:M"
    unsigned index = 0;          // M: the stream's number in its file
    std::string kind;            // "Video", "Audio", "Subtitle", "Data", "Attachment"
    std::string description;     // what follows "KIND: ", names masked
    bool cover = false;          // "(attached pic)"
    bool isDefault = false;      // "(default)"
    std::optional<Frame> size;   // the stored frame
    std::string sizeDigits;      // the digits of a side beyond 2147483647, when one is
    Ratio sampleAspect;          // 0:0 when none is stated
    bool turnedQuarter = false;  // its side data turns the picture by an odd multiple of 90°
    std::string pixelFormat;
    std::optional<unsigned> bitrate;    // in kbit/s, when the stream states its own
    std::optional<double> frameRate;    // "fps"
    std::optional<unsigned> soundRate;  // in Hz
    unsigned channels = 0;
};

// One line of the printout outside the files' descriptions: warnings, errors, progress,
// closing words. `text` holds the names as printed, `masked` the same line with them masked.
struct OtherLine {
    std::string text;
    std::string masked;
    bool progress = false;  // "frame=..." or "size=..."
};

struct CoderPrintout {
    std::vector<PrintedStream> streams;      // in the order printed, inputs' and outputs' alike
    std::vector<OtherLine> others;           // in the order printed
    std::optional<double> inputDuration;     // the first input's "Duration: ", when positive
    std::optional<unsigned> inputBitrate;    // its "bitrate: ", in kbit/s
    std::string inputFormat;                 // the first input's demuxer ("image2")
    bool durationEstimated = false;          // the coder said it estimated it from the bitrate
    std::optional<double> lastProgressTime;  // "time=" of the last progress line; N/A gives 0
    bool anyInput = false;                   // an "Input #" heading was read

    // The video stream the coder takes of the first input when none is named to it: the
    // largest frame, a default one first, never a cover picture; none when there is none.
    const PrintedStream* ChosenVideo() const;
    // The sound stream it takes: the most channels, a default one first.
    const PrintedStream* ChosenSound() const;
    // The first video stream line of the first output that is no cover picture.
    const PrintedStream* OutputVideo() const;
};

// Length of a leading "[name @ 0x...] ", the prefix of a library's message, or 0.
std::size_t LogPrefixLength(std::string_view line);
// The line without such prefixes.
std::string_view WithoutLogPrefixes(std::string_view line);

// The "time=" of one of the coder's progress lines ("frame=..." or "size=..." at the line's
// start; N/A counts as 0), or nothing for any other line.
std::optional<double> ProgressTime(std::string_view line);

// `name` as the coder's log prints it: control bytes other than \b, \t, \n, \v, \f and \r
// become '?'.
std::string AsPrinted(std::string_view name);

// Reads `head` and, after a gap when `gap` is set, `tail`; a line cut by either read limit is
// dropped. Every occurrence of each of `names`, as given and as printed, is masked first.
// `oneInput`: the printout describes one input and nothing else (a probe's), so the tail goes
// on with the head's description.
CoderPrintout ReadCoderPrintout(std::string_view head, std::string_view tail,
                                const std::vector<std::string>& names, bool gap,
                                bool oneInput = false);

inline CoderPrintout ReadCoderPrintout(std::string_view printed,
                                       const std::vector<std::string>& names = {}) {
    return ReadCoderPrintout(printed, {}, names, false);
}

inline CoderPrintout ReadCoderPrintout(const PrintedEnds& ends,
                                       const std::vector<std::string>& names,
                                       bool oneInput = false) {
    return ReadCoderPrintout(ends.head, ends.tail, names, ends.gap, oneInput);
}

// "hh:mm:ss.xx" at the start of `text`, in seconds.
std::optional<double> ParseClockTime(std::string_view text);

}  // namespace lmk

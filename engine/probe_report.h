#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame.h"

namespace lmk {

class Files;

// CR LF, LF and CR each end a line; a NUL ends the report.
std::vector<std::string> SplitReportLines(std::string_view report);

// The lines joined by commas, each quoted when it holds a space, control character, quote or
// comma (quotes inside doubled).
std::string JoinCommaText(const std::vector<std::string>& lines);

// JoinCommaText(SplitReportLines(report)) in one pass, without the list of lines.
std::string CommaTextFromReport(std::string_view report);

struct FrameMatch {
    std::string_view width;   // group 1
    std::string_view height;  // group 2
    std::size_t end = 0;      // just past the space after the height
};

// The leftmost match of "Stream #.*?: Video: .*? (\d+?)x(\d+?) ", found in one linear pass.
std::optional<FrameMatch> FindSourceFrame(std::string_view commaText);

// The size on the first video stream line of a report ("Stream #" and then ": Video: " on one
// line) that is no cover picture ("(attached pic)"): the first " WxH" after ": Video: " that a
// space, a comma or the line's end follows. For the many stream lines whose size a comma follows,
// where the fixed search finds nothing.
std::optional<FrameMatch> FindStreamLineFrame(std::string_view report);

// True when the text after a match, up to the next "Stream #", marks the picture as turned by
// an odd multiple of 90 degrees.
bool IsTurnedQuarter(std::string_view commaText, std::size_t from);

// "hh:mm:ss.xx" at the start of `text`, in seconds.
std::optional<double> ParseClockTime(std::string_view text);

// The input's length in seconds from the "Duration: hh:mm:ss.xx" of a report, if known.
std::optional<double> ReportDuration(std::string_view report);

struct ProbeFacts {
    std::optional<Frame> source;            // sides swapped for a turned picture
    std::optional<double> durationSeconds;  // for the progress figure and the check
    bool durationEstimated = false;         // from the bitrate: the check cannot rely on it
    bool hasStreams = false;                // any stream line at all
    bool hasVideo = false;                  // a video stream other than a cover picture
    std::string pixelFormat;                // of that video stream, as the report names it
    bool hasSound = false;
    std::optional<unsigned> soundRate;  // of the first sound stream, in Hz
};

// What the report's bytes say. Raises EConvertError for a size beyond 2147483647.
ProbeFacts ProbeFactsFromReport(std::string_view report);

// Reads the probe report at `reportPath`. Raises EFOpenError and EConvertError.
ProbeFacts ReadSourceFrame(Files& files, const std::string& reportPath);

}  // namespace lmk

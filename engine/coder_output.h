#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "coder_printout.h"

// What the coder printed while converting, read for the line a user can act on.
namespace lmk {

// What follows reads the lines of `printed` outside the files' descriptions, with the names as
// printed: a description, and a name, never passes for a cause.

// The line in which a coder that exits 0 all the same says it could not write its output
// (a full disk), or empty. The marks count only at the start of a line, after an optional
// "[name @ 0x...] " prefix.
std::string CoderWriteError(const CoderPrintout& printed);

// The coder's most specific error line, or empty when it printed nothing: its closing words
// ("Conversion failed!", "Error opening output files: ...", a bare "path: Invalid argument" for
// one of `paths`, and the like) give way to the line above that names the cause.
std::string CoderFailureReason(const CoderPrintout& printed, const std::vector<std::string>& paths);

// A coder line as the log shows it: without FFmpeg's "[name @ 0x...] " prefix, and with each
// of `paths` shortened to its file name (the log line names the file already).
std::string ShownCoderLine(std::string_view line, const std::vector<std::string>& paths);

// The coder's last "Error while decoding stream ..." line, or empty.
std::string CoderDecodingError(const CoderPrintout& printed);

// True when the coder says it could decode nothing of an input stream.
bool SaysInputUndecodable(const CoderPrintout& printed);

// True when the coder's line says that `output` cannot be written at all ("PATH: Permission
// denied", "File name too long"): no other container would fare better.
bool SaysOutputUnwritable(std::string_view line, const std::string& output);

// ShownCoderLine without a leading "INPUT: ": the failure line names the file already.
std::string ShownReason(std::string_view line, const std::string& input,
                        const std::vector<std::string>& paths);

}  // namespace lmk

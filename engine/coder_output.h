#pragma once

#include <string>
#include <string_view>
#include <vector>

// What the coder printed while converting, read for the line a user can act on.
namespace lmk {

// The line in which a coder that exits 0 all the same says it could not write its output
// (a full disk), or empty. The marks count only at the start of a line, after an optional
// "[name @ 0x...] " prefix: a file's name may hold them too.
std::string CoderWriteError(std::string_view output);

// The coder's most specific error line, or empty when it printed nothing: its closing words
// ("Conversion failed!", "Error opening output files: ...", a bare "path: Invalid argument" for
// one of `paths`, and the like) give way to the line above that names the cause.
std::string CoderFailureReason(std::string_view output, const std::vector<std::string>& paths);

// A coder line as the log shows it: without FFmpeg's "[name @ 0x...] " prefix, and with each
// of `paths` shortened to its file name (the log line names the file already).
std::string ShownCoderLine(std::string_view line, const std::vector<std::string>& paths);

// The coder's last "Error while decoding stream ..." line, or empty.
std::string CoderDecodingError(std::string_view output);

// True when the coder says it could decode nothing of an input stream.
bool SaysInputUndecodable(std::string_view output);

// True when the coder's line says that `output` cannot be written at all ("PATH: Permission
// denied", "File name too long"): no other container would fare better.
bool SaysOutputUnwritable(std::string_view line, const std::string& output);

// ShownCoderLine without a leading "INPUT: ": the failure line names the file already.
std::string ShownReason(std::string_view line, const std::string& input,
                        const std::vector<std::string>& paths);

}  // namespace lmk

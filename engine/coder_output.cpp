#include "coder_output.h"

#include <algorithm>
#include <array>

namespace lmk {
namespace {

using Lines = std::vector<std::string_view>;

std::string_view Trimmed(std::string_view line) {
    while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ') line.remove_suffix(1);
    while (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ') line.remove_prefix(1);
    return line;
}

// The lines outside the descriptions, trimmed, the empty ones left out.
Lines PrintedLines(const CoderPrintout& printed) {
    Lines lines;
    for (const auto& other : printed.others)
        if (const std::string_view line = Trimmed(other.text); !line.empty()) lines.push_back(line);
    return lines;
}

bool IsProgress(std::string_view line) {
    return line.starts_with("frame=") || line.starts_with("size=") || line.starts_with("video:");
}

// What an encoder says of itself as it opens (x264 before the output's description).
bool IsEncoderNote(std::string_view line) {
    static constexpr std::array<std::string_view, 4> kNotes = {
        "using SAR=", "using cpu capabilities", "profile ", "264 - core "};
    if (!LogPrefixLength(line)) return false;
    const std::string_view text = WithoutLogPrefixes(line);
    for (const auto note : kNotes)
        if (text.starts_with(note)) return true;
    return false;
}

// What the coder says on its way out whatever went wrong, and warnings that come after the
// cause; none of it names the cause.
bool IsClosingWords(std::string_view line, const std::vector<std::string>& paths) {
    static constexpr std::array<std::string_view, 10> kOpenings = {
        "At least one output file must be specified",
        "Error marking filters as finished",
        "Error while processing the decoded data",
        "Conversion failed!",
        "Error opening output file",
        "Error opening input file",
        "Error initializing output stream",
        "Could not write header for output file",
        "Error while opening encoder",
        "Exiting normally",
    };
    const std::string_view text = WithoutLogPrefixes(line);
    for (const auto opening : kOpenings)
        if (text.starts_with(opening)) return true;
    if (text.ends_with("frames left in the queue on closing")) return true;
    for (const auto& path : paths)
        if (text.starts_with(path) && text.substr(path.size()) == ": Invalid argument") return true;
    return false;
}

bool NamesOneOf(std::string_view line, const std::vector<std::string>& paths) {
    for (const auto& path : paths)
        if (line.starts_with(path) && line.substr(path.size()).starts_with(": ")) return true;
    return false;
}

}  // namespace

std::string CoderWriteError(const CoderPrintout& printed) {
    static constexpr std::array<std::string_view, 3> kMarks = {
        "Error writing trailer", "Error closing file", "av_interleaved_write_frame(): "};
    const Lines lines = PrintedLines(printed);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const std::string_view text = WithoutLogPrefixes(*line);
        for (const auto mark : kMarks)
            if (text.starts_with(mark)) return std::string(*line);
    }
    return {};
}

std::string CoderFailureReason(const CoderPrintout& printed,
                               const std::vector<std::string>& paths) {
    Lines lines = PrintedLines(printed);
    // An encoder's statistics follow the last progress line.
    const auto summary = std::find_if(lines.rbegin(), lines.rend(), IsProgress);
    if (summary != lines.rend()) {
        const auto after = summary.base();
        lines.erase(std::remove_if(after, lines.end(),
                                   [](std::string_view line) { return LogPrefixLength(line) > 0; }),
                    lines.end());
    }
    std::size_t i = lines.size();
    while (i > 0 && (IsProgress(lines[i - 1]) || IsClosingWords(lines[i - 1], paths) ||
                     IsEncoderNote(lines[i - 1])))
        --i;
    if (i == 0) return lines.empty() ? std::string() : std::string(lines.back());
    std::string_view cause = lines[i - 1];
    // A line of its own after a library's message goes on with that message ("Valid sizes
    // are ..."); the library's line names the cause. A "path: reason" line is the coder's own.
    // The coder's own "Error ..." lines say the cause themselves.
    if (!LogPrefixLength(cause) && !NamesOneOf(cause, paths) && !cause.starts_with("Error ") &&
        i > 1 && LogPrefixLength(lines[i - 2]) && !IsClosingWords(lines[i - 2], paths))
        cause = lines[i - 2];
    return std::string(cause);
}

std::string ShownCoderLine(std::string_view line, const std::vector<std::string>& paths) {
    std::string shown(WithoutLogPrefixes(line));
    // Longest first: an output "lmk-x.avi.mp4" holds the path of "lmk-x.avi".
    std::vector<std::string> longestFirst = paths;
    std::sort(longestFirst.begin(), longestFirst.end(),
              [](const auto& a, const auto& b) { return a.size() > b.size(); });
    for (const auto& path : longestFirst) {
        const std::size_t slash = path.rfind('/');
        if (path.empty() || slash == std::string::npos) continue;
        const std::string name = path.substr(slash + 1);
        for (std::size_t at = 0; (at = shown.find(path, at)) != std::string::npos;) {
            shown.replace(at, path.size(), name);
            at += name.size();
        }
    }
    return shown;
}

}  // namespace lmk

namespace lmk {

std::string CoderDecodingError(const CoderPrintout& printed) {
    const Lines lines = PrintedLines(printed);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        if (line->starts_with("Error while decoding stream")) return std::string(*line);
    return {};
}

bool SaysInputUndecodable(const CoderPrintout& printed) {
    for (const auto& other : printed.others)
        if (WithoutLogPrefixes(other.masked).starts_with("Cannot determine format of input stream"))
            return true;
    return false;
}

bool SaysOutputUnwritable(std::string_view line, const std::string& output) {
    const std::string_view text = WithoutLogPrefixes(line);
    if (!text.starts_with(output) || !text.substr(output.size()).starts_with(": ")) return false;
    // "Invalid argument" is how the coder ends a refusal of the container or codec.
    return text.substr(output.size() + 2) != "Invalid argument";
}

std::string ShownReason(std::string_view line, const std::string& input,
                        const std::vector<std::string>& paths) {
    std::string_view text = WithoutLogPrefixes(line);
    if (!input.empty() && text.starts_with(input) && text.substr(input.size()).starts_with(": "))
        text.remove_prefix(input.size() + 2);
    return ShownCoderLine(text, paths);
}

}  // namespace lmk

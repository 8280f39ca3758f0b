#pragma once

#include <optional>
#include <string>
#include <vector>

// Helpers for the tests that run the real program on clips made by the real coder.
namespace lmk::integration {

// The programs under test, from the build (LMK_VIDEO, LMK_FFMPEG and LMK_FFPROBE in the
// environment override them).
std::string ProgramPath();
std::string CoderPath();
std::string CoderReportPath();

// Runs the coder with these arguments and fails the test (via ADD_FAILURE) if it fails.
void RunCoder(const std::vector<std::string>& arguments);

// One stream of a file as the coder's own report gives it.
struct Stream {
    std::string type;  // "video", "audio"
    std::string codec;
    int width = 0;
    int height = 0;
    std::string pixelFormat;
    std::string sampleAspect;  // "1:1", or "N/A" and "0:1" when none is stated
};

// The streams of a media file; empty when the coder cannot read it.
std::vector<Stream> StreamsOf(const std::string& path);
std::optional<Stream> FirstStream(const std::vector<Stream>& streams, const std::string& type);

// What the coder says while decoding the whole file; empty when it decodes cleanly.
std::string DecodingErrors(const std::string& path);

}  // namespace lmk::integration

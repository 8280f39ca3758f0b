#include "integration_support.h"

#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include "test_child.h"
#include "test_files.h"

namespace lmk::integration {
namespace {

using test::RunProgram;
using test::RunResult;
using test::SplitLines;

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

}  // namespace

std::string ProgramPath() {
    return FromEnvironment("LMK_VIDEO", LMK_VIDEO_PATH);
}

std::string CoderPath() {
    return FromEnvironment("LMK_FFMPEG", LMK_FFMPEG_PATH);
}

std::string CoderReportPath() {
    return FromEnvironment("LMK_FFPROBE", LMK_FFPROBE_PATH);
}

void RunCoder(const std::vector<std::string>& arguments) {
    std::vector<std::string> full{"-nostdin", "-hide_banner", "-v", "error", "-y"};
    full.insert(full.end(), arguments.begin(), arguments.end());
    const RunResult result = RunProgram(CoderPath(), full);
    if (result.exitCode != 0) {
        ADD_FAILURE() << "the coder could not make a clip (exit " << result.exitCode
                      << "): " << result.err;
    }
}

std::vector<Stream> StreamsOf(const std::string& path) {
    // As far into the file as the program looks: a picture may start after the sound.
    const RunResult result =
        RunProgram(CoderReportPath(),
                   {"-v", "error", "-analyzeduration", "60M", "-probesize", "64M", "-show_entries",
                    "stream=codec_type,codec_name,width,height,pix_fmt,sample_aspect_ratio", "-of",
                    "compact=p=0", "-i", path});
    std::vector<Stream> streams;
    if (result.exitCode != 0) return streams;
    for (const auto& line : SplitLines(result.out)) {
        if (line.empty()) continue;
        Stream stream;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '|')) {
            const auto equals = field.find('=');
            if (equals == std::string::npos) continue;
            const std::string key = field.substr(0, equals);
            const std::string value = field.substr(equals + 1);
            if (key == "codec_type") stream.type = value;
            if (key == "codec_name") stream.codec = value;
            if (key == "width") stream.width = std::atoi(value.c_str());
            if (key == "height") stream.height = std::atoi(value.c_str());
            if (key == "pix_fmt") stream.pixelFormat = value;
            if (key == "sample_aspect_ratio") stream.sampleAspect = value;
        }
        streams.push_back(stream);
    }
    return streams;
}

std::optional<Stream> FirstStream(const std::vector<Stream>& streams, const std::string& type) {
    for (const auto& stream : streams)
        if (stream.type == type) return stream;
    return std::nullopt;
}

std::string DecodingErrors(const std::string& path) {
    const RunResult result =
        RunProgram(CoderPath(), {"-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
    if (result.exitCode != 0 && result.err.empty())
        return "exit " + std::to_string(result.exitCode);
    return result.err;
}

}  // namespace lmk::integration

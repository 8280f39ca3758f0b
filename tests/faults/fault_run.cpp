#include "fault_run.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "integration_support.h"
#include "test_files.h"

namespace lmk::faults {

bool FileState::operator==(const FileState& other) const {
    return bytes == other.bytes && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
}

FileState StateOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        throw std::runtime_error("stat " + path + ": " + std::strerror(errno));
    return {test::ReadFile(path), info.st_mtim};
}

std::vector<std::string> FailureLines(const std::string& out) {
    std::vector<std::string> lines;
    for (const auto& line : test::SplitLines(out))
        if (line.rfind(integration::kFailedConversionPrefix, 0) == 0) lines.push_back(line);
    return lines;
}

void ExpectConverted(const std::string& output) {
    const auto streams = integration::StreamsOf(output);
    const auto video = integration::FirstStream(streams, "video");
    ASSERT_TRUE(video) << output << " was not converted";
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    const auto sound = integration::FirstStream(streams, "audio");
    ASSERT_TRUE(sound) << output << " has no sound";
    EXPECT_EQ(sound->codec, "mp3");
}

std::string FaultRun::Root() const {
    return std::filesystem::path(WorkFolder()).parent_path().string();
}

std::string FaultRun::WrapperCoder(const std::string& name, const CoderFault& fault) const {
    // The probe is the only run with just "-i PATH".
    return test::WriteScript(Root() + "/" + name, "coder='" + integration::CoderPath() +
                                                      "'\n"
                                                      "if [ \"$#\" -eq 2 ]; then\n"
                                                      "  \"$coder\" \"$@\"\n"
                                                      "  status=$?\n" +
                                                      fault.afterProbe +
                                                      "\n"
                                                      "  exit $status\n"
                                                      "fi\n"
                                                      "for output; do :; done\n"
                                                      "output=${output#file:}\n" +
                                                      fault.beforeConversion +
                                                      "\n"
                                                      "exec \"$coder\" \"$@\"\n");
}

std::vector<std::string> FaultRun::ArgumentsWith(const std::string& coder,
                                                 const std::vector<std::string>& files) const {
    std::vector<std::string> arguments{"--convert", "--coder", coder};
    arguments.insert(arguments.end(), files.begin(), files.end());
    return arguments;
}

RunResult FaultRun::ConvertWith(const std::string& coder,
                                const std::vector<std::string>& files) const {
    return test::RunProgram(integration::ProgramPath(), ArgumentsWith(coder, files), Settings());
}

RunResult FaultRun::ConvertUnconfined(const std::string& coder,
                                      const std::vector<std::string>& files) const {
    return test::RunProgram(integration::ProgramPath(), ArgumentsWith(coder, files),
                            WithoutSandbox());
}

}  // namespace lmk::faults

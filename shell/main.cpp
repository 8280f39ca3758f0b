#include <string>
#include <vector>

#include "command_line.h"
#include "posix_platform.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (lmk::IsCommandLineRun(arguments) || arguments.empty()) {
        return lmk::RunCommandLine(arguments, lmk::FindOnPath("ffmpeg"));
    }
    return lmk::RunCommandLine({"--help"}, {});
}

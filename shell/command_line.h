#pragma once

#include <string>
#include <vector>

namespace lmk {

// True when the arguments ask for the command line front end (--convert or --help).
bool IsCommandLineRun(const std::vector<std::string>& arguments);

// `lmk-video --convert [--width TEXT] [--height TEXT] [--coder PATH] FILE...`: one job with no
// window. Returns the exit code: 0 all converted, 1 a failure ended the job, 2 some conversions
// failed, 130 stopped by Ctrl+C or SIGTERM. `defaultCoder` is the coder used without --coder.
int RunCommandLine(const std::vector<std::string>& arguments, const std::string& defaultCoder);

std::string UsageText();

}  // namespace lmk

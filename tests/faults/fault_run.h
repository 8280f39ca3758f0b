#pragma once

#include <string>
#include <vector>

#include <time.h>

#include "coder_run.h"
#include "test_child.h"

// Helpers for the fault tests: the real program run with a coder that stands in for the real
// one and arranges a fault around it, and proof that a run left the user's files alone.
namespace lmk::faults {

using test::RunResult;
using test::RunSettings;

// A file's bytes and modification time.
struct FileState {
    std::string bytes;
    timespec modified{};
    bool operator==(const FileState& other) const;
};
FileState StateOf(const std::string& path);

// The lines of the program's output that report a failed conversion.
std::vector<std::string> FailureLines(const std::string& out);

// The file converted as usual from one of the 640x480 clips: 320x240 picture, MP3 sound.
void ExpectConverted(const std::string& output);

// Shell lines for a wrapper coder. Both see "$@" as the job passed it; the conversion's
// lines also see "$output", its last argument.
struct CoderFault {
    std::string afterProbe;        // run once the real probe has ended; "$status" is its status
    std::string beforeConversion;  // run just before the real coder replaces the script
};

// The private folder of the running program: the folder of the file the coder prints into.
inline constexpr const char* kPrivateFolderOfCoder = "\"$(dirname \"$(readlink /proc/$$/fd/1)\")\"";

// A fresh folder with work/ (the current folder) and run/ (the program's runtime folder, which
// must be empty again after every run), as in the integration tests.
class FaultRun : public integration::CoderRun {
protected:
    std::string Root() const;

    // A wrapper coder that runs the real one with `fault` arranged around it.
    std::string WrapperCoder(const std::string& name, const CoderFault& fault) const;

    // `lmk-video --convert --coder CODER files...`
    std::vector<std::string> ArgumentsWith(const std::string& coder,
                                           const std::vector<std::string>& files) const;
    RunResult ConvertWith(const std::string& coder, const std::vector<std::string>& files) const;
    // The same with LMK_NO_SANDBOX=1, for a fault the coder arranges beyond its own output.
    RunResult ConvertUnconfined(const std::string& coder,
                                const std::vector<std::string>& files) const;
};

}  // namespace lmk::faults

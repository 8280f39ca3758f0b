#pragma once

#include <string>

#include "shared_coder_file.h"

namespace lmk {

// The files one run of the program works with: the coder it runs and its private folder for
// the coder's report and printed output. main() makes it, choosing the coder, and hands it to
// the window or to the command line, which ask for each in their own order; whatever it made
// goes when it goes.
class WorkingFiles {
public:
    // `carriedCoderPath`: where the coder carried in the program is written; empty: into the
    // private folder. `namedCoder`: the coder the user named, run instead of the program's own.
    // The system-coder build writes none and runs ffmpeg from PATH unless one is named.
    explicit WorkingFiles(std::string carriedCoderPath = {}, std::string namedCoder = {});
    ~WorkingFiles() { Release(); }
    WorkingFiles(const WorkingFiles&) = delete;
    WorkingFiles& operator=(const WorkingFiles&) = delete;

    // The coder's full path; the private folder must be made first when the carried coder goes
    // into it. Raises a failure naming the coder when the named one cannot be run, or ffmpeg
    // when the system's is not on PATH.
    std::string CoderPath() const;
    // True when the coder is the program's own, to be written out by ExportCoder first.
    bool CoderCarried() const;

    // Writes the carried coder `name` to `path`, shared with the other running copies of the
    // program (SharedCoderFile). Raises as ExportPayload does, and a failure saying so when
    // the file's folder is on a file system that runs no programs (noexec).
    void ExportCoder(const std::string& name, const std::string& path);

    // Makes the private folder (once); raises EFCreateError when it cannot be made.
    const std::string& MakeFolder();
    const std::string& Folder() const { return m_folder; }

    // Removes the private folder, and the coder file unless another copy still runs from it.
    void Release();

private:
    std::string m_carriedCoderPath;
    std::string m_namedCoder;
    std::string m_folder;
    SharedCoderFile m_coder;
};

}  // namespace lmk

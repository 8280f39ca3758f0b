#pragma once

#include <string>
#include <vector>

#include "job_ports.h"

// The POSIX side of the job's ports, and the few other operating-system services the program uses.
namespace lmk {

// Each child is ended by the kernel when the thread that started it ends, so start children
// only from a thread that outlives them: the window's, or a worker that waits for its own.
class PosixProcesses : public Processes {
public:
    std::unique_ptr<Process> Start(const std::string& program,
                                   const std::vector<std::string>& arguments,
                                   const std::string& outputFile) override;
};

class PosixFiles : public Files {
public:
    bool IsFile(const std::string& path) override;
    std::string Delete(const std::string& path) override;
    std::string ReadAll(const std::string& path) override;
    std::string ReadFrom(const std::string& path, std::uint64_t offset, std::size_t limit) override;
    FileStatus StatusOf(const std::string& path) override;
    std::vector<std::string> FolderNames(const std::string& path) override;
};

// strerror's text for an errno value, trimmed by TrimSystemErrorText.
std::string SystemErrorText(int code);

// A new folder private to this run ("lmk-video-XXXXXX" under $XDG_RUNTIME_DIR, $TMPDIR or /tmp).
// Raises EFCreateError when it cannot be made.
std::string MakePrivateFolder();
// Removes the folder with the files in it (not below); failures are ignored.
void RemovePrivateFolder(const std::string& folder);

// The running program's own full path and its folder (with the trailing "/").
std::string ProgramPath();
std::string ProgramFolder();

// `path` made absolute against the current directory, without resolving links.
std::string AbsolutePath(const std::string& path);

// `path` with its links and dot segments resolved, or as it stands when it cannot be.
std::string ResolvedPath(const std::string& path);

// `folder` + "/" + `name`, with exactly one "/" between.
std::string JoinPath(const std::string& folder, const std::string& name);

// The files to try for the program `name`, in turn, as execvp tries them: the name itself when
// it holds a "/", else the name in each folder of PATH (an empty entry is the current folder).
std::vector<std::string> ProgramCandidates(const std::string& name);

// The full path of `name` found on PATH, or empty.
std::string FindOnPath(const std::string& name);

}  // namespace lmk

#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "file_descriptor.h"
#include "job_ports.h"

// The POSIX side of the job's ports, and the few other operating-system services the program uses.
namespace lmk {

// Each child is ended by the kernel when the thread that started it ends, so start children
// only from a thread that outlives them: the window's, or a worker that waits for its own.
// Every child is confined to its CoderAccess unless made with Unconfined, which the user asks
// for by LMK_NO_SANDBOX=1 and the tests of the starting itself use: Confined gives the strongest
// confinement the system allows (coder_confinement.h), InNameSpaces and ByLandlock one of them.
// Every confined child gets the coder's memory limit, and every child the coder's environment.
class PosixProcesses : public Processes {
public:
    enum Confinement { Confined, Unconfined, InNameSpaces, ByLandlock };
    explicit PosixProcesses(Confinement confinement = Confined) : m_confinement(confinement) {}
    std::unique_ptr<Process> Start(const std::string& program,
                                   const std::vector<std::string>& arguments,
                                   const std::string& outputFile,
                                   const CoderAccess& access) override;
    std::uint64_t MemoryLimit() const override;
    // In name spaces, one sandbox whose first process runs each coder asked for; none with
    // another confinement, or without the runner.
    bool SharesRuns() const override;
    std::unique_ptr<CoderRuns> StartRuns(const std::string& program, const CoderAccess& access,
                                         const std::string& outputFile) override;

private:
    // The confinement a start gets now: Confined is the strongest this system offers.
    Confinement Applied() const;

    Confinement m_confinement;
};

class PosixFiles : public Files {
public:
    bool IsFile(const std::string& path) override;
    std::string Delete(const std::string& path) override;
    std::string ReadAll(const std::string& path) override;
    std::string ReadFrom(const std::string& path, std::uint64_t offset, std::size_t limit) override;
    FileStatus StatusOf(const std::string& path) override;
    FolderListing FolderNames(const std::string& path) override;
    // Held for the whole program: every PosixFiles and the coder's starts use them.
    void HoldFolder(const std::string& folder) override;
    void LetGoFolder(const std::string& folder) override;
    // The partial file is locked (flock) from its making until Delete or Replace lets it go, so
    // that another run, whatever process numbers it sees, tells it from one a killed run left.
    PartialFile CreatePartial(const std::string& output, std::uint32_t permissions) override;
    std::string Replace(const std::string& partial, const std::string& output) override;
    // Deletes every partial file still held: the program is ending in the middle of a run
    // (exit() from a library) and no stop will reach it.
    void DeleteHeldPartials();

private:
    void LetGo(const std::string& partial);

    std::mutex m_mutex;
    std::map<std::string, FileDescriptor> m_partials;  // held locked while their run writes
};

// Opens `path` with `flags` (O_CLOEXEC added) in its folder as held (PosixFiles::HoldFolder),
// or as it stands now; a link at its name, or at its folder's, is followed only when the user or
// root made it: else `othersLink` is set and it fails (ELOOP).
int OpenInItsFolder(const std::string& path, int flags, bool& othersLink);

// ".lmk-partial-" + the process + a serial number + the output's name (a long one shortened in
// its middle, on a whole UTF-8 character): hidden, recognisable, keeping the extension, and
// never the same for two runs alive at once.
std::string PartialFileName(const std::string& outputName, long process, unsigned long serial);
// The process named in a partial file's name for `outputName`, or 0 when it is not one.
long PartialFileProcess(const std::string& name, const std::string& outputName);

// flock(2) with `operation` on `fd`, asked again when a signal cuts the wait short; false (errno
// set) when refused.
bool LockFile(int fd, int operation);

enum class ProgramOwner { User, UserOrRoot };
// Why the program file open at `fd` must not run, or empty: it must be a regular file that
// neither group nor others may write, owned by the user (or for UserOrRoot by root, as the
// system's are), so that no one else can have put it there or change it.
std::string ProgramFileRefusal(int fd, ProgramOwner owner);

// True when the program file open at `fd` is a script ("#!"), which its interpreter reads by
// name.
bool IsScriptFile(int fd);

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

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "said.h"

// The ports through which the conversion job reaches its front end and the operating system.
// A front end (the window, the command line) implements JobLog and JobHost; platform/ the rest.
namespace lmk {

// The lines the job shows: the file being worked on, "Готово!" and the failures.
class JobLog {
public:
    virtual ~JobLog() = default;
    // Each file starts on a clear log.
    virtual void ClearLog() = 0;
    // Returns the line's index for ReplaceLogLine.
    virtual int AddLogLine(const std::string& line) = 0;
    virtual void ReplaceLogLine(int index, const std::string& line) = 0;
};

// What the job asks of the front end that runs it.
class JobHost {
public:
    virtual ~JobHost() = default;
    virtual std::string WidthText() = 0;
    virtual std::string HeightText() = 0;
    // How a failure names the two target sides to the user: the window's boxes by default.
    virtual std::string WidthName() { return Said("Job", "ширина в «Размер видео»"); }
    virtual std::string HeightName() { return Said("Job", "высота в «Размер видео»"); }
    // Asked after every wait of a run; true once the user or a signal asked the job to stop.
    virtual bool StopRequested() = 0;

    // A host with events of its own (the window) handles those waiting between the job's waits.
    virtual void Pump() {}
    // The job's start and end, failures included: the window switches its Exit button's meaning,
    // asks the desktop for attention, and closes after a stop.
    virtual void JobStarted() {}
    virtual void JobEnded(bool /*stopped*/) {}
    // At every tick: the files this job has finished, those still to convert (the running one
    // included) and the running one's share done (0 while unknown), for progress shown
    // outside the window.
    virtual void Progress(int /*filesDone*/, int /*filesLeft*/, double /*share*/) {}
};

// What the scheduler of a run tells each job of the whole run, and the outputs it hands out.
class JobSchedule {
public:
    virtual ~JobSchedule() = default;
    // Files finished in this run, and those still to convert (the running ones included).
    virtual int FilesDone() = 0;
    virtual int FilesLeft() = 0;
    // Empty when converting `input` may end in `output`, which is then held for it; else why
    // not: another file of the run ended in it. The same file named twice may replace its own.
    virtual std::string ClaimOutput(const std::string& input, const std::string& output) = 0;
    // `input`'s conversion did not end in `output` after all.
    virtual void ReleaseOutput(const std::string& input, const std::string& output) = 0;
};

enum class WaitResult { Ended, TimedOut };

struct ExitStatus {
    bool exited = false;  // false: ended by a signal
    int code = 0;         // exit code, or the signal's number
    // What the run cost the machine, the processes it waited for included (in name spaces the
    // coder, whose sandbox's first process waited for it): processor time, user and system, and
    // the most memory resident at once. 0 where the system told nothing.
    std::uint64_t processorMicroseconds = 0;
    std::uint64_t peakMemoryKiB = 0;
    bool Success() const { return exited && code == 0; }
};

// A started process. Destroying it releases it; one still running is ended first, so no
// process outlives its record.
class Process {
public:
    virtual ~Process() = default;
    // Waits up to `milliseconds` (negative: without limit) for the process to end. Raises
    // EOSError when the system refuses the wait.
    virtual WaitResult Wait(int milliseconds) = 0;
    // Ends the process at once and waits for it.
    virtual void End() = 0;
    // Valid once Wait returned Ended or End was called.
    virtual ExitStatus Status() const = 0;
};

// The descriptor on which a conversion writes its progress lines ("-progress pipe:3").
constexpr int kProgressDescriptor = 3;

// The files of the user's that one coder run may touch; besides these it gets the system's
// folders and its own `outputFile`.
struct CoderAccess {
    std::string input;   // read only: a file, or the folder of a playlist and its segments
    std::string output;  // written; made by the program before the run; empty for the probe
    // The program's own file, created empty and handed over open as kProgressDescriptor, so
    // the coder never sees the folder it is in; empty for none.
    std::string progress = {};
};

// Runs of the coder, one after another, that share one confinement: a file's probes and its
// conversions. Each run may touch what the CoderAccess they were made with grants.
class CoderRuns {
public:
    virtual ~CoderRuns() = default;
    // As Processes::Start with the program given when these runs were made; a conversion gets
    // the access's progress file. A run that could not start raises at its first Wait.
    virtual std::unique_ptr<Process> Start(const std::vector<std::string>& arguments,
                                           const std::string& outputFile, bool conversion) = 0;
};

class Processes {
public:
    virtual ~Processes() = default;
    // Starts `program` with `arguments` (not counting its own name), standard input from
    // /dev/null, standard output and error both into `outputFile`, created empty first,
    // confined to `access`. Raises EFCreateError when the output or progress file cannot be
    // created, EOSError when the start fails or the confinement cannot be applied.
    virtual std::unique_ptr<Process> Start(const std::string& program,
                                           const std::vector<std::string>& arguments,
                                           const std::string& outputFile,
                                           const CoderAccess& access) = 0;
    // The most memory a started coder may take, in bytes; 0 when it is not limited.
    virtual std::uint64_t MemoryLimit() const { return 0; }
    // Whether StartRuns makes runs that share one confinement: where making it costs a start
    // more than its run does.
    virtual bool SharesRuns() const { return false; }
    // Runs that share one confinement; none where SharesRuns is false. What the confinement
    // itself prints goes to `outputFile`; raises as Start does.
    virtual std::unique_ptr<CoderRuns> StartRuns(const std::string& /*program*/,
                                                 const CoderAccess& /*access*/,
                                                 const std::string& /*outputFile*/) {
        return nullptr;
    }
};

// A run's own hidden file beside its output; `error` is the system's reason when none was made.
struct PartialFile {
    std::string path;
    std::string error;
};

// What stands at a path; links are followed, but for one another user made, which may lead to
// what only this user may read. Special: a FIFO, device or socket.
enum class FileKind { Missing, Regular, Folder, Special, OthersLink };

// A folder's names, or why it could not be read.
struct FolderListing {
    std::vector<std::string> names;
    std::string error;  // the system's reason
};

struct FileStatus {
    FileKind kind = FileKind::Missing;
    std::uint64_t size = 0;            // of a regular file
    std::uint32_t permissions = 0644;  // of a regular file: its permission bits
};

// A folder's names (without "." and ".."), in no particular order; `error` is the system's
// reason when it cannot be read.
class Files {
public:
    virtual ~Files() = default;
    // True when something that is not a folder stands at `path`.
    virtual bool IsFile(const std::string& path) = 0;
    // Empty once nothing stands at `path` any more, else the system's reason; callers that
    // may ignore a failure do.
    virtual std::string Delete(const std::string& path) = 0;
    // The whole file; raises EFOpenError naming the full path when it cannot be opened.
    virtual std::string ReadAll(const std::string& path) = 0;
    // The bytes from `offset` to the current end, at most `limit` of them; empty when there are
    // none or on failure.
    virtual std::string ReadFrom(const std::string& path, std::uint64_t offset,
                                 std::size_t limit) = 0;
    virtual FileStatus StatusOf(const std::string& path) = 0;
    // The names in a folder (without "." and ".."), in no particular order.
    virtual FolderListing FolderNames(const std::string& path) = 0;

    // Holds `folder` (as FolderPart gives it) open until as many LetGoFolder: names in it then
    // mean what stands in the folder opened here, for these calls and the coder's runs alike,
    // whatever is put at its path meanwhile.
    virtual void HoldFolder(const std::string& folder) = 0;
    virtual void LetGoFolder(const std::string& folder) = 0;

    // A new file for one run to write in place of `output`, never reached through a link, whose
    // name keeps the output's (and so its extension) and is the run's own; it grants no more
    // than `permissions` (the input's), less the umask. Partial files of
    // `output` left by runs that no longer live are deleted first. Refused when a folder stands
    // at `output`: only a file or a link there is ever replaced.
    virtual PartialFile CreatePartial(const std::string& output, std::uint32_t permissions) = 0;
    // Flushes `partial` to disk and renames it to `output` in one step; a link at `output` is
    // replaced, never followed. Empty, or the system's reason.
    virtual std::string Replace(const std::string& partial, const std::string& output) = 0;
};

}  // namespace lmk

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "job_ports.h"

// Fakes of the engine's processes and files ports that record what a job did with them. They
// may be used from several threads at once, as the parallel command line's jobs use them.
namespace lmk::test {

using Strings = std::vector<std::string>;

class FakeFiles : public Files {
public:
    // Read and written by the test only while no job runs.
    std::map<std::string, std::string> files;
    Strings deleted;
    std::map<std::string, std::string> undeletable;  // path, the system's reason
    Strings replaced;
    std::map<std::string, std::string> uncreatable;  // output, the system's reason
    std::set<std::string> folders;
    std::map<std::string, std::string> unreadable;  // folder, the system's reason
    std::set<std::string> special;                  // FIFOs, devices, sockets
    std::set<std::string> othersLinks;              // links another user made
    std::size_t largestRead = 0;
    std::map<std::string, int> held;  // folder, how many hold it
    Strings replacedUnheld;           // outputs replaced while their folder was not held

    bool IsFile(const std::string& path) override;
    std::string Delete(const std::string& path) override;
    std::string ReadAll(const std::string& path) override;
    std::string ReadFrom(const std::string& path, std::uint64_t offset, std::size_t limit) override;
    FileStatus StatusOf(const std::string& path) override;
    // In no particular order, as a folder lists them.
    FolderListing FolderNames(const std::string& path) override;
    void HoldFolder(const std::string& folder) override;
    void LetGoFolder(const std::string& folder) override;
    // "." + ".lmk-partial-" + the output's name beside it.
    PartialFile CreatePartial(const std::string& output, std::uint32_t permissions) override;
    std::string Replace(const std::string& partial, const std::string& output) override;

    void Put(const std::string& path, const std::string& content);
    void Append(const std::string& path, const std::string& content);

private:
    std::mutex m_mutex;
};

// What one started process does: how many 200 ms waits it outlasts, what it prints and writes
// on its progress channel (one chunk of each per wait), and how it ends.
struct Plan {
    int ticks = 0;
    Strings printed;           // none: a conversion that ends well prints its output's description
    Strings progress;          // into CoderAccess::progress, when the start was given one
    std::string printedAtEnd;  // as it ends: for that conversion, its last progress
    ExitStatus status{true, 0};
    bool failToStart = false;
    bool waitRefused = false;      // the system refuses the wait once the waits are outlasted
    bool writes = true;            // a conversion writes its output
    std::function<void()> onWait;  // called at the start of each wait, in the job's thread
};

struct Started {
    std::string program;
    Strings arguments;
    std::string outputFile;
    CoderAccess access;
    bool outputExistedAtStart = false;  // the output that the conversion's partial file stands for
    bool ended = false;
    int runs = -1;  // the index in FakeProcesses::runs of the runs it was one of; -1: alone
};

// A probe is "... -i file:PATH"; a conversion "... -i file:PATH ... -y -truncate 0 file:PARTIAL",
// which it creates as the coder does.
class FakeProcesses : public Processes {
public:
    explicit FakeProcesses(FakeFiles& files) : m_files(files) {}

    // Read by the test only while no job runs.
    std::vector<Started> started;
    // Each process that started while another used one of its files (as the other's output, or
    // its output as the other's input, or the same input): "STARTED while RUNNING", each as
    // "-i PATH" or "PATH > OUTPUT". Paths to one existing file count as one.
    Strings overlaps;
    // Gives the plan for a start, by its arguments; called in the job's thread.
    std::function<Plan(const Strings&)> plan;
    std::uint64_t memoryLimit = 0;
    // Whether StartRuns makes runs, and the access each was made with.
    bool sharesRuns = false;
    std::vector<CoderAccess> runs;

    std::unique_ptr<Process> Start(const std::string& program, const Strings& arguments,
                                   const std::string& outputFile,
                                   const CoderAccess& access) override;
    std::uint64_t MemoryLimit() const override { return memoryLimit; }
    bool SharesRuns() const override { return sharesRuns; }
    // Each run is started as Start starts it, given the runs' access (a probe without the
    // output and progress), and counted as one of them.
    std::unique_ptr<CoderRuns> StartRuns(const std::string& program, const CoderAccess& access,
                                         const std::string& outputFile) override;

private:
    class FakeProcess;
    class FakeRuns;
    struct Use {
        std::size_t index;
        std::string input;
        std::string output;  // empty for a probe
        std::string shown;
    };
    void Ended(std::size_t index, bool killed);

    FakeFiles& m_files;
    std::mutex m_mutex;
    std::vector<Use> m_running;
    std::map<std::string, std::string> m_reports;  // each input's last probe report
};

// One job's run, as the tests drive it: outputs held by their names as given.
class FakeSchedule : public JobSchedule {
public:
    int done = 0;
    int left = 1;
    std::map<std::string, std::string> claims;  // output: the input that holds it

    int FilesDone() override { return done; }
    int FilesLeft() override { return left; }
    std::string ClaimOutput(const std::string& input, const std::string& output) override {
        const auto [claim, added] = claims.emplace(output, input);
        return added || claim->second == input ? std::string() : claim->second;
    }
    void ReleaseOutput(const std::string& input, const std::string& output) override {
        if (const auto claim = claims.find(output); claim != claims.end() && claim->second == input)
            claims.erase(claim);
    }
};

// The partial file that a conversion of `output` writes, as the coder is told it.
std::string CoderTarget(const std::string& output);
// The input as the coder is told it, without its protocol.
std::string InputOf(const Strings& arguments);
// The output that a conversion's partial file stands for.
std::string OutputOf(const Strings& arguments);

}  // namespace lmk::test

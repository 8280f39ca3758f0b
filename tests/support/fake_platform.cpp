#include "fake_platform.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include <sys/stat.h>

#include "conversion_job.h"
#include "failures.h"

namespace lmk::test {
namespace {

constexpr std::string_view kLocalFile = "file:";
constexpr std::string_view kPartialMark = ".lmk-partial-";

std::string WithoutProtocol(const std::string& name) {
    return name.starts_with(kLocalFile) ? name.substr(kLocalFile.size()) : name;
}

// One name for every path to an existing file; others by their path with links resolved.
std::string FileKey(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0)
        return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    std::error_code error;
    const auto resolved = std::filesystem::weakly_canonical(path, error);
    return error ? path : resolved.string();
}

// What the coder prints of a conversion that ends well: the output's streams as asked for
// ("-s" or "-vf scale=W:H,setsar=1" gives a picture; sound always).
std::string DescriptionOf(const Strings& arguments) {
    const auto size = std::find(arguments.begin(), arguments.end(), "-s");
    const auto filters = std::find(arguments.begin(), arguments.end(), "-vf");
    std::string printed = "Output #0, out, to '" + arguments.back() + "':\n";
    if (size != arguments.end())
        printed += "  Stream #0:0: Video: h264, yuv420p, " + size[1] + "\n";
    if (filters != arguments.end() && filters[1].starts_with("scale=")) {
        std::string frame = filters[1].substr(6, filters[1].find(',') - 6);
        std::replace(frame.begin(), frame.end(), ':', 'x');
        printed += "  Stream #0:0: Video: h264, yuv420p, " + frame + " [SAR 1:1 DAR 1:1]\n";
    }
    return printed + "  Stream #0:1: Audio: mp3, 44100 Hz, stereo\n";
}

// Its last progress line: to the input's end, as the input's probe told it.
std::string LastProgressOf(const std::string& report) {
    const std::size_t duration = report.find("Duration: ");
    const std::string end =
        duration == std::string::npos ? "00:00:00.00" : report.substr(duration + 10, 11);
    return "frame=1 time=" + end + " bitrate=1\n";
}

}  // namespace

bool FakeFiles::IsFile(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    return files.count(path) > 0;
}

std::string FakeFiles::Delete(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    if (undeletable.count(path)) return undeletable[path];
    deleted.push_back(path);
    files.erase(path);
    return {};
}

std::string FakeFiles::ReadAll(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    const auto found = files.find(path);
    if (found == files.end()) throw CannotOpenFile(path, "No such file or directory");
    largestRead = std::max(largestRead, found->second.size());
    return found->second;
}

std::string FakeFiles::ReadFrom(const std::string& path, std::uint64_t offset, std::size_t limit) {
    const std::lock_guard lock(m_mutex);
    const auto found = files.find(path);
    if (found == files.end() || offset >= found->second.size()) return {};
    std::string part = found->second.substr(offset, limit);
    largestRead = std::max(largestRead, part.size());
    return part;
}

FileStatus FakeFiles::StatusOf(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    if (folders.count(path)) return {FileKind::Folder, 0};
    if (special.count(path)) return {FileKind::Special, 0};
    if (othersLinks.count(path)) return {FileKind::OthersLink, 0};
    const auto found = files.find(path);
    if (found == files.end()) return {};
    return {FileKind::Regular, found->second.size()};
}

FolderListing FakeFiles::FolderNames(const std::string& path) {
    const std::lock_guard lock(m_mutex);
    if (const auto reason = unreadable.find(path); reason != unreadable.end())
        return {{}, reason->second};
    Strings names;
    for (const auto& [file, bytes] : files)
        if (file.starts_with(path + "/") && file.find('/', path.size() + 1) == std::string::npos)
            names.push_back(file.substr(path.size() + 1));
    std::reverse(names.begin(), names.end());
    return {names, {}};
}

void FakeFiles::HoldFolder(const std::string& folder) {
    const std::lock_guard lock(m_mutex);
    ++held[folder];
}

void FakeFiles::LetGoFolder(const std::string& folder) {
    const std::lock_guard lock(m_mutex);
    if (--held[folder] == 0) held.erase(folder);
}

PartialFile FakeFiles::CreatePartial(const std::string& output, std::uint32_t) {
    const std::lock_guard lock(m_mutex);
    if (uncreatable.count(output)) return {{}, uncreatable[output]};
    const std::string partial = CoderTarget(output).substr(kLocalFile.size());
    files[partial] = "";
    return {partial, {}};
}

std::string FakeFiles::Replace(const std::string& partial, const std::string& output) {
    const std::lock_guard lock(m_mutex);
    files[output] = files.at(partial);
    files.erase(partial);
    replaced.push_back(output);
    if (!held.count(FolderPart(output))) replacedUnheld.push_back(output);
    return {};
}

void FakeFiles::Put(const std::string& path, const std::string& content) {
    const std::lock_guard lock(m_mutex);
    files[path] = content;
}

void FakeFiles::Append(const std::string& path, const std::string& content) {
    const std::lock_guard lock(m_mutex);
    files[path] += content;
}

class FakeProcesses::FakeProcess : public Process {
public:
    FakeProcess(FakeProcesses& owner, std::size_t index, Plan plan, std::string outputFile,
                std::string progressFile)
        : m_owner(owner),
          m_index(index),
          m_plan(std::move(plan)),
          m_output(std::move(outputFile)),
          m_progress(std::move(progressFile)) {
        Print();
    }
    ~FakeProcess() override {
        if (!m_done) m_owner.Ended(m_index, false);
    }
    WaitResult Wait(int milliseconds) override {
        if (m_plan.onWait) m_plan.onWait();
        if (m_done || milliseconds < 0 || m_plan.ticks == 0) {
            if (m_plan.waitRefused) throw OSErrorFromCode(22, "Invalid argument");
            Done(false);
            return WaitResult::Ended;
        }
        --m_plan.ticks;
        Print();
        return WaitResult::TimedOut;
    }
    void End() override {
        m_owner.Ended(m_index, true);
        m_done = true;
        m_plan.status = {false, 9};
    }
    ExitStatus Status() const override { return m_plan.status; }

private:
    void Print() {
        if (m_printedChunks < m_plan.printed.size())
            m_owner.m_files.Append(m_output, m_plan.printed[m_printedChunks++]);
        if (!m_progress.empty() && m_progressChunks < m_plan.progress.size())
            m_owner.m_files.Append(m_progress, m_plan.progress[m_progressChunks++]);
    }
    void Done(bool killed) {
        if (!m_done && !killed && !m_plan.printedAtEnd.empty())
            m_owner.m_files.Append(m_output, m_plan.printedAtEnd);
        if (!m_done) m_owner.Ended(m_index, killed);
        m_done = true;
    }

    FakeProcesses& m_owner;
    std::size_t m_index;
    Plan m_plan;
    std::string m_output;
    std::string m_progress;
    std::size_t m_printedChunks = 0;
    std::size_t m_progressChunks = 0;
    bool m_done = false;
};

class FakeProcesses::FakeRuns : public CoderRuns {
public:
    FakeRuns(FakeProcesses& processes, std::string program, CoderAccess access, int index)
        : m_processes(processes),
          m_program(std::move(program)),
          m_access(std::move(access)),
          m_index(index) {}
    std::unique_ptr<Process> Start(const Strings& arguments, const std::string& outputFile,
                                   bool conversion) override {
        auto process = m_processes.Start(m_program, arguments, outputFile,
                                         conversion ? m_access : CoderAccess{m_access.input, {}});
        const std::lock_guard lock(m_processes.m_mutex);
        m_processes.started.back().runs = m_index;
        return process;
    }

private:
    FakeProcesses& m_processes;
    std::string m_program;
    CoderAccess m_access;
    int m_index;
};

std::unique_ptr<CoderRuns> FakeProcesses::StartRuns(const std::string& program,
                                                    const CoderAccess& access,
                                                    const std::string& /*outputFile*/) {
    if (!sharesRuns) return nullptr;
    const std::lock_guard lock(m_mutex);
    runs.push_back(access);
    return std::make_unique<FakeRuns>(*this, program, access, static_cast<int>(runs.size()) - 1);
}

std::unique_ptr<Process> FakeProcesses::Start(const std::string& program, const Strings& arguments,
                                              const std::string& outputFile,
                                              const CoderAccess& access) {
    Plan p = plan(arguments);
    if (p.failToStart) throw OSErrorFromCode(2, "No such file or directory");
    const std::string input = InputOf(arguments);
    // A conversion is told to overwrite its partial file; a probe ends with its input.
    const bool conversion = std::find(arguments.begin(), arguments.end(), "-y") != arguments.end();
    const std::string output = conversion ? OutputOf(arguments) : std::string();
    Use use{0, FileKey(input), conversion ? FileKey(output) : std::string(),
            conversion ? input + " > " + output : "-i " + input};
    std::size_t index = 0;
    {
        const std::lock_guard lock(m_mutex);
        for (const Use& other : m_running) {
            const bool clash = use.input == other.input ||
                               (!use.output.empty() &&
                                (use.output == other.input || use.output == other.output)) ||
                               (!other.output.empty() && other.output == use.input);
            if (clash) overlaps.push_back(use.shown + " while " + other.shown);
        }
        index = started.size();
        use.index = index;
        m_running.push_back(use);
        started.push_back({program, arguments, outputFile, access,
                           conversion && m_files.IsFile(OutputOf(arguments)), false});
    }
    m_files.Put(outputFile, "");
    if (!access.progress.empty()) m_files.Put(access.progress, "");
    {
        const std::lock_guard lock(m_mutex);
        std::string& report = m_reports[use.input];
        if (conversion && p.printed.empty() && p.status.Success()) {
            p.printed = {DescriptionOf(arguments)};
            p.printedAtEnd = LastProgressOf(report);
        }
        if (!conversion) {
            report.clear();
            for (const auto& chunk : p.printed) report += chunk;
        }
    }
    if (conversion && p.writes) m_files.Put(WithoutProtocol(arguments.back()), "converted");
    return std::make_unique<FakeProcess>(*this, index, std::move(p), outputFile, access.progress);
}

void FakeProcesses::Ended(std::size_t index, bool killed) {
    const std::lock_guard lock(m_mutex);
    m_running.erase(std::remove_if(m_running.begin(), m_running.end(),
                                   [&](const Use& use) { return use.index == index; }),
                    m_running.end());
    if (killed) started[index].ended = true;
}

std::string CoderTarget(const std::string& output) {
    return std::string(kLocalFile) + FolderPart(output) + std::string(kPartialMark) +
           FileNamePart(output);
}

std::string InputOf(const Strings& arguments) {
    const auto at = std::find(arguments.begin(), arguments.end(), "-i");
    return at != arguments.end() && at + 1 != arguments.end() ? WithoutProtocol(*(at + 1)) : "";
}

std::string OutputOf(const Strings& arguments) {
    const std::string target = WithoutProtocol(arguments.back());
    const std::string name = FileNamePart(target);
    return FolderPart(target) +
           (name.starts_with(kPartialMark) ? name.substr(kPartialMark.size()) : name);
}

}  // namespace lmk::test

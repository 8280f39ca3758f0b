// A drop of 300 files with 20 more drops made while its job runs: the engine's job on the real
// platform layer, with a quick stand-in coder. Every output must be right and the job's memory
// must not grow with the files it has done.
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <malloc.h>

#include <gtest/gtest.h>

#include "conversion_job.h"
#include "job_ports.h"
#include "posix_platform.h"
#include "session.h"
#include "test_files.h"
#include "working_files.h"

#if defined(__SANITIZE_ADDRESS__)
#define LMK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LMK_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef LMK_ADDRESS_SANITIZER
// The sanitizer runtime's count of live heap bytes (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace lmk::faults {
namespace {

constexpr int kFirstDropFiles = 300;
constexpr int kLaterDrops = 20;
constexpr int kFilesPerLaterDrop = 2;
constexpr int kMeasuredFrom = 50;
// Generous: the job keeps nothing per file, so what it holds after 250 more files is the same
// give or take the allocator's own bookkeeping.
constexpr long kHeapGrowthLimitBytes = 256 * 1024;
constexpr long kResidentGrowthLimitBytes = 4 * 1024 * 1024;

// Probe ("-i PATH"): a report with the frame written in the input ("none": sound only).
// Conversion: an output naming its input and the frame it was asked for. An input marked slow
// keeps its conversion running until the file it names appears, which the window makes once it
// has dropped more files during a tick of that conversion.
const char* const kQuickCoder = R"(
input=${2#file:}
if [ "$#" -eq 2 ]; then
  read -r size rest < "$input" || exit 1
  echo "Input #0, avi, from '$2':"
  if [ "$size" = none ]; then
    echo "  Stream #0:0: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s"
  else
    echo "  Stream #0:0: Video: mpeg4 (Simple Profile), yuv420p, $size [SAR 1:1 DAR 4:3], 10 fps"
  fi
  echo "At least one output file must be specified"
  exit 1
fi
for output; do :; done
output=${output#file:}
size=keep
for arg; do case $arg in scale=*) s=${arg#scale=}; s=${s%%,*}; size="${s%:*}x${s#*:}";; esac; done
read -r ignored pace mark < "$input"
if [ "$pace" = slow ]; then
  i=0
  while [ ! -e "$mark" ] && [ $i -lt 6000 ]; do sleep 0.01; i=$((i + 1)); done
fi
echo "from ${input##*/} size $size" >> "$output"
echo "Output #0, avi, to '$output':"
[ "$size" = keep ] || echo "  Stream #0:0: Video: mpeg4, yuv420p, $size"
echo "  Stream #0:1: Audio: mp3, 44100 Hz, stereo"
)";

struct SizeCase {
    const char* source;
    const char* converted;  // the frame the conversion is asked for
};

// Into 320 x 240, with even sides.
const SizeCase kSizes[] = {{"640x480", "320x240"}, {"1280x720", "320x180"}, {"720x480", "320x212"},
                           {"480x640", "180x240"}, {"none", "keep"},        {"176x144", "176x144"}};

// The file in `folder` that tells a slow conversion that `count` later drops have been made.
std::string DropMark(const std::string& folder, std::size_t count) {
    return folder + "/dropped-" + std::to_string(count);
}

struct InputFile {
    std::string name;
    std::string path;
    std::string expectedOutput;
};

// The heap bytes in use: the allocator's own count (the address sanitizer keeps freed blocks
// aside for a while, so only its count of live bytes means anything there).
long HeapInUse() {
#ifdef LMK_ADDRESS_SANITIZER
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>(info.uordblks + info.hblkhd);
#endif
}

// VmRSS from /proc/self/status, in bytes.
long ResidentBytes() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kilobytes = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmRSS: %ld kB", &kilobytes) == 1) break;
    }
    std::fclose(status);
    return kilobytes < 0 ? -1 : kilobytes * 1024;
}

// The window: a log of the current lines only (as the real one, cleared for each file),
// drops made from its pump, and the memory at two moments. It allocates nothing per file.
class RecordingWindow : public JobLog, public JobHost {
public:
    RecordingWindow(const std::vector<std::string>& expectedOrder,
                    const std::vector<std::vector<std::string>>& laterDrops,
                    const std::string& dropMarks)
        : m_expectedOrder(expectedOrder), m_laterDrops(laterDrops), m_dropMarks(dropMarks) {
        m_log.reserve(8);
    }

    void Attach(Session& session) { m_session = &session; }

    void ClearLog() override { m_log.clear(); }
    int AddLogLine(const std::string& line) override {
        m_log.push_back(line);
        if (line.rfind(kStatusStart, 0) == 0) {
            if (m_started >= m_expectedOrder.size() ||
                line != StatusLine(m_expectedOrder[m_started]))
                ++m_outOfOrder;
            ++m_started;
            if (m_started == kMeasuredFrom) Measure(heapAtFrom, residentAtFrom);
            if (m_started == kFirstDropFiles) Measure(heapAtLast, residentAtLast);
        }
        return static_cast<int>(m_log.size()) - 1;
    }
    void ReplaceLogLine(int index, const std::string& line) override {
        if (index < 0 || index >= static_cast<int>(m_log.size())) {
            ++m_badReplaces;
            return;
        }
        m_log[static_cast<std::size_t>(index)] = line;
    }
    // A drop that arrives while the job runs reaches the handler again, as the window's does.
    void Pump() override {
        if (!m_session || m_dropsMade == m_laterDrops.size() || m_lastDropAt == m_started) return;
        m_lastDropAt = m_started;
        m_session->Add(m_laterDrops[m_dropsMade++]);
        test::WriteFile(DropMark(m_dropMarks, m_dropsMade), "");
    }
    void JobStarted() override { ++m_stopMeanings; }
    void JobEnded(bool stopped) override {
        ++m_closeMeanings;
        if (stopped) ++m_closes;
    }
    std::string WidthText() override { return "320"; }
    std::string HeightText() override { return "240"; }
    bool StopRequested() override { return false; }

    std::size_t Started() const { return m_started; }
    int OutOfOrder() const { return m_outOfOrder; }
    int BadReplaces() const { return m_badReplaces; }
    std::size_t DropsMade() const { return m_dropsMade; }
    int StopMeanings() const { return m_stopMeanings; }
    int CloseMeanings() const { return m_closeMeanings; }
    int Closes() const { return m_closes; }
    const std::vector<std::string>& Log() const { return m_log; }

    long heapAtFrom = 0, heapAtLast = 0, residentAtFrom = 0, residentAtLast = 0;

private:
    static constexpr const char* kStatusStart = "Обрабатывается файл ";

    static void Measure(long& heap, long& resident) {
        heap = HeapInUse();
        resident = ResidentBytes();
    }

    const std::vector<std::string>& m_expectedOrder;
    const std::vector<std::vector<std::string>>& m_laterDrops;
    const std::string m_dropMarks;
    Session* m_session = nullptr;
    std::vector<std::string> m_log;
    std::size_t m_started = 0;
    std::size_t m_dropsMade = 0;
    std::size_t m_lastDropAt = static_cast<std::size_t>(-1);
    int m_outOfOrder = 0;
    int m_badReplaces = 0;
    int m_stopMeanings = 0;
    int m_closeMeanings = 0;
    int m_closes = 0;
};

class LongDrop : public testing::Test {
protected:
    void SetUp() override {
        m_folder = std::make_unique<test::ScratchFolder>("long-drop");
        std::filesystem::create_directory(In());
        std::filesystem::create_directory(Private());
    }

    std::string In() const { return *m_folder / "in"; }
    std::string Private() const { return *m_folder / "private"; }
    std::string Coder() const { return test::WriteScript(*m_folder / "quick-coder", kQuickCoder); }

    std::string DropMarks() const { return m_folder->Path(); }

    // A file whose probe reports the frame of kSizes[index % size]; a slow one's conversion
    // waits for `dropMark`.
    InputFile MakeInput(const std::string& name, std::size_t index,
                        const std::string& dropMark = {}) const {
        const SizeCase& size = kSizes[index % std::size(kSizes)];
        InputFile file{name, In() + "/" + name, "from " + name + " size " + size.converted + "\n"};
        test::WriteFile(file.path,
                        std::string(size.source) +
                            (dropMark.empty() ? " quick\n" : " slow " + dropMark + "\n"));
        return file;
    }

    std::unique_ptr<test::ScratchFolder> m_folder;
};

TEST_F(LongDrop, EveryOutputRightMemoryFlat) {
    std::vector<InputFile> inputs;
    std::vector<std::string> firstDrop;
    std::vector<std::vector<std::string>> laterDrops(kLaterDrops);
    // The slow files, where the later drops are made, are spread over the first drop.
    for (int i = 0; i < kFirstDropFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "clip %03d.avi", i);
        const bool slow = i % 14 == 10 && i / 14 < kLaterDrops;
        inputs.push_back(MakeInput(name, static_cast<std::size_t>(i),
                                   slow ? DropMark(DropMarks(), i / 14 + 1) : std::string()));
        firstDrop.push_back(inputs.back().path);
    }
    for (int drop = 0; drop < kLaterDrops; ++drop) {
        for (int j = 0; j < kFilesPerLaterDrop; ++j) {
            char name[32];
            std::snprintf(name, sizeof name, "late %02d-%d.avi", drop, j);
            inputs.push_back(MakeInput(name, static_cast<std::size_t>(drop + j)));
            laterDrops[static_cast<std::size_t>(drop)].push_back(inputs.back().path);
        }
    }
    // Queued drops join the end of the list, in the order they were made.
    std::vector<std::string> expectedOrder;
    for (const auto& input : inputs) expectedOrder.push_back(input.name);

    JobValues values;
    values.CoderPath = Coder();
    values.WorkFolder = Private();
    // Landlock lets the stand-in look for its drop marks; name spaces would show it none.
    PosixProcesses processes(PosixProcesses::ByLandlock);
    PosixFiles files;
    RecordingWindow window(expectedOrder, laterDrops, DropMarks());
    WorkingFiles working;
    Session session(processes, files, working, values);
    window.Attach(session);

    const JobOutcome outcome = session.Run(firstDrop, window, {.live = &window});
    for (const auto& line : EndLines(outcome)) window.AddLogLine(line);

    EXPECT_EQ(window.DropsMade(), static_cast<std::size_t>(kLaterDrops))
        << "the job gave the window too few pumps to drop on";
    EXPECT_EQ(window.Started(), inputs.size());
    EXPECT_EQ(window.OutOfOrder(), 0);
    EXPECT_EQ(window.BadReplaces(), 0);
    EXPECT_EQ(outcome.Converted(), static_cast<int>(inputs.size()));
    EXPECT_EQ(outcome.Failed(), 0);
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(window.Closes(), 0);
    // The nested drops neither started a job of their own nor gave the button back early.
    EXPECT_EQ(window.StopMeanings(), 1);
    EXPECT_EQ(window.CloseMeanings(), 1);
    EXPECT_FALSE(session.Running());
    ASSERT_EQ(window.Log().size(), 2u);
    EXPECT_EQ(window.Log()[0], StatusLine(inputs.back().name));
    EXPECT_EQ(window.Log()[1], DoneLine());

    int wrong = 0;
    for (const auto& input : inputs) {
        const std::string output = In() + "/lmk-" + input.name;
        if (!test::Exists(output) || test::ReadFile(output) != input.expectedOutput) {
            if (++wrong <= 5) ADD_FAILURE() << "wrong or missing output for " << input.name;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(test::FolderNames(In()).size(), 2 * inputs.size());

    const long heapGrowth = window.heapAtLast - window.heapAtFrom;
    RecordProperty("heap_growth_bytes", std::to_string(heapGrowth));
    RecordProperty("resident_growth_bytes",
                   std::to_string(window.residentAtLast - window.residentAtFrom));
    EXPECT_LT(heapGrowth, kHeapGrowthLimitBytes)
        << "heap in use grew by " << heapGrowth << " bytes from file " << kMeasuredFrom
        << " to file " << kFirstDropFiles;
#ifndef LMK_ADDRESS_SANITIZER
    ASSERT_GT(window.residentAtFrom, 0);
    const long residentGrowth = window.residentAtLast - window.residentAtFrom;
    EXPECT_LT(residentGrowth, kResidentGrowthLimitBytes)
        << "resident memory grew by " << residentGrowth << " bytes from file " << kMeasuredFrom
        << " to file " << kFirstDropFiles;
#endif
}

}  // namespace
}  // namespace lmk::faults

// The coder failing under the job: killed by a signal in mid-conversion, its input taken away
// after the probe, inputs it cannot read at all. Each gives its failure line, leaves no output
// and lets the next file be converted.
#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "clips.h"
#include "coder_run.h"
#include "fault_run.h"
#include "integration_support.h"
#include "test_files.h"

namespace lmk::faults {
namespace {

using integration::ClipKind;
using integration::ClipShelf;
using integration::FailedStatusLine;
using integration::kDone;
using integration::kFailedConversionPrefix;
using integration::StatusLine;
using test::FolderNames;
using testing::HasSubstr;
using testing::StartsWith;
using testing::UnorderedElementsAreArray;

class CoderFaults : public FaultRun {};

TEST_F(CoderFaults, KilledInMidConversion) {
    const std::string victim = Place(ClipKind::LongWebm, "victim.webm");
    const std::string next = Place(ClipKind::Avi640x480, "next.avi");
    const FileState victimBefore = StateOf(victim);
    // As soon as the coder has made the victim's output, it is killed while it encodes (the
    // clip takes many seconds). The script has become the coder by then, so $$ is the coder
    // itself.
    const std::string coder = WrapperCoder(
        "killed-coder", {"",
                         "case \"$output\" in *-lmk-victim.webm)\n"
                         "  ( i=0\n"
                         "    while [ ! -e \"$output\" ] && [ $i -lt 6000 ] && kill -0 $$; do\n"
                         "      sleep 0.01; i=$((i + 1))\n"
                         "    done\n"
                         "    kill -KILL $$ ) &\n"
                         "esac"});

    const RunResult result = ConvertWith(coder, {victim, next});

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(FailedStatusLine("victim.webm")));
    EXPECT_THAT(result.out, HasSubstr(StatusLine("next.avi")));
    EXPECT_THAT(result.out, HasSubstr(kDone));
    const auto failures = FailureLines(result.out);
    ASSERT_EQ(failures.size(), 1u) << result.out;
    EXPECT_THAT(failures[0], StartsWith(kFailedConversionPrefix + "victim.webm: "));
    EXPECT_GT(failures[0].size(), (kFailedConversionPrefix + "victim.webm: ").size());
    EXPECT_THAT(FolderNames(WorkFolder()),
                UnorderedElementsAreArray({"victim.webm", "next.avi", "lmk-next.avi"}))
        << "the killed coder's partial output was left behind";
    EXPECT_TRUE(StateOf(victim) == victimBefore) << "the input was changed";
    ExpectConverted(Work("lmk-next.avi"));
}

TEST_F(CoderFaults, InputRemovedBetweenProbeAndConversion) {
    const std::string gone = Place(ClipKind::Avi640x480, "gone.avi");
    const std::string next = Place(ClipKind::Avi640x480, "next.avi");
    const std::string coder = WrapperCoder(
        "deleting-coder", {"case \"$2\" in */gone.avi) rm -f -- \"${2#file:}\" ;; esac", ""});

    const RunResult result = ConvertUnconfined(coder, {gone, next});

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    const auto failures = FailureLines(result.out);
    ASSERT_EQ(failures.size(), 1u) << result.out;
    EXPECT_THAT(failures[0], StartsWith(kFailedConversionPrefix + "gone.avi: "));
    EXPECT_THAT(failures[0], HasSubstr("No such file or directory"));
    EXPECT_THAT(FolderNames(WorkFolder()), UnorderedElementsAreArray({"next.avi", "lmk-next.avi"}));
    ExpectConverted(Work("lmk-next.avi"));
}

// --- Inputs the coder cannot read ---------------------------------------------------------

struct UnreadableCase {
    const char* label;
    const char* name;       // as given on the command line, inside work/
    const char* shownName;  // as the status and failure lines show it
    const char* output;     // where the output would have gone, inside work/
    void (*make)(const std::string& path);
    CoderFault fault = {};    // arranged around the real coder, when any
    bool kept = false;        // the output is all the input holds: kept, and reported
    const char* reason = "";  // what the failure line says, when known
};

void PrintTo(const UnreadableCase& c, std::ostream* out) {
    *out << c.label;
}

// No media file inside: a folder's media files would be converted.
void MakeFolder(const std::string& path) {
    std::filesystem::create_directory(path);
    test::WriteFile(path + "/inside.txt", "a file inside the folder");
}

void MakeText(const std::string& path) {
    test::WriteFile(path, "Shopping list:\nmilk\nbread\n");
}

void MakeEmpty(const std::string& path) {
    test::WriteFile(path, "");
}

// The first few kilobytes of an MP4 whose index sits at its end.
void MakeTruncated(const std::string& path) {
    test::WriteFile(path,
                    test::ReadFile(ClipShelf::Get(ClipKind::Mp4H264_720x480)).substr(0, 4096));
}

void MakeClip(const std::string& path) {
    test::CopyFile(ClipShelf::Get(ClipKind::Avi640x480), path);
}

// The first half of an MP4 whose index comes first: the coder reads what there is and warns.
void MakeCutOff(const std::string& path) {
    const std::string whole = test::ReadFile(ClipShelf::Get(ClipKind::Mp4FourSeconds));
    test::WriteFile(path, whole.substr(0, whole.size() / 2));
}

// Encrypted as some stores sell films: the coder reads its streams but cannot decode them.
void MakeEncrypted(const std::string& path) {
    integration::RunCoder({"-i", ClipShelf::Get(ClipKind::Mp4H264_720x480), "-c", "copy",
                           "-encryption_scheme", "cenc-aes-ctr", "-encryption_key",
                           "76a6c65c5ea762046bd749a2e632ccbb", "-encryption_kid",
                           "a7e61c373e219033c21091fa607bf3b8", path});
}

// Everything under `path`: names with their bytes (folders as a mark).
std::vector<std::pair<std::string, std::string>> Contents(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> all;
    if (!std::filesystem::is_directory(path)) return {{path, StateOf(path).bytes}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        all.emplace_back(entry.path().string(), entry.is_directory()
                                                    ? std::string("<folder>")
                                                    : test::ReadFile(entry.path()));
    }
    std::sort(all.begin(), all.end());
    return all;
}

class UnreadableInputs : public FaultRun, public testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadableInputs, FailureLineNoOutputNextFileConverted) {
    const UnreadableCase& c = GetParam();
    std::string inputPath = Work(c.name);
    c.make(inputPath.back() == '/' ? inputPath.substr(0, inputPath.size() - 1) : inputPath);
    const std::string next = Place(ClipKind::Avi640x480, "next.avi");
    const auto contentsBefore = Contents(inputPath);
    const auto namesBefore = FolderNames(WorkFolder());

    const bool arranged = !c.fault.afterProbe.empty() || !c.fault.beforeConversion.empty();
    const RunResult result =
        ConvertWith(arranged ? WrapperCoder("arranged-coder", c.fault) : integration::CoderPath(),
                    {inputPath, next});

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_THAT(result.out, HasSubstr(FailedStatusLine(c.shownName)));
    const auto failures = FailureLines(result.out);
    ASSERT_EQ(failures.size(), 1u) << result.out;
    EXPECT_THAT(failures[0], StartsWith(kFailedConversionPrefix + c.shownName + ": "));
    EXPECT_THAT(failures[0], HasSubstr(c.reason));
    EXPECT_EQ(test::Exists(Work(c.output)), c.kept) << "the output of " << c.name;
    EXPECT_EQ(Contents(inputPath), contentsBefore) << "the input was changed";
    std::vector<std::string> namesAfter = namesBefore;
    namesAfter.push_back("lmk-next.avi");
    if (c.kept) namesAfter.push_back(c.output);
    EXPECT_THAT(FolderNames(WorkFolder()), UnorderedElementsAreArray(namesAfter));
    ExpectConverted(Work("lmk-next.avi"));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, UnreadableInputs,
    testing::Values(
        UnreadableCase{"Folder", "folder.avi", "folder.avi", "lmk-folder.avi", MakeFolder},
        // Named with its trailing "/": shown by its own name, and no "lmk-" made inside it.
        UnreadableCase{"FolderWithSlash", "folder.avi/", "folder.avi", "folder.avi/lmk-",
                       MakeFolder},
        UnreadableCase{"TextFile", "notes.avi", "notes.avi", "lmk-notes.avi", MakeText},
        UnreadableCase{"EmptyFile", "empty.mp4", "empty.mp4", "lmk-empty.mp4", MakeEmpty},
        UnreadableCase{"TruncatedMp4", "cut.mp4", "cut.mp4", "lmk-cut.mp4", MakeTruncated},
        UnreadableCase{"CoderEndsWellWithoutWriting", "quiet.avi", "quiet.avi", "lmk-quiet.avi",
                       MakeClip,
                       CoderFault{"", "case \"$output\" in *-lmk-quiet.avi) exit 0;; esac"}, false,
                       "кодер не записал файл lmk-quiet.avi"},
        UnreadableCase{"EncryptedMp4ReasonIsTheDecodingError",
                       "sealed.mp4",
                       "sealed.mp4",
                       "lmk-sealed.mp4",
                       MakeEncrypted,
                       {},
                       false,
                       "Error while decoding stream #0:"},
        UnreadableCase{"CutOffMp4KeptAndReported",
                       "half.mp4",
                       "half.mp4",
                       "lmk-half.mp4",
                       MakeCutOff,
                       {},
                       true,
                       " из 0:04"}),
    [](const auto& info) { return std::string(info.param.label); });

// A folder named with a trailing "/" has an empty file name, so its output path is "lmk-"
// inside that folder: a file of the user's by that name must survive the failed conversion.
TEST_F(CoderFaults, FolderWithSlashKeepsFileNamedPrefixInside) {
    const std::string folder = Work("folder.avi");
    std::filesystem::create_directory(folder);
    test::WriteFile(folder + "/lmk-", "a file of the user's");
    const FileState before = StateOf(folder + "/lmk-");

    const RunResult result = ConvertWith(integration::CoderPath(), {folder + "/"});

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
    ASSERT_TRUE(test::Exists(folder + "/lmk-")) << "a file inside the folder was deleted";
    EXPECT_TRUE(StateOf(folder + "/lmk-") == before);
}

}  // namespace
}  // namespace lmk::faults

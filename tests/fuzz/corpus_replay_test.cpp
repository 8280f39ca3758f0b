#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_checks.h"

namespace lmk::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> CorpusFiles(const std::string& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(LMK_FUZZ_CORPUS_DIR) / folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Corpus {
    const char* folder;
    std::string (*check)(std::string_view);
};

void PrintTo(const Corpus& corpus, std::ostream* out) {
    *out << corpus.folder;
}

class CorpusReplay : public testing::TestWithParam<Corpus> {};

TEST_P(CorpusReplay, EveryFileAgrees) {
    const std::vector<fs::path> files = CorpusFiles(GetParam().folder);
    // An emptied or misplaced corpus would otherwise pass without checking anything.
    ASSERT_GE(files.size(), 10u) << "corpus folder " << GetParam().folder;
    for (const auto& file : files) {
        EXPECT_EQ(GetParam().check(ReadBytes(file)), "") << file.filename();
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, CorpusReplay,
                         testing::Values(Corpus{"whole_number", CheckWholeNumber},
                                         Corpus{"probe_report", CheckProbeReport}),
                         [](const auto& info) { return std::string(info.param.folder); });

}  // namespace
}  // namespace lmk::fuzz

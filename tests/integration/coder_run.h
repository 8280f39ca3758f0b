#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clips.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::integration {

extern const std::string kDone;                    // "Готово!"
extern const std::string kFailedConversionPrefix;  // "Не удалось сконвертировать файл "

// A file's status line as the program prints it: no space at its end.
// A file's line as printed to a pipe once it is done: converted, or not.
std::string StatusLine(const std::string& shownName);
std::string FailedStatusLine(const std::string& shownName);
// On a terminal, where the line was drawn as the file began: as it began.
std::string TerminalStatusLine(const std::string& shownName);

// Each test gets a fresh folder: work/ for the files it converts and run/ as the program's
// runtime folder, which must be empty again after every run of the program.
class CoderRun : public testing::Test {
protected:
    static void SetUpTestSuite() { ClipShelf::Open(); }
    static void TearDownTestSuite() { ClipShelf::Close(); }

    void SetUp() override;
    void TearDown() override;

    std::string WorkFolder() const { return *m_folder / "work"; }
    std::string Work(const std::string& name) const { return WorkFolder() + "/" + name; }

    // Copies a clip into the work folder under `name` and returns its path.
    std::string Place(ClipKind kind, const std::string& name) const;

    // Settings with the runtime folder pointed at run/.
    test::RunSettings Settings() const;
    // For a coder standing in that writes where the test looks, beyond its own output.
    test::RunSettings WithoutSandbox() const;

    // `lmk-video --convert --coder CODER options... files...`
    test::RunResult Convert(const std::vector<std::string>& files,
                            const std::vector<std::string>& options = {}) const;
    test::RunResult Convert(const std::vector<std::string>& files,
                            const std::vector<std::string>& options,
                            const test::RunSettings& settings) const;
    std::vector<std::string> ConvertArguments(const std::vector<std::string>& files,
                                              const std::vector<std::string>& options) const;

private:
    std::unique_ptr<test::ScratchFolder> m_folder;
};

}  // namespace lmk::integration

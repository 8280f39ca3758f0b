#include "coder_run.h"

#include <filesystem>

#include <gmock/gmock.h>

#include "integration_support.h"

namespace lmk::integration {

using test::CopyFile;
using test::FolderNames;
using test::RunProgram;
using test::RunResult;
using test::RunSettings;
using test::ScratchFolder;

const std::string kDone = "Готово!";
const std::string kFailedConversionPrefix = "Не удалось сконвертировать файл ";

std::string StatusLine(const std::string& shownName) {
    return "Обрабатывается файл " + shownName + "... готово";
}

std::string TerminalStatusLine(const std::string& shownName) {
    return "Обрабатывается файл " + shownName + "...";
}

std::string FailedStatusLine(const std::string& shownName) {
    return "Обрабатывается файл " + shownName + "... не удалось";
}

void CoderRun::SetUp() {
    m_folder = std::make_unique<ScratchFolder>("test");
    std::filesystem::create_directory(*m_folder / "work");
    std::filesystem::create_directory(*m_folder / "run");
}

void CoderRun::TearDown() {
    EXPECT_THAT(FolderNames(*m_folder / "run"), testing::IsEmpty())
        << "the program left its private folder behind";
    m_folder.reset();
}

std::string CoderRun::Place(ClipKind kind, const std::string& name) const {
    const std::string path = Work(name);
    CopyFile(ClipShelf::Get(kind), path);
    return path;
}

RunSettings CoderRun::WithoutSandbox() const {
    RunSettings settings = Settings();
    settings.environmentExtra.push_back("LMK_NO_SANDBOX=1");
    return settings;
}

RunSettings CoderRun::Settings() const {
    RunSettings settings;
    settings.currentFolder = WorkFolder();
    const std::string run = *m_folder / "run";
    settings.environmentExtra = {"XDG_RUNTIME_DIR=" + run, "TMPDIR=" + run};
    return settings;
}

std::vector<std::string> CoderRun::ConvertArguments(const std::vector<std::string>& files,
                                                    const std::vector<std::string>& options) const {
    std::vector<std::string> arguments{"--convert", "--coder", CoderPath()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), files.begin(), files.end());
    return arguments;
}

RunResult CoderRun::Convert(const std::vector<std::string>& files,
                            const std::vector<std::string>& options) const {
    return Convert(files, options, Settings());
}

RunResult CoderRun::Convert(const std::vector<std::string>& files,
                            const std::vector<std::string>& options,
                            const RunSettings& settings) const {
    return RunProgram(ProgramPath(), ConvertArguments(files, options), settings);
}

}  // namespace lmk::integration

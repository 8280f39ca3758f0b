#pragma once

#include <string>
#include <vector>

// Folders and files for the tests of every suite.
namespace lmk::test {

// Where scratch files go: $TMPDIR, else /tmp.
std::string TemporaryBase();

// A fresh folder "lmk-LABEL-XXXXXX" under the temporary folder, removed with everything in it
// at the end of the scope.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& label = "test");
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
// Throws when the file cannot be read.
std::string ReadFile(const std::string& path);
// True for anything by that name, a dangling link included.
bool Exists(const std::string& path);
void CopyFile(const std::string& from, const std::string& to);
// The names in a folder, sorted.
std::vector<std::string> FolderNames(const std::string& folder);
// True while a conversion writes a partial file for an output named `outputName` (or that name
// with the second attempt's extension) in `folder`.
bool PartialFileIn(const std::string& folder, const std::string& outputName);
// The lines of a text, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);

// Writes a /bin/sh script with `body` and makes it executable; returns its path.
std::string WriteScript(const std::string& path, const std::string& body);

// For a stand-in coder's conversion: prints the output's description as the coder would, with
// the frame it was asked for ("-vf scale=W:H,..."), and a last progress line at `$clock`
// (hh:mm:ss.xx), so that the output is judged by what it was asked to be.
extern const char* const kDescribeOutput;

}  // namespace lmk::test

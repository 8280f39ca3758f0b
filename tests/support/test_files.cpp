#include "test_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace lmk::test {

namespace fs = std::filesystem;

std::string TemporaryBase() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

ScratchFolder::ScratchFolder(const std::string& label) {
    std::string pattern = TemporaryBase() + "/lmk-" + label + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    m_path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    // A test may have taken the write permission away.
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(m_path, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

void CopyFile(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool PartialFileIn(const std::string& folder, const std::string& outputName) {
    for (const auto& name : FolderNames(folder))
        if (name.rfind(".lmk-partial-", 0) == 0 && name.find("-" + outputName) != std::string::npos)
            return true;
    return false;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream input(text);
    std::string line;
    while (std::getline(input, line)) lines.push_back(line);
    return lines;
}

std::string WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    if (chmod(path.c_str(), 0755) != 0) throw std::runtime_error("cannot chmod " + path);
    return path;
}

const char* const kDescribeOutput = R"(
size=
for arg; do case $arg in scale=*) s=${arg#scale=}; s=${s%%,*}; size="${s%:*}x${s#*:}";; esac; done
echo "Output #0, avi, to 'output':"
[ -n "$size" ] && echo "  Stream #0:0: Video: mpeg4, yuv420p, $size [SAR 1:1 DAR 4:3]"
echo "  Stream #0:1: Audio: mp3, 44100 Hz, stereo, fltp"
echo "frame=   10 fps=0.0 q=-0.0 Lsize=       1kB time=${clock:-00:00:01.00} bitrate=   1.0kbits/s"
)";

}  // namespace lmk::test

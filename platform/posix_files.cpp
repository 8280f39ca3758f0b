#include "posix_platform.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "failures.h"
#include "file_descriptor.h"

namespace lmk {
namespace {

// Reads until the end of the file, or `limit` bytes, into `data`, from `offset` when given
// (pread) or else from where the descriptor stands (read, which pipes and devices allow too);
// returns 0 or the errno of the failing read. Short reads and interruptions just go round
// again, whatever the size.
int ReadToEnd(int fd, std::optional<std::uint64_t> offset, std::string& data,
              std::size_t limit = std::numeric_limits<std::size_t>::max()) {
    constexpr std::size_t minimumBuffer = 64 * 1024;
    const std::uint64_t start = offset.value_or(0);
    std::size_t expected = 0;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uint64_t>(info.st_size) > start)
        expected = static_cast<std::size_t>(static_cast<std::uint64_t>(info.st_size) - start);

    // One byte more than the file holds, so its end shows without growing the buffer.
    data.resize(std::min(std::max(expected + 1, minimumBuffer), limit));
    std::size_t used = 0;
    while (used < limit) {
        if (used == data.size()) data.resize(std::min(data.size() * 2, limit));
        char* const place = data.data() + used;
        const std::size_t room = data.size() - used;
        const ssize_t count = offset ? pread(fd, place, room, static_cast<off_t>(start + used))
                                     : read(fd, place, room);
        if (count < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            data.clear();
            return error;
        }
        if (count == 0) break;
        used += static_cast<std::size_t>(count);
    }
    data.resize(used);
    return 0;
}

}  // namespace

bool PosixFiles::IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string PosixFiles::Delete(const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return SystemErrorText(errno);
}

std::string PosixFiles::ReadAll(const std::string& path) {
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int error = file.Valid() ? 0 : errno;
    std::string data;
    if (error == 0) error = ReadToEnd(file.Get(), std::nullopt, data);
    // A folder opens fine and fails on the first read (EISDIR): the same message either way.
    if (error != 0) throw CannotOpenFile(AbsolutePath(path), SystemErrorText(error));
    return data;
}

std::string PosixFiles::ReadFrom(const std::string& path, std::uint64_t offset, std::size_t limit) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return {};
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string data;
    if (!file.Valid() || ReadToEnd(file.Get(), offset, data, limit) != 0) return {};
    return data;
}

FileStatus PosixFiles::StatusOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return {};
    if (S_ISDIR(info.st_mode)) return {FileKind::Folder, 0};
    if (!S_ISREG(info.st_mode)) return {FileKind::Special, 0};
    return {FileKind::Regular, static_cast<std::uint64_t>(info.st_size)};
}

std::vector<std::string> PosixFiles::FolderNames(const std::string& path) {
    std::vector<std::string> names;
    DIR* const folder = opendir(path.c_str());
    if (!folder) return names;
    while (const dirent* entry = readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    closedir(folder);
    return names;
}

}  // namespace lmk

#include "posix_platform.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "failures.h"
#include "file_descriptor.h"

namespace lmk {
namespace {

// Reads from `offset` until the end of the file into `data`; returns 0 or the errno of the
// failing read. pread keeps going after short reads and interruptions, whatever the size.
int ReadToEnd(int fd, std::uint64_t offset, std::string& data) {
    constexpr std::size_t minimumBuffer = 64 * 1024;
    std::size_t expected = 0;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uint64_t>(info.st_size) > offset)
        expected = static_cast<std::size_t>(static_cast<std::uint64_t>(info.st_size) - offset);

    // One byte more than the file holds, so its end shows without growing the buffer.
    data.resize(std::max(expected + 1, minimumBuffer));
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) data.resize(data.size() * 2);
        const ssize_t count =
            pread(fd, data.data() + used, data.size() - used, static_cast<off_t>(offset + used));
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

void PosixFiles::Delete(const std::string& path) {
    unlink(path.c_str());
}

std::string PosixFiles::ReadAll(const std::string& path) {
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int error = file.Valid() ? 0 : errno;
    std::string data;
    if (error == 0) error = ReadToEnd(file.Get(), 0, data);
    // A folder opens fine and fails on the first read (EISDIR): the same message either way.
    if (error != 0) throw CannotOpenFile(AbsolutePath(path), SystemErrorText(error));
    return data;
}

std::string PosixFiles::ReadFrom(const std::string& path, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return {};
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string data;
    if (!file.Valid() || ReadToEnd(file.Get(), offset, data) != 0) return {};
    return data;
}

}  // namespace lmk

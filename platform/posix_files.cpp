#include "posix_platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conversion_job.h"
#include "failures.h"
#include "file_descriptor.h"
#include "utf8_text.h"

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

constexpr std::string_view kPartialPrefix = ".lmk-partial-";

std::atomic<unsigned long> g_partialSerial{0};

// The folders held while files in them are converted, each opened once, with how many hold it.
struct HeldFolder {
    FileDescriptor folder;
    int error = 0;  // errno of the opening, when it failed
    bool othersLink = false;
    int holders = 0;
};

// Never destroyed: a job's thread may still use them while exit() runs.
std::mutex& g_heldMutex = *new std::mutex;
std::map<std::string, HeldFolder>& g_heldFolders = *new std::map<std::string, HeldFolder>;

// Opens `name` in `folder`; a link there is followed only when the user or root made it (and
// `flags` allow): one that another user made may lead to what only this user may read.
int OpenNotFollowingOthers(int folder, const char* name, int flags, bool& othersLink) {
    othersLink = false;
    const FileDescriptor standing(openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!standing.Valid() || fstat(standing.Get(), &info) != 0) return -1;
    if (!S_ISLNK(info.st_mode) || (flags & O_NOFOLLOW))
        return openat(folder, name, flags | O_NOFOLLOW | O_CLOEXEC);
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        othersLink = true;
        errno = ELOOP;
        return -1;
    }
    // The link that was checked, read through its own descriptor.
    char target[PATH_MAX];
    const ssize_t length = readlinkat(standing.Get(), "", target, sizeof target - 1);
    if (length < 0) return -1;
    target[length] = '\0';
    return openat(folder, target, flags | O_CLOEXEC);
}

// Opens `folder` as FolderPart gives it ("" for the current one), by the rule above.
int OpenFolder(const std::string& folder, bool& othersLink) {
    othersLink = false;
    std::string path = folder;
    while (path.size() > 1 && path.ends_with('/')) path.pop_back();
    if (path.empty() || path == "/")
        return open(path.empty() ? "." : "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const auto slash = path.rfind('/');
    const FileDescriptor parent(
        slash == std::string::npos
            ? open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)
            : open(path.substr(0, slash + 1).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent.Valid()) return -1;
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return OpenNotFollowingOthers(parent.Get(), name.c_str(), O_PATH | O_DIRECTORY, othersLink);
}

// `path`'s folder, as held while a file in it is converted or else opened now, and its name
// there ("." for a path that ends in "/").
class Place {
public:
    explicit Place(const std::string& path) {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        m_name = path.substr(folder.size());
        if (m_name.empty() && !folder.empty()) m_name = ".";
        {
            const std::lock_guard lock(g_heldMutex);
            if (const auto held = g_heldFolders.find(folder); held != g_heldFolders.end()) {
                const HeldFolder& found = held->second;
                m_othersLink = found.othersLink;
                m_error = found.error;
                if (found.folder.Valid())
                    m_folder.Reset(fcntl(found.folder.Get(), F_DUPFD_CLOEXEC, 0));
                if (!m_folder.Valid() && m_error == 0) m_error = errno;
                return;
            }
        }
        m_folder.Reset(OpenFolder(folder, m_othersLink));
        if (!m_folder.Valid()) m_error = errno;
    }

    // False, errno set, when the folder could not be opened.
    bool Valid() const {
        if (m_error != 0) errno = m_error;
        return m_error == 0;
    }
    int Folder() const { return m_folder.Get(); }
    const char* Name() const { return m_name.c_str(); }
    // The folder is a link another user made.
    bool OthersLink() const { return m_othersLink; }

private:
    FileDescriptor m_folder;
    std::string m_name;
    int m_error = 0;
    bool m_othersLink = false;
};

// True while `name` in `folder` is the file open at `fd`.
bool StillNamed(int folder, const char* name, int fd) {
    struct stat named {};
    struct stat held {};
    return fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// Partial files of `output` that no run holds locked: a run that was killed left them. The
// process number in the name tells nothing across PID name spaces (containers, sandboxes).
void RemoveLeftPartials(int folder, const std::string& outputName) {
    FileDescriptor opened(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* const listing = opened.Valid() ? fdopendir(opened.Get()) : nullptr;
    if (!listing) return;
    opened.Release();
    while (const dirent* entry = readdir(listing)) {
        if (PartialFileProcess(entry->d_name, outputName) <= 0) continue;
        const FileDescriptor file(
            openat(dirfd(listing), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.Valid() && LockFile(file.Get(), LOCK_EX | LOCK_NB) &&
            StillNamed(dirfd(listing), entry->d_name, file.Get()))
            unlinkat(dirfd(listing), entry->d_name, 0);
    }
    closedir(listing);
}

constexpr std::size_t kLongestName = NAME_MAX;
constexpr std::size_t kKeptEnd = 24;

// The output's name in `room` bytes: a long one loses the middle, its end (the extension the
// coder picks the container by) kept; both cuts fall between whole UTF-8 characters.
std::string FittedName(const std::string& name, std::size_t room) {
    if (name.size() <= room) return name;
    const std::size_t tail = std::min(kKeptEnd, room / 2);
    return ShortenedInTheMiddle(name, room - tail - 1, tail, "~");
}

// Digits only, without leading zeros (0 itself allowed).
bool IsNumber(std::string_view text) {
    return !text.empty() && text.size() <= 18 && (text == "0" || text.front() != '0') &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool LockFile(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

std::string PartialFileName(const std::string& outputName, long process, unsigned long serial) {
    const std::string head =
        std::string(kPartialPrefix) + std::to_string(process) + "-" + std::to_string(serial) + "-";
    return head + FittedName(outputName, kLongestName - std::min(head.size(), kLongestName));
}

long PartialFileProcess(const std::string& name, const std::string& outputName) {
    if (!name.starts_with(kPartialPrefix)) return 0;
    // "PROCESS-SERIAL-" then the output's name, fitted.
    const auto dash = name.find('-', kPartialPrefix.size());
    const auto secondDash = dash == std::string::npos ? dash : name.find('-', dash + 1);
    if (secondDash == std::string::npos) return 0;
    const std::string_view process(name.data() + kPartialPrefix.size(),
                                   dash - kPartialPrefix.size());
    const std::string_view serial(name.data() + dash + 1, secondDash - dash - 1);
    if (!IsNumber(process) || !IsNumber(serial) ||
        name.substr(secondDash + 1) != FittedName(outputName, kLongestName - secondDash - 1))
        return 0;
    return std::stol(std::string(process));
}

int OpenInItsFolder(const std::string& path, int flags, bool& othersLink) {
    const Place place(path);
    othersLink = place.OthersLink();
    if (!place.Valid()) return -1;
    return OpenNotFollowingOthers(place.Folder(), place.Name(), flags, othersLink);
}

void PosixFiles::HoldFolder(const std::string& folder) {
    const std::lock_guard lock(g_heldMutex);
    HeldFolder& held = g_heldFolders[folder];
    if (held.holders++ > 0) return;
    held.folder.Reset(OpenFolder(folder, held.othersLink));
    held.error = held.folder.Valid() ? 0 : errno;
}

void PosixFiles::LetGoFolder(const std::string& folder) {
    const std::lock_guard lock(g_heldMutex);
    const auto held = g_heldFolders.find(folder);
    if (held != g_heldFolders.end() && --held->second.holders == 0) g_heldFolders.erase(held);
}

PartialFile PosixFiles::CreatePartial(const std::string& output, std::uint32_t permissions) {
    const Place place(output);
    if (!place.Valid()) return {{}, SystemErrorText(errno)};
    struct stat info {};
    if (fstatat(place.Folder(), place.Name(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode))
        return {{}, SystemErrorText(EISDIR)};
    const std::string folder = FolderPart(output);
    const std::string outputName = FileNamePart(output);
    RemoveLeftPartials(place.Folder(), outputName);

    for (;;) {
        const std::string name =
            PartialFileName(outputName, getpid(), g_partialSerial.fetch_add(1));
        // Made anew: a name planted meanwhile, a link included, is never written through.
        FileDescriptor file(openat(place.Folder(), name.c_str(),
                                   O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC,
                                   static_cast<mode_t>(permissions & 0777)));
        if (!file.Valid()) {
            if (errno != EEXIST) return {{}, SystemErrorText(errno)};
            continue;
        }
        // Another run clearing left partial files may have taken it before it was locked: it
        // then goes, and another name is tried. On a file system without locks no run clears it.
        if (LockFile(file.Get(), LOCK_EX | LOCK_NB)) {
            if (!StillNamed(place.Folder(), name.c_str(), file.Get())) continue;
        } else if (errno == EWOULDBLOCK) {
            continue;
        }
        const std::lock_guard lock(m_mutex);
        const std::string path = folder + name;
        m_partials[path].Reset(file.Release());
        return {path, {}};
    }
}

void PosixFiles::LetGo(const std::string& partial) {
    const std::lock_guard lock(m_mutex);
    m_partials.erase(partial);
}

std::string PosixFiles::Replace(const std::string& partial, const std::string& output) {
    const Place from(partial);
    const Place to(output);
    if (!from.Valid() || !to.Valid()) return SystemErrorText(errno);
    {
        const FileDescriptor file(
            openat(from.Folder(), from.Name(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!file.Valid() || fsync(file.Get()) != 0) return SystemErrorText(errno);
    }
    if (renameat(from.Folder(), from.Name(), to.Folder(), to.Name()) != 0)
        return SystemErrorText(errno);
    LetGo(partial);
    // The new name itself reaches the disk with its folder.
    const FileDescriptor folder(openat(to.Folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Valid()) fsync(folder.Get());
    return {};
}

void PosixFiles::DeleteHeldPartials() {
    // A run holding the mutex is left alone: the program ends before it could let go.
    const std::unique_lock lock(m_mutex, std::try_to_lock);
    if (!lock) return;
    for (const auto& [path, file] : m_partials) {
        const Place place(path);
        if (place.Valid()) unlinkat(place.Folder(), place.Name(), 0);
    }
    m_partials.clear();
}

bool PosixFiles::IsFile(const std::string& path) {
    const FileKind kind = StatusOf(path).kind;
    return kind != FileKind::Missing && kind != FileKind::Folder;
}

std::string PosixFiles::Delete(const std::string& path) {
    const Place place(path);
    // Unlocked only once it has no name: no other run clears it meanwhile.
    if ((place.Valid() && unlinkat(place.Folder(), place.Name(), 0) == 0) || errno == ENOENT) {
        LetGo(path);
        return {};
    }
    return SystemErrorText(errno);
}

std::string PosixFiles::ReadAll(const std::string& path) {
    bool othersLink = false;
    FileDescriptor file(OpenInItsFolder(path, O_RDONLY, othersLink));
    int error = file.Valid() ? 0 : errno;
    std::string data;
    if (error == 0) error = ReadToEnd(file.Get(), std::nullopt, data);
    // A folder opens fine and fails on the first read (EISDIR): the same message either way.
    if (error != 0) throw CannotOpenFile(AbsolutePath(path), SystemErrorText(error));
    return data;
}

std::string PosixFiles::ReadFrom(const std::string& path, std::uint64_t offset, std::size_t limit) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return {};
    bool othersLink = false;
    FileDescriptor file(OpenInItsFolder(path, O_RDONLY, othersLink));
    std::string data;
    if (!file.Valid() || ReadToEnd(file.Get(), offset, data, limit) != 0) return {};
    return data;
}

FileStatus PosixFiles::StatusOf(const std::string& path) {
    bool othersLink = false;
    const FileDescriptor file(OpenInItsFolder(path, O_PATH, othersLink));
    if (othersLink) return {FileKind::OthersLink, 0};
    struct stat info {};
    if (!file.Valid() || fstat(file.Get(), &info) != 0) return {};
    if (S_ISDIR(info.st_mode)) return {FileKind::Folder, 0};
    if (!S_ISREG(info.st_mode)) return {FileKind::Special, 0};
    return {FileKind::Regular, static_cast<std::uint64_t>(info.st_size),
            static_cast<std::uint32_t>(info.st_mode & 0777)};
}

FolderListing PosixFiles::FolderNames(const std::string& path) {
    FolderListing listing;
    bool othersLink = false;
    FileDescriptor opened(OpenInItsFolder(path, O_RDONLY | O_DIRECTORY, othersLink));
    DIR* const folder = opened.Valid() ? fdopendir(opened.Get()) : nullptr;
    if (!folder) return {{}, SystemErrorText(errno)};
    opened.Release();
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(folder);
        if (!entry) {
            // A folder that fails half way is not one with nothing in it.
            if (errno != 0) listing = {{}, SystemErrorText(errno)};
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") listing.names.emplace_back(name);
    }
    closedir(folder);
    return listing;
}

}  // namespace lmk

#include "shared_coder_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "coder_payload.h"
#include "failures.h"
#include "posix_platform.h"

namespace lmk {
namespace {

// False when the file was removed (or replaced) after it was opened: a copy that ended
// meanwhile took it away.
bool StillNamedBy(const std::string& path, int fd) {
    struct stat named {};
    struct stat held {};
    return ::lstat(path.c_str(), &named) == 0 && ::fstat(fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// Why the coder file at `fd` must not be used. Someone else's file, even one we may write to,
// could be changed by them after it was written; only its mode is ours to mend when we write it.
std::string Refusal(int fd, bool rewritten) {
    const std::string refusal = ProgramFileRefusal(fd, ProgramOwner::User);
    struct stat info {};
    if (rewritten && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
        return {};
    return refusal;
}

}  // namespace

void SharedCoderFile::Export(const std::string& name, const std::string& path) {
    Release();
    for (;;) {
        // Read-only: a file that another copy's coder runs from cannot be opened for writing
        // (ETXTBSY), but its lock can still be asked for. Without waiting: a FIFO put there is
        // refused below, not waited on for a writer.
        m_file.Reset(::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                            kExecutableMode));
        const int fd = m_file.Get();
        const bool alone = fd >= 0 && LockFile(fd, LOCK_EX | LOCK_NB);
        // Held by others: wait only while one of them is writing it.
        if (fd < 0 || (!alone && !LockFile(fd, LOCK_SH))) {
            const int error = errno;
            m_file.Reset();
            throw CannotCreateFile(path, SystemErrorText(error));
        }
        if (!StillNamedBy(path, fd)) continue;
        // Ours to rewrite when alone with it; as another copy holds it, it runs as it stands.
        if (const std::string refusal = Refusal(fd, alone); !refusal.empty()) {
            m_file.Reset();
            throw Exception("The coder file \"" + path + "\" is not used: " + refusal);
        }
        m_path = path;
        if (!alone) return;

        try {
            ExportPayload(name, path);
        } catch (const EWriteError&) {
            LockFile(fd, LOCK_SH);  // the short file is still ours to remove at the end
            throw;
        } catch (...) {
            m_file.Reset();
            m_path.clear();
            throw;
        }
        LockFile(fd, LOCK_SH);
        // The mode the payload's writing gave it, checked on the file this copy holds.
        if (const std::string refusal = ProgramFileRefusal(fd, ProgramOwner::User);
            !refusal.empty()) {
            Release();
            throw Exception("The coder file \"" + path + "\" is not used: " + refusal);
        }
        return;
    }
}

void SharedCoderFile::Release() {
    if (!m_file.Valid()) return;
    // Alone with it: no other copy runs from this folder any more.
    if (LockFile(m_file.Get(), LOCK_EX | LOCK_NB) && StillNamedBy(m_path, m_file.Get())) {
        ::unlink(m_path.c_str());
    }
    m_file.Reset();
    m_path.clear();
}

}  // namespace lmk

#include "coder_payload.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QResource>
#include <QString>

#include "failures.h"
#include "file_descriptor.h"
#include "posix_platform.h"

namespace lmk {
namespace {}  // namespace

std::string PayloadResourcePath(const std::string& name) {
    return ":/Export/" + name;
}

void ExportPayload(const std::string& name, const std::string& path) {
    const QResource resource(QString::fromStdString(PayloadResourcePath(name)));
    // The build stores the payload uncompressed, so its bytes are read in place; a missing
    // payload gives an empty coder file, as the start never looks at the lookup.
    QByteArray unpacked;
    const char* bytes = nullptr;
    qint64 size = 0;
    if (resource.isValid()) {
        if (resource.compressionAlgorithm() == QResource::NoCompression) {
            bytes = reinterpret_cast<const char*>(resource.data());
            size = resource.size();
        } else {
            unpacked = resource.uncompressedData();
            bytes = unpacked.constData();
            size = unpacked.size();
        }
    }

    // No O_NOFOLLOW would let a planted link aim the write at another file. Without waiting: a
    // FIFO planted there with no reader fails at once (ENXIO) rather than hold the start.
    const FileDescriptor file(
        ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
               kExecutableMode));
    if (file.Get() < 0) throw CannotCreateFile(path, SystemErrorText(errno));

    // A coder file left by an earlier run may have lost its executable bit.
    struct stat status {};
    if (::fstat(file.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
        (status.st_mode & 07777) != kExecutableMode) {
        ::fchmod(file.Get(), kExecutableMode);
    }

    // A short write is tried on, so that a full disk gives its reason.
    while (size > 0) {
        const ssize_t written = ::write(file.Get(), bytes, static_cast<size_t>(size));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int error = written < 0 ? errno : ENOSPC;
            throw EWriteError("Stream write error in file \"" + path + "\". " +
                              SystemErrorText(error));
        }
        bytes += written;
        size -= written;
    }
}

std::string SystemCoderPath() {
    std::string path = FindOnPath(kSystemCoderName);
    if (path.empty()) {
        throw Exception(std::string("The program \"") + kSystemCoderName +
                        "\" was not found in any folder on PATH; install the ffmpeg package");
    }
    return path;
}

}  // namespace lmk

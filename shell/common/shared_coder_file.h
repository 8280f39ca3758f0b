#pragma once

#include <string>

#include "file_descriptor.h"

namespace lmk {

// The carried coder's file beside the program, shared by every copy of the program started
// from that folder. Each copy holds a shared lock on it while it runs: the file is written only
// when no other copy holds it (a copy may be starting a coder from it), and the last copy to
// end removes it.
class SharedCoderFile {
public:
    SharedCoderFile() = default;
    ~SharedCoderFile() { Release(); }
    SharedCoderFile(const SharedCoderFile&) = delete;
    SharedCoderFile& operator=(const SharedCoderFile&) = delete;

    // Writes the payload `name` to `path` (ExportPayload), or, while another running copy holds
    // the file there, takes it as it stands; holds it until Release. Raises EFCreateError when
    // the file cannot be created or written, EWriteError when it is written short (the short
    // file is still held, so that it goes at the end).
    void Export(const std::string& name, const std::string& path);

    // Deletes the file when no other copy holds it, then lets go of it.
    void Release();

    bool Held() const { return m_file.Valid(); }

private:
    std::string m_path;
    FileDescriptor m_file;
};

}  // namespace lmk

#pragma once

#include <string>

namespace lmk {

// The default build carries the coder's executable among its resources and writes it out at
// start; a distribution's build runs the system's ffmpeg from PATH instead.
#ifdef LMK_SYSTEM_CODER
inline constexpr bool kBundledCoder = false;
#else
inline constexpr bool kBundledCoder = true;
#endif

inline constexpr const char* kPayloadName = "Data";
inline constexpr const char* kCoderFileName = "coder.exe";
inline constexpr const char* kSystemCoderName = "ffmpeg";
// The coder file's mode: the owner alone may write it.
inline constexpr unsigned kExecutableMode = 0755;

// The payload resource of that name (type "Export"), as the program carries it.
std::string PayloadResourcePath(const std::string& name);

// Writes the payload `name` to `path`, executable, replacing what is there, in one write.
// Raises EFCreateError "Cannot create file ..." when the file cannot be created, EWriteError
// "Stream write error in file ..." with the system's reason when the payload cannot be written
// whole.
void ExportPayload(const std::string& name, const std::string& path);

// The system's ffmpeg found on PATH; raises a failure saying so when there is none.
std::string SystemCoderPath();

}  // namespace lmk

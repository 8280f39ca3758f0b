#pragma once

#include <string>
#include <vector>

#include "job_ports.h"

namespace lmk {

// The files a job converts for the paths the user named, in their order: a folder gives the
// media files directly inside it (IsMediaName) in name order, without hidden files, the
// program's own "lmk-" files and subfolders (a FIFO, device or socket among them stays, for the
// job to refuse); a folder that gives none stays as it is, for the job to fail with
// FolderFailure. A trailing "/" is dropped, so that a folder keeps its name.
std::vector<std::string> FileList(Files& files, const std::vector<std::string>& named);

// A folder's media files as FileList takes them, as paths; `error` is the system's reason when
// the folder cannot be read.
std::vector<std::string> MediaFilesIn(Files& files, const std::string& folder, std::string& error);

// Why a folder gives nothing to convert: it cannot be read, or holds no media files.
std::string FolderFailure(Files& files, const std::string& folder);

}  // namespace lmk

#include "file_list.h"

#include <algorithm>

#include "conversion_job.h"
#include "said.h"

namespace lmk {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.ends_with('/')) path.pop_back();
    return path;
}

}  // namespace

std::vector<std::string> MediaFilesIn(Files& files, const std::string& folder, std::string& error) {
    const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
    FolderListing listing = files.FolderNames(folder);
    error = listing.error;
    std::vector<std::string>& names = listing.names;
    // Hidden files are not the user's media, and earlier outputs are not to be converted again.
    // A FIFO, device or socket, or another user's link, stays, to be refused with its own line.
    std::erase_if(names, [&](const std::string& name) {
        if (name.starts_with('.') || name.starts_with("lmk-") || !IsMediaName(name)) return true;
        const FileKind kind = files.StatusOf(prefix + name).kind;
        return kind != FileKind::Regular && kind != FileKind::Special &&
               kind != FileKind::OthersLink;
    });
    std::sort(names.begin(), names.end());
    for (auto& name : names) name = prefix + name;
    return names;
}

std::string FolderFailure(Files& files, const std::string& folder) {
    std::string error;
    MediaFilesIn(files, folder, error);
    return error.empty() ? Said("Job", "в папке нет видео- и звуковых файлов")
                         : Filled(Said("Job", "не удалось прочитать папку: %1"), {error});
}

std::vector<std::string> FileList(Files& files, const std::vector<std::string>& named) {
    std::vector<std::string> list;
    for (const auto& given : named) {
        const std::string path = WithoutTrailingSlashes(given);
        std::string error;
        const std::vector<std::string> inside = files.StatusOf(path).kind == FileKind::Folder
                                                    ? MediaFilesIn(files, path, error)
                                                    : std::vector<std::string>{};
        if (inside.empty())
            list.push_back(path);
        else
            list.insert(list.end(), inside.begin(), inside.end());
    }
    return list;
}

}  // namespace lmk

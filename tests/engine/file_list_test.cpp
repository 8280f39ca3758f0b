// The paths named, as the jobs take them: folders opened before any file is scheduled.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "file_list.h"

namespace lmk {
namespace {

using test::FakeFiles;
using test::Strings;

TEST(FileList, FoldersGiveTheirMediaFilesAndKeepTheirNames) {
    const struct {
        const char* name;
        Strings named;
        Strings listed;
    } cases[] = {
        {"files as named, in their order", {"/v/b.avi", "/v/a.avi"}, {"/v/b.avi", "/v/a.avi"}},
        {"a folder's media in name order, without hidden, lmk- and subfolders",
         {"/v/in"},
         {"/v/in/A.mkv", "/v/in/b.mp4", "/v/in/tone.flac"}},
        {"a trailing slash is dropped",
         {"/v/in/"},
         {"/v/in/A.mkv", "/v/in/b.mp4", "/v/in/tone.flac"}},
        {"a folder with no media stays for the job to fail, named", {"/v/empty/"}, {"/v/empty"}},
        {"a folder and a file in it both listed",
         {"/v/in", "/v/in/b.mp4"},
         {"/v/in/A.mkv", "/v/in/b.mp4", "/v/in/tone.flac", "/v/in/b.mp4"}},
        {"a FIFO in a folder stays for the job to refuse", {"/v/odd"}, {"/v/odd/pipe.avi"}},
        {"another user's link in a folder stays for the job to refuse",
         {"/v/shared"},
         {"/v/shared/planted.avi"}},
    };
    FakeFiles files;
    files.folders = {"/v/in", "/v/empty", "/v/in/sub.avi"};
    for (const char* name :
         {"b.mp4", "A.mkv", ".hidden.avi", "lmk-a.mkv", "notes.txt", "tone.flac"})
        files.files[std::string("/v/in/") + name] = "media";
    files.files["/v/empty/notes.txt"] = "text";
    files.folders.insert("/v/odd");
    files.files["/v/odd/pipe.avi"] = "";
    files.special.insert("/v/odd/pipe.avi");
    files.folders.insert("/v/shared");
    files.files["/v/shared/planted.avi"] = "";
    files.othersLinks.insert("/v/shared/planted.avi");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FileList(files, c.named), c.listed);
    }
}

}  // namespace
}  // namespace lmk

#include "clips.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "integration_support.h"

namespace lmk::integration {
namespace {

using Arguments = std::vector<std::string>;

// Ten frames a second for one second keeps every conversion well under a second.
Arguments Picture(const std::string& size, int seconds = 1, int rate = 10) {
    return {"-f", "lavfi", "-i",
            "testsrc=size=" + size + ":rate=" + std::to_string(rate) +
                ":duration=" + std::to_string(seconds)};
}

Arguments Sound(int seconds = 1) {
    return {"-f", "lavfi", "-i", "sine=frequency=440:duration=" + std::to_string(seconds)};
}

Arguments Joined(std::initializer_list<Arguments> parts) {
    Arguments all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Arguments kH264 = {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
const Arguments kAac = {"-c:a", "aac", "-shortest"};
const Arguments kMpeg4Pcm = {"-c:v", "mpeg4", "-c:a", "pcm_s16le", "-shortest"};
const Arguments kVp8 = {"-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8"};

}  // namespace

std::unique_ptr<test::ScratchFolder> ClipShelf::s_folder;
std::map<ClipKind, std::string> ClipShelf::s_made;

void ClipShelf::Open() {
    s_made.clear();
    s_folder = std::make_unique<test::ScratchFolder>("clips");
}

void ClipShelf::Close() {
    s_made.clear();
    s_folder.reset();
}

std::string ClipShelf::Extension(ClipKind kind) {
    switch (kind) {
        case ClipKind::Avi640x480:
        case ClipKind::AviSmall176x144:
        case ClipKind::AviDivx3:
            return ".avi";
        case ClipKind::WavTone:
            return ".wav";
        case ClipKind::LongWebm:
        case ClipKind::WebmVp8:
            return ".webm";
        case ClipKind::MkvVp9:
            return ".mkv";
        case ClipKind::Wmv2:
            return ".wmv";
        case ClipKind::FlvSoundFirst:
            return ".flv";
        case ClipKind::MovMotionJpeg:
            return ".mov";
        case ClipKind::ThreeGpH263:
            return ".3gp";
        case ClipKind::M4v:
            return ".m4v";
        case ClipKind::MpgMpeg1At15:
            return ".mpg";
        case ClipKind::Ogv:
            return ".ogv";
        case ClipKind::Ogm:
            return ".ogm";
        case ClipKind::RealMedia:
            return ".rm";
        case ClipKind::MpegVideoStream:
            return ".mpv";
        case ClipKind::NoExtension:
            return "";
        case ClipKind::Mp3Tone:
            return ".mp3";
        case ClipKind::M4aTone:
            return ".m4a";
        case ClipKind::OgaTone:
            return ".oga";
        case ClipKind::OpusTone:
            return ".opus";
        case ClipKind::AacTone:
            return ".aac";
        case ClipKind::FlacTone:
            return ".flac";
        case ClipKind::MkvVp9WithCover:
        case ClipKind::MkvVariableRate:
            return ".mkv";
        case ClipKind::Ac3Tone:
            return ".ac3";
        case ClipKind::PngPicture:
            return ".png";
        case ClipKind::JpegTurned:
            return ".jpg";
        case ClipKind::DashManifest:
            return ".mpd";
        case ClipKind::RoqCinematic:
            return ".roq";
        case ClipKind::TsLatePicture:
        case ClipKind::TsTwoProgrammes:
            return ".ts";
        default:
            return ".mp4";
    }
}

std::string ClipShelf::SharedFolder() {
    return LMK_SHARED_CLIPS;
}

std::string ClipShelf::FileName(ClipKind kind) {
    const std::string number = std::to_string(static_cast<int>(kind));
    // A manifest and its segments keep a folder of their own.
    if (kind == ClipKind::DashManifest) return number + "/video.mpd";
    return "clip" + number + Extension(kind);
}

std::vector<std::string> ClipShelf::Companions(ClipKind kind) {
    if (kind != ClipKind::DashManifest) return {};
    const std::filesystem::path manifest = Get(kind);
    std::vector<std::string> companions;
    for (const auto& entry : std::filesystem::directory_iterator(manifest.parent_path()))
        if (entry.path() != manifest) companions.push_back(entry.path());
    std::sort(companions.begin(), companions.end());
    return companions;
}

const std::string& ClipShelf::Get(ClipKind kind) {
    if (const auto made = s_made.find(kind); made != s_made.end()) return made->second;
    const std::string shared = SharedFolder() + "/" + FileName(kind);
    if (test::Exists(shared)) return s_made.emplace(kind, shared).first->second;
    if (!s_folder) Open();
    const std::string path = *s_folder / FileName(kind);
    const bool turned = kind == ClipKind::Mp4Turned90 || kind == ClipKind::Mp4Turned180 ||
                        kind == ClipKind::Mp4Turned270;
    Make(kind, path, turned ? Get(ClipKind::Mp4H264_720x480) : std::string());
    return s_made.emplace(kind, path).first->second;
}

bool ClipShelf::MakeAll(const std::string& folder) {
    // Made beside the folder and moved in whole, so that no test reads a half-made shelf.
    const std::string making = folder + ".making";
    std::filesystem::remove_all(folder);
    std::filesystem::remove_all(making);
    std::filesystem::create_directories(making);
    const auto pathOf = [&](ClipKind kind) { return making + "/" + FileName(kind); };
    const std::string source = pathOf(ClipKind::Mp4H264_720x480);
    Make(ClipKind::Mp4H264_720x480, source, {});
    std::atomic<int> next = 0;
    const auto maker = [&] {
        for (int kind = next++; kind <= static_cast<int>(kLastClipKind); kind = next++)
            if (static_cast<ClipKind>(kind) != ClipKind::Mp4H264_720x480)
                Make(static_cast<ClipKind>(kind), pathOf(static_cast<ClipKind>(kind)), source);
    };
    {
        std::jthread other(maker);
        maker();
    }
    for (int kind = 0; kind <= static_cast<int>(kLastClipKind); ++kind)
        if (!test::Exists(pathOf(static_cast<ClipKind>(kind)))) return false;
    std::filesystem::rename(making, folder);
    return true;
}

void ClipShelf::Make(ClipKind kind, const std::string& path, const std::string& source720x480) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const auto turned = [&](const char* angle) {
        // A stream copy keeps the picture as stored and only marks it turned.
        return Arguments{"-i",   source720x480,     "-c",
                         "copy", "-metadata:s:v:0", std::string("rotate=") + angle,
                         path};
    };
    switch (kind) {
        case ClipKind::Avi640x480:
            RunCoder(Joined({Picture("640x480"), Sound(), kMpeg4Pcm, {path}}));
            break;
        case ClipKind::Mp4H264_720x480:
            RunCoder(Joined({Picture("720x480"), Sound(), kH264, kAac, {path}}));
            break;
        case ClipKind::Mp4Portrait480x640:
            RunCoder(Joined({Picture("480x640"), Sound(), kH264, kAac, {path}}));
            break;
        case ClipKind::Mp4Portrait360x640:
            RunCoder(Joined({Picture("360x640"), Sound(), kH264, kAac, {path}}));
            break;
        case ClipKind::AviSmall176x144:
            RunCoder(Joined({Picture("176x144"), Sound(), kMpeg4Pcm, {path}}));
            break;
        case ClipKind::Mp4Turned90:
            RunCoder(turned("90"));
            break;
        case ClipKind::Mp4Turned180:
            RunCoder(turned("180"));
            break;
        case ClipKind::Mp4Turned270:
            RunCoder(turned("270"));
            break;
        case ClipKind::WavTone:
            RunCoder(Joined({Sound(), {"-c:a", "pcm_s16le", path}}));
            break;
        case ClipKind::TsTwoProgrammes:
            RunCoder(Joined({Picture("720x576"),
                             Sound(),
                             Picture("1280x720"),
                             Sound(),
                             {"-map", "0", "-map", "1", "-map", "2", "-map", "3", "-c:v",
                              "mpeg2video", "-c:a", "mp2", "-program", "title=SD:st=0:st=1",
                              "-program", "title=HD:st=2:st=3", path}}));
            break;
        case ClipKind::Mp4PalWide:
            RunCoder(Joined(
                {Picture("720x576"), Sound(), {"-vf", "setsar=64/45"}, kH264, kAac, {path}}));
            break;
        case ClipKind::Mp4NoAspect480x360:
            // An unset sample aspect ratio drops the "[SAR ...]" note that follows the size.
            RunCoder(
                Joined({Picture("480x360"), Sound(), {"-vf", "setsar=0"}, kH264, kAac, {path}}));
            break;
        case ClipKind::WebmVp8:
            RunCoder(Joined(
                {Picture("640x480"), Sound(), kVp8, {"-c:a", "libvorbis", "-shortest"}, {path}}));
            break;
        case ClipKind::MkvVp9:
            RunCoder(Joined({Picture("640x480"),
                             Sound(),
                             {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                              "-pix_fmt", "yuv420p", "-c:a", "libopus", "-shortest", path}}));
            break;
        case ClipKind::AviDivx3:
            RunCoder(Joined({Picture("640x480"),
                             Sound(),
                             {"-c:v", "msmpeg4", "-c:a", "libmp3lame", "-shortest", path}}));
            break;
        case ClipKind::Wmv2:
            RunCoder(Joined({Picture("640x480"),
                             Sound(),
                             {"-c:v", "wmv2", "-c:a", "wmav2", "-shortest", path}}));
            break;
        case ClipKind::FlvSoundFirst:
            RunCoder(
                Joined({Sound(),
                        Picture("640x480"),
                        {"-c:v", "flv", "-c:a", "libmp3lame", "-ar", "44100", "-shortest", path}}));
            break;
        case ClipKind::Mp4High444:
            RunCoder(Joined({Picture("1280x720"),
                             Sound(),
                             {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"},
                             kAac,
                             {path}}));
            break;
        case ClipKind::MovMotionJpeg:
            // As cameras write it: no aspect note after the size.
            RunCoder(Joined(
                {Picture("640x480"),
                 Sound(),
                 {"-vf", "setsar=0", "-c:v", "mjpeg", "-c:a", "pcm_s16le", "-shortest", path}}));
            break;
        case ClipKind::ThreeGpH263:
            RunCoder(Joined(
                {Picture("352x288", 1, 15),
                 Sound(),
                 {"-c:v", "h263", "-c:a", "aac", "-ar", "8000", "-ac", "1", "-shortest", path}}));
            break;
        case ClipKind::M4v:
            RunCoder(Joined({Picture("1280x720"), Sound(), kH264, kAac, {path}}));
            break;
        case ClipKind::MpgMpeg1At15:
            RunCoder(Joined({Picture("352x240", 1, 15),
                             Sound(),
                             {"-c:v", "mpeg1video", "-strict", "unofficial", "-c:a", "mp2",
                              "-shortest", "-f", "mpeg", path}}));
            break;
        case ClipKind::Ogv:
        case ClipKind::Ogm:
            RunCoder(Joined(
                {Picture("640x480"),
                 Sound(),
                 {"-c:v", "libtheora", "-c:a", "libvorbis", "-shortest", "-f", "ogg", path}}));
            break;
        case ClipKind::RealMedia:
            RunCoder(Joined(
                {Picture("320x240"), Sound(), {"-c:v", "rv10", "-c:a", "ac3", "-shortest", path}}));
            break;
        case ClipKind::MpegVideoStream:
            RunCoder(Joined(
                {Picture("640x480", 1, 25), {"-c:v", "mpeg2video", "-f", "mpeg2video", path}}));
            break;
        case ClipKind::NoExtension:
            RunCoder(Joined({Picture("640x480"), Sound(), kMpeg4Pcm, {"-f", "avi", path}}));
            break;
        case ClipKind::Mp3Tone:
            RunCoder(Joined({Sound(), {"-c:a", "libmp3lame", path}}));
            break;
        case ClipKind::M4aTone:
        case ClipKind::AacTone:
            RunCoder(Joined({Sound(), {"-c:a", "aac", path}}));
            break;
        case ClipKind::OgaTone:
            RunCoder(Joined({Sound(), {"-c:a", "libvorbis", "-f", "ogg", path}}));
            break;
        case ClipKind::OpusTone:
            RunCoder(Joined({Sound(), {"-c:a", "libopus", path}}));
            break;
        case ClipKind::FlacTone:
            RunCoder(Joined({Sound(), {"-c:a", "flac", path}}));
            break;
        case ClipKind::MkvVp9WithCover: {
            const std::string cover = path + ".cover.jpg";
            RunCoder(Joined({Picture("600x600"), {"-frames:v", "1", cover}}));
            RunCoder(Joined(
                {Picture("1280x720"),
                 Sound(),
                 {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-pix_fmt",
                  "yuv420p", "-c:a", "libopus", "-shortest", "-attach", cover, "-metadata:s:t",
                  "mimetype=image/jpeg", "-metadata:s:t", "filename=cover.jpg", path}}));
            break;
        }
        case ClipKind::Mp4High10:
            RunCoder(Joined({Picture("640x360"),
                             Sound(),
                             {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p10le"},
                             kAac,
                             {path}}));
            break;
        case ClipKind::Ac3Tone:
            RunCoder(Joined({Sound(), {"-c:a", "ac3", path}}));
            break;
        case ClipKind::MkvVariableRate:
            // Ten frames a second, then twenty.
            RunCoder(
                Joined({Picture("640x480", 2),
                        Sound(2),
                        {"-vf", "setpts='if(lt(N,10),N*0.1,1+(N-10)*0.05)/TB'", "-fps_mode", "vfr"},
                        kH264,
                        kAac,
                        {path}}));
            break;
        case ClipKind::Mp4CutAtKeyframe: {
            const std::string whole = path + ".whole.mp4";
            RunCoder(Joined({Picture("720x480", 3), Sound(3), kH264, {"-g", "10"}, kAac, {whole}}));
            RunCoder({"-ss", "1", "-i", whole, "-c", "copy", path});
            break;
        }
        case ClipKind::Mp4FourSeconds:
            RunCoder(Joined(
                {Picture("640x480", 4), Sound(4), kH264, kAac, {"-movflags", "+faststart", path}}));
            break;
        case ClipKind::PngPicture:
            RunCoder(Joined({Picture("640x480"), {"-frames:v", "1", path}}));
            break;
        case ClipKind::DashManifest:
            RunCoder(Joined({Picture("640x480", 2),
                             Sound(2),
                             kH264,
                             kAac,
                             {"-seg_duration", "0.5", "-f", "dash", path}}));
            break;
        case ClipKind::RoqCinematic:
            // The RoQ encoder is slow: a small frame.
            RunCoder(Joined({Picture("64x64", 1, 30),
                             {"-f", "lavfi", "-i", "sine=sample_rate=22050:duration=1"},
                             {"-c:v", "roqvideo", "-c:a", "roq_dpcm", "-ac", "1", path}}));
            break;
        case ClipKind::TsLatePicture:
            // Past the coder's first look (5 s): its probe names the picture without a size.
            RunCoder(Joined(
                {Sound(18),
                 Picture("640x480", 2),
                 {"-filter:v", "setpts=PTS+15/TB", "-c:v", "mpeg2video", "-c:a", "mp2", path}}));
            break;
        case ClipKind::JpegTurned: {
            RunCoder(Joined({Picture("480x360"), {"-frames:v", "1", path}}));
            // As a camera held upright writes it: an APP1 segment after the start of image, its
            // TIFF (little-endian) holding one tag, Orientation (0x0112) = 6.
            using namespace std::string_literals;
            const std::string exif =
                "\xFF\xE1\x00\x22"
                "Exif\0\0II*\0\x08\0\0\0\x01\0"
                "\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0"s;
            const std::string picture = test::ReadFile(path);
            test::WriteFile(path, picture.substr(0, 2) + exif + picture.substr(2));
            break;
        }
        case ClipKind::LongWebm:
            // Quick to make (H.264 in Matroska), slow to convert: the ".webm" output name
            // makes the coder encode VP9. No sound, so the MP3 codec asked for does not matter.
            RunCoder(Joined({Picture("320x240", 60, 25), kH264, {"-f", "matroska", path}}));
            break;
    }
}

}  // namespace lmk::integration

#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_files.h"

namespace lmk::integration {

// Small clips made by the coder from its lavfi sources: once per CTest run, into the build's
// shared clip folder, by the setup test the suites require (make_test_clips). A test run on its
// own, with no shared clip there, makes the clips it asks for into a folder of its own, kept
// until its suite ends. Shared clips are read by every test at once: copy one before changing it.
enum class ClipKind {
    Avi640x480,       // MPEG-4 video, PCM sound
    Mp4H264_720x480,  // H.264 video, AAC sound
    Mp4Portrait480x640,
    Mp4Portrait360x640,
    AviSmall176x144,
    Mp4Turned90,  // the 720x480 clip marked turned by a stream copy
    Mp4Turned180,
    Mp4Turned270,
    WavTone,             // sound only
    Mp4NoAspect480x360,  // no aspect note after the size in the coder's report
    LongWebm,            // a minute of video in a container whose name asks for a slow encoder
    // Common kinds whose stream line gives no size a space follows.
    WebmVp8,
    MkvVp9,
    AviDivx3,
    Wmv2,
    FlvSoundFirst,
    Mp4High444,
    MovMotionJpeg,
    // Containers that cannot take the result as named.
    ThreeGpH263,
    M4v,
    MpgMpeg1At15,
    Ogv,
    Ogm,
    RealMedia,
    MpegVideoStream,  // .mpv, no sound
    NoExtension,
    // Sound alone.
    Mp3Tone,
    M4aTone,
    OgaTone,
    OpusTone,
    AacTone,
    FlacTone,
    // Kinds a portable player may not take, or that name or hold more than one file.
    MkvVp9WithCover,  // 1280x720 VP9, a 600x600 cover attached as downloaders leave it
    Mp4High10,        // 10-bit H.264
    Ac3Tone,          // a raw stream of another sound codec
    MkvVariableRate,
    Mp4CutAtKeyframe,  // copied from its second second on: starts with an edit list
    Mp4FourSeconds,    // its index first, so that a cut-off copy stays readable
    PngPicture,
    DashManifest,     // video.mpd, its segments beside it
    Mp4PalWide,       // 720x576 H.264 in pixels 64:45 wide, as on a 16:9 DVD
    TsTwoProgrammes,  // SD 720x576 first, HD 1280x720 second, each with its sound
    // Outputs that the coder's description calls whole and that are not.
    RoqCinematic,   // a game cinematic: RoQ holds no MP3
    TsLatePicture,  // a broadcast whose picture starts 15 s after its sound
    JpegTurned,     // a 480x360 photo whose EXIF orientation (6) turns it upright to 360x480
};
inline constexpr ClipKind kLastClipKind = ClipKind::JpegTurned;

class ClipShelf {
public:
    static void Open();
    static void Close();
    // The clip's path on the shelf; copy it before handing it to the program.
    static const std::string& Get(ClipKind kind);
    // The clip's file name extension, dot included.
    static std::string Extension(ClipKind kind);
    // Makes every kind into `folder`, two at a time; false when one could not be made.
    static bool MakeAll(const std::string& folder);
    static std::string SharedFolder();
    // The files the clip needs beside it (a manifest's segments), by their paths on the shelf.
    static std::vector<std::string> Companions(ClipKind kind);

private:
    static std::string FileName(ClipKind kind);
    static void Make(ClipKind kind, const std::string& path, const std::string& source720x480);

    static std::unique_ptr<test::ScratchFolder> s_folder;
    static std::map<ClipKind, std::string> s_made;
};

}  // namespace lmk::integration

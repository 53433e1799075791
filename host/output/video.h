// Frames piped into ffmpeg, which encodes them with the sound track into a video file: H.264
// with AAC in .mp4 and .mkv, VP9 with Opus in .webm, ProRes 4444 with 24-bit PCM in .mov (see
// output/encoding.h). With --background black or transparent the sink converts each frame
// first (nimbrelle/picture.h); transparent frames keep their alpha, as yuva420p VP9 or
// yuva444p10le ProRes.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "base/timing.h"
#include "output/frame_sink.h"
#include "options/options.h"
#include "output/target.h"

namespace nimbrelle::host {

struct VideoSettings {
    FrameGeometry size;             // as drawn; an odd side is encoded one pixel larger
    FrameRate fps;
    std::optional<int> crf;         // default: 20 for H.264, 32 for VP9; ProRes has none
    std::string preset = "veryfast";  // x264 preset
    picture::Background background = picture::Background::Blue;
    int sampleRate = 48000;         // the sound track's; resampled when the encoder refuses it
};

// The settings of a video of frames drawn at the options' size, with a sound track at
// `sampleRate`; `defaultPreset` when the options name no x264 preset.
VideoSettings VideoSettingsFor(const CommandOptions& options, int sampleRate,
                               const std::string& defaultPreset = "veryfast");

// 4:2:0 video needs even sides (and every video gets them, ProRes 4444 included, so that all
// play everywhere): an odd side gains one pixel, a copy of the frame's last column or row, so
// the picture is exactly what PNG output and the window show.
FrameGeometry EvenSize(FrameGeometry size);

// The ffmpeg program; throws Error naming `output` when it is not in PATH.
std::filesystem::path RequireFfmpeg(const std::filesystem::path& output);

// Pipes raw frames into ffmpeg, with `audioFile` as the sound track.
std::unique_ptr<FrameSink> MakeVideoSink(const OutputTarget& target, const VideoSettings& settings,
                                         const std::filesystem::path& audioFile);
// The same, but `audioFile` is read only when the sink commits: it may be written while the
// frames arrive (a live recording). The frames are encoded first and the sound added after.
std::unique_ptr<FrameSink> MakeVideoSinkSoundLast(const OutputTarget& target, const VideoSettings& settings,
                                                  const std::filesystem::path& audioFile);
// The ffmpeg command line for a video render (without the program path); an empty
// `audioFile` encodes the frames alone.
std::vector<std::string> FfmpegArguments(const VideoSettings& settings, VideoContainer container,
                                         const std::filesystem::path& audioFile,
                                         const std::filesystem::path& output);

// The ffmpeg command line that copies the frames of `video` and adds `audioFile`, a track at
// `sampleRate`, as its sound (resampled as for a render).
std::vector<std::string> MuxArguments(VideoContainer container, int sampleRate, const std::filesystem::path& video,
                                      const std::filesystem::path& audioFile, const std::filesystem::path& output);

}  // namespace nimbrelle::host

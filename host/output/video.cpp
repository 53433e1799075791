#include "output/video.h"

#include <algorithm>
#include <bit>
#include <system_error>
#include <utility>

#include "base/error.h"
#include "base/files.h"
#include "base/process.h"
#include "nimbrelle/picture.h"
#include "output/encoding.h"
#include "output/partial.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

// A path ffmpeg takes as a file whatever it looks like: "pipe:x", "cache:x" or "file:x" are
// otherwise read as protocols.
std::string FfmpegFile(const fs::path& path)
{
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return "file:" + (ec ? path : absolute).string();
}

// Adds a resampling of the sound track to the nearest rate at or above `rate` among the
// encoder's `accepted` ones (ascending; the highest when none is), unless it takes `rate`. The
// SoX resampler copes with any rate; ffmpeg's default one gives no sound at all for a short
// track at 1 Hz.
void Resample(std::vector<std::string>& args, int rate, std::initializer_list<int> accepted)
{
    int to = *(accepted.end() - 1);
    for (int r : accepted) {
        if (r == rate) return;
        if (r > rate) {
            to = r;
            break;
        }
    }
    args.insert(args.end(), {"-af", "aresample=" + std::to_string(to) + ":resampler=soxr"});
}

}  // namespace

fs::path RequireFfmpeg(const fs::path& output)
{
    const std::optional<fs::path> ffmpeg = FindInPath("ffmpeg");
    if (!ffmpeg) {
        throw Error("cannot write " + Quoted(output.string()) +
                    ": the ffmpeg program was not found in PATH (install ffmpeg, or render PNG frames instead)");
    }
    return *ffmpeg;
}

FrameGeometry EvenSize(FrameGeometry size)
{
    return FrameGeometry{size.width + size.width % 2, size.height + size.height % 2};
}

VideoSettings VideoSettingsFor(const CommandOptions& options, int sampleRate, const std::string& defaultPreset)
{
    VideoSettings video;
    video.size = options.size;
    video.fps = options.fps;
    video.crf = options.crf;
    video.preset = options.preset.empty() ? defaultPreset : options.preset;
    video.background = options.background;
    video.sampleRate = sampleRate;
    return video;
}

namespace {

// The sound codec, its resampling of a track at `sampleRate` and the container's options, the
// same for a render and for adding a sound track to recorded frames.
std::vector<std::string> SoundAndContainerArguments(VideoContainer container, int sampleRate)
{
    if (container == VideoContainer::QuickTime) {
        // Uncompressed, as editors take it beside ProRes; 24 bits keep what any source holds.
        std::vector<std::string> args = {"-c:a", "pcm_s24le"};
        Resample(args, sampleRate, {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 176400, 192000});
        args.insert(args.end(), {"-f", "mov"});
        return args;
    }
    if (container == VideoContainer::WebM) {
        std::vector<std::string> args = {"-c:a", "libopus", "-b:a", "160k"};
        Resample(args, sampleRate, {8000, 12000, 16000, 24000, 48000});
        args.insert(args.end(), {"-f", "webm"});
        return args;
    }
    std::vector<std::string> args = {"-c:a", "aac", "-b:a", "192k"};
    Resample(args, sampleRate,
             {7350, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000});
    if (container == VideoContainer::Mp4) {
        args.insert(args.end(), {"-movflags", "+faststart", "-f", "mp4"});
    } else {
        args.insert(args.end(), {"-f", "matroska"});
    }
    return args;
}

}  // namespace

std::vector<std::string> FfmpegArguments(const VideoSettings& settings, VideoContainer container,
                                         const fs::path& audioFile, const fs::path& output)
{
    // 0x00RRGGBB words are the bytes B, G, R, 0 on a little-endian machine; transparent frames
    // are 0xAARRGGBB words, straight alpha.
    const bool little = std::endian::native == std::endian::little;
    const bool alpha = settings.background == picture::Background::Transparent;
    const char* pixelFormat = alpha ? (little ? "bgra" : "argb") : (little ? "bgr0" : "0rgb");
    const VideoCodec codec = CodecOf(container);
    const FrameGeometry even = EvenSize(settings.size);
    const std::string size = std::to_string(even.width) + "x" + std::to_string(even.height);
    std::vector<std::string> args = {
        "-hide_banner", "-nostats", "-loglevel", "error", "-y",
        "-f", "rawvideo", "-pixel_format", pixelFormat, "-video_size", size,
        "-framerate", settings.fps.ToString(), "-i", "pipe:0",
    };
    auto add = [&args](const std::vector<std::string>& more) { args.insert(args.end(), more.begin(), more.end()); };
    if (audioFile.empty()) {
        add({"-map", "0:v:0", "-an"});
    } else {
        add({"-i", FfmpegFile(audioFile), "-map", "0:v:0", "-map", "1:a:0"});
    }
    // Full-range RGB to limited-range BT.709, tagged so players convert it back: 4:2:0 for
    // H.264 and VP9, 10-bit 4:4:4 for ProRes 4444; with an alpha plane (full range) when the
    // frames are transparent.
    std::string yuv = codec == VideoCodec::ProRes ? "yuv444p10le" : "yuv420p";
    if (alpha) yuv.insert(3, "a");
    add({"-vf", "scale=out_color_matrix=bt709:out_range=tv,format=" + yuv,
         "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-color_range", "tv"});
    switch (codec) {
    case VideoCodec::Vp9:
        add({"-c:v", "libvpx-vp9", "-b:v", "0", "-crf", std::to_string(settings.crf.value_or(32)),
             "-deadline", "realtime", "-cpu-used", "8", "-row-mt", "1"});
        break;
    case VideoCodec::ProRes:
        add({"-c:v", "prores_ks", "-profile:v", "4444"});
        break;
    case VideoCodec::H264:
        add({"-c:v", "libx264", "-preset", settings.preset, "-crf", std::to_string(settings.crf.value_or(20))});
        break;
    }
    add(SoundAndContainerArguments(container, settings.sampleRate));
    args.push_back(FfmpegFile(output));
    return args;
}

std::vector<std::string> MuxArguments(VideoContainer container, int sampleRate, const fs::path& video,
                                      const fs::path& audioFile, const fs::path& output)
{
    std::vector<std::string> args = {"-hide_banner", "-nostats", "-loglevel", "error", "-y",
                                     "-i", FfmpegFile(video), "-i", FfmpegFile(audioFile),
                                     "-map", "0:v:0", "-map", "1:a:0", "-c:v", "copy"};
    const std::vector<std::string> sound = SoundAndContainerArguments(container, sampleRate);
    args.insert(args.end(), sound.begin(), sound.end());
    args.push_back(FfmpegFile(output));
    return args;
}

namespace {

// Frames piped into ffmpeg. With `soundLast`, ffmpeg encodes the frames alone into a hidden
// file and Commit adds the sound track in a second, copying pass: the sound file is read only
// then, so it may be written while the frames arrive. Frames that need converting or padding
// go through one buffer of the encoded size, kept from frame to frame.
class VideoSink final : public FrameSink {
public:
    VideoSink(const OutputTarget& target, const VideoSettings& settings, const fs::path& audioFile, bool soundLast)
        : target_(target.path), container_(target.container), sampleRate_(settings.sampleRate), audioFile_(audioFile),
          soundLast_(soundLast), background_(settings.background), size_(settings.size),
          encoded_(EvenSize(settings.size)),
          frameBytes_(static_cast<std::size_t>(encoded_.width) * static_cast<std::size_t>(encoded_.height) * 4),
          ffmpeg_(RequireFfmpeg(target.path))
    {
        if (encoded_.width != size_.width || encoded_.height != size_.height || background_ != picture::Background::Blue) {
            frame_.resize(frameBytes_ / 4);
        }
        const std::string extension = target_.extension().string();
        temp_ = ForOutput(target_, [&] {
            return MakeTempFile(ParentOrCurrent(target_), PartialPrefix(target_.stem().string(), extension.size()),
                                extension, true);
        });
        log_ = ForOutput(target_, [] { return MakeTempFile(fs::temp_directory_path(), "nimbrelle-ffmpeg-", ".log"); });
        if (soundLast_) {
            frames_ = ForOutput(target_, [&] {
                return MakeTempFile(ParentOrCurrent(target_),
                                    PartialPrefix(target_.stem().string(), extension.size(), ".frames-"), extension);
            });
        }
        std::vector<std::string> argv = FfmpegArguments(settings, target.container, soundLast_ ? fs::path() : audioFile,
                                                        soundLast_ ? frames_.Path() : temp_.Path());
        argv.insert(argv.begin(), ffmpeg_.string());
        process_.emplace(argv, log_.Path());
    }

    void Write(const uint32_t* pixels, int64_t index) override
    {
        if (!frame_.empty()) pixels = Prepare(pixels);
        if (!process_->Write(pixels, frameBytes_)) {
            const int status = process_->Finish();
            throw Error("ffmpeg stopped accepting frames at frame " + std::to_string(index) + " while writing " +
                        Quoted(target_.string()) + Describe(status));
        }
    }

    void Commit() override
    {
        const int status = process_->Finish();
        if (status != 0) {
            throw Error("ffmpeg failed while writing " + Quoted(target_.string()) + Describe(status));
        }
        if (soundLast_) {
            RequireOutput(frames_.Path(), status);
            std::vector<std::string> argv =
                MuxArguments(container_, sampleRate_, frames_.Path(), audioFile_, temp_.Path());
            argv.insert(argv.begin(), ffmpeg_.string());
            process_.emplace(argv, log_.Path());
            const int muxed = process_->Finish();
            if (muxed != 0) {
                throw Error("ffmpeg failed while adding the sound to " + Quoted(target_.string()) + Describe(muxed));
            }
        }
        RequireOutput(temp_.Path(), status);
        RenameInto(temp_.Path(), target_);
        temp_.Release();
    }

private:
    // The frame as encoded: converted for the background, and with an odd side grown by one
    // pixel, a copy of its last column or row.
    const uint32_t* Prepare(const uint32_t* pixels)
    {
        const auto width = static_cast<std::size_t>(size_.width);
        const auto stride = static_cast<std::size_t>(encoded_.width);
        const auto height = static_cast<std::size_t>(size_.height);
        for (std::size_t y = 0; y < height; ++y) {
            uint32_t* row = frame_.data() + y * stride;
            picture::ConvertRow(background_, picture::Order::Argb, pixels + y * width, row, width);
            std::fill(row + width, row + stride, row[width - 1]);
        }
        if (static_cast<std::size_t>(encoded_.height) > height) {
            std::copy_n(frame_.data() + (height - 1) * stride, stride, frame_.data() + height * stride);
        }
        return frame_.data();
    }

    void RequireOutput(const fs::path& file, int status)
    {
        std::error_code ec;
        if (fs::file_size(file, ec) == 0 || ec) {
            throw Error("ffmpeg wrote nothing for " + Quoted(target_.string()) + Describe(status));
        }
    }

    // How ffmpeg ended, on one line: its status and the last line of its log, which is kept
    // (and named) for the rest.
    std::string Describe(int status)
    {
        std::string s;
        if (status > 128) {
            s = " (ffmpeg was killed by signal " + std::to_string(status - 128) + ")";
        } else if (status > 0) {
            s = " (ffmpeg exit status " + std::to_string(status) + ")";
        }
        const std::string last = TailOfFile(log_.Path(), 1);
        if (!last.empty()) {
            s += ": " + last + " (ffmpeg's log: " + log_.Path().string() + ")";
            log_.Release();
        }
        return s;
    }

    fs::path target_;
    VideoContainer container_;
    int sampleRate_;
    fs::path audioFile_;
    bool soundLast_;
    picture::Background background_;
    FrameGeometry size_;     // as drawn
    FrameGeometry encoded_;  // even sides, as 4:2:0 video needs
    std::size_t frameBytes_;
    fs::path ffmpeg_;
    std::vector<uint32_t> frame_;  // the frame as encoded, when that is not the frame as drawn
    TempPath temp_;
    TempPath frames_;
    TempPath log_;
    std::optional<Subprocess> process_;  // declared last: killed before the files are removed
};

}  // namespace

std::unique_ptr<FrameSink> MakeVideoSink(const OutputTarget& target, const VideoSettings& settings,
                                         const fs::path& audioFile)
{
    return std::make_unique<VideoSink>(target, settings, audioFile, false);
}

std::unique_ptr<FrameSink> MakeVideoSinkSoundLast(const OutputTarget& target, const VideoSettings& settings,
                                                  const fs::path& audioFile)
{
    return std::make_unique<VideoSink>(target, settings, audioFile, true);
}

}  // namespace nimbrelle::host

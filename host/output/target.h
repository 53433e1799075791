// Where frames go: a video file through ffmpeg, a folder or numbered series of PNG files, or
// one PNG file. Nothing appears under the final name until the whole output is complete:
//   video      ffmpeg writes ".<name>.partial-XXXXXX.<ext>" beside the target, renamed at the end;
//   PNG frames are written into a temporary folder ".<name>.partial-XXXXXX" beside the target
//              folder (or beside the files of a pattern). At the end the folder is renamed to
//              the target when the target does not exist yet; otherwise each frame is moved
//              into it, replacing files of the same name, all or none: the files replaced are
//              kept aside until every frame is in place, and put back if a move fails;
//   one PNG    is written as ".<name>.partial-XXXXXX.png" and renamed.
// A failed or interrupted render deletes its temporary files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "output/png_writer.h"
#include "base/process.h"
#include "base/timing.h"

namespace nimbrelle::host {

enum class OutputKind {
    Video,         // .mp4, .mkv, .webm
    PngDirectory,  // an existing folder, or a path ending in '/': frame_000000.png, ...
    PngPattern,    // a file name with one %d or %0Nd, ending in .png
    PngFile,       // a single .png (snapshots)
};

enum class VideoContainer { Mp4, Matroska, WebM };

struct OutputTarget {
    OutputKind kind = OutputKind::Video;
    std::filesystem::path path;  // the file, folder or pattern as given
    VideoContainer container = VideoContainer::Mp4;
};

// Refuses (Error) an output that would replace one of `inputs` (empty paths are skipped):
// a video or snapshot file that is an input file, however it is spelled.
void RefuseInputAsOutput(const OutputTarget& target, std::initializer_list<std::filesystem::path> inputs);

// Decides what `text` names. Throws Error for an unknown extension, a malformed pattern or a
// parent folder that does not exist. With `singleFrame`, only a .png file is accepted.
OutputTarget ClassifyOutput(const std::string& text, bool singleFrame);

// A %d / %0Nd file name pattern; "%%" stands for a literal '%'.
class FramePattern {
public:
    // Throws Error unless `pattern` holds exactly one number field.
    explicit FramePattern(const std::string& pattern);
    std::string Format(int64_t frame) const;

private:
    std::string prefix_, suffix_;
    int digits_ = 0;
};

// A file or folder deleted on destruction unless released.
class TempPath {
public:
    TempPath() = default;
    explicit TempPath(std::filesystem::path path) : path_(std::move(path)) {}
    ~TempPath();
    TempPath(TempPath&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    TempPath& operator=(TempPath&& other) noexcept;
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    void Release() { path_.clear(); }

private:
    std::filesystem::path path_;
};

// Creates an empty temporary file "<dir>/<prefix>XXXXXX<suffix>" (mkstemps). It is private
// to the user unless `publishable`, which gives it the permissions of an ordinary new file.
TempPath MakeTempFile(const std::filesystem::path& dir, const std::string& prefix,
                      const std::string& suffix, bool publishable = false);
// Creates an empty temporary folder "<dir>/<prefix>XXXXXX" (mkdtemp); `publishable` as above.
TempPath MakeTempDir(const std::filesystem::path& dir, const std::string& prefix,
                     bool publishable = false);

// The size of the frames a sink receives, in pixels; rows are packed.
struct FrameGeometry {
    int width = 0;
    int height = 0;
};

class FrameSink {
public:
    virtual ~FrameSink() = default;
    FrameSink() = default;
    FrameSink(const FrameSink&) = delete;
    FrameSink& operator=(const FrameSink&) = delete;
    // Takes frame `index`; frames arrive in order, in the size given at construction.
    virtual void Write(const uint32_t* pixels, int64_t index) = 0;
    // Completes the output and moves it to its final name. Throws Error on failure.
    virtual void Commit() = 0;
};

struct VideoSettings {
    FrameGeometry size;             // both even
    FrameRate fps;
    std::optional<int> crf;         // default: 20 for H.264, 32 for VP9
    std::string preset = "veryfast";  // x264 preset
    int sampleRate = 48000;         // the sound track's; resampled when the encoder refuses it
};

// Pipes raw frames into ffmpeg, with `audioFile` as the sound track.
std::unique_ptr<FrameSink> MakeVideoSink(const OutputTarget& target, const VideoSettings& settings,
                                         const std::filesystem::path& audioFile);
// The same, but `audioFile` is read only when the sink commits: it may be written while the
// frames arrive (a live recording). The frames are encoded first and the sound added after.
std::unique_ptr<FrameSink> MakeVideoSinkSoundLast(const OutputTarget& target, const VideoSettings& settings,
                                                  const std::filesystem::path& audioFile);
// Writes every frame as a PNG (PngDirectory or PngPattern).
std::unique_ptr<FrameSink> MakePngSequenceSink(const OutputTarget& target, FrameGeometry size);
// Writes only frame `frame` as one PNG file.
std::unique_ptr<FrameSink> MakeSnapshotSink(const OutputTarget& target, FrameGeometry size, int64_t frame);

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

// What an output name means, checked before any work: a video file through ffmpeg, a folder or
// numbered series of PNG files, or one PNG file. Nothing appears under the final name until the whole output is complete:
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
#include <initializer_list>
#include <string>

namespace nimbrelle::host {

enum class OutputKind {
    Video,         // .mp4, .mkv, .webm, .mov
    PngDirectory,  // an existing folder, or a path ending in '/': frame_000000.png, ...
    PngPattern,    // a file name with one %d or %0Nd, ending in .png
    PngFile,       // a single .png (snapshots)
};

// The container names the codecs: H.264 in MP4 and Matroska, VP9 in WebM, ProRes 4444 in
// QuickTime (.mov).
enum class VideoContainer { Mp4, Matroska, WebM, QuickTime };

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

}  // namespace nimbrelle::host

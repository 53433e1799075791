#include "output/target.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "base/error.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

fs::path ParentOrCurrent(const fs::path& p)
{
    const fs::path parent = p.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

void RequireFolder(const fs::path& folder, const std::string& forWhat)
{
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        throw Error("output folder " + Quoted(folder.string()) + " for " + Quoted(forWhat) +
                    " does not exist");
    }
    if (access(folder.c_str(), W_OK) != 0) {
        throw Error("cannot write to output folder " + Quoted(folder.string()) + ": " + ErrnoText(errno));
    }
}

// Moves `from` to `to`, replacing a file there. Throws Error naming both on failure.
void RenameInto(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) {
        throw Error("cannot move " + Quoted(from.string()) + " to " + Quoted(to.string()) + ": " + ec.message());
    }
}

// The start of a temporary name, ".<stem><tail>" (".<stem>.partial-" unless told), with `stem`
// cut (never inside a UTF-8 character) so that the whole name, with its six random characters and
// `extension`, still fits in one file name: an output name may be as long as the file system
// allows.
std::string PartialPrefix(const std::string& stem, std::size_t extensionSize, const std::string& tail = ".partial-")
{
    constexpr std::size_t MaxName = 255;  // NAME_MAX on Linux file systems
    const std::size_t fixed = 1 + tail.size() + 6 + extensionSize;
    const std::size_t room = fixed < MaxName ? MaxName - fixed : 0;
    std::size_t keep = std::min(stem.size(), room);
    while (keep > 0 && keep < stem.size() && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    return "." + stem.substr(0, keep) + tail;
}

// `make()`, with a failure reported as one to write `output`.
template <class Make>
TempPath ForOutput(const fs::path& output, Make make)
{
    try {
        return make();
    } catch (const Error& e) {
        throw Error("cannot write " + Quoted(output.string()) + ": " + e.what());
    }
}

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

void RefuseInputAsOutput(const OutputTarget& target, std::initializer_list<fs::path> inputs)
{
    if (target.kind != OutputKind::Video && target.kind != OutputKind::PngFile) return;
    for (const fs::path& input : inputs) {
        std::error_code ec;
        if (!input.empty() && fs::equivalent(target.path, input, ec) && !ec) {
            throw Error("output " + Quoted(target.path.string()) + " is the input file " + Quoted(input.string()) +
                        "; choose another output name");
        }
    }
}

// ---------------------------------------------------------------- classification

OutputTarget ClassifyOutput(const std::string& text, bool singleFrame)
{
    if (text.empty()) throw Error("the output name is empty");
    OutputTarget target;
    target.path = text;
    const std::string lower = Lower(text);
    std::error_code ec;

    if (singleFrame) {
        if (!EndsWith(lower, ".png") || fs::is_directory(target.path, ec)) {
            throw Error("snapshot output " + Quoted(text) + " must be a file name ending in .png");
        }
        target.kind = OutputKind::PngFile;
        RequireFolder(ParentOrCurrent(target.path), text);
        return target;
    }

    if (text.back() == '/' || fs::is_directory(target.path, ec)) {
        target.kind = OutputKind::PngDirectory;
        fs::path folder = target.path;
        while (folder.has_relative_path() && folder.filename().empty()) folder = folder.parent_path();
        target.path = folder;
        if (fs::exists(folder, ec) && !fs::is_directory(folder, ec)) {
            throw Error("output " + Quoted(text) + " names a folder, but " + Quoted(folder.string()) +
                        " is an existing file");
        }
        RequireFolder(ParentOrCurrent(folder), text);
        return target;
    }
    if (EndsWith(lower, ".png")) {
        if (text.find('%') == std::string::npos) {
            throw Error("output " + Quoted(text) +
                        " names one PNG file; for frames use a folder (ending in '/') or a pattern such as frame_%06d.png");
        }
        FramePattern check(target.path.filename().string());
        target.kind = OutputKind::PngPattern;
        RequireFolder(ParentOrCurrent(target.path), text);
        return target;
    }
    if (EndsWith(lower, ".mp4")) {
        target.container = VideoContainer::Mp4;
    } else if (EndsWith(lower, ".mkv")) {
        target.container = VideoContainer::Matroska;
    } else if (EndsWith(lower, ".webm")) {
        target.container = VideoContainer::WebM;
    } else {
        throw Error("cannot tell what to write for " + Quoted(text) +
                    ": use a .mp4, .mkv or .webm file, a folder ending in '/', or a pattern such as frames/%06d.png");
    }
    target.kind = OutputKind::Video;
    RequireFolder(ParentOrCurrent(target.path), text);
    return target;
}

FramePattern::FramePattern(const std::string& pattern)
{
    bool found = false;
    std::string* part = &prefix_;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%') {
            *part += c;
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            *part += '%';
            ++i;
            continue;
        }
        // %d or %0Nd with N from 1 to 9.
        const std::string_view rest = std::string_view(pattern).substr(i + 1);
        int digits = -1;
        if (rest.starts_with("d")) {
            digits = 0;
        } else if (rest.size() >= 3 && rest[0] == '0' && rest[1] >= '1' && rest[1] <= '9' && rest[2] == 'd') {
            digits = rest[1] - '0';
        }
        if (found || digits < 0) {
            throw Error("invalid frame pattern " + Quoted(pattern) +
                        ": it needs exactly one number field, %d or %0Nd (N 1-9); write %% for a literal %");
        }
        const std::size_t j = i + (digits == 0 ? 1 : 3);
        found = true;
        digits_ = digits;
        part = &suffix_;
        i = j;
    }
    if (!found) {
        throw Error("invalid frame pattern " + Quoted(pattern) + ": it has no %d or %0Nd number field");
    }
}

std::string FramePattern::Format(int64_t frame) const
{
    std::string number = std::to_string(frame);
    if (number.size() < static_cast<std::size_t>(digits_)) {
        number.insert(0, static_cast<std::size_t>(digits_) - number.size(), '0');
    }
    return prefix_ + number + suffix_;
}

// ---------------------------------------------------------------- temporary paths

TempPath::~TempPath()
{
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

TempPath& TempPath::operator=(TempPath&& other) noexcept
{
    if (this != &other) {
        TempPath old(std::move(*this));
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

namespace {

// The permissions a newly created file or folder would get: `mode` less the umask.
mode_t UsualMode(mode_t mode)
{
    const mode_t mask = umask(0);
    umask(mask);
    return mode & ~mask;
}

}  // namespace

TempPath MakeTempFile(const fs::path& dir, const std::string& prefix, const std::string& suffix,
                      bool publishable)
{
    std::string name = (dir / (prefix + "XXXXXX" + suffix)).string();
    const int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
        throw Error("cannot create a temporary file in " + Quoted(dir.string()) + ": " + ErrnoText(errno));
    }
    if (publishable) fchmod(fd, UsualMode(0666));  // mkstemps makes it private (0600)
    close(fd);
    return TempPath(name);
}

TempPath MakeTempDir(const fs::path& dir, const std::string& prefix, bool publishable)
{
    std::string name = (dir / (prefix + "XXXXXX")).string();
    if (mkdtemp(name.data()) == nullptr) {
        throw Error("cannot create a temporary folder in " + Quoted(dir.string()) + ": " + ErrnoText(errno));
    }
    if (publishable) chmod(name.c_str(), UsualMode(0777));  // mkdtemp makes it private (0700)
    return TempPath(name);
}

// ---------------------------------------------------------------- video

namespace {

// The sound codec, its resampling of a track at `sampleRate` and the container's options, the
// same for a render and for adding a sound track to recorded frames.
std::vector<std::string> SoundAndContainerArguments(VideoContainer container, int sampleRate)
{
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
    // 0x00RRGGBB words are the bytes B, G, R, 0 on a little-endian machine.
    const char* pixelFormat = std::endian::native == std::endian::little ? "bgr0" : "0rgb";
    const std::string size = std::to_string(settings.size.width) + "x" + std::to_string(settings.size.height);
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
    // Full-range RGB to limited-range BT.709 4:2:0, tagged so players convert it back.
    add({"-vf", "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p",
         "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-color_range", "tv"});
    if (container == VideoContainer::WebM) {
        add({"-c:v", "libvpx-vp9", "-b:v", "0", "-crf", std::to_string(settings.crf.value_or(32)),
             "-deadline", "realtime", "-cpu-used", "8", "-row-mt", "1"});
    } else {
        add({"-c:v", "libx264", "-preset", settings.preset, "-crf", std::to_string(settings.crf.value_or(20))});
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
// then, so it may be written while the frames arrive.
class VideoSink final : public FrameSink {
public:
    VideoSink(const OutputTarget& target, const VideoSettings& settings, const fs::path& audioFile, bool soundLast)
        : target_(target.path), container_(target.container), sampleRate_(settings.sampleRate), audioFile_(audioFile),
          soundLast_(soundLast), frameBytes_(static_cast<std::size_t>(settings.size.width) *
                                            static_cast<std::size_t>(settings.size.height) * 4)
    {
        const auto ffmpeg = FindInPath("ffmpeg");
        if (!ffmpeg) {
            throw Error("cannot write " + Quoted(target_.string()) +
                        ": the ffmpeg program was not found in PATH (install ffmpeg, or render PNG frames instead)");
        }
        const std::string extension = target_.extension().string();
        temp_ = ForOutput(target_, [&] {
            return MakeTempFile(ParentOrCurrent(target_), PartialPrefix(target_.stem().string(), extension.size()),
                                extension, true);
        });
        log_ = ForOutput(target_, [] { return MakeTempFile(fs::temp_directory_path(), "nimbrelle-ffmpeg-", ".log"); });
        ffmpeg_ = *ffmpeg;
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
    std::size_t frameBytes_;
    fs::path ffmpeg_;
    TempPath temp_;
    TempPath frames_;
    TempPath log_;
    std::optional<Subprocess> process_;  // declared last: killed before the files are removed
};

class PngSequenceSink final : public FrameSink {
public:
    PngSequenceSink(const OutputTarget& target, FrameGeometry size)
        : size_(size), pattern_(target.kind == OutputKind::PngPattern ? target.path.filename().string()
                                                                       : std::string("frame_%06d.png"))
    {
        if (target.kind == OutputKind::PngDirectory) {
            folder_ = target.path;
            mergeIntoExisting_ = fs::exists(folder_);
        } else {
            folder_ = ParentOrCurrent(target.path);
            mergeIntoExisting_ = true;
        }
        // The temporary folder sits beside the target folder, or among the pattern's files: on
        // the same file system either way, so the final moves are renames.
        temp_ = ForOutput(target.path, [&] {
            if (target.kind == OutputKind::PngDirectory) {
                return MakeTempDir(ParentOrCurrent(folder_), PartialPrefix(folder_.filename().string(), 0), true);
            }
            return MakeTempDir(folder_, ".frames.partial-");
        });
    }

    void Write(const uint32_t* pixels, int64_t index) override
    {
        names_.push_back(pattern_.Format(index));
        writer_.Write(temp_.Path() / names_.back(), pixels, size_.width, size_.height, size_.width,
                      folder_ / names_.back());
    }

    void Commit() override
    {
        if (!mergeIntoExisting_) {
            RenameInto(temp_.Path(), folder_);
            temp_.Release();
            return;
        }
        // All frames or none: an entry that cannot simply be replaced (a folder, say) stops the
        // commit before anything moves, and the files replaced wait aside until every frame is
        // in place, so a failed move can put everything back.
        for (const std::string& name : names_) {
            std::error_code ec;
            const fs::file_status status = fs::symlink_status(folder_ / name, ec);
            if (fs::exists(status) && fs::is_directory(status)) {
                throw Error("cannot replace " + Quoted((folder_ / name).string()) +
                            " with a frame: it is a folder (no frame was written)");
            }
        }
        TempPath previous = MakeTempDir(folder_, ".frames.previous-");
        std::vector<std::pair<fs::path, fs::path>> moves;  // made so far, undone in reverse on failure
        try {
            for (const std::string& name : names_) {
                const fs::path to = folder_ / name;
                std::error_code ec;
                if (fs::exists(fs::symlink_status(to, ec))) {
                    RenameInto(to, previous.Path() / name);
                    moves.emplace_back(to, previous.Path() / name);
                }
                RenameInto(temp_.Path() / name, to);
                moves.emplace_back(temp_.Path() / name, to);
            }
        } catch (const Error&) {
            for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
                std::error_code ec;
                fs::rename(move->second, move->first, ec);
            }
            throw;
        }
    }

private:
    FrameGeometry size_;
    FramePattern pattern_;
    fs::path folder_;
    bool mergeIntoExisting_ = false;
    TempPath temp_;
    PngWriter writer_;
    std::vector<std::string> names_;
};

class SnapshotSink final : public FrameSink {
public:
    SnapshotSink(const OutputTarget& target, FrameGeometry size, int64_t frame)
        : target_(target.path), size_(size), frame_(frame)
    {
        temp_ = ForOutput(target_, [&] {
            return MakeTempFile(ParentOrCurrent(target_), PartialPrefix(target_.stem().string(), 4), ".png", true);
        });
    }

    void Write(const uint32_t* pixels, int64_t index) override
    {
        if (index != frame_) return;
        writer_.Write(temp_.Path(), pixels, size_.width, size_.height, size_.width, target_);
        written_ = true;
    }

    void Commit() override
    {
        if (!written_) throw Error("frame " + std::to_string(frame_) + " was never rendered");
        RenameInto(temp_.Path(), target_);
        temp_.Release();
    }

private:
    fs::path target_;
    FrameGeometry size_;
    int64_t frame_;
    bool written_ = false;
    TempPath temp_;
    PngWriter writer_;
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

std::unique_ptr<FrameSink> MakePngSequenceSink(const OutputTarget& target, FrameGeometry size)
{
    return std::make_unique<PngSequenceSink>(target, size);
}

std::unique_ptr<FrameSink> MakeSnapshotSink(const OutputTarget& target, FrameGeometry size, int64_t frame)
{
    return std::make_unique<SnapshotSink>(target, size, frame);
}

}  // namespace nimbrelle::host

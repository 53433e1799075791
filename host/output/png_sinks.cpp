#include "output/png_sinks.h"

#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/files.h"
#include "output/partial.h"
#include "output/png_writer.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

class PngSequenceSink final : public FrameSink {
public:
    PngSequenceSink(const OutputTarget& target, FrameGeometry size, picture::Background background)
        : size_(size), writer_(background), pattern_(target.kind == OutputKind::PngPattern ? target.path.filename().string()
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
    PngWriter writer_;
    FramePattern pattern_;
    fs::path folder_;
    bool mergeIntoExisting_ = false;
    TempPath temp_;
    std::vector<std::string> names_;
};

class SnapshotSink final : public FrameSink {
public:
    SnapshotSink(const OutputTarget& target, FrameGeometry size, int64_t frame, picture::Background background)
        : target_(target.path), size_(size), frame_(frame), writer_(background)
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
    PngWriter writer_;
    bool written_ = false;
    TempPath temp_;
};

}  // namespace

std::unique_ptr<FrameSink> MakePngSequenceSink(const OutputTarget& target, FrameGeometry size,
                                               picture::Background background)
{
    return std::make_unique<PngSequenceSink>(target, size, background);
}

std::unique_ptr<FrameSink> MakeSnapshotSink(const OutputTarget& target, FrameGeometry size, int64_t frame,
                                            picture::Background background)
{
    return std::make_unique<SnapshotSink>(target, size, frame, background);
}

}  // namespace nimbrelle::host

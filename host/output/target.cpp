#include "output/target.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "base/error.h"
#include "base/files.h"
#include "base/text.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

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
    } else if (EndsWith(lower, ".mov")) {
        target.container = VideoContainer::QuickTime;
    } else {
        throw Error("cannot tell what to write for " + Quoted(text) +
                    ": use a .mp4, .mkv, .webm or .mov file, a folder ending in '/', or a pattern such as frames/%06d.png");
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

}  // namespace nimbrelle::host

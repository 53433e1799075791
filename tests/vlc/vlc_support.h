// Running the real VLC headless with the plug-in: a world-readable folder holding the plug-in,
// the module and the inputs; cvlc started as an unprivileged user when the tests run as root
// (VLC refuses root), writing its sound to a WAV file and its pictures to a raw RV32 file;
// stopped by its process group if it overruns.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/host_support.h"

namespace nimbrelle::vlc::test {

namespace fs = std::filesystem;
using host::test::RunResult;
using host::test::ScratchDir;

// The build's plug-in and module.
fs::path PluginFile();
fs::path ModuleFile();

// A scratch folder every user can read and write, with plugins/ holding copies of the plug-in
// and the module beside it (where the plug-in looks by default).
class VlcFolder {
public:
    VlcFolder();
    const fs::path& Path() const { return dir_.Path(); }
    fs::path operator/(const std::string& name) const { return dir_ / name; }
    fs::path Plugins() const { return dir_ / "plugins"; }
    // Copies `file` in, readable by everyone; returns the copy's path.
    fs::path Add(const fs::path& file, const std::string& name = "") const;

private:
    ScratchDir dir_;
};

struct Playback {
    RunResult run;                        // cvlc's exit status, output and log
    std::vector<std::string> errors;      // the log's lines from the plug-in at error level
    std::vector<std::string> plugin;      // all the log's lines from the plug-in
    std::vector<std::vector<uint8_t>> frames;  // the pictures written, B, G, R, x per pixel
    int width = 0, height = 0;            // from the picture file's header
    std::string header;                   // the picture file's first line
};

// Plays `inputs` (in the folder) once through with --audio-visual nimbrelle and `options`,
// the sound to folder/NAME.wav and the pictures to folder/NAME.rgb, at most `limitSeconds`.
Playback Play(const VlcFolder& folder, const std::vector<fs::path>& inputs, const std::vector<std::string>& options,
              const std::string& name = "out", double limitSeconds = 60);

// Frames of the raw picture file VLC's yuv output writes with --yuv-chroma RV32: a header line
// ("RV32 W64 H36 F60:1 ..."), then "FRAME\n" and width * height * 4 bytes per picture.
bool ReadPictures(const fs::path& file, Playback& into);

// The number of sample frames and the rate of a WAV file (0, 0 when unreadable).
struct SoundLength {
    int64_t frames = 0;
    int rate = 0;
};
SoundLength LengthOf(const fs::path& wav);

}  // namespace nimbrelle::vlc::test

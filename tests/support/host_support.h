// Helpers for the host's tests: a private seeded generator, scratch folders, running the
// nimbrelle program, and reading and writing small audio and PNG files.
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nimbrelle::host::test {

namespace fs = std::filesystem;

// splitmix64: the same sequence everywhere.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t Next();
    // Uniform in [0, n).
    uint64_t Below(uint64_t n) { return Next() % n; }
};

// Names of a folder's entries, sorted (hidden ones included).
std::vector<std::string> ListFolder(const fs::path& folder);

// A file's whole contents; empty when it cannot be read.
std::string ReadAll(const fs::path& path);

// A fresh folder, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& Path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    // Names of the entries, sorted (hidden ones included).
    std::vector<std::string> List() const { return ListFolder(path_); }

private:
    fs::path path_;
};

struct RunResult {
    int exitCode = -1;  // 128 + signal when a signal ended the process
    std::string out;
    std::string err;
};

struct RunOptions {
    fs::path workDir;                          // the current folder, if set
    std::map<std::string, std::string> env;   // added to (or replacing) the environment
    std::string shellPrefix;                   // run through /bin/sh with this before exec
    double interruptAfterSeconds = -1;         // send SIGINT after this long, if >= 0
    int interruptSignal = SIGINT;              // the signal sent instead of SIGINT
    std::string interruptAgainOn;              // then send it again once stderr holds this
};

// Runs the nimbrelle program with `args` and waits for it.
RunResult RunHost(const std::vector<std::string>& args, const RunOptions& options = {});

// True when `program` can be found in PATH.
bool HaveProgram(const std::string& program);

// Whether `part` occurs in `text`.
inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The host failed cleanly: exit status 1 and exactly one line, "nimbrelle: error: ...", naming
// every one of `parts`, with no sanitizer report.
void ExpectOneLineError(const RunResult& r, std::initializer_list<std::string> parts);

// Runs a shell command; returns its exit status and output.
RunResult RunShell(const std::string& command);

// Writes `interleaved` float samples as a 16-bit PCM WAV (or another libsndfile format).
void WriteAudio(const fs::path& path, const std::vector<float>& interleaved, int rate, int channels,
                int format = 0);

// A sine of `hz` at `amplitude` for `frames` frames, on every one of `channels` channels,
// or only on channel `onlyChannel` when >= 0.
std::vector<float> Sine(double hz, double amplitude, int rate, int64_t frames, int channels = 1,
                        int onlyChannel = -1);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3
};
// Reads a PNG as 8-bit RGB; nullopt when it cannot be read.
std::optional<Image> ReadPng(const fs::path& path);

struct RgbaImage {
    int width = 0;
    int height = 0;
    bool hasAlpha = false;      // whether the file itself has an alpha channel
    std::vector<uint8_t> rgba;  // width * height * 4, straight alpha (255 where the file has none)
};
// Reads a PNG as 8-bit RGBA; nullopt when it cannot be read.
std::optional<RgbaImage> ReadPngRgba(const fs::path& path);

// Every frame of `video`'s first video stream as width * height * 4 RGBA bytes, one per frame
// stored (none dropped or repeated), decoded by ffmpeg with `decoderOptions` before its input
// (e.g. "-c:v libvpx-vp9", the decoder that reads VP9's alpha).
std::vector<std::vector<uint8_t>> DecodeRgba(const fs::path& video, int width, int height,
                                             const std::string& decoderOptions = "");

// Paths baked in by the build.
fs::path HostExe();
fs::path RealModule();
// A stand-in module: probe, init_refuses, render_refuses, no_query, slow_start, render_crashes.
fs::path FakeModule(const std::string& variant);

// ffprobe's values of `entries` (e.g. "stream=codec_type") for `file`, one a line.
std::string Probe(const fs::path& file, const std::string& entries);

// Input, output and temporary folders, a half-second stereo tone at 48 kHz in the input
// folder, and run options that point TMPDIR at the temporary folder.
class ToneFixture : public ::testing::Test {
protected:
    void SetUp() override;
    ScratchDir in_, out_, tmp_;
    std::string tone_;
    RunOptions tmpEnv_;
};

}  // namespace nimbrelle::host::test

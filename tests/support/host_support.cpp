#include "support/host_support.h"

#include <png.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/process.h"

namespace nimbrelle::host::test {

uint64_t Rng::Next()
{
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

ScratchDir::ScratchDir()
{
    std::string name = (fs::temp_directory_path() / "nimbrelle-host-test-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<std::string> ListFolder(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void ExpectOneLineError(const RunResult& r, std::initializer_list<std::string> parts)
{
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(r.err.starts_with("nimbrelle: error: ")) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "not one line: " << r.err;
    EXPECT_FALSE(Contains(r.err, "Sanitizer") || Contains(r.err, "runtime error")) << r.err;
    EXPECT_EQ(r.err.find("nimbrelle: error: ", 1), std::string::npos) << "more than one error: " << r.err;
    for (const std::string& part : parts) EXPECT_TRUE(Contains(r.err, part)) << "missing '" << part << "' in: " << r.err;
}

namespace {

std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

}  // namespace

RunResult RunHost(const std::vector<std::string>& args, const RunOptions& options)
{
    ScratchDir io;
    const fs::path outFile = io / "stdout", errFile = io / "stderr";
    std::vector<std::string> argv;
    if (!options.shellPrefix.empty()) {
        std::string command = options.shellPrefix + " exec " + ShellQuote(HostExe().string());
        for (const std::string& a : args) command += " " + ShellQuote(a);
        argv = {"/bin/sh", "-c", command};
    } else {
        argv.push_back(HostExe().string());
        argv.insert(argv.end(), args.begin(), args.end());
    }

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
        for (const auto& [key, value] : options.env) setenv(key.c_str(), value.c_str(), 1);
        if (!freopen(outFile.c_str(), "w", stdout) || !freopen(errFile.c_str(), "w", stderr)) _exit(126);
        std::vector<char*> raw;
        for (std::string& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    if (options.interruptAfterSeconds >= 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(options.interruptAfterSeconds));
        kill(pid, SIGINT);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadAll(outFile);
    result.err = ReadAll(errFile);
    return result;
}

bool HaveProgram(const std::string& program)
{
    return FindInPath(program).has_value();
}

RunResult RunShell(const std::string& command)
{
    ScratchDir io;
    const std::string full = "( " + command + " ) >" + (io / "stdout").string() + " 2>" + (io / "stderr").string();
    const int status = std::system(full.c_str());
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadAll(io / "stdout");
    result.err = ReadAll(io / "stderr");
    return result;
}

void WriteAudio(const fs::path& path, const std::vector<float>& interleaved, int rate, int channels, int format)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format != 0 ? format : (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw std::runtime_error("cannot write " + path.string());
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto frames = static_cast<sf_count_t>(interleaved.size() / static_cast<std::size_t>(channels));
    sf_writef_float(file, interleaved.data(), frames);
    sf_close(file);
}

std::vector<float> Sine(double hz, double amplitude, int rate, int64_t frames, int channels, int onlyChannel)
{
    std::vector<float> out(static_cast<std::size_t>(frames * channels), 0.0f);
    for (int64_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate));
        for (int c = 0; c < channels; ++c) {
            if (onlyChannel < 0 || onlyChannel == c) out[static_cast<std::size_t>(i * channels + c)] = v;
        }
    }
    return out;
}

std::optional<Image> ReadPng(const fs::path& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    Image result;
    result.width = static_cast<int>(image.width);
    result.height = static_cast<int>(image.height);
    result.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, result.rgb.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    return result;
}

std::optional<RgbaImage> ReadPngRgba(const fs::path& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return std::nullopt;
    RgbaImage result;
    result.hasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format = PNG_FORMAT_RGBA;
    result.width = static_cast<int>(image.width);
    result.height = static_cast<int>(image.height);
    result.rgba.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, result.rgba.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    return result;
}

std::vector<std::vector<uint8_t>> DecodeRgba(const fs::path& video, int width, int height,
                                             const std::string& decoderOptions)
{
    ScratchDir dir;
    const fs::path raw = dir / "frames.rgba";
    const RunResult r = RunShell("ffmpeg -v error -y " + decoderOptions + " -i '" + video.string() +
                                 "' -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt rgba '" + raw.string() + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string bytes = ReadAll(raw);
    const auto frameBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    std::vector<std::vector<uint8_t>> frames;
    for (std::size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
    }
    return frames;
}

fs::path HostExe()
{
    return NIMBRELLE_HOST_EXE;
}

fs::path RealModule()
{
    return NIMBRELLE_REAL_MODULE;
}

fs::path FakeModule(const std::string& variant)
{
    return fs::path(NIMBRELLE_FAKE_MODULE_DIR) / ("fake_" + variant + ".so");
}

std::string Probe(const fs::path& file, const std::string& entries)
{
    return RunShell("ffprobe -v error -show_entries " + entries + " -of default=noprint_wrappers=1:nokey=1 '" +
                          file.string() + "'")
        .out;
}

void ToneFixture::SetUp()
{
    WriteAudio(in_ / "tone.wav", Sine(1500.0, 0.5, 48000, 24000, 2, 0), 48000, 2);
    tone_ = (in_ / "tone.wav").string();
    tmpEnv_.env = {{"TMPDIR", tmp_.Path().string()}};
}

}  // namespace nimbrelle::host::test

#include "vlc_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace nimbrelle::vlc::test {

fs::path PluginFile()
{
    return NIMBRELLE_VLC_PLUGIN;
}

fs::path ModuleFile()
{
    return host::test::RealModule();
}

VlcFolder::VlcFolder()
{
    fs::permissions(dir_.Path(), fs::perms::all);
    fs::create_directory(Plugins());
    fs::permissions(Plugins(), fs::perms::all);
    Add(PluginFile(), "plugins/" + PluginFile().filename().string());
    Add(ModuleFile(), "plugins/" + ModuleFile().filename().string());
}

fs::path VlcFolder::Add(const fs::path& file, const std::string& name) const
{
    const fs::path copy = dir_ / (name.empty() ? file.filename().string() : name);
    fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    return copy;
}

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Starts `argv` in a process group of its own with its output in two files; waits at most
// `limitSeconds`, then kills the group.
RunResult Run(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err, double limitSeconds)
{
    std::vector<char*> raw;
    for (const std::string& arg : argv) raw.push_back(const_cast<char*>(arg.c_str()));
    raw.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || in < 0) _exit(126);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    setpgid(pid, pid);
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.err = "timed out after " + std::to_string(limitSeconds) + " s\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = host::test::ReadAll(out);
    result.err += host::test::ReadAll(err);
    return result;
}

}  // namespace

bool ReadPictures(const fs::path& file, Playback& into)
{
    const std::string data = host::test::ReadAll(file);
    const std::size_t headerEnd = data.find('\n');
    if (headerEnd == std::string::npos) return false;
    into.header = data.substr(0, headerEnd);
    std::istringstream header(into.header);
    for (std::string word; header >> word;) {
        if (word[0] == 'W') into.width = std::stoi(word.substr(1));
        if (word[0] == 'H') into.height = std::stoi(word.substr(1));
    }
    if (into.width <= 0 || into.height <= 0) return false;
    const std::size_t bytes = static_cast<std::size_t>(into.width) * static_cast<std::size_t>(into.height) * 4;
    static const std::string Marker = "FRAME\n";
    for (std::size_t at = headerEnd + 1; at < data.size(); at += Marker.size() + bytes) {
        if (data.compare(at, Marker.size(), Marker) != 0 || data.size() - at - Marker.size() < bytes) return false;
        const auto* first = reinterpret_cast<const uint8_t*>(data.data() + at + Marker.size());
        into.frames.emplace_back(first, first + bytes);
    }
    return true;
}

Playback Play(const VlcFolder& folder, const std::vector<fs::path>& inputs, const std::vector<std::string>& options,
              const std::string& name, double limitSeconds)
{
    std::vector<std::string> argv;
    // VLC refuses to run as root.
    if (geteuid() == 0) argv = {"runuser", "-u", "nobody", "--"};
    const fs::path pictures = folder / (name + ".rgb");
    const std::vector<std::string> player = {
        "env", "HOME=" + folder.Path().string(), "VLC_PLUGIN_PATH=" + folder.Plugins().string(), "cvlc", "-I", "dummy",
        "-vv", "--no-video-title-show", "--no-osd", "--aout=afile",
        "--audiofile-file=" + (folder / (name + ".wav")).string(), "--audio-visual=nimbrelle", "--vout=yuv",
        "--yuv-chroma=RV32", "--yuv-file=" + pictures.string(), "--play-and-exit"};
    argv.insert(argv.end(), player.begin(), player.end());
    argv.insert(argv.end(), options.begin(), options.end());
    for (const fs::path& input : inputs) argv.push_back(input.string());

    Playback playback;
    playback.run = Run(argv, folder / (name + ".out"), folder / (name + ".log"), limitSeconds);
    for (const std::string& line : Lines(playback.run.err)) {
        if (line.find(" nimbrelle visualization ") == std::string::npos) continue;
        playback.plugin.push_back(line);
        if (line.find(" nimbrelle visualization error: ") != std::string::npos) playback.errors.push_back(line);
    }
    if (fs::exists(pictures)) ReadPictures(pictures, playback);
    return playback;
}

SoundLength LengthOf(const fs::path& wav)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(wav.c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    sf_close(file);
    return {info.frames, info.samplerate};
}

}  // namespace nimbrelle::vlc::test

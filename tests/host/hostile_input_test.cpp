// Input a hostile or unlucky user hands the host: headers that lie about the length, samples
// that are not numbers, tracks past 4 GiB, output names that collide with inputs, folders or
// ffmpeg's protocols, and signals at awkward moments. Each case is the smallest that shows it.
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include <gtest/gtest.h>

#include "audio/source.h"
#include "base/error.h"
#include "support/host_support.h"
#include "nimbrelle/analysis.h"
#include "options/options.h"
#include "output/target.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using test::Contains;
using test::ExpectOneLineError;
using test::ListFolder;
using test::ReadAll;
using test::RunHost;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;

std::string Probe(const fs::path& file, const std::string& entries)
{
    return test::RunShell("ffprobe -v error -show_entries " + entries + " -of default=noprint_wrappers=1:nokey=1 '" +
                          file.string() + "'")
        .out;
}

// 0.1 s of a quiet tone at 48 kHz as FLAC, its header then claiming 2^36 - 1 samples (the
// largest the field holds; 16 days).
fs::path LyingFlac(const ScratchDir& dir)
{
    const fs::path path = dir / "long.flac";
    test::WriteAudio(path, test::Sine(440.0, 0.25, 48000, 4800), 48000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::string bytes = ReadAll(path);
    EXPECT_EQ(bytes.substr(0, 4), "fLaC");
    // STREAMINFO from byte 8: the 36-bit total follows 2+2+3+3 bytes of sizes and 28 bits of format.
    bytes[21] = static_cast<char>(bytes[21] | 0x0F);
    for (int i = 22; i < 26; ++i) bytes[static_cast<std::size_t>(i)] = '\xff';
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::WriteAudio(in_ / "tone.wav", test::Sine(1500.0, 0.5, 48000, 24000, 2, 0), 48000, 2);
        tone_ = (in_ / "tone.wav").string();
        tmpEnv_.env = {{"TMPDIR", tmp_.Path().string()}};
    }
    ScratchDir in_, out_, tmp_;
    std::string tone_;
    RunOptions tmpEnv_;
};

// ---------------------------------------------------------------- lengths

TEST_F(Hostile, AHeaderThatOverstatesTheLengthEndsAtTheRealEnd)
{
    const fs::path flac = LyingFlac(in_);
    SndfileSource source(flac);
    EXPECT_EQ(source.Length(), (int64_t{1} << 36) - 1);
    EXPECT_EQ(CountDecoded(source, 0, source.Length()), 4800);
    EXPECT_EQ(source.Length(), 4800) << "the real end replaces the claim";
    // A seek aimed past the real end (a play's seek forward) lands on it, and seeks still work.
    SndfileSource seeker(flac);
    seeker.Seek(100000);
    std::vector<float> block(2 * 4800);
    EXPECT_EQ(seeker.Read(block.data(), 4800), 0u);
    EXPECT_EQ(seeker.Length(), 4800);
    seeker.Seek(1000);
    EXPECT_EQ(seeker.Read(block.data(), 4800), 3800u);

    // 0.1 s at 20 fps: two frames, and a sound track of 0.1 s.
    const RunResult frames = RunHost({"render", flac.string(), "-o", (out_ / "f/").string(), "--size", "2x2", "--fps", "20"});
    ASSERT_EQ(frames.exitCode, 0) << frames.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(out_ / "f"), fs::directory_iterator()), 2);
    const fs::path video = out_ / "v.mp4";
    const RunResult mp4 = RunHost({"render", flac.string(), "-o", video.string(), "--size", "2x2", "--fps", "20", "--duration", "60"}, tmpEnv_);
    ASSERT_EQ(mp4.exitCode, 0) << mp4.err;
    EXPECT_TRUE(Contains(mp4.err, ": 2 frames")) << mp4.err;
    EXPECT_LT(std::stod(Probe(video, "format=duration")), 0.2);
    EXPECT_TRUE(tmp_.List().empty());
    // A snapshot past the real end is refused like one past a true end.
    const RunResult late = RunHost({"snapshot", flac.string(), "-o", (out_ / "s.png").string(), "--at", "1"});
    ExpectOneLineError(late, {"--at", "long.flac"});

    // Playing ends with the sound, not after 16 days of silence.
    RunOptions dummy;
    dummy.env = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}};
    const RunResult played = RunHost({"play", flac.string(), "--size", "8x8", "-q"}, dummy);
    EXPECT_EQ(played.exitCode, 0) << played.err;
}

// The sound track's header must count every frame of a track past 4 GiB. The track goes to
// libsndfile's virtual I/O, which keeps the header bytes and counts the rest without storing
// them, and a zero source stands in for 4.3 GB of decoded audio.
class ZeroSource final : public AudioSource {
public:
    explicit ZeroSource(int64_t length) : length_(length) {}
    int SampleRate() const override { return 44100; }
    int64_t Length() const override { return length_; }
    void Seek(int64_t frame) override { position_ = frame; }
    std::size_t Read(float*, std::size_t frames) override  // the writer's block is zeros already
    {
        const auto n = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(frames), length_ - position_));
        position_ += static_cast<int64_t>(n);
        return n;
    }
    std::string Name() const override { return "zeros"; }
    std::unique_ptr<AudioSource> Reopen() const override { return std::make_unique<ZeroSource>(length_); }

private:
    int64_t length_;
    int64_t position_ = 0;
};

struct HeaderOnlyFile {
    std::vector<char> head = std::vector<char>(1 << 16, 0);
    sf_count_t size = 0, position = 0;
};

SF_VIRTUAL_IO HeaderOnlyIo()
{
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* f) { return static_cast<HeaderOnlyFile*>(f)->size; };
    io.seek = [](sf_count_t offset, int whence, void* p) {
        auto* f = static_cast<HeaderOnlyFile*>(p);
        f->position = whence == SEEK_SET ? offset : whence == SEEK_CUR ? f->position + offset : f->size + offset;
        return f->position;
    };
    io.read = [](void* out, sf_count_t count, void* p) {
        auto* f = static_cast<HeaderOnlyFile*>(p);
        auto* bytes = static_cast<char*>(out);
        for (sf_count_t i = 0; i < count; ++i, ++f->position) {
            bytes[i] = f->position < static_cast<sf_count_t>(f->head.size()) ? f->head[static_cast<std::size_t>(f->position)] : 0;
        }
        return count;
    };
    io.write = [](const void* in, sf_count_t count, void* p) {
        auto* f = static_cast<HeaderOnlyFile*>(p);
        const auto* bytes = static_cast<const char*>(in);
        for (sf_count_t i = 0; i < count && f->position + i < static_cast<sf_count_t>(f->head.size()); ++i) {
            f->head[static_cast<std::size_t>(f->position + i)] = bytes[i];
        }
        f->position += count;
        f->size = std::max(f->size, f->position);
        return count;
    };
    io.tell = [](void* f) { return static_cast<HeaderOnlyFile*>(f)->position; };
    return io;
}

TEST(SoundTrack, HoldsATrackPastFourGibibytes)
{
    const int64_t frames = (int64_t{1} << 29) + 1000;  // 8 bytes a frame: 4 GiB and 8000 bytes
    HeaderOnlyFile file;
    SF_VIRTUAL_IO io = HeaderOnlyIo();
    SF_INFO info{0, 44100, 2, SoundTrackFormat, 0, 0};
    SNDFILE* out = sf_open_virtual(&io, SFM_WRITE, &info, &file);
    ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
    ZeroSource zeros(frames);
    EXPECT_EQ(WriteSoundTrack(out, "track", zeros, 0, frames), frames);
    ASSERT_EQ(sf_close(out), 0);
    EXPECT_GT(file.size, int64_t{4} << 30);

    file.position = 0;
    SF_INFO back{};
    SNDFILE* in = sf_open_virtual(&io, SFM_READ, &back, &file);
    ASSERT_NE(in, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(back.frames, frames);
    sf_close(in);
}

// ---------------------------------------------------------------- samples

TEST_F(Hostile, NonFiniteSamplesAreCleanedOnceWhereTheyAreDecoded)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> wild = {nan, inf, -inf, 3e38f, -3e38f, 0.5f, 1.0f, -2.0f};
    std::vector<float> tame = {0.0f, 1.0f, -1.0f, 1.0f, -1.0f, 0.5f, 1.0f, -1.0f};
    analysis::CleanSamples(wild.data(), wild.size());
    EXPECT_EQ(wild, tame);

    // 0.1 s of a tone with every kind of non-finite sample in it, as 32-bit float.
    std::vector<float> samples = test::Sine(440.0, 0.5, 48000, 4800);
    for (std::size_t i = 0; i < samples.size(); i += 7) samples[i] = i % 3 == 0 ? nan : i % 3 == 1 ? inf : -3e38f;
    const fs::path wav = in_ / "naninf.wav";
    test::WriteAudio(wav, samples, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    SndfileSource source(wav);
    std::vector<float> read(2 * samples.size());
    ASSERT_EQ(source.Read(read.data(), samples.size()), samples.size());
    for (float s : read) ASSERT_TRUE(s >= -1.0f && s <= 1.0f) << s;

    // The AAC encoder refuses NaN and infinities: the video gets its sound.
    const fs::path video = out_ / "v.mp4";
    const RunResult r = RunHost({"render", wav.string(), "-o", video.string(), "--size", "2x2", "--fps", "10"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Probe(video, "stream=codec_type"), "video\naudio\n");
}

TEST_F(Hostile, ARateTheEncoderRefusesIsResampledForTheSoundTrack)
{
    const fs::path wav = in_ / "slow.wav";
    test::WriteAudio(wav, {0.5f, -0.5f, 0.25f}, 1, 1);
    const fs::path video = out_ / "v.mp4";
    const RunResult r = RunHost({"render", wav.string(), "-o", video.string(), "--size", "2x2", "--fps", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Probe(video, "stream=codec_type"), "video\naudio\n");
}

// ---------------------------------------------------------------- outputs

TEST_F(Hostile, FramesReplaceOldOnesAllOrNone)
{
    for (const char* pattern : {"frames/", "frames/f_%03d.png"}) {
        SCOPED_TRACE(pattern);
        ScratchDir out;
        const fs::path folder = out / "frames";
        fs::create_directory(folder);
        const bool dir = std::string(pattern).ends_with("/");
        auto name = [&](int n) {
            char text[32];
            std::snprintf(text, sizeof text, dir ? "frame_%06d.png" : "f_%03d.png", n);
            return folder / text;
        };
        for (int n = 0; n < 10; ++n) std::ofstream(name(n)) << "old";
        fs::create_directory(name(10));  // the eleventh frame cannot replace a folder
        // 0.5 s at 30 fps: 15 frames.
        const RunResult r = RunHost({"render", tone_, "-o", (out / pattern).string(), "--size", "2x2", "--fps", "30"});
        ExpectOneLineError(r, {name(10).filename().string(), "folder"});
        for (int n = 0; n < 10; ++n) EXPECT_EQ(ReadAll(name(n)), "old") << n;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 11);
        EXPECT_EQ(out.List(), std::vector<std::string>{"frames"});
    }
}

TEST_F(Hostile, OutputFoldersNamedLikeFfmpegProtocolsAreFolders)
{
    for (const char* protocol : {"file:", "pipe:", "cache:"}) {
        fs::create_directory(out_ / protocol);
        RunOptions here = tmpEnv_;
        here.workDir = out_.Path();
        const RunResult r = RunHost({"render", tone_, "-o", std::string(protocol) + "/v.mp4", "--size", "2x2", "--fps", "10"}, here);
        EXPECT_EQ(r.exitCode, 0) << protocol << ": " << r.err;
        EXPECT_EQ(ListFolder(out_ / protocol), std::vector<std::string>{"v.mp4"});
    }
    for (const auto& entry : fs::directory_iterator("/")) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".v.partial-")) << "ffmpeg wrote " << entry.path();
    }
}

// A live recording encodes its frames first and adds the sound in a second ffmpeg pass: that
// pass too must read a protocol-like folder as a folder and resample a rate the encoder refuses.
TEST_F(Hostile, ASoundAddedAfterTheFramesTakesTheSamePathsAndRates)
{
    constexpr int Rate = 11;
    const fs::path sound = tmp_ / (std::string("sound") + SoundTrackExtension);
    SoundTrackWriter writer(sound, Rate);
    const std::vector<float> samples = test::Sine(2.0, 0.5, Rate, 2 * Rate, 2, 0);
    writer.Write(samples.data(), samples.size() / 2);
    writer.Close();

    fs::create_directory(out_ / "pipe:");
    const fs::path before = fs::current_path();
    fs::current_path(out_.Path());
    VideoSettings settings;
    settings.size = {2, 2};
    settings.fps = FrameRate{10, 1};
    settings.sampleRate = Rate;
    std::string error;
    try {
        auto sink = MakeVideoSinkSoundLast(ClassifyOutput("pipe:/v.mp4", false), settings, sound);
        const std::vector<uint32_t> pixels(4, 0x00FF8000u);
        for (int64_t i = 0; i < 20; ++i) sink->Write(pixels.data(), i);
        sink->Commit();
    } catch (const Error& e) {
        error = e.what();
    }
    fs::current_path(before);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ListFolder(out_ / "pipe:"), std::vector<std::string>{"v.mp4"});
    EXPECT_EQ(Probe(out_ / "pipe:" / "v.mp4", "stream=codec_type"), "video\naudio\n");
}

TEST_F(Hostile, AnOutputNeverReplacesAnInput)
{
    fs::copy_file(tone_, in_ / "tone.mkv");
    const RunResult video = RunHost({"render", (in_ / "tone.mkv").string(), "-o", (in_ / "." / "tone.mkv").string()});
    ExpectOneLineError(video, {"tone.mkv", "input"});
    EXPECT_EQ(ReadAll(in_ / "tone.mkv"), ReadAll(tone_));

    fs::copy_file(test::FakeModule("probe"), in_ / "mod.mp4");
    const RunResult module = RunHost({"render", tone_, "--module", (in_ / "mod.mp4").string(), "-o", (in_ / "mod.mp4").string()});
    ExpectOneLineError(module, {"mod.mp4", "input"});
    fs::copy_file(tone_, in_ / "in.png");
    const RunResult snap = RunHost({"snapshot", (in_ / "in.png").string(), "-o", (in_ / "in.png").string(), "--at", "0"});
    ExpectOneLineError(snap, {"in.png", "input"});
    EXPECT_EQ(ReadAll(in_ / "in.png"), ReadAll(tone_));
}

TEST_F(Hostile, LongOutputNamesAndFullDisksNameTheOutput)
{
    // 250 characters: legal, though the temporary name beside it cannot be longer still.
    const std::string longName = std::string(246, 'n') + ".png";
    const RunResult shot = RunHost({"snapshot", tone_, "-o", (out_ / longName).string(), "--at", "0.1", "--size", "2x2"});
    ASSERT_EQ(shot.exitCode, 0) << shot.err;
    EXPECT_EQ(out_.List(), std::vector<std::string>{longName});
    fs::remove(out_ / longName);

    RunOptions limited;
    limited.shellPrefix = "ulimit -f 1;";
    const RunResult full = RunHost({"snapshot", tone_, "-o", (out_ / "s.png").string(), "--at", "0.1", "--size", "640x480"}, limited);
    ExpectOneLineError(full, {"'" + (out_ / "s.png").string() + "'", "File too large"});
    EXPECT_FALSE(Contains(full.err, "partial")) << full.err;
    EXPECT_TRUE(out_.List().empty());
}

TEST_F(Hostile, FailuresStayOnOneLine)
{
    // ffmpeg's own words: the last line in the message, the rest kept in a named log.
    ScratchDir bin;
    std::ofstream(bin / "ffmpeg") << "#!/bin/sh\ncat >/dev/null\necho first >&2\necho second >&2\necho 'last words' >&2\nexit 1\n";
    fs::permissions(bin / "ffmpeg", fs::perms::owner_all);
    RunOptions fake = tmpEnv_;
    fake.env["PATH"] = bin.Path().string() + ":/usr/bin:/bin";
    const RunResult r = RunHost({"render", tone_, "-o", (out_ / "v.mp4").string(), "--size", "2x2", "--fps", "10"}, fake);
    ExpectOneLineError(r, {"v.mp4", "exit status 1", "last words", "log"});
    ASSERT_EQ(tmp_.List().size(), 1u);
    EXPECT_TRUE(Contains(r.err, tmp_.List()[0]));
    EXPECT_EQ(ReadAll(tmp_ / tmp_.List()[0]), "first\nsecond\nlast words\n");

    // A stub of an MP3: the decoder's own warnings stay off the terminal, and the message does
    // not call a regular file a pipe.
    const RunResult mp3 = test::RunShell("ffmpeg -v error -f lavfi -i sine=d=1 -c:a libmp3lame '" + (in_ / "ok.mp3").string() + "'");
    ASSERT_EQ(mp3.exitCode, 0) << mp3.err;
    std::ofstream(in_ / "stub.mp3", std::ios::binary) << ReadAll(in_ / "ok.mp3").substr(0, 100);
    const RunResult stub = RunHost({"render", (in_ / "stub.mp3").string(), "-o", (out_ / "v.mp4").string(), "-q"});
    ExpectOneLineError(stub, {"stub.mp3", "damaged"});
    EXPECT_FALSE(Contains(stub.err, "pipe")) << stub.err;

    // Standard output that takes nothing is a failure.
    const RunResult info = test::RunShell("'" + test::HostExe().string() + "' info '" + test::RealModule().string() + "' > /dev/full");
    EXPECT_EQ(info.exitCode, 1) << info.err;
}

// ---------------------------------------------------------------- signals and times

TEST_F(Hostile, SignalsStopWhereverTheyArrive)
{
    // Blocked opening a FIFO nobody writes to.
    ASSERT_EQ(mkfifo((in_ / "fifo.wav").c_str(), 0600), 0);
    RunOptions interrupt = tmpEnv_;
    interrupt.interruptAfterSeconds = 0.5;
    const RunResult fifo = RunHost({"render", (in_ / "fifo.wav").string(), "-o", (out_ / "v.mp4").string()}, interrupt);
    EXPECT_EQ(fifo.exitCode, 130) << fifo.err;

    // A closed terminal mid-render: everything temporary goes, ffmpeg included.
    RunOptions hangUp = tmpEnv_;
    hangUp.shellPrefix = "(sleep 1.5; kill -HUP $$) & ";
    const RunResult hup = RunHost({"render", "-o", (out_ / "demo.mp4").string(), "--size", "640x360"}, hangUp);
    EXPECT_EQ(hup.exitCode, 130) << hup.err;
    EXPECT_TRUE(out_.List().empty());
    EXPECT_TRUE(tmp_.List().empty());
}

TEST(Times, ClockFieldsStayBelowSixtyAndMomentsBeforeTheEndAreInside)
{
    EXPECT_EQ(ParseSeconds("--start", "1:59:59"), 7199.0);
    EXPECT_THROW(ParseSeconds("--start", "0:99:00"), Error);
    EXPECT_THROW(ParseSeconds("--start", "1:60"), Error);
    EXPECT_EQ(ParseSeconds("--start", "99:00"), 5940.0);

    ScratchDir dir;
    test::WriteAudio(dir / "two.wav", std::vector<float>(96000, 0.25f), 48000, 1);
    const RunResult r = RunHost({"snapshot", (dir / "two.wav").string(), "-o", (dir / "s.png").string(), "--at", "1.99999",
                                 "--size", "2x2"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const RunResult late = RunHost({"render", (dir / "two.wav").string(), "-o", (dir / "f/").string(), "--start", "1.99999",
                                    "--size", "2x2"});
    EXPECT_EQ(late.exitCode, 0) << late.err;
}

}  // namespace
}  // namespace nimbrelle::host

// Decoding audio files, mixing channels down to two, and writing the sound track; and what a
// hostile or unlucky file does: headers that lie about the length, samples that are not
// numbers, tracks past 4 GiB, rates outside the range. Each case is the smallest that shows it.
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <utility>

#include <gtest/gtest.h>

#include "nimbrelle/analysis.h"
#include "audio/selection.h"
#include "audio/sound_track.h"
#include "audio/source.h"
#include "base/error.h"
#include "base/text.h"
#include "support/host_support.h"
#include "base/timing.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using test::Contains;
using test::ExpectOneLineError;
using test::Probe;
using test::ReadAll;
using test::RunHost;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;
using Hostile = test::ToneFixture;

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


// Expects `f` to throw Error whose message contains every one of `parts`.
template <typename F>
void ExpectError(F&& f, std::initializer_list<std::string> parts)
{
    try {
        f();
        ADD_FAILURE() << "no error thrown";
    } catch (const Error& e) {
        for (const std::string& part : parts) EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
}

// Every frame `source` decodes, whatever length it claims.
std::vector<float> ReadAllFrames(AudioSource& source)
{
    std::vector<float> all;
    source.Seek(0);
    for (;;) {
        const std::size_t had = all.size();
        all.resize(had + 2 * 10000);
        const std::size_t got = source.Read(all.data() + had, 10000);
        all.resize(had + 2 * got);
        if (got < 10000) return all;
    }
}

// One second of a 1 kHz tone at half scale, encoded once in every format the host reads.
class Formats : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new ScratchDir;
        if (!test::HaveProgram("sox") || !test::HaveProgram("ffmpeg")) return;
        const std::string d = dir_->Path().string();
        const std::string synth = " synth 1 sine 1000 vol 0.5";
        ok_ = test::RunShell("sox -n -r 44100 -c 2 -b 16 " + d + "/tone.wav" + synth).exitCode == 0 &&
              test::RunShell("sox -n -r 44100 -c 2 " + d + "/tone.flac" + synth).exitCode == 0 &&
              test::RunShell("sox -n -r 44100 -c 2 " + d + "/tone.ogg" + synth).exitCode == 0 &&
              test::RunShell("ffmpeg -v error -y -i " + d + "/tone.wav -c:a libmp3lame -b:a 192k " + d + "/tone.mp3").exitCode == 0 &&
              test::RunShell("ffmpeg -v error -y -i " + d + "/tone.wav -c:a libopus -b:a 128k " + d + "/tone.opus").exitCode == 0;
    }
    static void TearDownTestSuite() { delete dir_; }
    void SetUp() override
    {
        if (!ok_) GTEST_SKIP() << "sox or ffmpeg missing, or could not encode the test files";
    }
    static inline ScratchDir* dir_ = nullptr;
    static inline bool ok_ = false;
};

TEST_F(Formats, EveryFormatDecodesToTheToneAtItsLevel)
{
    struct Case {
        const char* file;
        int rate;
    };
    for (const Case c : {Case{"tone.wav", 44100}, Case{"tone.flac", 44100}, Case{"tone.ogg", 44100},
                         Case{"tone.mp3", 44100}, Case{"tone.opus", 48000}}) {
        SCOPED_TRACE(c.file);
        SndfileSource source(dir_->Path() / c.file);
        EXPECT_EQ(source.SampleRate(), c.rate);
        EXPECT_NEAR(static_cast<double>(source.Length()) / c.rate, 1.0, 0.06);
        analysis::SourceHistory history(source, c.rate / 2);
        analysis::Analyser analyser;
        FrameData frame{};
        analyser.Analyse(history.Left(), history.Right(), 0, frame);
        const int expectedBin = static_cast<int>(std::lround(1000.0 * 512 / c.rate));
        for (int ch = 0; ch < 2; ++ch) {
            EXPECT_EQ(std::max_element(frame.blockB[ch], frame.blockB[ch] + 256) - frame.blockB[ch], expectedBin);
            // Half scale: a peak waveform level near 128, a spectrum level near 238 less the
            // window's loss between bins and the codec's error.
            EXPECT_NEAR(*std::max_element(frame.blockA[ch], frame.blockA[ch] + 512), 128, 8);
            EXPECT_NEAR(frame.blockB[ch][expectedBin], 236, 6);
        }
    }
}

TEST(Audio, MonoFeedsBothChannelsAndExtraChannelsMixDown)
{
    ScratchDir dir;
    test::WriteAudio(dir / "mono.wav", std::vector<float>(100, 0.25f), 22050, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    SndfileSource mono(dir / "mono.wav");
    EXPECT_EQ(mono.SampleRate(), 22050);
    for (float s : ReadAllFrames(mono)) ASSERT_EQ(s, 0.25f);

    // Channels 0 and 1 to left and right, the rest to both at half weight, scaled by 1/2 here.
    std::vector<float> quad;
    for (int i = 0; i < 100; ++i) quad.insert(quad.end(), {0.4f, -0.2f, 0.2f, 0.2f});
    test::WriteAudio(dir / "quad.wav", quad, 48000, 4, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    SndfileSource four(dir / "quad.wav");
    const std::vector<float> mixed = ReadAllFrames(four);
    ASSERT_EQ(mixed.size(), 200u);
    EXPECT_FLOAT_EQ(mixed[0], 0.3f);
    EXPECT_NEAR(mixed[1], 0.0f, 1e-7);

    // A signal that is the same on all six channels keeps its level.
    test::WriteAudio(dir / "six.wav", std::vector<float>(600, -0.5f), 48000, 6, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    SndfileSource six(dir / "six.wav");
    for (float s : ReadAllFrames(six)) ASSERT_FLOAT_EQ(s, -0.5f);
}

TEST(Audio, BadFilesAreReportedByName)
{
    ScratchDir dir;
    const fs::path missing = dir / "missing.wav";
    ExpectError([&] { SndfileSource s(missing); }, {"does not exist", missing.string()});

    std::ofstream(dir / "empty.wav").close();
    ExpectError([&] { SndfileSource s(dir / "empty.wav"); }, {"empty", "empty.wav"});

    std::ofstream(dir / "text.mp3") << "this is not audio at all, just some text\n";
    ExpectError([&] { SndfileSource s(dir / "text.mp3"); }, {"cannot decode", "text.mp3"});

    test::Rng rng(5);
    std::ofstream noise(dir / "noise.flac", std::ios::binary);
    for (int i = 0; i < 4096; ++i) noise.put(static_cast<char>(rng.Next()));
    noise.close();
    ExpectError([&] { SndfileSource s(dir / "noise.flac"); }, {"noise.flac"});

    ExpectError([&] { SndfileSource s(dir.Path()); }, {"directory"});

    // A WAV header with no sample data.
    test::WriteAudio(dir / "nothing.wav", {}, 44100, 2);
    ExpectError([&] { SndfileSource s(dir / "nothing.wav"); }, {"no samples", "nothing.wav"});
}

TEST(Audio, SoundTrackIsTheExactSegment)
{
    std::vector<float> ramp;
    for (int i = 0; i < 10000; ++i) {
        ramp.push_back(static_cast<float>(i) / 10000.0f);
        ramp.push_back(-static_cast<float>(i) / 10000.0f);
    }
    MemorySource source(ramp, 32000, "ramp");
    ScratchDir dir;
    EXPECT_EQ(WriteSoundTrack(dir / "segment.w64", source, 1234, 5000), 5000);
    SndfileSource back(dir / "segment.w64");
    EXPECT_EQ(back.SampleRate(), 32000);
    ASSERT_EQ(back.Length(), 5000);
    const std::vector<float> got = ReadAllFrames(back);
    for (std::size_t i = 0; i < 5000; ++i) {
        ASSERT_EQ(got[2 * i], ramp[2 * (1234 + i)]) << i;
        ASSERT_EQ(got[2 * i + 1], ramp[2 * (1234 + i) + 1]) << i;
    }
    // A segment reaching past the end stops there: no silence is invented.
    EXPECT_EQ(WriteSoundTrack(dir / "tail.w64", source, 9000, 3000), 1000);
    SndfileSource tail(dir / "tail.w64");
    EXPECT_EQ(tail.Length(), 1000);

    ExpectError([&] { WriteSoundTrack(dir / "no-such-folder" / "x.w64", source, 0, 10); }, {"no-such-folder"});
}

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
    // A snapshot past the real end is refused like one past a true end, after the warning that
    // says where the file stopped decoding.
    const RunResult late = RunHost({"snapshot", flac.string(), "-o", (out_ / "s.png").string(), "--at", "1"});
    const std::string warning = "nimbrelle: warning: '" + flac.string() + "' is damaged or cut short: decoding stopped at 0.1 s\n";
    ASSERT_TRUE(late.err.starts_with(warning)) << late.err;
    RunResult error = late;
    error.err = late.err.substr(warning.size());
    ExpectOneLineError(error, {"--at", "long.flac"});

    // Playing ends with the sound, not after 16 days of silence.
    RunOptions dummy;
    dummy.env = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}};
    const RunResult played = RunHost({"play", flac.string(), "--size", "8x8", "-q"}, dummy);
    EXPECT_EQ(played.exitCode, 0) << played.err;
}

// Two seconds of a tone as libsndfile writes each lossless and lossy format, and copies of
// each cut short: a damaged file ends where it stops decoding, with one warning that says where.
class CutFiles : public ::testing::Test {
protected:
    struct Format {
        const char* name;
        int format;
        int rate;
    };
    static constexpr Format Formats[] = {
        {"tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100},
        {"tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100},
        {"tone.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100},
        {"tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100},
        {"tone.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000},
    };

    // The file `name` written in `format`, and the samples it decodes to.
    fs::path Write(const Format& f, std::vector<float>& decoded, std::vector<std::string>& warnings)
    {
        const fs::path path = dir_ / f.name;
        test::WriteAudio(path, test::Sine(440.0, 0.5, f.rate, 2 * f.rate, 2), f.rate, 2, f.format);
        SndfileSource full(path, Collect(warnings));
        decoded = ReadAllFrames(full);
        return path;
    }

    // The first `bytes` bytes of `path` as a file of their own.
    fs::path Cut(const fs::path& path, std::size_t bytes)
    {
        const fs::path cut = dir_ / ("cut" + std::to_string(bytes) + "-" + path.filename().string());
        std::ofstream(cut, std::ios::binary) << ReadAll(path).substr(0, bytes);
        return cut;
    }

    static SndfileSource::Warn Collect(std::vector<std::string>& warnings)
    {
        return [&warnings](const std::string& w) { warnings.push_back(w); };
    }

    ScratchDir dir_;
};

TEST_F(CutFiles, DecodeToAPrefixOfTheWholeFileWithOneWarning)
{
    for (const Format& f : Formats) {
        SCOPED_TRACE(f.name);
        std::vector<float> whole;
        std::vector<std::string> none;
        const fs::path path = Write(f, whole, none);
        ASSERT_GT(whole.size(), 0u);
        EXPECT_TRUE(none.empty()) << "a whole file is not damaged: " << none.front();
        const std::size_t size = fs::file_size(path);
        for (const std::size_t bytes : {size - 1, size * 9 / 10, size * 7 / 10, size / 2}) {
            SCOPED_TRACE(bytes);
            const fs::path cut = Cut(path, bytes);
            std::vector<std::string> warnings;
            std::vector<float> got;
            std::unique_ptr<AudioSource> again;
            try {
                SndfileSource source(cut, Collect(warnings));
                got = ReadAllFrames(source);
                EXPECT_EQ(source.Length() * 2, static_cast<int64_t>(got.size()));
                // A second reader of the same file finds the same end and says nothing more.
                again = source.Reopen();
                EXPECT_EQ(ReadAllFrames(*again).size(), got.size());
            } catch (const Error& e) {
                // Only a file of which nothing decodes is an error (its header or first page cut).
                EXPECT_TRUE(Contains(e.what(), cut.string())) << e.what();
                EXPECT_NE(bytes, size - 1) << "one byte less must still decode: " << e.what();
                continue;
            }
            if (got.empty()) {
                EXPECT_NE(bytes, size - 1);
                EXPECT_TRUE(warnings.empty());
                continue;
            }
            ASSERT_LT(got.size(), whole.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin())) << "not a prefix of the whole file";
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0], "'" + cut.string() + "' is damaged or cut short: decoding stopped at " +
                                       SecondsText(static_cast<double>(got.size() / 2) / f.rate) + " s");
        }
    }
}

TEST_F(CutFiles, ADamagedStretchEndsTheAudioWhereverTheReadsFall)
{
    // A FLAC with 40 bytes of junk two fifths in: libsndfile's decoder reports the damage and
    // then hands over a different amount of audio depending on how much each read asks for.
    std::vector<float> whole;
    std::vector<std::string> none;
    const fs::path path = Write(Formats[1], whole, none);
    std::string bytes = ReadAll(path);
    bytes.replace(bytes.size() * 2 / 5, 40, 40, '\x55');
    std::ofstream(path, std::ios::binary) << bytes;

    std::vector<std::vector<float>> decoded;
    for (const std::size_t request : {std::size_t{10000}, std::size_t{333}, std::size_t{64}}) {
        SCOPED_TRACE(request);
        std::vector<std::string> warnings;
        SndfileSource source(path, Collect(warnings));
        std::vector<float> got, block(2 * request);
        while (const std::size_t n = source.Read(block.data(), request)) {
            got.insert(got.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(2 * n));
        }
        EXPECT_EQ(static_cast<int64_t>(got.size() / 2), source.Length());
        EXPECT_EQ(warnings.size(), 1u);
        decoded.push_back(std::move(got));
    }
    EXPECT_LT(decoded[0].size(), whole.size()) << "the audio ends at the damage";
    EXPECT_GT(decoded[0].size(), whole.size() / 3);
    EXPECT_TRUE(decoded[1] == decoded[0]);
    EXPECT_TRUE(decoded[2] == decoded[0]);
    // A reader that seeks lands in the same audio.
    SndfileSource seeker(path, [](const std::string&) {});
    std::vector<float> block(2 * 1000);
    seeker.Seek(30000);
    ASSERT_EQ(seeker.Read(block.data(), 1000), 1000u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), decoded[0].begin() + 2 * 30000));
}

TEST_F(Formats, WholeFilesAreNotCalledDamaged)
{
    // Lengths that are guesses or unknown are no sign of damage: an MP3 without a Xing frame
    // (libsndfile estimates its length from its size), a FLAC written to a pipe (no length).
    const std::string d = dir_->Path().string();
    ASSERT_EQ(test::RunShell("ffmpeg -v error -y -i " + d + "/tone.wav -c:a libmp3lame -write_xing 0 " + d + "/plain.mp3").exitCode, 0);
    ASSERT_EQ(test::RunShell("ffmpeg -v error -i " + d + "/tone.wav -f flac - | cat > " + d + "/piped.flac").exitCode, 0);
    ASSERT_EQ(test::RunShell("ffmpeg -v error -i " + d + "/tone.wav -f wav - | cat > " + d + "/piped.wav").exitCode, 0);
    for (const char* file : {"tone.wav", "tone.flac", "tone.ogg", "tone.mp3", "tone.opus", "plain.mp3", "piped.flac", "piped.wav"}) {
        SCOPED_TRACE(file);
        std::vector<std::string> warnings;
        SndfileSource source(dir_->Path() / file, [&](const std::string& w) { warnings.push_back(w); });
        EXPECT_GT(ReadAllFrames(source).size(), 80000u);
        EXPECT_TRUE(warnings.empty()) << warnings.front();
    }
}

TEST_F(Hostile, ACutFileRendersAndPlaysItsDecodedPrefix)
{
    // 1 s at 44.1 kHz; FLAC and MP3 one byte short lose their last frame, WAV a tenth.
    const std::vector<float> tone = test::Sine(440.0, 0.5, 44100, 44100, 2);
    struct Case {
        const char* name;
        int format;
        std::size_t cut;
    };
    for (const Case c : {Case{"cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1}, Case{"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 17640},
                         Case{"cut.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1}}) {
        SCOPED_TRACE(c.name);
        const fs::path file = in_ / c.name;
        test::WriteAudio(file, tone, 44100, 2, c.format);
        fs::resize_file(file, fs::file_size(file) - c.cut);
        SndfileSource source(file, [](const std::string&) {});
        const int64_t decoded = CountDecoded(source, 0, source.Length());
        ASSERT_GT(decoded, 30000);
        ASSERT_LT(decoded, 44100);
        const std::string warning = "nimbrelle: warning: '" + file.string() + "' is damaged or cut short: decoding stopped at " +
                                    SecondsText(static_cast<double>(decoded) / 44100) + " s\n";

        // The video holds the frames of the decoded audio (frame n starts at n / 20 s) and its sound.
        const fs::path video = out_ / "v.mp4";
        const RunResult r = RunHost({"render", file.string(), "-o", video.string(), "--size", "2x2", "--fps", "20"}, tmpEnv_);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(r.err.starts_with(warning)) << r.err;
        EXPECT_EQ(r.err.find("warning", warning.size()), std::string::npos) << "one warning: " << r.err;
        const int64_t frames = (decoded * 20 + 44099) / 44100;
        EXPECT_TRUE(Contains(r.err, ": " + std::to_string(frames) + " frames")) << r.err;
        EXPECT_EQ(test::RunShell("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
                                 "-of csv=p=0 '" + video.string() + "'").out,
                  std::to_string(frames) + "\n");
        const std::string sound = test::RunShell("ffprobe -v error -select_streams a -show_entries stream=duration "
                                                 "-of csv=p=0 '" + video.string() + "'").out;
        EXPECT_NEAR(std::stod(sound), static_cast<double>(decoded) / 44100, 0.03) << sound;
        EXPECT_TRUE(tmp_.List().empty());
        fs::remove(video);

        // Playing reads the file twice (for the sound card and for the frames): one warning still.
        RunOptions dummy;
        dummy.env = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}};
        const RunResult played = RunHost({"play", file.string(), "--size", "8x8", "-q"}, dummy);
        EXPECT_EQ(played.exitCode, 0) << played.err;
        EXPECT_EQ(played.err, warning);
    }

    // A file cut inside its header decodes nothing, and that is an error naming it.
    const fs::path stub = in_ / "stub.flac";
    test::WriteAudio(stub, tone, 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    fs::resize_file(stub, 60);
    ExpectOneLineError(RunHost({"render", stub.string(), "-o", (out_ / "v.mkv").string()}, tmpEnv_), {"stub.flac"});
    EXPECT_TRUE(out_.List().empty());
}

// ---------------------------------------------------------------- files that change

TEST_F(CutFiles, AFileThatShrinksBetweenPassesIsAnError)
{
    // A render's two passes: the sound track, then the frames, from the same reader; play's two
    // readers, one made by Reopen. The file is cut short in between.
    for (const Format& f : {Formats[0], Formats[1]}) {
        SCOPED_TRACE(f.name);
        std::vector<float> whole;
        std::vector<std::string> warnings;
        const fs::path path = Write(f, whole, warnings);
        SndfileSource source(path, Collect(warnings));
        const analysis::FramePlan plan = PlanFrames(source, 0.0, std::nullopt, FrameRate{20, 1});
        EXPECT_EQ(WriteSoundTrack(dir_ / "track.w64", source, plan.first, plan.end - plan.first), 2 * f.rate);
        const std::unique_ptr<AudioSource> other = source.Reopen();
        fs::resize_file(path, fs::file_size(path) / 3);

        analysis::FrameFeed feed(source, plan, 1.0f);
        ExpectError([&] {
            for (int64_t n = 0; n < plan.FrameCount(); ++n) feed.Frame(n);
        }, {path.string(), "changed while it was being read", "2 s of it decoded before"});
        ExpectError([&] { CountDecoded(*other, 0, other->Length()); }, {path.string(), "changed"});
        EXPECT_TRUE(warnings.empty()) << "a changed file is not called damaged: " << warnings.front();
    }
}

TEST_F(Hostile, ARenderWhoseAudioShrinksFailsAndLeavesNothing)
{
    if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    // 3 s of a tone; an ffmpeg that cuts it to 100 kB (0.57 s) before it starts, when the
    // sound track has been written and before any frame: the first frame, larger than the
    // pipe, waits for it, and the frames after it read the cut file.
    const fs::path wav = in_ / "shrinking.wav";
    test::WriteAudio(wav, test::Sine(440.0, 0.5, 44100, 3 * 44100, 2), 44100, 2);
    std::string ffmpeg = test::RunShell("command -v ffmpeg").out;
    ffmpeg.pop_back();  // the newline
    ScratchDir bin;
    std::ofstream(bin / "ffmpeg") << "#!/bin/sh\ntruncate -s 100000 '" << wav.string() << "'\nexec " << ffmpeg << " \"$@\"\n";
    fs::permissions(bin / "ffmpeg", fs::perms::owner_all);
    RunOptions options = tmpEnv_;
    options.env["PATH"] = bin.Path().string() + ":/usr/bin:/bin";
    const RunResult r = RunHost({"render", wav.string(), "-o", (out_ / "v.mp4").string(), "--size", "640x480",
                                 "--fps", "20", "-q"}, options);
    ExpectOneLineError(r, {"shrinking.wav", "changed while it was being read", "3 s of it decoded before"});
    EXPECT_EQ(fs::file_size(wav), 100000u) << "the stand-in ffmpeg did not run";
    EXPECT_TRUE(out_.List().empty());
    EXPECT_TRUE(tmp_.List().empty());
}

// ---------------------------------------------------------------- pipes and FIFOs

// A child process that opens `fifo` for writing and writes `bytes` into it, then holds it open
// until killed when `hold`; stopped by pid when the test is done with it.
class FifoWriter {
public:
    FifoWriter(const fs::path& fifo, const std::string& bytes, bool hold = false) : pid_(fork())
    {
        if (pid_ != 0) return;
        const int fd = open(fifo.c_str(), O_WRONLY);
        for (std::size_t put = 0; fd >= 0 && put < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + put, bytes.size() - put);
            if (n <= 0) _exit(1);
            put += static_cast<std::size_t>(n);
        }
        while (hold) pause();
        _exit(0);
    }
    ~FifoWriter()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

private:
    pid_t pid_;
};

TEST_F(Hostile, AudioFromAPipeOrAFifoIsReadWhole)
{
    if (!test::HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe missing";
    // Half a second at 10 fps: five frames, and the sound. The copy the decoders read goes
    // with the render.
    const fs::path fifo = in_ / "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path video = out_ / "v.mp4";
    {
        const FifoWriter writer(fifo, ReadAll(tone_));
        const RunResult r = RunHost({"render", fifo.string(), "-o", video.string(), "--size", "2x2", "--fps", "10", "-q"}, tmpEnv_);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_EQ(Probe(video, "stream=codec_type"), "video\naudio\n");
    EXPECT_EQ(test::RunShell("ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
                             "-of csv=p=0 '" + video.string() + "'").out, "5\n");
    EXPECT_TRUE(tmp_.List().empty());

    RunOptions piped = tmpEnv_;
    piped.shellPrefix = "cat '" + tone_ + "' |";
    fs::remove(video);
    const RunResult r = RunHost({"render", "/dev/stdin", "-o", video.string(), "--size", "2x2", "--fps", "10", "-q"}, piped);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Probe(video, "stream=codec_type"), "video\naudio\n");
    EXPECT_TRUE(tmp_.List().empty());
    // play decodes through two readers of the same copy.
    RunOptions dummy = piped;
    dummy.env.insert({{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}});
    const RunResult played = RunHost({"play", "/dev/stdin", "--size", "8x8", "-q"}, dummy);
    EXPECT_EQ(played.exitCode, 0) << played.err;
    EXPECT_TRUE(tmp_.List().empty());

    // An empty pipe and one of words fail by the name given.
    piped.shellPrefix = ": |";
    ExpectOneLineError(RunHost({"render", "/dev/stdin", "-o", (out_ / "e.mp4").string()}, piped), {"'/dev/stdin'", "empty"});
    piped.shellPrefix = "echo not audio at all |";
    ExpectOneLineError(RunHost({"render", "/dev/stdin", "-o", (out_ / "e.mp4").string()}, piped), {"'/dev/stdin'", "cannot decode"});
    EXPECT_EQ(out_.List(), std::vector<std::string>{"v.mp4"});
    EXPECT_TRUE(tmp_.List().empty());
}

TEST_F(Hostile, CtrlCStopsAReadFromAFifoThatSendsNothing)
{
    // A writer that opens the FIFO, sends part of the file and then nothing more.
    const fs::path fifo = in_ / "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const FifoWriter writer(fifo, ReadAll(tone_).substr(0, 1000), true);
    RunOptions interrupt = tmpEnv_;
    interrupt.interruptAfterSeconds = 0.5;
    const RunResult r = RunHost({"render", fifo.string(), "-o", (out_ / "v.mp4").string()}, interrupt);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_TRUE(out_.List().empty());
    EXPECT_TRUE(tmp_.List().empty()) << "the partial copy is removed";
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
    SoundTrackWriter writer(out, "track");
    EXPECT_EQ(WriteSoundTrack(writer, zeros, 0, frames), frames);
    ASSERT_NO_THROW(writer.Close());
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

TEST_F(Hostile, RatesTheEncodersRefuseAreResampledAndRatesOutsideTheRangeRefused)
{
    // Opus takes no 11025 Hz track, AAC nothing above 96 kHz: each is resampled for the sound.
    for (const auto& [rate, name] : {std::pair{11025, "v.webm"}, std::pair{analysis::MaxSampleRate, "v.mp4"}}) {
        const fs::path wav = in_ / ("rate" + std::to_string(rate) + ".wav");
        test::WriteAudio(wav, test::Sine(440.0, 0.5, rate, rate / 20), rate, 1);
        const fs::path video = out_ / name;
        const RunResult r = RunHost({"render", wav.string(), "-o", video.string(), "--size", "2x2", "--fps", "10"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Probe(video, "stream=codec_type"), "video\naudio\n") << name;
    }
    // Below 8 kHz a record's 512 samples outlast several frames and frames share their
    // milliseconds; the file is refused by name, with the range.
    for (int rate : {1, analysis::MinSampleRate - 1, analysis::MaxSampleRate + 1}) {
        const fs::path wav = in_ / ("odd" + std::to_string(rate) + ".wav");
        test::WriteAudio(wav, {0.5f, -0.5f, 0.25f}, rate, 1);
        const RunResult r = RunHost({"render", wav.string(), "-o", (out_ / "x.mp4").string(), "--size", "2x2"});
        ExpectOneLineError(r, {wav.filename().string(), std::to_string(rate) + " Hz", "8000 to 1000000 Hz"});
    }
}

}  // namespace
}  // namespace nimbrelle::host

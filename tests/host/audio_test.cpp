// Decoding audio files, mixing channels down to two, and writing the sound track.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include <gtest/gtest.h>

#include "nimbrelle/analysis.h"
#include "audio/source.h"
#include "base/error.h"
#include "support/host_support.h"
#include "base/timing.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

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

std::vector<float> ReadAllFrames(AudioSource& source)
{
    std::vector<float> all(static_cast<std::size_t>(source.Length() + 10000) * 2);
    source.Seek(0);
    all.resize(source.Read(all.data(), all.size() / 2) * 2);
    return all;
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
    EXPECT_EQ(four.FileChannels(), 4);
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

}  // namespace
}  // namespace nimbrelle::host

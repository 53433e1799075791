// The nimbrellevis element in real pipelines: frame counts and timestamps, frame-for-frame
// equality with `nimbrelle render`, independent copies of the module, seeking, resizing,
// restarting, bad modules, playbin, and gst-launch / gst-inspect from the command line.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <sndfile.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <future>
#include <mutex>
#include <optional>

#include "support/host_support.h"
#include "nimbrelle/analysis/frame_plan.h"

namespace nimbrelle::host::test {
namespace {

using analysis::FrameCountFor;
using analysis::FrameRate;
using analysis::FrameStartSample;

struct Frame {
    int width = 0;
    int height = 0;
    GstClockTime pts = 0;
    std::vector<uint8_t> bytes;  // BGRx (or BGRA) rows without padding
    std::string format;          // the caps' format
};

struct Played {
    std::vector<Frame> frames;                          // those reaching the appsink "out"
    std::map<std::string, std::vector<Frame>> bySink;   // those reaching each appsink, by name
    std::string error;                                  // the first error on the bus, if any
    std::string debug;                                  // and its debugging details
};

// Frames reaching the pipeline's appsinks, and its first error.
class Pipeline {
public:
    explicit Pipeline(const std::string& description)
    {
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error != nullptr) ADD_FAILURE() << description << ": " << error->message;
        g_clear_error(&error);
        GstIterator* sinks = gst_bin_iterate_all_by_element_factory_name(GST_BIN(pipeline_), "appsink");
        GValue item = G_VALUE_INIT;
        while (gst_iterator_next(sinks, &item) == GST_ITERATOR_OK) {
            Attach(GST_ELEMENT(g_value_get_object(&item)));
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(sinks);
    }
    // Collects the frames reaching `out`, an appsink.
    void Attach(GstElement* out)
    {
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = &Pipeline::OnSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, this, nullptr);
        g_object_set(out, "sync", FALSE, nullptr);
    }
    ~Pipeline()
    {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
    GstElement* Get(const char* name) const { return gst_bin_get_by_name(GST_BIN(pipeline_), name); }
    GstElement* Element() const { return pipeline_; }
    // Called on the streaming thread after each frame, with the count so far.
    std::function<void(std::size_t)> onFrame;

    // Plays to the end (or the first error) and returns what arrived.
    Played Play()
    {
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
        return Wait();
    }
    Played Wait()
    {
        GstBus* bus = gst_element_get_bus(pipeline_);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        Played run;
        if (message == nullptr) {
            run.error = "timed out";
        } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* error = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            run.error = error->message;
            run.debug = debug != nullptr ? debug : "";
            g_clear_error(&error);
            g_free(debug);
        }
        if (message != nullptr) gst_message_unref(message);
        gst_object_unref(bus);
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        std::lock_guard lock(mutex_);
        run.bySink = std::move(frames_);
        frames_.clear();
        if (const auto out = run.bySink.find("out"); out != run.bySink.end()) run.frames = out->second;
        return run;
    }

private:
    static GstFlowReturn OnSample(GstAppSink* sink, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        const GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        Frame frame{0, 0, GST_BUFFER_PTS(buffer), std::vector<uint8_t>(gst_buffer_get_size(buffer)), {}};
        gst_structure_get_int(caps, "width", &frame.width);
        gst_structure_get_int(caps, "height", &frame.height);
        if (const char* format = gst_structure_get_string(caps, "format")) frame.format = format;
        // BGRx rows are whole words, so the buffer holds them without padding.
        gst_buffer_extract(buffer, 0, frame.bytes.data(), frame.bytes.size());
        gst_sample_unref(sample);
        std::size_t count;
        {
            std::lock_guard lock(self->mutex_);
            std::vector<Frame>& frames = self->frames_[GST_OBJECT_NAME(sink)];
            frames.push_back(std::move(frame));
            count = frames.size();
        }
        if (self->onFrame) self->onFrame(count);
        return GST_FLOW_OK;
    }

    GstElement* pipeline_ = nullptr;
    std::mutex mutex_;
    std::map<std::string, std::vector<Frame>> frames_;
};

std::string Tone(int buffers, int samplesPerBuffer, const std::string& caps)
{
    return "audiotestsrc wave=ticks num-buffers=" + std::to_string(buffers) +
           " samplesperbuffer=" + std::to_string(samplesPerBuffer) + " ! " + caps;
}

std::string ToneSource(int buffers, int samplesPerBuffer, const std::string& caps)
{
    return Tone(buffers, samplesPerBuffer, caps) + " ! nimbrellevis";
}

void ExpectSameFrames(const std::vector<Frame>& frames, const std::vector<Frame>& expected, const std::string& what)
{
    ASSERT_EQ(frames.size(), expected.size()) << what;
    for (std::size_t n = 0; n < frames.size(); ++n) ASSERT_EQ(frames[n].bytes, expected[n].bytes) << what << " frame " << n;
}

// A second of a rising tone with bursts, so every frame's record differs.
fs::path MusicWav(const ScratchDir& dir, int rate, int channels, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16)
{
    std::vector<float> samples = Sine(440.0, 0.5, rate, rate, channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] *= static_cast<float>((i / static_cast<std::size_t>(channels * rate / 8)) % 3) * 0.6f;
    }
    const fs::path path = dir / "music.wav";
    WriteAudio(path, samples, rate, channels, format);
    return path;
}

TEST(NimbrelleVis, AudioTestSourceGivesOneFramePerFrameStartWithItsTime)
{
    struct Case {
        std::string caps;
        int rate;
        FrameRate fps;
        std::string video;
    };
    for (const Case& c : {Case{"audio/x-raw,format=S16LE,rate=48000,channels=2", 48000, {60, 1}, ""},
                          Case{"audio/x-raw,format=F32LE,rate=44100,channels=1", 44100, {30000, 1001},
                               " ! video/x-raw,width=64,height=36,framerate=30000/1001"}}) {
        Pipeline pipeline(ToneSource(20, 1000, c.caps) + c.video + " ! appsink name=out");
        const Played run = pipeline.Play();
        ASSERT_EQ(run.error, "") << c.caps;
        ASSERT_EQ(static_cast<int64_t>(run.frames.size()), FrameCountFor(20000, c.rate, c.fps)) << c.caps;
        EXPECT_EQ(run.frames[0].width, c.video.empty() ? 1280 : 64);
        EXPECT_EQ(run.frames[0].height, c.video.empty() ? 720 : 36);
        for (std::size_t n = 0; n < run.frames.size(); ++n) {
            const auto start = static_cast<guint64>(FrameStartSample(static_cast<int64_t>(n), c.rate, c.fps));
            ASSERT_EQ(run.frames[n].pts, gst_util_uint64_scale(start, GST_SECOND, static_cast<guint64>(c.rate)));
        }
    }
}

TEST(NimbrelleVis, FramesEqualTheHostsRenderOfTheSameFile)
{
    struct Case {
        int rate, channels, format;
        std::string fps;
    };
    for (const Case& c : {Case{44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, "30"},
                          Case{48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, "25"}}) {
        ScratchDir dir, pngs;
        const fs::path wav = MusicWav(dir, c.rate, c.channels, c.format);
        const RunResult rendered = RunHost({"render", wav.string(), "-q", "--size", "96x54", "--fps", c.fps,
                                            "--gain", "1.5", "-o", pngs.Path().string() + "/"});
        ASSERT_EQ(rendered.exitCode, 0) << rendered.err;
        Pipeline pipeline("filesrc location=" + wav.string() + " ! wavparse ! nimbrellevis gain=1.5 ! video/x-raw,"
                          "width=96,height=54,framerate=" + c.fps + "/1 ! appsink name=out");
        const Played run = pipeline.Play();
        ASSERT_EQ(run.error, "");
        const std::vector<std::string> names = pngs.List();
        ASSERT_EQ(run.frames.size(), names.size());
        for (std::size_t n = 0; n < names.size(); ++n) {
            const std::optional<Image> image = ReadPng(pngs / names[n]);
            ASSERT_TRUE(image.has_value());
            for (std::size_t i = 0; i < image->rgb.size() / 3; ++i) {
                const uint8_t* bgrx = &run.frames[n].bytes[i * 4];
                ASSERT_TRUE(bgrx[2] == image->rgb[i * 3] && bgrx[1] == image->rgb[i * 3 + 1] &&
                            bgrx[0] == image->rgb[i * 3 + 2])
                    << "frame " << n << " pixel " << i << " at " << c.rate << " Hz";
            }
        }
    }
}

TEST(NimbrelleVis, EveryBackgroundEqualsTheHostsPngFrames)
{
    ScratchDir dir;
    const fs::path wav = MusicWav(dir, 48000, 2);
    for (const char* background : {"blue", "black", "transparent"}) {
        SCOPED_TRACE(background);
        ScratchDir pngs;
        const RunResult rendered = RunHost({"render", wav.string(), "-q", "--size", "96x54", "--fps", "30",
                                            "--background", background, "-o", pngs.Path().string() + "/"});
        ASSERT_EQ(rendered.exitCode, 0) << rendered.err;
        // Through videoconvert, which takes any format: the element picks its background's.
        Pipeline pipeline("filesrc location=" + wav.string() + " ! wavparse ! nimbrellevis background=" + background +
                          " ! video/x-raw,width=96,height=54,framerate=30/1 ! tee name=t t. ! queue ! appsink name=out "
                          "t. ! queue ! videoconvert ! fakesink");
        const Played run = pipeline.Play();
        ASSERT_EQ(run.error, "");
        const std::vector<std::string> names = pngs.List();
        ASSERT_EQ(run.frames.size(), names.size());
        const bool alpha = std::string(background) == "transparent";
        for (std::size_t n = 0; n < names.size(); ++n) {
            ASSERT_EQ(run.frames[n].format, alpha ? "BGRA" : "BGRx");
            const std::optional<RgbaImage> image = ReadPngRgba(pngs / names[n]);
            ASSERT_TRUE(image.has_value());
            ASSERT_EQ(image->hasAlpha, alpha);
            for (std::size_t i = 0; i < image->rgba.size() / 4; ++i) {
                const uint8_t* bgra = &run.frames[n].bytes[i * 4];
                const uint8_t* rgba = &image->rgba[i * 4];
                ASSERT_TRUE(bgra[2] == rgba[0] && bgra[1] == rgba[1] && bgra[0] == rgba[2] && (!alpha || bgra[3] == rgba[3]))
                    << "frame " << n << " pixel " << i;
            }
        }
    }
}

TEST(NimbrelleVis, OverVideoTheCompositorShowsThePictureWhereTheSceneIsDark)
{
    ScratchDir dir;
    const fs::path wav = MusicWav(dir, 48000, 2);
    const std::string video = "video/x-raw,format=BGRA,width=160,height=96,framerate=30/1";
    const std::string scenePart = "filesrc location=" + wav.string() + " ! wavparse ! nimbrellevis background=transparent ! " + video;
    const std::string picturePart = "videotestsrc pattern=smpte num-buffers=30 ! " + video;
    // The scene and the picture each on their own, then laid over each other by the compositor.
    const Played sceneRun = Pipeline(scenePart + " ! appsink name=out sync=false").Play();
    const Played pictureRun = Pipeline(picturePart + " ! appsink name=out sync=false").Play();
    const Played run = Pipeline(scenePart + " ! queue ! c.sink_1 " + picturePart + " ! queue ! c.sink_0 " +
                                "compositor name=c sink_0::zorder=0 sink_1::zorder=1 ! " + video + " ! appsink name=out sync=false")
                           .Play();
    ASSERT_EQ(sceneRun.error, "");
    ASSERT_EQ(pictureRun.error, "");
    const std::vector<Frame>& scene = sceneRun.frames;
    const std::vector<Frame>& picture = pictureRun.frames;
    ASSERT_EQ(scene.size(), 30u);
    ASSERT_EQ(picture.size(), 30u);
    ASSERT_GE(run.frames.size(), 30u);
    // Whether output frame `out` is scene frame `s` laid over picture frame `under` by the rule;
    // counts the see-through, opaque and mixed pixels when `counts` is set.
    auto composited = [&](const Frame& out, const Frame& s, const Frame& under, int* counts) {
        for (std::size_t i = 0; i < s.bytes.size(); i += 4) {
            const uint8_t alpha = s.bytes[i + 3];
            const uint8_t* o = &out.bytes[i];
            if (alpha == 0 || alpha == 255) {
                // The picture where the scene is see-through, the scene's light where it is opaque.
                const uint8_t* shown = alpha == 0 ? &under.bytes[i] : &s.bytes[i];
                if (o[0] != shown[0] || o[1] != shown[1] || o[2] != shown[2]) return false;
                if (counts != nullptr) ++counts[alpha == 0 ? 0 : 1];
                continue;
            }
            // Elsewhere a mix of the two.
            for (int c = 0; c < 3; ++c) {
                const int lo = std::min(s.bytes[i + c], under.bytes[i + c]);
                const int hi = std::max(s.bytes[i + c], under.bytes[i + c]);
                if (o[c] + 1 < lo || o[c] > hi + 1) return false;
            }
            if (counts != nullptr) ++counts[2];
        }
        return true;
    };
    // Every output frame is its own scene frame laid over the picture by the rule. (The sinks do
    // not sync to the clock: a late frame's QoS would make the element skip drawing it, and the
    // scene would move on differently from the scene-alone run.)
    int counts[3] = {0, 0, 0};
    for (std::size_t n = 0; n < 30; ++n) {
        ASSERT_EQ(run.frames[n].pts, scene[n].pts);
        EXPECT_TRUE(composited(run.frames[n], scene[n], picture[n], counts)) << "output frame " << n;
    }
    const int seeThrough = counts[0], opaque = counts[1], between = counts[2];
    EXPECT_GT(seeThrough, 30 * 160 * 96 / 2);
    EXPECT_GT(opaque, 100);
    EXPECT_GT(between, 100);
}

TEST(NimbrelleVis, InstancesKeepTheirOwnScenesAndRestartFromTheBeginning)
{
    const std::string description =
        ToneSource(30, 800, "audio/x-raw,rate=48000") + " ! video/x-raw,width=80,height=60 ! appsink name=out";
    Pipeline alone(description);
    const Played reference = alone.Play();
    ASSERT_EQ(reference.error, "");
    // Back from NULL: the module builds its scene again.
    ExpectSameFrames(alone.Play().frames, reference.frames, "restarted");

    // More instances in one pipeline than the C library has namespaces for.
    std::string many = Tone(30, 800, "audio/x-raw,rate=48000") + " ! tee name=t";
    for (int i = 0; i < 20; ++i) {
        many += " t. ! queue ! nimbrellevis ! video/x-raw,width=80,height=60 ! appsink name=many" + std::to_string(i);
    }
    Pipeline crowd(many);
    const Played together = crowd.Play();
    ASSERT_EQ(together.error, "");
    ASSERT_EQ(together.bySink.size(), 20u);
    for (const auto& [name, frames] : together.bySink) ExpectSameFrames(frames, reference.frames, name);

    // Two pipelines drawing at the same time on two streaming threads.
    Pipeline first(description), second(description);
    gst_element_set_state(first.Element(), GST_STATE_PLAYING);
    gst_element_set_state(second.Element(), GST_STATE_PLAYING);
    std::future<Played> other = std::async(std::launch::async, [&second] { return second.Wait(); });
    ExpectSameFrames(first.Wait().frames, reference.frames, "first pipeline");
    ExpectSameFrames(other.get().frames, reference.frames, "second pipeline");
}

TEST(NimbrelleVis, SeekingRestartsTheFramesAtTheNewPosition)
{
    const int rate = 48000;
    Pipeline pipeline(ToneSource(-1, 1000, "audio/x-raw,rate=48000") +
                      " ! video/x-raw,width=32,height=32 ! appsink name=out");
    gst_element_set_state(pipeline.Element(), GST_STATE_PAUSED);
    ASSERT_EQ(gst_element_get_state(pipeline.Element(), nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
    const gint64 at = GST_SECOND + GST_SECOND / 7;
    ASSERT_TRUE(gst_element_seek(pipeline.Element(), 1.0, GST_FORMAT_TIME,
                                 static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                 GST_SEEK_TYPE_SET, at, GST_SEEK_TYPE_SET, 2 * GST_SECOND));
    const Played run = pipeline.Play();
    ASSERT_EQ(run.error, "");
    const int64_t atSample = at * rate / GST_SECOND;
    const int64_t first = FrameCountFor(atSample, rate, {60, 1});
    ASSERT_EQ(static_cast<int64_t>(run.frames.size()), FrameCountFor(96000, rate, {60, 1}) - first);
    EXPECT_EQ(run.frames[0].pts, static_cast<GstClockTime>(FrameStartSample(first, rate, {60, 1}) * GST_SECOND / rate));
}

TEST(NimbrelleVis, ResizingMidStreamKeepsTheFramesInStep)
{
    Pipeline pipeline(ToneSource(40, 1200, "audio/x-raw,rate=48000") +
                      " ! capsfilter name=size caps=video/x-raw,width=64,height=48 ! appsink name=out");
    GstElement* size = pipeline.Get("size");
    // After 20 frames at 60 fps: another size and 30 fps from frame 20 (sample 16000) on.
    pipeline.onFrame = [size](std::size_t count) {
        if (count != 20) return;
        GstCaps* caps = gst_caps_from_string("video/x-raw,width=100,height=30,framerate=30/1");
        g_object_set(size, "caps", caps, nullptr);
        gst_caps_unref(caps);
    };
    const Played run = pipeline.Play();
    gst_object_unref(size);
    ASSERT_EQ(run.error, "");
    ASSERT_EQ(static_cast<int64_t>(run.frames.size()), 20 + FrameCountFor(48000 - 16000, 48000, {30, 1}));
    EXPECT_EQ(run.frames[19].width, 64);
    EXPECT_EQ(run.frames[20].width, 100);
    EXPECT_EQ(run.frames.back().bytes.size(), 100u * 30u * 4u);
    for (std::size_t n = 20; n < run.frames.size(); ++n) {
        ASSERT_EQ(run.frames[n].pts, (16000 + (n - 20) * 1600) * GST_SECOND / 48000) << n;
    }
}

// F32 audio at `rate` pushed through the appsrc "src" of a pipeline, buffer by buffer,
// each stamped with its first sample's time and none marked DISCONT (appsrc marks only the
// first), with GAP events between them where the test says.
class Feed {
public:
    Feed(Pipeline& pipeline, int rate, int channels = 1)
        : pipeline_(pipeline), src_(pipeline.Get("src")), rate_(rate), channels_(channels)
    {
        gst_element_set_state(pipeline.Element(), GST_STATE_PAUSED);
    }
    ~Feed() { gst_object_unref(src_); }
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    // Samples [first, end) of a 440 Hz tone, or silence, in buffers of `block` samples.
    Feed& Audio(int64_t first, int64_t end, bool silent = false, int64_t block = 800)
    {
        for (int64_t at = first; at < end; at += block) {
            const int64_t count = std::min(block, end - at);
            const auto values = static_cast<std::size_t>(count * channels_);
            GstBuffer* buffer = gst_buffer_new_allocate(nullptr, values * sizeof(float), nullptr);
            GstMapInfo map;
            gst_buffer_map(buffer, &map, GST_MAP_WRITE);
            auto* samples = reinterpret_cast<float*>(map.data);
            for (std::size_t i = 0; i < values; ++i) {
                const double t = static_cast<double>(at + static_cast<int64_t>(i) / channels_) / rate_;
                samples[i] = silent ? 0.0f : 0.5f * static_cast<float>(std::sin(6.2831853 * 440.0 * t));
            }
            gst_buffer_unmap(buffer, &map);
            GST_BUFFER_PTS(buffer) = Time(at);
            GST_BUFFER_DURATION(buffer) = Time(at + count) - Time(at);
            EXPECT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src_), buffer), GST_FLOW_OK);
        }
        return *this;
    }
    // A GAP event from sample `first` on, lasting until sample `end` (none: no duration).
    Feed& Gap(int64_t first, std::optional<int64_t> end)
    {
        const GstClockTime duration = end ? Time(*end) - Time(first) : GST_CLOCK_TIME_NONE;
        EXPECT_TRUE(gst_element_send_event(src_, gst_event_new_gap(Time(first), duration)));
        return *this;
    }
    Played Play()
    {
        gst_app_src_end_of_stream(GST_APP_SRC(src_));
        return pipeline_.Play();
    }
    GstClockTime Time(int64_t sample) const
    {
        return gst_util_uint64_scale(static_cast<guint64>(sample), GST_SECOND, static_cast<guint64>(rate_));
    }

private:
    Pipeline& pipeline_;
    GstElement* src_;
    int rate_;
    int channels_;
};

std::string AppSource(int rate, int channels = 1)
{
    return "appsrc name=src format=time caps=audio/x-raw,format=F32LE,layout=interleaved,rate=" +
           std::to_string(rate) + ",channels=" + std::to_string(channels) + " ! nimbrellevis";
}

// The timestamps of the frames that start in each stretch of samples [first, end), in turn.
std::vector<GstClockTime> FrameTimes(std::initializer_list<std::pair<int64_t, int64_t>> stretches, int rate,
                                     FrameRate fps)
{
    std::vector<GstClockTime> times;
    for (const auto& [first, end] : stretches) {
        for (int64_t n = FrameCountFor(first, rate, fps); FrameStartSample(n, rate, fps) < end; ++n) {
            times.push_back(gst_util_uint64_scale(static_cast<guint64>(FrameStartSample(n, rate, fps)), GST_SECOND,
                                                  static_cast<guint64>(rate)));
        }
    }
    return times;
}

std::vector<GstClockTime> TimesOf(const std::vector<Frame>& frames)
{
    std::vector<GstClockTime> times;
    for (const Frame& frame : frames) times.push_back(frame.pts);
    return times;
}

constexpr char SmallVideo[] = " ! video/x-raw,width=16,height=16,framerate=25/1 ! appsink name=out";

TEST(NimbrelleVis, TimestampJumpsWithoutDiscontRestartTheFrames)
{
    // Half a second from 0 s, then from 10 s, then back at 2 s: the buffers' timestamps alone
    // say where the audio jumps.
    const int rate = 8000;
    const FrameRate fps{25, 1};
    Pipeline pipeline(AppSource(rate) + SmallVideo);
    const Played run = Feed(pipeline, rate).Audio(0, 4000).Audio(80000, 84000).Audio(16000, 20000).Play();
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(TimesOf(run.frames), FrameTimes({{0, 4000}, {80000, 84000}, {16000, 20000}}, rate, fps));
}

TEST(NimbrelleVis, AGapIsDrawnAsTheSilenceItStandsFor)
{
    // Half a second of tone, 9.5 s of nothing, half a second of tone: the frames go on through
    // the gap as they do through silent buffers, in step with the frames after it.
    const int rate = 8000;
    const FrameRate fps{25, 1};
    Pipeline silent(AppSource(rate) + SmallVideo);
    const Played reference = Feed(silent, rate).Audio(0, 4000).Audio(4000, 80000, true).Audio(80000, 84000).Play();
    ASSERT_EQ(reference.error, "");
    ASSERT_EQ(TimesOf(reference.frames), FrameTimes({{0, 84000}}, rate, fps));

    Pipeline gap(AppSource(rate) + SmallVideo);
    const Played run = Feed(gap, rate).Audio(0, 4000).Gap(4000, 80000).Audio(80000, 84000).Play();
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(TimesOf(run.frames), TimesOf(reference.frames));
    ExpectSameFrames(run.frames, reference.frames, "gap");

    // A stream that starts with a gap: the frames start with it.
    Pipeline leading(AppSource(rate) + SmallVideo);
    const Played lead = Feed(leading, rate).Gap(0, 4000).Audio(4000, 8000).Play();
    ASSERT_EQ(lead.error, "");
    EXPECT_EQ(TimesOf(lead.frames), FrameTimes({{0, 8000}}, rate, fps));

    // A gap of unknown length: the frames start again at the next buffer.
    Pipeline open(AppSource(rate) + SmallVideo);
    const Played restarted = Feed(open, rate).Audio(0, 4000).Gap(4000, std::nullopt).Audio(80000, 84000).Play();
    ASSERT_EQ(restarted.error, "");
    EXPECT_EQ(TimesOf(restarted.frames), FrameTimes({{0, 4000}, {80000, 84000}}, rate, fps));
}

TEST(NimbrelleVis, SampleRatesOutsideTheAnalysisRangeFailNegotiation)
{
    // A CRITICAL (GStreamer's checks of its arguments) ends the test.
    const GLogLevelFlags fatal =
        g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    // Outside the range: a negotiation error before any frame.
    for (const int rate : {1, analysis::MinSampleRate - 1, analysis::MaxSampleRate + 1, INT32_MAX}) {
        Pipeline pipeline(AppSource(rate) + SmallVideo);
        const Played run = Feed(pipeline, rate).Audio(0, 100).Play();
        EXPECT_NE(run.debug.find("not-negotiated"), std::string::npos) << rate << " Hz: " << run.error;
        EXPECT_TRUE(run.frames.empty()) << rate << " Hz";
    }
    // Its ends, at the highest frame rate and stereo (the most bytes a sample frame has): a
    // frame every 1/1000 s, each stamped later than the one before.
    const FrameRate fps{1000, 1};
    for (const int rate : {analysis::MinSampleRate, analysis::MaxSampleRate}) {
        Pipeline pipeline(AppSource(rate, 2) + " ! video/x-raw,width=16,height=16,framerate=1000/1 ! appsink name=out");
        const Played run = Feed(pipeline, rate, 2).Audio(0, rate / 10, false, rate / 50).Play();
        EXPECT_EQ(run.error, "") << rate << " Hz";
        const std::vector<GstClockTime> times = TimesOf(run.frames);
        EXPECT_EQ(times, FrameTimes({{0, rate / 10}}, rate, fps)) << rate << " Hz";
        EXPECT_EQ(times.size(), 100u) << rate << " Hz";
        EXPECT_EQ(std::adjacent_find(times.begin(), times.end(), std::greater_equal<>()), times.end()) << rate;
    }
    g_log_set_always_fatal(fatal);
}

TEST(NimbrelleVis, ABadModuleIsAClearErrorOnTheBus)
{
    ScratchDir dir;
    const fs::path text = dir / "notes.txt";
    std::ofstream(text) << "not a module\n";
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {text, "cannot load module '" + text.string() + "': not a loadable shared library"},
        {dir / "missing.so", "module '" + (dir / "missing.so").string() + "' does not exist"},
        {FakeModule("no_query"), "does not export QueryModule"},
        {FakeModule("init_refuses"), "could not build its scene"},
        {FakeModule("render_refuses"), "refused frame"},
    };
    for (const auto& [path, message] : cases) {
        Pipeline pipeline(ToneSource(5, 1000, "audio/x-raw") + " module=" + path.string() + " ! appsink name=out");
        const Played run = pipeline.Play();
        EXPECT_NE(run.error.find(message), std::string::npos) << run.error;
        EXPECT_LE(run.frames.size(), 1u) << "a refused frame at most, left black";
    }
}

TEST(NimbrelleVis, AModuleThatCrashesStopsItsPipelineWithAnError)
{
    const fs::path crashes = FakeModule("render_crashes");
    // gst-launch installs its own fault handler, which spins on a fault it sees: the element
    // must end the run itself. The timeout only turns such a hang into a failure.
    const RunResult launch = RunShell("timeout -s KILL 30 gst-launch-1.0 audiotestsrc num-buffers=20 ! nimbrellevis "
                                      "module=" + crashes.string() + " ! fakesink 2>&1");
    EXPECT_NE(launch.exitCode, 0);
    EXPECT_NE(launch.exitCode, 128 + SIGKILL) << "killed by the timeout: " << launch.out;
    EXPECT_TRUE(Contains(launch.out, "module '" + crashes.string() + "' crashed in its render entry (SIGSEGV)"))
        << launch.out;

    // In this process: the error is on the bus, each start loads a fresh copy that crashes
    // again, and other elements go on drawing.
    for (int run = 0; run < 2; ++run) {
        Pipeline pipeline(AppSource(8000) + " module=" + crashes.string() + SmallVideo);
        const Played crashed = Feed(pipeline, 8000).Audio(0, 4000).Play();
        EXPECT_TRUE(Contains(crashed.error, "crashed in its render entry (SIGSEGV)")) << crashed.error;
        EXPECT_LE(crashed.frames.size(), 1u) << "the frame it crashed in at most, left black";
    }
    Pipeline pipeline(AppSource(8000) + SmallVideo);
    const Played drawn = Feed(pipeline, 8000).Audio(0, 4000).Play();
    EXPECT_EQ(drawn.error, "");
    EXPECT_EQ(TimesOf(drawn.frames), FrameTimes({{0, 4000}}, 8000, {25, 1}));

    // A fault outside the module still reaches the handler that was there before the
    // element's (here the default action).
    EXPECT_EXIT(raise(SIGSEGV), testing::KilledBySignal(SIGSEGV), "");
}

TEST(NimbrelleVis, PlaybinDrawsTheSceneAsItsVisualisation)
{
    ScratchDir dir;
    const fs::path wav = MusicWav(dir, 44100, 2);
    Pipeline pipeline("playbin uri=file://" + wav.string() +
                      " vis-plugin=nimbrellevis flags=audio+video+vis audio-sink=fakesink "
                      "video-sink=\"appsink name=out caps=video/x-raw,format=BGRx,width=64,height=48\"");
    GstElement* out = nullptr;
    g_object_get(pipeline.Element(), "video-sink", &out, nullptr);
    ASSERT_NE(out, nullptr);
    pipeline.Attach(out);
    gst_object_unref(out);
    const Played run = pipeline.Play();
    ASSERT_EQ(run.error, "");
    ASSERT_GE(run.frames.size(), 50u);
    EXPECT_EQ(run.frames[0].width, 64);
}

TEST(NimbrelleVis, CommandLineToolsFindTheElement)
{
    const RunResult inspect = RunShell("gst-inspect-1.0 nimbrellevis");
    ASSERT_EQ(inspect.exitCode, 0) << inspect.err;
    for (const char* expected : {"Visualization", "SINK template", "SRC template", "BGRx", "S16LE", "F32LE",
                                 "module", "gain", "1280", "Nimbrelle"}) {
        EXPECT_NE(inspect.out.find(expected), std::string::npos) << expected;
    }
    ScratchDir dir;
    const fs::path wav = MusicWav(dir, 22050, 2);
    const RunResult launch = RunShell("gst-launch-1.0 -q filesrc location=" + wav.string() +
                                      " ! decodebin ! audioconvert ! nimbrellevis ! video/x-raw,width=48,height=32,"
                                      "framerate=24/1 ! multifilesink location=" + (dir / "f%04d.raw").string());
    ASSERT_EQ(launch.exitCode, 0) << launch.err;
    EXPECT_EQ(static_cast<int64_t>(dir.List().size()) - 1, FrameCountFor(22050, 22050, {24, 1}));
}

}  // namespace
}  // namespace nimbrelle::host::test

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    gst_init(&argc, &argv);
    return RUN_ALL_TESTS();
}

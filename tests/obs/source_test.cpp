// The visualiser source in a real, headless OBS.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <optional>

#include <util/bmem.h>

#include "nimbrelle/picture.h"
#include "obs_harness.h"
#include "support/host_support.h"

namespace nimbrelle::obs::test {
namespace {

class ObsSession : public ::testing::Environment {
public:
    void TearDown() override
    {
        // Under LeakSanitizer, the check is made here, with every source gone and OBS still
        // running: what OBS's own shutdown leaves (its X11 key names, Mesa's and LLVM's state,
        // from libraries unloaded by then, so their frames have no names to suppress by) is
        // not this code's, and the check at exit is off for these tests (tests/obs/CMakeLists.txt).
        EXPECT_EQ(CheckLeaksNow(), 0) << "LeakSanitizer found leaks (above)";
        const long held = StopObs();
        EXPECT_EQ(held, 0) << "OBS still holds " << held << " allocations at shutdown";
    }
};

class VisualiserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(StartObs(VideoSize{3 * 192, 108}, &error)) << error;
        static bool loaded = LoadPlugin(NIMBRELLE_OBS_PLUGIN, NIMBRELLE_OBS_DATA);
        ASSERT_TRUE(loaded);
        // obs_source_create with an unknown id makes a placeholder, so the id must be listed.
        ASSERT_TRUE(InputTypeListed("nimbrelle_visualiser"));
        ClearLog();
    }
};

// 480 Hz at 48 kHz: a period of 100 samples, so a packet of 800 (and every frame at 60 fps)
// starts at the same phase, and the tone's records do not depend on where the visualiser
// started listening.
float Tone(int64_t sample, int)
{
    return static_cast<float>(0.5 * std::sin(2.0 * M_PI * static_cast<double>(sample % 100) / 100.0));
}

float Quiet(int64_t, int)
{
    return 0.0f;
}

constexpr uint32_t W = 192;
constexpr uint32_t H = 108;

// The RGB bytes of the `index`-th W x H picture of a caught BGRA frame `width` wide.
std::string Region(const std::vector<uint8_t>& bgra, uint32_t width, int index)
{
    std::string rgb;
    rgb.reserve(W * H * 3);
    for (uint32_t y = 0; y < H; ++y) {
        for (uint32_t x = 0; x < W; ++x) {
            const uint8_t* p = bgra.data() + (static_cast<std::size_t>(y) * width + index * W + x) * 4;
            rgb += static_cast<char>(p[2]);
            rgb += static_cast<char>(p[1]);
            rgb += static_cast<char>(p[0]);
        }
    }
    return rgb;
}

double Mean(const std::string& rgb)
{
    double sum = 0;
    for (const char c : rgb) sum += static_cast<uint8_t>(c);
    return sum / static_cast<double>(rgb.size());
}

// `render`'s frames of `seconds` of the tone, as RGB bytes.
std::vector<std::string> RenderedTone(double seconds)
{
    host::test::ScratchDir dir, pngs;
    const auto frames = static_cast<int64_t>(seconds * Rate);
    std::vector<float> samples(static_cast<std::size_t>(2 * frames));
    for (int64_t i = 0; i < frames; ++i) {
        samples[static_cast<std::size_t>(2 * i)] = Tone(i, 0);
        samples[static_cast<std::size_t>(2 * i + 1)] = Tone(i, 1);
    }
    host::test::WriteAudio(dir / "tone.wav", samples, Rate, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const host::test::RunResult rendered =
        host::test::RunHost({"render", (dir / "tone.wav").string(), "-q", "--size", "192x108", "--fps", "60", "-o",
                             pngs.Path().string() + "/"});
    EXPECT_EQ(rendered.exitCode, 0) << rendered.err;
    std::vector<std::string> result;
    for (const std::string& name : pngs.List()) {
        const std::optional<host::test::Image> image = host::test::ReadPng(pngs / name);
        if (image) result.emplace_back(image->rgb.begin(), image->rgb.end());
    }
    return result;
}

std::map<std::string, int> ByBytes(const std::vector<std::string>& frames)
{
    std::map<std::string, int> index;
    for (std::size_t n = 0; n < frames.size(); ++n) index.emplace(frames[n], static_cast<int>(n));
    return index;
}

// Two visualisers follow the tone and a third a silent source, side by side. Each tone
// visualiser's frames are `render`'s frames of the same tone, in order: the track starts at a
// packet of the tone, every frame starts 800 samples after the last, and a private module
// copy per source draws each frame once. (Sharing one scene, each would draw every other
// frame and match none.) OBS's output is caught only from when the scene is shown, and the
// first frame or two may come before the first upload, so a few frames may match nothing.
TEST_F(VisualiserTest, ToneFramesAreRendersFramesAndBrighterThanSilence)
{
    obs_source_t* tone = obs_source_create(ToneId, "tone", nullptr, nullptr);
    obs_source_t* quiet = obs_source_create(ToneId, "quiet", nullptr, nullptr);
    TonePusher tonePusher(tone, Tone);
    TonePusher quietPusher(quiet, Quiet);
    const std::string size = R"(, "width": 192, "height": 108})";
    obs_source_t* first = CreateVisualiser("first", R"({"audio_source": "tone")" + size);
    obs_source_t* second = CreateVisualiser("second", R"({"audio_source": "tone")" + size);
    obs_source_t* silent = CreateVisualiser("silent", R"({"audio_source": "quiet")" + size);
    obs_scene_t* scene = ShowScene("scene", {first, second, silent});
    FrameCatcher catcher;
    Wait(3.0);
    std::vector<std::vector<uint8_t>> frames = catcher.Take();
    HideScene(scene);
    tonePusher.Stop();
    quietPusher.Stop();
    for (obs_source_t* s : {first, second, silent, tone, quiet}) obs_source_release(s);
    ASSERT_GT(frames.size(), 60u);

    const std::map<std::string, int> rendered = ByBytes(RenderedTone(5.0));
    for (int index : {0, 1}) {
        SCOPED_TRACE(index);
        std::size_t matched = 0;
        int last = -1;
        for (const auto& frame : frames) {
            const auto it = rendered.find(Region(frame, 3 * W, index));
            if (it == rendered.end()) continue;
            ++matched;
            EXPECT_GE(it->second, last) << "render's frames shown out of order";
            last = it->second;
        }
        std::printf("visualiser %d: %zu of %zu frames OBS output are render's frames, the last frame %d\n", index,
                    matched, frames.size(), last);
        EXPECT_GE(matched + 3, frames.size());
    }
    // The second half, when the tone has long been on: brighter than silence.
    double toneMean = 0, silentMean = 0;
    for (std::size_t i = frames.size() / 2; i < frames.size(); ++i) {
        toneMean += Mean(Region(frames[i], 3 * W, 0));
        silentMean += Mean(Region(frames[i], 3 * W, 2));
    }
    EXPECT_GT(toneMean, 1.2 * silentMean);
    EXPECT_GT(silentMean, 0.0) << "silence draws the scene too";
}

// The followed source muted, heard again, then removed mid-run: one log line each, silence
// drawn on at the video rate, no crash.
TEST_F(VisualiserTest, MutedAndRemovedSourcesGiveSilence)
{
    obs_source_t* tone = obs_source_create(ToneId, "tone", nullptr, nullptr);
    auto pusher = std::make_unique<TonePusher>(tone, Tone);
    obs_source_t* vis = CreateVisualiser("vis", R"({"audio_source": "tone", "width": 192, "height": 108})");
    obs_scene_t* scene = ShowScene("scene", {vis});
    Wait(1.0);
    obs_source_set_muted(tone, true);
    Wait(0.5);
    obs_source_set_muted(tone, false);
    Wait(0.5);
    FrameCatcher catcher;
    Wait(0.5);
    const std::vector<std::vector<uint8_t>> loud = catcher.Take();
    obs_source_remove(tone);
    pusher.reset();
    obs_source_release(tone);
    Wait(1.5);
    const std::vector<std::vector<uint8_t>> after = catcher.Take();
    HideScene(scene);
    obs_source_release(vis);

    EXPECT_EQ(CountLog("'vis': audio source 'tone' is muted: drawing silence"), 1);
    EXPECT_EQ(CountLog("'vis': audio source 'tone' is heard again"), 1);
    EXPECT_EQ(CountLog("'vis': audio source 'tone' was removed: drawing silence"), 1);
    EXPECT_EQ(CountLog("not found"), 0) << "the removal is said once";
    ASSERT_GT(loud.size(), 10u);
    ASSERT_GT(after.size(), 60u);
    // Frames go on changing after the removal (the scene draws silence), and the last of them
    // are darker than the tone's.
    std::set<std::string> distinct;
    for (std::size_t i = after.size() / 2; i < after.size(); ++i) distinct.insert(Region(after[i], 3 * W, 0));
    EXPECT_GT(distinct.size(), 10u);
    double loudMean = 0, quietMean = 0;
    for (std::size_t i = 0; i < 10; ++i) {
        loudMean += Mean(Region(loud[loud.size() - 1 - i], 3 * W, 0));
        quietMean += Mean(Region(after[after.size() - 1 - i], 3 * W, 0));
    }
    EXPECT_LT(quietMean, loudMean);
}

// The properties list OBS's audio sources (the desktop audio first), keep a chosen source that
// is missing, marked; renaming the followed source moves the setting with it.
TEST_F(VisualiserTest, PropertiesListTheAudioSourcesAndFollowRenames)
{
    obs_source_t* tone = obs_source_create(ToneId, "tone", nullptr, nullptr);
    obs_source_t* follows = CreateVisualiser("follows", R"({"audio_source": "tone"})");
    obs_source_t* misses = CreateVisualiser("misses", R"({"audio_source": "gone"})");
    auto listed = [](obs_source_t* source) {
        std::map<std::string, std::string> items;  // value -> label
        obs_properties_t* properties = obs_source_properties(source);
        obs_property_t* list = obs_properties_get(properties, "audio_source");
        for (size_t i = 0; i < obs_property_list_item_count(list); ++i) {
            items[obs_property_list_item_string(list, i)] = obs_property_list_item_name(list, i);
        }
        obs_properties_destroy(properties);
        return items;
    };
    const std::map<std::string, std::string> items = listed(misses);
    EXPECT_EQ(items.at(""), "Desktop audio");
    EXPECT_EQ(items.at("tone"), "tone");
    EXPECT_EQ(items.at("gone"), "gone (not found)");
    EXPECT_EQ(items.count("follows"), 0u) << "a visualiser has no sound to follow";
    // Without a source (OBS asking for the type's properties) the list still builds.
    obs_properties_t* typeProperties = obs_get_source_properties("nimbrelle_visualiser");
    ASSERT_NE(typeProperties, nullptr);
    obs_properties_destroy(typeProperties);

    obs_source_set_name(tone, "renamed");
    obs_data_t* settings = obs_source_get_settings(follows);
    EXPECT_STREQ(obs_data_get_string(settings, "audio_source"), "renamed");
    obs_data_release(settings);
    EXPECT_EQ(listed(follows).count("renamed"), 1u);
    for (obs_source_t* s : {follows, misses, tone}) obs_source_release(s);
}

// Made, shown and dropped fifty times: OBS's own allocation count comes back to where it was
// (and to zero at shutdown, checked for every test).
TEST_F(VisualiserTest, FiftySourcesMadeAndDestroyedLeakNothing)
{
    obs_source_t* tone = obs_source_create(ToneId, "tone", nullptr, nullptr);
    TonePusher pusher(tone, Tone);
    obs_scene_t* scene = ShowScene("scene", {});
    auto cycle = [scene] {
        obs_source_t* vis = CreateVisualiser("vis", R"({"audio_source": "tone", "width": 192, "height": 108})");
        obs_sceneitem_t* item = obs_scene_add(scene, vis);
        Wait(0.05);
        obs_sceneitem_remove(item);
        obs_source_release(vis);
    };
    cycle();
    obs_wait_for_destroy_queue();
    const long before = bnum_allocs();
    for (int i = 0; i < 50; ++i) cycle();
    obs_wait_for_destroy_queue();
    Wait(0.1);
    obs_wait_for_destroy_queue();
    EXPECT_EQ(bnum_allocs(), before);
    EXPECT_EQ(CountLog("drawing with module"), 51);
    HideScene(scene);
    pusher.Stop();
    obs_source_release(tone);
}

// Black with the Additive blend mode and the "SRGB Off" blending method over a colour: every
// pixel is the byte sum, min(255, colour + light), the scene's own saturating addition; with
// the default method OBS adds in linear light instead, which gives other bytes.
TEST_F(VisualiserTest, BlackAddedWithSrgbOffIsTheByteSum)
{
    constexpr uint32_t Colour = 0xFF204060u;
    obs_source_t* tone = obs_source_create(ToneId, "tone", nullptr, nullptr);
    TonePusher pusher(tone, Tone);
    obs_source_t* colour = CreateColour("colour", Colour, 3 * W, H);
    const std::string settings = R"({"audio_source": "tone", "width": 192, "height": 108, "background": "black"})";
    obs_source_t* exact = CreateVisualiser("exact", settings);
    obs_source_t* linear = CreateVisualiser("linear", settings);
    obs_scene_t* scene = ShowScene("scene", {colour, exact, linear});
    obs_sceneitem_t* exactItem = obs_scene_find_source(scene, "exact");
    obs_sceneitem_t* linearItem = obs_scene_find_source(scene, "linear");
    vec2 position;
    vec2_set(&position, 0.0f, 0.0f);
    obs_sceneitem_set_pos(exactItem, &position);
    vec2_set(&position, static_cast<float>(W), 0.0f);
    obs_sceneitem_set_pos(linearItem, &position);
    for (obs_sceneitem_t* item : {exactItem, linearItem}) obs_sceneitem_set_blending_mode(item, OBS_BLEND_ADDITIVE);
    obs_sceneitem_set_blending_method(exactItem, OBS_BLEND_METHOD_SRGB_OFF);
    FrameCatcher catcher;
    Wait(2.0);
    const std::vector<std::vector<uint8_t>> frames = catcher.Take();
    HideScene(scene);
    pusher.Stop();
    for (obs_source_t* s : {exact, linear, colour, tone}) obs_source_release(s);
    ASSERT_GT(frames.size(), 30u);

    // The sums each of render's frames gives over the colour.
    std::map<std::string, int> sums;
    const std::vector<std::string> rendered = RenderedTone(4.0);
    for (std::size_t n = 0; n < rendered.size(); ++n) {
        std::string sum = rendered[n];
        for (std::size_t i = 0; i < sum.size(); ++i) {
            const unsigned below = (Colour >> (16 - 8 * (i % 3))) & 0xFF;
            const unsigned light = picture::LightOf(static_cast<uint8_t>(sum[i]) << (16 - 8 * (i % 3))) >> (16 - 8 * (i % 3));
            sum[i] = static_cast<char>(std::min(255u, below + light));
        }
        sums.emplace(std::move(sum), static_cast<int>(n));
    }
    std::size_t exactSums = 0, linearSums = 0;
    for (const auto& frame : frames) {
        exactSums += sums.count(Region(frame, 3 * W, 0));
        linearSums += sums.count(Region(frame, 3 * W, 1));
    }
    EXPECT_GE(exactSums + 3, frames.size());
    EXPECT_EQ(linearSums, 0u);
}

// Transparent composited by OBS over a coloured source: where the scene is dark the colour
// shows through unchanged; where it has light, the light is laid over it (straight alpha,
// Normal blending: a light's own colour covers part of what is below).
TEST_F(VisualiserTest, TransparentShowsWhatIsBelowWhereTheSceneIsDark)
{
    constexpr uint32_t Colour = 0xFF3A7D5Cu;
    obs_source_t* colour = CreateColour("colour", Colour, 3 * W, H);
    obs_source_t* vis = CreateVisualiser(
        "vis", R"({"audio_source": "nothing", "width": 192, "height": 108, "background": "transparent"})");
    obs_scene_t* scene = ShowScene("scene", {colour, vis}, Layout::Stacked);
    FrameCatcher catcher;
    Wait(1.5);
    const std::vector<std::vector<uint8_t>> frames = catcher.Take();
    HideScene(scene);
    obs_source_release(vis);
    obs_source_release(colour);
    ASSERT_GT(frames.size(), 30u);

    const std::vector<uint8_t>& last = frames.back();
    std::size_t colourPixels = 0, lit = 0;
    for (uint32_t y = 0; y < H; ++y) {
        for (uint32_t x = 0; x < W; ++x) {
            const uint8_t* p = last.data() + (static_cast<std::size_t>(y) * 3 * W + x) * 4;
            const uint32_t rgb = static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
            if (rgb == (Colour & 0xFFFFFFu)) {
                ++colourPixels;
            } else {
                ++lit;
            }
        }
    }
    EXPECT_GT(colourPixels, W * H / 2) << "the dark scene lets the colour through";
    EXPECT_GT(lit, 0u) << "the scene's light is laid over it";
    // Beside the visualiser, the colour alone.
    const uint8_t* beside = last.data() + (static_cast<std::size_t>(H / 2) * 3 * W + 2 * W) * 4;
    EXPECT_EQ(beside[2], (Colour >> 16) & 0xFF);
}

// A module that is missing, not a library, or refuses to start or to draw: one line naming
// the file, and the source draws nothing.
TEST_F(VisualiserTest, BadModulesDrawNothingAndSaySoOnce)
{
    host::test::ScratchDir dir;
    {
        std::FILE* text = std::fopen((dir / "not-a-module.so").c_str(), "w");
        ASSERT_NE(text, nullptr);
        std::fputs("not a library\n", text);
        std::fclose(text);
    }
    const std::vector<std::string> modules = {(dir / "missing.so").string(), (dir / "not-a-module.so").string(),
                                              host::test::FakeModule("init_refuses").string(),
                                              host::test::FakeModule("render_refuses").string()};
    std::vector<obs_source_t*> sources;
    for (const std::string& module : modules) {
        obs_data_t* settings = obs_data_create();
        obs_data_set_string(settings, "module", module.c_str());
        obs_data_set_int(settings, "width", W);
        obs_data_set_int(settings, "height", H);
        obs_data_set_string(settings, "audio_source", "nothing");
        sources.push_back(obs_source_create("nimbrelle_visualiser", ("bad" + std::to_string(sources.size())).c_str(),
                                            settings, nullptr));
        obs_data_release(settings);
    }
    obs_scene_t* scene = ShowScene("scene", {sources[0], sources[1], sources[2]});
    obs_scene_add(scene, sources[3]);  // over the first
    FrameCatcher catcher;
    Wait(1.0);
    const std::vector<std::vector<uint8_t>> frames = catcher.Take();
    HideScene(scene);
    for (obs_source_t* s : sources) obs_source_release(s);

    for (const std::string& module : modules) {
        SCOPED_TRACE(module);
        EXPECT_EQ(CountLog(module) - CountLog("drawing with module '" + module), 1);
    }
    ASSERT_FALSE(frames.empty());
    for (const auto& frame : frames) {
        for (std::size_t i = 0; i < frame.size(); i += 4) {
            ASSERT_EQ(frame[i] | frame[i + 1] | frame[i + 2], 0) << "pixel " << i / 4 << " is not black";
        }
    }
}

}  // namespace
}  // namespace nimbrelle::obs::test

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new nimbrelle::obs::test::ObsSession);
    return RUN_ALL_TESTS();
}

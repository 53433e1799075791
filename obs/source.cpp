// The OBS side of the visualiser: settings and properties, following an audio source, the
// video clock, and the texture the finished frames are uploaded into.
#include "source.h"

#include <obs-module.h>
#include <util/platform.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/analysis/samples.h"
#include "nimbrelle/loader.h"
#include "nimbrelle/picture.h"
#include "visualiser.h"

namespace nimbrelle::obs {

namespace {

namespace analysis = nimbrelle::analysis;
using picture::Background;

// OBS's output channel of the (first) desktop audio source.
constexpr uint32_t DesktopAudioChannel = 1;
// How often a missing audio source is looked for again.
constexpr uint64_t RetryNs = 1'000'000'000;
// Samples mixed to stereo at a time in the audio callback.
constexpr std::size_t MixFrames = 256;

constexpr const char* KeyAudioSource = "audio_source";
constexpr const char* KeyWidth = "width";
constexpr const char* KeyHeight = "height";
constexpr const char* KeyGain = "gain";
constexpr const char* KeyBackground = "background";
constexpr const char* KeyModule = "module";

void Log(int level, const std::string& line)
{
    blog(level, "[nimbrelle-obs] %s", line.c_str());
}

std::string Quoted(const std::string& name)
{
    return "'" + name + "'";
}

// The module the plug-in uses when the module setting is empty: the one installed with it,
// found relative to the plug-in's own file.
std::filesystem::path DefaultModule(std::string* error)
{
    static const int anchor = 0;
    std::string tried;
    const std::filesystem::path folder = loader::FolderOf(&anchor);
    std::filesystem::path found;
    if (!folder.empty()) found = loader::FindModule(folder, {NIMBRELLE_MODULE_CANDIDATES}, &tried);
    if (found.empty()) *error = "no module found beside the plug-in (looked for " + tried + "): set the module file";
    return found;
}

struct Source {
    obs_source_t* self = nullptr;
    int channels = 2;
    bool audioUsable = true;  // OBS's mixing rate is one the analysis accepts
    std::unique_ptr<Visualiser> visualiser;
    std::atomic<int> width{DefaultWidth};
    std::atomic<int> height{DefaultHeight};

    // The source's name for log lines, kept up to date by its rename signal.
    std::mutex nameMutex;
    std::string name;

    // The audio source asked for: a name, or empty for the desktop audio.
    std::mutex wantMutex;
    std::string wanted;
    bool wantChanged = true;

    // The worker's: the name it follows, the source followed and what was said about it.
    std::string following;
    obs_source_t* followed = nullptr;
    std::string followedName;
    std::string reported;  // the missing or removed source last reported, so it is said once
    uint64_t lastLook = 0;
    std::atomic<bool> muted{false};
    bool mutedReported = false;

    // The graphics thread's.
    gs_texture_t* texture = nullptr;
    int textureWidth = 0;
    int textureHeight = 0;
    gs_color_format textureFormat = GS_BGRX;
    bool picture = false;  // the texture holds a frame to draw
    std::atomic<int64_t> uploads{0};
};

void Say(Source& s, int level, const std::string& line)
{
    std::string name;
    {
        std::lock_guard lock(s.nameMutex);
        name = s.name;
    }
    Log(level, Quoted(name) + ": " + line);
}

std::string Describe(const std::string& wanted)
{
    return wanted.empty() ? std::string("the desktop audio") : "audio source " + Quoted(wanted);
}

// ------------------------------------------------------------------ audio

// OBS's audio: planar floats at the mixing rate, `channels` planes. Cleaned and mixed to
// stereo as a decoded file is, into the ring.
void CaptureAudio(void* param, obs_source_t*, const struct audio_data* audio, bool muted)
{
    Source& s = *static_cast<Source*>(param);
    s.muted.store(muted, std::memory_order_relaxed);
    SampleRing& ring = s.visualiser->Ring();
    if (muted) {
        ring.WriteSilence(audio->frames);
        return;
    }
    const int channels = std::min(s.channels, MAX_AV_PLANES);
    std::array<float, 2 * MixFrames> stereo;
    std::array<float, MAX_AV_PLANES> frame;
    for (std::size_t done = 0; done < audio->frames;) {
        const std::size_t count = std::min<std::size_t>(MixFrames, audio->frames - done);
        for (std::size_t i = 0; i < count; ++i) {
            for (int c = 0; c < channels; ++c) {
                const auto* plane = reinterpret_cast<const float*>(audio->data[c]);
                frame[static_cast<std::size_t>(c)] = plane != nullptr ? plane[done + i] : 0.0f;
            }
            analysis::CleanSamples(frame.data(), static_cast<std::size_t>(channels));
            const analysis::StereoSample mixed = analysis::MixFrame(frame.data(), channels);
            stereo[2 * i] = mixed.left;
            stereo[2 * i + 1] = mixed.right;
        }
        ring.Write(stereo.data(), count);
        done += count;
    }
}

void Detach(Source& s)
{
    if (s.followed == nullptr) return;
    obs_source_remove_audio_capture_callback(s.followed, CaptureAudio, &s);
    obs_source_release(s.followed);
    s.followed = nullptr;
    s.muted.store(false, std::memory_order_relaxed);
    s.mutedReported = false;
}

// The worker's housekeeping before each pass: follows the audio source asked for, notices it
// going away or being muted, and looks again for one that is missing.
void Follow(Source& s)
{
    bool changed = false;
    {
        std::lock_guard lock(s.wantMutex);
        changed = s.wantChanged;
        if (changed) s.following = s.wanted;  // copied only when it changes: no allocation per frame
        s.wantChanged = false;
    }
    if (changed) {
        Detach(s);
        s.reported.clear();
        s.lastLook = 0;
    }
    const std::string& wanted = s.following;
    if (!s.audioUsable) return;
    if (s.followed != nullptr && obs_source_removed(s.followed)) {
        Say(s, LOG_INFO, "audio source " + Quoted(s.followedName) + " was removed: drawing silence");
        s.reported = Describe(wanted);
        Detach(s);
    }
    if (s.followed != nullptr) {
        const bool muted = s.muted.load(std::memory_order_relaxed);
        if (muted != s.mutedReported) {
            Say(s, LOG_INFO,
                "audio source " + Quoted(s.followedName) + (muted ? " is muted: drawing silence" : " is heard again"));
            s.mutedReported = muted;
        }
        return;
    }
    const uint64_t now = os_gettime_ns();
    if (s.lastLook != 0 && now - s.lastLook < RetryNs) return;
    s.lastLook = now;
    obs_source_t* found =
        wanted.empty() ? obs_get_output_source(DesktopAudioChannel) : obs_get_source_by_name(wanted.c_str());
    if (found != nullptr && (found == s.self || obs_source_removed(found) ||
                             (obs_source_get_output_flags(found) & OBS_SOURCE_AUDIO) == 0)) {
        obs_source_release(found);
        found = nullptr;
    }
    if (found == nullptr) {
        const std::string missing = Describe(wanted);
        if (s.reported != missing) {
            Say(s, LOG_INFO, missing + " not found: drawing silence until it appears");
            s.reported = missing;
        }
        return;
    }
    s.followed = found;
    s.followedName = obs_source_get_name(found);
    s.reported.clear();
    obs_source_add_audio_capture_callback(found, CaptureAudio, &s);
    Say(s, LOG_INFO, "following audio source " + Quoted(s.followedName));
}

// ------------------------------------------------------------------ settings

Settings ReadSettings(obs_data_t* data)
{
    Settings settings;
    settings.width = ClampSize(obs_data_get_int(data, KeyWidth));
    settings.height = ClampSize(obs_data_get_int(data, KeyHeight));
    settings.gain = ClampGain(obs_data_get_double(data, KeyGain));
    settings.background = picture::ParseBackground(obs_data_get_string(data, KeyBackground)).value_or(Background::Blue);
    const std::string module = obs_data_get_string(data, KeyModule);
    settings.module = module.empty() ? DefaultModule(&settings.moduleError) : std::filesystem::path(module);
    return settings;
}

void UpdateSettings(Source& s, obs_data_t* settings)
{
    const Settings read = ReadSettings(settings);
    s.width.store(read.width, std::memory_order_relaxed);
    s.height.store(read.height, std::memory_order_relaxed);
    s.visualiser->Configure(read);
    const std::string wanted = obs_data_get_string(settings, KeyAudioSource);
    std::lock_guard lock(s.wantMutex);
    if (wanted != s.wanted) {
        s.wanted = wanted;
        s.wantChanged = true;
    }
}

// OBS calls in from C: nothing may throw out of these.
void Update(void* data, obs_data_t* settings)
{
    Source& s = *static_cast<Source*>(data);
    try {
        UpdateSettings(s, settings);
    } catch (const std::exception& e) {
        Say(s, LOG_ERROR, std::string("cannot take the new settings: ") + e.what());
    }
}

void Defaults(obs_data_t* settings)
{
    obs_data_set_default_string(settings, KeyAudioSource, "");
    obs_data_set_default_int(settings, KeyWidth, DefaultWidth);
    obs_data_set_default_int(settings, KeyHeight, DefaultHeight);
    obs_data_set_default_double(settings, KeyGain, 1.0);
    obs_data_set_default_string(settings, KeyBackground, picture::BackgroundName(Background::Blue));
    obs_data_set_default_string(settings, KeyModule, "");
}

// The audio sources OBS has now, with the one chosen kept in the list when it is missing.
void FillAudioSources(obs_property_t* list, const std::string& chosen)
{
    obs_property_list_clear(list);
    obs_property_list_add_string(list, obs_module_text("AudioSource.Desktop"), "");
    struct Found {
        obs_property_t* list;
        const std::string* chosen;
        bool listed;
    } found{list, &chosen, chosen.empty()};
    obs_enum_sources(
        [](void* param, obs_source_t* source) {
            auto& f = *static_cast<Found*>(param);
            if ((obs_source_get_output_flags(source) & OBS_SOURCE_AUDIO) == 0) return true;
            const char* name = obs_source_get_name(source);
            if (name == nullptr || *name == '\0') return true;
            obs_property_list_add_string(f.list, name, name);
            if (*f.chosen == name) f.listed = true;
            return true;
        },
        &found);
    if (!found.listed) {
        const std::string label = chosen + " " + obs_module_text("AudioSource.Missing");
        obs_property_list_add_string(list, label.c_str(), chosen.c_str());
    }
}

bool RefreshClicked(obs_properties_t* properties, obs_property_t*, void* data)
{
    Source& s = *static_cast<Source*>(data);
    obs_data_t* settings = obs_source_get_settings(s.self);
    FillAudioSources(obs_properties_get(properties, KeyAudioSource), obs_data_get_string(settings, KeyAudioSource));
    obs_data_release(settings);
    return true;
}

// `data` is null when OBS asks for the type's properties without a source.
obs_properties_t* Properties(void* data)
{
    auto* s = static_cast<Source*>(data);
    obs_properties_t* properties = obs_properties_create();
    obs_property_t* sources = obs_properties_add_list(properties, KeyAudioSource, obs_module_text("AudioSource"),
                                                      OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
    std::string chosen;
    if (s != nullptr) {
        obs_data_t* settings = obs_source_get_settings(s->self);
        chosen = obs_data_get_string(settings, KeyAudioSource);
        obs_data_release(settings);
        obs_properties_add_button2(properties, "refresh", obs_module_text("Refresh"), RefreshClicked, s);
    }
    FillAudioSources(sources, chosen);
    obs_properties_add_int(properties, KeyWidth, obs_module_text("Width"), MinSize, MaxSize, 1);
    obs_properties_add_int(properties, KeyHeight, obs_module_text("Height"), MinSize, MaxSize, 1);
    obs_properties_add_float(properties, KeyGain, obs_module_text("Gain"), 0.0, MaxGain, 0.1);
    obs_property_t* background = obs_properties_add_list(properties, KeyBackground, obs_module_text("Background"),
                                                         OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
    obs_property_list_add_string(background, obs_module_text("Background.Blue"), "blue");
    obs_property_list_add_string(background, obs_module_text("Background.Black"), "black");
    obs_property_list_add_string(background, obs_module_text("Background.Transparent"), "transparent");
    obs_properties_add_path(properties, KeyModule, obs_module_text("Module"), OBS_PATH_FILE, "Modules (*.so)",
                            nullptr);
    return properties;
}

// ------------------------------------------------------------------ signals

// Sources coming, going or renamed: an open properties window rebuilds its list; a rename
// of the followed source moves the setting to the new name.
void SourcesChanged(void* data, calldata_t* call)
{
    Source& s = *static_cast<Source*>(data);
    obs_source_t* other = static_cast<obs_source_t*>(calldata_ptr(call, "source"));
    if (other == s.self) return;
    const char* previous = calldata_string(call, "prev_name");
    const char* renamed = calldata_string(call, "new_name");
    if (previous != nullptr && renamed != nullptr) {
        bool follows = false;
        {
            std::lock_guard lock(s.wantMutex);
            follows = !s.wanted.empty() && s.wanted == previous;
            if (follows) s.wanted = renamed;  // the source followed stays the same
        }
        if (follows) {
            obs_data_t* settings = obs_source_get_settings(s.self);
            obs_data_set_string(settings, KeyAudioSource, renamed);
            obs_data_release(settings);
        }
    }
    obs_source_update_properties(s.self);
}

void Renamed(void* data, calldata_t* call)
{
    Source& s = *static_cast<Source*>(data);
    const char* name = calldata_string(call, "new_name");
    std::lock_guard lock(s.nameMutex);
    s.name = name != nullptr ? name : "";
}

constexpr std::array<const char*, 3> GlobalSignals = {"source_create", "source_remove", "source_rename"};

// ------------------------------------------------------------------ life

void* CreateSource(obs_data_t* settings, obs_source_t* self)
{
    auto s = std::make_unique<Source>();
    s->self = self;
    s->name = obs_source_get_name(self);
    obs_audio_info audio{};
    obs_video_info video{};
    obs_get_audio_info(&audio);
    const bool haveVideo = obs_get_video_info(&video);
    s->channels = static_cast<int>(std::max<uint32_t>(1, get_audio_channels(audio.speakers)));
    const auto rate = static_cast<int>(audio.samples_per_sec);
    s->audioUsable = rate >= analysis::MinSampleRate && rate <= analysis::MaxSampleRate;
    if (!s->audioUsable) {
        Say(*s, LOG_WARNING,
            "OBS mixes audio at " + std::to_string(audio.samples_per_sec) + " Hz, outside the " +
                std::to_string(analysis::MinSampleRate) + " to " + std::to_string(analysis::MaxSampleRate) +
                " Hz the analysis takes: drawing silence");
    }
    analysis::FrameRate fps;
    if (haveVideo && video.fps_num > 0 && video.fps_den > 0) fps = {video.fps_num, video.fps_den};
    Source* raw = s.get();
    s->visualiser = std::make_unique<Visualiser>(
        s->audioUsable ? rate : analysis::MinSampleRate, fps, ReadSettings(settings),
        [raw](bool error, const std::string& line) { Say(*raw, error ? LOG_ERROR : LOG_INFO, line); },
        [raw] { Follow(*raw); });
    try {
        UpdateSettings(*raw, settings);
    } catch (...) {
        s->visualiser->Stop();
        Detach(*s);
        throw;
    }
    signal_handler_connect(obs_source_get_signal_handler(self), "rename", Renamed, raw);
    for (const char* signal : GlobalSignals) signal_handler_connect(obs_get_signal_handler(), signal, SourcesChanged, raw);
    return s.release();
}

// A source that cannot be made (no memory) is one OBS shows as failed, not a crash.
void* Create(obs_data_t* settings, obs_source_t* self)
{
    try {
        return CreateSource(settings, self);
    } catch (const std::exception& e) {
        Log(LOG_ERROR, std::string("cannot create the source: ") + e.what());
        return nullptr;
    }
}

void Destroy(void* data)
{
    std::unique_ptr<Source> s(static_cast<Source*>(data));
    for (const char* signal : GlobalSignals) {
        signal_handler_disconnect(obs_get_signal_handler(), signal, SourcesChanged, s.get());
    }
    signal_handler_disconnect(obs_source_get_signal_handler(s->self), "rename", Renamed, s.get());
    // The worker first: then nothing follows or draws, and the callback can go.
    s->visualiser->Stop();
    Detach(*s);
    const Visualiser::Counts counts = s->visualiser->Snapshot();
    if (counts.drawn > 0) {
        char line[200];
        std::snprintf(line, sizeof line, "drew %lld frames, %.2f ms each on average; uploaded %lld",
                      static_cast<long long>(counts.drawn),
                      static_cast<double>(counts.drawNs) / 1e6 / static_cast<double>(counts.drawn),
                      static_cast<long long>(s->uploads.load()));
        Say(*s, LOG_INFO, line);
    }
    s->visualiser.reset();
    if (s->texture != nullptr) {
        obs_enter_graphics();
        gs_texture_destroy(s->texture);
        obs_leave_graphics();
    }
}

const char* Name(void*)
{
    return obs_module_text("NimbrelleVisualiser");
}

uint32_t Width(void* data)
{
    return static_cast<uint32_t>(static_cast<Source*>(data)->width.load(std::memory_order_relaxed));
}

uint32_t Height(void* data)
{
    return static_cast<uint32_t>(static_cast<Source*>(data)->height.load(std::memory_order_relaxed));
}

void Show(void* data)
{
    static_cast<Source*>(data)->visualiser->SetShowing(true);
}

void Hide(void* data)
{
    static_cast<Source*>(data)->visualiser->SetShowing(false);
}

// ------------------------------------------------------------------ video

void Tick(void* data, float)
{
    Source& s = *static_cast<Source*>(data);
    obs_video_info video{};
    analysis::FrameRate fps;
    if (obs_get_video_info(&video) && video.fps_num > 0 && video.fps_den > 0) fps = {video.fps_num, video.fps_den};
    s.visualiser->Tick(obs_get_video_frame_time(), fps);
}

// Uploads a newly finished frame into the texture, created again only for a new size or format.
void Upload(Source& s, const Frame& frame)
{
    s.picture = frame.width > 0 && frame.height > 0;
    if (!s.picture) return;
    // Blue and black are opaque words with a top byte the picture library sets; as BGRX the
    // top byte is not read. Transparent is straight alpha, BGRA.
    const gs_color_format format = frame.background == Background::Transparent ? GS_BGRA : GS_BGRX;
    if (s.texture == nullptr || s.textureWidth != frame.width || s.textureHeight != frame.height ||
        s.textureFormat != format) {
        if (s.texture != nullptr) gs_texture_destroy(s.texture);
        s.texture = gs_texture_create(static_cast<uint32_t>(frame.width), static_cast<uint32_t>(frame.height), format,
                                      1, nullptr, GS_DYNAMIC);
        s.textureWidth = frame.width;
        s.textureHeight = frame.height;
        s.textureFormat = format;
    }
    if (s.texture == nullptr) {
        s.picture = false;
        return;
    }
    gs_texture_set_image(s.texture, reinterpret_cast<const uint8_t*>(frame.pixels.data()),
                         static_cast<uint32_t>(frame.width) * 4u, false);
    s.uploads.fetch_add(1, std::memory_order_relaxed);
}

void Render(void* data, gs_effect_t*)
{
    Source& s = *static_cast<Source*>(data);
    if (const Frame* newest = s.visualiser->Frames().TakeNewest()) Upload(s, *newest);
    if (!s.picture) return;
    // The texture holds sRGB bytes: where OBS blends in linear light it is read through the
    // sRGB curve and written back through it, so an opaque frame arrives unchanged.
    gs_effect_t* effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
    const bool linear = gs_get_linear_srgb();
    const bool previous = gs_framebuffer_srgb_enabled();
    gs_enable_framebuffer_srgb(linear);
    gs_eparam_t* image = gs_effect_get_param_by_name(effect, "image");
    if (linear) {
        gs_effect_set_texture_srgb(image, s.texture);
    } else {
        gs_effect_set_texture(image, s.texture);
    }
    while (gs_effect_loop(effect, "Draw")) {
        gs_draw_sprite(s.texture, 0, static_cast<uint32_t>(s.textureWidth), static_cast<uint32_t>(s.textureHeight));
    }
    gs_enable_framebuffer_srgb(previous);
}

}  // namespace

void RegisterSource()
{
    obs_source_info info{};
    info.id = SourceId;
    info.type = OBS_SOURCE_TYPE_INPUT;
    info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW | OBS_SOURCE_SRGB;
    info.get_name = Name;
    info.create = Create;
    info.destroy = Destroy;
    info.update = Update;
    info.get_defaults = Defaults;
    info.get_properties = Properties;
    info.get_width = Width;
    info.get_height = Height;
    info.show = Show;
    info.hide = Hide;
    info.video_tick = Tick;
    info.video_render = Render;
    info.icon_type = OBS_ICON_TYPE_AUDIO_OUTPUT;
    obs_register_source(&info);
}

}  // namespace nimbrelle::obs

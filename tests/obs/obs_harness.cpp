#include "obs_harness.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <obs-nix-platform.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define NIMBRELLE_LSAN 1
#endif

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace nimbrelle::obs::test {

namespace {

pid_t xvfb = -1;
Display* display = nullptr;
bool started = false;

std::mutex logMutex;
std::vector<std::string> logLines;

void LogHandler(int level, const char* format, va_list args, void*)
{
    char line[4096];
    std::vsnprintf(line, sizeof line, format, args);
    std::fprintf(stderr, "obs[%d]: %s\n", level, line);
    std::lock_guard lock(logMutex);
    logLines.emplace_back(line);
}

// Starts Xvfb on a display number it picks itself and reports when it is ready.
bool StartXvfb(std::string* error)
{
    int ready[2];
    if (pipe(ready) != 0) {
        *error = "pipe failed";
        return false;
    }
    xvfb = fork();
    if (xvfb == 0) {
        close(ready[0]);
        const std::string fd = std::to_string(ready[1]);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDERR_FILENO);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    if (xvfb < 0) {
        close(ready[0]);
        *error = "fork failed";
        return false;
    }
    std::string number;
    char c;
    while (read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    close(ready[0]);
    if (number.empty()) {
        *error = "Xvfb did not start (is it installed? scripts/install-deps.sh obs)";
        return false;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return true;
}

void StopXvfb()
{
    if (xvfb <= 0) return;
    kill(xvfb, SIGTERM);
    int status = 0;
    waitpid(xvfb, &status, 0);
    xvfb = -1;
}

// ------------------------------------------------------------------ test sources

const char* ToneName(void*)
{
    return "Test tone";
}

void* ToneCreate(obs_data_t*, obs_source_t* source)
{
    return source;
}

void ToneDestroy(void*) {}

struct Colour {
    uint32_t argb = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

const char* ColourName(void*)
{
    return "Test colour";
}

void ColourUpdate(void* data, obs_data_t* settings)
{
    auto* colour = static_cast<Colour*>(data);
    colour->argb = static_cast<uint32_t>(obs_data_get_int(settings, "color"));
    colour->width = static_cast<uint32_t>(obs_data_get_int(settings, "width"));
    colour->height = static_cast<uint32_t>(obs_data_get_int(settings, "height"));
}

void* ColourCreate(obs_data_t* settings, obs_source_t*)
{
    auto* colour = new Colour;
    ColourUpdate(colour, settings);
    return colour;
}

void ColourDestroy(void* data)
{
    delete static_cast<Colour*>(data);
}

uint32_t ColourWidth(void* data)
{
    return static_cast<Colour*>(data)->width;
}

uint32_t ColourHeight(void* data)
{
    return static_cast<Colour*>(data)->height;
}

// The colour's bytes as they are, opaque.
void ColourRender(void* data, gs_effect_t*)
{
    const auto* colour = static_cast<Colour*>(data);
    gs_effect_t* solid = obs_get_base_effect(OBS_EFFECT_SOLID);
    vec4 value;
    vec4_set(&value, static_cast<float>((colour->argb >> 16) & 0xFF) / 255.0f,
             static_cast<float>((colour->argb >> 8) & 0xFF) / 255.0f, static_cast<float>(colour->argb & 0xFF) / 255.0f,
             1.0f);
    gs_effect_set_vec4(gs_effect_get_param_by_name(solid, "color"), &value);
    while (gs_effect_loop(solid, "Solid")) gs_draw_sprite(nullptr, 0, colour->width, colour->height);
}

void RegisterTestSources()
{
    obs_source_info tone{};
    tone.id = ToneId;
    tone.type = OBS_SOURCE_TYPE_INPUT;
    tone.output_flags = OBS_SOURCE_AUDIO;
    tone.get_name = ToneName;
    tone.create = ToneCreate;
    tone.destroy = ToneDestroy;
    obs_register_source(&tone);

    obs_source_info colour{};
    colour.id = ColourId;
    colour.type = OBS_SOURCE_TYPE_INPUT;
    colour.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
    colour.get_name = ColourName;
    colour.create = ColourCreate;
    colour.destroy = ColourDestroy;
    colour.update = ColourUpdate;
    colour.get_width = ColourWidth;
    colour.get_height = ColourHeight;
    colour.video_render = ColourRender;
    obs_register_source(&colour);
}

}  // namespace

bool StartObs(VideoSize size, std::string* error)
{
    if (started) return true;
    base_set_log_handler(LogHandler, nullptr);
    if (!StartXvfb(error)) return false;
    display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        *error = "cannot open the X display";
        return false;
    }
    obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
    obs_set_nix_platform_display(display);
    if (!obs_startup("en-US", nullptr, nullptr)) {
        *error = "obs_startup failed";
        return false;
    }
    obs_audio_info audio{};
    audio.samples_per_sec = Rate;
    audio.speakers = SPEAKERS_STEREO;
    if (!obs_reset_audio(&audio)) {
        *error = "obs_reset_audio failed";
        return false;
    }
    obs_video_info video{};
    video.graphics_module = "libobs-opengl";
    video.fps_num = Fps;
    video.fps_den = 1;
    video.base_width = video.output_width = size.width;
    video.base_height = video.output_height = size.height;
    video.output_format = VIDEO_FORMAT_BGRA;
    video.gpu_conversion = false;
    video.colorspace = VIDEO_CS_SRGB;
    video.range = VIDEO_RANGE_FULL;
    video.scale_type = OBS_SCALE_DISABLE;
    const int reset = obs_reset_video(&video);
    if (reset != OBS_VIDEO_SUCCESS) {
        *error = "obs_reset_video failed: " + std::to_string(reset);
        return false;
    }
    RegisterTestSources();
    started = true;
    return true;
}

long StopObs()
{
    if (started) {
        obs_shutdown();
        started = false;
    }
    if (display != nullptr) {
        XCloseDisplay(display);
        display = nullptr;
    }
    StopXvfb();
    return bnum_allocs();
}

int CheckLeaksNow()
{
#ifdef NIMBRELLE_LSAN
    return __lsan_do_recoverable_leak_check();
#else
    return 0;
#endif
}

bool LoadPlugin(const std::filesystem::path& file, const std::filesystem::path& data)
{
    obs_module_t* module = nullptr;
    if (obs_open_module(&module, file.c_str(), data.c_str()) != MODULE_SUCCESS) return false;
    return obs_init_module(module);
}

bool InputTypeListed(const std::string& id)
{
    const char* listed = nullptr;
    for (size_t i = 0; obs_enum_input_types(i, &listed); ++i) {
        if (id == listed) return true;
    }
    return false;
}

std::vector<std::string> LogLines()
{
    std::lock_guard lock(logMutex);
    return logLines;
}

void ClearLog()
{
    std::lock_guard lock(logMutex);
    logLines.clear();
}

int CountLog(const std::string& part)
{
    int count = 0;
    for (const std::string& line : LogLines()) count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
}

// ------------------------------------------------------------------ audio

TonePusher::TonePusher(obs_source_t* source, Signal signal, int packet)
    : source_(source), signal_(signal), packet_(packet), thread_([this] { Run(); })
{
}

TonePusher::~TonePusher()
{
    Stop();
}

void TonePusher::Stop()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void TonePusher::Run()
{
    std::vector<float> left(static_cast<std::size_t>(packet_)), right(static_cast<std::size_t>(packet_));
    const uint64_t start = os_gettime_ns();
    for (int64_t sample = 0; !stop_; sample += packet_) {
        const uint64_t at = start + static_cast<uint64_t>(sample) * 1'000'000'000ULL / Rate;
        os_sleepto_ns(at);
        for (int i = 0; i < packet_; ++i) {
            left[static_cast<std::size_t>(i)] = signal_(sample + i, 0);
            right[static_cast<std::size_t>(i)] = signal_(sample + i, 1);
        }
        obs_source_audio audio{};
        audio.data[0] = reinterpret_cast<const uint8_t*>(left.data());
        audio.data[1] = reinterpret_cast<const uint8_t*>(right.data());
        audio.frames = static_cast<uint32_t>(packet_);
        audio.speakers = SPEAKERS_STEREO;
        audio.format = AUDIO_FORMAT_FLOAT_PLANAR;
        audio.samples_per_sec = Rate;
        audio.timestamp = at;
        obs_source_output_audio(source_, &audio);
        pushed_ += packet_;
    }
}

// ------------------------------------------------------------------ video

obs_source_t* CreateColour(const char* name, uint32_t argb, uint32_t width, uint32_t height)
{
    obs_data_t* settings = obs_data_create();
    obs_data_set_int(settings, "color", argb);
    obs_data_set_int(settings, "width", width);
    obs_data_set_int(settings, "height", height);
    obs_source_t* source = obs_source_create(ColourId, name, settings, nullptr);
    obs_data_release(settings);
    return source;
}

FrameCatcher::FrameCatcher()
{
    obs_add_raw_video_callback(nullptr, Caught, this);
}

FrameCatcher::~FrameCatcher()
{
    obs_remove_raw_video_callback(Caught, this);
}

void FrameCatcher::Caught(void* param, struct video_data* frame)
{
    auto* self = static_cast<FrameCatcher*>(param);
    const video_output_info* info = video_output_get_info(obs_get_video());
    std::vector<uint8_t> bytes(static_cast<std::size_t>(info->width) * info->height * 4);
    for (uint32_t y = 0; y < info->height; ++y) {
        std::memcpy(bytes.data() + static_cast<std::size_t>(y) * info->width * 4,
                    frame->data[0] + static_cast<std::size_t>(y) * frame->linesize[0], info->width * 4u);
    }
    std::lock_guard lock(self->mutex_);
    self->frames_.push_back(std::move(bytes));
}

std::vector<std::vector<uint8_t>> FrameCatcher::Take()
{
    std::lock_guard lock(mutex_);
    return std::move(frames_);
}

std::size_t FrameCatcher::Count()
{
    std::lock_guard lock(mutex_);
    return frames_.size();
}

void Wait(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

obs_scene_t* ShowScene(const char* name, const std::vector<obs_source_t*>& sources, Layout layout)
{
    obs_scene_t* scene = obs_scene_create(name);
    float x = 0.0f;
    for (obs_source_t* source : sources) {
        obs_sceneitem_t* item = obs_scene_add(scene, source);
        vec2 position;
        vec2_set(&position, x, 0.0f);
        obs_sceneitem_set_pos(item, &position);
        if (layout == Layout::SideBySide) x += static_cast<float>(obs_source_get_width(source));
    }
    obs_set_output_source(0, obs_scene_get_source(scene));
    return scene;
}

void HideScene(obs_scene_t* scene)
{
    obs_set_output_source(0, nullptr);
    obs_scene_release(scene);
}

obs_source_t* CreateVisualiser(const char* name, const std::string& settingsJson)
{
    obs_data_t* settings = obs_data_create_from_json(settingsJson.c_str());
    obs_source_t* source = obs_source_create("nimbrelle_visualiser", name, settings, nullptr);
    obs_data_release(settings);
    return source;
}

}  // namespace nimbrelle::obs::test

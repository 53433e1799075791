// libnimbrelle_plugin.so: a VLC 3 visualisation that draws a Nimbrelle module's scene for the
// sound VLC plays.
//
// VLC runs a visualisation as an audio filter in its audio output: Open asks for float samples,
// DoWork passes every block on unchanged and hands a copy of its samples to the drawing
// thread (AudioQueue: cleaned, mixed to stereo, kept in a ring allocated here), and Flush
// (a seek, a new stream) starts the frames afresh. The drawing thread cuts the samples into
// frames exactly as `nimbrelle render` does (frame n starts at sample floor(n * rate / fps) of
// the stream, its record made from the 512 samples before by the shared analysis), draws each
// frame with this instance's Private copy of the module into a picture of the video output VLC
// gives the filter, and stamps the picture with the presentation time of the frame's first
// sample (VLC's audio blocks carry presentation times already).
//
// The scene is stateful: its clock advances with every frame drawn, so every frame is drawn.
// A frame whose time has passed by the time it is drawn is drawn into a scratch canvas instead
// of a picture (a dropped picture); a picture that turned late while it was drawn is released
// instead of shown. vout_GetPicture waits while all of the output's few pictures are queued for
// display, which paces the thread at the display's rate; the samples waiting meanwhile are
// bounded by the ring (AudioQueue describes what happens past it).
// Marks texts for translation in VLC's own builds; a plug-in built outside keeps them as written.
#define N_(text) text
#include <vlc_common.h>
#include <vlc_plugin.h>
#include <vlc_aout.h>
#include <vlc_filter.h>
#include <vlc_picture.h>
#include <vlc_vout.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_queue.h"
#include "nimbrelle/analysis/analyser.h"
#include "nimbrelle/loader.h"

namespace analysis = nimbrelle::analysis;
namespace loader = nimbrelle::loader;
using nimbrelle::vlc::AudioQueue;
using nimbrelle::vlc::FrameJob;

namespace {

constexpr int DefaultWidth = 1280;
constexpr int DefaultHeight = 720;
constexpr int MaxSize = 8192;
constexpr int DefaultFps = 60;
constexpr float DefaultGain = 1.0f;
constexpr float MaxGain = 1000.0f;
// Seconds of audio the ring holds. VLC's decoders run at most two seconds ahead of the sound
// (AOUT_MAX_PREPARE_TIME), and the pictures queued for display a fraction of a second.
constexpr int QueueSeconds = 4;

// CPU time of the calling thread, in nanoseconds.
int64_t ThreadCpuNanos()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// An integer option clamped into [low, high], with a warning when it was outside.
int IntegerOption(filter_t* filter, const char* name, int low, int high)
{
    const int64_t value = var_InheritInteger(filter, name);
    const int64_t clamped = std::clamp<int64_t>(value, low, high);
    if (clamped != value) {
        msg_Warn(filter, "--%s %lld is outside %d to %d; using %lld", name, static_cast<long long>(value), low, high,
                 static_cast<long long>(clamped));
    }
    return static_cast<int>(clamped);
}

}  // namespace

struct filter_sys_t {
    filter_t* filter = nullptr;
    std::unique_ptr<loader::Module> module;
    vout_thread_t* vout = nullptr;
    int width = 0;
    int height = 0;
    int channels = 0;

    // Drawing thread only.
    std::unique_ptr<AudioQueue> queue;
    std::unique_ptr<analysis::Analyser> analyser;
    analysis::SampleHistory history;
    FrameData record{};
    std::vector<uint32_t> scratch;  // late frames are drawn here
    int64_t drawn = 0;
    int64_t dropped = 0;
    int64_t cpuNanos = 0;
    mtime_t frameLength = 0;  // microseconds

    // The time of the latest picture handed to the output, for Drain.
    std::atomic<mtime_t> lastShown{0};

    std::atomic<bool> drawing{true};
    std::thread worker;
};

namespace {

// Draws the frame whose record is in sys.record into `pixels` (rows `pitch` words apart).
bool DrawInto(filter_sys_t& sys, uint32_t* pixels, int32_t pitch, const FrameJob& job)
{
    if (sys.module->Render(pixels, sys.width, sys.height, pitch, sys.record)) return true;
    msg_Err(sys.filter, "%s", sys.module->RefusalText(job.index).c_str());
    return false;
}

// Draws one frame; shows it if its time has not passed.
bool Draw(filter_sys_t& sys, const FrameJob& job)
{
    if (job.date >= mdate()) {
        // Waits while every picture of the output is queued for display.
        picture_t* picture = vout_GetPicture(sys.vout);
        if (picture != nullptr) {
            plane_t& plane = picture->p[0];
            if (plane.i_pitch % 4 == 0 && plane.i_pitch / 4 >= sys.width && plane.i_visible_lines >= sys.height) {
                if (!DrawInto(sys, reinterpret_cast<uint32_t*>(plane.p_pixels), plane.i_pitch / 4, job)) {
                    picture_Release(picture);
                    return false;
                }
                if (job.date >= mdate()) {
                    picture->date = job.date;
                    // Whole frames: VLC would otherwise deinterlace them, blending rows.
                    picture->b_progressive = true;
                    vout_PutPicture(sys.vout, picture);
                    sys.lastShown.store(job.date);
                    return true;
                }
                picture_Release(picture);
                ++sys.dropped;
                return true;
            }
            picture_Release(picture);
        }
    }
    ++sys.dropped;
    return DrawInto(sys, sys.scratch.data(), sys.width, job);
}

void Run(filter_sys_t* sys)
{
    FrameJob job;
    while (sys->queue->Next(sys->history, job)) {
        const int64_t before = ThreadCpuNanos();
        sys->analyser->Analyse(sys->history, job.milliseconds, sys->record);
        const bool drawn = Draw(*sys, job);
        sys->cpuNanos += ThreadCpuNanos() - before;
        if (!drawn) break;
        ++sys->drawn;
    }
    sys->drawing.store(false);
}

block_t* DoWork(filter_t* filter, block_t* block)
{
    filter_sys_t* sys = filter->p_sys;
    if (sys->drawing.load(std::memory_order_relaxed)) {
        const std::size_t bytesPerFrame = sizeof(float) * static_cast<std::size_t>(sys->channels);
        const std::size_t frames = std::min<std::size_t>(block->i_nb_samples, block->i_buffer / bytesPerFrame);
        sys->queue->Push(reinterpret_cast<const float*>(block->p_buffer), frames, block->i_pts);
    }
    return block;
}

void Flush(filter_t* filter)
{
    filter->p_sys->queue->Flush();
}

// The end of the stream: VLC closes the visualisation, and its output with the pictures still
// queued, right after this; where the sound is not played at its own pace (a file output) that
// is before they were due. So the frames still to draw are drawn, and the last picture shown
// for its time, bounded as the queue is.
block_t* Drain(filter_t* filter)
{
    filter_sys_t* sys = filter->p_sys;
    const mtime_t deadline = mdate() + QueueSeconds * CLOCK_FREQ;
    if (sys->drawing.load() && sys->queue->WaitUntilDrawn(std::chrono::seconds(QueueSeconds))) {
        const mtime_t shownUntil = sys->lastShown.load() + sys->frameLength;
        if (shownUntil > mdate()) mwait(std::min(shownUntil, deadline));
    }
    return nullptr;
}

// The module to draw with: --nimbrelle-module, or the one installed with the plug-in.
std::string ModulePath(filter_t* filter)
{
    char* option = var_InheritString(filter, "nimbrelle-module");
    std::string path = option != nullptr ? option : "";
    free(option);
    if (!path.empty()) return path;
    static const int anchor = 0;
    const std::filesystem::path folder = loader::FolderOf(&anchor);
    std::string tried;
    if (!folder.empty()) path = loader::FindModule(folder, {NIMBRELLE_MODULE_CANDIDATES}, &tried).string();
    if (path.empty()) {
        msg_Err(filter, "no Nimbrelle module found beside the plug-in (looked for %s): set --nimbrelle-module",
                tried.c_str());
    }
    return path;
}

void Release(filter_t* filter, filter_sys_t* sys)
{
    if (sys->vout != nullptr) aout_filter_RequestVout(filter, sys->vout, nullptr);
    delete sys;
}

int Open(vlc_object_t* object)
{
    filter_t* filter = reinterpret_cast<filter_t*>(object);
    const mtime_t started = mdate();

    const int width = IntegerOption(filter, "nimbrelle-width", 1, MaxSize);
    const int height = IntegerOption(filter, "nimbrelle-height", 1, MaxSize);
    const int fps = IntegerOption(filter, "nimbrelle-fps", static_cast<int>(analysis::MinFps),
                                  static_cast<int>(analysis::MaxFps));
    float gain = var_InheritFloat(filter, "nimbrelle-gain");
    if (!(gain >= 0.0f && gain <= MaxGain)) {
        msg_Warn(filter, "--nimbrelle-gain %g is outside 0 to %g; using %g", static_cast<double>(gain),
                 static_cast<double>(MaxGain), static_cast<double>(DefaultGain));
        gain = DefaultGain;
    }

    const std::string path = ModulePath(filter);
    if (path.empty()) return VLC_EGENERIC;
    std::string error;
    // A Private copy: VLC may run several visualisations at once, each with its own scene.
    auto module = loader::Module::Open(path, loader::Mode::Private, &error);
    if (!module || !module->Init(&error)) {
        msg_Err(filter, "%s", error.c_str());
        return VLC_EGENERIC;
    }

    // Float samples at a rate the analysis accepts: VLC converts and resamples before the
    // filter where the stream differs, and converts back after it. The formats are changed
    // only once Open succeeds: VLC expects a refusing filter to leave them alone.
    audio_sample_format_t in = filter->fmt_in.audio;
    in.i_format = VLC_CODEC_FL32;
    in.i_rate = static_cast<unsigned>(
        std::clamp<int64_t>(in.i_rate, analysis::MinSampleRate, analysis::MaxSampleRate));
    aout_FormatPrepare(&in);
    const int rate = static_cast<int>(in.i_rate);
    const int channels = in.i_channels;
    if (channels < 1) {
        msg_Err(filter, "cannot draw audio without channels");
        return VLC_EGENERIC;
    }

    auto* sys = new (std::nothrow) filter_sys_t;
    if (sys == nullptr) return VLC_ENOMEM;
    sys->filter = filter;
    sys->module = std::move(module);
    sys->width = width;
    sys->height = height;
    sys->channels = channels;
    sys->frameLength = CLOCK_FREQ / fps;
    try {
        sys->queue = std::make_unique<AudioQueue>(rate, channels, analysis::FrameRate{fps, 1},
                                                  static_cast<std::size_t>(rate) * QueueSeconds);
        sys->analyser = std::make_unique<analysis::Analyser>(gain);
        sys->scratch.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    } catch (const std::bad_alloc&) {
        msg_Err(filter, "out of memory for %dx%d pictures at %d Hz", width, height, rate);
        Release(filter, sys);
        return VLC_ENOMEM;
    }

    video_format_t format;
    video_format_Init(&format, VLC_CODEC_RGB32);
    format.i_width = format.i_visible_width = static_cast<unsigned>(width);
    format.i_height = format.i_visible_height = static_cast<unsigned>(height);
    format.i_sar_num = format.i_sar_den = 1;
    // The module's 0x00RRGGBB words.
    format.i_rmask = 0x00ff0000;
    format.i_gmask = 0x0000ff00;
    format.i_bmask = 0x000000ff;
    format.i_frame_rate = static_cast<unsigned>(fps);
    format.i_frame_rate_base = 1;
    sys->vout = aout_filter_RequestVout(filter, nullptr, &format);
    if (sys->vout == nullptr) {
        msg_Err(filter, "no video output for %dx%d pictures", width, height);
        Release(filter, sys);
        return VLC_EGENERIC;
    }

    try {
        sys->worker = std::thread(Run, sys);
    } catch (const std::system_error&) {
        msg_Err(filter, "cannot start the drawing thread");
        Release(filter, sys);
        return VLC_EGENERIC;
    }

    filter->fmt_in.audio = in;
    filter->fmt_in.i_codec = VLC_CODEC_FL32;
    filter->fmt_out.audio = in;
    filter->fmt_out.i_codec = VLC_CODEC_FL32;
    filter->p_sys = sys;
    filter->pf_audio_filter = DoWork;
    filter->pf_flush = Flush;
    filter->pf_audio_drain = Drain;
    msg_Dbg(filter, "drawing with module %s at %dx%d, %d fps, %d Hz, %d channels; ready in %lld us", path.c_str(),
            width, height, fps, rate, channels, static_cast<long long>(mdate() - started));
    return VLC_SUCCESS;
}

void Close(vlc_object_t* object)
{
    filter_t* filter = reinterpret_cast<filter_t*>(object);
    filter_sys_t* sys = filter->p_sys;
    sys->queue->Stop();
    sys->worker.join();
    msg_Dbg(filter, "drew %lld frames, %lld of them late and not shown, %lld skipped; %lld us CPU per frame",
            static_cast<long long>(sys->drawn), static_cast<long long>(sys->dropped),
            static_cast<long long>(sys->queue->Skipped()),
            static_cast<long long>(sys->drawn > 0 ? sys->cpuNanos / sys->drawn / 1000 : 0));
    Release(filter, sys);
}

}  // namespace

#define WIDTH_TEXT N_("Width")
#define WIDTH_LONGTEXT N_("Width of the pictures in pixels (1 to 8192).")
#define HEIGHT_TEXT N_("Height")
#define HEIGHT_LONGTEXT N_("Height of the pictures in pixels (1 to 8192).")
#define FPS_TEXT N_("Frames per second")
#define FPS_LONGTEXT \
    N_("Frames drawn per second of sound (1 to 1000). Every frame is drawn, because the scene moves on with " \
       "each; pictures whose time has passed are not shown.")
#define GAIN_TEXT N_("Gain")
#define GAIN_LONGTEXT \
    N_("Scales the sound before it is analysed (0 to 1000); 2 to 4 brings out more movement in quiet recordings. " \
       "The sound played is not changed.")
#define MODULE_TEXT N_("Module")
#define MODULE_LONGTEXT \
    N_("Path of the Nimbrelle module to draw with. Empty: the module installed with this plug-in.")

vlc_module_begin()
    set_shortname(N_("Nimbrelle"))
    set_description(N_("Nimbrelle visualisation"))
    set_help(N_("Draws a Nimbrelle module's 3-D scene of glows, rays and stars for the sound."))
    set_category(CAT_AUDIO)
    set_subcategory(SUBCAT_AUDIO_VISUAL)
    set_capability("visualization", 0)
    add_integer_with_range("nimbrelle-width", DefaultWidth, 1, MaxSize, WIDTH_TEXT, WIDTH_LONGTEXT, false)
    add_integer_with_range("nimbrelle-height", DefaultHeight, 1, MaxSize, HEIGHT_TEXT, HEIGHT_LONGTEXT, false)
    add_integer_with_range("nimbrelle-fps", DefaultFps, analysis::MinFps, analysis::MaxFps, FPS_TEXT, FPS_LONGTEXT,
                           false)
    add_float_with_range("nimbrelle-gain", DefaultGain, 0.0f, MaxGain, GAIN_TEXT, GAIN_LONGTEXT, false)
    add_loadfile("nimbrelle-module", "", MODULE_TEXT, MODULE_LONGTEXT, true)
    set_callbacks(Open, Close)
    add_shortcut("nimbrelle")
vlc_module_end()

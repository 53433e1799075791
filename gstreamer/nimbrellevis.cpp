// nimbrellevis: a visualisation element that draws a module's scene for an audio stream.
//
// Audio in (interleaved S16 or F32, mono or stereo, 8 kHz to 1 MHz), video out: BGRx (the
// module's 0x00RRGGBB words in memory order) for the `background`s blue (the frames as drawn)
// and black (their light alone), BGRA with straight alpha for transparent, so that a compositor
// can lay the scene over other video (xRGB and ARGB on a big-endian machine). The conversion is
// nimbrelle/picture.h's, the one every front end uses. The element is a GstAudioVisualizer,
// which negotiates the video format, answers the pipeline's queries, handles QoS and hands out
// output buffers; the element narrows what it offers, and what downstream answers, to the one
// format of its background.
//
// Its frame timing is the element's own: the base class renders a frame whenever enough audio
// has collected, and keeps the tail for the next buffer, so its frames neither start at fixed
// samples nor come at the video rate. Here frame n starts at sample floor(n * rate / fps) of
// the stream, and its record is made from the 512 samples before that start by the same
// analysis the command-line host uses, so the element and `nimbrelle render` draw the same
// frames from the same audio. The element takes the audio itself (its own chain function)
// and, for each frame that starts inside the buffer, passes the base class's chain a buffer
// of one silent sample, marked DISCONT and stamped with the frame's time: the base class then
// renders exactly one frame with that timestamp.
#include <gst/gst.h>
#include <gst/audio/audio.h>
#include <gst/pbutils/gstaudiovisualizer.h>
#include <gst/video/video.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "nimbrelle/analysis.h"
#include "nimbrelle/loader.h"
#include "nimbrelle/picture.h"
#include "module_guard.h"

GST_DEBUG_CATEGORY_STATIC(nimbrelle_vis_debug);
#define GST_CAT_DEFAULT nimbrelle_vis_debug

namespace {

namespace analysis = nimbrelle::analysis;

constexpr float DefaultGain = 1.0f;
constexpr float MaxGain = 1000.0f;
// A buffer whose timestamp strays this far (1/25 s) from the samples counted so far starts
// the frame timing afresh; smaller differences are rounding in the upstream timestamps.
constexpr int ResyncDivisor = 25;
// S16 samples are converted to float this many at a time.
constexpr std::size_t ConvertFloats = 4096;

// 0x00RRGGBB and 0xAARRGGBB words in memory order.
#if G_BYTE_ORDER == G_LITTLE_ENDIAN
#define NIMBRELLE_OPAQUE_FORMAT "BGRx"
#define NIMBRELLE_ALPHA_FORMAT "BGRA"
#else
#define NIMBRELLE_OPAQUE_FORMAT "xRGB"
#define NIMBRELLE_ALPHA_FORMAT "ARGB"
#endif

// Preferred first: 1280x720 at 60 fps, then that size at another rate, then another size at
// 60 fps, then anything downstream asks for; in the background's format.
#define NIMBRELLE_VIDEO(size, rate)                                                                 \
    "video/x-raw, format=(string){ " NIMBRELLE_OPAQUE_FORMAT ", " NIMBRELLE_ALPHA_FORMAT " }, " size \
    ", framerate=" rate ", pixel-aspect-ratio=1/1"
#define NIMBRELLE_ANY_SIZE "width=[1, 8192], height=[1, 8192]"
#define NIMBRELLE_ANY_RATE "[1/1, 1000/1]"

// clang-format off
GstStaticPadTemplate SrcTemplate = GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(
    NIMBRELLE_VIDEO("width=1280, height=720", "60/1") "; "
    NIMBRELLE_VIDEO("width=1280, height=720", NIMBRELLE_ANY_RATE) "; "
    NIMBRELLE_VIDEO(NIMBRELLE_ANY_SIZE, "60/1") "; "
    NIMBRELLE_VIDEO(NIMBRELLE_ANY_SIZE, NIMBRELLE_ANY_RATE)));
// clang-format on

// Audio at the sample rates the analysis accepts: others fail negotiation, so an audioresample
// before the element converts them, and no rate gets through that would give frames the same
// time (fewer samples than frames a second) or overflow the base class's int arithmetic (rate
// times bytes per sample frame).
GstPadTemplate* SinkTemplate()
{
    const std::string caps = "audio/x-raw, format=(string){ " GST_AUDIO_NE(S16) ", " GST_AUDIO_NE(F32) " }, "
                             "layout=(string)interleaved, rate=(int)[" +
                             std::to_string(analysis::MinSampleRate) + ", " +
                             std::to_string(analysis::MaxSampleRate) + "], channels=(int)[1, 2]";
    GstCaps* parsed = gst_caps_from_string(caps.c_str());
    GstPadTemplate* pad = gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, parsed);
    gst_caps_unref(parsed);
    return pad;
}

// What the streaming thread keeps between buffers.
struct Stream {
    std::unique_ptr<nimbrelle::loader::Module> module;
    std::unique_ptr<analysis::Analyser> analyser;
    analysis::SampleHistory history;
    float convert[ConvertFloats] = {};

    // Frame timing: frame k (counted from `origin`) starts at sample
    // origin + FrameStartSample(k, rate, fps); `next` is the next frame to draw and `position`
    // the stream sample the next incoming sample has. Unsynced until the first buffer after a
    // start, flush, new segment or format change.
    bool synced = false;
    int64_t position = 0;
    int64_t origin = 0;
    int64_t next = 0;
    int rate = 0;
    int channels = 0;
    analysis::FrameRate fps;

    FrameData record{};
    bool refused = false;  // the module refused the latest frame

    // blue or black, read at the start; transparent whenever the video negotiated has alpha.
    nimbrelle::picture::Background background = nimbrelle::picture::Background::Blue;
    bool alpha = false;
};

}  // namespace

struct GstNimbrelleVis {
    GstAudioVisualizer parent;
    // Properties, under the object lock.
    gchar* modulePath;
    gfloat gain;
    gint background;  // a nimbrelle::picture::Background
    Stream* stream;
    GstPadChainFunction baseChain;
    GstPadEventFunction baseEvent;
    GstPadQueryFunction baseSrcQuery;
};

struct GstNimbrelleVisClass {
    GstAudioVisualizerClass parent_class;
};

G_DEFINE_TYPE(GstNimbrelleVis, gst_nimbrelle_vis, GST_TYPE_AUDIO_VISUALIZER)

namespace {

enum { PropZero, PropModule, PropGain, PropBackground };

using nimbrelle::picture::Background;

GType BackgroundType()
{
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {static_cast<gint>(Background::Blue), "The frames as drawn, on the scene's dark blue", "blue"},
            {static_cast<gint>(Background::Black), "The scene's light alone, on black (for Add or Screen blending)",
             "black"},
            {static_cast<gint>(Background::Transparent),
             "The scene's light with straight alpha, BGRA (for compositing over other video)", "transparent"},
            {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("GstNimbrelleVisBackground", values));
    }
    return type;
}

// The arguments and result of one call of a module's entry, for CallGuarded.
struct EntryCall {
    const ModuleDescriptor* descriptor;
    uint32_t* pixels;  // null: the init entry
    int32_t width, height, pitch;
    const FrameData* record;
    int32_t result;
};

void CallEntry(void* argument)
{
    auto* call = static_cast<EntryCall*>(argument);
    call->result = call->pixels == nullptr
                       ? call->descriptor->init()
                       : call->descriptor->render(call->pixels, call->width, call->height, call->pitch, call->record);
}

GstNimbrelleVis* Self(gpointer object)
{
    return reinterpret_cast<GstNimbrelleVis*>(object);
}

GstAudioVisualizer* Scope(GstNimbrelleVis* self)
{
    return &self->parent;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec)
{
    GstNimbrelleVis* self = Self(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PropModule:
        g_free(self->modulePath);
        self->modulePath = g_value_dup_string(value);
        break;
    case PropGain:
        self->gain = g_value_get_float(value);
        break;
    case PropBackground:
        self->background = g_value_get_enum(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* spec)
{
    GstNimbrelleVis* self = Self(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PropModule:
        g_value_set_string(value, self->modulePath);
        break;
    case PropGain:
        g_value_set_float(value, self->gain);
        break;
    case PropBackground:
        g_value_set_enum(value, self->background);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

// After a fault inside the module's `entry` ("init" or "render"): posts the error and lets go
// of the copy without unloading it. Its state and any lock it held are unknown, so it is
// neither called again nor closed (its destructors could fault in turn): the copy stays
// loaded and is leaked on purpose, and the next start loads a fresh one.
void Abandon(GstNimbrelleVis* self, Stream& stream, const char* entry, int signal)
{
    GST_ELEMENT_ERROR(self, LIBRARY, FAILED,
                      ("module '%s' crashed in its %s entry (%s); the pipeline stops",
                       stream.module->Path().c_str(), entry, nimbrelle::gst::FaultName(signal)),
                      (nullptr));
    static_cast<void>(stream.module.release());
}

// Loads the module and builds its scene, once per start.
bool Start(GstNimbrelleVis* self)
{
    GST_OBJECT_LOCK(self);
    std::string path = self->modulePath != nullptr ? self->modulePath : "";
    const float gain = self->gain;
    const auto background = static_cast<Background>(self->background);
    GST_OBJECT_UNLOCK(self);

    if (path.empty()) {
        std::string tried;
        static const int anchor = 0;
        const std::filesystem::path folder = nimbrelle::loader::FolderOf(&anchor);
        if (!folder.empty()) path = nimbrelle::loader::FindModule(folder, {NIMBRELLE_MODULE_CANDIDATES}, &tried).string();
        if (path.empty()) {
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                              ("no module found beside the plugin (looked for %s): set the module property",
                               tried.c_str()),
                              (nullptr));
            return false;
        }
    }
    std::string error;
    Stream& stream = *self->stream;
    // A private copy: each element instance draws its own scene.
    stream.module = nimbrelle::loader::Module::Open(path, nimbrelle::loader::Mode::Private, &error);
    if (stream.module) {
        EntryCall call{&stream.module->Descriptor(), nullptr, 0, 0, 0, nullptr, 0};
        if (const int signal = nimbrelle::gst::CallGuarded(CallEntry, &call); signal != 0) {
            Abandon(self, stream, "init", signal);
            return false;
        }
        if (call.result == 0) {
            error = "module '" + stream.module->Path().string() +
                    "' could not build its scene (its init entry returned 0)";
        }
    }
    if (!stream.module || !error.empty()) {
        stream.module.reset();
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("%s", error.c_str()), (nullptr));
        return false;
    }
    stream.analyser = std::make_unique<analysis::Analyser>(gain);
    stream.background = background;
    stream.synced = false;
    stream.refused = false;
    GST_INFO_OBJECT(self, "drawing with module %s", path.c_str());
    return true;
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition)
{
    GstNimbrelleVis* self = Self(element);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && !Start(self)) {
        return GST_STATE_CHANGE_FAILURE;
    }
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(gst_nimbrelle_vis_parent_class)->change_state(element, transition);
    // The streaming thread has stopped once the pads are deactivated.
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
        self->stream->module.reset();
        self->stream->analyser.reset();
    }
    return result;
}

// Called by the base class whenever the video format is set; the base class then hands the
// render function one sample per frame, which is what the chain function gives it.
gboolean Setup(GstAudioVisualizer* scope)
{
    GstNimbrelleVis* self = Self(scope);
    Stream& stream = *self->stream;
    scope->req_spf = 1;
    const analysis::FrameRate fps{GST_VIDEO_INFO_FPS_N(&scope->vinfo), GST_VIDEO_INFO_FPS_D(&scope->vinfo)};
    if (fps.num <= 0 || fps.den <= 0) return FALSE;
    if (stream.synced && !(fps == stream.fps)) {
        // A new frame rate mid-stream: frames are counted afresh from the latest frame's start.
        stream.origin = stream.position;
        stream.next = 1;
    }
    stream.fps = fps;
    stream.alpha = GST_VIDEO_INFO_HAS_ALPHA(&scope->vinfo);
    return TRUE;
}

// The one video format of the element's background: "video/x-raw, format=BGRA" for
// transparent, BGRx otherwise.
GstCaps* BackgroundCaps(GstNimbrelleVis* self)
{
    GST_OBJECT_LOCK(self);
    const bool alpha = self->background == static_cast<gint>(Background::Transparent);
    GST_OBJECT_UNLOCK(self);
    return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                               alpha ? NIMBRELLE_ALPHA_FORMAT : NIMBRELLE_OPAQUE_FORMAT, nullptr);
}

// What the source pad offers: its template in the background's format only.
gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query)
{
    GstNimbrelleVis* self = Self(parent);
    if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return self->baseSrcQuery(pad, parent, query);
    GstCaps* filter = nullptr;
    gst_query_parse_caps(query, &filter);
    GstCaps* templ = gst_pad_get_pad_template_caps(pad);
    GstCaps* format = BackgroundCaps(self);
    GstCaps* offered = gst_caps_intersect_full(templ, format, GST_CAPS_INTERSECT_FIRST);
    if (filter != nullptr) {
        GstCaps* filtered = gst_caps_intersect_full(filter, offered, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(offered);
        offered = filtered;
    }
    gst_query_set_caps_result(query, offered);
    gst_caps_unref(offered);
    gst_caps_unref(format);
    gst_caps_unref(templ);
    return TRUE;
}

// The base class picks the first format downstream's answer to its caps query shares with the
// template; downstream's answer is narrowed here, on its way back, to the background's format.
GstPadProbeReturn NarrowDownstreamCaps(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    GstCaps* answer = nullptr;
    if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return GST_PAD_PROBE_OK;
    gst_query_parse_caps_result(query, &answer);
    if (answer == nullptr || !gst_query_is_writable(query)) return GST_PAD_PROBE_OK;
    GstCaps* format = BackgroundCaps(Self(data));
    GstCaps* narrowed = gst_caps_intersect_full(answer, format, GST_CAPS_INTERSECT_FIRST);
    gst_query_set_caps_result(query, narrowed);
    gst_caps_unref(narrowed);
    gst_caps_unref(format);
    return GST_PAD_PROBE_OK;
}

// A refused frame, or a crash inside the module, is reported here and ends the stream in the
// chain function: the base class's own path for a failed render leaves its lock held.
gboolean Render(GstAudioVisualizer* scope, GstBuffer*, GstVideoFrame* video)
{
    GstNimbrelleVis* self = Self(scope);
    Stream& stream = *self->stream;
    auto* pixels = static_cast<uint32_t*>(GST_VIDEO_FRAME_PLANE_DATA(video, 0));
    const int32_t pitch = GST_VIDEO_FRAME_PLANE_STRIDE(video, 0) / 4;
    const int width = GST_VIDEO_FRAME_WIDTH(video), height = GST_VIDEO_FRAME_HEIGHT(video);
    // After a crash the copy is gone, and the chain ends the stream.
    if (!stream.module) return TRUE;
    EntryCall call{&stream.module->Descriptor(), pixels, width, height, pitch, &stream.record, 0};
    if (const int signal = nimbrelle::gst::CallGuarded(CallEntry, &call); signal != 0) {
        Abandon(self, stream, "render", signal);
        stream.refused = true;
        return TRUE;
    }
    if (call.result == 0) {
        const std::string refusal = stream.module->RefusalText(stream.next - 1);
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("%s", refusal.c_str()), (nullptr));
        stream.refused = true;
        return TRUE;
    }
    // 0xAARRGGBB words: BGRA (ARGB on a big-endian machine), or BGRx with x = 255.
    const Background background = stream.alpha ? Background::Transparent : stream.background;
    if (background != Background::Blue) {
        nimbrelle::picture::ConvertFrame(background, nimbrelle::picture::Order::Argb, pixels, pitch, pixels, pitch, width,
                                         height);
    }
    return TRUE;
}

GstFlowReturn Chain(GstPad* pad, GstObject* parent, GstBuffer* buffer);

// A GAP is time without samples, which an audio sink plays as silence: the frames go on
// through it as they do through silent buffers, so the scene settles as the sound stops and a
// recording keeps a frame for every frame time instead of holding the last loud one. The gap's
// time is fed to the chain as silent buffers, the first stamped with the gap's start (a gap
// that starts elsewhere than the samples so far restarts the frames there, as a buffer would).
// A gap of unknown length, or one before the formats are known, draws nothing and is returned
// false to be passed on; the next buffer's timestamp then says where the frames go on.
bool DrawGap(GstNimbrelleVis* self, GstPad* pad, GstEvent* event)
{
    // Zero bytes are silence in S16 and F32 alike.
    static const guint8 Zeros[16384] = {};
    GstAudioVisualizer* scope = Scope(self);
    const int rate = GST_AUDIO_INFO_RATE(&scope->ainfo);
    const int bytesPerFrame = GST_AUDIO_INFO_BPF(&scope->ainfo);
    GstClockTime start = GST_CLOCK_TIME_NONE;
    GstClockTime duration = GST_CLOCK_TIME_NONE;
    gst_event_parse_gap(event, &start, &duration);
    if (!GST_CLOCK_TIME_IS_VALID(start) || !GST_CLOCK_TIME_IS_VALID(duration) || rate <= 0 || bytesPerFrame <= 0) {
        return false;
    }
    // Sample counts of any timestamp fit in int64 at the rates the sink pad accepts.
    const auto first = static_cast<int64_t>(gst_util_uint64_scale_round(start, static_cast<guint64>(rate), GST_SECOND));
    const int64_t end =
        first + static_cast<int64_t>(gst_util_uint64_scale_round(duration, static_cast<guint64>(rate), GST_SECOND));
    const int64_t perBuffer = static_cast<int64_t>(sizeof Zeros) / bytesPerFrame;
    GstClockTime pts = start;
    GstFlowReturn result = GST_FLOW_OK;
    // The first buffer places the gap; the rest follow on from wherever the chain is.
    for (int64_t frames = std::min(end - first, perBuffer); frames > 0 && result == GST_FLOW_OK;
         frames = std::min(end - self->stream->position, perBuffer)) {
        GstBuffer* silence = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<guint8*>(Zeros),
                                                         sizeof Zeros, 0, static_cast<gsize>(frames * bytesPerFrame),
                                                         nullptr, nullptr);
        GST_BUFFER_PTS(silence) = pts;
        pts = GST_CLOCK_TIME_NONE;
        result = Chain(pad, GST_OBJECT(self), silence);
    }
    return true;
}

gboolean SinkEvent(GstPad* pad, GstObject* parent, GstEvent* event)
{
    GstNimbrelleVis* self = Self(parent);
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_GAP:
        if (DrawGap(self, pad, event)) {
            gst_event_unref(event);
            return TRUE;
        }
        break;
    case GST_EVENT_FLUSH_STOP:
    case GST_EVENT_SEGMENT:
    case GST_EVENT_STREAM_START:
        self->stream->synced = false;
        break;
    default:
        break;
    }
    return self->baseEvent(pad, parent, event);
}

// Has the base class draw the frame whose record is in stream.record, stamped `sample`.
GstFlowReturn DrawFrame(GstNimbrelleVis* self, GstPad* pad, int64_t sample, int bytesPerFrame)
{
    static const guint8 Silence[16] = {};
    GstBuffer* one = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<guint8*>(Silence),
                                                 sizeof Silence, 0, static_cast<gsize>(bytesPerFrame), nullptr,
                                                 nullptr);
    GST_BUFFER_PTS(one) =
        gst_util_uint64_scale(static_cast<guint64>(sample), GST_SECOND, static_cast<guint64>(self->stream->rate));
    GST_BUFFER_FLAG_SET(one, GST_BUFFER_FLAG_DISCONT);
    return self->baseChain(pad, GST_OBJECT(self), one);
}

// Appends `frames` frames of `data` (S16 or F32 interleaved) to the sample history.
void PushSamples(Stream& stream, const guint8* data, std::size_t frames, bool isFloat)
{
    const auto channels = static_cast<std::size_t>(stream.channels);
    if (isFloat) {
        stream.history.Push(reinterpret_cast<const float*>(data), frames, stream.channels);
        return;
    }
    const auto* samples = reinterpret_cast<const int16_t*>(data);
    const std::size_t perBlock = ConvertFloats / channels;
    while (frames > 0) {
        const std::size_t count = std::min(frames, perBlock);
        // The scale a 16-bit file is read with elsewhere: exactly 1/32768.
        for (std::size_t i = 0; i < count * channels; ++i) {
            stream.convert[i] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
        }
        stream.history.Push(stream.convert, count, stream.channels);
        samples += count * channels;
        frames -= count;
    }
}

void Resync(Stream& stream, GstBuffer* buffer)
{
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    stream.position = GST_CLOCK_TIME_IS_VALID(pts)
                          ? static_cast<int64_t>(gst_util_uint64_scale_round(pts, static_cast<guint64>(stream.rate), GST_SECOND))
                          : 0;
    stream.origin = 0;
    // The first frame that starts at or after the buffer's first sample.
    stream.next = analysis::FrameCountFor(stream.position, stream.rate, stream.fps);
    stream.history.Clear();
    stream.synced = true;
}

GstFlowReturn Chain(GstPad* pad, GstObject* parent, GstBuffer* buffer)
{
    GstNimbrelleVis* self = Self(parent);
    GstAudioVisualizer* scope = Scope(self);
    Stream& stream = *self->stream;
    const int bytesPerFrame = GST_AUDIO_INFO_BPF(&scope->ainfo);
    if (!stream.module) {
        // The module crashed: nothing more is drawn until the element starts again.
        gst_buffer_unref(buffer);
        return GST_FLOW_ERROR;
    }
    if (bytesPerFrame == 0 || stream.fps.num <= 0 || !stream.analyser) {
        gst_buffer_unref(buffer);
        return GST_FLOW_NOT_NEGOTIATED;
    }

    GST_OBJECT_LOCK(self);
    const float gain = self->gain;
    GST_OBJECT_UNLOCK(self);
    if (gain != stream.analyser->Gain()) stream.analyser = std::make_unique<analysis::Analyser>(gain);

    const int rate = GST_AUDIO_INFO_RATE(&scope->ainfo);
    const int channels = GST_AUDIO_INFO_CHANNELS(&scope->ainfo);
    if (rate != stream.rate || channels != stream.channels) {
        stream.rate = rate;
        stream.channels = channels;
        stream.synced = false;
    }
    // Any timestamp is checked, with or without DISCONT: upstream elements do not always mark
    // a jump (a GAP's end, a looping source, a live source that lost samples).
    if (stream.synced && GST_CLOCK_TIME_IS_VALID(GST_BUFFER_PTS(buffer))) {
        const auto at = static_cast<int64_t>(
            gst_util_uint64_scale_round(GST_BUFFER_PTS(buffer), static_cast<guint64>(rate), GST_SECOND));
        const int64_t drift = at - stream.position;
        if (drift > rate / ResyncDivisor || drift < -(rate / ResyncDivisor)) stream.synced = false;
    }
    if (!stream.synced) Resync(stream, buffer);

    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        gst_buffer_unref(buffer);
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("cannot read an audio buffer"), (nullptr));
        return GST_FLOW_ERROR;
    }
    const bool isFloat = GST_AUDIO_INFO_IS_FLOAT(&scope->ainfo);
    const auto frameBytes = static_cast<std::size_t>(bytesPerFrame);
    const auto frames = static_cast<int64_t>(map.size / frameBytes);
    const int64_t end = stream.position + frames;
    const guint8* data = map.data;
    GstFlowReturn result = GST_FLOW_OK;
    while (result == GST_FLOW_OK) {
        const int64_t start = stream.origin + analysis::FrameStartSample(stream.next, rate, stream.fps);
        if (start >= end) break;
        const auto before = static_cast<std::size_t>(start - stream.position);
        PushSamples(stream, data, before, isFloat);
        data += before * frameBytes;
        stream.position = start;
        stream.analyser->Analyse(stream.history, analysis::SampleToMilliseconds(start, rate), stream.record);
        ++stream.next;
        result = DrawFrame(self, pad, start, bytesPerFrame);
        if (stream.refused) result = GST_FLOW_ERROR;
    }
    if (result == GST_FLOW_OK) {
        PushSamples(stream, data, static_cast<std::size_t>(end - stream.position), isFloat);
        stream.position = end;
    }
    gst_buffer_unmap(buffer, &map);
    gst_buffer_unref(buffer);
    return result;
}

void Finalize(GObject* object)
{
    GstNimbrelleVis* self = Self(object);
    g_free(self->modulePath);
    delete self->stream;
    G_OBJECT_CLASS(gst_nimbrelle_vis_parent_class)->finalize(object);
}

}  // namespace

static void gst_nimbrelle_vis_class_init(GstNimbrelleVisClass* klass)
{
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    GstAudioVisualizerClass* scopeClass = &klass->parent_class;

    objectClass->set_property = SetProperty;
    objectClass->get_property = GetProperty;
    objectClass->finalize = Finalize;
    elementClass->change_state = ChangeState;
    scopeClass->setup = Setup;
    scopeClass->render = Render;

    g_object_class_install_property(
        objectClass, PropModule,
        g_param_spec_string("module", "Module",
                            "Path of the visualisation module to draw with (default: the module installed "
                            "with this plugin); read when the element starts",
                            nullptr,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                     GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        objectClass, PropGain,
        g_param_spec_float("gain", "Gain", "Scale the audio before analysis", 0.0f, MaxGain, DefaultGain,
                           static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                    GST_PARAM_MUTABLE_PLAYING)));
    g_object_class_install_property(
        objectClass, PropBackground,
        g_param_spec_enum("background", "Background",
                          "What is behind the scene's light: blue (the frames as drawn, BGRx), black (the light "
                          "alone, BGRx) or transparent (straight alpha, BGRA); set before the element starts",
                          BackgroundType(), static_cast<gint>(Background::Blue),
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                   GST_PARAM_MUTABLE_READY)));

    gst_element_class_add_static_pad_template(elementClass, &SrcTemplate);
    gst_element_class_add_pad_template(elementClass, SinkTemplate());
    gst_element_class_set_static_metadata(elementClass, "Nimbrelle visualisation", "Visualization",
                                          "Draws a Nimbrelle module's 3-D scene of glows, rays and stars "
                                          "for the audio",
                                          "Nimbrelle developers");
}

static void gst_nimbrelle_vis_init(GstNimbrelleVis* self)
{
    self->modulePath = nullptr;
    self->gain = DefaultGain;
    self->background = static_cast<gint>(Background::Blue);
    self->stream = new Stream;
    // The module paints every pixel, so the base class's fading of the previous frame would
    // only cost time.
    g_object_set(self, "shader", 0, nullptr);

    GstPad* sink = gst_element_get_static_pad(GST_ELEMENT(self), "sink");
    self->baseChain = GST_PAD_CHAINFUNC(sink);
    self->baseEvent = GST_PAD_EVENTFUNC(sink);
    gst_pad_set_chain_function(sink, Chain);
    gst_pad_set_event_function(sink, SinkEvent);
    gst_object_unref(sink);

    GstPad* src = gst_element_get_static_pad(GST_ELEMENT(self), "src");
    self->baseSrcQuery = GST_PAD_QUERYFUNC(src);
    gst_pad_set_query_function(src, SrcQuery);
    gst_pad_add_probe(src, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM | GST_PAD_PROBE_TYPE_PULL),
                      NarrowDownstreamCaps, self, nullptr);
    gst_object_unref(src);
}

static gboolean PluginInit(GstPlugin* plugin)
{
    GST_DEBUG_CATEGORY_INIT(nimbrelle_vis_debug, "nimbrellevis", 0, "Nimbrelle visualisation");
    return gst_element_register(plugin, "nimbrellevis", GST_RANK_NONE, gst_nimbrelle_vis_get_type());
}

#ifndef NIMBRELLE_VERSION
#define NIMBRELLE_VERSION "0"
#endif
// GST_PLUGIN_DEFINE names the plugin's gettext domain after PACKAGE.
#define PACKAGE "nimbrelle"

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, nimbrelle, "Nimbrelle music visualisation", PluginInit,
                  NIMBRELLE_VERSION, "Proprietary", "Nimbrelle", "the Nimbrelle source tree")

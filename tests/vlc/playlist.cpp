// Plays files as one playlist in-process through libvlc, with the plug-in as the visualisation
// (VLC makes a new one for every track), and checks from VLC's log that each track opened the
// visualisation, drew frames and closed it, with no error from the plug-in.
//
//     nimbrelle_vlc_playlist PLUGIN_FOLDER OUTPUT_FOLDER FILE...
//
// Exit status 0 when all went so; the log lines of the plug-in are printed. Run under valgrind
// by the tests, which look for leaks and faults in the plug-in and its module.
#include <vlc/vlc.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Log {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int opened = 0;
    int closed = 0;
    int errors = 0;
    int drawn = 0;  // tracks whose close reported frames drawn
    std::vector<std::string> lines;
};

void OnLog(void* data, int level, const libvlc_log_t* context, const char* format, va_list args)
{
    const char* module = nullptr;
    const char* file = nullptr;
    unsigned line = 0;
    libvlc_log_get_context(context, &module, &file, &line);
    if (module == nullptr || std::string(module) != "nimbrelle") return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    auto* log = static_cast<Log*>(data);
    std::lock_guard lock(log->mutex);
    const std::string message = text;
    log->lines.push_back(message);
    if (level == LIBVLC_ERROR) ++log->errors;
    if (message.rfind("drawing with module ", 0) == 0) ++log->opened;
    if (message.rfind("drew ", 0) == 0) {
        ++log->closed;
        if (message.rfind("drew 0 ", 0) != 0) ++log->drawn;
    }
}

void OnEnd(const libvlc_event_t*, void* data)
{
    auto* log = static_cast<Log*>(data);
    std::lock_guard lock(log->mutex);
    log->done = true;
    log->ended.notify_all();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PLUGIN_FOLDER OUTPUT_FOLDER FILE...\n", argv[0]);
        return 2;
    }
    setenv("VLC_PLUGIN_PATH", argv[1], 1);
    const std::string out = argv[2];
    const std::string sound = "--audiofile-file=" + out + "/out.wav";
    const std::string pictures = "--yuv-file=" + out + "/out.rgb";
    const char* const options[] = {"--no-video-title-show", "--no-osd", "--text-renderer=tdummy", "--aout=afile", sound.c_str(),
                                   "--audio-visual=nimbrelle", "--nimbrelle-width=64", "--nimbrelle-height=36",
                                   "--vout=yuv", "--yuv-chroma=RV32", pictures.c_str()};
    libvlc_instance_t* vlc = libvlc_new(sizeof options / sizeof options[0], options);
    if (vlc == nullptr) {
        std::fprintf(stderr, "libvlc_new failed\n");
        return 1;
    }
    Log log;
    libvlc_log_set(vlc, OnLog, &log);

    libvlc_media_list_t* list = libvlc_media_list_new(vlc);
    const int tracks = argc - 3;
    for (int i = 3; i < argc; ++i) {
        libvlc_media_t* media = libvlc_media_new_path(vlc, argv[i]);
        libvlc_media_list_add_media(list, media);
        libvlc_media_release(media);
    }
    libvlc_media_list_player_t* player = libvlc_media_list_player_new(vlc);
    libvlc_media_list_player_set_media_list(player, list);
    libvlc_event_attach(libvlc_media_list_player_event_manager(player), libvlc_MediaListPlayerPlayed, OnEnd, &log);
    libvlc_media_list_player_play(player);
    bool finished;
    {
        std::unique_lock lock(log.mutex);
        finished = log.ended.wait_for(lock, std::chrono::minutes(10), [&log] { return log.done; });
    }
    libvlc_media_list_player_stop(player);
    libvlc_media_list_player_release(player);
    libvlc_media_list_release(list);
    libvlc_log_unset(vlc);
    libvlc_release(vlc);

    for (const std::string& line : log.lines) std::printf("nimbrelle: %s\n", line.c_str());
    std::printf("%d tracks: the visualisation opened %d times, closed %d times, drew frames %d times; %d errors\n",
                tracks, log.opened, log.closed, log.drawn, log.errors);
    if (!finished) std::printf("the playlist did not finish\n");
    return finished && log.opened == tracks && log.closed == tracks && log.drawn == tracks && log.errors == 0 ? 0
                                                                                                              : 1;
}

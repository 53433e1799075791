// The sound server behind SDL's audio, asked before SDL starts: PulseAudio, or PipeWire through
// pipewire-pulse. SDL's pulseaudio backend crashes while starting when the server has no
// default sink or no default source (every output unloaded, say), so `play` and `live` ask the
// server themselves first and keep SDL off it then.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace nimbrelle::host {

// How long the server is given to answer.
inline constexpr std::chrono::milliseconds SoundServerPatience{1000};

// What a server says of its defaults: the names of its default sink and source, when it has them.
struct SoundServerDefaults {
    std::optional<std::string> sink;
    std::optional<std::string> source;
};

// Asks the PulseAudio server that SDL would talk to (PULSE_SERVER, the user's runtime folder,
// client.conf), waiting at most `patience`; nullopt when none answers. Never starts a server.
std::optional<SoundServerDefaults> AskSoundServer(std::chrono::milliseconds patience = SoundServerPatience);

// Why SDL's pulseaudio backend cannot start on a server with these defaults ("the sound server
// has no output (no default sink)"), or nullopt when it can.
std::optional<std::string> MissingDefaults(const SoundServerDefaults& defaults);

// True when SDL may choose its pulseaudio backend: SDL_AUDIODRIVER is unset, empty or names it.
bool SdlMayUsePulseAudio();

// Standard error sent to /dev/null while SDL starts its audio and opens devices: without a
// sound server, SDL's ALSA backend lets ALSA print its own complaints, which would break the
// host's one-line messages. What failed reaches the user through SDL_GetError.
class SoundChatterMuted {
public:
    SoundChatterMuted();
    ~SoundChatterMuted();
    SoundChatterMuted(const SoundChatterMuted&) = delete;
    SoundChatterMuted& operator=(const SoundChatterMuted&) = delete;

private:
    int saved_ = -1;
};

}  // namespace nimbrelle::host

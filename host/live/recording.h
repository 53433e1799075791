// A live recording: the frames shown go to a FrameSink, the captured sound to a sound track
// file that becomes the video's sound when the recording is committed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "audio/sound_track.h"
#include "base/files.h"
#include "base/geometry.h"
#include "live/devices.h"
#include "live/live.h"
#include "output/png_sinks.h"
#include "output/video.h"

namespace nimbrelle::host {

class Recording {
public:
    // Frames of the options' size, sound at CaptureRate, into `target`.
    Recording(const OutputTarget& target, const LiveOptions& options) : size_(options.size)
    {
        if (target.kind == OutputKind::Video) {
            sound_ = MakeTempFile(std::filesystem::temp_directory_path(), "nimbrelle-live-", SoundTrackExtension);
            soundTrack_.emplace(sound_.Path(), CaptureRate);
            sink_ = MakeVideoSinkSoundLast(target, VideoSettingsFor(options, CaptureRate, "ultrafast"), sound_.Path());
        } else {
            sink_ = MakePngSequenceSink(target, size_, options.background);
        }
    }

    FrameGeometry Size() const { return size_; }
    int64_t Frames() const { return frames_; }

    void Sound(const float* stereo, std::size_t frames)
    {
        if (soundTrack_) soundTrack_->Write(stereo, frames);
    }
    void Silence(std::size_t frames)
    {
        if (soundTrack_) soundTrack_->WriteSilence(frames);
    }
    void Frame(const uint32_t* pixels) { sink_->Write(pixels, frames_++); }

    void Commit()
    {
        if (soundTrack_) soundTrack_->Close();
        sink_->Commit();
    }

private:
    FrameGeometry size_;
    TempPath sound_;  // declared first: removed after the sink (and its ffmpeg) has gone
    std::optional<SoundTrackWriter> soundTrack_;
    std::unique_ptr<FrameSink> sink_;
    int64_t frames_ = 0;
};

}  // namespace nimbrelle::host

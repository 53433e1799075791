#include "output/encoding.h"

#include "base/error.h"

namespace nimbrelle::host {

VideoCodec CodecOf(VideoContainer container)
{
    switch (container) {
    case VideoContainer::WebM:
        return VideoCodec::Vp9;
    case VideoContainer::QuickTime:
        return VideoCodec::ProRes;
    case VideoContainer::Mp4:
    case VideoContainer::Matroska:
        break;
    }
    return VideoCodec::H264;
}

std::string CodecName(VideoCodec codec)
{
    switch (codec) {
    case VideoCodec::Vp9:
        return "VP9";
    case VideoCodec::ProRes:
        return "ProRes 4444";
    case VideoCodec::H264:
        break;
    }
    return "H.264";
}

void CheckEncoderOptions(const OutputTarget& target, const CommandOptions& options)
{
    const std::string output = Quoted(target.path.string());
    if (target.kind != OutputKind::Video) {
        for (const auto& [given, name] : {std::pair{options.crf.has_value(), "--crf"}, std::pair{!options.preset.empty(), "--preset"}}) {
            if (given) {
                throw Error(std::string(name) + " does not apply to PNG output " + output +
                            ": PNG is lossless; leave " + name + " out");
            }
        }
        return;
    }
    const VideoCodec codec = CodecOf(target.container);
    if (options.background == picture::Background::Transparent && codec == VideoCodec::H264) {
        throw Error("--background transparent needs a format with an alpha channel, and " + output +
                    " would hold H.264, which has none: write .webm (VP9 with alpha), .mov (ProRes 4444) or PNG frames");
    }
    if (options.crf) {
        if (codec == VideoCodec::ProRes) {
            throw Error("--crf does not apply to " + output +
                        ": ProRes 4444 has no rate factor, its quality is set by the profile; leave --crf out");
        }
        const int highest = codec == VideoCodec::H264 ? 51 : 63;
        if (*options.crf > highest) {
            throw Error("invalid --crf " + std::to_string(*options.crf) + " for " + output + ": " + CodecName(codec) +
                        " takes 0 to " + std::to_string(highest));
        }
    }
    if (!options.preset.empty() && codec != VideoCodec::H264) {
        throw Error("--preset does not apply to " + output + ": it is an x264 speed preset, and " + CodecName(codec) +
                    (codec == VideoCodec::Vp9 ? " is always encoded at realtime speed settings" : " has none") +
                    "; leave --preset out");
    }
}

}  // namespace nimbrelle::host

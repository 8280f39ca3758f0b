#include "probe_report.h"

#include "whole_number.h"

namespace lmk {

ProbeFacts ProbeFactsFromPrintout(const CoderPrintout& printout) {
    ProbeFacts facts;
    for (const auto& stream : printout.streams) {
        if (stream.output) continue;
        facts.hasStreams = true;
        if (stream.kind == "Video" && stream.file == 0) ++facts.videoStreams;
    }
    if (const PrintedStream* video = printout.ChosenVideo()) {
        facts.hasVideo = true;
        facts.videoIndex = video->index;
        facts.pixelFormat = video->pixelFormat;
        facts.videoCodec = video->description.substr(0, video->description.find_first_of("( ,"));
        // The refusal the whole-number rule gives such digits.
        if (!video->sizeDigits.empty()) ParseWholeNumber(video->sizeDigits);
        facts.source = video->size;
        const std::optional<unsigned> bitrate =
            video->bitrate ? video->bitrate : printout.inputBitrate;
        if (bitrate && video->frameRate && video->size && video->size->width && video->size->height)
            facts.bitsPerPixel = *bitrate * 1000.0 / *video->frameRate /
                                 (static_cast<double>(video->size->width) * video->size->height);
        facts.sampleAspect = video->sampleAspect;
        facts.turned = video->turnedQuarter;
        if (facts.source && facts.turned) std::swap(facts.source->width, facts.source->height);
    }
    if (const PrintedStream* sound = printout.ChosenSound()) {
        facts.hasSound = true;
        facts.soundIndex = sound->index;
        facts.soundRate = sound->soundRate;
    }
    facts.durationSeconds = printout.inputDuration;
    facts.durationEstimated = printout.durationEstimated;
    return facts;
}

ProbeFacts ProbeFactsFromReport(std::string_view report, const std::vector<std::string>& names) {
    return ProbeFactsFromPrintout(ReadCoderPrintout(report, names));
}

std::optional<FrameArguments> FrameArgumentsFor(const ProbeFacts& facts, const Frame& target) {
    if (!facts.source) return std::nullopt;
    FrameArguments planned;
    Frame size = ShownFrame(*facts.source, facts.sampleAspect, facts.turned);
    FitFrame(size, target);
    planned.size = EvenSides(size);
    const std::string width = std::to_string(planned.size.width);
    const std::string height = std::to_string(planned.size.height);
    // Of several video streams (programmes, angles, a cover) the coder converts the one
    // fitted, and the sound it would take; subtitles and data stay behind.
    if (facts.videoStreams > 1 && facts.videoIndex) {
        planned.arguments = {"-map", "0:" + std::to_string(*facts.videoIndex)};
        if (facts.soundIndex)
            planned.arguments.insert(planned.arguments.end(),
                                     {"-map", "0:" + std::to_string(*facts.soundIndex)});
    }
    // Scaled to whole or even sides, a frame would keep its display aspect in pixels that are
    // not quite square: they are made square, whatever the source's were.
    planned.arguments.insert(planned.arguments.end(),
                             {"-vf", "scale=" + width + ":" + height + ",setsar=1"});
    return planned;
}

}  // namespace lmk

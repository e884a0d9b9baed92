#include "demux/mkv/mkv_tracks.h"

#include "demux/mkv/mkv_reader.h"

void KMkvVideo::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0x9A: flagInterlaced.Read(child); break;
        case 0x53B8: stereoMode.Read(child); break;
        case 0xB0: pixelWidth.Read(child); break;
        case 0xBA: pixelHeight.Read(child); break;
        case 0x54B0: displayWidth.Read(child); break;
        case 0x54BA: displayHeight.Read(child); break;
        case 0x54B2: displayUnit.Read(child); break;
        case 0x54B3: aspectRatioType.Read(child); break;
        case 0x2EB524: colourSpace.Read(child); break;
        case 0x2FB523: gammaValue.Read(child); break;
        case 0x2383E3: frameRate.Read(child); break;
        default: break;
        }
    });
}

KMkvAudio::KMkvAudio()
{
    SetDefault(samplingFrequency, 8000.0);
    SetDefault(channels, 1);
}

void KMkvAudio::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0xB5: samplingFrequency.Read(child); break;
        case 0x78B5: outputSamplingFrequency.Read(child); break;
        case 0x9F: channels.Read(child); break;
        case 0x7D7B: ReadEbmlBinary(child, channelPositions); break;
        case 0x6264: bitDepth.Read(child); break;
        default: break;
        }
    });
}

KMkvTrackEntry::KMkvTrackEntry()
{
    SetDefault(flagEnabled, 1);
    SetDefault(flagDefault, 1);
    SetDefault(flagLacing, 1);
}

void KMkvTrackEntry::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0xD7: trackNumber.Read(child); break;
        case 0x73C5: trackUid.Read(child); break;
        case 0x83: trackType.Read(child); break;
        case 0xB9: flagEnabled.Read(child); break;
        case 0x88: flagDefault.Read(child); break;
        case 0x9C: flagLacing.Read(child); break;
        case 0x6DE7: minCache.Read(child); break;
        case 0x6DF8: maxCache.Read(child); break;
        // Early muxers wrote DefaultDuration under the ID the Video record uses for FrameRate.
        case 0x23E383:
        case 0x2383E3: defaultDuration.Read(child); break;
        case 0x23314F: trackTimecodeScale.Read(child); break;
        case 0x536E: ReadEbmlUtf8(child, name); break;
        case 0x22B59C: ReplaceWithEbmlAscii(child, language); break;
        case 0x86: ReplaceWithEbmlAscii(child, codecId); break;
        case 0x63A2: ReadEbmlBinary(child, codecPrivate); break;
        case 0x258688: ReadEbmlUtf8(child, codecName); break;
        case 0x3A9697: ReadEbmlUtf8(child, codecSettings); break;
        case 0x3B4040: ReplaceWithEbmlAscii(child, codecInfoUrl); break;
        case 0x26B240: ReplaceWithEbmlAscii(child, codecDownloadUrl); break;
        case 0xAA: codecDecodeAll.Read(child); break;
        case 0x6FAB: trackOverlay.Read(child); break;
        case 0x56AA: codecDelay.Read(child); break;
        case 0x56BB: seekPreRoll.Read(child); break;
        case 0xE0:
            video.Parse(child);
            hasVideo = true;
            break;
        case 0xE1:
            audio.Parse(child);
            hasAudio = true;
            break;
        case 0x6D80: ParseContentEncodings(child, contentEncodings); break;
        default: break;
        }
    });
}

void ParseTracks(KEbmlElement& tracks, std::vector<KMkvTrackEntry>& out)
{
    ForEachChild(tracks, [&out](KEbmlElement& child) {
        if (child.id.value != 0xAE)
            return;
        out.emplace_back();
        out.back().Parse(child);
    });
}

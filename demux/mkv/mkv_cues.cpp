#include "demux/mkv/mkv_cues.h"

#include "demux/mkv/mkv_reader.h"

void KMkvCueReference::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0x96: refTime.Read(child); break;
        case 0x97: refCluster.Read(child); break;
        case 0x535F: refNumber.Read(child); break;
        case 0xEB: refCodecState.Read(child); break;
        default: break;
        }
    });
}

void KMkvCueTrackPositions::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0xF7: track.Read(child); break;
        case 0xF1: clusterPosition.Read(child); break;
        case 0xEA: codecState.Read(child); break;
        case 0xDB:
            references.emplace_back();
            references.back().Parse(child);
            break;
        default: break;
        }
    });
}

void KMkvCuePoint::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        if (child.id.value == 0xB3) {
            time.Read(child);
        } else if (child.id.value == 0xB7) {
            trackPositions.emplace_back();
            trackPositions.back().Parse(child);
        }
    });
}

void KMkvCues::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        if (child.id.value != 0xBB)
            return;
        points.emplace_back();
        points.back().Parse(child);
    });
}

#include "demux/mkv/mkv_segment.h"

#include <limits>

#include "demux/mkv/mkv_reader.h"

namespace {

// The SeekHead, Info and Tracks records sit at the head of the Segment; a file that keeps them
// further back is not looked through.
constexpr int kSegmentChildLimit = 100;
constexpr int kHeadRecordCount = 3;

}  // namespace

void KMkvSeekHead::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& seek) {
        if (seek.id.value != ebml_id::kSeek)
            return;
        KMkvSeekEntry entry;
        ForEachChild(seek, [&entry](KEbmlElement& field) {
            if (field.id.value == ebml_id::kSeekId)
                entry.seekId.Read(field);
            else if (field.id.value == ebml_id::kSeekPosition)
                entry.seekPosition.Read(field);
        });
        entries.push_back(entry);
    });
}

KMkvInfo::KMkvInfo()
{
    SetDefault(timecodeScale, 1000000);
}

void KMkvInfo::Parse(KEbmlElement& element)
{
    ForEachChild(element, [this](KEbmlElement& child) {
        switch (child.id.value) {
        case 0x73A4: ReadEbmlBinary(child, segmentUid); break;
        case 0x7384: ReadEbmlUtf8(child, segmentFilename); break;
        case 0x3CB923: ReadEbmlBinary(child, prevUid); break;
        case 0x3C83AB: ReadEbmlUtf8(child, prevFilename); break;
        case 0x3EB923: ReadEbmlBinary(child, nextUid); break;
        case 0x3E83BB: ReadEbmlUtf8(child, nextFilename); break;
        case 0x2AD7B1: timecodeScale.Read(child); break;
        case 0x4489: duration.Read(child); break;
        case 0x4461: dateUtc.Read(child); break;
        case 0x7BA9: ReadEbmlUtf8(child, title); break;
        case 0x4D80: ReadEbmlUtf8(child, muxingApp); break;
        case 0x5741: ReadEbmlUtf8(child, writingApp); break;
        default: break;
        }
    });
}

void ParseSegment(KEbmlElement& segment, KMkvSegment& record)
{
    record.dataPos = segment.dataPos;
    record.size = segment.size;
    auto child = segment.FirstChild();
    if (!child)
        return;
    int headRecords = 0;
    int seen = 0;
    do {
        segment.reader->Seek(child->dataPos);
        switch (child->id.value) {
        case ebml_id::kSeekHead:
            record.seekHeads.emplace_back();
            record.seekHeads.back().Parse(*child);
            ++headRecords;
            break;
        case ebml_id::kInfo:
            record.info.Parse(*child);
            ++headRecords;
            break;
        case ebml_id::kTracks:
            ParseTracks(*child, record.tracks);
            ++headRecords;
            break;
        case ebml_id::kCues:
            record.cues.emplace_back();
            record.cues.back().Parse(*child);
            break;
        default: break;
        }
    } while (headRecords < kHeadRecordCount && ++seen < kSegmentChildLimit && child->NextSibling());

    // A Segment that did not show all three head records is not trusted to have an index worth
    // following.
    if (headRecords < kHeadRecordCount)
        return;
    if (record.cues.empty()) {
        // Muxers may split the index into several Cues elements written back to back.
        if (auto cues = segment.FirstChild(ebml_id::kCues, /*scan*/ false)) {
            do {
                segment.reader->Seek(cues->dataPos);
                record.cues.emplace_back();
                record.cues.back().Parse(*cues);
            } while (cues->NextSibling(true));
        }
    }
    if (record.chapters.empty()) {
        if (auto chapters = segment.FirstChild(ebml_id::kChapters, /*scan*/ false)) {
            segment.reader->Seek(chapters->dataPos);
            record.chapters.emplace_back();
            record.chapters.back().Parse(*chapters);
        }
    }
    if (record.attachments.empty()) {
        if (auto attachments = segment.FirstChild(ebml_id::kAttachments, /*scan*/ false)) {
            segment.reader->Seek(attachments->dataPos);
            record.attachments.emplace_back();
            record.attachments.back().Parse(*attachments);
        }
    }
}

REFERENCE_TIME SegmentDuration(const KMkvInfo& info)
{
    const double duration = static_cast<double>(info.timecodeScale.value) * info.duration.value / 100.0;
    // A duration beyond the 64-bit range (a damaged float) counts as unknown.
    if (!(duration >= 0.0) || duration >= static_cast<double>(std::numeric_limits<REFERENCE_TIME>::max()))
        return 0;
    return static_cast<REFERENCE_TIME>(duration);
}

REFERENCE_TIME TicksToReferenceTime(std::int64_t ticks, std::uint64_t timecodeScale)
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::int64_t scale = timecodeScale > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(timecodeScale);
    if (scale != 0 && ticks != 0) {
        const std::int64_t limit = kMax / scale;
        if (ticks > limit)
            return kMax / 100;
        if (ticks < -limit)
            return -(kMax / 100);
    }
    return ticks * scale / 100;
}

#include "tools/vmx_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host/graph_script.h"
#include "host/json_writer.h"
#include "host/media_type_text.h"
#include "io/wide_text.h"

namespace vmx::tool {

using namespace vmx::host;

namespace {

std::string Hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string FilterName(const CFactoryTemplate& tmpl) { return Utf8FromWide(tmpl.m_Name); }

const char* KindName(SinkEvent::Kind kind)
{
    switch (kind) {
    case SinkEvent::Kind::Sample:
        return "sample";
    case SinkEvent::Kind::NewSegment:
        return "segment";
    case SinkEvent::Kind::EndOfStream:
        return "end_of_stream";
    case SinkEvent::Kind::BeginFlush:
        return "begin_flush";
    case SinkEvent::Kind::EndFlush:
        return "end_flush";
    }
    return "";
}

void WriteJsonMatroska(JsonWriter& json, const MatroskaInfo& info)
{
    json.Key("matroska").BeginObject();
    json.Key("editions").UInt(info.editionCount);
    json.Key("chapters").BeginArray();
    for (const ChapterLine& chapter : info.chapters) {
        json.BeginObject(JsonWriter::Layout::Compact);
        json.Key("edition").UInt(chapter.edition);
        json.Key("depth").Int(chapter.depth);
        json.Key("uid").UInt(chapter.uid);
        json.Key("start").Double(chapter.startSeconds);
        json.Key("end");
        chapter.endSeconds ? json.Double(*chapter.endSeconds) : json.Null();
        json.Key("title").String(chapter.title);
        json.Key("language").String(chapter.language);
        json.Key("hidden").Bool(chapter.hidden);
        json.Key("enabled").Bool(chapter.enabled);
        json.EndObject();
    }
    json.EndArray();
    json.Key("attachments").BeginArray();
    for (const AttachmentLine& attachment : info.attachments) {
        json.BeginObject(JsonWriter::Layout::Compact);
        json.Key("name").String(attachment.name);
        json.Key("mime_type").String(attachment.mimeType);
        json.Key("size").UInt(attachment.size);
        json.EndObject();
    }
    json.EndArray();
    json.Key("fonts").BeginArray();
    for (const FontLine& font : info.fonts) {
        json.BeginObject(JsonWriter::Layout::Compact);
        json.Key("family").String(font.family);
        json.Key("size").UInt(font.size);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void WriteJsonDetails(JsonWriter& json, const FilterDetails& details)
{
    if (details.matroska)
        WriteJsonMatroska(json, *details.matroska);
    if (details.oggChapters) {
        json.Key("chapters").BeginArray();
        for (const ChapterLine& chapter : *details.oggChapters) {
            json.BeginObject(JsonWriter::Layout::Compact);
            json.Key("start").Double(chapter.startSeconds);
            json.Key("end");
            chapter.endSeconds ? json.Double(*chapter.endSeconds) : json.Null();
            json.Key("title").String(chapter.title);
            json.EndObject();
        }
        json.EndArray();
    }
    json.Key("private_interface");
    if (details.privateInterface) {
        json.BeginObject();
        json.Key("name").String(details.privateInterface->name);
        for (const FilterProperty& property : details.privateInterface->properties) {
            json.Key(property.name);
            if (property.time)
                json.Int(*property.time);
            else if (property.number)
                json.UInt(*property.number);
            else
                json.String(property.value);
        }
        json.EndObject();
    } else {
        json.Null();
    }
    if (details.waitedForIndex) {
        json.Key("background_index");
        if (details.index) {
            json.BeginObject(JsonWriter::Layout::Compact);
            json.Key("finished").Bool(details.index->finished);
            json.Key("indexed_duration");
            details.index->indexed ? json.Int(*details.index->indexed) : json.Null();
            json.Key("seconds").Double(details.index->seconds);
            json.EndObject();
        } else {
            json.Null();
        }
    }
}

void WriteJsonEvent(JsonWriter& json, const PlayReport& report, const SinkEvent& event,
                    std::optional<size_t> samplesBefore = std::nullopt)
{
    json.BeginObject(JsonWriter::Layout::Compact);
    if (event.kind != SinkEvent::Kind::Sample)
        json.Key("kind").String(KindName(event.kind));
    if (event.kind == SinkEvent::Kind::Sample || event.kind == SinkEvent::Kind::NewSegment) {
        json.Key("start");
        event.startValid ? json.Int(event.start) : json.Null();
        json.Key("stop");
        event.stopValid ? json.Int(event.stop) : json.Null();
    }
    if (event.kind == SinkEvent::Kind::NewSegment)
        json.Key("rate").Double(event.rate);
    if (event.kind == SinkEvent::Kind::Sample) {
        json.Key("size").Int(event.length);
        json.Key("sync").Bool(event.syncPoint);
        json.Key("discontinuity").Bool(event.discontinuity);
        json.Key("preroll").Bool(event.preroll);
        json.Key("adler32").UInt(event.adler32);
    }
    if (!report.actions.empty()) {
        const std::optional<size_t> after = ActionBefore(report, event.arrival);
        json.Key("after");
        after ? json.UInt(*after) : json.Null();
    }
    if (samplesBefore)
        json.Key("samples_before").UInt(*samplesBefore);
    json.EndObject();
}

void PrintHexBlock(std::span<const BYTE> block, const char* indent)
{
    for (size_t offset = 0; offset < block.size(); offset += 16)
        std::printf("%s%04zx  %s\n", indent, offset,
                    HexBytes(block.subspan(offset, std::min<size_t>(16, block.size() - offset)), " ").c_str());
}

void PrintHeader(const std::string& path, const CFactoryTemplate& tmpl, const PlayReport& report, const char* prefix)
{
    std::printf("%sfile: %s\n", prefix, path.c_str());
    std::printf("%sfilter: %s %s\n", prefix, FilterName(tmpl).c_str(), GuidText(*tmpl.m_ClsID).c_str());
    if (report.duration)
        std::printf("%sduration: %s s\n", prefix, TimeText(*report.duration).c_str());
    else
        std::printf("%sduration: unknown\n", prefix);
}

void PrintMatroska(const MatroskaInfo& info)
{
    std::printf("chapters:%s\n", info.editionCount ? "" : " none");
    for (size_t edition = 0; edition < info.editionCount; ++edition) {
        std::printf("  edition %zu\n", edition);
        for (const ChapterLine& chapter : info.chapters) {
            if (chapter.edition != edition)
                continue;
            char end[32] = "?";
            if (chapter.endSeconds)
                std::snprintf(end, sizeof end, "%.6f", *chapter.endSeconds);
            std::printf("  %*s  %.6f - %s s: \"%s\" (%s)%s%s\n", chapter.depth * 2, "", chapter.startSeconds, end,
                        chapter.title.c_str(), chapter.language.c_str(), chapter.hidden ? " hidden" : "",
                        chapter.enabled ? "" : " disabled");
        }
    }
    std::printf("attachments:%s\n", info.attachments.empty() ? " none" : "");
    for (const AttachmentLine& attachment : info.attachments)
        std::printf("  %s, %s, %" PRIu64 " bytes\n", attachment.name.c_str(), attachment.mimeType.c_str(),
                    attachment.size);
    std::printf("registered fonts:%s\n", info.fonts.empty() ? " none" : "");
    for (const FontLine& font : info.fonts)
        std::printf("  %s, %zu bytes\n", font.family.empty() ? "(no family name)" : font.family.c_str(), font.size);
}

void PrintDetails(const FilterDetails& details)
{
    if (details.matroska)
        PrintMatroska(*details.matroska);
    if (details.oggChapters) {
        std::printf("chapters:%s\n", details.oggChapters->empty() ? " none" : "");
        for (const ChapterLine& chapter : *details.oggChapters) {
            char end[32] = "?";
            if (chapter.endSeconds)
                std::snprintf(end, sizeof end, "%.6f", *chapter.endSeconds);
            std::printf("  %.6f - %s s: \"%s\"\n", chapter.startSeconds, end, chapter.title.c_str());
        }
    }
    if (details.privateInterface) {
        std::printf("%s:\n", details.privateInterface->name.c_str());
        for (const FilterProperty& property : details.privateInterface->properties)
            std::printf("  %s: %s\n", property.name.c_str(), property.value.c_str());
    }
    if (!details.waitedForIndex)
        return;
    if (!details.index) {
        std::printf("background index: none for this file\n");
        return;
    }
    char indexed[64] = "unknown";
    if (details.index->indexed)
        std::snprintf(indexed, sizeof indexed, "%.6f s", static_cast<double>(*details.index->indexed) / 1e7);
    std::printf("background index: %s, indexed duration %s, after %.3f s\n",
                details.index->finished ? "finished" : "not finished within the timeout", indexed,
                details.index->seconds);
}

void PrintGraphEvent(const GraphEvent& event)
{
    std::printf("graph-event, %s, %" PRIdPTR ", %" PRIdPTR "\n", Hex32(static_cast<std::uint32_t>(event.code)).c_str(),
                static_cast<std::intptr_t>(event.param1), static_cast<std::intptr_t>(event.param2));
}

}  // namespace

std::string TimeText(REFERENCE_TIME time)
{
    char text[64];
    std::snprintf(text, sizeof text, "%" PRId64 ", %.6f", static_cast<std::int64_t>(time), time / 1e7);
    return text;
}

void WriteJsonReport(const CFactoryTemplate& tmpl, const PlayReport& report, bool played, const FilterDetails* details)
{
    JsonWriter json;
    using Layout = JsonWriter::Layout;
    json.BeginObject();
    json.Key("filter").String(FilterName(tmpl));
    json.Key("clsid").String(GuidText(*tmpl.m_ClsID));
    json.Key("duration");
    report.duration ? json.Int(*report.duration) : json.Null();
    if (played) {
        json.Key("actions").BeginArray();
        for (const ActionRecord& action : report.actions) {
            json.BeginObject(Layout::Compact);
            json.Key("action").String(action.text);
            json.Key("note").String(action.note);
            json.EndObject();
        }
        json.EndArray();
    }
    json.Key("pins").BeginArray();
    for (const PinReport& pin : report.pins) {
        json.BeginObject();
        json.Key("index").UInt(pin.index);
        json.Key("name").String(pin.name);
        json.Key("media_types").BeginArray();
        for (const CMediaType& mt : pin.mediaTypes) {
            json.BeginObject(Layout::Compact);
            json.Key("major").String(GuidText(mt.majortype));
            json.Key("subtype").String(GuidText(mt.subtype));
            json.Key("format").String(GuidText(mt.formattype));
            json.Key("fixed_size").Bool(mt.bFixedSizeSamples != FALSE);
            json.Key("temporal_compression").Bool(mt.bTemporalCompression != FALSE);
            json.Key("sample_size").UInt(mt.lSampleSize);
            json.Key("format_block").String(HexBytes(FormatBlock(mt)));
            json.EndObject();
        }
        json.EndArray();
        // Flushes, NewSegments and end of stream, each with the number of samples before it.
        json.Key("events").BeginArray();
        size_t samples = 0;
        for (const SinkEvent& event : pin.events) {
            if (event.kind == SinkEvent::Kind::Sample) {
                ++samples;
                continue;
            }
            WriteJsonEvent(json, report, event, samples);
        }
        json.EndArray();
        json.Key("samples").BeginArray();
        for (const SinkEvent& event : pin.events)
            if (event.kind == SinkEvent::Kind::Sample)
                WriteJsonEvent(json, report, event);
        json.EndArray();
        json.Key("end_of_stream");
        played ? json.Bool(pin.endOfStream) : json.Null();
        json.EndObject();
    }
    json.EndArray();
    json.Key("events").BeginArray();
    for (const GraphEvent& event : report.graphEvents) {
        json.BeginObject(Layout::Compact);
        json.Key("code").Int(event.code);
        json.Key("param1").Int(event.param1);
        json.Key("param2").Int(event.param2);
        // Where it arrived: how many of each pin's listed samples came before it.
        json.Key("samples_before").BeginArray();
        for (const PinReport& pin : report.pins) {
            auto earlierSample = [&event](const SinkEvent& sunk) {
                return sunk.kind == SinkEvent::Kind::Sample && sunk.arrival < event.arrival;
            };
            json.UInt(static_cast<std::uint64_t>(std::count_if(pin.events.begin(), pin.events.end(), earlierSample)));
        }
        json.EndArray();
        json.EndObject();
    }
    json.EndArray();
    if (details)
        WriteJsonDetails(json, *details);
    json.EndObject();
    std::fputs(json.Text().c_str(), stdout);
}

void PrintInfo(const std::string& path, const CFactoryTemplate& tmpl, const PlayReport& report, bool verbose,
               const FilterDetails& details)
{
    PrintHeader(path, tmpl, report, "");
    for (const PinReport& pin : report.pins) {
        std::printf("pin %zu: %s\n", pin.index, pin.name.c_str());
        for (size_t t = 0; t < pin.mediaTypes.size(); ++t) {
            const std::vector<std::string> lines = DescribeMediaType(pin.mediaTypes[t]);
            for (size_t l = 0; l < lines.size(); ++l) {
                if (l == 0)
                    std::printf("  type %zu: %s\n", t, lines[l].c_str());
                else
                    std::printf("    %s\n", lines[l].c_str());
            }
            if (verbose)
                PrintHexBlock(FormatBlock(pin.mediaTypes[t]), "    ");
        }
        if (pin.mediaTypes.empty())
            std::printf("  no media types offered\n");
    }
    PrintDetails(details);
}

void PrintPacketTable(const std::string& path, const CFactoryTemplate& tmpl, const PlayReport& report)
{
    PrintHeader(path, tmpl, report, "# ");
    for (size_t i = 0; i < report.actions.size(); ++i)
        std::printf("# action %zu: %s%s%s\n", i, report.actions[i].text.c_str(), report.actions[i].note.empty() ? "" : ": ",
                    report.actions[i].note.c_str());
    std::printf("# pin, kind, start (100 ns), start (s), stop (100 ns), stop (s), size, sync, discontinuity, "
                "preroll, adler32\n");
    std::printf("# pin, action, what the graph did: before the events that followed it\n");
    std::printf("# graph-event, code, param1, param2: before the first listed line that arrived after it\n");
    // The pins are listed one after the other, so an event lands in the listing of the first pin
    // that still had lines to deliver when it arrived.
    size_t nextGraphEvent = 0;
    auto printGraphEventsBefore = [&](std::uint64_t arrival) {
        for (; nextGraphEvent < report.graphEvents.size() && report.graphEvents[nextGraphEvent].arrival < arrival;
             ++nextGraphEvent)
            PrintGraphEvent(report.graphEvents[nextGraphEvent]);
    };
    for (const PinReport& pin : report.pins) {
        if (FAILED(pin.connection))
            std::printf("# pin %zu (%s) not connected: %s\n", pin.index, pin.name.c_str(),
                        Hex32(static_cast<std::uint32_t>(pin.connection)).c_str());
        std::optional<size_t> lastAction;
        for (const SinkEvent& event : pin.events) {
            printGraphEventsBefore(event.arrival);
            const std::optional<size_t> action = ActionBefore(report, event.arrival);
            if (action && action != lastAction)
                std::printf("%zu, action, %s\n", pin.index, report.actions[*action].text.c_str());
            lastAction = action;
            switch (event.kind) {
            case SinkEvent::Kind::NewSegment:
                std::printf("%zu, segment, %s, %s, rate %g\n", pin.index, TimeText(event.start).c_str(),
                            TimeText(event.stop).c_str(), event.rate);
                break;
            case SinkEvent::Kind::Sample:
                std::printf("%zu, sample, %s, %s, %d, %d, %d, %d, %08x\n", pin.index,
                            event.startValid ? TimeText(event.start).c_str() : "-, -",
                            event.stopValid ? TimeText(event.stop).c_str() : "-, -", static_cast<int>(event.length),
                            event.syncPoint, event.discontinuity, event.preroll, static_cast<unsigned>(event.adler32));
                break;
            case SinkEvent::Kind::EndOfStream:
                std::printf("%zu, end-of-stream\n", pin.index);
                break;
            case SinkEvent::Kind::BeginFlush:
                std::printf("%zu, begin-flush\n", pin.index);
                break;
            case SinkEvent::Kind::EndFlush:
                std::printf("%zu, end-flush\n", pin.index);
                break;
            }
        }
    }
    for (; nextGraphEvent < report.graphEvents.size(); ++nextGraphEvent)
        PrintGraphEvent(report.graphEvents[nextGraphEvent]);
}

}  // namespace vmx::tool

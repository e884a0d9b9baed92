// What the conformance tests share: ffprobe's packet tables, the samples a pin delivered, and
// playing a fixture through the same code path as the vmx tool.
#pragma once

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/file_player.h"
#include "host/recording_sink.h"
#include "host/source_factory.h"

namespace vmx::test {

inline const std::string kFixtureDir = std::string(VMX_FIXTURES) + "/";

constexpr REFERENCE_TIME kSecond = 10000000;

struct RefPacket {
    REFERENCE_TIME start;  // 100 ns units
    LONGLONG pos;
    int size;
    std::uint32_t adler32;
};

struct Reference {
    std::vector<RefPacket> packets;
    int sampleRate = 0;
    int channels = 0;
};

inline std::vector<BYTE> FileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bytes of tests/fixtures/<name>.
inline std::vector<BYTE> FixtureBytes(const std::string& name) { return FileBytes(kFixtureDir + name); }

// ffprobe's table of a fixture: tests/fixtures/<name>.ffprobe.json.
inline nlohmann::json LoadTable(const std::string& name)
{
    std::ifstream in(kFixtureDir + name + ".ffprobe.json");
    return nlohmann::json::parse(in);
}

inline Reference LoadReference(const std::string& name)
{
    const nlohmann::json doc = LoadTable(name);
    Reference ref;
    const nlohmann::json& stream = doc["streams"][0];
    ref.sampleRate = stream["sample_rate"].get<int>();
    ref.channels = stream["channels"].get<int>();
    std::string timeBase = stream["time_base"].get<std::string>();
    long long denominator = std::stoll(timeBase.substr(timeBase.find('/') + 1));
    for (const nlohmann::json& packet : doc["packets"]) {
        std::string hash = packet["data_hash"].get<std::string>();
        ref.packets.push_back({packet.value("pts", 0LL) * 10000000LL / denominator, packet["pos"].get<long long>(),
                               packet["size"].get<int>(),
                               static_cast<std::uint32_t>(std::stoul(hash.substr(hash.find(':') + 1), nullptr, 16))});
    }
    return ref;
}

// One packet of an ffprobe table of a multi-stream file.
struct RefFrame {
    REFERENCE_TIME start;  // 100-ns units, truncated toward zero (file time)
    REFERENCE_TIME decodeTime;  // the same for dts, where the table has one
    long long pts;              // in the stream's time base, as the table gives it (else its dts)
    bool hasTime;
    int size;
    std::uint32_t adler32;
    bool key;
    int laceIndex;         // ffprobe gives every frame of a Matroska lace its block's position
    REFERENCE_TIME tick;   // one unit of the stream's time base
    LONGLONG pos;          // -1 when ffprobe gives none
};

// ffprobe's packets of tests/fixtures/<name>.ffprobe.json per stream index, in file order.
inline std::map<int, std::vector<RefFrame>> LoadFrames(const std::string& name, std::map<int, std::string>* kinds = nullptr)
{
    const nlohmann::json doc = LoadTable(name);
    std::map<int, std::pair<long long, long long>> timeBases;
    for (const nlohmann::json& stream : doc["streams"]) {
        const std::string base = stream["time_base"].get<std::string>();
        const auto slash = base.find('/');
        timeBases[stream["index"].get<int>()] = {std::stoll(base.substr(0, slash)), std::stoll(base.substr(slash + 1))};
        if (kinds)
            (*kinds)[stream["index"].get<int>()] = stream["codec_type"].get<std::string>();
    }
    std::map<int, std::vector<RefFrame>> frames;
    std::map<int, long long> lastPos;
    for (const nlohmann::json& packet : doc["packets"]) {
        const int index = packet["stream_index"].get<int>();
        const auto [num, den] = timeBases[index];
        const std::string hash = packet["data_hash"].get<std::string>();
        RefFrame frame{};
        frame.hasTime = packet.contains("pts");
        if (frame.hasTime) {
            frame.pts = packet["pts"].get<long long>();
            frame.start = static_cast<REFERENCE_TIME>(static_cast<__int128>(frame.pts) * num * 10000000 / den);
        }
        if (!frame.hasTime && packet.contains("dts"))
            frame.pts = packet["dts"].get<long long>();
        if (packet.contains("dts"))
            frame.decodeTime = static_cast<REFERENCE_TIME>(static_cast<__int128>(packet["dts"].get<long long>()) * num * 10000000 / den);
        frame.size = packet["size"].get<int>();
        frame.adler32 = static_cast<std::uint32_t>(std::stoul(hash.substr(hash.find(':') + 1), nullptr, 16));
        frame.key = packet["flags"].get<std::string>().find('K') != std::string::npos;
        frame.tick = static_cast<REFERENCE_TIME>(std::ceil(static_cast<double>(num) * 1e7 / static_cast<double>(den)));
        frame.pos = packet.contains("pos") ? packet["pos"].get<long long>() : -1;
        auto& stream = frames[index];
        frame.laceIndex = !stream.empty() && frame.pos >= 0 && frame.pos == lastPos[index] ? stream.back().laceIndex + 1 : 0;
        lastPos[index] = frame.pos;
        stream.push_back(frame);
    }
    return frames;
}

inline std::vector<host::SinkEvent> SamplesOf(const host::PinReport& pin)
{
    std::vector<host::SinkEvent> samples;
    for (const host::SinkEvent& event : pin.events)
        if (event.kind == host::SinkEvent::Kind::Sample)
            samples.push_back(event);
    return samples;
}

inline const host::SinkEvent* FirstSegment(const host::PinReport& pin)
{
    for (const host::SinkEvent& event : pin.events)
        if (event.kind == host::SinkEvent::Kind::NewSegment)
            return &event;
    return nullptr;
}

// Bytes as an ffprobe table names their checksum ("adler32:0123abcd").
inline std::string Adler32Text(std::span<const BYTE> bytes)
{
    char text[24];
    std::snprintf(text, sizeof text, "adler32:%08x", host::Adler32(bytes));
    return text;
}

// Plays tests/fixtures/<file> with the named filter and keeps the sample bytes.
inline host::PlayResult PlayFixture(const std::string& file, const char* filter, host::PlayOptions options = {})
{
    host::OpenedSource source = host::OpenSourceFile(kFixtureDir + file, filter);
    if (!source) {
        host::PlayResult failed;
        failed.error = source.error;
        return failed;
    }
    options.keepSampleBytes = true;
    options.timeoutMs = 20000;
    return host::PlaySource(source.filter.Get(), options);
}

}  // namespace vmx::test

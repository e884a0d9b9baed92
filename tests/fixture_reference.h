// What the conformance tests share: ffprobe's packet tables, the samples a pin delivered, and
// playing a fixture through the same code path as the vmx tool.
#pragma once

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/file_player.h"
#include "host/source_factory.h"

namespace vmx::test {

inline const std::string kFixtureDir = std::string(VMX_FIXTURES) + "/";

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

// tests/fixtures/<name>.ffprobe.json
inline Reference LoadReference(const std::string& name)
{
    std::ifstream in(kFixtureDir + name + ".ffprobe.json");
    nlohmann::json doc = nlohmann::json::parse(in);
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

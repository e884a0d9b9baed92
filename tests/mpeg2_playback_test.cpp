// Transport streams (and program streams) through the second MPEG filter: pins named by PID and
// language, frames cut per codec against ffprobe's unparsed packet tables, the interpolation
// seek, threads, and damaged files.
#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>

#include "demux/mpeg2/mpeg2_filter.h"
#include "framework/format_blocks.h"
#include "io/wide_text.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using nlohmann::json;
using vmx::test::kFixtureDir;
using vmx::test::PlaySession;
using vmx::test::SamplesOf;

constexpr REFERENCE_TIME kSecond = 10000000;

json Table(const std::string& file)
{
    std::ifstream in(kFixtureDir + file.substr(0, file.rfind('.')) + ".ffprobe.json");
    return json::parse(in);
}

std::uint32_t HexHash(const std::string& text) { return static_cast<std::uint32_t>(std::stoul(text.substr(text.find(':') + 1), nullptr, 16)); }

const json* Entry(const json& table, int index, const std::string& form)
{
    if (table.contains("elementary"))
        for (const json& entry : table["elementary"])
            if (entry["stream_index"].get<int>() == index && entry["form"] == form)
                return &entry;
    return nullptr;
}

struct Expected {
    size_t size;
    std::uint32_t adler32;
    std::optional<REFERENCE_TIME> start;
};

// 100-ns time of a 90 kHz stamp from the shared first time, as the filter computes it.
REFERENCE_TIME TimeOf(long long pts, long long first) { return (pts - first) * 1000 / 9; }

}  // namespace

TEST(Mpeg2Playback, EveryPinDeliversItsStreamsFrames)
{
    const char* files[] = {"mpeg/ts-h264-aac.ts", "mpeg/ts-mpeg2-mp2.ts", "mpeg/ts-ac3x2.ts", "mpeg/m2ts-h264-aac.m2ts",
                           "ts/mpeg2-dts.ts",     "ts/eac3.ts",           "ts/audio-only.ts", "ts/h264-1080.ts",
                           "ts/ac3-languages.ts", "ts/two-video.ts"};
    for (const std::string file : files) {
        SCOPED_TRACE(file);
        const json table = Table(file);
        // The streams with pins: one video stream (the smaller PID), every audio stream but
        // E-AC-3, in PID order; the shared first time is the smallest PTS of the streams kept.
        std::vector<const json*> streams;
        bool video = false;
        for (const json& stream : table["streams"]) {
            const bool isVideo = stream.contains("width");
            if (stream["codec_name"] == "eac3" || (isVideo && video))
                continue;
            video = video || isVideo;
            streams.push_back(&stream);
        }
        const auto pidOf = [](const json* s) { return std::stoul(s->at("id").get<std::string>(), nullptr, 16); };
        std::sort(streams.begin(), streams.end(), [&](const json* a, const json* b) { return pidOf(a) < pidOf(b); });
        long long first = -1;
        for (const json& packet : table["packets"])
            for (const json* stream : streams)
                if (packet["stream_index"] == stream->at("index") && packet.contains("pts")
                    && (first < 0 || packet["pts"].get<long long>() < first))
                    first = packet["pts"].get<long long>();

        const PlayResult played = vmx::test::PlayFixture(file, "mpeg2");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), streams.size());
        for (size_t p = 0; p < streams.size(); ++p) {
            const json& stream = *streams[p];
            const int index = stream["index"].get<int>();
            const PinReport& pin = played.report.pins[p];
            const std::string codec = stream["codec_name"].get<std::string>();
            SCOPED_TRACE(pin.name + " " + codec);
            // "Video (256)", "Audio /eng (4352)": the PID in decimal and the PMT's language.
            const std::string language = stream.contains("language") ? " /" + stream["language"].get<std::string>() : "";
            EXPECT_EQ(pin.name, std::string(stream.contains("width") ? "Video" : "Audio") + language + " ("
                                    + std::to_string(pidOf(&stream)) + ")");
            const auto samples = SamplesOf(pin);
            std::vector<Expected> expected;
            std::vector<std::pair<long long, size_t>> pes;  // pts (or -1) and payload size
            for (const json& packet : table["packets"])
                if (packet["stream_index"].get<int>() == index)
                    pes.push_back({packet.value("pts", -1LL), packet["size"].get<size_t>()});
            if (const json* au = Entry(table, index, "h264-au")) {
                // Access units from one delimiter to the next, start codes turned into lengths;
                // the first starts the segment at 0 and is a key frame.
                const json& sizes = au->at("units");
                size_t k = 0;
                for (const json& packet : table["packets"]) {
                    if (packet["stream_index"].get<int>() != index || k >= sizes.size())
                        continue;
                    expected.push_back({sizes[k].get<size_t>(), HexHash(au->at("hashes")[k].get<std::string>()),
                                        k == 0 ? 0 : TimeOf(packet["pts"].get<long long>(), first)});
                    ++k;
                }
                ASSERT_FALSE(samples.empty());
                EXPECT_TRUE(samples.front().syncPoint);
            } else if (const json* aac = Entry(table, index, "adts-raw")) {
                // Each ADTS frame without its header; the PES time on its first frame, the others
                // 1024 samples apart.
                const double rate = stream["sample_rate"].get<double>();
                const json& units = aac->at("units");
                size_t unit = 0;
                for (const auto& [pts, size] : pes) {
                    size_t used = 0;
                    for (long long n = 0; used < size && unit < units.size(); ++n, ++unit) {
                        const size_t length = units[unit].get<size_t>();
                        expected.push_back({length, 0, TimeOf(pts, first) + static_cast<REFERENCE_TIME>(n * 1024 * 10000000LL / static_cast<long long>(rate))});
                        used += length + 7;
                    }
                }
                std::uint32_t adler = adler32(0, nullptr, 0);
                for (const SinkEvent& sample : samples)
                    adler = adler32(adler, sample.bytes.data(), static_cast<uInt>(sample.bytes.size()));
                EXPECT_EQ(adler, HexHash(aac->at("adler32").get<std::string>()));
            } else {
                // One PES payload a frame (each begins at a picture start code or AC-3 sync).
                for (const json& packet : table["packets"])
                    if (packet["stream_index"].get<int>() == index)
                        expected.push_back({packet["size"].get<size_t>(), HexHash(packet["data_hash"].get<std::string>()),
                                            packet.contains("pts") ? std::optional(TimeOf(packet["pts"].get<long long>(), first)) : std::nullopt});
            }
            ASSERT_EQ(samples.size(), expected.size());
            for (size_t k = 0; k < samples.size(); ++k) {
                SCOPED_TRACE(k);
                EXPECT_EQ(static_cast<size_t>(samples[k].length), expected[k].size);
                if (expected[k].adler32) {
                    EXPECT_EQ(samples[k].adler32, expected[k].adler32);
                }
                ASSERT_EQ(samples[k].startValid, expected[k].start.has_value());
                if (expected[k].start) {
                    EXPECT_EQ(samples[k].start, *expected[k].start);
                }
            }
        }
    }
}

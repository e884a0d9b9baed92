// Matroska fixtures played through the recording sinks against ffprobe's packet tables: per
// stream the same frames (laced blocks split), times less the first Cluster's time, key frame
// flags; seeks through the Cues and without them; damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "demux/mkv/mkv_filter.h"
#include "tests/fixture_reference.h"

namespace {

using nlohmann::json;
using namespace vmx::host;
using vmx::test::kFixtureDir;
using vmx::test::SamplesOf;

struct RefFrame {
    REFERENCE_TIME start;  // 100-ns units, as ffprobe prints them (file time)
    bool hasTime;
    int size;
    std::uint32_t adler32;
    bool key;
    int laceIndex;            // ffprobe gives every frame of a lace its block's position
    REFERENCE_TIME tick;      // one unit of the stream's time base
};

// ffprobe's packets per stream index, in file order.
std::map<int, std::vector<RefFrame>> LoadFrames(const std::string& name, std::map<int, std::string>* kinds = nullptr)
{
    std::ifstream in(kFixtureDir + "mkv/" + name + ".ffprobe.json");
    const json doc = json::parse(in);
    std::map<int, std::pair<long long, long long>> timeBases;
    for (const json& stream : doc["streams"]) {
        const std::string base = stream["time_base"].get<std::string>();
        const auto slash = base.find('/');
        timeBases[stream["index"].get<int>()] = {std::stoll(base.substr(0, slash)), std::stoll(base.substr(slash + 1))};
        if (kinds)
            (*kinds)[stream["index"].get<int>()] = stream["codec_type"].get<std::string>();
    }
    std::map<int, std::vector<RefFrame>> frames;
    std::map<int, long long> lastPos;
    for (const json& packet : doc["packets"]) {
        const int index = packet["stream_index"].get<int>();
        const auto [num, den] = timeBases[index];
        const std::string hash = packet["data_hash"].get<std::string>();
        RefFrame frame{};
        frame.hasTime = packet.contains("pts");
        if (frame.hasTime)
            frame.start = static_cast<REFERENCE_TIME>(std::llround(packet["pts"].get<double>() * num * 1e7 / den));
        frame.size = packet["size"].get<int>();
        frame.adler32 = static_cast<std::uint32_t>(std::stoul(hash.substr(hash.find(':') + 1), nullptr, 16));
        frame.key = packet["flags"].get<std::string>().find('K') != std::string::npos;
        frame.tick = static_cast<REFERENCE_TIME>(std::ceil(num * 1e7 / den));
        auto& stream = frames[index];
        const long long pos = packet["pos"].get<long long>();
        frame.laceIndex = !stream.empty() && packet.contains("pos") && pos == lastPos[index] ? stream.back().laceIndex + 1 : 0;
        lastPos[index] = pos;
        stream.push_back(frame);
    }
    return frames;
}

std::string FileOf(const std::string& name) { return "mkv/" + name + (name == "vp8-vorbis" ? ".webm" : ".mkv"); }

REFERENCE_TIME StartOffsetOf(const std::string& file)
{
    OpenedSource source = OpenSourceFile(kFixtureDir + file, "mkv");
    auto* filter = source ? dynamic_cast<CMKV_Filter*>(source.filter.Get()) : nullptr;
    return filter ? filter->StartOffset() : 0;
}

class MkvPlayback : public testing::TestWithParam<const char*> {};

// Every stream's frames arrive whole, in order, at ffprobe's times less the start offset (the
// first Cluster's Timecode, which our clock starts from). Laced frames share their block's span
// evenly where ffprobe counts the track's default duration, so they may differ by a rounding.
TEST_P(MkvPlayback, FramesAndTimesMatchTheReference)
{
    const std::string name = GetParam();
    std::map<int, std::string> kinds;
    const auto reference = LoadFrames(name, &kinds);
    const std::string file = FileOf(name);
    const REFERENCE_TIME offset = StartOffsetOf(file);
    const PlayResult played = vmx::test::PlayFixture(file, "mkv");
    ASSERT_TRUE(played.Succeeded()) << played.error;

    size_t pin = 0;
    for (const auto& [index, frames] : reference) {
        if (kinds[index] == "attachment")
            continue;
        ASSERT_LT(pin, played.report.pins.size());
        const PinReport& report = played.report.pins[pin++];
        SCOPED_TRACE(name + ", " + report.name);
        EXPECT_TRUE(report.endOfStream);
        const auto samples = SamplesOf(report);
        ASSERT_EQ(samples.size(), frames.size());
        for (size_t k = 0; k < frames.size(); ++k) {
            ASSERT_EQ(samples[k].length, frames[k].size) << k;
            ASSERT_EQ(samples[k].adler32, frames[k].adler32) << k;
            ASSERT_TRUE(samples[k].startValid) << k;
            if (frames[k].laceIndex == 0) {
                ASSERT_TRUE(frames[k].hasTime);
                EXPECT_NEAR(static_cast<double>(samples[k].start), static_cast<double>(frames[k].start - offset),
                            static_cast<double>(frames[k].tick))
                    << k;
            } else {
                // Frames of a lace split their block's span evenly, where ffprobe counts each
                // frame's own duration: they lie inside the span, in order.
                EXPECT_GT(samples[k].start, samples[k - 1].start) << k;
                EXPECT_FALSE(samples[k].syncPoint) << k;
                const size_t next = k + 1;
                if (next < frames.size() && frames[next].laceIndex == 0) {
                    EXPECT_LT(samples[k].start, samples[next].start) << k;
                }
            }
            if (kinds[index] == "video") {
                EXPECT_EQ(samples[k].syncPoint, frames[k].key) << k;
            }
        }
    }
    EXPECT_EQ(pin, played.report.pins.size());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MkvPlayback,
                         testing::Values("h264-aac", "mpeg4-mp3", "mpeg2-ac3", "vp8-vorbis", "theora-flac", "vfw",
                                         "pcm-int", "eac3", "tta", "subtitles", "default-duration", "zlib-private",
                                         "zlib-frames", "laced-xiph", "laced-ebml", "laced-fixed", "blockgroups",
                                         "no-cues", "live-unknown-size", "nonzero-start", "chapters-attachments"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace

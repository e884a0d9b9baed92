// The ASF filter on the Windows Media reader (here the platform layer's own): the reader's
// streams and samples against ffprobe's packets, seeks, and its threads.
#include <gtest/gtest.h>

#include "demux/asf_wm/asf_filter.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using vmx::test::LoadFrames;
using vmx::test::PlaySession;
using vmx::test::SamplesOf;

constexpr REFERENCE_TIME kSecond = 10000000;

}  // namespace

TEST(AsfWmPlayback, TheReadersSamplesAreFfprobesPackets)
{
    // The reader takes off the preroll as ffprobe does: times are ffprobe's. It selects one
    // audio stream per language and the filter keeps the first audio stream only.
    struct Case {
        const char* file;
        std::vector<std::pair<std::string, int>> pins;  // name, ffprobe stream index
    };
    const Case cases[] = {
        {"wmv2-wma2.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
        {"msmpeg4v3-mp3.asf", {{"Video Pin", 0}, {"Audio Pin", 1}}},
        {"audio-only.wma", {{"Audio Pin", 0}}},
        {"small-packets.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
        {"two-languages.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
        {"two-audio-same-language.wmv", {{"Video Pin", 0}, {"Audio Pin", 2}}},
        {"compressed-payloads.wmv", {{"Audio Pin", 0}}},
        {"spread-audio.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
        {"keys-10s.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string name(c.file);
        const auto frames = LoadFrames("asf/" + name.substr(0, name.rfind('.')));
        const PlayResult played = vmx::test::PlayFixture("asf/" + name, "asf");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), c.pins.size());
        for (size_t p = 0; p < c.pins.size(); ++p) {
            const PinReport& pin = played.report.pins[p];
            EXPECT_EQ(pin.name, c.pins[p].first);
            const auto& expected = frames.at(c.pins[p].second);
            const auto samples = SamplesOf(pin);
            ASSERT_EQ(samples.size(), expected.size()) << pin.name;
            for (size_t k = 0; k < samples.size(); ++k) {
                SCOPED_TRACE(k);
                EXPECT_EQ(samples[k].length, expected[k].size);
                EXPECT_EQ(samples[k].adler32, expected[k].adler32);
                EXPECT_EQ(samples[k].start, expected[k].start);
                EXPECT_EQ(samples[k].syncPoint, expected[k].key);
                // The first sample of every pin after a start is a discontinuity (the reader
                // marks the first of all).
                EXPECT_EQ(samples[k].discontinuity, k == 0);
            }
        }
    }
}

TEST(AsfWmSeeking, SeeksRestartTheReaderAtTheKeyFrameBefore)
{
    // By the Simple Index, and without one by the index the parser builds as the file opens.
    for (const char* file : {"keys-10s", "no-index"}) {
        SCOPED_TRACE(file);
        const auto frames = LoadFrames(std::string("asf/") + file);
        const auto& video = frames.at(0);
        PlaySession session(std::string("asf/") + file + ".wmv", "asf");
        ASSERT_TRUE(session.connected);
        Sleep(300);  // a small file is indexed by then
        ASSERT_EQ(session.driver.Pause(), S_OK);
        for (REFERENCE_TIME target : {45 * kSecond / 10, 2 * kSecond, 8 * kSecond, REFERENCE_TIME{0}}) {
            SCOPED_TRACE(target);
            ASSERT_TRUE(session.SeekAndPlayToTheEnd(2, target));
            REFERENCE_TIME segment = -1;
            const auto samples = session.LastSegment(0, &segment);
            ASSERT_FALSE(samples.empty());
            EXPECT_EQ(segment, target);
            // Each pin's first sample after the seek is a discontinuity, not the reader's first alone.
            EXPECT_TRUE(samples.front().discontinuity);
            ASSERT_FALSE(session.LastSegment(1).empty());
            EXPECT_TRUE(session.LastSegment(1).front().discontinuity);
            // Delivery restarts at the packet where the indexed key frame at or before the target
            // begins (a frame finished in that packet may come first), and every frame after it
            // follows.
            const auto first = std::find_if(video.begin(), video.end(), [&](const vmx::test::RefFrame& f) { return f.start == samples.front().start + target; });
            ASSERT_NE(first, video.end());
            const auto key = std::find_if(first, std::min(first + 3, video.end()), [](const vmx::test::RefFrame& f) { return f.key; });
            ASSERT_NE(key, std::min(first + 3, video.end()));
            EXPECT_LE(key->start, std::max(target, video.front().start));
            // The built index passes ten packets over after each entry: it may land a key frame or
            // two earlier.
            EXPECT_GT(key->start, target - (std::string(file) == "keys-10s" ? kSecond : 3 * kSecond));
            ASSERT_EQ(samples.size(), static_cast<size_t>(video.end() - first));
            for (size_t k = 0; k < samples.size(); ++k)
                EXPECT_EQ(samples[k].adler32, first[static_cast<std::ptrdiff_t>(k)].adler32) << k;
        }
        vmx::test::ExpectPromptStop(session);
    }
}

TEST(AsfWmThreads, StopsAndSeeksWhileTheReaderDelivers)
{
    {
        PlaySession session("asf/keys-10s.wmv", "asf");
        ASSERT_TRUE(session.connected);
        ASSERT_EQ(session.driver.Run(), S_OK);
        vmx::test::SeekStormThenRestart(session, 2, 10 * kSecond);
        const auto frames = LoadFrames("asf/keys-10s");
        EXPECT_EQ(session.LastSegment(0).size(), frames.at(0).size());
        EXPECT_EQ(session.LastSegment(1).size(), frames.at(1).size());
        vmx::test::ExpectPromptStop(session);
    }
    // The reader's thread waits on a full queue while a sink holds a sample.
    vmx::test::ExpectStopWhileASinkHolds("asf/keys-10s.wmv", "asf");

    // A seek on a pin without a worker fails unless it goes to the start.
    const auto source = OpenSourceFile(vmx::test::kFixtureDir + "asf/wmv2-wma2.wmv", "asf");
    ASSERT_TRUE(source) << source.error;
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(source.filter->EnumPins(pins.Receive()), S_OK);
    ComPtr<IPin> pin;
    ASSERT_EQ(pins->Next(1, pin.Receive(), nullptr), S_OK);
    ComPtr<IMediaSeeking> seeking;
    ASSERT_EQ(pin.QueryInterface(IID_IMediaSeeking, &seeking), S_OK);
    LONGLONG position = kSecond;
    EXPECT_EQ(seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), E_FAIL);
    position = 0;
    EXPECT_EQ(seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
}

TEST(AsfWmFiles, DamagedFilesPlayOrFailCleanly)
{
    for (const char* file : {"asf/damaged/truncated.wmv", "asf/damaged/garbage.wmv", "asf/damaged/zeroed-packet-header.wmv"}) {
        SCOPED_TRACE(file);
        const PlayResult played = vmx::test::PlayFixture(file, "asf");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        size_t samples = 0;
        for (const PinReport& pin : played.report.pins)
            samples += SamplesOf(pin).size();
        EXPECT_GE(samples, 55u);
        EXPECT_LE(samples, 97u);
    }
    const PlayResult notAsf = vmx::test::PlayFixture("mp3/cbr-info.mp3", "asf");
    EXPECT_NE(notAsf.error.find("could not load"), std::string::npos) << notAsf.error;
    vmx::test::ExpectFuzzFindingsPlayOrFail("asf-wm-", "asf", 2 * kSecond);
}

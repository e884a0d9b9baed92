// The ASF filter on the Windows Media reader (here the platform layer's own): the reader's
// streams and samples against ffprobe's packets, seeks, and its threads.
#include <gtest/gtest.h>

#include "demux/asf_wm/asf_filter.h"
#include "tests/asf_playback.h"
#include "tests/play_session.h"

using namespace vmx::host;
using namespace vmx::test;

TEST(AsfWmPlayback, TheReadersSamplesAreFfprobesPackets)
{
    // The reader takes off the preroll as ffprobe does: times are ffprobe's. It selects one
    // audio stream per language and the filter keeps the first audio stream only.
    std::vector<AsfPinCase> cases = kAsfFilesOfOneLanguage;
    cases.push_back({"two-languages.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}});
    cases.push_back({"two-audio-same-language.wmv", {{"Video Pin", 0}, {"Audio Pin", 2}}});
    cases.push_back({"keys-10s.wmv", {{"Video Pin", 0}, {"Audio Pin", 1}}});
    for (const AsfPinCase& c : cases)
        ExpectAsfPinsDeliverTheirStreams(c, "asf", 0, [](const SinkEvent& sample, const RefFrame& packet, size_t k) {
            EXPECT_EQ(sample.syncPoint, packet.key);
            // The first sample of every pin after a start is a discontinuity (the reader marks
            // the first of all).
            EXPECT_EQ(sample.discontinuity, k == 0);
        });
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
            std::vector<SinkEvent> samples;
            ASSERT_TRUE(session.SeekAndPlaySegment(2, target, samples));
            // Each pin's first sample after the seek is a discontinuity, not the reader's first alone.
            EXPECT_TRUE(samples.front().discontinuity);
            ASSERT_FALSE(session.LastSegment(1).empty());
            EXPECT_TRUE(session.LastSegment(1).front().discontinuity);
            // Delivery restarts at the packet where the indexed key frame at or before the target
            // begins (a frame finished in that packet may come first), and every frame after it
            // follows.
            const auto first = std::find_if(video.begin(), video.end(), [&](const RefFrame& f) { return f.start == samples.front().start + target; });
            ASSERT_NE(first, video.end());
            const auto key = std::find_if(first, std::min(first + 3, video.end()), [](const RefFrame& f) { return f.key; });
            ASSERT_NE(key, std::min(first + 3, video.end()));
            EXPECT_LE(key->start, std::max(target, video.front().start));
            // The built index passes ten packets over after each entry: it may land a key frame or
            // two earlier.
            EXPECT_GT(key->start, target - (std::string(file) == "keys-10s" ? kSecond : 3 * kSecond));
            ASSERT_EQ(samples.size(), static_cast<size_t>(video.end() - first));
            for (size_t k = 0; k < samples.size(); ++k)
                EXPECT_EQ(samples[k].adler32, first[static_cast<std::ptrdiff_t>(k)].adler32) << k;
        }
        ExpectPromptStop(session);
    }
}

TEST(AsfWmThreads, StopsAndSeeksWhileTheReaderDelivers)
{
    {
        PlaySession session("asf/keys-10s.wmv", "asf");
        ASSERT_NO_FATAL_FAILURE(vmx::test::SeekStormThenRestart(session, 2, 10 * kSecond));
        const auto frames = LoadFrames("asf/keys-10s");
        EXPECT_EQ(session.LastSegment(0).size(), frames.at(0).size());
        EXPECT_EQ(session.LastSegment(1).size(), frames.at(1).size());
        ExpectPromptStop(session);
    }
    // The reader's thread waits on a full queue while a sink holds a sample.
    ExpectStopWhileASinkHolds("asf/keys-10s.wmv", "asf");

    // A seek on a pin without a worker fails unless it goes to the start.
    const auto source = OpenSourceFile(kFixtureDir + "asf/wmv2-wma2.wmv", "asf");
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
    ExpectDamagedAsfFilesPlay("asf");
    const PlayResult notAsf = PlayFixture("mp3/cbr-info.mp3", "asf");
    EXPECT_NE(notAsf.error.find("could not load"), std::string::npos) << notAsf.error;
    ExpectFuzzFindingsPlayOrFail("asf-wm-", "asf", 2 * kSecond);
}

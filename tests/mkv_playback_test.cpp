// Matroska fixtures played through the recording sinks against ffprobe's packet tables: per
// stream the same frames (laced blocks split), times less the first Cluster's time, key frame
// flags; seeks through the Cues and without them; damaged files.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <map>

#include "demux/mkv/mkv_filter.h"
#include "demux/mkv/mkv_media_types.h"
#include "host/graph_driver.h"
#include "tests/ebml_bytes.h"
#include "tests/fixture_reference.h"
#include "tests/test_support.h"

namespace {

using nlohmann::json;
using namespace vmx::host;
using vmx::test::kFixtureDir;
using vmx::test::kSecond;
using vmx::test::RefFrame;
using vmx::test::SamplesOf;

// ffprobe's packets per stream index, in file order.
std::map<int, std::vector<vmx::test::RefFrame>> LoadFrames(const std::string& name,
                                                           std::map<int, std::string>* kinds = nullptr)
{
    return vmx::test::LoadFrames("mkv/" + name, kinds);
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

namespace {

using vmx::host::GraphDriver;

// A loaded Matroska source in a graph with every pin connected to a recording sink.
struct Session {
    explicit Session(const std::string& name)
        : source(OpenSourceFile(kFixtureDir + FileOf(name), "mkv")),
          filter(source ? dynamic_cast<CMKV_Filter*>(source.filter.Get()) : nullptr)
    {
        if (filter) {
            driver = std::make_unique<GraphDriver>(source.filter.Get());
            connected = SUCCEEDED(driver->ConnectAll());
        }
    }
    HRESULT Seek(size_t pin, REFERENCE_TIME target, DWORD extraFlags = AM_SEEKING_SeekToKeyFrame)
    {
        LONGLONG position = target;
        return driver->Seeking(pin)->SetPositions(&position, AM_SEEKING_AbsolutePositioning | extraFlags, nullptr,
                                                  AM_SEEKING_NoPositioning);
    }
    // The events of a pin's sink from the last NewSegment on.
    std::vector<SinkEvent> LastSegment(size_t pin) const
    {
        const std::vector<SinkEvent> events = driver->Sink(pin)->Events();
        auto last = std::find_if(events.rbegin(), events.rend(),
                                 [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::NewSegment; });
        return last == events.rend() ? std::vector<SinkEvent>{} : std::vector<SinkEvent>(std::prev(last.base()), events.end());
    }

    OpenedSource source;
    CMKV_Filter* filter;
    std::unique_ptr<GraphDriver> driver;
    bool connected = false;
};

// Key frame times of the video stream in playback time (ffprobe's less the start offset).
std::vector<REFERENCE_TIME> KeyFrames(const std::string& name, REFERENCE_TIME offset)
{
    std::vector<REFERENCE_TIME> keys;
    const auto frames = LoadFrames(name);
    for (const RefFrame& frame : frames.at(0))
        if (frame.key)
            keys.push_back(frame.start - offset);
    return keys;
}

const SinkEvent* FirstSample(const std::vector<SinkEvent>& segment)
{
    for (const SinkEvent& event : segment)
        if (event.kind == SinkEvent::Kind::Sample)
            return &event;
    return nullptr;
}

TEST(MkvSeeking, CuesPickTheKeyFrameOnTheSideTheSeekGoes)
{
    Session session("cues-10s");
    ASSERT_TRUE(session.connected);
    const std::vector<REFERENCE_TIME> keys = KeyFrames("cues-10s", session.filter->StartOffset());
    ASSERT_GT(keys.size(), 20u);
    const REFERENCE_TIME target = 15 * kSecond + kSecond / 2;
    const REFERENCE_TIME after = *std::lower_bound(keys.begin(), keys.end(), target);
    const REFERENCE_TIME before = *std::prev(std::upper_bound(keys.begin(), keys.end(), target));
    ASSERT_LT(before, after);

    // Nothing played yet: the graph stands at 0, so the seek goes forward.
    ASSERT_EQ(session.driver->Pause(), S_OK);
    ASSERT_EQ(session.Seek(0, target), S_OK);
    ASSERT_EQ(session.driver->Run(), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    auto segment = session.LastSegment(0);
    ASSERT_FALSE(segment.empty());
    EXPECT_EQ(segment.front().start, after);
    const SinkEvent* first = FirstSample(segment);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->start, 0);
    EXPECT_TRUE(first->syncPoint);
    EXPECT_TRUE(first->discontinuity);

    // Played to the end: the same target now lies behind the graph's position.
    ASSERT_EQ(session.Seek(0, target), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    segment = session.LastSegment(0);
    EXPECT_EQ(segment.front().start, before);
    first = FirstSample(segment);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->start, 0);
    EXPECT_TRUE(first->syncPoint);

    // A seek to 0 starts at the first block without looking at the Cues.
    ASSERT_EQ(session.Seek(0, 0), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    const auto whole = session.LastSegment(0);
    EXPECT_EQ(std::count_if(whole.begin(), whole.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::Sample; }),
              static_cast<long>(LoadFrames("cues-10s")[0].size()));
    EXPECT_EQ(session.driver->Stop(), S_OK);
}

TEST(MkvSeeking, WithoutTheKeyFrameFlagEarlierFramesArriveAsPreroll)
{
    Session session("cues-10s");
    ASSERT_TRUE(session.connected);
    const std::vector<REFERENCE_TIME> keys = KeyFrames("cues-10s", session.filter->StartOffset());
    const REFERENCE_TIME target = 7 * kSecond + kSecond / 4;
    const REFERENCE_TIME before = *std::prev(std::upper_bound(keys.begin(), keys.end(), target));
    ASSERT_EQ(session.driver->Pause(), S_OK);
    ASSERT_EQ(session.Seek(0, target, 0), S_OK);
    ASSERT_EQ(session.driver->Run(), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    const auto segment = session.LastSegment(0);
    EXPECT_EQ(segment.front().start, target);
    const SinkEvent* first = FirstSample(segment);
    ASSERT_NE(first, nullptr);
    // Playback starts at the key frame before the target, whatever the direction, so the
    // decoder gets it and the frames up to the target as preroll.
    EXPECT_EQ(first->start, before - target);
    EXPECT_TRUE(first->preroll);
    EXPECT_TRUE(first->syncPoint);
    BOOL keyFrames = TRUE;
    ComPtr<IVmxMKV> options;
    ASSERT_EQ(session.source.filter.QueryInterface(IID_IVmxMKV, &options), S_OK);
    ASSERT_EQ(options->GetSeekKeyFrame(&keyFrames), S_OK);
    EXPECT_FALSE(keyFrames);
    session.driver->Stop();
}

}  // namespace

namespace {

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000)
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (condition())
            return true;
        Sleep(5);
    }
    return condition();
}

TEST(MkvSeeking, AFileWithoutCuesSeeksOnceItsIndexIsBuilt)
{
    Session session("no-cues");
    ASSERT_TRUE(session.connected);
    // Loaded before it joined the graph: the graph still hears that the duration is known.
    ASSERT_TRUE(WaitFor([&] {
        for (const GraphEvent& event : session.driver->GraphEvents())
            if (event.code == 0xB001 && event.param1 == 0 && event.param2 == 0)
                return true;
        return false;
    }));
    ASSERT_TRUE(session.filter->IndexFinished());
    LONGLONG duration = 0;
    ASSERT_EQ(session.driver->Seeking(0)->GetDuration(&duration), S_OK);
    const std::vector<REFERENCE_TIME> keys = KeyFrames("no-cues", session.filter->StartOffset());
    // The index counts to the last Cluster's start.
    EXPECT_GE(duration, keys.back());

    const REFERENCE_TIME target = 4 * kSecond + kSecond / 3;
    ASSERT_EQ(session.driver->Pause(), S_OK);
    ASSERT_EQ(session.Seek(0, target), S_OK);
    ASSERT_EQ(session.driver->Run(), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    const auto segment = session.LastSegment(0);
    EXPECT_EQ(segment.front().start, *std::lower_bound(keys.begin(), keys.end(), target));
    ASSERT_NE(FirstSample(segment), nullptr);
    EXPECT_TRUE(FirstSample(segment)->syncPoint);
    // Every pin's segment ends at the duration the index found, also where nobody asked for it.
    for (size_t pin = 0; pin < session.driver->OutputPinCount(); ++pin)
        EXPECT_EQ(session.LastSegment(pin).front().stop, duration) << pin;
    session.driver->Stop();
}

TEST(MkvSeeking, TwoPinsSeekingTogetherRepositionOnce)
{
    Session session("h264-aac");
    ASSERT_TRUE(session.connected);
    ASSERT_EQ(session.driver->OutputPinCount(), 2u);
    ASSERT_EQ(session.driver->Pause(), S_OK);
    ASSERT_EQ(session.driver->Run(), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    auto flushes = [&](size_t pin) {
        const auto events = session.driver->Sink(pin)->Events();
        return std::count_if(events.begin(), events.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::BeginFlush; });
    };
    const long before[2] = {flushes(0), flushes(1)};
    ASSERT_EQ(session.Seek(0, kSecond / 2), S_OK);
    ASSERT_EQ(session.Seek(1, kSecond / 2), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    EXPECT_EQ(flushes(0), before[0] + 1);
    EXPECT_EQ(flushes(1), before[1] + 1);
    // Both pins start their segments at the same key frame, and both report it as their start.
    const REFERENCE_TIME key = session.LastSegment(0).front().start;
    EXPECT_NE(key, kSecond / 2);
    EXPECT_EQ(session.LastSegment(1).front().start, key);
    for (size_t pin = 0; pin < 2; ++pin) {
        LONGLONG current = -1;
        ASSERT_EQ(session.driver->Seeking(pin)->GetPositions(&current, nullptr), S_OK);
        EXPECT_EQ(current, key) << pin;
    }
    session.driver->Stop();
}

TEST(MkvSeeking, StopThenRunGoesOnWhereTheLastRunStopped)
{
    Session session("cues-10s");
    ASSERT_TRUE(session.connected);
    const size_t frames = LoadFrames("cues-10s")[0].size();
    const auto samplesIn = [](const std::vector<SinkEvent>& events) {
        return static_cast<size_t>(
            std::count_if(events.begin(), events.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::Sample; }));
    };
    ASSERT_EQ(session.driver->Run(), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    EXPECT_EQ(samplesIn(session.LastSegment(0)), frames);
    // Played to the end: a new run has nothing left to play until a seek.
    ASSERT_EQ(session.driver->Stop(), S_OK);
    ASSERT_EQ(session.driver->Run(), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    EXPECT_EQ(samplesIn(session.LastSegment(0)), 0u);
    ASSERT_EQ(session.Seek(0, 0), S_OK);
    ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
    EXPECT_EQ(samplesIn(session.LastSegment(0)), frames);
    session.driver->Stop();
}

// Stop and seeks from the application thread against the reader, the pins' workers and the
// index thread: everything must end promptly with every thread joined.
TEST(MkvThreads, SeekStormsAndStopsFinishPromptly)
{
    using Clock = std::chrono::steady_clock;
    const auto frames = LoadFrames("cues-10s")[0].size();
    {
        Session session("cues-10s");
        ASSERT_TRUE(session.connected);
        ASSERT_EQ(session.driver->Pause(), S_OK);
        ASSERT_EQ(session.driver->Run(), S_OK);
        std::uint32_t state = 12345;
        for (int i = 0; i < 50; ++i) {
            state = state * 1103515245u + 12345u;
            ASSERT_EQ(session.Seek(0, static_cast<REFERENCE_TIME>(state % 30000) * 10000), S_OK);
            Sleep(state % 3);
        }
        // After the storm the stream still plays whole from the start.
        ASSERT_EQ(session.Seek(0, 0), S_OK);
        ASSERT_TRUE(session.driver->WaitForEndOfStream(10000));
        const auto segment = session.LastSegment(0);
        EXPECT_EQ(std::count_if(segment.begin(), segment.end(), [](const SinkEvent& e) { return e.kind == SinkEvent::Kind::Sample; }),
                  static_cast<long>(frames));
        const auto start = Clock::now();
        EXPECT_EQ(session.driver->Stop(), S_OK);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    }
    {
        // Stop in the middle of playback, while the sink holds a sample and the queue fills.
        Session session("cues-10s");
        ASSERT_TRUE(session.connected);
        session.driver->Sink(0)->HoldReceive();
        ASSERT_EQ(session.driver->Pause(), S_OK);
        ASSERT_EQ(session.driver->Run(), S_OK);
        Sleep(100);
        const auto start = Clock::now();
        EXPECT_EQ(session.driver->Stop(), S_OK);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
        session.driver->Sink(0)->ReleaseHold();
    }
    {
        // Stop right after the file is loaded, while the index thread of a file without Cues runs.
        Session session("no-cues");
        ASSERT_TRUE(session.connected);
        ASSERT_EQ(session.driver->Pause(), S_OK);
        ASSERT_EQ(session.Seek(0, 3 * kSecond), S_OK);
        EXPECT_EQ(session.driver->Stop(), S_OK);
    }
}

}  // namespace

namespace {

using namespace vmx::test;

// A Matroska file built here: one subtitle track (1) and one audio track (2), blocks given.
Bytes SmallFile(const Bytes& clusterBlocks)
{
    const Bytes info = El(ebml_id::kInfo, El(0x2AD7B1, {0x0F, 0x42, 0x40}));
    const Bytes subtitle = El(0xAE, Concat({El(0xD7, {1}), El(0x83, {17}), El(0x86, {'S', '_', 'T', 'E', 'X', 'T', '/', 'U', 'T', 'F', '8'})}));
    const Bytes audio = El(0xAE, Concat({El(0xD7, {2}), El(0x83, {2}), El(0x86, {'A', '_', 'A', 'C', '3'}),
                                         El(0xE1, Concat({El(0xB5, {0x47, 0x3B, 0x80, 0x00}), El(0x9F, {2})}))}));
    const Bytes cluster = El(ebml_id::kCluster, Concat({El(0xE7, {0}), clusterBlocks}));
    return Concat({kEmptyEbmlHeader, El(ebml_id::kSegment, Concat({info, El(ebml_id::kTracks, Concat({subtitle, audio})), cluster}))});
}

Bytes SimpleBlock(BYTE track, std::int16_t timecode, BYTE flags, const Bytes& body)
{
    return El(ebml_id::kSimpleBlock, Concat({{static_cast<BYTE>(0x80 | track), static_cast<BYTE>(timecode >> 8),
                                               static_cast<BYTE>(timecode), flags},
                                              body}));
}

TEST(MkvBlocksToSamples, LacesSplitTheirSpanAndSubtitlesEndWhereTheyStart)
{
    // Audio: one frame at -1 ms, three Xiph-laced frames (3, 2 and 4 bytes) at 0, one at 60 ms.
    const Bytes blocks = Concat({SimpleBlock(2, -1, 0x80, {0xA0}), SimpleBlock(1, 0, 0x80, {'h', 'i'}),
                                 SimpleBlock(2, 0, 0x80 | 0x02, {2, 3, 2, 1, 1, 1, 2, 2, 4, 4, 4, 4}),
                                 SimpleBlock(1, 30, 0x80, {'y', 'o'}), SimpleBlock(2, 60, 0x80, {0xC0})});
    const MkvFile file(SmallFile(blocks));
    OpenedSource source = OpenSourceFile(file.Path(), "mkv");
    ASSERT_TRUE(source) << source.error;
    const PlayResult played = PlaySource(source.filter.Get(), {});
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 2u);

    const auto subtitles = SamplesOf(played.report.pins[0]);
    ASSERT_EQ(subtitles.size(), 2u);
    EXPECT_EQ(subtitles[0].start, 0);
    EXPECT_EQ(subtitles[0].stop, 0);
    EXPECT_EQ(subtitles[1].start, 300000);
    EXPECT_EQ(subtitles[1].stop, 300000);

    struct Expected {
        REFERENCE_TIME start, stop;
        LONG length;
        bool sync, preroll;
    };
    const Expected expected[] = {{-10000, 0, 1, true, true},
                                 {0, 200000, 3, true, false},
                                 {200000, 400000, 2, false, false},
                                 {400000, 600000, 4, false, false},
                                 // The last block has nothing after it: it lasts as long as the frames before.
                                 {600000, 800000, 1, true, false}};
    const auto audio = SamplesOf(played.report.pins[1]);
    ASSERT_EQ(audio.size(), std::size(expected));
    for (size_t k = 0; k < audio.size(); ++k) {
        EXPECT_EQ(audio[k].start, expected[k].start) << k;
        EXPECT_EQ(audio[k].stop, expected[k].stop) << k;
        EXPECT_EQ(audio[k].length, expected[k].length) << k;
        EXPECT_EQ(audio[k].syncPoint, expected[k].sync) << k;
        EXPECT_EQ(audio[k].preroll, expected[k].preroll) << k;
    }
}

TEST(MkvBlocksToSamples, EveryBlockWithoutAReferenceIsASyncPointWhateverItsFlags)
{
    // BlockGroups without ReferenceBlock, one flagged 0x80 in its Block header: that flag only
    // steers where seeks land.
    const auto group = [](std::int16_t timecode, BYTE flags) {
        return El(ebml_id::kBlockGroup, El(0xA1, {0x82, static_cast<BYTE>(timecode >> 8), static_cast<BYTE>(timecode), flags, 0x0B}));
    };
    const MkvFile file(SmallFile(Concat({group(0, 0), group(20, 0x80), group(40, 0), group(60, 0)})));
    OpenedSource source = OpenSourceFile(file.Path(), "mkv");
    ASSERT_TRUE(source) << source.error;
    const PlayResult played = PlaySource(source.filter.Get(), {});
    ASSERT_TRUE(played.Succeeded()) << played.error;
    const auto audio = SamplesOf(played.report.pins.at(1));
    ASSERT_EQ(audio.size(), 4u);
    for (const SinkEvent& sample : audio)
        EXPECT_TRUE(sample.syncPoint) << sample.start;
}

TEST(MkvBlocksToSamples, VorbisHeadersComeFirstForTheTypeWithoutThem)
{
    OpenedSource source = OpenSourceFile(kFixtureDir + "mkv/laced-xiph.mkv", "mkv");
    ASSERT_TRUE(source) << source.error;
    auto* filter = dynamic_cast<CMKV_Filter*>(source.filter.Get());
    ASSERT_NE(filter, nullptr);
    std::vector<std::span<const BYTE>> headers;
    ASSERT_TRUE(SplitXiphHeaders(filter->Tracks()[0]->codecPrivate, headers));
    ASSERT_EQ(headers.size(), 3u);

    GraphDriver driver(source.filter.Get());
    driver.PrepareSinksWith([](size_t, RecordingSink& sink) {
        sink.AcceptOnlySubtype(MEDIASUBTYPE_Vorbis);
        sink.KeepSampleBytes(true);
    });
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    ASSERT_EQ(driver.Pause(), S_OK);
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(10000));
    const auto samples = driver.Sink(0)->Samples();
    ASSERT_EQ(samples.size(), 3 + LoadFrames("laced-xiph")[0].size());
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(samples[k].bytes, Bytes(headers[k].begin(), headers[k].end())) << k;
        EXPECT_EQ(samples[k].start, 0);
        EXPECT_EQ(samples[k].stop, 1);
    }
    driver.Stop();
}

TEST(MkvFilterInterface, OptionsAndLoadRules)
{
    OpenedSource source = OpenSourceFile(kFixtureDir + "mkv/h264-aac.mkv", "mkv");
    ASSERT_TRUE(source) << source.error;
    ComPtr<IVmxMKV> options;
    ASSERT_EQ(source.filter.QueryInterface(IID_IVmxMKV, &options), S_OK);
    BOOL value = FALSE;
    EXPECT_EQ(options->GetSeekKeyFrame(&value), S_OK);
    EXPECT_TRUE(value);
    EXPECT_EQ(options->SetSeekKeyFrame(FALSE), S_OK);
    EXPECT_EQ(options->GetSeekKeyFrame(&value), S_OK);
    EXPECT_FALSE(value);
    EXPECT_EQ(options->GetPreroll(&value), S_OK);
    EXPECT_FALSE(value);
    // Only the low 32 bits count, in the flag and in the trace line.
    vmx::test::ScopedTempDir dir;
    vmx::test::ScopedEnv trace("VMX_TRACE", dir.file("trace.txt"));
    EXPECT_EQ(options->SetPreroll((LONGLONG{1} << 32) | 0x2A), S_OK);
    EXPECT_EQ(vmx::test::ReadText(dir.file("trace.txt")), "Preroll 2a\n");
    EXPECT_EQ(options->SetPreroll(LONGLONG{1} << 32), S_OK);
    EXPECT_EQ(options->GetPreroll(&value), S_OK);
    EXPECT_FALSE(value);
    EXPECT_EQ(options->SetPreroll(5), S_OK);
    EXPECT_EQ(options->GetPreroll(&value), S_OK);
    EXPECT_TRUE(value);

    ComPtr<IFileSourceFilter> fileSource;
    ASSERT_EQ(source.filter.QueryInterface(IID_IFileSourceFilter, &fileSource), S_OK);
    const std::u16string other = Wide(kFixtureDir + "mkv/cues-10s.mkv");
    EXPECT_EQ(fileSource->Load(other.c_str(), nullptr), E_FAIL);
}

}  // namespace

namespace {

TEST(MkvDamagedPlayback, DamageCostsOnlyTheDamagedPart)
{
    // Noise between two Clusters: the walk finds the next Cluster and every frame still plays.
    {
        const auto reference = LoadFrames("damaged/garbage-between-clusters");
        const PlayResult played = vmx::test::PlayFixture("mkv/damaged/garbage-between-clusters.mkv", "mkv");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        const auto samples = SamplesOf(played.report.pins[0]);
        ASSERT_EQ(samples.size(), reference.at(0).size());
        for (size_t k = 0; k < samples.size(); ++k)
            ASSERT_EQ(samples[k].adler32, reference.at(0)[k].adler32) << k;
    }
    // A lace table larger than its block: that block's 8 frames are lost, nothing else (ffprobe
    // gives up on the rest of the Cluster, so the undamaged file is the reference).
    {
        const auto whole = LoadFrames("laced-xiph").at(0);
        const PlayResult played = vmx::test::PlayFixture("mkv/damaged/lace-oversize.mkv", "mkv");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        const auto samples = SamplesOf(played.report.pins[0]);
        ASSERT_EQ(samples.size(), whole.size() - 8);
        size_t skipped = 0;
        for (size_t k = 0; k < samples.size(); ++k) {
            while (skipped < 8 && samples[k].adler32 != whole[k + skipped].adler32)
                ++skipped;
            ASSERT_EQ(samples[k].adler32, whole[k + skipped].adler32) << k;
        }
        EXPECT_EQ(skipped, 8u);
    }
    // Fuzzer finding: a negative sampling rate gives a rate of 0, not an undefined conversion.
    const PlayResult fuzzed = vmx::test::PlayFixture("fuzz/mkv-negative-rate.mkv", "mkv");
    ASSERT_TRUE(fuzzed.Succeeded()) << fuzzed.error;
}

}  // namespace

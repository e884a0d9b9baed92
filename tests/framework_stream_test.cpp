// The streaming machinery end to end: a scripted demuxer on the real framework, its pins
// connected to recording sinks, driven through pause, run, seek and stop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "host/graph_driver.h"
#include "tests/test_demuxer.h"

using namespace vmx::host;
using namespace vmx::test;

namespace {

constexpr DWORD kWait = 10000;

// Stream s of n streams carries packets i with i % n == s; each stream advances 10 ms a packet.
Script InterleavedScript(int streams, int packetsPerStream, size_t (*sizeOf)(size_t))
{
    Script script;
    const char16_t* names[] = {u"Video", u"Audio", u"Subtitle"};
    for (int s = 0; s < streams; ++s)
        script.streams.push_back({static_cast<DWORD>(s + 1), names[s % 3], s == 0 ? VideoType(640, 480) : AudioType()});
    for (int i = 0; i < streams * packetsPerStream; ++i) {
        REFERENCE_TIME start = (i / streams) * 100000LL;
        script.packets.push_back({static_cast<DWORD>(i % streams + 1), start, start + 100000, sizeOf(i), i % 7 == 0});
    }
    script.duration = packetsPerStream * 100000LL;
    return script;
}

size_t VariedSize(size_t i) { return 1 + (i * 977) % 6000; }
size_t SmallSize(size_t) { return 64; }
size_t KiloSize(size_t) { return 1000; }

std::uint64_t ExpectedChecksum(size_t packetIndex, size_t size)
{
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = PayloadByte(packetIndex, i);
    return Fnv1a64(bytes);
}

// A loaded test filter, referenced for the test's whole length.
struct Source {
    explicit Source(Script s, const KQueueLimits& limits = QueueLimits::Mkv)
        : script(s), filter(new CTestDemuxFilter(std::move(s), limits))
    {
        filter->AddRef();
        EXPECT_EQ(filter->Load(u"script", nullptr), S_OK);
    }
    ~Source() { filter->Release(); }
    bool ReaderRuns() { return static_cast<CAMThread*>(filter)->ThreadExists() != FALSE; }
    bool WorkerRuns(int pin) { return static_cast<CAMThread*>(filter->TestPin(pin))->ThreadExists() != FALSE; }

    Script script;
    CTestDemuxFilter* filter;
};

// The samples a sink must have received for stream s, from the first packet at or after base.
void ExpectStream(const Script& script, DWORD stream, REFERENCE_TIME base, const std::vector<SinkEvent>& samples)
{
    size_t next = 0;
    bool first = true;
    for (size_t i = 0; i < script.packets.size(); ++i) {
        const ScriptPacket& packet = script.packets[i];
        if (packet.streamNumber != stream || packet.start < base)
            continue;
        ASSERT_LT(next, samples.size()) << "missing packet " << i;
        const SinkEvent& sample = samples[next++];
        EXPECT_TRUE(sample.startValid && sample.stopValid);
        EXPECT_EQ(sample.start, packet.start - base) << "packet " << i;
        EXPECT_EQ(sample.stop, packet.stop - base);
        EXPECT_EQ(sample.length, static_cast<LONG>(packet.size));
        EXPECT_EQ(sample.checksum, ExpectedChecksum(i, packet.size)) << "packet " << i;
        EXPECT_EQ(sample.syncPoint, packet.syncPoint);
        EXPECT_EQ(sample.discontinuity, first);
        first = false;
    }
    EXPECT_EQ(next, samples.size()) << "extra samples";
}

// Every pin connected to a sink, the graph run (or paused) and every stream ended.
testing::AssertionResult PlayedToTheEnd(GraphDriver& driver, bool run = true)
{
    if (const HRESULT hr = driver.ConnectAll(); hr != S_OK)
        return testing::AssertionFailure() << "ConnectAll failed: " << hr;
    if (const HRESULT hr = run ? driver.Run() : driver.Pause(); hr != S_OK)
        return testing::AssertionFailure() << (run ? "Run" : "Pause") << " failed: " << hr;
    if (!driver.WaitForEndOfStream(kWait))
        return testing::AssertionFailure() << "no end of stream";
    return testing::AssertionSuccess();
}

const SinkEvent* LastNewSegment(const std::vector<SinkEvent>& events)
{
    const SinkEvent* found = nullptr;
    for (const SinkEvent& event : events)
        if (event.kind == SinkEvent::Kind::NewSegment)
            found = &event;
    return found;
}

}  // namespace

TEST(FrameworkStream, EveryPacketArrivesOnceInOrderOnItsPin)
{
    Source source(InterleavedScript(3, 120, VariedSize));
    GraphDriver driver(source.filter);
    ASSERT_TRUE(PlayedToTheEnd(driver));
    for (DWORD s = 0; s < 3; ++s) {
        SCOPED_TRACE(s);
        RecordingSink* sink = driver.Sink(s);
        ExpectStream(source.script, s + 1, 0, sink->Samples());
        EXPECT_EQ(sink->EndOfStreamCount(), 1u);
        std::vector<SinkEvent> events = sink->Events();
        EXPECT_EQ(events.back().kind, SinkEvent::Kind::EndOfStream);
        const SinkEvent* segment = LastNewSegment(events);
        ASSERT_NE(segment, nullptr);
        EXPECT_EQ(segment->start, 0);
        EXPECT_EQ(segment->stop, 120 * 100000LL);
        EXPECT_EQ(segment->rate, 1.0);
    }
    EXPECT_EQ(source.filter->repositions, 1);
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(FrameworkStream, SeekingAllPinsToOneTimeRepositionsOnceAndRebasesTimes)
{
    Source source(InterleavedScript(2, 200, SmallSize));
    GraphDriver driver(source.filter);
    ASSERT_TRUE(PlayedToTheEnd(driver, false));
    ASSERT_EQ(source.filter->repositions, 1);

    const REFERENCE_TIME target = 7500000;  // 0.75 s, on a packet boundary
    driver.Sink(0)->Reset();
    driver.Sink(1)->Reset();
    ASSERT_EQ(driver.Seek(0, target), S_OK);
    ASSERT_EQ(driver.Seek(1, target), S_OK);
    EXPECT_EQ(source.filter->repositions, 2);
    ASSERT_TRUE(driver.WaitForEndOfStream(kWait));
    for (DWORD s = 0; s < 2; ++s) {
        SCOPED_TRACE(s);
        ExpectStream(source.script, s + 1, target, driver.Sink(s)->Samples());
        std::vector<SinkEvent> events = driver.Sink(s)->Events();
        const SinkEvent* segment = LastNewSegment(events);
        ASSERT_NE(segment, nullptr);
        EXPECT_EQ(segment->start, target);
        LONGLONG current = 0;
        driver.Seeking(s)->GetPositions(&current, nullptr);
        EXPECT_EQ(current, target);
    }

    // The same pin asking twice for one time is two seeks.
    ASSERT_EQ(driver.Seek(0, target), S_OK);
    ASSERT_EQ(driver.Seek(0, target), S_OK);
    EXPECT_EQ(source.filter->repositions, 4);
    ASSERT_TRUE(driver.WaitForEndOfStream(kWait));
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(FrameworkStream, PacketsQueuedWhileAWorkerRestartsAreKept)
{
    // The reader is released as soon as the workers have answered CMD_RUN; a worker still
    // starting must not throw away what was queued meanwhile (here: everything, end included).
    Source source(InterleavedScript(2, 20, SmallSize));
    source.filter->TestPin(0)->startPlayDelayMs = 100;
    GraphDriver driver(source.filter);
    ASSERT_TRUE(PlayedToTheEnd(driver));
    ExpectStream(source.script, 1, 0, driver.Sink(0)->Samples());
    driver.Sink(0)->Reset();
    ASSERT_EQ(driver.Seek(0, 500000), S_OK);
    ASSERT_TRUE(driver.Sink(0)->WaitForEndOfStream(kWait));
    ExpectStream(source.script, 1, 500000, driver.Sink(0)->Samples());
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(FrameworkStream, ASeekRightAfterPauseDoesNotCrossTheReadersStart)
{
    // The reader restarts every pin when it starts; a seek arriving meanwhile must not
    // interleave its own flush with that one (a held sink would then block the restart).
    for (int round = 0; round < 20; ++round) {
        Source source(InterleavedScript(2, 30, SmallSize));
        GraphDriver driver(source.filter);
        ASSERT_EQ(driver.ConnectAll(), S_OK);
        driver.Sink(0)->HoldReceive();
        driver.Sink(1)->HoldReceive();
        ASSERT_EQ(driver.Pause(), S_OK);
        const REFERENCE_TIME target = 1000000;
        ASSERT_EQ(driver.Seek(0, target), S_OK);
        ASSERT_EQ(driver.Seek(1, target), S_OK);
        driver.Sink(0)->ReleaseHold();
        driver.Sink(1)->ReleaseHold();
        ASSERT_TRUE(driver.WaitForEndOfStream(kWait)) << "round " << round;
        std::vector<SinkEvent> events = driver.Sink(0)->Events();
        const SinkEvent* segment = LastNewSegment(events);
        ASSERT_NE(segment, nullptr);
        EXPECT_EQ(segment->start, target);
        // What follows the last segment is the stream from the target on.
        std::vector<SinkEvent> tail;
        for (const SinkEvent& event : events)
            if (event.kind == SinkEvent::Kind::NewSegment)
                tail.clear();
            else if (event.kind == SinkEvent::Kind::Sample)
                tail.push_back(event);
        ExpectStream(source.script, 1, target, tail);
        EXPECT_EQ(driver.Stop(), S_OK);
    }
}

TEST(FrameworkStream, AReaderThatKeepsThePinsSegmentsRestartsThemOnlyAfterASeek)
{
    // The pins announce a segment at the seek target as they start. A reader that starts there
    // leaves it alone; a seek that comes before the reader starts (held back here) still gets
    // a segment at its target.
    const REFERENCE_TIME target = 1000000;
    for (bool seek : {false, true}) {
        SCOPED_TRACE(seek);
        Source source(InterleavedScript(2, 30, SmallSize));
        source.filter->restartPinsWhenReaderStarts = false;
        source.filter->readerStartDelayMs = 50;
        GraphDriver driver(source.filter);
        ASSERT_EQ(driver.ConnectAll(), S_OK);
        ASSERT_EQ(driver.Pause(), S_OK);
        if (seek) {
            ASSERT_EQ(driver.Seek(0, target), S_OK);
            ASSERT_EQ(driver.Seek(1, target), S_OK);
        }
        ASSERT_EQ(driver.Run(), S_OK);
        ASSERT_TRUE(driver.WaitForEndOfStream(kWait));
        for (DWORD s = 0; s < 2; ++s) {
            SCOPED_TRACE(s);
            const std::vector<SinkEvent> events = driver.Sink(s)->Events();
            std::vector<SinkEvent::Kind> lead;
            for (const SinkEvent& event : events) {
                if (event.kind == SinkEvent::Kind::Sample)
                    break;
                lead.push_back(event.kind);
            }
            using Kind = SinkEvent::Kind;
            const std::vector<Kind> expected = seek ? std::vector<Kind>{Kind::NewSegment, Kind::BeginFlush, Kind::EndFlush, Kind::NewSegment}
                                                    : std::vector<Kind>{Kind::NewSegment};
            EXPECT_EQ(lead, expected);
            const SinkEvent* segment = LastNewSegment(events);
            ASSERT_NE(segment, nullptr);
            EXPECT_EQ(segment->start, seek ? target : 0);
            ExpectStream(source.script, s + 1, seek ? target : 0, driver.Sink(s)->Samples());
        }
        EXPECT_EQ(driver.Stop(), S_OK);
    }
}

TEST(FrameworkStream, StopFlagsRestartDeliveryWithoutRepositioning)
{
    Source source(InterleavedScript(2, 50, SmallSize));
    GraphDriver driver(source.filter);
    ASSERT_TRUE(PlayedToTheEnd(driver));
    driver.Sink(0)->Reset();
    LONGLONG stop = 3000000;
    ASSERT_EQ(driver.Seeking(0)->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
    EXPECT_EQ(source.filter->repositions, 1);
    std::vector<SinkEvent> events = driver.Sink(0)->Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].kind, SinkEvent::Kind::BeginFlush);
    EXPECT_EQ(events[1].kind, SinkEvent::Kind::EndFlush);
    const SinkEvent* segment = LastNewSegment(events);
    ASSERT_NE(segment, nullptr);
    EXPECT_EQ(segment->stop, stop);
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(FrameworkStream, QueuesStayWithinTheirLimitsAndStopInterruptsAFullOne)
{
    // 1000-byte packets against a 4096-byte, 5-packet limit: a push is allowed below the limit,
    // so a queue may pass the byte limit by at most one packet and never the packet count.
    const KQueueLimits limits{4096, 4096, 5, false};
    Source source(InterleavedScript(2, 300, KiloSize), limits);
    GraphDriver driver(source.filter);
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    driver.Sink(0)->HoldReceive();
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.Sink(0)->WaitForHeldReceive(kWait));
    CTestDemuxPin* held = source.filter->TestPin(0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (held->QueuedCount() < limits.maxPackets && std::chrono::steady_clock::now() < deadline)
        Sleep(1);
    Sleep(50);  // the reader is now waiting on the full queue
    EXPECT_EQ(held->QueuedCount(), limits.maxPackets);
    EXPECT_LT(held->QueuedBytes(), limits.lowerBytes + 1000);
    EXPECT_LT(source.filter->packetsRead, source.script.packets.size());

    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.Stop(), S_OK);
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_FALSE(source.ReaderRuns());
    EXPECT_FALSE(source.WorkerRuns(0));
    EXPECT_FALSE(source.WorkerRuns(1));

    // Played again without the hold, everything arrives and no queue ever held more.
    driver.Sink(0)->ReleaseHold();
    driver.Sink(0)->Reset();
    driver.Sink(1)->Reset();
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(kWait));
    ExpectStream(source.script, 1, 0, driver.Sink(0)->Samples());
    ExpectStream(source.script, 2, 0, driver.Sink(1)->Samples());
    for (int pin = 0; pin < 2; ++pin) {
        EXPECT_LE(source.filter->TestPin(pin)->maxQueuedPackets, limits.maxPackets);
        EXPECT_LT(source.filter->TestPin(pin)->maxQueuedBytes, limits.lowerBytes + 1000);
    }
}

TEST(FrameworkStream, UnconnectedPinsGetNoThreadAndTheirPacketsAreDropped)
{
    Source source(InterleavedScript(3, 80, SmallSize));
    GraphDriver driver(source.filter);
    ASSERT_EQ(driver.ConnectPins({1}), S_OK);
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(kWait));
    EXPECT_FALSE(source.WorkerRuns(0));
    EXPECT_FALSE(source.WorkerRuns(2));
    EXPECT_TRUE(source.WorkerRuns(1));
    ExpectStream(source.script, 2, 0, driver.Sink(1)->Samples());
    EXPECT_EQ(source.filter->packetsRead, source.script.packets.size());
    EXPECT_EQ(driver.Stop(), S_OK);

    // With no pin connected at all, the filter still pauses, runs and stops.
    Source idle(InterleavedScript(2, 10, SmallSize));
    GraphDriver idleDriver(idle.filter);
    ASSERT_EQ(idleDriver.Run(), S_OK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (idle.filter->packetsRead < idle.script.packets.size() && std::chrono::steady_clock::now() < deadline)
        Sleep(1);
    EXPECT_EQ(idle.filter->packetsRead, idle.script.packets.size());
    EXPECT_FALSE(idle.WorkerRuns(0));
    EXPECT_EQ(idleDriver.Stop(), S_OK);
}

TEST(FrameworkStream, AFillFailureEndsOnlyItsPinWithAnErrorEvent)
{
    Source source(InterleavedScript(2, 60, SmallSize));
    source.filter->TestPin(0)->failure = E_UNEXPECTED;
    source.filter->TestPin(0)->failAfterSamples = 3;
    GraphDriver driver(source.filter);
    ASSERT_TRUE(PlayedToTheEnd(driver));
    EXPECT_EQ(driver.Sink(0)->SampleCount(), 3u);
    EXPECT_EQ(driver.Sink(0)->EndOfStreamCount(), 1u);
    ExpectStream(source.script, 2, 0, driver.Sink(1)->Samples());
    ASSERT_TRUE(driver.Graph().WaitForEvent(EC_ERRORABORT, kWait));
    int aborts = 0;
    for (const GraphEvent& event : driver.GraphEvents()) {
        if (event.code == EC_ERRORABORT) {
            ++aborts;
            EXPECT_EQ(event.param1, static_cast<LONG_PTR>(E_UNEXPECTED));
        }
    }
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(FrameworkStream, ADownstreamRefusalEndsThatPinQuietly)
{
    Source source(InterleavedScript(2, 60, SmallSize));
    GraphDriver driver(source.filter);
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    driver.Sink(0)->LimitReceive(2, S_FALSE);
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.Sink(1)->WaitForEndOfStream(kWait));
    Sleep(50);
    EXPECT_EQ(driver.Sink(0)->SampleCount(), 2u);
    EXPECT_EQ(driver.Sink(0)->EndOfStreamCount(), 0u);
    EXPECT_TRUE(driver.GraphEvents().empty());
    // The reader is left waiting on the undrained queue; Stop still ends everything.
    EXPECT_EQ(driver.Stop(), S_OK);
    EXPECT_FALSE(source.ReaderRuns());
}

TEST(FrameworkStream, BuffersAreSizedFromTheTypeAndGrowForLargePackets)
{
    Script script;
    script.streams.push_back({1, u"Audio", AudioType()});
    script.streams.push_back({2, u"Video", VideoType(1920, 1080)});
    script.streams.push_back({3, u"Big audio", AudioType(200000)});
    CMediaType bareVideo;
    bareVideo.SetType(&MEDIATYPE_Video);
    bareVideo.SetSubtype(&MEDIATYPE_Video);
    bareVideo.SetFormatType(&FORMAT_None);
    bareVideo.lSampleSize = 0;
    script.streams.push_back({4, u"Bare video", bareVideo});
    script.packets.push_back({1, 0, 100000, 100000});  // larger than the 57344-byte buffer
    script.packets.push_back({1, 100000, 200000, 10});
    script.duration = 200000;
    Source source(script);
    GraphDriver driver(source.filter);
    ASSERT_EQ(driver.ConnectAll(), S_OK);

    const LONG expected[] = {57344, 1920 * 1080, 200000, 0x80000};
    for (size_t pin = 0; pin < 4; ++pin) {
        ALLOCATOR_PROPERTIES props{};
        ASSERT_EQ(driver.Sink(pin)->Allocator()->GetProperties(&props), S_OK);
        EXPECT_EQ(props.cBuffers, 1);
        EXPECT_EQ(props.cbBuffer, expected[pin]) << "pin " << pin;
    }
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(kWait));
    ExpectStream(source.script, 1, 0, driver.Sink(0)->Samples());
    ALLOCATOR_PROPERTIES props{};
    driver.Sink(0)->Allocator()->GetProperties(&props);
    EXPECT_EQ(props.cbBuffer, 150000);
    EXPECT_EQ(driver.Stop(), S_OK);
}

// A seek's flush passes downstream before the flusher stops the worker. A worker that enlarges
// its buffer in between must leave that flush on: ending it let the next sample block in a
// paused renderer, and the flusher waited for the worker for ever.
TEST(FrameworkStream, GrowingABufferDoesNotEndAFlushUnderWay)
{
    Script script;
    script.streams.push_back({1, u"Audio", AudioType()});
    script.packets.push_back({1, 0, 100000, 10});
    script.packets.push_back({1, 100000, 200000, 100000});  // larger than the 57344-byte buffer
    script.duration = 200000;
    Source source(script);
    std::promise<void> flushed;
    std::shared_future<void> flushedFuture = flushed.get_future().share();
    source.filter->beforePacket = [flushedFuture](size_t i) {
        if (i == 1)
            flushedFuture.wait();
    };
    GraphDriver driver(source.filter);
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    RecordingSink* sink = driver.Sink(0);
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(sink->WaitForSamples(1, kWait));

    CTestDemuxPin* pin = source.filter->TestPin(0);
    ASSERT_EQ(pin->CBaseOutputPin::DeliverBeginFlush(), S_OK);
    flushed.set_value();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (sink->RefusedSampleCount() == 0 && sink->SampleCount() == 1 && std::chrono::steady_clock::now() < deadline)
        Sleep(1);
    EXPECT_EQ(sink->SampleCount(), 1u);
    EXPECT_EQ(sink->RefusedSampleCount(), 1u);
    EXPECT_EQ(sink->Events().back().kind, SinkEvent::Kind::BeginFlush);
    EXPECT_EQ(pin->CBaseOutputPin::DeliverEndFlush(), S_OK);
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(FrameworkStream, ReleasingAPlayingFilterEndsItsThreads)
{
    LONG objects = CBaseObject::ObjectsActive();
    {
        Source source(InterleavedScript(2, 400, KiloSize), KQueueLimits{4096, 4096, 5, false});
        GraphDriver driver(source.filter);
        ASSERT_EQ(driver.ConnectAll(), S_OK);
        driver.Sink(1)->HoldReceive();
        ASSERT_EQ(driver.Run(), S_OK);
        ASSERT_TRUE(driver.Sink(1)->WaitForHeldReceive(kWait));
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), objects);
}

// Stop on one application thread while another seeks: the reader and the pins' workers leave
// while a seek may be about to call them, and neither side may wait for a thread that is gone.
TEST(FrameworkStream, StopAndSeeksFromTwoThreadsNeverWaitOnEachOther)
{
    using Clock = std::chrono::steady_clock;
    Source source(InterleavedScript(2, 400, SmallSize));
    GraphDriver driver(source.filter);
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    IMediaSeeking* seeking[2] = {driver.Seeking(0), driver.Seeking(1)};
    ASSERT_TRUE(seeking[0] && seeking[1]);

    const auto end = Clock::now() + std::chrono::seconds(20);
    std::atomic<bool> done{false};
    std::atomic<int> cycles{0};
    std::atomic<int> seeks{0};
    auto stress = std::async(std::launch::async, [&] {
        std::thread seeker([&] {
            for (std::uint32_t i = 0; !done; ++i) {
                LONGLONG start = (i * 7919 % 400) * 100000;
                seeking[i % 2]->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0);
                ++seeks;
                if (i % 4 == 0)
                    Sleep(i % 3);
            }
        });
        while (Clock::now() < end) {
            driver.Run();
            Sleep(cycles % 3);
            driver.Stop();
            if (++cycles % 64 == 0) {
                driver.Sink(0)->Reset();
                driver.Sink(1)->Reset();
            }
        }
        done = true;
        seeker.join();
    });
    if (stress.wait_until(end + std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "Stop and SetPositions still wait on each other after " << cycles << " cycles, " << seeks
                      << " seeks";
        std::_Exit(1);  // the stuck threads cannot be unwound
    }
    EXPECT_GT(cycles, 20);
    EXPECT_GT(seeks, 20);

    // The filter still plays whole from a seek afterwards.
    const REFERENCE_TIME target = 2000000;
    ASSERT_EQ(driver.Seek(0, target), S_OK);
    ASSERT_EQ(driver.Seek(1, target), S_OK);
    driver.Sink(0)->Reset();
    driver.Sink(1)->Reset();
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(kWait));
    for (DWORD s = 0; s < 2; ++s)
        ExpectStream(source.script, s + 1, target, driver.Sink(s)->Samples());
    EXPECT_EQ(driver.Stop(), S_OK);
}

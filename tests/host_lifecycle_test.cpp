// Every filter of the module driven the way hosts drive them in practice rather than by the book:
// a user-interface thread seeking while another runs and stops the graph, a Run after Stop
// without a seek, and a host that probes files before it loads a good one and then lets go of a
// running graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "host/graph_driver.h"
#include "io/wide_text.h"
#include "module/templates.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

namespace {

using namespace vmx::host;
using vmx::test::PlaySession;
using Clock = std::chrono::steady_clock;

// How far from the target a seek may resume: key frames of the fixtures are at most this apart.
constexpr REFERENCE_TIME kNear = 25000000;

struct FilterFile {
    const char* filter;
    const char* file;
    // How far a sample's time after a seek may lie from its time in a whole play. Elementary
    // audio finds its seek position from the byte rate and resumes at the time asked for, not at
    // the frame's own time; Vorbis times count half block sizes on from the page a seek lands on.
    REFERENCE_TIME timeSlack = 0;
};

// One file per filter of the module's table, with more than one pin where the format allows.
constexpr FilterFile kOneFilePerFilter[] = {
    {"avi", "avi/h264-aac.avi"},
    {"ogg", "ogg/theora-vorbis.ogg", 500000},
    {"ogg", "ogg/ogm-mpeg4-mp3-text.ogm"},
    {"mpeg", "mpeg/mpeg1-mp2.mpg"},
    {"mkv", "mkv/h264-aac.mkv"},
    {"mp4", "mp4/h264-aac-faststart.mp4"},
    {"asf", "asf/wmv2-wma2.wmv"},
    {"flv", "flv/h264-aac.flv"},
    {"asfex", "asf/wmv2-wma2.wmv"},
    {"ogg2", "ogg/theora-vorbis.ogg", 500000},
    {"mp3", "mp3/cbr-44k-id3.mp3", 5000000},
    {"aac", "aac/lc-44k-stereo.aac", 5000000},
    {"mpeg2", "ts/h264-1080.ts"},
};

// How long each file is stormed; VMX_STORM_SECONDS makes it longer for a soak run.
std::chrono::milliseconds StormLength()
{
    const char* seconds = std::getenv("VMX_STORM_SECONDS");
    return seconds ? std::chrono::milliseconds(std::atoi(seconds) * 1000) : std::chrono::milliseconds(1500);
}

struct StormCounts {
    int cycles = 0;
    int seeks = 0;
};

// One thread runs and stops the graph a few hundred microseconds apart while a second seeks one
// pin after another in a loop. Two threads that still wait on each other long after the storm
// should have ended fail the test and end the process.
StormCounts RunStopWhileSeeking(PlaySession& session, REFERENCE_TIME span, std::chrono::milliseconds length)
{
    const size_t pins = session.driver.OutputPinCount();
    std::atomic<bool> done{false};
    std::atomic<int> cycles{0}, seeks{0};
    const auto end = Clock::now() + length;
    auto storm = std::async(std::launch::async, [&] {
        std::thread seeker([&] {
            for (std::uint32_t i = 0; !done; ++i) {
                LONGLONG start = static_cast<LONGLONG>(i * 7919u % 1000u) * span / 1000;
                if (IMediaSeeking* seeking = session.driver.Seeking(i % pins))
                    seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
                ++seeks;
                if (i % 4 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(i % 500));
            }
        });
        while (Clock::now() < end) {
            session.driver.Run();
            std::this_thread::sleep_for(std::chrono::microseconds(100 * (cycles % 5)));
            session.driver.Stop();
            if (++cycles % 64 == 0)
                for (size_t p = 0; p < pins; ++p)
                    session.driver.Sink(p)->Reset();
        }
        done = true;
        seeker.join();
    });
    if (storm.wait_until(end + std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "Run/Stop and SetPositions still wait on each other after " << cycles << " cycles, " << seeks << " seeks";
        std::_Exit(1);  // the stuck threads cannot be unwound
    }
    return {cycles.load(), seeks.load()};
}

}  // namespace

class LifecycleThreads : public testing::TestWithParam<FilterFile> {};

TEST_P(LifecycleThreads, RunAndStopOnOneThreadSeeksOnAnotherThenAWholePlayFromASeek)
{
    const FilterFile& entry = GetParam();
    PlaySession session(entry.file, entry.filter);
    ASSERT_TRUE(session.connected) << session.source.error;
    const size_t pins = session.driver.OutputPinCount();
    // Asked here, so that the seeking thread only reads the driver's cached pointers.
    for (size_t p = 0; p < pins; ++p)
        ASSERT_NE(session.driver.Seeking(p), nullptr);
    LONGLONG duration = 0;
    ASSERT_EQ(session.driver.Seeking(0)->GetDuration(&duration), S_OK);
    ASSERT_GT(duration, 0);

    // Both paths ran, crossing each other; a loaded machine (sanitizers, parallel tests) manages
    // only a few state changes in the storm's time.
    const StormCounts counts = RunStopWhileSeeking(session, duration, StormLength());
    EXPECT_GE(counts.cycles, 3);
    EXPECT_GE(counts.seeks, 3);

    // Afterwards a seek made while paused plays to the end with nothing lost: what each pin
    // delivers is the tail of a whole play, from near the target on.
    const PlayResult whole = vmx::test::PlayFixture(entry.file, entry.filter);
    ASSERT_TRUE(whole.Succeeded()) << whole.error;
    ASSERT_EQ(whole.report.pins.size(), pins);
    const REFERENCE_TIME target = duration * 2 / 5;
    for (size_t p = 0; p < pins; ++p)
        session.driver.Sink(p)->Reset();
    ASSERT_EQ(session.driver.Pause(), S_OK);
    for (size_t p = 0; p < pins; ++p)
        ASSERT_EQ(session.Seek(p, target, 0), S_OK);
    ASSERT_EQ(session.driver.Run(), S_OK);
    ASSERT_TRUE(session.driver.WaitForEndOfStream(20000));
    for (size_t p = 0; p < pins; ++p) {
        SCOPED_TRACE(p);
        REFERENCE_TIME segmentStart = 0;
        auto ours = session.LastSegment(p, &segmentStart);
        const auto all = vmx::test::SamplesOf(whole.report.pins[p]);
        // Codec headers that every segment starts with (Vorbis, Theora) are the whole play's too.
        size_t headers = 0;
        while (headers < ours.size() && headers < all.size() && ours[headers].adler32 == all[headers].adler32 &&
               ours[headers].length == all[headers].length && ours[headers].start <= 0)
            ++headers;
        ours.erase(ours.begin(), ours.begin() + static_cast<std::ptrdiff_t>(headers));
        if (all.size() == headers) {  // a stream the filter gives a pin but no samples
            EXPECT_TRUE(ours.empty());
            continue;
        }
        ASSERT_FALSE(ours.empty());
        const auto first = std::find_if(all.begin() + static_cast<std::ptrdiff_t>(headers), all.end(), [&](const SinkEvent& sample) {
            return std::llabs(sample.start - (ours[0].start + segmentStart)) <= entry.timeSlack &&
                   sample.adler32 == ours[0].adler32;
        });
        ASSERT_NE(first, all.end()) << "the first sample after the seek, at " << ours[0].start + segmentStart;
        EXPECT_LT(std::llabs(first->start - target), kNear) << first->start;
        ASSERT_EQ(ours.size(), static_cast<size_t>(all.end() - first));
        for (size_t k = 0; k < ours.size(); ++k) {
            EXPECT_EQ(ours[k].length, first[k].length) << k;
            EXPECT_EQ(ours[k].adler32, first[k].adler32) << k;
            EXPECT_LE(std::llabs(ours[k].start + segmentStart - first[k].start), entry.timeSlack) << k;
        }
    }
    vmx::test::ExpectPromptStop(session);
}

INSTANTIATE_TEST_SUITE_P(EveryFilter, LifecycleThreads, testing::ValuesIn(kOneFilePerFilter),
                         [](const testing::TestParamInfo<FilterFile>& info) {
                             const std::string file = info.param.file;
                             std::string name = std::string(info.param.filter) + "_" +
                                                file.substr(file.find('/') + 1, file.rfind('.') - file.find('/') - 1);
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

namespace {

// Where a Run after Stop, without a seek, starts reading.
enum class Restart {
    FromTheSeek,   // the demuxer positions its parser at each start
    WhereItStood,  // its seeks position it, and a start keeps its place: after a whole play, the end
    FromTheStart,  // the Windows Media reader starts from 0 each time
};

struct RunAgain {
    FilterFile source;
    Restart restart;
    size_t headers = 0;  // codec header samples every start sends first
};

constexpr RunAgain kRunAgain[] = {
    {{"avi", "avi/h264-aac.avi"}, Restart::WhereItStood},
    {{"ogg", "ogg/theora-vorbis.ogg"}, Restart::FromTheSeek, 3},
    {{"mpeg", "mpeg/mpeg1-mp2.mpg"}, Restart::FromTheSeek},
    {{"mkv", "mkv/h264-aac.mkv"}, Restart::WhereItStood},
    {{"mp4", "mp4/h264-aac-faststart.mp4"}, Restart::WhereItStood},
    {{"asf", "asf/keys-10s.wmv"}, Restart::FromTheStart},
    {{"flv", "flv/h264-aac.flv"}, Restart::FromTheSeek},
    {{"asfex", "asf/wmv2-wma2.wmv"}, Restart::FromTheSeek},
    {{"ogg2", "ogg/theora-vorbis.ogg"}, Restart::WhereItStood, 3},
    {{"mp3", "mp3/cbr-44k-id3.mp3"}, Restart::FromTheSeek},
    {{"aac", "aac/lc-44k-stereo.aac"}, Restart::FromTheSeek},
    {{"mpeg2", "ts/h264-1080.ts"}, Restart::WhereItStood},
};

}  // namespace

TEST(Lifecycle, StopThenRunWithoutASeekStartsWhereTheFilterPositionsItsReader)
{
    for (const RunAgain& entry : kRunAgain) {
        SCOPED_TRACE(std::string(entry.source.filter) + " " + entry.source.file);
        PlaySession session(entry.source.file, entry.source.filter);
        ASSERT_TRUE(session.connected) << session.source.error;
        const size_t pins = session.driver.OutputPinCount();
        LONGLONG duration = 0;
        ASSERT_EQ(session.driver.Seeking(0)->GetDuration(&duration), S_OK);
        // A seek while paused to 40%, a play to the end, Stop, and a Run.
        ASSERT_EQ(session.driver.Pause(), S_OK);
        for (size_t p = 0; p < pins; ++p)
            ASSERT_EQ(session.Seek(p, duration * 2 / 5, 0), S_OK);
        ASSERT_EQ(session.driver.Run(), S_OK);
        ASSERT_TRUE(session.driver.WaitForEndOfStream(20000));
        std::vector<std::vector<SinkEvent>> first;
        for (size_t p = 0; p < pins; ++p)
            first.push_back(session.LastSegment(p));
        ASSERT_EQ(session.driver.Stop(), S_OK);
        for (size_t p = 0; p < pins; ++p)
            session.driver.Sink(p)->Reset();
        ASSERT_EQ(session.driver.Run(), S_OK);
        ASSERT_TRUE(session.driver.WaitForEndOfStream(20000));
        for (size_t p = 0; p < pins; ++p) {
            SCOPED_TRACE(p);
            const auto again = session.LastSegment(p);
            switch (entry.restart) {
            case Restart::WhereItStood:
                EXPECT_EQ(again.size(), entry.headers);
                break;
            case Restart::FromTheStart:
                EXPECT_GT(again.size(), first[p].size());
                break;
            case Restart::FromTheSeek:
                ASSERT_EQ(again.size(), first[p].size());
                for (size_t k = 0; k < again.size(); ++k) {
                    EXPECT_EQ(again[k].adler32, first[p][k].adler32) << k;
                    EXPECT_EQ(again[k].start, first[p][k].start) << k;
                }
                break;
            }
        }
        vmx::test::ExpectPromptStop(session);
    }
}

TEST(Lifecycle, ACarelessHostProbesThenLoadsAGoodFileAndLetsGoOfItPlaying)
{
    // As a host that probes files: a path that does not exist, then 200 KB of random bytes, then
    // a good file in the same filter object. The good file loads and plays; the graph is
    // released 30 ms into a run without a Stop of the host's own.
    const auto noise = std::filesystem::temp_directory_path() / "vmx-lifecycle-noise.bin";
    {
        std::vector<BYTE> bytes(200 * 1024);
        std::uint32_t state = 2024;
        for (BYTE& byte : bytes)
            byte = static_cast<BYTE>((state = state * 1103515245u + 12345u) >> 16);
        std::ofstream(noise, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    for (const FilterFile& entry : kOneFilePerFilter) {
        SCOPED_TRACE(std::string(entry.filter) + " " + entry.file);
        const CFactoryTemplate& tmpl = g_Templates[*ResolveFilterChoice(entry.filter)];
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(DllGetClassObject(*tmpl.m_ClsID, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, filter.ReceiveVoid()), S_OK);
        ComPtr<IFileSourceFilter> file;
        ASSERT_EQ(filter.QueryInterface(IID_IFileSourceFilter, &file), S_OK);
        const WString missing = WideFromUtf8((std::filesystem::temp_directory_path() / "vmx-no-such-file.bin").string());
        EXPECT_TRUE(FAILED(file->Load(missing.c_str(), nullptr)));
        EXPECT_TRUE(FAILED(file->Load(WideFromUtf8(noise.string()).c_str(), nullptr)));
        ASSERT_EQ(file->Load(WideFromUtf8(vmx::test::kFixtureDir + entry.file).c_str(), nullptr), S_OK);
        {
            GraphDriver driver(filter.Get());
            ASSERT_EQ(driver.ConnectAll(), S_OK);
            ASSERT_GT(driver.OutputPinCount(), 0u);
            ASSERT_EQ(driver.Run(), S_OK);
            const auto delivered = [&] {
                size_t samples = 0;
                for (size_t p = 0; p < driver.OutputPinCount(); ++p)
                    samples += driver.Sink(p)->SampleCount();
                return samples;
            };
            for (int waited = 0; delivered() == 0 && waited < 5000; ++waited)
                Sleep(1);
            EXPECT_GT(delivered(), 0u);
            Sleep(30);
        }  // the graph goes with the filter running in it
    }
    std::filesystem::remove(noise);
}

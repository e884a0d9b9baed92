// AVI and OpenDML: the fixtures played through the recording sinks against ffprobe's packet
// tables (the same chunks, bytes and key flags; times by the stream's rate or, for byte-timed
// audio, by the bytes before each chunk), files without an index scanned while they play, the
// seek rules, and damaged files; files built here where a rule needs chunks no encoder makes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "demux/avi/avi_filter.h"
#include "demux/avi/avi_media_types.h"
#include "host/graph_driver.h"
#include "io/wide_text.h"
#include "tests/avi_bytes.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"
#include "tests/test_support.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;

// The stream index of a pin: "Video" is the first video stream, "Audio NN" stream NN.
int StreamOf(const std::string& name, int firstVideo)
{
    return name == "Video" ? firstVideo : std::stoi(name.substr(name.find(' ') + 1));
}

}  // namespace

TEST(AviPlayback, EveryPinDeliversTheFilesChunks)
{
    const char* files[] = {"xvid-mp3", "divx", "dx50", "fmp4", "mp42", "div3", "wmv1", "wmv2", "cinepak",
                           "msvideo1", "h264-aac", "mjpeg", "huffyuv", "raw-bgr24", "raw-rgb555", "mp3-cbr",
                           "mp3-vbr", "mp2", "ac3", "dts", "pcm-s16le", "ima-adpcm", "ms-adpcm", "two-audio",
                           "two-video", "no-idx1", "idx1-absolute", "odml-idx1", "odml-no-idx1"};
    for (const char* name : files) {
        SCOPED_TRACE(name);
        const std::string file = kFixtureDir + "avi/" + name + ".avi";
        // Rates and byte timing as the file's headers give them, from a handler of our own.
        KAvi2ReadHandler handler;
        ASSERT_TRUE(handler.Open(WideFromUtf8(file).c_str()));
        // A file without an index is listed by a background scan: its list is whole only once
        // the scan ends (the filter's own play waits for it as it needs).
        for (int waited = 0; handler.Scanning() && waited < 10000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_FALSE(handler.Scanning());
        const auto streams = LoadFrames("avi/" + std::string(name));
        const PlayResult played = vmx::test::PlayFixture("avi/" + std::string(name) + ".avi", "avi");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_FALSE(played.report.pins.empty());
        const auto video = std::find_if(handler.Streams().begin(), handler.Streams().end(),
                                        [](const auto& stream) { return stream->IsVideo(); });
        const int firstVideo = video != handler.Streams().end() ? static_cast<int>((*video)->number) : -1;
        for (const PinReport& pin : played.report.pins) {
            SCOPED_TRACE(pin.name);
            const int index = StreamOf(pin.name, firstVideo);
            KAvi2ReadStream& stream = *handler.Streams().at(static_cast<std::size_t>(index));
            const std::vector<RefFrame>& frames = streams.at(index);
            // The index as the file gives it, empty chunks included: they are not delivered, but
            // chunk-timed streams count them.
            struct Indexed {
                std::size_t n;
                std::uint64_t bytesBefore;
            };
            std::vector<Indexed> delivered;
            AviIndexEntry entry{};
            REFERENCE_TIME start = 0, stop = 0;
            for (std::size_t n = 0; stream.Take(&entry, &start, &stop); ++n)
                if (entry.size > 0)
                    delivered.push_back({n, entry.bytesBefore});
            const auto samples = SamplesOf(pin);
            ASSERT_EQ(samples.size(), frames.size());
            ASSERT_EQ(delivered.size(), frames.size());
            for (std::size_t k = 0; k < samples.size(); ++k) {
                ASSERT_EQ(samples[k].length, frames[k].size) << k;
                ASSERT_EQ(samples[k].adler32, frames[k].adler32) << k;
                // Chunk n of the index starts at n / rate seconds, byte-timed audio at its bytes
                // before it over the byte rate. ffprobe rounds where this truncates, skips empty
                // audio chunks, and times ADPCM and DTS by blocks where these count bytes.
                const double units = stream.ByteTimed() ? static_cast<double>(delivered[k].bytesBefore)
                                                        : static_cast<double>(delivered[k].n);
                EXPECT_EQ(samples[k].start, static_cast<REFERENCE_TIME>(units / stream.rate * 10000000.0)) << k;
                EXPECT_EQ(samples[k].syncPoint, k == 0 || frames[k].key) << k;
            }
        }
    }
}

TEST(AviPlayback, PinsAndTypes)
{
    struct Case {
        const char* file;
        std::vector<std::string> pins;
    };
    // A second video stream gets no pin; audio pins carry their stream numbers.
    const Case cases[] = {{"two-audio", {"Video", "Audio 01", "Audio 02"}}, {"two-video", {"Video", "Audio 02"}}};
    for (const Case& c : cases) {
        OpenedSource source = OpenSourceFile(kFixtureDir + "avi/" + c.file + ".avi", "avi");
        ASSERT_TRUE(source) << source.error;
        const PlayResult described = DescribeSource(source.filter.Get());
        std::vector<std::string> names;
        for (const PinReport& pin : described.report.pins)
            names.push_back(pin.name);
        EXPECT_EQ(names, c.pins) << c.file;
    }

    // Uncompressed pictures are named by bit count, 16-bit ones with BI_BITFIELDS by their masks.
    struct Bitmap {
        DWORD compression;
        WORD bits;
        std::uint32_t masks[3];
        GUID subtype;
    };
    const Bitmap bitmaps[] = {
        {BI_RGB, 24, {}, MEDIASUBTYPE_RGB24},
        {BI_RGB, 16, {}, MEDIASUBTYPE_RGB555},
        {BI_BITFIELDS, 16, {0xF800, 0x07E0, 0x001F}, MEDIASUBTYPE_RGB565},
        {BI_BITFIELDS, 16, {0x7C00, 0x03E0, 0x001F}, MEDIASUBTYPE_RGB555},
        {BI_BITFIELDS, 16, {0x0F00, 0x00F0, 0x000F}, GUID_NULL},
        {BI_RGB, 12, {}, GUID_NULL},
        {MakeFourcc('X', 'V', 'I', 'D'), 24, {}, FourccGuid(MakeFourcc('X', 'V', 'I', 'D'))},
    };
    for (const Bitmap& b : bitmaps) {
        std::vector<BYTE> header(52, 0);
        std::memcpy(header.data() + 14, &b.bits, 2);
        std::memcpy(header.data() + 16, &b.compression, 4);
        std::memcpy(header.data() + 40, b.masks, 12);
        EXPECT_EQ(GetBitmapSubtype(header), b.subtype) << b.bits << " " << b.compression;
    }
}

TEST(AviPlayback, SampleSizesComeFromTheHeadersAndBuffersFromTheFile)
{
    // A type's sample size is four bytes a pixel, or a second of four-byte samples, or twice the
    // suggested buffer when that is larger, even where the file is smaller. The buffers are sized
    // from the file instead (with the audio floor of 56 KiB), so that a header's word costs no
    // gigabyte.
    const nlohmann::json streams = vmx::test::LoadTable("avi/xvid-mp3")["streams"];
    const auto pixels = streams[0]["width"].get<long>() * streams[0]["height"].get<long>();
    const auto samples = streams[1]["channels"].get<long>() * streams[1]["sample_rate"].get<long>();
    struct Case {
        const char* file;
        std::vector<long> sampleSizes;
        std::vector<long> buffers;  // 0: the file's size
    };
    // The fuzzer's file: five PCM streams whose headers suggest buffers of 512 MiB.
    const Case cases[] = {{"avi/xvid-mp3.avi", {pixels * 4, samples * 4}, {0, 0xE000}},
                          {"fuzz/avi-suggested-buffer.avi", std::vector<long>(5, 1L << 30), std::vector<long>(5, 0xE000)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        OpenedSource source = OpenSourceFile(kFixtureDir + c.file, "avi");
        ASSERT_TRUE(source) << source.error;
        GraphDriver driver(source.filter.Get());
        ASSERT_EQ(driver.ConnectAll(), S_OK);
        const auto fileSize = static_cast<long>(std::filesystem::file_size(kFixtureDir + c.file));
        ASSERT_EQ(driver.OutputPinCount(), c.sampleSizes.size());
        for (size_t pin = 0; pin < c.sampleSizes.size(); ++pin) {
            SCOPED_TRACE(pin);
            AM_MEDIA_TYPE type{};
            ASSERT_EQ(driver.OutputPin(pin)->ConnectionMediaType(&type), S_OK);
            EXPECT_EQ(type.lSampleSize, static_cast<ULONG>(c.sampleSizes[pin]));
            EXPECT_GT(type.lSampleSize, static_cast<ULONG>(fileSize));
            FreeMediaType(type);
            ALLOCATOR_PROPERTIES props{};
            ASSERT_EQ(driver.Sink(pin)->Allocator()->GetProperties(&props), S_OK);
            EXPECT_EQ(props.cbBuffer, c.buffers[pin] ? c.buffers[pin] : fileSize);
        }
    }
}

TEST(AviPlayback, ChunksAreReadWithoutAPauseBetweenThem)
{
    // 3000 PCM chunks of 4 bytes: a reader that paused a millisecond after each would need 3 s.
    vmx::test::ScopedTempDir dir;
    namespace avi = vmx::test::avi;
    avi::AviFile file;
    file.AddStream(avi::StreamHeader("auds", 1, 8000, 2), avi::WaveFormat(1, 1, 8000, 16000, 2, 16));
    constexpr int kChunks = 3000;
    for (int k = 0; k < kChunks; ++k)
        file.AddChunk(0, "wb", {static_cast<BYTE>(k), static_cast<BYTE>(k >> 8), 0, 0});
    OpenedSource source = OpenSourceFile(file.Save(dir.file("tiny-chunks.avi")), "avi");
    ASSERT_TRUE(source) << source.error;
    GraphDriver driver(source.filter.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    const auto samples = driver.Sink(0)->Samples();
    ASSERT_EQ(samples.size(), static_cast<size_t>(kChunks));
    EXPECT_EQ(samples.back().start, (kChunks - 1) * 4 * kSecond / 16000);
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(AviSeeking, KeyFramesAndTheAnchoringRule)
{
    // xvid-mp3: 25 fps, key frames at chunks 0 and 26 (chunk 1 is empty).
    const auto frames = LoadFrames("avi/xvid-mp3").at(0);
    const auto chunk = [&](long long n) {
        return *std::find_if(frames.begin(), frames.end(), [n](const RefFrame& f) { return f.pts == n; });
    };
    ASSERT_TRUE(chunk(0).key && chunk(26).key);
    OpenedSource source = OpenSourceFile(kFixtureDir + "avi/xvid-mp3.avi", "avi");
    ASSERT_TRUE(source) << source.error;
    GraphDriver driver(source.filter.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    ComPtr<IVmxAVI> options;
    ASSERT_EQ(source.filter.QueryInterface(IID_IVmxAVI, &options), S_OK);
    const auto seek = [&](REFERENCE_TIME time) {
        LONGLONG position = time;
        EXPECT_EQ(driver.Seeking(0)->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
        EXPECT_EQ(driver.Seeking(1)->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    };
    const auto firstSample = [&](size_t pin) {
        std::vector<SinkEvent> samples;
        for (const SinkEvent& event : driver.Sink(pin)->Events()) {
            if (event.kind == SinkEvent::Kind::NewSegment)
                samples.clear();
            else if (event.kind == SinkEvent::Kind::Sample)
                samples.push_back(event);
        }
        return samples.empty() ? SinkEvent{} : samples.front();
    };

    // Not anchored: 2 s is chunk 50 (the seek counts whole seconds), and video moves back to the
    // key frame at 26, delivered 0.96 s before the start; audio starts at 2 s.
    ASSERT_EQ(driver.Pause(), S_OK);
    seek(2 * kSecond);
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(10000));
    SinkEvent first = firstSample(0);
    EXPECT_EQ(first.adler32, chunk(26).adler32);
    EXPECT_EQ(first.start, static_cast<REFERENCE_TIME>(26 / 25.0 * 10000000.0) - 2 * kSecond);
    EXPECT_TRUE(first.syncPoint);

    // Anchored, with key frames on: 1 s (chunk 25) moves forward to the key frame at 26, whose
    // time becomes every stream's start and the position the pins report.
    ASSERT_EQ(options->SetAnchoring(1), S_OK);
    seek(kSecond);
    ASSERT_TRUE(driver.WaitForEndOfStream(10000));
    first = firstSample(0);
    EXPECT_EQ(first.adler32, chunk(26).adler32);
    EXPECT_EQ(first.start, 0);
    const REFERENCE_TIME key = static_cast<REFERENCE_TIME>(26 / 25.0 * 10000000.0);
    for (size_t pin = 0; pin < 2; ++pin) {
        LONGLONG reported = 0;
        driver.Seeking(pin)->GetPositions(&reported, nullptr);
        EXPECT_EQ(reported, key) << pin;
    }
    // Audio follows from the key frame's time: its first chunk starts within a chunk of it.
    EXPECT_LE(firstSample(1).start, 0);
    EXPECT_GT(firstSample(1).start, -kSecond / 10);
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(AviSeeking, AnchoredSeeksFollowTheFilesLastVideoStream)
{
    // Two video streams of 50 frames at 25 fps, chunk k of stream 0 being 100 + k bytes: stream 0
    // (the pin "Video") has key frames at 0 and 25, stream 1 every 10 frames. An anchored seek to
    // 1 s follows the last video stream to its key frame at 30 (1.2 s); the video pin then starts
    // from its own key frame at or before that time, 25, as preroll. Unanchored, the seek stays at
    // 1 s, where the video pin has a key frame.
    namespace avi = vmx::test::avi;
    avi::AviFile file;
    for (int stream = 0; stream < 2; ++stream)
        file.AddStream(avi::StreamHeader("vids", 1, 25), avi::BitmapFormat(MakeFourcc('M', 'J', 'P', 'G'), 16, 16));
    for (int k = 0; k < 50; ++k) {
        file.List(file.AddChunk(0, "dc", avi::Bytes(100 + k, static_cast<BYTE>(k))), k % 25 == 0);
        file.List(file.AddChunk(1, "dc", avi::Bytes(50, static_cast<BYTE>(k))), k % 10 == 0);
    }
    vmx::test::ScopedTempDir dir;
    const std::string path = file.Save(dir.file("two-video-keys.avi"));
    struct Case {
        DWORD anchoring;
        REFERENCE_TIME start;  // where the pin reports playback starts after the seek
    };
    for (const Case& c : {Case{1, 12 * kSecond / 10}, Case{0, kSecond}}) {
        SCOPED_TRACE(c.anchoring);
        OpenedSource source = OpenSourceFile(path, "avi");
        ASSERT_TRUE(source) << source.error;
        GraphDriver driver(source.filter.Get());
        ASSERT_EQ(driver.ConnectAll(), S_OK);
        ASSERT_EQ(driver.OutputPinCount(), 1u);
        ComPtr<IVmxAVI> options;
        ASSERT_EQ(source.filter.QueryInterface(IID_IVmxAVI, &options), S_OK);
        ASSERT_EQ(options->SetAnchoring(c.anchoring), S_OK);
        ASSERT_EQ(driver.Pause(), S_OK);
        LONGLONG position = kSecond;
        ASSERT_EQ(driver.Seeking(0)->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
        LONGLONG reported = 0;
        driver.Seeking(0)->GetPositions(&reported, nullptr);
        EXPECT_EQ(reported, c.start);
        ASSERT_EQ(driver.Run(), S_OK);
        ASSERT_TRUE(driver.WaitForEndOfStream(10000));
        std::vector<SinkEvent> samples;
        for (const SinkEvent& event : driver.Sink(0)->Events()) {
            if (event.kind == SinkEvent::Kind::NewSegment)
                samples.clear();
            else if (event.kind == SinkEvent::Kind::Sample)
                samples.push_back(event);
        }
        ASSERT_EQ(samples.size(), 25u);
        EXPECT_EQ(samples.front().length, 125);
        EXPECT_EQ(samples.front().start, kSecond - c.start);
        EXPECT_EQ(samples.front().preroll, c.start > kSecond);
        EXPECT_EQ(driver.Stop(), S_OK);
    }
}

TEST(AviScanning, FilesWithoutAUsableIndexPlayWhileTheyAreScanned)
{
    // Stop right after each start: the scan is joined promptly every time and resumes with the
    // next start, and a full play then delivers every chunk.
    using Clock = std::chrono::steady_clock;
    const auto video = LoadFrames("avi/no-idx1").at(0);
    OpenedSource source = OpenSourceFile(kFixtureDir + "avi/no-idx1.avi", "avi");
    ASSERT_TRUE(source) << source.error;
    auto* filter = dynamic_cast<CAVI2_Filter*>(source.filter.Get());
    ASSERT_NE(filter, nullptr);
    EXPECT_FALSE(filter->Handler().HasIndex());
    GraphDriver driver(source.filter.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(driver.Pause(), S_OK);
        const auto start = Clock::now();
        ASSERT_EQ(driver.Stop(), S_OK);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    }
    LONGLONG position = 0;
    ASSERT_EQ(driver.Seeking(0)->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    driver.Sink(0)->Reset();
    ASSERT_EQ(driver.Run(), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(10000));
    EXPECT_EQ(driver.Sink(0)->Samples().size(), video.size());
    // Key frames found by the scan's probe: a seek to 2 s (chunk 50) lands on the one at 26.
    driver.Sink(0)->Reset();
    position = 2 * kSecond;
    ASSERT_EQ(driver.Seeking(0)->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    ASSERT_TRUE(driver.WaitForEndOfStream(10000));
    const auto resumed = driver.Sink(0)->Samples();
    ASSERT_FALSE(resumed.empty());
    const auto key = std::find_if(video.begin(), video.end(), [](const RefFrame& f) { return f.pts == 26; });
    ASSERT_NE(key, video.end());
    EXPECT_EQ(resumed.front().adler32, key->adler32);
    EXPECT_EQ(resumed.size(), static_cast<std::size_t>(video.end() - key));
    ComPtr<IVmxAVI> options;
    ASSERT_EQ(source.filter.QueryInterface(IID_IVmxAVI, &options), S_OK);
    LONGLONG indexed = 0;
    EXPECT_EQ(options->GetIndexedDuration(nullptr), E_POINTER);
    EXPECT_EQ(options->GetIndexedDuration(&indexed), S_OK);
    // The last chunk's end, empty chunks counted.
    EXPECT_EQ(indexed, static_cast<REFERENCE_TIME>(static_cast<double>(video.back().pts + 1) / 25.0 * 10000000.0));
    EXPECT_EQ(driver.Stop(), S_OK);

    // The slots that only keep a value, and the one that takes a host object and refuses it.
    DWORD value = 1;
    EXPECT_EQ(options->GetUserValue(&value), S_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(options->SetNotify(nullptr), E_FAIL);
    EXPECT_EQ(options->SetUserValue(7), S_OK);
    EXPECT_EQ(options->GetUserValue(&value), S_OK);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(options->SetNotify(nullptr), E_POINTER);
    EXPECT_EQ(options->SetNotify(options.Get()), E_FAIL);
}

TEST(AviScanning, AGrowingFileIsIndexedAndPlayedAsItGrows)
{
    // A file without an index, written in pieces while it plays: the scan waits for more while
    // the file grows, the indexed duration grows with it, and every chunk is played.
    std::ifstream in(kFixtureDir + "avi/no-idx1.avi", std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto video = LoadFrames("avi/no-idx1").at(0);
    vmx::test::ScopedTempDir dir;
    const std::string path = dir.file("growing.avi");
    const std::size_t pieces = 8, first = whole.size() * 3 / 10;
    std::ofstream(path, std::ios::binary).write(whole.data(), static_cast<std::streamsize>(first));
    OpenedSource source = OpenSourceFile(path, "avi");
    ASSERT_TRUE(source) << source.error;
    GraphDriver driver(source.filter.Get());
    ASSERT_EQ(driver.ConnectAll(), S_OK);
    ComPtr<IVmxAVI> options;
    ASSERT_EQ(source.filter.QueryInterface(IID_IVmxAVI, &options), S_OK);
    ASSERT_EQ(driver.Run(), S_OK);
    std::vector<LONGLONG> indexed;
    for (std::size_t piece = 0; piece < pieces; ++piece) {
        Sleep(150);
        LONGLONG duration = 0;
        ASSERT_EQ(options->GetIndexedDuration(&duration), S_OK);
        indexed.push_back(duration);
        const std::size_t from = first + (whole.size() - first) * piece / pieces;
        const std::size_t to = first + (whole.size() - first) * (piece + 1) / pieces;
        std::ofstream(path, std::ios::binary | std::ios::app).write(whole.data() + from, static_cast<std::streamsize>(to - from));
    }
    ASSERT_TRUE(driver.WaitForEndOfStream(10000));
    EXPECT_TRUE(std::is_sorted(indexed.begin(), indexed.end()));
    EXPECT_LT(indexed.front(), indexed.back());
    LONGLONG finalDuration = 0;
    ASSERT_EQ(options->GetIndexedDuration(&finalDuration), S_OK);
    EXPECT_EQ(finalDuration, static_cast<REFERENCE_TIME>(static_cast<double>(video.back().pts + 1) / 25.0 * 10000000.0));
    EXPECT_EQ(driver.Sink(0)->Samples().size(), video.size());
    EXPECT_EQ(driver.Stop(), S_OK);
}

TEST(AviDamaged, FailCleanlyOrPlayWhatTheFileHolds)
{
    struct Case {
        const char* file;
        bool loads;
        std::size_t videoSamples;  // of 50 (25 for truncated.avi's source)
    };
    const Case cases[] = {
        {"damaged/zeroed-header", false, 0},
        // The scan resynchronises after the damaged header and finds every other chunk.
        {"damaged/garbage-no-idx1", true, 49},
        // Cut before its last standard index: the OpenDML file is scanned instead, and ends.
        {"damaged/odml-truncated", true, 50},
        // A chunk cut by the end of the file is not delivered.
        {"damaged/truncated", true, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const PlayResult played = vmx::test::PlayFixture("avi/" + std::string(c.file) + ".avi", "avi");
        if (!c.loads) {
            EXPECT_NE(played.error.find("could not load"), std::string::npos) << played.error;
            continue;
        }
        ASSERT_TRUE(played.Succeeded()) << played.error;
        EXPECT_EQ(SamplesOf(played.report.pins.at(0)).size(), c.videoSamples);
    }
    // The fuzzer's findings load and end, or fail to load cleanly.
    vmx::test::ExpectFuzzFindingsPlayOrFail("avi-", "avi");
}

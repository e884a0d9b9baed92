// MPEG program streams, bare PES, PVA and transport streams through the first MPEG filter:
// pins, types and every sample against ffprobe's unparsed packet tables, the seek search and the
// duration estimate, threads, and damaged files.
#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "demux/mpeg_ps/mpeg_filter.h"
#include "demux/mpeg_ps/mpeg_reader.h"
#include "framework/format_blocks.h"
#include "io/byte_reader.h"
#include "io/wide_text.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using nlohmann::json;
using namespace vmx::test;

std::uint32_t Hash(const json& packet)
{
    const std::string text = packet["data_hash"].get<std::string>();
    return static_cast<std::uint32_t>(std::stoul(text.substr(text.find(':') + 1), nullptr, 16));
}

// The filter's stream key for an ffprobe stream: the PID in a transport stream, the PVA stream
// number, else stream id x 256 (+ the sub-stream id of private stream 1).
DWORD KeyOf(const json& stream, const std::string& file)
{
    const bool video = stream.contains("width");
    if (file.ends_with(".pva"))
        return video ? 1 : 2;
    const DWORD id = static_cast<DWORD>(std::stoul(stream["id"].get<std::string>(), nullptr, 16));
    if (file.ends_with(".ts") || file.ends_with(".m2ts"))
        return id;
    return id >= 0x100 ? (id & 0xFF) << 8 : 0xBD00 | id;
}

constexpr long long kWrap = 1LL << 33;

// The file's first presentation time (90 kHz, as the file holds it): that of the first timed PES
// in file order.
long long FirstPts(const json& table)
{
    long long firstPos = -1, first = 0;
    for (const json& packet : table["packets"])
        if (packet.contains("pts") && (firstPos < 0 || packet["pos"].get<long long>() < firstPos)) {
            firstPos = packet["pos"].get<long long>();
            first = packet["pts"].get<long long>() & (kWrap - 1);
        }
    return first;
}

// A time stamp's time since the first, each converted to 100 ns as the filter converts them: the
// 33-bit values of the file, the later one taken past the wrap where they are more than half the
// range apart, so the timeline goes on through a wrap.
REFERENCE_TIME SinceFirst(long long pts, long long first)
{
    pts &= kWrap - 1;
    if (pts - first < -kWrap / 2)
        pts += kWrap;
    else if (pts - first > kWrap / 2)
        first += kWrap;
    return pts * 10000 / 90 - first * 10000 / 90;
}

struct ExpectedSample {
    size_t size = 0;
    std::uint32_t adler32 = 1;
    bool timed = false;
    REFERENCE_TIME start = 0;
};

// What a pin delivers of one stream's PES payloads: times since the first time, continued from
// the last one after a jump back of more than a second (a splice); an untimed payload joins the
// timed one before. The payloads are ffprobe's, or those of an LPCM table (without the LPCM header
// ffprobe keeps).
std::vector<ExpectedSample> ExpectedSamples(const json& table, int index, const json* lpcm)
{
    const long long first = FirstPts(table);
    std::vector<ExpectedSample> samples;
    REFERENCE_TIME offset = 0, last = 0;
    bool delivered = false;
    size_t n = 0;
    for (const json& packet : table["packets"]) {
        if (packet["stream_index"].get<int>() != index)
            continue;
        size_t size = packet["size"].get<size_t>();
        std::uint32_t hash = Hash(packet);
        if (lpcm) {
            size = lpcm->at("units").at(n).get<size_t>();
            hash = static_cast<std::uint32_t>(std::stoul(lpcm->at("hashes").at(n).get<std::string>(), nullptr, 16));
        }
        ++n;
        if (!packet.contains("pts") && !samples.empty() && samples.back().timed) {
            samples.back().adler32 = static_cast<std::uint32_t>(adler32_combine(samples.back().adler32, hash, static_cast<z_off_t>(size)));
            samples.back().size += size;
            continue;
        }
        ExpectedSample sample{size, hash, packet.contains("pts"), 0};
        if (sample.timed) {
            const REFERENCE_TIME start = SinceFirst(packet["pts"].get<long long>(), first);
            if (delivered && offset + kSecond + start < last)
                offset = last - start;
            sample.start = last = start + offset;
            delivered = true;
        }
        samples.push_back(sample);
    }
    return samples;
}

// The table's description of what this filter does to a stream's payloads (the tables also
// describe the transport-stream filter's access units, which this test ignores).
const json* Elementary(const json& table, int index)
{
    if (table.contains("elementary"))
        for (const json& entry : table["elementary"]) {
            const std::string form = entry["form"].get<std::string>();
            if (entry["stream_index"].get<int>() == index
                && (form == "adts-raw" || form == "h264-length-prefixed" || form == "lpcm-payloads"))
                return &entry;
        }
    return nullptr;
}

bool PinIsFor(const PinReport& pin, const json& stream)
{
    return (pin.name == "Video") == stream.contains("width");
}

}  // namespace

TEST(MpegPlayback, EveryPinDeliversItsStreamsPayloads)
{
    const char* files[] = {"mpeg1-mp2.mpg", "mpeg2-mp2.mpg", "mpeg2-ac3x2.vob", "mpeg2-lpcm.vob", "mpeg2-dts.vob",
                           "dvd-nav.vob", "h264-mp3.vob", "two-video.mpg", "h264-aac.mpg", "cbr-long.mpg", "bare.pes",
                           "video-audio.pva", "ts-h264-aac.ts", "ts-mpeg2-mp2.ts", "ts-ac3x2.ts",
                           "m2ts-h264-aac.m2ts", "tfrc.ts", "ts-wrap.ts", "remux-mp4.ts", "remux-mkv.m2ts",
                           "remux-mp3.vob", "h264-slices.vob"};
    for (const std::string file : files) {
        SCOPED_TRACE(file);
        const std::string name = file.substr(0, file.rfind('.'));
        const json table = LoadTable("mpeg/" + name);
        // The streams a pin is made for: the video stream of the lowest key and every audio
        // stream the filter reads, in key order.
        std::vector<std::pair<DWORD, const json*>> audio;
        std::optional<std::pair<DWORD, const json*>> video;
        for (const json& stream : table["streams"]) {
            const std::string codec = stream["codec_name"].get<std::string>();
            const DWORD key = KeyOf(stream, file);
            if (stream.contains("width")) {
                if (!video || key < video->first)
                    video = {key, &stream};
            } else if (codec != "dvd_nav_packet" && codec != "eac3") {
                audio.push_back({key, &stream});
            }
        }
        std::sort(audio.begin(), audio.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::pair<DWORD, const json*>> expected;
        if (video)
            expected.push_back(*video);
        expected.insert(expected.end(), audio.begin(), audio.end());

        const PlayResult played = vmx::test::PlayFixture("mpeg/" + file, "mpeg");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), expected.size());
        for (size_t p = 0; p < expected.size(); ++p) {
            const PinReport& pin = played.report.pins[p];
            const json& stream = *expected[p].second;
            const int index = stream["index"].get<int>();
            SCOPED_TRACE(pin.name + " " + stream["codec_name"].get<std::string>());
            ASSERT_TRUE(PinIsFor(pin, stream));
            ASSERT_FALSE(pin.mediaTypes.empty());
            const CMediaType& type = pin.mediaTypes.front();
            if (stream.contains("width")) {
                const BITMAPINFOHEADER bitmap = GetRecord<BITMAPINFOHEADER>(
                    type.Format(), *type.FormatType() == FORMAT_VideoInfo ? kVideoInfoHeaderSize : offsetof(VIDEOINFOHEADER2, bmiHeader));
                EXPECT_EQ(bitmap.biWidth, stream["width"].get<LONG>());
                EXPECT_EQ(bitmap.biHeight, stream["height"].get<LONG>());
                // The frame duration from the rate code (or the SPS timing), truncated.
                const std::string rate = stream["r_frame_rate"].get<std::string>();
                const double fps = std::stod(rate.substr(0, rate.find('/'))) / std::stod(rate.substr(rate.find('/') + 1));
                const auto timePerFrame = GetRecord<REFERENCE_TIME>(type.Format(), offsetof(VIDEOINFOHEADER, AvgTimePerFrame));
                EXPECT_NEAR(static_cast<double>(timePerFrame), 1e7 / fps, 1.0);
                if (*type.Subtype() == MEDIASUBTYPE_MPEG2_VIDEO) {
                    // The display aspect, and the sequence header and extension behind the block.
                    const auto info = GetRecord<MPEG2VIDEOINFO>(type.Format(), 0);
                    const std::string aspect = stream["display_aspect_ratio"].get<std::string>();
                    EXPECT_EQ(std::to_string(info.hdr.dwPictAspectRatioX) + ":" + std::to_string(info.hdr.dwPictAspectRatioY), aspect);
                    const BYTE* sequence = type.Format() + kMpeg2VideoInfoHeaderSize;
                    ASSERT_EQ(info.cbSequenceHeader, type.FormatLength() - kMpeg2VideoInfoHeaderSize);
                    EXPECT_EQ(ReadBE32(sequence), 0x000001B3u);
                    EXPECT_EQ(ReadBE32(sequence + info.cbSequenceHeader - 10), 0x000001B5u);
                }
            } else {
                const WAVEFORMATEX wave = GetRecord<WAVEFORMATEX>(type.Format(), 0);
                EXPECT_EQ(static_cast<int>(wave.nSamplesPerSec), stream["sample_rate"].get<int>());
                EXPECT_EQ(static_cast<int>(wave.nChannels), stream["channels"].get<int>());
            }

            const auto samples = SamplesOf(pin);
            const json* es = Elementary(table, index);
            const bool lpcm = es && es->at("form") == "lpcm-payloads";
            const std::vector<ExpectedSample> expectedSamples = ExpectedSamples(table, index, lpcm ? es : nullptr);
            std::vector<REFERENCE_TIME> pesTimes;
            for (const ExpectedSample& payload : expectedSamples)
                if (payload.timed)
                    pesTimes.push_back(payload.start);
            if (es && !lpcm) {
                // Re-framed: the stream's bytes in whole frames (ADTS headers removed, H.264 units
                // behind their lengths); a PES time goes to the first frame that starts in it.
                std::uint32_t adler = adler32(0, nullptr, 0);
                size_t bytes = 0;
                std::vector<REFERENCE_TIME> frameTimes;
                for (const SinkEvent& sample : samples) {
                    adler = adler32(adler, sample.bytes.data(), static_cast<uInt>(sample.bytes.size()));
                    bytes += sample.bytes.size();
                    if (sample.startValid)
                        frameTimes.push_back(sample.start);
                    EXPECT_EQ(sample.syncPoint, sample.startValid);
                }
                EXPECT_EQ(bytes, es->at("size").get<size_t>());
                EXPECT_EQ(adler, std::stoul(es->at("adler32").get<std::string>(), nullptr, 16));
                if (es->at("form") == "adts-raw") {
                    ASSERT_EQ(samples.size(), es->at("units").size());
                    for (size_t k = 0; k < samples.size(); ++k)
                        EXPECT_EQ(static_cast<size_t>(samples[k].length), es->at("units")[k].get<size_t>()) << k;
                } else {
                    EXPECT_EQ(samples.size(), es->at("access_units").get<size_t>());
                }
                EXPECT_EQ(frameTimes, pesTimes);
                continue;
            }
            ASSERT_EQ(samples.size(), expectedSamples.size());
            for (size_t k = 0; k < samples.size(); ++k) {
                SCOPED_TRACE(k);
                const ExpectedSample& expected = expectedSamples[k];
                EXPECT_EQ(static_cast<size_t>(samples[k].length), expected.size);
                EXPECT_EQ(samples[k].adler32, expected.adler32);
                ASSERT_EQ(samples[k].startValid, expected.timed);
                EXPECT_EQ(samples[k].syncPoint, expected.timed);
                if (expected.timed) {
                    EXPECT_EQ(samples[k].start, expected.start);
                }
            }
        }
    }
}

namespace {

// The first sample of a pin's last segment that carries a time, and where it stands among the
// file's payloads of that stream.
struct Landing {
    REFERENCE_TIME start = 0;
    size_t index = 0;
    bool found = false;
};

Landing FirstTimed(const std::vector<SinkEvent>& samples, const std::vector<ExpectedSample>& payloads)
{
    for (const SinkEvent& sample : samples) {
        if (!sample.startValid)
            continue;
        for (size_t k = 0; k < payloads.size(); ++k)
            if (payloads[k].adler32 == sample.adler32 && payloads[k].size == static_cast<size_t>(sample.length))
                return {sample.start, k, true};
        return {};
    }
    return {};
}

}  // namespace

TEST(MpegSeeking, TheSearchLandsBeforeTheTargetAndLosesNothingAfterIt)
{
    // cbr-long: 20 s of MPEG-2 video and MP2 at constant rates.
    const json table = LoadTable("mpeg/cbr-long");
    const auto video = ExpectedSamples(table, 0, nullptr);
    PlaySession session("mpeg/cbr-long.mpg", "mpeg");
    ASSERT_TRUE(session.connected);
    LONGLONG duration = 0;
    ASSERT_EQ(session.driver.Seeking(0)->GetDuration(&duration), S_OK);
    // The estimate from the byte rate is within 5% of the span of the file's times.
    const REFERENCE_TIME span = video.back().start + 400000;
    EXPECT_NEAR(static_cast<double>(duration), static_cast<double>(span), 0.05 * static_cast<double>(span));

    ASSERT_EQ(session.driver.Pause(), S_OK);
    bool jumpedBack = false;
    for (double fraction : {0.5, 0.25, 0.9, 0.02, 0.5}) {
        const REFERENCE_TIME target = static_cast<REFERENCE_TIME>(fraction * static_cast<double>(duration));
        SCOPED_TRACE(target);
        ASSERT_TRUE(session.SeekAndPlayToTheEnd(2, target));
        REFERENCE_TIME segmentStart = -1;
        const auto samples = session.LastSegment(0, &segmentStart);
        EXPECT_EQ(segmentStart, target);
        const Landing landing = FirstTimed(samples, video);
        ASSERT_TRUE(landing.found);
        if (target <= kSecond / 2) {
            // Close to the start the reader starts at the first byte.
            EXPECT_EQ(landing.index, 0u);
        } else {
            // Between 1 and 0.5 s before the target; or, where the search overshot and jumped
            // back, where the jump landed, which may be earlier.
            EXPECT_GE(landing.start, -2 * kSecond);
            EXPECT_LE(landing.start, -kSecond / 2);
            jumpedBack = jumpedBack || landing.start < -kSecond;
        }
        // From there on every payload arrives, timed from the target.
        ASSERT_EQ(samples.size(), video.size() - landing.index);
        for (size_t k = 0; k < samples.size(); ++k) {
            const ExpectedSample& expected = video[landing.index + k];
            ASSERT_EQ(samples[k].adler32, expected.adler32) << k;
            if (expected.timed) {
                EXPECT_EQ(samples[k].start, expected.start - target) << k;
            }
            EXPECT_EQ(samples[k].preroll, expected.timed && expected.start < target) << k;
        }
    }
    EXPECT_TRUE(jumpedBack);  // the overshoots of this file are taken where they land
    EXPECT_EQ(session.driver.Stop(), S_OK);
}

TEST(MpegThreads, SeekStormsAndStopsFinishPromptly)
{
    const json table = LoadTable("mpeg/ts-h264-aac");
    {
        PlaySession session("mpeg/ts-h264-aac.ts", "mpeg");
        ASSERT_NO_FATAL_FAILURE(vmx::test::SeekStormThenRestart(session, 2, 2 * kSecond));
        // After the storm the whole file plays once more, frame for frame.
        for (size_t pin = 0; pin < 2; ++pin) {
            const json* es = Elementary(table, static_cast<int>(pin));
            ASSERT_TRUE(es);
            size_t bytes = 0;
            for (const SinkEvent& sample : session.LastSegment(pin))
                bytes += static_cast<size_t>(sample.length);
            EXPECT_EQ(bytes, es->at("size").get<size_t>()) << pin;
        }
        vmx::test::ExpectPromptStop(session);
    }
    vmx::test::ExpectStopWhileASinkHolds("mpeg/cbr-long.mpg", "mpeg");
}

TEST(MpegFiles, DetectionRulesAndDamagedFiles)
{
    // No pack header within the first 64 KiB, or one PES with one time: not opened.
    vmx::test::ExpectFilesRefused({"damaged/mpeg2-mp2-late-start.mpg", "damaged/ts-h264-aac-late-start.ts", "damaged/single-pes.mpg"},
                                  "mpeg", "mpeg/");
    // The least counts are of the video pin's samples.
    const vmx::test::DamagedFileCase damaged[] = {
        // Cut inside the last PES or its header: that PES is not delivered (of the intact file's
        // 22 MPEG-2 samples and 50 H.264 pictures).
        {"damaged/mpeg2-mp2-truncated.mpg", 16},
        {"damaged/mpeg2-mp2-cut-pes-header.mpg", 16},
        {"damaged/ts-h264-aac-truncated.ts", 30},
        {"damaged/ts-h264-aac-cut-pes-header.ts", 30},
        // Noise inside a payload travels with it; the packets after it are found again.
        {"damaged/mpeg2-mp2-garbage.mpg", 22},
        {"damaged/ts-h264-aac-garbage.ts", 50},
        // The first PES is gone (zeroed): what follows plays.
        {"damaged/mpeg2-mp2-zeroed-start.mpg", 21},
        {"damaged/ts-h264-aac-zeroed-start.ts", 48},
    };
    vmx::test::ExpectDamagedFilesPlay(damaged, "mpeg", "mpeg/");
    // The fuzzer's findings, played from a second in (one broke the seek search).
    vmx::test::ExpectFuzzFindingsPlayOrFail("mpeg-", "mpeg", kSecond);
}

namespace {

// An MPEG-2 pack header (SCR 0, 10.08 Mbit/s) and a private stream 1 PES with a PTS.
std::vector<BYTE> PackWithPrivatePes(LONGLONG pts, const std::vector<BYTE>& payload)
{
    std::vector<BYTE> bytes = {0, 0, 1, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    const size_t length = payload.size() + 8;
    const std::vector<BYTE> header = {0, 0, 1, 0xBD, static_cast<BYTE>(length >> 8), static_cast<BYTE>(length), 0x81, 0x80, 5,
                                      static_cast<BYTE>(0x21 | ((pts >> 29) & 0x0E)), static_cast<BYTE>(pts >> 22),
                                      static_cast<BYTE>(0x01 | ((pts >> 14) & 0xFE)), static_cast<BYTE>(pts >> 7),
                                      static_cast<BYTE>(0x01 | ((pts << 1) & 0xFE))};
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

}  // namespace

TEST(MpegFiles, TwoAc3StreamsOfTheFf90FormStayApart)
{
    // Private stream 1 payloads FF 90 00 01 and FF 90 00 02, each before an AC-3 frame (48 kHz
    // stereo, 96 kbit/s) filled with its own byte: two pins, each with its own frames.
    std::vector<BYTE> file;
    for (int i = 0; i < 8; ++i)
        for (BYTE number : {1, 2}) {
            std::vector<BYTE> payload = {0xFF, 0x90, 0x00, number, 0x0B, 0x77, 0x00, 0x00, 0x08, 0x40, 0x40};
            payload.resize(400, number);
            const std::vector<BYTE> pack = PackWithPrivatePes(90000 + i * 2880, payload);
            file.insert(file.end(), pack.begin(), pack.end());
        }
    const auto path = std::filesystem::temp_directory_path() / "vmx-ff90-ac3.mpg";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    const OpenedSource source = OpenSourceFile(path.string(), "mpeg");
    ASSERT_TRUE(source) << source.error;
    PlayOptions options;
    options.keepSampleBytes = true;
    const PlayResult played = PlaySource(source.filter.Get(), options);
    std::filesystem::remove(path);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 2u);
    for (BYTE number : {1, 2}) {
        const auto samples = SamplesOf(played.report.pins[number - 1]);
        ASSERT_EQ(samples.size(), 8u) << int{number};
        for (const SinkEvent& sample : samples) {
            ASSERT_EQ(sample.bytes.size(), 396u);
            EXPECT_EQ(sample.bytes[0], 0x0B);
            EXPECT_EQ(sample.bytes.back(), number);
        }
    }
}

TEST(MpegFiles, AProgramStreamOfSubpicturesAloneLoadsWithoutPins)
{
    std::vector<BYTE> file;
    for (int i = 0; i < 8; ++i) {
        std::vector<BYTE> payload = {0x20, 0x00, 0x40};  // DVD subpicture 0x20: no pin is made for it
        payload.resize(200, 0x11);
        const std::vector<BYTE> pack = PackWithPrivatePes(90000 + i * 45000, payload);
        file.insert(file.end(), pack.begin(), pack.end());
    }
    const auto path = std::filesystem::temp_directory_path() / "vmx-subpictures.mpg";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    ComPtr<IBaseFilter> filter;
    const CFactoryTemplate& tmpl = g_Templates[*ResolveFilterChoice("mpeg")];
    EXPECT_EQ(CreateSourceFilter(tmpl, WideFromUtf8(path.string()), &filter), S_OK);
    std::filesystem::remove(path);
    ASSERT_TRUE(filter);
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(filter->EnumPins(pins.Receive()), S_OK);
    ComPtr<IPin> pin;
    EXPECT_EQ(pins->Next(1, pin.Receive(), nullptr), S_FALSE);
}

namespace {

// A file whose reads fail from an offset on, as a disk or network share can.
class KFileFailingAt final : public KFile {
public:
    explicit KFileFailingAt(LONGLONG failAt) : m_failAt(failAt) {}
    DWORD Read(void* buffer, DWORD count) override
    {
        const LONGLONG at = Tell();
        if (at >= m_failAt)
            return 0;
        return KFile::Read(buffer, static_cast<DWORD>(std::min<LONGLONG>(count, m_failAt - at)));
    }

private:
    LONGLONG m_failAt;
};

}  // namespace

TEST(MpegFiles, AReadThatFailsMidFileEndsTheWalksThere)
{
    // cbr-long unreadable from 40% on: the opening scan, the seek search and the packet walk
    // stop where reading stopped instead of standing on the byte they cannot read.
    const std::string path = kFixtureDir + "mpeg/cbr-long.mpg";
    const LONGLONG size = static_cast<LONGLONG>(std::filesystem::file_size(path));
    auto walk = std::async(std::launch::async, [&] {
        KMpegReader reader;
        if (!reader.Open(WideFromUtf8(path).c_str(), std::make_unique<KFileFailingAt>(size * 4 / 10)))
            return std::string("did not open");
        if (reader.FileSize() >= size)
            return std::string("the file does not end where reading failed");
        reader.Seek(size / 10);
        const DWORD key = reader.Streams(kMpegVideoList).at(0).Key();
        LONGLONG last = 0;
        for (LONGLONG pts; (pts = reader.FindNextPts(key, size)) >= 0; last = pts)
            reader.Seek(reader.Position() + 1);
        return last > 0 ? std::string() : std::string("no time found before the failure");
    });
    if (walk.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "a walk stands on the unreadable byte";
        std::_Exit(1);
    }
    EXPECT_EQ(walk.get(), "");
}

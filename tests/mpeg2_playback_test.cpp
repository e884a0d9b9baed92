// Transport streams (and program streams) through the second MPEG filter: pins named by PID and
// language, frames cut per codec against ffprobe's unparsed packet tables, the interpolation
// seek, threads, and damaged files.
#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "demux/mpeg_ts/mpeg2_filter.h"
#include "framework/format_blocks.h"
#include "io/wide_text.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using nlohmann::json;
using namespace vmx::test;

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

// 100-ns time of a 90 kHz stamp from the shared first time. ffprobe takes a wrap away (the stamps
// before it come out negative), and so does the filter: the timeline runs on through it.
REFERENCE_TIME TimeOf(long long pts, long long first) { return (pts - first) * 1000 / 9; }

}  // namespace

TEST(Mpeg2Playback, EveryPinDeliversItsStreamsFrames)
{
    const char* files[] = {"mpeg/ts-h264-aac.ts", "mpeg/ts-mpeg2-mp2.ts", "mpeg/ts-ac3x2.ts", "mpeg/m2ts-h264-aac.m2ts",
                           "ts/mpeg2-dts.ts",     "ts/eac3.ts",           "ts/audio-only.ts", "ts/h264-1080.ts",
                           "ts/ac3-languages.ts", "ts/two-video.ts",     "mpeg/ts-wrap.ts", "mpeg/remux-mp4.ts",
                           "mpeg/remux-mkv.m2ts"};
    for (const std::string file : files) {
        SCOPED_TRACE(file);
        const json table = LoadTable(file.substr(0, file.rfind('.')));
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
        std::optional<long long> first;
        for (const json& packet : table["packets"])
            for (const json* stream : streams)
                if (packet["stream_index"] == stream->at("index") && packet.contains("pts")
                    && (!first || packet["pts"].get<long long>() < *first))
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
                                        k == 0 ? 0 : TimeOf(packet["pts"].get<long long>(), *first)});
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
                        expected.push_back({length, 0, TimeOf(pts, *first) + static_cast<REFERENCE_TIME>(n * 1024 * 10000000LL / static_cast<long long>(rate))});
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
                                            packet.contains("pts") ? std::optional(TimeOf(packet["pts"].get<long long>(), *first)) : std::nullopt});
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

TEST(Mpeg2Playback, ProgramStreamsDeliverTheirStreamsWholeAndInOrder)
{
    // Program streams cut into pictures (and AC-3 from its first sync word), whatever the
    // PES boundaries: each pin's bytes are its stream's payloads back to back, and each PES time
    // reaches the picture that starts in that PES. Pins come in key order: sub-streams (0x80),
    // audio (0xC0), video (0xE0).
    const char* files[] = {"mpeg/mpeg2-mp2.mpg", "mpeg/mpeg1-mp2.mpg", "mpeg/mpeg2-ac3x2.vob", "mpeg/cbr-long.mpg",
                           "mpeg/h264-mp3.vob", "mpeg/remux-mp3.vob", "mpeg/h264-slices.vob"};
    for (const std::string file : files) {
        SCOPED_TRACE(file);
        const json table = LoadTable(file.substr(0, file.rfind('.')));
        std::vector<std::pair<DWORD, int>> keys;  // key, stream index
        for (const json& stream : table["streams"]) {
            const DWORD id = static_cast<DWORD>(std::stoul(stream["id"].get<std::string>(), nullptr, 16));
            keys.push_back({id >= 0x100 ? id & 0xFF : id, stream["index"].get<int>()});
        }
        std::sort(keys.begin(), keys.end());
        long long first = -1;
        for (const json& packet : table["packets"])
            if (packet.contains("pts") && (first < 0 || packet["pts"].get<long long>() < first))
                first = packet["pts"].get<long long>();
        const PlayResult played = vmx::test::PlayFixture(file, "mpeg2");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), keys.size());
        for (size_t p = 0; p < keys.size(); ++p) {
            const PinReport& pin = played.report.pins[p];
            SCOPED_TRACE(pin.name);
            const bool hexadecimal = file.find("mpeg1") != std::string::npos;
            char number[16];
            std::snprintf(number, sizeof number, hexadecimal ? "%x" : "%u", keys[p].first);
            EXPECT_NE(pin.name.find(std::string("(") + number + ")"), std::string::npos);
            std::uint32_t expected = adler32(0, nullptr, 0);
            size_t expectedBytes = 0;
            std::vector<REFERENCE_TIME> pesTimes;
            for (const json& packet : table["packets"]) {
                if (packet["stream_index"].get<int>() != keys[p].second)
                    continue;
                const size_t size = packet["size"].get<size_t>();
                expected = static_cast<std::uint32_t>(adler32_combine(expected, HexHash(packet["data_hash"].get<std::string>()), static_cast<z_off_t>(size)));
                expectedBytes += size;
                if (packet.contains("pts"))
                    pesTimes.push_back(TimeOf(packet["pts"].get<long long>(), first));
            }
            std::uint32_t adler = adler32(0, nullptr, 0);
            size_t bytes = 0;
            std::vector<REFERENCE_TIME> times;
            for (const SinkEvent& sample : SamplesOf(pin)) {
                adler = adler32(adler, sample.bytes.data(), static_cast<uInt>(sample.bytes.size()));
                bytes += sample.bytes.size();
                if (sample.startValid)
                    times.push_back(sample.start);
            }
            if (const json* nals = Entry(table, keys[p].second, "h264-length-prefixed")) {
                // H.264 without delimiters: whole access units of length-prefixed NAL units, as
                // the first filter cuts them.
                expectedBytes = nals->at("size").get<size_t>();
                expected = HexHash(nals->at("adler32").get<std::string>());
                EXPECT_EQ(SamplesOf(pin).size(), nals->at("access_units").get<size_t>());
                // The first unit starts the segment at 0 whatever its PES time.
                ASSERT_FALSE(times.empty());
                EXPECT_EQ(times.front(), 0);
                pesTimes.erase(pesTimes.begin());
            }
            EXPECT_EQ(bytes, expectedBytes);
            EXPECT_EQ(adler, expected);
            // Every PES time is a frame's, in order (pictures between them follow by the frame
            // duration).
            auto at = times.begin();
            for (REFERENCE_TIME pesTime : pesTimes) {
                at = std::find(at, times.end(), pesTime);
                ASSERT_NE(at, times.end()) << pesTime;
            }
        }
    }
}

TEST(Mpeg2Playback, DvdVobsPlayOnOneTimeline)
{
    // dvd-vobs restarts its time stamps at the third of five VOBs; the navigation packs' spans
    // map them back, so it plays sample for sample as the file it was derived from.
    const PlayResult original = vmx::test::PlayFixture("mpeg/dvd-nav.vob", "mpeg2");
    const PlayResult vobs = vmx::test::PlayFixture("ts/dvd-vobs.vob", "mpeg2");
    ASSERT_TRUE(original.Succeeded() && vobs.Succeeded()) << original.error << vobs.error;
    ASSERT_EQ(vobs.report.duration, original.report.duration);
    ASSERT_EQ(vobs.report.pins.size(), original.report.pins.size());
    for (size_t p = 0; p < vobs.report.pins.size(); ++p) {
        const auto expected = SamplesOf(original.report.pins[p]);
        const auto samples = SamplesOf(vobs.report.pins[p]);
        ASSERT_EQ(samples.size(), expected.size());
        for (size_t k = 0; k < samples.size(); ++k) {
            EXPECT_EQ(samples[k].adler32, expected[k].adler32) << k;
            EXPECT_EQ(samples[k].startValid, expected[k].startValid) << k;
            EXPECT_EQ(samples[k].start, expected[k].start) << k;
        }
    }
}

TEST(Mpeg2Seeking, TheInterpolationLandsAboutASecondEarlyAndPlaysOnFromThere)
{
    struct Case {
        const char* file;
        size_t videoPin;  // a program stream's pins are in key order, audio (0xC0) first
        double seconds;
        // H.264's first access unit after a seek stands at the file's start: preroll.
        bool firstAtFileStart;
    };
    // 20 s of MPEG-2 video and MP2; 8 s of x264 and AAC remuxed from MP4, whose one key frame is
    // the first picture.
    for (const Case& c : {Case{"mpeg/cbr-long.mpg", 1, 20, false}, Case{"mpeg/remux-mp4.ts", 0, 8, true}}) {
        SCOPED_TRACE(c.file);
        PlaySession session(c.file, "mpeg2");
        ASSERT_TRUE(session.connected);
        LONGLONG duration = 0;
        ASSERT_EQ(session.driver.Seeking(0)->GetDuration(&duration), S_OK);
        EXPECT_NEAR(static_cast<double>(duration), c.seconds * kSecond, 2 * kSecond);
        // The video frames as a play from the start delivers them.
        std::vector<std::uint32_t> pictures;
        {
            const PlayResult whole = vmx::test::PlayFixture(c.file, "mpeg2");
            ASSERT_TRUE(whole.Succeeded()) << whole.error;
            for (const SinkEvent& sample : SamplesOf(whole.report.pins.at(c.videoPin)))
                pictures.push_back(sample.adler32);
        }
        ASSERT_EQ(session.driver.Pause(), S_OK);
        for (double fraction : {0.5, 0.25, 0.9, 0.5}) {
            const REFERENCE_TIME target = static_cast<REFERENCE_TIME>(fraction * static_cast<double>(duration));
            SCOPED_TRACE(target);
            ASSERT_TRUE(session.SeekAndPlayToTheEnd(2, target));
            const auto samples = session.LastSegment(c.videoPin);
            ASSERT_GE(samples.size(), 2u);
            if (c.firstAtFileStart) {
                EXPECT_EQ(samples[0].start, -target);
                EXPECT_TRUE(samples[0].preroll && samples[0].syncPoint);
            }
            // Reading starts within the second and a half before the target (the search aims a
            // second early and stops within 8 KiB) ...
            const auto timed = std::find_if(samples.begin() + (c.firstAtFileStart ? 1 : 0), samples.end(),
                                            [](const SinkEvent& s) { return s.startValid; });
            ASSERT_NE(timed, samples.end());
            EXPECT_LE(timed->start, 0);
            EXPECT_GE(timed->start, -3 * kSecond / 2);
            // ... and every picture from there to the end follows in order.
            const auto from = std::find(pictures.begin(), pictures.end(), samples.front().adler32);
            ASSERT_NE(from, pictures.end());
            ASSERT_EQ(samples.size(), static_cast<size_t>(pictures.end() - from));
            for (size_t k = 0; k < samples.size(); ++k)
                ASSERT_EQ(samples[k].adler32, *(from + static_cast<std::ptrdiff_t>(k))) << k;
        }
        EXPECT_EQ(session.driver.Stop(), S_OK);
    }
}

TEST(Mpeg2Seeking, BothFiltersSeekPastAWrapOfTheTimeStampsOnOneTimeline)
{
    // ts-wrap's stamps wrap 1.1 s in. A seek to 1.5 s lands before the target on the timeline
    // of a whole play; every frame from the second after the seek is the whole play's, at its
    // time less the target. (The first may be cut short, or stand at the file's start.)
    const REFERENCE_TIME target = 15 * kSecond / 10;
    for (const char* filter : {"mpeg2", "mpeg"}) {
        SCOPED_TRACE(filter);
        const PlayResult whole = vmx::test::PlayFixture("mpeg/ts-wrap.ts", filter);
        ASSERT_TRUE(whole.Succeeded()) << whole.error;
        EXPECT_GT(*whole.report.duration, target);
        PlayOptions options;
        options.seekTo = target;
        const PlayResult sought = vmx::test::PlayFixture("mpeg/ts-wrap.ts", filter, options);
        ASSERT_TRUE(sought.Succeeded()) << sought.error;
        const auto all = SamplesOf(whole.report.pins.at(0));
        const auto ours = SamplesOf(sought.report.pins.at(0));
        ASSERT_GE(ours.size(), 10u);
        const auto from = std::find_if(all.begin(), all.end(), [&](const SinkEvent& s) { return s.adler32 == ours[1].adler32; });
        ASSERT_NE(from, all.end());
        ASSERT_EQ(static_cast<size_t>(all.end() - from), ours.size() - 1);
        EXPECT_GE(from->start, target - 3 * kSecond / 2);
        EXPECT_LE(from->start, target);
        for (size_t k = 1; k < ours.size(); ++k) {
            EXPECT_EQ(ours[k].adler32, from[k - 1].adler32) << k;
            EXPECT_EQ(ours[k].start, from[k - 1].start - target) << k;
        }
    }
}

TEST(Mpeg2Threads, SeekStormsAndStopsFinishPromptly)
{
    const json table = LoadTable("ts/ac3-languages");
    {
        PlaySession session("ts/ac3-languages.ts", "mpeg2");
        ASSERT_NO_FATAL_FAILURE(vmx::test::SeekStormThenRestart(session, 3, 2 * kSecond));
        // After the storm the file plays whole once more.
        for (size_t pin = 0; pin < 3; ++pin) {
            size_t packets = 0;
            for (const json& packet : table["packets"])
                packets += packet["stream_index"] == static_cast<int>(pin) ? 1 : 0;
            EXPECT_EQ(session.LastSegment(pin).size(), packets) << pin;
        }
        vmx::test::ExpectPromptStop(session);
    }
    vmx::test::ExpectStopWhileASinkHolds("mpeg/cbr-long.mpg", "mpeg2", 1);
}

TEST(Mpeg2Files, ARemuxWithTenMegabytesBeforeItsNextPictureFindsItsVideoInBothFilters)
{
    // remux-mp4.ts with 60,000 null packets (11 MB) after its first pictures and sounds, as a
    // high-bit-rate remux runs on for many megabytes before the next key frame: the parameter
    // sets stand in the first picture's PES only, past its first transport packet.
    std::vector<BYTE> bytes = vmx::test::FixtureBytes("mpeg/remux-mp4.ts");
    bool audio = false;
    size_t videoStarts = 0, at = 0;
    for (; at + 188 <= bytes.size(); at += 188) {
        const DWORD pid = (bytes[at + 1] & 0x1Fu) << 8 | bytes[at + 2];
        const bool unitStart = (bytes[at + 1] & 0x40) != 0;
        audio = audio || (pid == 0x101 && unitStart);
        if (pid == 0x100 && unitStart && ++videoStarts >= 2 && audio)
            break;
    }
    ASSERT_TRUE(audio);
    std::vector<BYTE> nulls(60000 * 188);
    for (size_t k = 0; k < nulls.size(); k += 188) {
        nulls[k] = 0x47, nulls[k + 1] = 0x1F, nulls[k + 2] = 0xFF, nulls[k + 3] = 0x10;
        std::fill(nulls.begin() + static_cast<std::ptrdiff_t>(k + 4), nulls.begin() + static_cast<std::ptrdiff_t>(k + 188), 0xFF);
    }
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), nulls.begin(), nulls.end());
    const auto path = std::filesystem::temp_directory_path() / "vmx-remux-long-gop.ts";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    const auto first = LoadTable("mpeg/remux-mp4");
    const json* au = Entry(first, 0, "h264-au");
    ASSERT_TRUE(au);
    for (const char* filter : {"mpeg2", "mpeg"}) {
        SCOPED_TRACE(filter);
        const auto source = OpenSourceFile(path.string(), filter);
        ASSERT_TRUE(source) << source.error;
        PlayOptions options;
        options.maxSamplesPerPin = 1;
        options.keepSampleBytes = true;
        const PlayResult played = PlaySource(source.filter.Get(), options);
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), 2u);
        EXPECT_EQ(*played.report.pins[0].mediaTypes.at(0).Type(), MEDIATYPE_Video);
        EXPECT_EQ(*played.report.pins[1].mediaTypes.at(0).Type(), MEDIATYPE_Audio);
        // The second filter delivers the key frame as its first access unit.
        if (std::string(filter) == "mpeg2") {
            const auto samples = SamplesOf(played.report.pins[0]);
            ASSERT_FALSE(samples.empty());
            EXPECT_EQ(samples[0].adler32, HexHash(au->at("hashes")[0].get<std::string>()));
        }
    }
    std::filesystem::remove(path);
}

TEST(Mpeg2Files, DamagedFilesResynchroniseAndUnknownFilesFail)
{
    // The least counts are of the video pin's pictures, of h264-1080's 25.
    const vmx::test::DamagedFileCase damaged[] = {
        // Noise inside a packet: the one-byte slide finds the next sync byte.
        {"ts/damaged/garbage.ts", 24},
        // Packets without their sync byte are passed over; the PES they began are lost.
        {"ts/damaged/lost-sync.ts", 20},
        // Cut inside a PES: what is there of it is the last frame.
        {"ts/damaged/truncated.ts", 16},
    };
    vmx::test::ExpectDamagedFilesPlay(damaged, "mpeg2");
    vmx::test::ExpectFilesRefused({"mpeg/damaged/mpeg2-mp2-late-start.mpg", "mpeg/video-audio.pva", "mpeg/bare.pes"}, "mpeg2");
    vmx::test::ExpectFuzzFindingsPlayOrFail("mpeg2-", "mpeg2", kSecond);
}

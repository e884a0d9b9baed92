// The second Ogg filter on files of oggenc, ffmpeg and ogmmerge: pins, header samples, every
// data packet against ffprobe's, the index built while playing, seeks, threads, damaged files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "demux/ogg/ogg2_filter.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;
using nlohmann::json;

// The granule of the page each packet of a stream ends on (-1 for all but a page's last), in
// order: Vorbis packets are timed from them.
std::vector<long long> PacketGranules(const std::string& file, std::uint32_t serial)
{
    const std::vector<BYTE> bytes = vmx::test::FixtureBytes("ogg/" + file);
    std::vector<long long> granules;
    for (size_t at = 0; at + 27 <= bytes.size();) {
        const std::uint8_t* page = bytes.data() + at;
        const int segments = page[26];
        long long granule = 0;
        std::uint32_t pageSerial = 0;
        for (int i = 7; i >= 0; --i)
            granule = granule << 8 | page[6 + i];
        for (int i = 3; i >= 0; --i)
            pageSerial = pageSerial << 8 | page[14 + i];
        size_t body = 0;
        std::vector<size_t> ends;  // packets ending on the page
        for (int i = 0; i < segments; ++i) {
            body += page[27 + i];
            if (page[27 + i] < 255)
                ends.push_back(static_cast<size_t>(i));
        }
        if (pageSerial == serial)
            for (size_t k = 0; k < ends.size(); ++k)
                granules.push_back(k + 1 == ends.size() ? granule : -1);
        at += 27 + static_cast<size_t>(segments) + body;
    }
    return granules;
}

struct Ref {
    long long pts = 0;
    long long duration = 0;
    int size = 0;
    std::uint32_t adler32 = 0;
    bool key = false;
    long long pos = 0;
};

struct RefStream {
    std::string kind;  // codec_type
    std::string codec;
    long long numerator = 1, denominator = 1;
    std::vector<Ref> packets;

    REFERENCE_TIME Time(long long ticks) const { return ticks * numerator * kSecond / denominator; }
};

std::vector<RefStream> RefStreams(const std::string& name)
{
    const json table = vmx::test::LoadTable("ogg/" + name);
    std::vector<RefStream> streams;
    for (const json& s : table["streams"]) {
        RefStream stream;
        stream.kind = s.value("codec_type", "");
        stream.codec = s.value("codec_name", "");
        const std::string base = s["time_base"].get<std::string>();
        stream.numerator = std::stoll(base.substr(0, base.find('/')));
        stream.denominator = std::stoll(base.substr(base.find('/') + 1));
        streams.push_back(stream);
    }
    for (const json& p : table["packets"]) {
        Ref ref;
        ref.pts = p.value("pts", 0LL);
        ref.duration = p.value("duration", 0LL);
        ref.size = p["size"].get<int>();
        const std::string hash = p["data_hash"].get<std::string>();
        ref.adler32 = static_cast<std::uint32_t>(std::stoul(hash.substr(hash.find(':') + 1), nullptr, 16));
        ref.key = p["flags"].get<std::string>().find('K') != std::string::npos;
        ref.pos = p.value("pos", -1LL);
        streams.at(p["stream_index"].get<size_t>()).packets.push_back(ref);
    }
    return streams;
}

// The times the filter gives Vorbis packets: one that ends a page is at the page's granule, one
// before it moves on by half its block size. Block sizes come from ffprobe's durations: the
// first packet lasts half its block, each later one a quarter of its block and the one before.
std::vector<REFERENCE_TIME> VorbisTimes(const RefStream& stream, std::vector<long long> granules)
{
    granules.erase(granules.begin(), granules.begin() + 3);  // the headers
    std::vector<REFERENCE_TIME> times;
    long long block = 0, running = 0;
    for (size_t k = 0; k < stream.packets.size() && k < granules.size(); ++k) {
        block = k == 0 ? 2 * stream.packets[k].duration : 4 * stream.packets[k].duration - block;
        running = granules[k] >= 0 ? granules[k] : running + block / 2;
        times.push_back(running * kSecond / stream.denominator);
    }
    return times;
}

// The samples of a pin after its header samples: three for Vorbis and Theora, one for text.
std::vector<SinkEvent> DataSamples(const PinReport& pin, size_t headers)
{
    auto samples = SamplesOf(pin);
    EXPECT_GE(samples.size(), headers);
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(std::min(headers, samples.size())));
    return samples;
}

// Each sample is the ffprobe packet at the same place from `first` on: bytes and, where given,
// times (shifted by the seek target).
void ExpectPackets(const std::vector<SinkEvent>& samples, const std::vector<Ref>& packets, size_t first,
                   const std::vector<REFERENCE_TIME>& times, REFERENCE_TIME shift = 0)
{
    ASSERT_EQ(samples.size(), packets.size() - first);
    for (size_t k = 0; k < samples.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(samples[k].length, packets[first + k].size);
        EXPECT_EQ(samples[k].adler32, packets[first + k].adler32);
        if (first + k < times.size()) {
            EXPECT_EQ(samples[k].start, times[first + k] - shift);
        }
    }
}

// A copy of a fixture with a megabyte of zeros after it, under the temporary directory: the
// duration estimate finds no page there, so the duration is how far the index reaches.
std::string PaddedCopy(const std::string& fixture)
{
    std::ifstream in(vmx::test::kFixtureDir + "ogg/" + fixture, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    bytes.append(0x120000, '\0');
    const auto path = std::filesystem::temp_directory_path() / ("padded-" + fixture);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

// Whether the seek index has reached the time: the duration holds it once it is larger than
// the estimate, which a seek to it then shows by landing on the key frame before it.
bool IndexReaches(IVmxOGG2& ogg, REFERENCE_TIME time)
{
    LONGLONG duration = 0;
    return SUCCEEDED(ogg.GetDuration(&duration)) && duration >= time;
}

}  // namespace

TEST(Ogg2Playback, EveryStreamAsFfprobeListsIt)
{
    struct Pin {
        std::string name;
        int stream;        // ffprobe's index; -1 for a pin that gets nothing
        std::uint32_t serial;  // of a Vorbis stream, for its page granules
    };
    struct Case {
        const char* file;
        std::vector<Pin> pins;
    };
    const Case cases[] = {
        {"vorbis-44k-stereo.ogg", {{"Audio / fr", 0, 1001}}},
        {"theora-vorbis.ogg", {{"Video", 0, 0}, {"Audio", 1, 101}}},
        // Frames count from 0 before Theora 3.2.1: the same granules stand a frame later.
        {"theora-3.2.0-vorbis.ogg", {{"Video", 0, 0}, {"Audio", 1, 101}}},
        {"theora-vorbis-large.ogg", {{"Video", 0, 0}, {"Audio", 1, 201}}},
        // The second video stream gets no pin.
        {"two-theora-vorbis.ogg", {{"Video", 0, 0}, {"Audio", 2, 302}}},
        {"ogm-mpeg4-mp3-text.ogm", {{"Video", 0, 0}, {"Audio / eng", 1, 0}, {"Subtitle / English", 2, 0}}},
        {"ogm-pcm-ac3.ogm", {{"Audio / eng", 0, 0}, {"Audio / ger", 1, 0}}},
        {"ogm-vorbis.ogm", {{"Audio / fr", 0, 0}}},
        {"vorbis-kstream.ogg", {{"Audio / fr", 0, 1001}, {"KStream", -1, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string name(c.file);
        const auto streams = RefStreams(name.substr(0, name.rfind('.')));
        const PlayResult played = vmx::test::PlayFixture("ogg/" + name, "ogg2");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), c.pins.size());
        for (size_t p = 0; p < c.pins.size(); ++p) {
            const PinReport& pin = played.report.pins[p];
            SCOPED_TRACE(pin.name);
            EXPECT_EQ(pin.name, c.pins[p].name);
            EXPECT_TRUE(pin.endOfStream);
            if (c.pins[p].stream < 0) {
                EXPECT_TRUE(SamplesOf(pin).empty());
                continue;
            }
            const RefStream& stream = streams.at(static_cast<size_t>(c.pins[p].stream));
            const bool xiph = stream.codec == "vorbis" || stream.codec == "theora";
            const bool text = stream.kind == "subtitle";
            const auto all = SamplesOf(pin);
            // Vorbis and Theora pins send their three headers first, text pins one zero byte.
            const size_t headers = xiph ? 3 : text ? 1 : 0;
            ASSERT_GE(all.size(), headers);
            for (size_t h = 0; h < headers; ++h) {
                EXPECT_EQ(all[h].start, 0);
                EXPECT_EQ(all[h].stop, text ? 1 : 0);
                ASSERT_FALSE(all[h].bytes.empty());
                if (xiph)
                    EXPECT_EQ(all[h].bytes[0], (stream.codec == "vorbis" ? 1 : 0x80) + (stream.codec == "vorbis" ? 2 : 1) * h);
                else
                    EXPECT_EQ(all[h].bytes, std::vector<BYTE>{0});
            }
            std::vector<REFERENCE_TIME> times;
            if (stream.codec == "vorbis") {
                times = VorbisTimes(stream, PacketGranules(name, c.pins[p].serial));
            } else {
                // Theora and OGM packets at ffprobe's times; OGM audio to the nearest 100 ns.
                for (const Ref& ref : stream.packets)
                    times.push_back(stream.kind == "audio" ? (2 * ref.pts * stream.numerator * kSecond + stream.denominator - 1) / (2 * stream.denominator)
                                                           : stream.Time(ref.pts));
            }
            const auto samples = DataSamples(pin, headers);
            ExpectPackets(samples, stream.packets, 0, times);
            for (size_t k = 0; k < samples.size(); ++k) {
                // Every sample lasts one unit but a text cue, which lasts its own duration.
                EXPECT_EQ(samples[k].stop - samples[k].start, text ? stream.Time(stream.packets[k].duration) : 1) << k;
                if (stream.kind == "video") {
                    EXPECT_EQ(samples[k].syncPoint, stream.packets[k].key || k == 0) << k;
                }
            }
        }
    }
}

TEST(Ogg2Playback, MediaTypesFromTheHeaders)
{
    const auto typeOf = [](const std::string& file, size_t pin) {
        const auto source = OpenSourceFile(vmx::test::kFixtureDir + "ogg/" + file, "ogg2");
        EXPECT_TRUE(source) << source.error;
        return source ? DescribeSource(source.filter.Get()).report.pins.at(pin).mediaTypes.at(0) : CMediaType();
    };
    const CMediaType vorbis = typeOf("vorbis-44k-stereo.ogg", 0);
    EXPECT_EQ(*vorbis.Subtype(), MEDIASUBTYPE_Vorbis);
    ASSERT_EQ(*vorbis.FormatType(), FORMAT_VorbisFormat);
    ASSERT_EQ(vorbis.FormatLength(), 24u);
    EXPECT_EQ(ReadLE32(vorbis.Format()), 2u);
    EXPECT_EQ(ReadLE32(vorbis.Format() + 4), 44100u);

    const CMediaType theora = typeOf("theora-vorbis.ogg", 0);
    EXPECT_EQ(*theora.Subtype(), FourccGuid(MakeFourcc('T', 'H', 'E', 'O')));
    const auto* theoraInfo = reinterpret_cast<const VIDEOINFOHEADER*>(theora.Format());
    EXPECT_EQ(theoraInfo->bmiHeader.biWidth, 160);
    EXPECT_EQ(theoraInfo->bmiHeader.biHeight, 120);
    EXPECT_EQ(theoraInfo->AvgTimePerFrame, 400000);

    const CMediaType xvid = typeOf("ogm-mpeg4-mp3-text.ogm", 0);
    EXPECT_EQ(*xvid.Subtype(), FourccGuid(MakeFourcc('X', 'V', 'I', 'D')));
    EXPECT_TRUE(xvid.IsTemporalCompressed());
    const auto* xvidInfo = reinterpret_cast<const VIDEOINFOHEADER*>(xvid.Format());
    EXPECT_EQ(xvidInfo->bmiHeader.biWidth, 160);
    EXPECT_EQ(xvidInfo->AvgTimePerFrame, 400000);
    const CMediaType text = typeOf("ogm-mpeg4-mp3-text.ogm", 2);
    EXPECT_EQ(*text.Type(), MEDIATYPE_Text);

    struct Wave {
        const char* file;
        size_t pin;
        WORD tag;
        DWORD rate;
        WORD channels;
    };
    for (const Wave& w : {Wave{"ogm-mpeg4-mp3-text.ogm", 1, 0x55, 44100, 2}, Wave{"ogm-pcm-ac3.ogm", 0, 1, 8000, 2},
                          Wave{"ogm-pcm-ac3.ogm", 1, 0x2000, 48000, 2}}) {
        const CMediaType type = typeOf(w.file, w.pin);
        ASSERT_EQ(*type.FormatType(), FORMAT_WaveFormatEx);
        const auto* wave = reinterpret_cast<const WAVEFORMATEX*>(type.Format());
        EXPECT_EQ(*type.Subtype(), FourccGuid(w.tag));
        EXPECT_EQ(wave->wFormatTag, w.tag);
        EXPECT_EQ(wave->nSamplesPerSec, w.rate);
        EXPECT_EQ(wave->nChannels, w.channels);
    }
    const CMediaType kstream = typeOf("vorbis-kstream.ogg", 1);
    EXPECT_EQ(*kstream.Type(), MEDIATYPE_Stream);
    EXPECT_EQ(*kstream.Subtype(), MEDIASUBTYPE_KStream);
}

TEST(Ogg2Playback, ChainedLinksPlayOnPinsOfTheirOwn)
{
    // Each link's stream is found at Load and gets a pin; the second link's packets are timed
    // from its own granules. ffprobe makes one stream of the file and lists the second link's
    // headers as packets: the first pin's data, then the second pin's headers and data, are
    // ffprobe's packets in order.
    const PlayResult played = vmx::test::PlayFixture("ogg/chained-vorbis.ogg", "ogg2");
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 2u);
    auto samples = DataSamples(played.report.pins[0], 3);
    const auto second = SamplesOf(played.report.pins[1]);
    EXPECT_EQ(second.at(0).bytes.at(0), 1);
    EXPECT_LT(second.at(3).start, kSecond / 10);
    samples.insert(samples.end(), second.begin(), second.end());
    ExpectPackets(samples, RefStreams("chained-vorbis").at(0).packets, 0, {});
}

TEST(Ogg2Files, DamagedAndUnplayableFiles)
{
    // Pages that fail their checksum, noise between pages and a cut are passed over as ffprobe
    // passes them; a lost first page loses the stream it opened (its pages are of no stream).
    struct Case {
        const char* file;
        std::vector<std::pair<std::string, int>> pins;
    };
    const Case cases[] = {
        {"garbage-in-page", {{"Video", 0}, {"Audio", 1}}},
        {"garbage-between-pages", {{"Video", 0}, {"Audio", 1}}},
        {"truncated", {{"Video", 0}, {"Audio", 1}}},
        {"first-page-lost", {{"Audio", -1}}},
        {"zeroed-capture", {{"Audio", -1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto streams = RefStreams(std::string("damaged/") + c.file);
        const PlayResult played = vmx::test::PlayFixture(std::string("ogg/damaged/") + c.file + ".ogg", "ogg2");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), c.pins.size());
        for (size_t p = 0; p < c.pins.size(); ++p) {
            EXPECT_EQ(played.report.pins[p].name, c.pins[p].first);
            const auto stream = c.pins[p].second >= 0 ? streams.begin() + c.pins[p].second
                                                       : std::find_if(streams.begin(), streams.end(), [](const RefStream& s) { return s.codec == "vorbis"; });
            ASSERT_NE(stream, streams.end());
            ExpectPackets(DataSamples(played.report.pins[p], 3), stream->packets, 0, {});
        }
    }
    // Stream kinds the filter does not play, and a Vorbis stream whose headers end past the
    // first 128 KiB: nothing to play, Load fails.
    for (const char* file : {"opus.ogg", "flac.ogg", "speex.ogg", "vorbis-large-comment.ogg"}) {
        SCOPED_TRACE(file);
        const PlayResult failed = vmx::test::PlayFixture(std::string("ogg/") + file, "ogg2");
        EXPECT_NE(failed.error.find("could not load"), std::string::npos) << failed.error;
    }
    vmx::test::ExpectFuzzFindingsPlayOrFail("ogg-", "ogg2", 2 * kSecond);
}

TEST(Ogg2Seeking, SeeksByTheIndexLandOnKeyFramesAndPlayOn)
{
    const auto streams = RefStreams("theora-vorbis-large");
    const RefStream& video = streams.at(0);
    const RefStream& audio = streams.at(1);
    const auto audioTimes = VorbisTimes(audio, PacketGranules("theora-vorbis-large.ogg", 201));
    const std::string padded = PaddedCopy("theora-vorbis-large.ogg");
    PlaySession session(std::filesystem::relative(padded, vmx::test::kFixtureDir).string(), "ogg2");
    ASSERT_TRUE(session.connected);
    ComPtr<IVmxOGG2> ogg;
    ASSERT_EQ(session.source.filter.QueryInterface(IID_IVmxOGG2, &ogg), S_OK);
    // The index reaches the key frames the seeks below use.
    for (int i = 0; i < 500 && !IndexReaches(*ogg, 16 * kSecond); ++i)
        Sleep(10);
    ASSERT_TRUE(IndexReaches(*ogg, 16 * kSecond));

    ASSERT_EQ(session.driver.Pause(), S_OK);
    bool running = false;
    for (REFERENCE_TIME target : {73 * kSecond / 10, 25 * kSecond / 10, 152 * kSecond / 10, REFERENCE_TIME{0}}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(session.Seek(0, target, 0), S_OK);
        ASSERT_EQ(session.Seek(1, target, 0), S_OK);
        if (!running) {
            ASSERT_EQ(session.driver.Run(), S_OK);
            running = true;
        }
        ASSERT_TRUE(session.driver.WaitForEndOfStream(20000));
        // Video resumes at the indexed key frame at or before the target...
        const auto lastVideo = session.LastSegment(0);
        ASSERT_GT(lastVideo.size(), 3u);
        const SinkEvent& first = lastVideo[3];
        const auto key = std::find_if(video.packets.begin(), video.packets.end(), [&](const Ref& r) { return video.Time(r.pts) == first.start + target; });
        ASSERT_NE(key, video.packets.end());
        EXPECT_TRUE(key->key);
        EXPECT_LE(video.Time(key->pts), target);
        EXPECT_GT(video.Time(key->pts), target - kSecond);
        EXPECT_EQ(first.preroll, first.start < 0);
        // ...and every packet after it plays, video and audio, at the times of a whole play; of
        // the audio only what starts at the target or later.
        ExpectPackets({lastVideo.begin() + 3, lastVideo.end()}, video.packets, static_cast<size_t>(key - video.packets.begin()), {}, target);
        const auto lastAudio = session.LastSegment(1);
        ASSERT_GT(lastAudio.size(), 3u);
        const auto firstAudio = std::find_if(audioTimes.begin(), audioTimes.end(), [&](REFERENCE_TIME t) { return t >= target; });
        ExpectPackets({lastAudio.begin() + 3, lastAudio.end()}, audio.packets, static_cast<size_t>(firstAudio - audioTimes.begin()), audioTimes, target);
    }

    // Snapping, once asked for: the seek reports the key frame it moved to, where video resumes.
    ASSERT_EQ(ogg->SetSeekToKeyFrame(TRUE), S_OK);
    const auto snap = [&](REFERENCE_TIME requested, REFERENCE_TIME expected) {
        LONGLONG position = requested;
        ASSERT_EQ(session.driver.Seeking(0)->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
        EXPECT_EQ(position, expected);
        ASSERT_EQ(session.Seek(1, position, 0), S_OK);
        ASSERT_TRUE(session.driver.WaitForEndOfStream(20000));
        const auto snapped = session.LastSegment(0);
        ASSERT_GT(snapped.size(), 3u);
        EXPECT_EQ(snapped[3].start, 0);
        EXPECT_TRUE(snapped[3].syncPoint);
    };
    snap(73 * kSecond / 10, 8 * kSecond);  // on to the next key frame
    // Snapping goes by granule times past the one asked for, and a Theora granule counts the end
    // of its frame: half a frame into the key frame at 8 s, the seek stays on that key frame.
    ASSERT_EQ(session.Seek(0, 0, 0), S_OK);  // a seek elsewhere first: the same time again is one seek
    ASSERT_EQ(session.Seek(1, 0, 0), S_OK);
    snap(8 * kSecond + 200000, 8 * kSecond);

    // With preroll marking off nothing is marked, and no seek snaps.
    ASSERT_EQ(ogg->SetPrerollMode(0), S_OK);
    ASSERT_EQ(session.Seek(0, 73 * kSecond / 10, 0), S_OK);
    ASSERT_EQ(session.Seek(1, 73 * kSecond / 10, 0), S_OK);
    ASSERT_TRUE(session.driver.WaitForEndOfStream(20000));
    const auto unmarked = session.LastSegment(0);
    ASSERT_GT(unmarked.size(), 3u);
    EXPECT_LT(unmarked[3].start, 0);
    for (const SinkEvent& sample : unmarked)
        EXPECT_FALSE(sample.preroll);
    vmx::test::ExpectPromptStop(session);
    std::filesystem::remove(padded);
}

TEST(Ogg2Threads, SeekStormsStopsAndTheIndexThread)
{
    const auto streams = RefStreams("theora-vorbis");
    {
        PlaySession session("ogg/theora-vorbis.ogg", "ogg2");
        ASSERT_NO_FATAL_FAILURE(vmx::test::SeekStormThenRestart(session, 2, 10 * kSecond));
        // After the storm the file plays whole once more, headers first.
        EXPECT_EQ(session.LastSegment(0).size(), 3 + streams[0].packets.size());
        EXPECT_EQ(session.LastSegment(1).size(), 3 + streams[1].packets.size());
        vmx::test::ExpectPromptStop(session);
    }
    vmx::test::ExpectStopWhileASinkHolds("ogg/theora-vorbis-large.ogg", "ogg2");
    // A filter let go while its index thread reads the file ends that thread at once.
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        {
            auto source = OpenSourceFile(vmx::test::kFixtureDir + "ogg/theora-vorbis-large.ogg", "ogg2");
            ASSERT_TRUE(source) << source.error;
            Sleep(static_cast<DWORD>(i * 100));
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1) + std::chrono::milliseconds(i * 100));
    }
}

TEST(Ogg2Seeking, TheDurationGrowsWithTheIndex)
{
    // The index thread reaches the start of the last video frame before the stream's last page
    // (it passes end-of-stream pages over).
    const auto streams = RefStreams("theora-vorbis");
    const std::string padded = PaddedCopy("theora-vorbis.ogg");
    {
        auto source = OpenSourceFile(padded, "ogg2");
        ASSERT_TRUE(source) << source.error;
        ComPtr<IVmxOGG2> ogg;
        ASSERT_EQ(source.filter.QueryInterface(IID_IVmxOGG2, &ogg), S_OK);
        LONGLONG duration = -1;
        ASSERT_EQ(ogg->GetDuration(&duration), S_OK);
        EXPECT_EQ(duration, 0);
        for (int i = 0; i < 300 && !IndexReaches(*ogg, 9 * kSecond); ++i)
            Sleep(10);
        Sleep(100);
        ASSERT_EQ(ogg->GetDuration(&duration), S_OK);
        const RefStream& video = streams[0];
        EXPECT_GE(duration, 9 * kSecond);
        EXPECT_LE(duration, video.Time(video.packets.back().pts));
        EXPECT_TRUE(std::any_of(video.packets.begin(), video.packets.end(), [&](const Ref& r) { return video.Time(r.pts) == duration; }));
    }
    std::filesystem::remove(padded);
}

TEST(Ogg2Seeking, BeforeTheIndexASearchFindsThePlace)
{
    // A seek right after Load, before the index thread has read anything: an interpolation search
    // puts playback on a page before the time; video resumes at the next key frame.
    const auto streams = RefStreams("theora-vorbis-large");
    const RefStream& video = streams.at(0);
    PlayOptions options;
    options.seekTo = 73 * kSecond / 10;
    const PlayResult played = vmx::test::PlayFixture("ogg/theora-vorbis-large.ogg", "ogg2", options);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    const auto samples = DataSamples(played.report.pins.at(0), 3);
    ASSERT_FALSE(samples.empty());
    const auto key = std::find_if(video.packets.begin(), video.packets.end(),
                                  [&](const Ref& r) { return video.Time(r.pts) == samples.front().start + *options.seekTo; });
    ASSERT_NE(key, video.packets.end());
    EXPECT_TRUE(key->key);
    EXPECT_LT(std::abs(video.Time(key->pts) - *options.seekTo), kSecond + 1);
    ExpectPackets(samples, video.packets, static_cast<size_t>(key - video.packets.begin()), {});
}

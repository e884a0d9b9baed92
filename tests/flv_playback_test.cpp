// The FLV filter on files of ffmpeg, yamdi and flvmeta: pins and media types, every sample
// against ffprobe's packets, durations, seeks to key frames, threads, and damaged files.
#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "demux/flv/flv_filter.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;
using nlohmann::json;

// ffprobe's packets of the stream of a kind ("audio", "video"), in file order.
std::vector<RefFrame> Packets(const std::string& name, const std::string& kind)
{
    std::map<int, std::string> kinds;
    auto frames = LoadFrames("flv/" + name, &kinds);
    for (const auto& [index, streamKind] : kinds)
        if (streamKind == kind)
            return frames[index];
    return {};
}

// Each delivered sample is the ffprobe packet at the same place from `first` on: bytes, time,
// and key flag (every audio tag is a sync point).
void ExpectSamplesAre(const std::vector<SinkEvent>& samples, const std::vector<RefFrame>& packets, size_t first = 0,
                      REFERENCE_TIME shift = 0)
{
    ASSERT_EQ(samples.size(), packets.size() - first);
    for (size_t k = 0; k < samples.size(); ++k) {
        SCOPED_TRACE(k);
        const RefFrame& packet = packets[first + k];
        EXPECT_EQ(samples[k].length, packet.size);
        EXPECT_EQ(samples[k].adler32, packet.adler32);
        EXPECT_EQ(samples[k].start, packet.start - shift);
        EXPECT_EQ(samples[k].stop, packet.start - shift + 1);
        EXPECT_EQ(samples[k].syncPoint, packet.key || k == 0);
    }
}

const PinReport* PinNamed(const PlayResult& played, const std::string& name)
{
    for (const PinReport& pin : played.report.pins)
        if (pin.name == name)
            return &pin;
    return nullptr;
}

}  // namespace

TEST(FlvPlayback, EveryTagPayloadAsFfprobeListsIt)
{
    struct Case {
        const char* file;
        bool audio, video;
    };
    // Speex and little-endian PCM have no pin, nor has screen video.
    const Case cases[] = {
        {"h264-aac", true, true},
        {"h264-aac-keyframe-index", true, true},
        {"h264-aac-yamdi", true, true},
        {"h264-video-only", false, true},
        {"mp3-audio-only", true, false},
        {"screen-mp3", true, false},
        {"sorenson-128x96-nellymoser-22k", true, true},
        {"sorenson-160x120-adpcm-44k-stereo", true, true},
        {"sorenson-176x144-nellymoser-16k", true, true},
        {"sorenson-200x150-adpcm-22k-stereo", true, true},
        {"sorenson-320x240-adpcm-22k-mono", true, true},
        {"sorenson-352x288-nellymoser-8k", true, true},
        {"sorenson-400x300-nellymoser-44k", true, true},
        {"sorenson-mp3", true, true},
        {"sorenson-mp3-10s-flvmeta", true, true},
        {"sorenson-mp3-no-metadata", true, true},
        {"sorenson-pcm-u8", true, true},
        {"sorenson-speex", false, true},
        {"vp6-mp3", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const PlayResult played = vmx::test::PlayFixture(std::string("flv/") + c.file + ".flv", "flv");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), size_t{c.audio} + size_t{c.video});
        if (c.audio) {
            const PinReport& pin = played.report.pins.front();
            EXPECT_EQ(pin.name, "Audio Pin");
            ExpectSamplesAre(SamplesOf(pin), Packets(c.file, "audio"));
        }
        if (c.video) {
            const PinReport& pin = played.report.pins.back();
            EXPECT_EQ(pin.name, "Video Pin");
            ExpectSamplesAre(SamplesOf(pin), Packets(c.file, "video"));
        }
    }
}

TEST(FlvPlayback, Vp6WithAlphaLosesTheAlphaOffsetToo)
{
    // ffprobe keeps the 24-bit offset of the alpha data in front of a VP6A frame; the filter
    // takes it off with the adjustment byte, so each sample is ffprobe's packet less 3 bytes.
    const PlayResult played = vmx::test::PlayFixture("flv/vp6a-mp3.flv", "flv");
    ASSERT_TRUE(played.Succeeded()) << played.error;
    const PinReport* video = PinNamed(played, "Video Pin");
    ASSERT_NE(video, nullptr);
    const auto samples = SamplesOf(*video);
    const auto packets = Packets("vp6a-mp3", "video");
    const std::vector<BYTE> file = vmx::test::FixtureBytes("flv/vp6a-mp3.flv");
    ASSERT_EQ(samples.size(), packets.size());
    for (size_t k = 0; k < samples.size(); ++k) {
        SCOPED_TRACE(k);
        // ffprobe's packet starts after the 11-byte tag header, the first data byte and the
        // adjustment byte.
        const size_t payload = static_cast<size_t>(packets[k].pos) + 11 + 2 + 3;
        ASSERT_LE(payload + samples[k].length, file.size());
        EXPECT_EQ(samples[k].length, packets[k].size - 3);
        EXPECT_EQ(samples[k].adler32, adler32(1, file.data() + payload, static_cast<uInt>(samples[k].length)));
        EXPECT_EQ(samples[k].start, packets[k].start);
    }
    ExpectSamplesAre(SamplesOf(*PinNamed(played, "Audio Pin")), Packets("vp6a-mp3", "audio"));
}

namespace {

// ffprobe's stream of a kind in flv/<file>.flv, and the pins the filter describes for the file.
struct DescribedFile {
    json stream;
    PlayResult pins;
};

void Describe(const std::string& file, const std::string& kind, DescribedFile& described)
{
    const json table = LoadTable("flv/" + file);
    for (const json& s : table["streams"])
        if (s["codec_type"] == kind)
            described.stream = s;
    const auto source = OpenSourceFile(kFixtureDir + "flv/" + file + ".flv", "flv");
    ASSERT_TRUE(source) << source.error;
    described.pins = DescribeSource(source.filter.Get());
}

}  // namespace

TEST(FlvPlayback, MediaTypesFromTheProbedTags)
{
    struct Audio {
        const char* file;
        WORD tag;
        GUID subtype;
        WORD bits;
    };
    const GUID nell = FourccGuid(MakeFourcc('N', 'E', 'L', 'L'));
    const Audio audios[] = {
        {"h264-aac", 0xFF, FourccGuid(0xFF), 16},
        {"mp3-audio-only", 0x55, FourccGuid(0x55), 16},
        {"sorenson-pcm-u8", 1, FourccGuid(1), 8},
        {"sorenson-160x120-adpcm-44k-stereo", 2, FourccGuid(MakeFourcc('A', 'S', 'W', 'F')), 16},
        {"sorenson-352x288-nellymoser-8k", 0xA100, nell, 16},
        {"sorenson-176x144-nellymoser-16k", 0x3200, nell, 16},
        {"sorenson-400x300-nellymoser-44k", 0xA200, nell, 16},
    };
    for (const Audio& a : audios) {
        SCOPED_TRACE(a.file);
        DescribedFile described;
        ASSERT_NO_FATAL_FAILURE(Describe(a.file, "audio", described));
        const CMediaType& type = described.pins.report.pins.front().mediaTypes.front();
        EXPECT_EQ(*type.Type(), MEDIATYPE_Audio);
        EXPECT_EQ(*type.Subtype(), a.subtype);
        ASSERT_EQ(*type.FormatType(), FORMAT_WaveFormatEx);
        const auto* wave = reinterpret_cast<const WAVEFORMATEX*>(type.Format());
        EXPECT_EQ(wave->wFormatTag, a.tag);
        EXPECT_EQ(wave->nSamplesPerSec, described.stream["sample_rate"].get<DWORD>());
        EXPECT_EQ(wave->nChannels, described.stream["channels"].get<int>());
        EXPECT_EQ(wave->wBitsPerSample, a.bits);
        EXPECT_EQ(wave->nBlockAlign, a.bits * wave->nChannels / 8);
        EXPECT_EQ(wave->nAvgBytesPerSec, wave->nSamplesPerSec * wave->nBlockAlign);
        EXPECT_TRUE(type.IsFixedSize());
        EXPECT_EQ(type.GetSampleSize(), 1u);
        // AAC carries the first two bytes of its AudioSpecificConfig: LC, 44.1 kHz, stereo.
        const std::vector<BYTE> extra(type.Format() + sizeof(WAVEFORMATEX), type.Format() + type.FormatLength());
        const std::vector<BYTE> aacConfig{0x12, 0x10};
        EXPECT_EQ(extra, a.tag == 0xFF ? aacConfig : std::vector<BYTE>());
        EXPECT_EQ(wave->cbSize, extra.size());
    }

    struct Video {
        const char* file;
        DWORD fourcc;
    };
    const Video videos[] = {
        {"h264-aac", MakeFourcc('A', 'V', 'C', '1')},
        {"sorenson-200x150-adpcm-22k-stereo", MakeFourcc('F', 'L', 'V', '1')},
        {"sorenson-400x300-nellymoser-44k", MakeFourcc('F', 'L', 'V', '1')},
        {"vp6-mp3", MakeFourcc('F', 'L', 'V', '4')},
    };
    for (const Video& v : videos) {
        SCOPED_TRACE(v.file);
        DescribedFile described;
        ASSERT_NO_FATAL_FAILURE(Describe(v.file, "video", described));
        const CMediaType& type = described.pins.report.pins.back().mediaTypes.front();
        EXPECT_EQ(*type.Subtype(), FourccGuid(v.fourcc));
        const BITMAPINFOHEADER* bitmap = nullptr;
        REFERENCE_TIME frameDuration = 0;
        if (v.fourcc == MakeFourcc('A', 'V', 'C', '1')) {
            ASSERT_EQ(*type.FormatType(), FORMAT_MPEG2Video);
            const auto* info = reinterpret_cast<const MPEG2VIDEOINFO*>(type.Format());
            bitmap = &info->hdr.bmiHeader;
            frameDuration = info->hdr.AvgTimePerFrame;
            EXPECT_EQ(info->hdr.dwPictAspectRatioX, 180u);
            EXPECT_EQ(info->hdr.dwPictAspectRatioY, 100u);
            EXPECT_EQ(info->dwFlags, 4u);
            EXPECT_EQ(type.FormatLength(), sizeof(MPEG2VIDEOINFO) + info->cbSequenceHeader);
            // SPS then PPS, each behind a 16-bit length.
            const BYTE* sets = reinterpret_cast<const BYTE*>(info->dwSequenceHeader);
            const size_t spsLength = static_cast<size_t>(sets[0] << 8 | sets[1]);
            ASSERT_LT(spsLength + 4, info->cbSequenceHeader);
            EXPECT_EQ(sets[2] & 0x1F, 7);
            EXPECT_EQ(sets[2 + spsLength + 2] & 0x1F, 8);
            EXPECT_EQ(spsLength + 4 + (sets[2 + spsLength] << 8 | sets[3 + spsLength]), info->cbSequenceHeader);
            EXPECT_EQ(info->dwProfile, static_cast<DWORD>(sets[3]));
        } else {
            ASSERT_EQ(*type.FormatType(), FORMAT_VideoInfo);
            ASSERT_EQ(type.FormatLength(), 88u);
            const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.Format());
            bitmap = &info->bmiHeader;
            frameDuration = info->AvgTimePerFrame;
        }
        EXPECT_EQ(bitmap->biCompression, v.fourcc);
        EXPECT_EQ(bitmap->biWidth, described.stream["width"].get<int>());
        EXPECT_EQ(bitmap->biHeight, described.stream["height"].get<int>());
        EXPECT_EQ(frameDuration, 400000);  // 25 frames a second
    }
}

TEST(FlvPlayback, DurationFromTheMetadataElseTheLastTag)
{
    for (const char* file : {"h264-aac", "sorenson-mp3", "sorenson-mp3-10s-yamdi", "sorenson-mp3-10s-flvmeta", "sorenson-mp3-no-metadata"}) {
        SCOPED_TRACE(file);
        PlaySession session(std::string("flv/") + file + ".flv", "flv");
        ASSERT_TRUE(session.connected);
        LONGLONG duration = 0;
        ASSERT_EQ(session.driver.Seeking(0)->GetDuration(&duration), S_OK);
        const json table = vmx::test::LoadTable(std::string("flv/") + file);
        if (std::string(file).find("no-metadata") == std::string::npos) {
            // ffprobe's duration is the metadata's, to the millisecond.
            EXPECT_EQ(duration, std::llround(std::stod(table["format"]["duration"].get<std::string>()) * 1000) * 10000);
        } else {
            // The last tag in the file: its timestamp, without a composition time.
            long long lastPos = -1, lastDts = 0;
            for (const json& packet : table["packets"])
                if (packet["pos"].get<long long>() > lastPos) {
                    lastPos = packet["pos"].get<long long>();
                    lastDts = packet["dts"].get<long long>();
                }
            EXPECT_EQ(duration, lastDts * 10000);
        }
    }
}

TEST(FlvSeeking, LandsOnTheKeyFrameBeforeTheTargetAndPlaysEverythingAfterIt)
{
    for (const char* file : {"h264-aac", "h264-aac-keyframe-index", "sorenson-mp3-10s", "sorenson-mp3-10s-yamdi"}) {
        SCOPED_TRACE(file);
        const auto video = Packets(file, "video");
        const auto audio = Packets(file, "audio");
        PlaySession session(std::string("flv/") + file + ".flv", "flv");
        ASSERT_TRUE(session.connected);
        ASSERT_EQ(session.driver.Pause(), S_OK);
        for (REFERENCE_TIME target : {45 * kSecond / 10, 2 * kSecond, 8 * kSecond + kSecond / 2, REFERENCE_TIME{0}, 6 * kSecond}) {
            SCOPED_TRACE(target);
            ASSERT_TRUE(session.SeekAndPlayToTheEnd(2, target));
            const auto audioSamples = session.LastSegment(0);
            const auto videoSamples = session.LastSegment(1);
            ASSERT_FALSE(videoSamples.empty());
            // Video resumes at the last key frame at or before the target, within a second...
            const auto key = std::find_if(video.begin(), video.end(), [&](const RefFrame& f) { return f.start == videoSamples.front().start + target; });
            ASSERT_NE(key, video.end());
            EXPECT_TRUE(key->key);
            EXPECT_LE(key->start, std::max(target, video.front().start));
            EXPECT_GT(key->start, target - kSecond);
            EXPECT_EQ(videoSamples.front().preroll, videoSamples.front().start < 0);
            // ...and every tag after it in the file plays, on both pins.
            ExpectSamplesAre(videoSamples, video, static_cast<size_t>(key - video.begin()), target);
            // (From 0 the file plays from its first tag.)
            const auto firstAudio = target == 0 ? audio.begin()
                                                : std::find_if(audio.begin(), audio.end(), [&](const RefFrame& f) { return f.pos > key->pos; });
            ExpectSamplesAre(audioSamples, audio, static_cast<size_t>(firstAudio - audio.begin()), target);
        }
        // Past the end nothing plays, even from a read stopped half-way: every pin just ends.
        ASSERT_EQ(session.Seek(0, 0), S_OK);
        session.driver.Sink(0)->HoldReceive();
        Sleep(50);
        ASSERT_EQ(session.Seek(0, 11 * kSecond), S_OK);
        ASSERT_EQ(session.Seek(1, 11 * kSecond), S_OK);
        session.driver.Sink(0)->ReleaseHold();
        ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
        EXPECT_TRUE(session.LastSegment(0).empty());
        EXPECT_TRUE(session.LastSegment(1).empty());
        vmx::test::ExpectPromptStop(session);
    }
}

TEST(FlvThreads, SeekStormsAndStopsFinishPromptly)
{
    {
        PlaySession session("flv/sorenson-mp3-10s.flv", "flv");
        ASSERT_NO_FATAL_FAILURE(vmx::test::SeekStormThenRestart(session, 2, 10 * kSecond));
        // After the storm the file plays whole once more.
        ExpectSamplesAre(session.LastSegment(0), Packets("sorenson-mp3-10s", "audio"));
        ExpectSamplesAre(session.LastSegment(1), Packets("sorenson-mp3-10s", "video"));
        vmx::test::ExpectPromptStop(session);
    }
    vmx::test::ExpectStopWhileASinkHolds("flv/h264-aac.flv", "flv", 1);
}

namespace {

// The FLV tags of a file: where each starts (its 11-byte header) and its DataSize.
struct TagPlace {
    size_t at;
    size_t dataSize;
    BYTE type;
};

std::vector<TagPlace> Tags(const std::vector<BYTE>& file)
{
    std::vector<TagPlace> tags;
    for (size_t at = 13; at + 11 <= file.size();) {
        const size_t size = static_cast<size_t>(file[at + 1]) << 16 | static_cast<size_t>(file[at + 2]) << 8 | file[at + 3];
        tags.push_back({at, size, file[at]});
        at += 11 + size + 4;
    }
    return tags;
}

PlayResult PlayBytes(const std::vector<BYTE>& bytes, const std::string& name)
{
    const auto path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const auto source = OpenSourceFile(path.string(), "flv");
    PlayResult played;
    PlayOptions options;
    options.keepSampleBytes = true;
    if (source)
        played = PlaySource(source.filter.Get(), options);
    else
        played.error = source.error;
    std::filesystem::remove(path);
    return played;
}

}  // namespace

TEST(FlvFiles, AKeyFrameWhoseSizeFallsShortOrWithBytesInsertedArrivesWhole)
{
    // The largest key frame of h264-aac.flv: its DataSize 1000 too small, or 4 KiB of noise
    // inserted half-way into its data. The frame runs to the next real tag in both; nothing else
    // changes.
    const std::vector<BYTE> original = vmx::test::FixtureBytes("flv/h264-aac.flv");
    const std::vector<TagPlace> tags = Tags(original);
    std::optional<TagPlace> largest;
    for (const TagPlace& tag : tags)
        if (tag.type == 9 && (original[tag.at + 11] & 0xF0) == 0x10 && original[tag.at + 12] == 1
            && (!largest || tag.dataSize > largest->dataSize))
            largest = tag;
    ASSERT_TRUE(largest);
    const TagPlace key = *largest;
    ASSERT_GT(key.dataSize, 1100u);
    const PlayResult whole = PlayBytes(original, "vmx-flv-whole.flv");
    ASSERT_TRUE(whole.Succeeded()) << whole.error;

    std::vector<BYTE> shortened = original;
    const size_t lowered = key.dataSize - 1000;
    shortened[key.at + 1] = static_cast<BYTE>(lowered >> 16), shortened[key.at + 2] = static_cast<BYTE>(lowered >> 8);
    shortened[key.at + 3] = static_cast<BYTE>(lowered);
    std::vector<BYTE> padded = original;
    const size_t middle = key.at + 11 + key.dataSize / 2;
    padded.insert(padded.begin() + static_cast<std::ptrdiff_t>(middle), 4096, BYTE{0xA5});

    for (const auto& [bytes, inserted] : {std::pair{&shortened, size_t{0}}, std::pair{&padded, size_t{4096}}}) {
        SCOPED_TRACE(inserted);
        const PlayResult played = PlayBytes(*bytes, "vmx-flv-damaged.flv");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), whole.report.pins.size());
        for (size_t p = 0; p < played.report.pins.size(); ++p) {
            const auto ours = SamplesOf(played.report.pins[p]);
            const auto theirs = SamplesOf(whole.report.pins[p]);
            ASSERT_EQ(ours.size(), theirs.size());
            for (size_t k = 0; k < ours.size(); ++k) {
                if (ours[k].bytes == theirs[k].bytes)
                    continue;
                // The key frame, with the inserted bytes where they were put.
                std::vector<BYTE> expected = theirs[k].bytes;
                const size_t offset = middle - (key.at + 11) - 5;  // the sample leaves out 5 AVC header bytes
                ASSERT_EQ(ours[k].bytes.size(), expected.size() + inserted) << k;
                expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(offset), inserted, BYTE{0xA5});
                EXPECT_EQ(ours[k].bytes, expected) << k;
            }
        }
    }
}

TEST(FlvFiles, DamagedFilesResynchroniseOrEnd)
{
    // Sizes and previous-tag sizes that lie lose nothing of sorenson-mp3.flv; a zeroed tag
    // loses that tag alone.
    const auto audio = Packets("sorenson-mp3", "audio");
    const auto video = Packets("sorenson-mp3", "video");
    for (const char* file : {"data-size-too-large", "wrong-previous-sizes", "zeroed-tag"}) {
        SCOPED_TRACE(file);
        const PlayResult played = vmx::test::PlayFixture(std::string("flv/damaged/") + file + ".flv", "flv");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), 2u);
        ExpectSamplesAre(SamplesOf(played.report.pins[0]), audio);
        auto expected = video;
        if (std::string(file) == "zeroed-tag") {
            // ffprobe loses the zeroed video tag too, and nothing else.
            expected = Packets("damaged/zeroed-tag", "video");
            ASSERT_EQ(expected.size(), video.size() - 1);
        }
        ExpectSamplesAre(SamplesOf(played.report.pins[1]), expected);
    }
    {
        // 1000 bytes of noise in front of a tag's PreviousTagSize: a tag runs to the next real
        // header, so the tag in front of the noise carries it; everything else is whole. (ffprobe
        // loses the tag behind the noise instead.)
        const PlayResult played = vmx::test::PlayFixture("flv/damaged/garbage.flv", "flv");
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), 2u);
        std::vector<SinkEvent> all;
        for (const PinReport& pin : played.report.pins)
            for (const SinkEvent& sample : SamplesOf(pin))
                all.push_back(sample);
        ASSERT_EQ(all.size(), audio.size() + video.size());
        std::vector<RefFrame> expected = audio;
        expected.insert(expected.end(), video.begin(), video.end());
        size_t carriers = 0;
        for (size_t k = 0; k < all.size(); ++k) {
            if (all[k].adler32 == expected[k].adler32)
                continue;
            ++carriers;
            EXPECT_EQ(all[k].length, expected[k].size + 1000) << k;
        }
        EXPECT_EQ(carriers, 1u);
    }

    // Cut in the middle of a tag: what comes before the cut plays, the cut tag with what is left.
    const PlayResult truncated = vmx::test::PlayFixture("flv/damaged/truncated.flv", "flv");
    ASSERT_TRUE(truncated.Succeeded()) << truncated.error;
    const auto cut = Packets("damaged/truncated", "audio");
    ExpectSamplesAre(SamplesOf(truncated.report.pins[0]), cut);
    ExpectSamplesAre(SamplesOf(truncated.report.pins[1]), Packets("damaged/truncated", "video"));

    // An MP3 tag whose frame is all zeros is not delivered.
    const PlayResult zeros = vmx::test::PlayFixture("flv/damaged/mp3-zeroed-frame.flv", "flv");
    ASSERT_TRUE(zeros.Succeeded()) << zeros.error;
    auto mp3 = Packets("mp3-audio-only", "audio");
    const auto samples = SamplesOf(zeros.report.pins[0]);
    ASSERT_EQ(samples.size(), mp3.size() - 1);
    size_t zeroed = 0;
    while (zeroed < samples.size() && samples[zeroed].adler32 == mp3[zeroed].adler32)
        ++zeroed;
    EXPECT_EQ(mp3[zeroed].size, 418);
    mp3.erase(mp3.begin() + static_cast<std::ptrdiff_t>(zeroed));
    ExpectSamplesAre(samples, mp3);

    // No FLV header, or nothing the filter plays: Load fails.
    for (const char* file : {"damaged/truncated-header.flv", "damaged/zeroed-file-header.flv", "pcm-s16le-audio-only.flv"}) {
        SCOPED_TRACE(file);
        const PlayResult failed = vmx::test::PlayFixture(std::string("flv/") + file, "flv");
        EXPECT_FALSE(failed.Succeeded());
        EXPECT_NE(failed.error.find("could not load"), std::string::npos) << failed.error;
    }
    vmx::test::ExpectFuzzFindingsPlayOrFail("flv-", "flv", 2 * kSecond);
}

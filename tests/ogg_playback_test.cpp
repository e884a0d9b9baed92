// The first Ogg filter: the second filter's fixtures play with the same samples and times (its
// own pins and threads, the same parser), seeks and threads, the comment chapters, and the
// DirectShow-samples stream kind against ffprobe.
#include <gtest/gtest.h>

#include <fstream>

#include "demux/ogg/ogg_filter.h"
#include "io/wide_text.h"
#include "tests/fixture_reference.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;
using nlohmann::json;

void ExpectSameSamples(const PinReport& ours, const PinReport& reference)
{
    EXPECT_EQ(ours.name, reference.name);
    ASSERT_EQ(ours.mediaTypes.size(), reference.mediaTypes.size());
    EXPECT_TRUE(ours.mediaTypes[0] == reference.mediaTypes[0]);
    const auto samples = SamplesOf(ours);
    const auto expected = SamplesOf(reference);
    ASSERT_EQ(samples.size(), expected.size()) << ours.name;
    for (size_t k = 0; k < samples.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(samples[k].length, expected[k].length);
        EXPECT_EQ(samples[k].adler32, expected[k].adler32);
        EXPECT_EQ(samples[k].start, expected[k].start);
        EXPECT_EQ(samples[k].stop, expected[k].stop);
        EXPECT_EQ(samples[k].syncPoint, expected[k].syncPoint);
        EXPECT_EQ(samples[k].discontinuity, expected[k].discontinuity);
        EXPECT_EQ(samples[k].preroll, expected[k].preroll);
    }
    EXPECT_EQ(ours.endOfStream, reference.endOfStream);
}

}  // namespace

TEST(OggPlayback, PlaysAsTheSecondFilterDoes)
{
    // Whole, and from a seek while paused; damaged files too.
    for (const char* file : {"vorbis-44k-stereo.ogg", "theora-vorbis.ogg", "theora-3.2.0-vorbis.ogg", "two-theora-vorbis.ogg",
                             "ogm-mpeg4-mp3-text.ogm", "ogm-pcm-ac3.ogm", "ogm-vorbis.ogm", "vorbis-kstream.ogg", "chained-vorbis.ogg",
                             "damaged/garbage-in-page.ogg", "damaged/first-page-lost.ogg", "damaged/truncated.ogg"}) {
        for (std::optional<REFERENCE_TIME> seek : {std::optional<REFERENCE_TIME>(), std::optional<REFERENCE_TIME>(25 * kSecond / 10)}) {
            SCOPED_TRACE(std::string(file) + (seek ? " from 2.5 s" : ""));
            PlayOptions options;
            options.seekTo = seek;
            const PlayResult ours = vmx::test::PlayFixture(std::string("ogg/") + file, "ogg", options);
            const PlayResult reference = vmx::test::PlayFixture(std::string("ogg/") + file, "ogg2", options);
            ASSERT_TRUE(ours.Succeeded()) << ours.error;
            ASSERT_TRUE(reference.Succeeded()) << reference.error;
            ASSERT_EQ(ours.report.pins.size(), reference.report.pins.size());
            for (size_t p = 0; p < ours.report.pins.size(); ++p)
                ExpectSameSamples(ours.report.pins[p], reference.report.pins[p]);
        }
    }
    for (const char* file : {"opus.ogg", "flac.ogg", "speex.ogg", "vorbis-large-comment.ogg"}) {
        const PlayResult failed = vmx::test::PlayFixture(std::string("ogg/") + file, "ogg");
        EXPECT_NE(failed.error.find("could not load"), std::string::npos) << file << ": " << failed.error;
    }
}

TEST(OggPlayback, ChaptersFromTheComments)
{
    // ffprobe's chapters of the file, in its table.
    const json table = vmx::test::LoadTable("ogg/vorbis-chapters");
    const json& expected = table.at("chapters");
    const auto source = OpenSourceFile(vmx::test::kFixtureDir + "ogg/vorbis-chapters.ogg", "ogg");
    ASSERT_TRUE(source) << source.error;
    ComPtr<IVmxOGG> ogg;
    ASSERT_EQ(source.filter.QueryInterface(IID_IVmxOGG, &ogg), S_OK);
    DWORD count = 0;
    ASSERT_EQ(ogg->GetChapterCount(&count), S_OK);
    ASSERT_EQ(count, expected.size());
    for (DWORD i = 0; i < count; ++i) {
        LONGLONG start = -1;
        LPWSTR title = nullptr;
        ASSERT_EQ(ogg->GetChapter(i, &start, &title), S_OK);
        EXPECT_EQ(start, std::llround(std::stod(expected[i].at("start_time").get<std::string>()) * 1e7));
        EXPECT_EQ(Utf8FromWide(title), expected[i].at("title").get<std::string>());
        CoTaskMemFree(title);
    }
    LONGLONG start = 0;
    LPWSTR title = nullptr;
    EXPECT_EQ(ogg->GetChapter(count, &start, &title), E_INVALIDARG);
}

TEST(OggThreads, SeeksAndStopsWithItsOwnThreads)
{
    {
        PlaySession session("ogg/theora-vorbis-large.ogg", "ogg");
        ASSERT_NO_FATAL_FAILURE(vmx::test::SeekStormThenRestart(session, 2, 19 * kSecond));
        // After the storm the file plays whole once more, as through the second filter.
        const PlayResult reference = vmx::test::PlayFixture("ogg/theora-vorbis-large.ogg", "ogg2");
        ASSERT_TRUE(reference.Succeeded()) << reference.error;
        for (size_t p = 0; p < 2; ++p)
            EXPECT_EQ(session.LastSegment(p).size(), SamplesOf(reference.report.pins[p]).size()) << p;
        vmx::test::ExpectPromptStop(session);
    }
    vmx::test::ExpectStopWhileASinkHolds("ogg/theora-vorbis-large.ogg", "ogg", 1);

    // One file per filter: a second Load fails and leaves the first.
    const auto source = OpenSourceFile(vmx::test::kFixtureDir + "ogg/vorbis-44k-stereo.ogg", "ogg");
    ASSERT_TRUE(source) << source.error;
    ComPtr<IFileSourceFilter> file;
    ASSERT_EQ(source.filter.QueryInterface(IID_IFileSourceFilter, &file), S_OK);
    EXPECT_EQ(file->Load(WideFromUtf8(vmx::test::kFixtureDir + "ogg/theora-vorbis.ogg").c_str(), nullptr), E_FAIL);
    EXPECT_EQ(file->Load(nullptr, nullptr), E_FAIL);
    LPOLESTR name = nullptr;
    ASSERT_EQ(file->GetCurFile(&name, nullptr), S_OK);
    EXPECT_NE(Utf8FromWide(name).find("vorbis-44k-stereo.ogg"), std::string::npos);
    CoTaskMemFree(name);
}

TEST(OggPlayback, DirectShowSamplesPlayWithTheirHeadersMediaTypes)
{
    // A stream header carrying an MPEG-4 video type and one carrying MP3: the pins offer them as
    // they stand, and the data packets (framed as OGM packets) are ffprobe's, at its times.
    const json table = vmx::test::LoadTable("ogg/dshow-mpeg4-mp3");
    const PlayResult played = vmx::test::PlayFixture("ogg/dshow-mpeg4-mp3.ogg", "ogg");
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 2u);
    EXPECT_EQ(played.report.pins[0].name, "Video");
    EXPECT_EQ(played.report.pins[1].name, "Audio");
    const CMediaType& video = played.report.pins[0].mediaTypes.at(0);
    EXPECT_EQ(*video.Subtype(), FourccGuid(MakeFourcc('X', 'V', 'I', 'D')));
    ASSERT_EQ(*video.FormatType(), FORMAT_VideoInfo);
    EXPECT_EQ(reinterpret_cast<const VIDEOINFOHEADER*>(video.Format())->bmiHeader.biWidth, table["streams"][0]["width"].get<int>());
    const CMediaType& audio = played.report.pins[1].mediaTypes.at(0);
    EXPECT_EQ(*audio.Subtype(), FourccGuid(0x55));
    ASSERT_EQ(*audio.FormatType(), FORMAT_WaveFormatEx);
    EXPECT_EQ(reinterpret_cast<const WAVEFORMATEX*>(audio.Format())->nSamplesPerSec, table["streams"][1]["sample_rate"].get<DWORD>());
    for (int stream = 0; stream < 2; ++stream) {
        const std::string base = table["streams"][stream]["time_base"].get<std::string>();
        const long long numerator = std::stoll(base.substr(0, base.find('/'))), denominator = std::stoll(base.substr(base.find('/') + 1));
        std::vector<json> packets;
        for (const json& packet : table["packets"])
            if (packet["stream_index"] == stream)
                packets.push_back(packet);
        const auto samples = SamplesOf(played.report.pins[static_cast<size_t>(stream)]);
        ASSERT_EQ(samples.size(), packets.size()) << stream;
        for (size_t k = 0; k < samples.size(); ++k) {
            SCOPED_TRACE(k);
            const std::string hash = packets[k]["data_hash"].get<std::string>();
            EXPECT_EQ(samples[k].length, packets[k]["size"].get<int>());
            EXPECT_EQ(samples[k].adler32, std::stoul(hash.substr(hash.find(':') + 1), nullptr, 16));
            EXPECT_EQ(samples[k].start, packets[k]["pts"].get<long long>() * numerator * kSecond / denominator);
            EXPECT_EQ(samples[k].syncPoint, packets[k]["flags"].get<std::string>()[0] == 'K' || k == 0);
        }
    }
    // The second filter does not read this kind: nothing of the file plays there.
    const PlayResult second = vmx::test::PlayFixture("ogg/dshow-mpeg4-mp3.ogg", "ogg2");
    EXPECT_NE(second.error.find("could not load"), std::string::npos) << second.error;
}

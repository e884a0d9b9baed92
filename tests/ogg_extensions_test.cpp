// Opus, FLAC and Speex in Ogg behind the extensions switch, through both Ogg filters, against
// ffprobe's tables of files from ffmpeg, opusenc, flac and speexenc: the pin's type and codec
// record, every packet's bytes, start and stop (granule-based, less the pre-skip, as ffprobe
// times them), seeks with Opus's preroll, damaged files; with the switch off, the same refusal
// as before.
#include <gtest/gtest.h>

#include <optional>

#include "framework/extensions.h"
#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "host/recording_sink.h"
#include "tests/fixture_reference.h"
#include "tests/test_support.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;

struct OggCase {
    const char* file;  // under tests/fixtures, without the extension's table suffix
    const char* extension;
    GUID subtype;
    int rate;  // the granule's: stream time base 1/rate
    // The last packet stops at the last granule. ffprobe's duration of the last Speex packet of
    // ffmpeg's file ends this many samples before it (the encoder's 143-sample delay taken off
    // once more); the granule counts the samples the stream holds.
    long long lastStopPastReference = 0;
};

const OggCase kCases[] = {
    {"ogg/opus", ".ogg", MEDIASUBTYPE_Opus, 48000},        {"ext/opusenc", ".ogg", MEDIASUBTYPE_Opus, 48000},
    {"ogg/flac", ".ogg", MEDIASUBTYPE_Flac, 44100},        {"ext/flac-tool", ".oga", MEDIASUBTYPE_Flac, 44100},
    {"ogg/speex", ".ogg", MEDIASUBTYPE_Speex, 16000, 143}, {"ext/speexenc", ".ogg", MEDIASUBTYPE_Speex, 16000},
};

REFERENCE_TIME Time(long long samples, int rate) { return static_cast<REFERENCE_TIME>(samples * kSecond / rate); }

class OggExtensions : public testing::TestWithParam<std::tuple<OggCase, const char*>> {};

// One pin with the codec's subtype; the format block's record is ffprobe's codec data (FLAC:
// ffprobe keeps STREAMINFO alone, which ends our "fLaC" record); every packet of ffprobe's
// table arrives whole, starting and stopping where ffprobe's pts and duration put it.
TEST_P(OggExtensions, PacketsTimesAndRecordMatchTheReference)
{
    const auto& [c, filter] = GetParam();
    ScopedExtensions on(true);
    const nlohmann::json stream = vmx::test::LoadTable(c.file)["streams"][0];
    const auto reference = LoadFrames(c.file).at(0);
    const PlayResult played = vmx::test::PlayFixture(std::string(c.file) + c.extension, filter);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 1u);
    const PinReport& pin = played.report.pins[0];
    ASSERT_EQ(pin.mediaTypes.size(), 1u);
    const CMediaType& type = pin.mediaTypes[0];
    EXPECT_EQ(*type.Subtype(), c.subtype);
    ASSERT_EQ(*type.FormatType(), FORMAT_WaveFormatEx);
    const auto format = GetRecord<WAVEFORMATEX>(type.Format(), 0);
    EXPECT_EQ(format.wFormatTag, c.subtype.Data1);
    EXPECT_EQ(format.nChannels, stream["channels"].get<int>());
    EXPECT_EQ(static_cast<int>(format.nSamplesPerSec), stream["sample_rate"].get<int>());
    ASSERT_EQ(type.FormatLength(), sizeof(WAVEFORMATEX) + format.cbSize);
    const size_t recordSize = stream["extradata_size"].get<size_t>();
    ASSERT_GE(format.cbSize, recordSize);
    const std::span<const BYTE> record(type.Format() + type.FormatLength() - recordSize, recordSize);
    EXPECT_EQ(vmx::test::Adler32Text(record), stream["extradata_hash"].get<std::string>());

    const auto samples = SamplesOf(pin);
    ASSERT_EQ(samples.size(), reference.size());
    const auto table = vmx::test::LoadTable(c.file)["packets"];
    for (size_t k = 0; k < samples.size(); ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(samples[k].length, reference[k].size);
        ASSERT_EQ(samples[k].adler32, reference[k].adler32);
        EXPECT_TRUE(samples[k].syncPoint);
        EXPECT_EQ(samples[k].start, reference[k].start);
        const long long past = k + 1 == samples.size() ? c.lastStopPastReference : 0;
        EXPECT_EQ(samples[k].stop, Time(table[k]["pts"].get<long long>() + table[k]["duration"].get<long long>() + past, c.rate));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, OggExtensions, testing::Combine(testing::ValuesIn(kCases), testing::Values("ogg", "ogg2")),
                         [](const auto& info) {
                             std::string name = std::string(std::get<0>(info.param).file) + "_" + std::get<1>(info.param);
                             for (char& ch : name)
                                 if (ch == '/' || ch == '-')
                                     ch = '_';
                             return name;
                         });

TEST(OggExtensionsOff, TheFilesAreRefusedAsBefore)
{
    ScopedExtensions off(false);
    for (const OggCase& c : kCases)
        for (const char* filter : {"ogg", "ogg2"}) {
            const PlayResult failed = vmx::test::PlayFixture(std::string(c.file) + c.extension, filter);
            EXPECT_NE(failed.error.find("could not load"), std::string::npos) << c.file << ", " << filter << ": " << failed.error;
        }
}

// After a seek Opus is read from the packet that holds the point 80 ms before the target: the
// packets before the target come before the segment's start, the rest follow as in the file.
TEST(OggExtensionsSeeking, OpusStartsItsPrerollBeforeTheTarget)
{
    ScopedExtensions on(true);
    const auto reference = LoadFrames("ext/opusenc").at(0);
    for (const char* filter : {"ogg", "ogg2"}) {
        SCOPED_TRACE(filter);
        vmx::test::PlaySession session("ext/opusenc.ogg", filter);
        ASSERT_TRUE(session.connected);
        const REFERENCE_TIME target = kSecond + kSecond / 4;
        ASSERT_TRUE(session.SeekAndPlayToTheEnd(1, target, 0));
        const auto samples = session.LastSegment(0);
        ASSERT_FALSE(samples.empty());
        EXPECT_LE(samples.front().start, -800000);
        EXPECT_GT(samples.front().stop, -800000);
        const auto first = std::find_if(reference.begin(), reference.end(),
                                        [&](const RefFrame& frame) { return frame.start - target == samples.front().start; });
        ASSERT_NE(first, reference.end());
        ASSERT_EQ(samples.size(), static_cast<size_t>(reference.end() - first));
        for (size_t k = 0; k < samples.size(); ++k) {
            ASSERT_EQ(samples[k].adler32, first[static_cast<std::ptrdiff_t>(k)].adler32) << k;
            EXPECT_EQ(samples[k].start, first[static_cast<std::ptrdiff_t>(k)].start - target) << k;
        }
        session.driver.Stop();
    }
}

// A cut file plays what is whole; a page lost to noise costs its own packets and the times after
// it are found again from the next granule; noise over OpusHead leaves nothing to play.
TEST(OggExtensionsDamaged, DamageCostsOnlyTheDamagedPart)
{
    ScopedExtensions on(true);
    const auto whole = LoadFrames("ext/opusenc").at(0);
    for (const char* filter : {"ogg", "ogg2"}) {
        SCOPED_TRACE(filter);
        const PlayResult cut = vmx::test::PlayFixture("ext/damaged/opus-cut.ogg", filter);
        ASSERT_TRUE(cut.Succeeded()) << cut.error;
        const auto kept = SamplesOf(cut.report.pins.at(0));
        ASSERT_GE(kept.size(), 50u);  // the first data page: a second of 20 ms packets
        ASSERT_LT(kept.size(), whole.size());
        for (size_t k = 0; k < kept.size(); ++k) {
            ASSERT_EQ(kept[k].adler32, whole[k].adler32) << k;
            ASSERT_EQ(kept[k].start, whole[k].start) << k;
        }

        const PlayResult holed = vmx::test::PlayFixture("ext/damaged/opus-noise-page.ogg", filter);
        ASSERT_TRUE(holed.Succeeded()) << holed.error;
        const auto samples = SamplesOf(holed.report.pins.at(0));
        ASSERT_LT(samples.size(), whole.size());
        size_t skipped = 0;
        for (size_t k = 0; k < samples.size(); ++k) {
            while (k + skipped < whole.size() && samples[k].adler32 != whole[k + skipped].adler32)
                ++skipped;
            ASSERT_LT(k + skipped, whole.size()) << k;
            EXPECT_EQ(samples[k].start, whole[k + skipped].start) << k;
        }
        EXPECT_EQ(samples.size() + skipped, whole.size());

        const PlayResult refused = vmx::test::PlayFixture("ext/damaged/opus-bad-head.ogg", filter);
        EXPECT_NE(refused.error.find("could not load"), std::string::npos) << refused.error;
    }
}

}  // namespace

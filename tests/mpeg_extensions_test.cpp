// HEVC and E-AC-3 in both MPEG filters with the extensions switch on, against the table of
// ffmpeg's transport stream: types and the hvcC, every access unit (its NAL units behind 4-byte
// lengths, as MP4 carries them), times and key flags, every E-AC-3 PES payload; a seek, a cut
// file; with the switch off, what these files gave before.
#include <gtest/gtest.h>

#include <algorithm>

#include "framework/format_blocks.h"
#include "framework/module_subtypes.h"
#include "io/byte_reader.h"
#include "tests/fixture_reference.h"
#include "tests/test_support.h"

namespace {

using namespace vmx::host;
using vmx::test::SamplesOf;
using vmx::test::ScopedExtensions;

constexpr REFERENCE_TIME kSecond = 10000000;
const std::string kFile = "ext/hevc-eac3.ts";

struct Reference {
    std::vector<std::uint32_t> units;  // access units (video) or PES payloads (audio), in order
    std::vector<bool> keys;            // video only
    std::vector<long long> pts;        // 90 kHz; the PES time each unit starts in
    long long firstPts = 0;            // of either stream
};

std::uint32_t Hex(const std::string& text) { return static_cast<std::uint32_t>(std::stoul(text.substr(text.find(':') + 1), nullptr, 16)); }

// Stream 0 is HEVC (one access unit a PES, as ffmpeg writes it), stream 1 E-AC-3.
std::array<Reference, 2> LoadReference()
{
    const nlohmann::json table = vmx::test::LoadTable("ext/hevc-eac3");
    std::array<Reference, 2> streams;
    long long first = LLONG_MAX;
    for (const nlohmann::json& packet : table["packets"]) {
        Reference& stream = streams.at(packet["stream_index"].get<size_t>());
        const long long pts = packet["pts"].get<long long>();
        stream.pts.push_back(pts);
        stream.units.push_back(Hex(packet["data_hash"].get<std::string>()));
        first = std::min(first, pts);
    }
    const nlohmann::json& video = table["elementary"][0];
    streams[0].units.clear();
    for (const nlohmann::json& hash : video["hashes"])
        streams[0].units.push_back(Hex(hash.get<std::string>()));
    streams[0].keys = video["keys"].get<std::vector<bool>>();
    for (Reference& stream : streams)
        stream.firstPts = first;
    return streams;
}

std::vector<std::uint32_t> HashesOf(const std::vector<SinkEvent>& samples)
{
    std::vector<std::uint32_t> hashes;
    for (const SinkEvent& sample : samples)
        hashes.push_back(sample.adler32);
    return hashes;
}

// The NAL units of the hvcC's arrays.
std::vector<std::vector<BYTE>> ParameterSetsOf(std::span<const BYTE> hvcc)
{
    std::vector<std::vector<BYTE>> sets;
    size_t at = 23;
    const size_t arrays = hvcc.size() > 22 ? hvcc[22] : 0;
    for (size_t array = 0; array < arrays && at + 3 <= hvcc.size(); ++array) {
        const size_t count = ReadBE16(hvcc.data() + at + 1);
        at += 3;
        for (size_t n = 0; n < count && at + 2 <= hvcc.size(); ++n) {
            const size_t length = ReadBE16(hvcc.data() + at);
            at += 2;
            if (at + length > hvcc.size())
                return {};
            sets.emplace_back(hvcc.begin() + static_cast<std::ptrdiff_t>(at), hvcc.begin() + static_cast<std::ptrdiff_t>(at + length));
            at += length;
        }
    }
    return at == hvcc.size() ? sets : std::vector<std::vector<BYTE>>{};
}

class MpegExtensions : public testing::TestWithParam<const char*> {};

// Both filters give every access unit and every E-AC-3 PES payload whole and in order; the
// transport-stream filter stamps each with its PES time from the streams' first and flags the IRAP
// access units, the first MPEG filter keeps the times' spacing and flags every timed unit, its
// rule for each stream it re-frames. The hvcC holds the VPS, SPS and PPS the first unit carries.
TEST_P(MpegExtensions, AccessUnitsAndPayloadsMatchTheReference)
{
    const std::string filter = GetParam();
    ScopedExtensions on(true);
    const auto reference = LoadReference();
    const PlayResult played = vmx::test::PlayFixture(kFile, filter.c_str());
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 2u);
    const GUID subtypes[2] = {MEDIASUBTYPE_HEVC, MEDIASUBTYPE_DolbyDigitalPlus};
    for (size_t index = 0; index < 2; ++index) {
        const PinReport& pin = played.report.pins[index];
        SCOPED_TRACE(filter + ", " + pin.name);
        ASSERT_FALSE(pin.mediaTypes.empty());
        EXPECT_EQ(*pin.mediaTypes[0].Subtype(), subtypes[index]);
        const auto samples = SamplesOf(pin);
        EXPECT_EQ(HashesOf(samples), reference[index].units);
        ASSERT_EQ(samples.size(), reference[index].units.size());
        for (size_t k = 0; k < samples.size(); ++k) {
            const REFERENCE_TIME spacing = (reference[index].pts[k] - reference[index].pts[0]) * 1000 / 9;
            if (filter == "mpeg2") {
                EXPECT_EQ(samples[k].start, (reference[index].pts[k] - reference[index].firstPts) * 1000 / 9) << k;
                EXPECT_EQ(samples[k].syncPoint, index == 1 || reference[index].keys[k]) << k;
            } else {
                EXPECT_EQ(samples[k].start - samples[0].start, spacing) << k;
                EXPECT_TRUE(samples[k].syncPoint) << k;
            }
        }
    }

    const CMediaType& video = played.report.pins[0].mediaTypes[0];
    ASSERT_EQ(*video.FormatType(), FORMAT_MPEG2Video);
    const auto info = GetRecord<MPEG2VIDEOINFO>(video.Format(), 0);
    EXPECT_EQ(info.hdr.bmiHeader.biWidth, 160);
    EXPECT_EQ(info.hdr.bmiHeader.biHeight, 96);
    EXPECT_EQ(info.dwFlags, 4u);
    ASSERT_EQ(video.FormatLength(), kMpeg2VideoInfoHeaderSize + info.cbSequenceHeader);
    const auto sets = ParameterSetsOf(std::span<const BYTE>(video.Format() + kMpeg2VideoInfoHeaderSize, info.cbSequenceHeader));
    ASSERT_EQ(sets.size(), 3u);
    const auto first = SamplesOf(played.report.pins[0]).front().bytes;
    for (const auto& set : sets) {
        std::vector<BYTE> unit = {0, 0, static_cast<BYTE>(set.size() >> 8), static_cast<BYTE>(set.size())};
        unit.insert(unit.end(), set.begin(), set.end());
        EXPECT_NE(std::search(first.begin(), first.end(), unit.begin(), unit.end()), first.end()) << (set[0] >> 1);
    }
}

// After a seek to 1.2 s each pin resumes at or before the key frame at 1 s (the audio before its
// first video) and delivers everything after it, to the end, as a full play does.
TEST_P(MpegExtensions, SeekLosesNothingAfterTheResumePoint)
{
    const std::string filter = GetParam();
    ScopedExtensions on(true);
    const auto reference = LoadReference();
    PlayOptions options;
    options.seekTo = 12 * kSecond / 10;
    const PlayResult played = vmx::test::PlayFixture(kFile, filter.c_str(), options);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 2u);
    const auto keyAt = std::find(reference[0].keys.begin() + 1, reference[0].keys.end(), true) - reference[0].keys.begin();
    for (size_t index = 0; index < 2; ++index) {
        SCOPED_TRACE(filter + ", pin " + std::to_string(index));
        const auto hashes = HashesOf(SamplesOf(played.report.pins[index]));
        const auto& units = reference[index].units;
        ASSERT_FALSE(hashes.empty());
        ASSERT_LE(hashes.size(), units.size());
        EXPECT_TRUE(std::equal(hashes.begin(), hashes.end(), units.end() - static_cast<std::ptrdiff_t>(hashes.size())));
        if (index == 0) {
            EXPECT_GE(hashes.size(), units.size() - static_cast<size_t>(keyAt));
        }
    }
}

// A file cut at three quarters: each pin plays the units that stand whole before the cut, in
// order; the last one may be cut short.
TEST_P(MpegExtensions, CutFilePlaysWhatStandsBeforeTheCut)
{
    const std::string filter = GetParam();
    ScopedExtensions on(true);
    const auto reference = LoadReference();
    const PlayResult played = vmx::test::PlayFixture("ext/damaged/hevc-eac3-cut.ts", filter.c_str());
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 2u);
    for (size_t index = 0; index < 2; ++index) {
        const auto hashes = HashesOf(SamplesOf(played.report.pins[index]));
        ASSERT_GT(hashes.size(), reference[index].units.size() / 2) << index;
        ASSERT_LT(hashes.size(), reference[index].units.size()) << index;
        EXPECT_TRUE(std::equal(hashes.begin(), hashes.end() - 1, reference[index].units.begin())) << index;
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, MpegExtensions, testing::Values("mpeg", "mpeg2"));

// With the switch off, a file of HEVC and E-AC-3 alone is refused as before, and next to AC-3 an
// E-AC-3 stream gets no pin; with it on, that stream's pin comes between the video and the AC-3.
TEST(MpegExtensionsOff, TheFilesGiveWhatTheyGaveBefore)
{
    PlayOptions firstSamples;
    firstSamples.maxSamplesPerPin = 1;
    for (const char* filter : {"mpeg", "mpeg2"}) {
        SCOPED_TRACE(filter);
        for (bool on : {false, true}) {
            ScopedExtensions extensions(on);
            const PlayResult alone = vmx::test::PlayFixture(kFile, filter, firstSamples);
            EXPECT_EQ(alone.Succeeded(), on) << alone.error;
            const PlayResult beside = vmx::test::PlayFixture("ts/eac3.ts", filter, firstSamples);
            ASSERT_TRUE(beside.Succeeded()) << beside.error;
            std::vector<GUID> subtypes;
            for (const PinReport& pin : beside.report.pins)
                subtypes.push_back(*pin.mediaTypes.at(0).Subtype());
            std::vector<GUID> expected = {FourccGuid(MakeFourcc('A', 'V', 'C', '1')), MEDIASUBTYPE_DolbyAc3};
            if (on)
                expected.insert(expected.begin() + 1, MEDIASUBTYPE_DolbyDigitalPlus);
            EXPECT_EQ(subtypes, expected);
        }
    }
}

}  // namespace

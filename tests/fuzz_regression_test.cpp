// The parser fuzz targets' drives: every finding kept under fixtures/fuzz/ replays through the
// drive of its container (a crash, a leak or a hang fails here, under the sanitizers in CI), and
// each drive reads a good file of its container, background index and all, without threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "fuzz/parser_drive.h"
#include "tests/fixture_reference.h"

namespace {

using vmx::test::FileBytes;
using vmx::test::kFixtureDir;

// A finding that once hung or took seconds a pass must now be quick, even under the sanitizers.
constexpr auto kReplayLimit = std::chrono::seconds(10);

TEST(FuzzRegression, EveryFindingReplaysThroughItsContainersDrive)
{
    size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kFixtureDir + "fuzz")) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const KParserDriveEntry* drive = ParserDriveForFinding(name);
        ASSERT_NE(drive, nullptr) << "a finding's name starts with its container's prefix";
        const std::vector<BYTE> bytes = FileBytes(entry.path());
        ASSERT_FALSE(bytes.empty());
        const auto started = std::chrono::steady_clock::now();
        drive->drive(bytes);
        EXPECT_LT(std::chrono::steady_clock::now() - started, kReplayLimit);
        ++replayed;
    }
    EXPECT_GE(replayed, 14u);
}

TEST(FuzzRegression, FindingPrefixesPickTheLongestMatch)
{
    const struct {
        const char* file;
        const char* target;  // empty: no drive
    } cases[] = {
        {"asf-wm-open.wmv", "asf_wm"}, {"asf-header.wmv", "asf"},  {"mpeg2-pat.ts", "mpeg2"},
        {"mpeg-pack.mpg", "mpeg"},     {"ogg-granule.ogg", "ogg2"}, {"ogg1-chapters.ogg", "ogg"},
        {"notes.txt", ""},             {"mkv", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const KParserDriveEntry* drive = ParserDriveForFinding(c.file);
        EXPECT_EQ(drive ? drive->target : "", c.target);
    }
}

// Files whose index is built beside playback (AVI, Matroska, ASF, Ogg) read through to the end
// with that work done on the drive's thread.
TEST(FuzzRegression, EachDriveReadsAGoodFileOfItsContainer)
{
    const struct {
        const char* target;
        const char* fixture;
    } cases[] = {
        {"avi", "avi/odml-no-idx1.avi"},      {"ogg", "ogg/dshow-mpeg4-mp3.ogg"}, {"mpeg", "mpeg/h264-aac.mpg"},
        {"mkv", "mkv/no-cues.mkv"},           {"mp4", "mp4/co64.mp4"},            {"asf_wm", "asf/keys-10s.wmv"},
        {"flv", "flv/h264-aac.flv"},          {"asf", "asf/no-index.wmv"},        {"ogg2", "ogg/theora-vorbis.ogg"},
        {"mp3", "mp3/cbr-info.mp3"},          {"aac", "aac/lc-44k-stereo.aac"},   {"mpeg2", "ts/ac3-languages.ts"},
    };
    ASSERT_EQ(std::size(cases), ParserDrives().size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        const auto drive = std::find_if(ParserDrives().begin(), ParserDrives().end(),
                                        [&](const KParserDriveEntry& e) { return e.target == c.target; });
        ASSERT_NE(drive, ParserDrives().end());
        const KDriveResult result = drive->drive(FileBytes(kFixtureDir + c.fixture));
        EXPECT_TRUE(result.loaded);
        EXPECT_GE(result.streams, 1);
        EXPECT_GE(result.packets, 10);
    }
}

}  // namespace

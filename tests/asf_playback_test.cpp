// The native ASF filter: pins, every sample against ffprobe's packets, seeks by the Simple Index
// and by the index built while playing, the preroll option, and damaged files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "demux/asf/asf_filter.h"
#include "io/byte_reader.h"
#include "tests/asf_playback.h"
#include "tests/play_session.h"

namespace {

using namespace vmx::host;
using namespace vmx::test;

// ffmpeg writes a preroll of 3.1 s; ffprobe takes it off, the filter takes off the whole second
// below the first time (3 s), so its times stand 100 ms later.
constexpr REFERENCE_TIME kShift = 1000000;

VMX_GUID(kPaddingObject, 0x1806D474, 0xCADF, 0x4509, 0xA4, 0xBA, 0x9A, 0xAB, 0xCB, 0x96, 0xAA, 0xE8);

void PutLE(BYTE* at, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<BYTE>(value >> (8 * i));
}

// Where the Header Object's first child with this GUID starts; 0 when it has none.
size_t HeaderChild(const std::vector<BYTE>& file, const GUID& guid)
{
    const size_t end = std::min<size_t>(ReadLE64(&file[16]), file.size());
    for (size_t at = 30; at + 24 <= end;) {
        if (std::memcmp(&file[at], &guid, sizeof guid) == 0)
            return at;
        const std::uint64_t size = ReadLE64(&file[at + 16]);
        if (size < 24)
            break;
        at += static_cast<size_t>(size);
    }
    return 0;
}

// A fixture copied to the temporary directory and edited there, for the life of the test.
struct EditedFixture {
    EditedFixture(const std::string& fixture, const std::function<void(std::vector<BYTE>&)>& edit)
        : path(std::filesystem::temp_directory_path() / ("vmx-asf-edited-" + std::filesystem::path(fixture).filename().string()))
    {
        std::vector<BYTE> bytes = FixtureBytes(fixture);
        edit(bytes);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~EditedFixture() { std::filesystem::remove(path); }

    std::filesystem::path path;
};

// Both filters play the file whole: pin p delivers every object of the table's stream p, byte for
// byte, at ffprobe's time (the reader's) or kShift after it (the native filter's).
void ExpectBothFiltersPlayEveryObject(const std::filesystem::path& path, const std::string& table)
{
    const auto frames = LoadFrames(table);
    for (const char* filter : {"asfex", "asf"}) {
        SCOPED_TRACE(filter);
        const REFERENCE_TIME shift = std::string(filter) == "asfex" ? kShift : 0;
        const OpenedSource source = OpenSourceFile(path.string(), filter);
        ASSERT_TRUE(source) << source.error;
        PlayOptions options;
        options.timeoutMs = 20000;
        const PlayResult played = PlaySource(source.filter.Get(), options);
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_EQ(played.report.pins.size(), frames.size());
        for (size_t p = 0; p < frames.size(); ++p) {
            const auto samples = SamplesOf(played.report.pins[p]);
            const auto& expected = frames.at(static_cast<int>(p));
            ASSERT_EQ(samples.size(), expected.size()) << "pin " << p;
            for (size_t k = 0; k < samples.size(); ++k) {
                EXPECT_EQ(samples[k].adler32, expected[k].adler32) << "pin " << p << " sample " << k;
                EXPECT_EQ(samples[k].start, expected[k].start + shift) << "pin " << p << " sample " << k;
            }
        }
    }
}

}  // namespace

TEST(AsfPlayback, EveryPinDeliversItsStreamsObjects)
{
    std::vector<AsfPinCase> cases = kAsfFilesOfOneLanguage;
    // One audio pin per language, named after it; of two of one language the larger bitrate.
    cases.push_back({"two-languages.wmv", {{"Video Pin", 0}, {"Audio Pin.en", 1}, {"Audio Pin.fr", 2}}});
    cases.push_back({"two-audio-same-language.wmv", {{"Video Pin", 0}, {"Audio Pin.en", 2}}});
    for (const AsfPinCase& c : cases)
        ExpectAsfPinsDeliverTheirStreams(c, "asfex", kShift, [](const SinkEvent& sample, const RefFrame& packet, size_t k) {
            // The first sample of a start is a sync point whatever the object says.
            EXPECT_EQ(sample.syncPoint, packet.key || k == 0);
        });
}

TEST(AsfSeeking, SimpleIndexBuiltIndexAndPreroll)
{
    // keys-10s: key frames each second (ffprobe pts 0.046, 1.046, ...), a Simple Index.
    const auto frames = LoadFrames("asf/keys-10s");
    const auto keyAt = [&](REFERENCE_TIME start) {
        return std::any_of(frames.at(0).begin(), frames.at(0).end(),
                           [&](const RefFrame& f) { return f.key && f.start + kShift == start; });
    };
    for (const char* file : {"asf/keys-10s.wmv", "asf/no-index.wmv"}) {
        SCOPED_TRACE(file);
        PlaySession session(file, "asfex");
        ASSERT_TRUE(session.connected);
        ComPtr<IVmxASFEX> asf;
        ASSERT_EQ(session.source.filter.QueryInterface(IID_IVmxASFEX, &asf), S_OK);
        LONGLONG indexed = 0;
        const bool simpleIndex = std::string(file).find("no-index") == std::string::npos;
        if (!simpleIndex) {
            // The background builder grows its index to the last key frame it meets (it skips
            // ten packets after each), quickly for this small file.
            for (int i = 0; i < 300 && (asf->GetIndexedDuration(&indexed) != S_OK || indexed < 8 * kSecond); ++i)
                Sleep(10);
            EXPECT_GE(indexed, 8 * kSecond);
        } else {
            // The Simple Index covers the whole file.
            ASSERT_EQ(asf->GetIndexedDuration(&indexed), S_OK);
            LONGLONG duration = 0;
            session.driver.Seeking(0)->GetDuration(&duration);
            EXPECT_EQ(indexed, duration);
        }
        ASSERT_EQ(session.driver.Pause(), S_OK);
        for (REFERENCE_TIME target : {45 * kSecond / 10, 2 * kSecond, 8 * kSecond, REFERENCE_TIME{0}}) {
            SCOPED_TRACE(target);
            std::vector<SinkEvent> video;
            ASSERT_TRUE(session.SeekAndPlaySegment(2, target, video));
            if (target == 0) {
                // 0 restarts at the first data packet.
                EXPECT_EQ(video.front().start, frames.at(0).front().start + kShift);
                continue;
            }
            // Delivery restarts at the packet where an indexed key frame begins (a smaller frame
            // finished in that packet may come first), before the target: within its second by
            // the Simple Index; the built index skips ten packets after each entry, so it may
            // land a key frame or two earlier.
            const auto key = std::find_if(video.begin(), video.begin() + std::min<std::ptrdiff_t>(3, static_cast<std::ptrdiff_t>(video.size())),
                                          [&](const SinkEvent& s) { return keyAt(s.start + target); });
            ASSERT_NE(key, video.end());
            EXPECT_LE(key->start, 0);
            EXPECT_GT(key->start, simpleIndex ? -kSecond - kShift : -3 * kSecond);
            EXPECT_EQ(video.front().preroll, video.front().start < 0);
        }
        // With the preroll option off, nothing is marked preroll.
        ASSERT_EQ(asf->SetPrerollOption(0), S_OK);
        ASSERT_EQ(session.Seek(0, 5 * kSecond), S_OK);
        ASSERT_EQ(session.Seek(1, 5 * kSecond), S_OK);
        ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
        for (const SinkEvent& sample : session.LastSegment(0))
            EXPECT_FALSE(sample.preroll);
        ExpectPromptStop(session);
    }
}

TEST(AsfFiles, DamagedFilesResynchroniseOrEnd)
{
    ExpectDamagedAsfFilesPlay("asfex");
    ExpectStopWhileASinkHolds("asf/keys-10s.wmv", "asfex");
}

TEST(AsfFiles, HeaderLargerThan16MiBPlays)
{
    // A WMA whose header carries large artwork: 17 MiB of padding before the File Properties.
    const EditedFixture file("asf/audio-only.wma", [](std::vector<BYTE>& bytes) {
        const size_t padding = 17u << 20;
        std::vector<BYTE> object(padding, 0);
        std::memcpy(object.data(), &kPaddingObject, sizeof kPaddingObject);
        PutLE(&object[16], padding, 8);
        bytes.insert(bytes.begin() + 30, object.begin(), object.end());
        PutLE(&bytes[16], ReadLE64(&bytes[16]) + padding, 8);
        PutLE(&bytes[24], ReadLE32(&bytes[24]) + 1, 4);
    });
    ExpectBothFiltersPlayEveryObject(file.path, "asf/audio-only");
}

TEST(AsfFiles, ZeroPlayDurationPlaysEveryObject)
{
    // A live capture does not know its length when its header is written.
    const EditedFixture file("asf/wmv2-wma2.wmv", [](std::vector<BYTE>& bytes) {
        const size_t properties = HeaderChild(bytes, ASF_File_Properties_Object);
        ASSERT_NE(properties, 0u);
        PutLE(&bytes[properties + 24 + 40], 0, 8);  // the play duration
    });
    ExpectBothFiltersPlayEveryObject(file.path, "asf/wmv2-wma2");
}

TEST(AsfFiles, FirstStartSendsOneSegmentAndNoFlush)
{
    // Both filters read from the seek target the pins announced as they started: no restart
    // comes between that segment and the first sample.
    for (const char* filter : {"asfex", "asf"}) {
        SCOPED_TRACE(filter);
        PlaySession session("asf/wmv2-wma2.wmv", filter);
        ASSERT_TRUE(session.connected);
        ASSERT_EQ(session.driver.Run(), S_OK);
        ASSERT_TRUE(session.driver.WaitForEndOfStream(10000));
        for (size_t pin = 0; pin < 2; ++pin) {
            SCOPED_TRACE(pin);
            const std::vector<SinkEvent> events = session.driver.Sink(pin)->Events();
            ASSERT_GE(events.size(), 2u);
            EXPECT_EQ(events[0].kind, SinkEvent::Kind::NewSegment);
            EXPECT_EQ(events[0].start, 0);
            EXPECT_EQ(events[1].kind, SinkEvent::Kind::Sample);
        }
        ExpectPromptStop(session);
    }
}

// The host's library behind the vmx tool: choosing and opening a source for a file, describing
// media types, the JSON writer, and the player's report on a scripted source.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <unistd.h>
#include <zlib.h>

#include "host/file_player.h"
#include "host/json_writer.h"
#include "host/media_type_text.h"
#include "host/source_factory.h"
#include "io/wide_text.h"
#include "tests/fixture_reference.h"
#include "tests/test_demuxer.h"
#include "tests/test_support.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

using namespace vmx::host;
using namespace vmx::test;

namespace {

constexpr size_t kMp3 = 9;

std::string FieldValue(const std::vector<FormatField>& fields, const std::string& name)
{
    for (const FormatField& field : fields)
        if (field.name == name)
            return field.value;
    return "<absent>";
}

// Each named field holds the value given ("<absent>": no such field).
void ExpectFields(const std::vector<FormatField>& fields, std::initializer_list<std::pair<const char*, const char*>> expected)
{
    for (const auto& [name, value] : expected)
        EXPECT_EQ(FieldValue(fields, name), value) << name;
}

// A media type whose format block is a heap copy of exactly cbFormat bytes, so that a read past
// it is caught by AddressSanitizer.
CMediaType TypeWithBlock(const GUID& formatType, const void* block, size_t length)
{
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetFormatType(&formatType);
    mt.SetFormat(static_cast<const BYTE*>(block), static_cast<ULONG>(length));
    return mt;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Twenty MPEG-1 Layer III frames of 417 bytes (128 kbit/s, 44.1 kHz), silent payload.
std::string Mp3Frames()
{
    std::string frame("\xFF\xFB\x90\x64", 4);
    frame.resize(417, '\0');
    std::string file;
    for (int i = 0; i < 20; ++i)
        file += frame;
    return file;
}

}  // namespace

// ---- Filter choice ----

TEST(FilterChoice, ShortNamesDisplayNamesAndClassIdentifiersNameTheirEntry)
{
    ASSERT_EQ(static_cast<size_t>(g_cTemplates), kFilterNamings.size());
    for (size_t i = 0; i < kFilterNamings.size(); ++i) {
        SCOPED_TRACE(kFilterNamings[i].shortName);
        EXPECT_EQ(ResolveFilterChoice(kFilterNamings[i].shortName), i);
        EXPECT_EQ(ResolveFilterChoice(GuidText(*g_Templates[i].m_ClsID)), i);
    }
    EXPECT_EQ(ResolveFilterChoice("Torvane MP3 Source Filter"), kMp3);
    EXPECT_EQ(ResolveFilterChoice("torvane ogg source filter2"), 8u);
    EXPECT_EQ(ResolveFilterChoice("Torvane OGG Source Filter"), 1u);
    EXPECT_EQ(ResolveFilterChoice("MPEG2"), 11u);
    EXPECT_EQ(ResolveFilterChoice("{c846f6aa-63ee-42cb-ab73-229be6a795aa}"), kMp3);
    for (const char* unknown : {"", "mp3 ", "C846F6AA-63EE-42CB-AB73-229BE6A795AA", "Torvane", "wav"})
        EXPECT_EQ(ResolveFilterChoice(unknown), std::nullopt) << unknown;
}

TEST(FilterChoice, ExtensionPicksTheFirstFilterToTry)
{
    const std::pair<const char*, const char*> cases[] = {
        {"a.avi", "avi"},     {"dir/b.OGV", "ogg2"},  {"c.oga", "ogg2"}, {"d.vob", "mpeg"},   {"e.pva", "mpeg"},
        {"f.m2ts", "mpeg2"},  {"g.tp", "mpeg2"},      {"h.webm", "mkv"}, {"i.mks", "mkv"},    {"j.3gp", "mp4"},
        {"k.MOV", "mp4"},     {"l.wma", "asfex"},     {"m.asf", "asfex"}, {"n.flv", "flv"},   {"o.mpa", "mp3"},
        {"p.mp2", "mp3"},     {"q.adts", "aac"},      {"r.aac", "aac"},
    };
    for (const auto& [path, shortName] : cases)
        EXPECT_EQ(FilterForExtension(path), ResolveFilterChoice(shortName)) << path;
    for (const char* silent : {"noext", "a.txt", "clip.avi/inside", "a.mp3.part"})
        EXPECT_EQ(FilterForExtension(silent), std::nullopt) << silent;
}

TEST(FilterChoice, CandidatesAreTheChoiceAloneOrTheExtensionFirstThenTableOrder)
{
    EXPECT_EQ(FilterCandidates("x.avi", kMp3), std::vector<size_t>{kMp3});
    EXPECT_EQ(FilterCandidates("x.mp3", std::nullopt), (std::vector<size_t>{9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11}));
    EXPECT_EQ(FilterCandidates("x.bin", std::nullopt), (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(OpenSourceFile, NamesTheCauseWhenNothingOpens)
{
    ScopedTempDir dir;
    WriteFile(dir.file("notes.txt"), "not a media file\n");
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.mp3"), dir.file("missing.mp3") + ": no such file"},
        {dir.path().string(), dir.path().string() + " is a directory"},
        {dir.file("notes.txt"), "no filter could load " + dir.file("notes.txt")},
    };
    for (const auto& [path, message] : cases) {
        OpenedSource source = OpenSourceFile(path);
        EXPECT_FALSE(source) << path;
        EXPECT_EQ(source.error, message);
    }
    EXPECT_EQ(OpenSourceFile(dir.file("notes.txt"), "wav").error, "unknown filter name 'wav'");
    EXPECT_EQ(OpenSourceFile(dir.file("notes.txt"), "avi").error,
              "Torvane AVI Source Filter (avi) could not load " + dir.file("notes.txt")
                  + ": Load returned 0x80004005 (E_FAIL, unspecified failure)");
}

TEST(OpenSourceFile, UnreadableFileIsReportedAsSuch)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop the superuser";
    ScopedTempDir dir;
    WriteFile(dir.file("locked.mp3"), Mp3Frames());
    std::filesystem::permissions(dir.file("locked.mp3"), std::filesystem::perms::none);
    EXPECT_EQ(OpenSourceFile(dir.file("locked.mp3")).error, dir.file("locked.mp3") + ": permission denied");
}

TEST(OpenSourceFile, TheExtensionsFilterAloneAnswersAndAnyTriesEveryFilter)
{
    ScopedTempDir dir;
    for (const char* name : {"frames.mp3", "frames.bin", "frames.avi"}) {
        SCOPED_TRACE(name);
        WriteFile(dir.file(name), Mp3Frames());
        OpenedSource source = OpenSourceFile(dir.file(name), std::string(name) == "frames.avi" ? "any" : "");
        ASSERT_TRUE(source) << source.error;
        EXPECT_EQ(source.tmpl, &g_Templates[kMp3]);
    }
    // The AVI filter refuses MP3 frames: that is the answer, not a play by the MP3 filter.
    OpenedSource refused = OpenSourceFile(dir.file("frames.avi"));
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error, "Torvane AVI Source Filter (avi) could not load " + dir.file("frames.avi")
                                 + ": Load returned 0x80004005 (E_FAIL, unspecified failure); it is the filter for "
                                   ".avi files (--filter any tries every filter)");
    // An explicit choice is not second-guessed.
    EXPECT_FALSE(OpenSourceFile(dir.file("frames.mp3"), "aac"));
}

// ---- Media type text ----

TEST(MediaTypeText, NamesMajorTypesSubtypesAndFormats)
{
    EXPECT_EQ(GuidText(CLSID_VmxMp3Source), "{C846F6AA-63EE-42CB-AB73-229BE6A795AA}");
    EXPECT_EQ(MajorTypeName(MEDIATYPE_Subtitle), "Subtitle");
    EXPECT_EQ(MajorTypeName(MEDIATYPE_Stream), "Stream");
    EXPECT_EQ(MajorTypeName(CLSID_VmxAviSource), "{6BA9DD10-09B9-4C8B-89A8-8AC445601214}");
    EXPECT_EQ(SubtypeName(FourccGuid(WAVE_FORMAT_MPEGLAYER3)), "MP3 (0x0055)");
    EXPECT_EQ(SubtypeName(FourccGuid(WAVE_FORMAT_PCM)), "PCM (0x0001)");
    EXPECT_EQ(SubtypeName(FourccGuid(0x4321)), "wave format 0x4321");
    EXPECT_EQ(SubtypeName(FourccGuid(MakeFourcc('H', '2', '6', '4'))), "H264");
    EXPECT_EQ(SubtypeName(FourccGuid(MakeFourcc('a', 'v', 'c', '\x01'))), "0x01637661");
    EXPECT_EQ(FormatTypeName(FORMAT_VideoInfo2), "VideoInfo2");
    EXPECT_EQ(FormatTypeName(GUID_NULL), "none");
}

TEST(MediaTypeText, WaveFormatFieldsAndLyingLengths)
{
    std::vector<FormatField> fields = FormatBlockFields(AudioType());
    ExpectFields(fields, {{"format tag", "PCM (0x0001)"}, {"channels", "2"}, {"sample rate", "48000"},
                         {"avg bytes/s", "192000"}, {"block align", "4"}, {"bits per sample", "16"}, {"extra bytes", "0"},
                         {"warning", "<absent>"}});

    WAVEFORMATEX format{WAVE_FORMAT_MPEGLAYER3, 2, 44100, 16000, 1, 0, 30};
    fields = FormatBlockFields(TypeWithBlock(FORMAT_WaveFormatEx, &format, sizeof format));
    ExpectFields(fields, {{"cbSize", "30"}, {"warning", "cbSize claims 30 bytes, 0 follow"}});

    MPEG1WAVEFORMAT mpeg{};
    mpeg.wfx = WAVEFORMATEX{WAVE_FORMAT_MPEG, 2, 48000, 24000, 1, 0, sizeof mpeg - sizeof(WAVEFORMATEX)};
    mpeg.fwHeadLayer = 2;
    mpeg.dwHeadBitrate = 192000;
    fields = FormatBlockFields(TypeWithBlock(FORMAT_WaveFormatEx, &mpeg, sizeof mpeg));
    ExpectFields(fields, {{"format tag", "MPEG (0x0050)"}, {"extra bytes", "22"}, {"head layer", "0x0002"},
                         {"head bitrate", "192000"}});

    // Ten bytes: the tag, channels and rate fit; nothing after them is read.
    fields = FormatBlockFields(TypeWithBlock(FORMAT_WaveFormatEx, &format, 10));
    ExpectFields(fields, {{"sample rate", "44100"}, {"avg bytes/s", "<absent>"},
                         {"warning", "the format block holds 10 bytes, WaveFormatEx needs 18"}});

    CMediaType missing = AudioType();
    BYTE* block = std::exchange(missing.pbFormat, nullptr);  // a block length without a block
    fields = FormatBlockFields(missing);
    missing.pbFormat = block;
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].name, "warning");
}

TEST(MediaTypeText, VideoHeaderFieldsAndTruncation)
{
    std::vector<FormatField> fields = FormatBlockFields(VideoType(640, 480));
    ExpectFields(fields, {{"width", "640"}, {"height", "480"}, {"frame duration", "400000"}, {"fps", "25.000"},
                         {"compression", "H264"}, {"codec private bytes", "0"}, {"warning", "<absent>"}});

    struct {
        VIDEOINFOHEADER header;
        BYTE extra[5];
    } withExtra{};
    withExtra.header.bmiHeader.biWidth = -1;
    fields = FormatBlockFields(TypeWithBlock(FORMAT_VideoInfo, &withExtra, sizeof withExtra.header + 5));
    ExpectFields(fields, {{"width", "-1"}, {"compression", "BI_RGB (0)"}, {"codec private bytes", "5"}});

    // Cut inside the bitmap header: width and height fit, the compression does not.
    VIDEOINFOHEADER header{};
    header.bmiHeader.biWidth = 320;
    header.bmiHeader.biHeight = 240;
    fields = FormatBlockFields(TypeWithBlock(FORMAT_VideoInfo, &header, 62));
    ExpectFields(fields, {{"height", "240"}, {"compression", "<absent>"},
                         {"warning", "the format block holds 62 bytes, VideoInfo needs 88"}});
}

TEST(MediaTypeText, SecondVideoHeaderAspectAndSequenceHeaderClaim)
{
    MPEG2VIDEOINFO format{};
    format.hdr.AvgTimePerFrame = 333667;
    format.hdr.dwPictAspectRatioX = 16;
    format.hdr.dwPictAspectRatioY = 9;
    format.hdr.bmiHeader.biCompression = MakeFourcc('a', 'v', 'c', '1');
    format.dwProfile = 100;
    format.cbSequenceHeader = 4;  // exactly the one DWORD present
    std::vector<FormatField> fields = FormatBlockFields(TypeWithBlock(FORMAT_MPEG2Video, &format, sizeof format));
    ExpectFields(fields, {{"aspect ratio", "16:9"}, {"fps", "29.970"}, {"compression", "avc1"}, {"profile", "100"},
                         {"sequence header bytes", "4"}, {"warning", "<absent>"}});

    format.cbSequenceHeader = 1000;
    fields = FormatBlockFields(TypeWithBlock(FORMAT_MPEG2Video, &format, sizeof format));
    EXPECT_EQ(FieldValue(fields, "warning"), "cbSequenceHeader claims 1000 bytes, 4 follow");
}

// ---- JSON ----

TEST(JsonWriter, EscapesEveryStringIntoValidJson)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"quote \" backslash \\", R"("quote \" backslash \\")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {std::string("nul\0\x1f", 5), R"("nul\u0000\u001f")"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
        {"bad \xFF end", R"("bad \ufffd end")"},
        {"cut \xE2\x82", R"("cut \ufffd\ufffd")"},
        {"overlong \xC0\xAF", R"("overlong \ufffd\ufffd")"},
        {"surrogate \xED\xA0\x80", R"("surrogate \ufffd\ufffd\ufffd")"},
    };
    for (const auto& [text, quoted] : cases)
        EXPECT_EQ(JsonQuoted(text), quoted);
}

TEST(JsonWriter, PlacesCommasAndKeepsCompactContainersOnOneLine)
{
    JsonWriter json;
    json.BeginObject();
    json.Key("name").String("a\"b");
    json.Key("list").BeginArray();
    json.BeginObject(JsonWriter::Layout::Compact).Key("n").Int(-3).Key("x").Double(0.1).Key("nan").Double(std::numeric_limits<double>::quiet_NaN());
    json.Key("empty").BeginArray().EndArray().EndObject();
    json.EndArray();
    json.Key("none").Null();
    json.EndObject();
    EXPECT_TRUE(json.Complete());
    EXPECT_EQ(json.Text(), "{\n"
                           "  \"name\": \"a\\\"b\",\n"
                           "  \"list\": [\n"
                           "    {\"n\": -3, \"x\": 0.1, \"nan\": null, \"empty\": []}\n"
                           "  ],\n"
                           "  \"none\": null\n"
                           "}\n");
}

// ---- The player ----

namespace {

constexpr REFERENCE_TIME kStep = 100000;  // 10 ms a packet

// Two streams, "Video" and "Audio", alternating packets of growing size.
Script TwoStreams(int packetsPerStream)
{
    Script script;
    script.streams.push_back({1, u"Video", VideoType(320, 240)});
    script.streams.push_back({2, u"Audio", AudioType()});
    for (int i = 0; i < 2 * packetsPerStream; ++i) {
        const REFERENCE_TIME start = (i / 2) * kStep;
        script.packets.push_back({static_cast<DWORD>(i % 2 + 1), start, start + kStep, 20 + static_cast<size_t>(i), i % 4 == 0});
    }
    script.duration = packetsPerStream * kStep;
    return script;
}

std::vector<BYTE> ExpectedBytes(size_t packetIndex, size_t size)
{
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = PayloadByte(packetIndex, i);
    return bytes;
}

struct LoadedScript {
    explicit LoadedScript(Script s) : script(s), filter(new CTestDemuxFilter(std::move(s)))
    {
        filter->AddRef();
        EXPECT_EQ(filter->Load(WSTR("script"), nullptr), S_OK);
    }
    ~LoadedScript() { filter->Release(); }

    Script script;
    CTestDemuxFilter* filter;
};

// The pin's samples are the script's packets of its stream from the first at or after base on,
// with times rebased, bytes and Adler-32 intact.
void ExpectStream(const Script& script, const PinReport& pin, REFERENCE_TIME base, size_t limit = SIZE_MAX)
{
    const std::vector<SinkEvent> samples = SamplesOf(pin);
    size_t next = 0;
    for (size_t i = 0; i < script.packets.size() && next < limit; ++i) {
        const ScriptPacket& packet = script.packets[i];
        if (packet.streamNumber != pin.index + 1 || packet.start < base)
            continue;
        ASSERT_LT(next, samples.size()) << "missing packet " << i;
        const SinkEvent& sample = samples[next];
        EXPECT_EQ(sample.start, packet.start - base) << "packet " << i;
        EXPECT_EQ(sample.stop, packet.stop - base);
        EXPECT_EQ(sample.discontinuity, next == 0);
        const std::vector<BYTE> bytes = ExpectedBytes(i, packet.size);
        EXPECT_EQ(sample.bytes, bytes) << "packet " << i;
        EXPECT_EQ(sample.adler32, adler32(adler32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
        ++next;
    }
    EXPECT_EQ(next, samples.size()) << "extra samples";
}

}  // namespace

TEST(FilePlayer, ReportsPinsTypesSegmentsAndEverySample)
{
    LoadedScript source(TwoStreams(40));
    const PlayResult described = DescribeSource(source.filter);
    ASSERT_TRUE(described.Succeeded());
    ASSERT_EQ(described.report.pins.size(), 2u);
    EXPECT_TRUE(described.report.pins[0].events.empty());

    PlayOptions options;
    options.keepSampleBytes = true;
    const PlayResult played = PlaySource(source.filter, options);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    const PlayReport& report = played.report;
    EXPECT_EQ(report.duration, 40 * kStep);
    EXPECT_TRUE(report.graphEvents.empty());
    ASSERT_EQ(report.pins.size(), 2u);
    for (size_t p = 0; p < 2; ++p) {
        SCOPED_TRACE(p);
        const PinReport& pin = report.pins[p];
        EXPECT_EQ(pin.name, p == 0 ? "Video" : "Audio");
        EXPECT_EQ(pin.name, described.report.pins[p].name);
        ASSERT_EQ(pin.mediaTypes.size(), 1u);
        EXPECT_TRUE(pin.mediaTypes[0] == source.script.streams[p].type);
        EXPECT_EQ(pin.connection, S_OK);
        ASSERT_FALSE(pin.events.empty());
        const SinkEvent& segment = pin.events.front();
        ASSERT_EQ(segment.kind, SinkEvent::Kind::NewSegment);
        EXPECT_EQ(segment.start, 0);
        EXPECT_EQ(segment.stop, 40 * kStep);
        EXPECT_EQ(pin.events.back().kind, SinkEvent::Kind::EndOfStream);
        EXPECT_TRUE(pin.endOfStream);
        // The start-up flush and the segment before it are not part of the reported play.
        EXPECT_EQ(pin.events.size(), SamplesOf(pin).size() + 2);
        ExpectStream(source.script, pin, 0);
    }
}

TEST(FilePlayer, SeekWhilePausedReportsOnlyWhatFollowsTheTarget)
{
    LoadedScript source(TwoStreams(100));
    PlayOptions options;
    options.keepSampleBytes = true;
    options.seekTo = 55 * kStep;
    const PlayResult played = PlaySource(source.filter, options);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    for (const PinReport& pin : played.report.pins) {
        SCOPED_TRACE(pin.index);
        ASSERT_FALSE(pin.events.empty());
        EXPECT_EQ(pin.events.front().kind, SinkEvent::Kind::NewSegment);
        EXPECT_EQ(pin.events.front().start, 55 * kStep);
        ExpectStream(source.script, pin, 55 * kStep);
        EXPECT_TRUE(pin.endOfStream);
    }
}

// A play that keeps no record counts what it would have recorded, and still ends each pin.
TEST(FilePlayer, APlayWithoutARecordCountsTheSamplesAndBytesARecordHolds)
{
    LoadedScript source(TwoStreams(60));
    const PlayResult recorded = PlaySource(source.filter, PlayOptions{});
    ASSERT_TRUE(recorded.Succeeded()) << recorded.error;
    PlayOptions counting;
    counting.recordSamples = false;
    LoadedScript again(TwoStreams(60));
    const PlayResult counted = PlaySource(again.filter, counting);
    ASSERT_TRUE(counted.Succeeded()) << counted.error;
    ASSERT_EQ(counted.report.pins.size(), recorded.report.pins.size());
    for (size_t p = 0; p < recorded.report.pins.size(); ++p) {
        SCOPED_TRACE(p);
        const PinReport& pin = counted.report.pins[p];
        const auto samples = SamplesOf(recorded.report.pins[p]);
        std::uint64_t bytes = 0;
        for (const SinkEvent& sample : samples)
            bytes += static_cast<std::uint64_t>(sample.length);
        EXPECT_EQ(pin.samples, samples.size());
        EXPECT_EQ(pin.sampleBytes, bytes);
        EXPECT_TRUE(SamplesOf(pin).empty());
        EXPECT_TRUE(pin.endOfStream);
    }
}

TEST(FilePlayer, SampleBoundEndsThePlayEarly)
{
    LoadedScript source(TwoStreams(400));
    PlayOptions options;
    options.keepSampleBytes = true;
    options.maxSamplesPerPin = 5;
    const PlayResult played = PlaySource(source.filter, options);
    ASSERT_TRUE(played.Succeeded()) << played.error;
    for (const PinReport& pin : played.report.pins) {
        SCOPED_TRACE(pin.index);
        EXPECT_EQ(SamplesOf(pin).size(), 5u);
        ExpectStream(source.script, pin, 0, 5);
    }
}

TEST(FilePlayer, MissingEndOfStreamFailsAfterTheTimeoutWithWhatCame)
{
    Script script = TwoStreams(100);
    LoadedScript source(std::move(script));
    source.filter->beforePacket = [](size_t) { Sleep(20); };
    PlayOptions options;
    options.timeoutMs = 200;
    const PlayResult played = PlaySource(source.filter, options);
    EXPECT_EQ(played.error, "pin 0 (Video): no end of stream within 0.2 s");
    ASSERT_EQ(played.report.pins.size(), 2u);
    EXPECT_FALSE(played.report.pins[0].endOfStream);
    EXPECT_LT(SamplesOf(played.report.pins[0]).size(), 100u);
}

TEST(FilePlayer, PlaysAnOpenedFileThroughTheModule)
{
    ScopedTempDir dir;
    WriteFile(dir.file("frames.mp3"), Mp3Frames());
    OpenedSource source = OpenSourceFile(dir.file("frames.mp3"));
    ASSERT_TRUE(source) << source.error;
    const PlayResult played = PlaySource(source.filter.Get());
    ASSERT_TRUE(played.Succeeded()) << played.error;
    ASSERT_EQ(played.report.pins.size(), 1u);
    const std::vector<SinkEvent> samples = SamplesOf(played.report.pins[0]);
    ASSERT_EQ(samples.size(), 20u);
    const std::string frame = Mp3Frames().substr(0, 417);
    EXPECT_EQ(samples[7].length, 417);
    EXPECT_EQ(samples[7].adler32, adler32(1, reinterpret_cast<const Bytef*>(frame.data()), 417));
    EXPECT_EQ(samples[7].start, 7 * 261224);
}

// ---- Loading ----

namespace {

ComPtr<IBaseFilter> CreateUnloaded(std::string_view filterChoice)
{
    ComPtr<IBaseFilter> filter;
    const std::optional<size_t> index = ResolveFilterChoice(filterChoice);
    ComPtr<IClassFactory> factory;
    if (index && SUCCEEDED(DllGetClassObject(*g_Templates[*index].m_ClsID, IID_IClassFactory, factory.ReceiveVoid())))
        factory->CreateInstance(nullptr, IID_IBaseFilter, filter.ReceiveVoid());
    return filter;
}

size_t PinCount(IBaseFilter* filter)
{
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.Receive())))
        return 0;
    size_t count = 0;
    for (IPin* pin = nullptr; pins->Next(1, &pin, nullptr) == S_OK; ++count)
        pin->Release();
    return count;
}

}  // namespace

// A failed Load leaves no pins and nothing that the next Load could trip over: after two failed
// ones a good file loads and plays (with a seek) exactly as in a new filter.
TEST(FilterLoad, FailedLoadsLeaveNothingAndTheNextLoadPlaysAsANewFilter)
{
    ScopedTempDir dir;
    // Cut before the first Cluster: the tracks make pins before Load finds nothing to play.
    std::ifstream in(kFixtureDir + "mkv/vp8-vorbis.webm", std::ios::binary);
    const std::string webm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    WriteFile(dir.file("no-cluster.mkv"), webm.substr(0, webm.find("\x1F\x43\xB6\x75")));

    struct Case {
        const char* filter;
        std::string failing[2];
        std::string good;  // under the fixture directory
    };
    const Case cases[] = {
        {"mkv", {dir.file("no-cluster.mkv"), kFixtureDir + "mkv/damaged/random.mkv"}, "mkv/vp8-vorbis.webm"},
        {"mp3", {kFixtureDir + "mp3/damaged/garbage.bin", dir.file("missing.mp3")}, "mp3/cbr-info.mp3"},
        {"aac", {kFixtureDir + "aac/damaged/garbage.bin", dir.file("missing.aac")}, "aac/lc-22k.aac"},
        {"mpeg", {kFixtureDir + "mpeg/damaged/single-pes.mpg", kFixtureDir + "mpeg/damaged/mpeg2-mp2-late-start.mpg"}, "mpeg/mpeg2-mp2.mpg"},
        {"flv", {kFixtureDir + "flv/pcm-s16le-audio-only.flv", kFixtureDir + "flv/damaged/zeroed-file-header.flv"}, "flv/sorenson-mp3.flv"},
    };
    PlayOptions options;
    options.seekTo = 10000000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        ComPtr<IBaseFilter> filter = CreateUnloaded(c.filter);
        ASSERT_TRUE(filter);
        ComPtr<IFileSourceFilter> source;
        ASSERT_EQ(filter.QueryInterface(IID_IFileSourceFilter, &source), S_OK);
        for (const std::string& failing : c.failing) {
            EXPECT_EQ(source->Load(WideFromUtf8(failing).c_str(), nullptr), E_FAIL) << failing;
            EXPECT_EQ(PinCount(filter.Get()), 0u) << failing;
            LPOLESTR name = nullptr;
            EXPECT_EQ(source->GetCurFile(&name, nullptr), S_OK);
            EXPECT_EQ(name, nullptr);
        }
        ASSERT_EQ(source->Load(WideFromUtf8(kFixtureDir + c.good).c_str(), nullptr), S_OK);
        const PlayResult played = PlaySource(filter.Get(), options);
        const PlayResult fresh = PlayFixture(c.good, c.filter, options);
        ASSERT_TRUE(played.Succeeded()) << played.error;
        ASSERT_TRUE(fresh.Succeeded()) << fresh.error;
        ASSERT_EQ(played.report.pins.size(), fresh.report.pins.size());
        ASSERT_GT(played.report.pins.size(), 0u);
        for (size_t p = 0; p < fresh.report.pins.size(); ++p) {
            const auto samples = SamplesOf(played.report.pins[p]);
            const auto expected = SamplesOf(fresh.report.pins[p]);
            ASSERT_EQ(samples.size(), expected.size()) << "pin " << p;
            EXPECT_GT(samples.size(), 0u);
            for (size_t k = 0; k < samples.size(); ++k) {
                EXPECT_EQ(samples[k].start, expected[k].start) << "pin " << p << " sample " << k;
                EXPECT_EQ(samples[k].adler32, expected[k].adler32) << "pin " << p << " sample " << k;
            }
        }
    }
}

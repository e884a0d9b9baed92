// Cues, Chapters and Attachments: the records on bytes built here, where the Segment parse finds
// them, the fixture files against mkvinfo and ffprobe, and the registration of attached fonts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "demux/mkv/mkv_reader.h"
#include "io/wide_text.h"
#include "platform/fonts.h"
#include "tests/ebml_bytes.h"
#include "tests/fixture_reference.h"

namespace {

using namespace vmx::test;

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }
Bytes U32(std::uint32_t value) { return {BYTE(value >> 24), BYTE(value >> 16), BYTE(value >> 8), BYTE(value)}; }

Bytes Segment(const Bytes& children) { return Concat({kEmptyEbmlHeader, El(ebml_id::kSegment, children)}); }

// One top-level element after the EBML header, parsed as the record.
template <typename Record>
Record ParseAlone(const Bytes& element)
{
    const MkvFile file(Concat({kEmptyEbmlHeader, element}));
    KMkvReader reader;
    EXPECT_EQ(file.Open(reader), S_OK);
    auto root = KEbmlElement::Root(reader);
    auto child = root->FirstChild();
    EXPECT_TRUE(child && child->NextSibling());
    reader.Seek(child->dataPos);
    Record record;
    record.Parse(*child);
    return record;
}

// A SeekHead with four-byte positions, so its size does not depend on them.
Bytes SeekHead(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> entries)
{
    Bytes seeks;
    for (const auto& [id, position] : entries)
        seeks = Concat({seeks, El(ebml_id::kSeek, Concat({El(ebml_id::kSeekId, EbmlId(id)), El(ebml_id::kSeekPosition, U32(position))}))});
    return El(ebml_id::kSeekHead, seeks);
}

const Bytes kInfo = El(ebml_id::kInfo, El(0x2AD7B1, {0x0F, 0x42, 0x40}));
const Bytes kTracks = El(ebml_id::kTracks, El(0xAE, El(0xD7, {1})));

Bytes CuesAt(BYTE time) { return El(ebml_id::kCues, El(0xBB, Concat({El(0xB3, {time}), El(0xB7, El(0xF7, {1}))}))); }
const Bytes kChapters = El(ebml_id::kChapters, El(0x45B9, El(0xB6, El(0x73C4, {9}))));
const Bytes kAttachments = El(ebml_id::kAttachments, El(0x61A7, El(0x466E, Text("a.txt"))));

TEST(MkvRecords, CuesKeepPointsTrackPositionsAndReferences)
{
    const Bytes reference = El(0xDB, Concat({El(0x96, {0x03, 0xE8}), El(0x97, {0x40}), El(0x535F, {2}), El(0xEB, {0x11})}));
    const Bytes first = El(0xBB, Concat({El(0xB3, {0}), El(0xB7, Concat({El(0xF7, {1}), El(0xF1, {0x10, 0x00})})),
                                         El(0xB7, Concat({El(0xF7, {2}), El(0xF1, {0x20}), El(0xEA, {0x05}), reference}))}));
    const Bytes second = El(0xBB, Concat({El(0xB3, {0x07, 0xD0}), El(0xB7, Concat({El(0xF7, {1}), El(0xF1, {0x30, 0x00})}))}));
    const KMkvCues cues = ParseAlone<KMkvCues>(El(ebml_id::kCues, Concat({first, El(0xEC, {0}), second})));

    ASSERT_EQ(cues.points.size(), 2u);
    EXPECT_EQ(cues.points[0].time.value, 0u);
    EXPECT_TRUE(cues.points[0].time.valid);
    ASSERT_EQ(cues.points[0].trackPositions.size(), 2u);
    EXPECT_EQ(cues.points[0].trackPositions[0].track.value, 1u);
    EXPECT_EQ(cues.points[0].trackPositions[0].clusterPosition.value, 0x1000u);
    EXPECT_TRUE(cues.points[0].trackPositions[0].references.empty());
    const KMkvCueTrackPositions& withReference = cues.points[0].trackPositions[1];
    EXPECT_EQ(withReference.track.value, 2u);
    EXPECT_EQ(withReference.codecState.value, 5u);
    ASSERT_EQ(withReference.references.size(), 1u);
    EXPECT_EQ(withReference.references[0].refTime.value, 1000u);
    EXPECT_EQ(withReference.references[0].refCluster.value, 0x40u);
    EXPECT_EQ(withReference.references[0].refNumber.value, 2u);
    EXPECT_EQ(withReference.references[0].refCodecState.value, 0x11u);
    EXPECT_EQ(cues.points[1].time.value, 2000u);
    ASSERT_EQ(cues.points[1].trackPositions.size(), 1u);
    EXPECT_EQ(cues.points[1].trackPositions[0].clusterPosition.value, 0x3000u);
}

TEST(MkvRecords, ChaptersNestWithTheirDefaults)
{
    const Bytes inner = El(0xB6, Concat({El(0x91, {0x3B, 0x9A, 0xCA, 0x00}), El(0x80, El(0x85, Text("Zweite H\xC3\xA4lfte"))),
                                         El(0x98, {1}), El(0x4598, {0})}));
    const Bytes outer = El(0xB6, Concat({El(0x73C4, {0x12, 0x34, 0x56, 0x78, 0x9A}), El(0x91, {0}), El(0x92, {0x77, 0x35, 0x94, 0x00}),
                                         El(0x80, Concat({El(0x85, Text("Whole")), El(0x437C, Text("ger")), El(0x437E, Text("de"))})),
                                         El(0x80, El(0x85, Text("Ganz"))), inner}));
    // The EditionUID before the atom belongs to the edition and is passed over.
    const Bytes editions = Concat({El(0x45B9, Concat({El(0x45BC, {1}), outer})), El(0x45B9, El(0xB6, {}))});
    const KMkvChapters chapters = ParseAlone<KMkvChapters>(El(ebml_id::kChapters, editions));

    ASSERT_EQ(chapters.editions.size(), 2u);
    ASSERT_EQ(chapters.editions[0].atoms.size(), 1u);
    const KMkvChapterAtom& atom = chapters.editions[0].atoms[0];
    EXPECT_EQ(atom.uid.value, 0x123456789Au);
    EXPECT_EQ(atom.timeStart.value, 0u);
    EXPECT_EQ(atom.timeEnd.value, 2000000000u);
    EXPECT_EQ(atom.flagHidden.value, 0u);
    EXPECT_EQ(atom.flagEnabled.value, 1u);
    ASSERT_EQ(atom.displays.size(), 2u);
    EXPECT_EQ(atom.displays[0].string, WSTR("Whole"));
    EXPECT_EQ(atom.displays[0].language, "ger");
    EXPECT_EQ(atom.displays[0].country, "de");
    EXPECT_EQ(atom.displays[1].string, WSTR("Ganz"));
    EXPECT_EQ(atom.displays[1].language, "eng");
    EXPECT_TRUE(atom.displays[1].country.empty());

    ASSERT_EQ(atom.atoms.size(), 1u);
    const KMkvChapterAtom& nested = atom.atoms[0];
    EXPECT_EQ(nested.timeStart.value, 1000000000u);
    EXPECT_FALSE(nested.timeEnd.valid);
    EXPECT_EQ(nested.flagHidden.value, 1u);
    EXPECT_EQ(nested.flagEnabled.value, 0u);
    EXPECT_TRUE(nested.uid.valid);
    EXPECT_LE(nested.uid.value, 0x7FFFu);
    ASSERT_EQ(nested.displays.size(), 1u);
    EXPECT_EQ(nested.displays[0].string, WSTR("Zweite H\u00E4lfte"));

    ASSERT_EQ(chapters.editions[1].atoms.size(), 1u);
    EXPECT_TRUE(chapters.editions[1].atoms[0].displays.empty());
}

TEST(MkvRecords, ChapterNestingStopsAtSixtyFourLevels)
{
    Bytes atom = El(0xB6, El(0x73C4, {1}));
    for (int level = 1; level < 100; ++level)
        atom = El(0xB6, atom);
    const KMkvChapters chapters = ParseAlone<KMkvChapters>(El(ebml_id::kChapters, El(0x45B9, atom)));
    ASSERT_EQ(chapters.editions.size(), 1u);
    int levels = 0;
    for (const std::vector<KMkvChapterAtom>* atoms = &chapters.editions[0].atoms; !atoms->empty(); atoms = &atoms->front().atoms)
        ++levels;
    EXPECT_EQ(levels, 64);
}

TEST(MkvRecords, AttachedFileKeepsWhereItsDataLies)
{
    const Bytes fileData = El(0x465C, Text("12345"));
    const Bytes attached = El(0x61A7, Concat({El(0x467E, Text("Caf\xC3\xA9")), El(0x466E, Text("f.ttf")),
                                              El(0x4660, Text("font/ttf")), fileData, El(0x46AE, {0x2A})}));
    const Bytes element = El(ebml_id::kAttachments, Concat({attached, El(0x61A7, El(0x466E, Text("g")))}));
    const KMkvAttachments attachments = ParseAlone<KMkvAttachments>(element);

    ASSERT_EQ(attachments.files.size(), 2u);
    const KMkvAttachedFile& file = attachments.files[0];
    EXPECT_EQ(file.description, WSTR("Caf\u00E9"));
    EXPECT_EQ(file.name, WSTR("f.ttf"));
    EXPECT_EQ(file.mimeType, "font/ttf");
    EXPECT_EQ(file.uid.value, 42u);
    EXPECT_EQ(file.dataSize.value, 5u);
    const Bytes image = Concat({kEmptyEbmlHeader, element});
    const Bytes payload = Text("12345");
    const auto at = std::search(image.begin(), image.end(), payload.begin(), payload.end());
    EXPECT_EQ(file.dataPos, at - image.begin());
    EXPECT_FALSE(attachments.files[1].dataSize.valid);
    EXPECT_EQ(attachments.files[1].dataPos, 0);
}

struct Layout {
    const char* name;
    bool withSeekHead;
    bool withTracks;
    size_t chapters, attachments;
};

TEST(MkvSegment, IndexLookupsNeedThreeHeadRecords)
{
    // The Cues element behind the head records is met by the walk only while it still runs
    // (fewer than three head records); Chapters and Attachments are found only through the
    // SeekHead index, which is not consulted unless the walk saw all three.
    const Layout layouts[] = {{"Info and Tracks, no SeekHead", false, true, 0, 0},
                              {"SeekHead and Info, no Tracks", true, false, 0, 0},
                              {"SeekHead, Info and Tracks", true, true, 1, 1}};
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const Bytes body = Concat({kInfo, layout.withTracks ? kTracks : Bytes(), CuesAt(7), kChapters, kAttachments});
        const size_t headSize = SeekHead({{ebml_id::kCues, 0}, {ebml_id::kChapters, 0}, {ebml_id::kAttachments, 0}}).size();
        const auto at = [&](size_t offset) { return static_cast<std::uint32_t>(headSize + offset); };
        const size_t cuesAt = kInfo.size() + (layout.withTracks ? kTracks.size() : 0);
        const size_t chaptersAt = cuesAt + CuesAt(7).size();
        const Bytes head = SeekHead({{ebml_id::kCues, at(cuesAt)}, {ebml_id::kChapters, at(chaptersAt)},
                                     {ebml_id::kAttachments, at(chaptersAt + kChapters.size())}});
        const MkvFile file(Segment(layout.withSeekHead ? Concat({head, body}) : body));
        KMkvReader reader;
        ASSERT_EQ(file.Open(reader), S_OK);
        const KMkvSegment& segment = reader.Segment();
        ASSERT_EQ(segment.cues.size(), 1u);
        EXPECT_EQ(segment.cues[0].points.at(0).time.value, 7u);
        ASSERT_EQ(segment.chapters.size(), layout.chapters);
        ASSERT_EQ(segment.attachments.size(), layout.attachments);
        if (layout.chapters) {
            EXPECT_EQ(segment.chapters[0].editions.at(0).atoms.at(0).uid.value, 9u);
            EXPECT_EQ(segment.attachments[0].files.at(0).name, WSTR("a.txt"));
        }
    }
}

TEST(MkvSegment, CuesFoundThroughTheIndexRunOnWhileTheNextTopLevelElementIsCues)
{
    // Cues, Void, Cues, Tags, Cues: the first two are read, the one behind Tags is not.
    const Bytes body = Concat({kInfo, kTracks, CuesAt(1), El(0xEC, {0, 0}), CuesAt(2), El(ebml_id::kTags, {}), CuesAt(3)});
    const size_t headSize = SeekHead({{ebml_id::kCues, 0}}).size();
    const Bytes head = SeekHead({{ebml_id::kCues, static_cast<std::uint32_t>(headSize + kInfo.size() + kTracks.size())}});
    const MkvFile file(Segment(Concat({head, body})));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    const KMkvSegment& segment = reader.Segment();
    ASSERT_EQ(segment.cues.size(), 2u);
    EXPECT_EQ(segment.cues[0].points.at(0).time.value, 1u);
    EXPECT_EQ(segment.cues[1].points.at(0).time.value, 2u);
}

KMkvReader& OpenFixture(KMkvReader& reader, const std::string& name)
{
    const WString path = WideFromUtf8(kFixtureDir + "mkv/" + name);
    EXPECT_EQ(reader.Open(path.c_str()), S_OK);
    return reader;
}

TEST(MkvRecords, FixtureChaptersNestAsMkvinfoShowsThem)
{
    KMkvReader reader;
    const KMkvSegment& segment = OpenFixture(reader, "chapters-attachments.mkv").Segment();
    ASSERT_EQ(segment.chapters.size(), 1u);
    ASSERT_EQ(segment.chapters[0].editions.size(), 1u);
    ASSERT_EQ(segment.chapters[0].editions[0].atoms.size(), 1u);
    const KMkvChapterAtom& whole = segment.chapters[0].editions[0].atoms[0];
    EXPECT_EQ(whole.uid.value, 10u);
    EXPECT_EQ(whole.timeStart.value, 0u);
    EXPECT_EQ(whole.timeEnd.value, 2000000000u);
    struct Title {
        const KMkvChapterAtom* atom;
        const WCHAR* eng;
        const WCHAR* ger;
    };
    ASSERT_EQ(whole.atoms.size(), 2u);
    const Title titles[] = {{&whole, WSTR("Whole tone"), WSTR("Ganzer Ton")},
                            {&whole.atoms[0], WSTR("First half"), WSTR("Erste H\u00E4lfte")},
                            {&whole.atoms[1], WSTR("Second half"), WSTR("Zweite H\u00E4lfte")}};
    for (const Title& title : titles) {
        ASSERT_EQ(title.atom->displays.size(), 2u);
        EXPECT_EQ(title.atom->displays[0].string, title.eng);
        EXPECT_EQ(title.atom->displays[0].language, "eng");
        EXPECT_EQ(title.atom->displays[1].string, title.ger);
        EXPECT_EQ(title.atom->displays[1].language, "ger");
    }
    EXPECT_EQ(whole.atoms[0].uid.value, 11u);
    EXPECT_EQ(whole.atoms[0].timeStart.value, 0u);
    EXPECT_EQ(whole.atoms[1].uid.value, 12u);
    EXPECT_EQ(whole.atoms[1].timeStart.value, 1000000000u);
    EXPECT_FALSE(whole.atoms[1].timeEnd.valid);
    EXPECT_TRUE(whole.atoms[1].atoms.empty());
}

TEST(MkvRecords, FixtureAttachmentsMatchFfprobe)
{
    KMkvReader reader;
    const KMkvSegment& segment = OpenFixture(reader, "chapters-attachments.mkv").Segment();
    std::ifstream in(kFixtureDir + "mkv/chapters-attachments.ffprobe.json");
    const nlohmann::json doc = nlohmann::json::parse(in);
    std::vector<const nlohmann::json*> expected;
    for (const nlohmann::json& stream : doc["streams"])
        if (stream["codec_type"] == "attachment")
            expected.push_back(&stream);
    ASSERT_EQ(expected.size(), 4u);
    ASSERT_EQ(segment.attachments.size(), 1u);
    const std::vector<KMkvAttachedFile>& files = segment.attachments[0].files;
    ASSERT_EQ(files.size(), expected.size());
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Utf8FromWide(files[i].name.c_str()), (*expected[i])["filename"].get<std::string>());
        EXPECT_EQ(files[i].mimeType, (*expected[i])["mimetype"].get<std::string>());
        EXPECT_EQ(files[i].dataSize.value, (*expected[i])["extradata_size"].get<std::uint64_t>());
        EXPECT_EQ(files[i].uid.value, i + 1);
    }
}

TEST(MkvRecords, FixtureCuesPointAtEveryKeyFrameCluster)
{
    // mkvinfo -a lists 30 CuePoints at 0, 1, ..., 29 s, each for track 1, the first at Cluster
    // position 5415 and the last at 20774.
    KMkvReader reader;
    const KMkvSegment& segment = OpenFixture(reader, "cues-10s.mkv").Segment();
    ASSERT_EQ(segment.cues.size(), 1u);
    const std::vector<KMkvCuePoint>& points = segment.cues[0].points;
    ASSERT_EQ(points.size(), 30u);
    EXPECT_EQ(points.front().trackPositions.at(0).clusterPosition.value, 5415u);
    EXPECT_EQ(points.back().trackPositions.at(0).clusterPosition.value, 20774u);
    for (size_t i = 0; i < points.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(points[i].time.value, i * 1000);
        ASSERT_EQ(points[i].trackPositions.size(), 1u);
        EXPECT_EQ(points[i].trackPositions[0].track.value, 1u);
        reader.Seek(segment.dataPos + static_cast<LONGLONG>(points[i].trackPositions[0].clusterPosition.value));
        std::uint32_t id = 0;
        ASSERT_EQ(reader.Read4(id), S_OK);
        EXPECT_EQ(id, ebml_id::kCluster);
    }
}

TEST(MkvFonts, OnlyTrueTypeFontAttachmentsAreRegistered)
{
    KMkvReader reader;
    const KMkvSegment& segment = OpenFixture(reader, "chapters-attachments.mkv").Segment();
    const size_t before = VmxListMemoryFonts().size();
    std::vector<HANDLE> handles;
    RegisterAttachedFonts(reader, segment, handles);
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_NE(handles[0], handles[1]);
    const std::vector<VmxMemoryFont> fonts = VmxListMemoryFonts();
    ASSERT_EQ(fonts.size(), before + 2);
    EXPECT_EQ(fonts[before].size, 49224u);
    EXPECT_EQ(fonts[before + 1].size, 49052u);
    for (size_t i = before; i < fonts.size(); ++i)
        EXPECT_EQ(fonts[i].family, WSTR("Bitstream Vera Sans Mono"));
}

TEST(MkvFonts, FontDataPastTheFileEndIsRefused)
{
    // FileData claims 100 bytes where the file holds 8 of a TrueType header.
    const Bytes truncated = Concat({EbmlId(0x465C), EbmlSize(100), {0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0}});
    const Bytes attached = El(0x61A7, Concat({El(0x4660, Text("application/x-truetype-font")), truncated}));
    const MkvFile file(Concat({kEmptyEbmlHeader, EbmlId(ebml_id::kAttachments), EbmlSize(attached.size()), attached}));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    KMkvSegment segment;
    auto root = KEbmlElement::Root(reader);
    auto element = root->FirstChild();
    ASSERT_TRUE(element->NextSibling());
    reader.Seek(element->dataPos);
    segment.attachments.emplace_back().Parse(*element);
    ASSERT_EQ(segment.attachments[0].files.size(), 1u);
    ASSERT_EQ(segment.attachments[0].files[0].dataSize.value, 100u);

    const size_t before = VmxListMemoryFonts().size();
    std::vector<HANDLE> handles;
    RegisterAttachedFonts(reader, segment, handles);
    EXPECT_TRUE(handles.empty());
    EXPECT_EQ(VmxListMemoryFonts().size(), before);
}

TEST(MkvFonts, MemoryFontStandInTakesOnlyFontSignatures)
{
    struct Case {
        Bytes bytes;
        bool accepted;
    };
    const Case cases[] = {{{0x00, 0x01, 0x00, 0x00, 0x09}, true}, {Text("true1"), true}, {Text("OTTO1"), true},
                          {Text("ttcf1"), false}, {Text("text"), false}, {{0x00, 0x01, 0x00}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        Bytes data = c.bytes;
        const size_t before = VmxListMemoryFonts().size();
        DWORD count = 0;
        const HANDLE handle = AddFontMemResourceEx(data.data(), static_cast<DWORD>(data.size()), nullptr, &count);
        EXPECT_EQ(handle != nullptr, c.accepted);
        EXPECT_EQ(count, c.accepted ? 1u : 0u);
        EXPECT_EQ(VmxListMemoryFonts().size(), before + (c.accepted ? 1 : 0));
    }
    EXPECT_NE(GetModuleHandleW(WSTR("GDI32.dll")), nullptr);
    EXPECT_EQ(GetModuleHandleW(WSTR("gdi32.dll.mui")), nullptr);
    EXPECT_EQ(GetProcAddress(GetModuleHandleW(WSTR("gdi32.dll")), "AddFontResourceW"), nullptr);
}

}  // namespace

// KMkvReader, KEbmlElement and the element values on bytes built here: IDs, vint sizes (signed,
// unknown), integers, floats, strings, the EBML header, the sibling rules of blocks and Cues,
// recovery over garbage, the SeekHead shortcut, and reads that bypass the window.
#include <gtest/gtest.h>

#include <numbers>
#include <fstream>

#include "demux/mkv/mkv_reader.h"
#include "tests/ebml_bytes.h"

namespace {

using namespace vmx::test;
namespace id = ebml_id;

Bytes Id(std::uint32_t value) { return EbmlId(value); }
Bytes Size(std::uint64_t size) { return EbmlSize(size); }

// A reader over an empty EBML header followed by the bytes under test, standing at them, and a
// cursor whose data they are.
struct ValueBench {
    explicit ValueBench(const Bytes& data) : file(Concat({kEmptyEbmlHeader, data})), element(&reader, nullptr)
    {
        EXPECT_EQ(file.Open(reader), S_OK);
        reader.Seek(kEmptyEbmlHeader.size());
        element.dataPos = reader.Tell();
        element.size.value = data.size();
    }
    MkvFile file;
    KMkvReader reader;
    KEbmlElement element;
};

std::unique_ptr<KEbmlElement> SegmentOf(KMkvReader& reader, std::unique_ptr<KEbmlElement>& root)
{
    root = KEbmlElement::Root(reader);
    return root->FirstChild(id::kSegment);
}

}  // namespace

TEST(EbmlValues, SizesDecodeWithBiasAndUnknownRunsToFileEnd)
{
    struct Case {
        Bytes bytes;
        bool isSigned;
        bool ok;
        std::int64_t value;  // for an unknown size: the bytes left after the size field
    };
    const Case cases[] = {
        {{0x81}, false, true, 1},
        {{0x40, 0x02}, false, true, 2},
        {{0x01, 0, 0, 0, 0, 0, 0, 0}, false, true, 0},
        {{0x10, 0x12, 0x34, 0x56}, false, true, 0x123456},
        {{0xFF, 1, 2, 3}, false, true, 3},
        {{0x7F, 0xFF, 9}, false, true, 1},
        {{0xBF}, true, true, 0},
        {{0x80}, true, true, -63},
        {{0xFE}, true, true, 63},
        {{0x60, 0x00}, true, true, 0x2000 - 0x1FFF},
        {{0xFF, 1, 2}, true, true, 2 - 63},  // unknown first, then the bias
        {{0x00, 0x81}, false, false, 0},
        {{0x20, 0x01}, false, false, 0},  // three bytes announced, two present
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        ValueBench bench(c.bytes);
        CSignedLength signedLength;
        CLength length;
        CLength& target = c.isSigned ? signedLength : length;
        ASSERT_EQ(SUCCEEDED(target.Read(bench.element)), c.ok);
        EXPECT_EQ(target.valid, c.ok);
        EXPECT_EQ(static_cast<std::int64_t>(target.value), c.value);
    }
}

TEST(EbmlValues, IdsKeepTheirMarkerBits)
{
    struct Case {
        Bytes bytes;
        bool ok;
        std::uint32_t value;
    };
    const Case cases[] = {
        {{0xA3}, true, 0xA3},
        {{0x42, 0x86}, true, 0x4286},
        {{0x2A, 0xD7, 0xB1}, true, 0x2AD7B1},
        {{0x1A, 0x45, 0xDF, 0xA3}, true, 0x1A45DFA3},
        {{0x0F, 0x00, 0x00, 0x00, 0x00}, false, 0},
        {{0x1F, 0x43}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        ValueBench bench(c.bytes);
        CID elementId;
        ASSERT_EQ(SUCCEEDED(elementId.Read(bench.element)), c.ok);
        EXPECT_EQ(elementId.valid, c.ok);
        EXPECT_EQ(elementId.value, c.value);
    }
}

TEST(EbmlValues, IntegersReadAtMostEightBytesAndSignExtend)
{
    struct Case {
        Bytes bytes;
        std::uint64_t unsignedValue;
        std::int64_t signedValue;
    };
    const Case cases[] = {
        {{}, 0, 0},
        {{0xFF}, 0xFF, -1},
        {{0x00, 0xFF}, 0xFF, 255},
        {{0x80, 0x00}, 0x8000, -32768},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 0x0102030405060708, 0x0102030405060708},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, 0xFFFFFFFFFFFFFFFE, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        ValueBench unsignedBench(c.bytes);
        CUInt unsignedInt;
        ASSERT_EQ(unsignedInt.Read(unsignedBench.element), S_OK);
        EXPECT_EQ(unsignedInt.value, c.unsignedValue);
        ValueBench signedBench(c.bytes);
        CInt signedInt;
        ASSERT_EQ(signedInt.Read(signedBench.element), S_OK);
        EXPECT_EQ(signedInt.value, c.signedValue);
    }
    ValueBench truncated({0x01, 0x02});
    truncated.element.size.value = 4;
    CUInt cut;
    EXPECT_EQ(cut.Read(truncated.element), E_FAIL);
    EXPECT_FALSE(cut.valid);
}

TEST(EbmlValues, FloatsAreFourOrEightBytes)
{
    ValueBench single({0x3F, 0x80, 0x00, 0x00});
    CFloat one;
    ASSERT_EQ(one.Read(single.element), S_OK);
    EXPECT_EQ(one.value, 1.0);

    ValueBench wide({0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18});
    CFloat pi;
    ASSERT_EQ(pi.Read(wide.element), S_OK);
    EXPECT_EQ(pi.value, std::numbers::pi);

    ValueBench odd({0x3F, 0x80, 0x00});
    CFloat refused;
    EXPECT_EQ(refused.Read(odd.element), E_FAIL);
    EXPECT_FALSE(refused.valid);
    EXPECT_EQ(refused.value, 0.0);
}

TEST(EbmlValues, ByteAndShortAreValidEvenWhenTheReadFails)
{
    ValueBench bench({0xFF, 0xFE});
    CShort shortValue;
    ASSERT_EQ(shortValue.Read(bench.element), S_OK);
    EXPECT_EQ(shortValue.value, -2);
    CByte byteValue;
    EXPECT_EQ(byteValue.Read(bench.element), E_FAIL);
    EXPECT_TRUE(byteValue.valid);
    EXPECT_EQ(byteValue.value, 0);
}

TEST(EbmlValues, StringsAndBinaryNeverReadOrReservePastTheFile)
{
    ValueBench utf8({'G', 0xC3, 0xA9, 'o', 0x00, 'x'});
    std::u16string text;
    ASSERT_EQ(ReadEbmlUtf8(utf8.element, text), S_OK);
    EXPECT_EQ(text, u"G\u00e9o");

    ValueBench ascii({'w', 'e', 'b'});
    ascii.element.size.value = 1ull << 50;  // far past the file
    std::string docType;
    EXPECT_EQ(ReadEbmlAscii(ascii.element, docType), E_FAIL);
    EXPECT_EQ(docType, "web");

    ValueBench binary({1, 2, 3});
    std::vector<BYTE> data;
    ASSERT_EQ(ReadEbmlBinary(binary.element, data), S_OK);
    EXPECT_EQ(data, (Bytes{1, 2, 3}));
    binary.reader.Seek(binary.element.dataPos);
    binary.element.size.value = 1ull << 50;
    EXPECT_EQ(ReadEbmlBinary(binary.element, data), E_FAIL);
    EXPECT_TRUE(data.empty());
    std::u16string refused;
    EXPECT_EQ(ReadEbmlUtf8(binary.element, refused), E_FAIL);
}

TEST(MkvReader, OpenReadsTheEbmlHeaderAndRefusesOtherFiles)
{
    const Bytes header = El(id::kEbmlHeader, Concat({El(0x4286, {1}), El(0x4282, {'w', 'e', 'b', 'm'}),
                                                     El(0x4DEF, {9, 9}), El(0x4287, {4}), El(0x4285, {2})}));
    MkvFile good(Concat({header, El(id::kSegment, {})}));
    KMkvReader reader;
    ASSERT_EQ(good.Open(reader), S_OK);
    EXPECT_TRUE(reader.HasFile());
    const KEbmlHeader& record = reader.EbmlHeader();
    EXPECT_EQ(record.version.value, 1u);
    EXPECT_EQ(record.docType, "webm");
    EXPECT_EQ(record.docTypeVersion.value, 4u);
    EXPECT_EQ(record.docTypeReadVersion.value, 2u);
    EXPECT_FALSE(record.maxIdLength.valid);

    for (const Bytes& bytes : {Bytes{0x1A, 0x45, 0xDF}, Bytes{0x1A, 0x45, 0xDF, 0xA2, 0x80}}) {
        MkvFile bad(bytes);
        KMkvReader refused;
        EXPECT_EQ(bad.Open(refused), E_FAIL);
    }
    ScopedTempDir empty;
    const std::u16string absent = vmx::test::Wide(empty.file("absent.mkv"));
    KMkvReader missing;
    EXPECT_EQ(missing.Open(absent.c_str()), S_OK);
    EXPECT_FALSE(missing.HasFile());
}

TEST(EbmlElement, UnknownSizeSegmentIsWalkedToTheEndOfTheFile)
{
    const Bytes cluster = El(id::kCluster, El(0xE7, {0}));
    MkvFile file(Concat({kEmptyEbmlHeader, UnknownSizeEl(id::kSegment, Concat({cluster, cluster, cluster}))}));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    std::unique_ptr<KEbmlElement> root;
    auto segment = SegmentOf(reader, root);
    ASSERT_TRUE(segment);
    EXPECT_EQ(segment->End(), reader.FileSize());
    auto child = segment->FirstChild();
    int clusters = 0;
    do {
        clusters += child->id.value == id::kCluster;
    } while (child->NextSibling());
    EXPECT_EQ(clusters, 3);
}

TEST(EbmlElement, SameIdSiblingsTreatBlocksAsOneKindAndStopAtTopLevel)
{
    const Bytes simpleBlock = El(id::kSimpleBlock, {0x81, 0, 0, 0x80});
    const Bytes blockGroup = El(id::kBlockGroup, El(0xA1, {0x81, 0, 0, 0}));
    const Bytes cluster = El(id::kCluster, Concat({El(0xE7, {0}), simpleBlock, El(0xEC, {0, 0}), blockGroup}));
    // Inside the cluster: the void between the blocks is stepped over.
    MkvFile file(Concat({kEmptyEbmlHeader,
                         El(id::kSegment, Concat({cluster, El(id::kCues, {}), simpleBlock}))}));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    std::unique_ptr<KEbmlElement> root;
    auto segment = SegmentOf(reader, root);
    auto clusterCursor = segment->FirstChild(id::kCluster);
    ASSERT_TRUE(clusterCursor);
    auto block = clusterCursor->FirstChild(id::kSimpleBlock);
    ASSERT_TRUE(block);
    ASSERT_TRUE(block->NextSibling(true));
    EXPECT_EQ(block->id.value, id::kBlockGroup);
    EXPECT_FALSE(block->NextSibling(true));  // the cluster ends

    // At Segment level a SimpleBlock behind Cues is not reached: Cues is top level.
    KEbmlElement stray(*clusterCursor);
    ASSERT_TRUE(stray.NextSibling(false));
    EXPECT_EQ(stray.id.value, id::kCues);
    KEbmlElement fromCluster(*clusterCursor);
    fromCluster.id.value = id::kSimpleBlock;
    EXPECT_FALSE(fromCluster.NextSibling(true));

    auto first = clusterCursor->FirstChild();
    ASSERT_TRUE(first->NextBlock());
    EXPECT_EQ(first->id.value, id::kSimpleBlock);
    ASSERT_TRUE(first->NextBlock());
    EXPECT_EQ(first->id.value, id::kBlockGroup);
    EXPECT_FALSE(first->NextBlock());
}

TEST(EbmlElement, ResyncFindsTheNextClusterOverGarbage)
{
    const Bytes cluster = El(id::kCluster, El(0xE7, {0}));
    // 0x1F and 0x14 start four-byte candidates that are not top-level IDs.
    const Bytes garbage = {0x00, 0x1F, 0x43, 0xB6, 0x00, 0x14, 0x02, 0x00, 0x00, 0x05};
    MkvFile file(Concat({kEmptyEbmlHeader, El(id::kSegment, Concat({cluster, garbage, cluster, garbage,
                                                                     El(id::kCues, {}), cluster}))}));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    std::unique_ptr<KEbmlElement> root;
    auto segment = SegmentOf(reader, root);
    auto walker = segment->FirstChild();
    std::vector<std::uint32_t> ids = {walker->id.value};
    while (walker->NextSibling())
        ids.push_back(walker->id.value);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{id::kCluster, id::kCluster, id::kCues, id::kCluster}));

    auto clusters = segment->FirstChild();
    int found = 1;
    while (clusters->NextCluster())
        ++found;
    EXPECT_EQ(found, 3);  // Cues skipped, garbage crossed at odd offsets
}

TEST(EbmlElement, ResyncFindsAnIdAcrossTheEdgeOfItsReadBlock)
{
    // The search reads blocks of the header buffer's size, overlapping by three bytes: an ID
    // that starts just before, on or just after a block's edge is found at its own position.
    const Bytes cluster = El(id::kCluster, El(0xE7, {0}));
    const size_t edge = KMkvReader::kHeaderBufferSize - 3;
    for (size_t zeros = edge - 4; zeros <= edge + 4; ++zeros) {
        SCOPED_TRACE(zeros);
        MkvFile file(Concat({kEmptyEbmlHeader, El(id::kSegment, Concat({cluster, Bytes(zeros, 0), cluster}))}));
        KMkvReader reader;
        ASSERT_EQ(file.Open(reader), S_OK);
        std::unique_ptr<KEbmlElement> root;
        auto segment = SegmentOf(reader, root);
        auto sibling = segment->FirstChild();
        ASSERT_TRUE(sibling);
        const LONGLONG expected = sibling->headerPos + static_cast<LONGLONG>(cluster.size() + zeros);
        ASSERT_TRUE(sibling->NextSibling());
        EXPECT_EQ(sibling->id.value, id::kCluster);
        EXPECT_EQ(sibling->headerPos, expected);
        EXPECT_FALSE(sibling->NextSibling());

        auto walker = segment->FirstChild();
        ASSERT_TRUE(walker->NextCluster());
        EXPECT_EQ(walker->headerPos, expected);
        EXPECT_FALSE(walker->NextCluster());
    }
}

TEST(EbmlElement, ChildPastItsParentEndsTheWalkAtTheParentEnd)
{
    // The Info claims 100 bytes but its Segment holds only its header and 3 bytes.
    const Bytes inner = Concat({Id(id::kInfo), Size(100), {1, 2, 3}});
    MkvFile file(Concat({kEmptyEbmlHeader, El(id::kSegment, inner), El(id::kTags, {})}));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    std::unique_ptr<KEbmlElement> root;
    auto segment = SegmentOf(reader, root);
    auto info = segment->FirstChild();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size.value, 100u);
    EXPECT_FALSE(info->NextSibling());
    ASSERT_TRUE(segment->NextSibling());
    EXPECT_EQ(segment->id.value, id::kTags);
    EXPECT_FALSE(segment->FirstChild());  // an empty element has no children
}

TEST(EbmlElement, SegmentChildrenAreFoundThroughTheSeekHead)
{
    const Bytes info = El(id::kInfo, El(0x2AD7B1, {0x0F, 0x42, 0x40}));
    const Bytes tracks = El(id::kTracks, {});
    auto seek = [](std::uint32_t target, BYTE position) {
        return El(id::kSeek, Concat({El(id::kSeekId, Id(target)), El(id::kSeekPosition, {position})}));
    };
    // The SeekHead is 2 x 14 + 5 = 33 bytes long; Info follows it, Tracks after Info.
    const Bytes seekHead = El(id::kSeekHead, Concat({seek(id::kTracks, static_cast<BYTE>(33 + info.size())),
                                                     seek(id::kCues, 33)}));
    ASSERT_EQ(seekHead.size(), 33u);
    MkvFile file(Concat({kEmptyEbmlHeader, El(id::kSegment, Concat({seekHead, info, tracks}))}));
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    ASSERT_EQ(reader.Segment().seekHeads.size(), 1u);
    const LONGLONG tracksAt = reader.Segment().dataPos + 33 + static_cast<LONGLONG>(info.size());
    EXPECT_EQ(reader.SeekIndexLookup(id::kTracks, 0), tracksAt);
    EXPECT_EQ(reader.SeekIndexLookup(id::kTracks, tracksAt + 1), 0);
    std::unique_ptr<KEbmlElement> root;
    auto segment = SegmentOf(reader, root);
    auto found = segment->FirstChild(id::kTracks, false);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->headerPos, tracksAt);
    // The index points Cues at the Info: the mismatch is final, no scan follows.
    EXPECT_FALSE(segment->FirstChild(id::kCues, true));
    // Not indexed: found by scanning only when asked to.
    EXPECT_TRUE(segment->FirstChild(id::kInfo, true));
    EXPECT_FALSE(segment->FirstChild(id::kInfo, false));
}

// Frames of 64 KiB and more bypass the window and the headers between them come from a small
// buffer: whatever the mix of reads and seeks, every read returns the file's bytes.
TEST(MkvReader, LargeAndSmallReadsInAnyMixReturnTheFileBytes)
{
    Bytes content = kEmptyEbmlHeader;
    std::uint32_t state = 99;
    while (content.size() < 3'000'000) {
        state = state * 1103515245u + 12345u;
        content.push_back(static_cast<BYTE>(state >> 16));
    }
    const MkvFile file(content);
    KMkvReader reader;
    ASSERT_EQ(file.Open(reader), S_OK);
    LONGLONG position = 0;
    for (int step = 0; step < 400; ++step) {
        state = state * 1103515245u + 12345u;
        const std::uint32_t pick = state >> 8;
        DWORD count;
        switch (pick % 5) {
        case 0: count = 65536 + pick % 300000; break;       // a large frame
        case 1: count = 4097 + pick % 60000; break;        // more than the header buffer holds
        default: count = 1 + pick % 12; break;             // header bytes
        }
        if (pick % 17 == 0)
            position = static_cast<LONGLONG>(pick % content.size());
        reader.Seek(position);
        std::vector<BYTE> buffer(count);
        const bool fits = position + count <= static_cast<LONGLONG>(content.size());
        ASSERT_EQ(SUCCEEDED(reader.ReadRaw(buffer.data(), count)), fits) << step;
        if (!fits) {
            position = 0;
            continue;
        }
        ASSERT_TRUE(std::equal(buffer.begin(), buffer.end(), content.begin() + position)) << step;
        position += count;
        ASSERT_EQ(reader.Tell(), position);
    }
}

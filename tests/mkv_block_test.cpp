// The block layer on bytes built here: header and the three lacings, damaged lace tables and
// blocks cut short, the BlockGroup record and the key frame rule. (The laced fixtures are
// checked frame by frame against ffprobe where they play, in mkv_playback_test.)
#include <gtest/gtest.h>

#include "demux/mkv/mkv_block.h"
#include "tests/ebml_bytes.h"

namespace {

using namespace vmx::test;
using Sizes = std::vector<size_t>;

Bytes Payload(size_t size)
{
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<BYTE>(i % 251);
    return out;
}

// Track 1, timecode 0x0102: the header every lacing case shares.
Bytes BlockData(BYTE flags, const Bytes& laceTable, const Bytes& payload)
{
    return Concat({{0x81, 0x01, 0x02, flags}, laceTable, payload});
}

// A Cluster holding the given children and a Void after them, so a read past the last child
// would find bytes rather than the end of the file.
struct ClusterFile {
    explicit ClusterFile(const Bytes& children)
        : file(Concat({kEmptyEbmlHeader, El(ebml_id::kCluster, Concat({children, El(0xEC, {1, 2, 3, 4})}))}))
    {
        EXPECT_EQ(file.Open(reader), S_OK);
        root = KEbmlElement::Root(reader);
        cluster = root->FirstChild(ebml_id::kCluster);
        EXPECT_TRUE(cluster);
        first = cluster->FirstChild();
    }
    MkvFile file;
    KMkvReader reader;
    std::unique_ptr<KEbmlElement> root, cluster, first;
};

struct LaceCase {
    const char* name;
    BYTE flags;
    Bytes laceTable;
    size_t payload;
    bool parses;
    Sizes frames;
};

TEST(MkvBlockLacing, FrameSizesPerLacingAndDamagedTables)
{
    const LaceCase cases[] = {
        {"none", 0x80, {}, 7, true, {7}},
        {"xiph 300 (255+45), 100, rest", 0x82, {2, 255, 45, 100}, 450, true, {300, 100, 50}},
        {"xiph sizes filling the block leave an empty last frame", 0x82, {1, 5}, 5, true, {5, 0}},
        {"fixed 1000 bytes in four", 0x84, {3}, 1000, true, {250, 250, 250, 250}},
        {"fixed leaves the division's remainder unread", 0x84, {2}, 10, true, {3, 3, 3}},
        {"ebml 10, +0, rest", 0x86, {2, 0x8A, 0xBF}, 25, true, {10, 10, 5}},
        {"ebml 10, -3, rest", 0x86, {2, 0x8A, 0xBC}, 20, true, {10, 7, 3}},
        {"ebml two-byte first size", 0x86, {1, 0x40, 0x82}, 200, true, {130, 70}},
        {"xiph sizes summing past the block", 0x82, {1, 255, 255, 10}, 100, false, {}},
        {"xiph table cut by the block's end", 0x82, {3, 255, 255}, 0, false, {}},
        {"lacing flag without a count byte", 0x82, {}, 0, false, {}},
        {"fixed count larger than the payload", 0x84, {9}, 5, false, {}},
        {"ebml count 0", 0x86, {0, 0x85}, 10, false, {}},
        {"ebml size going negative", 0x86, {2, 0x82, 0xBC}, 10, false, {}},
        {"ebml unknown-size pattern as a size", 0x86, {1, 0xFF}, 10, false, {}},
        {"ebml first size past the block", 0x86, {1, 0x90}, 10, false, {}},
        {"ebml difference vint wider than the block's rest", 0x86, {2, 0x81, 0x40}, 0, false, {}},
    };
    for (const LaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes payload = Payload(c.payload);
        ClusterFile f(El(ebml_id::kSimpleBlock, BlockData(c.flags, c.laceTable, payload)));
        KMkvBlock block;
        ASSERT_EQ(ParseSimpleBlock(*f.first, block, true), c.parses);
        EXPECT_LE(f.reader.Tell(), f.first->End()) << "read past the block";
        Sizes sizes;
        Bytes joined;
        for (const KByteBuffer& frame : block.frames) {
            sizes.push_back(frame.size());
            joined.insert(joined.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(sizes, c.frames);
        EXPECT_EQ(block.FrameBytes(), joined.size());
        // Frames are the payload in order, cut where the table says.
        EXPECT_TRUE(std::equal(joined.begin(), joined.end(), payload.begin()));

        // Without frames only the header is read, so a damaged table does not matter.
        ASSERT_TRUE(ParseSimpleBlock(*f.first, block, false));
        EXPECT_TRUE(block.frames.empty());
        EXPECT_EQ(block.trackNumber.value, 1u);
        EXPECT_EQ(block.timecode.value, 0x0102);
        EXPECT_EQ(block.flags.value, c.flags);
    }
}

// A SimpleBlock without the 0x80 flag gets ReferenceBlock 0, the group form of "not a key frame".
TEST(MkvBlockHeader, FieldsAndTheKeyframeFlag)
{
    struct {
        Bytes header;
        std::uint64_t track;
        std::int64_t timecode;
        bool keyframe;
    } const cases[] = {
        {{0x81, 0xFF, 0xFF, 0x80}, 1, -1, true},
        {{0x82, 0x7F, 0xFF, 0x81}, 2, 32767, true},
        {{0x82, 0x80, 0x00, 0x00}, 2, -32768, false},
        {{0x40, 0x85, 0x00, 0x10, 0x01}, 133, 16, false},
    };
    for (const auto& c : cases) {
        ClusterFile f(El(ebml_id::kSimpleBlock, Concat({c.header, {0xAB}})));
        KMkvBlock block;
        block.referenceBlock.valid = true;  // a stale value must not survive
        ASSERT_TRUE(ParseSimpleBlock(*f.first, block, true));
        EXPECT_EQ(block.trackNumber.value, c.track);
        EXPECT_EQ(block.timecode.value, c.timecode);
        EXPECT_EQ(block.flags.value, c.header.back());
        EXPECT_EQ(block.frames, std::vector<KByteBuffer>{{0xAB}});
        EXPECT_EQ(block.IsKeyframe(), c.keyframe);
        EXPECT_EQ(block.referenceBlock.value, 0);
    }
}

TEST(MkvBlockHeader, ShortOrCutBlocksFailCleanly)
{
    struct {
        const char* name;
        Bytes element;
        bool headerOnly;  // what a header-only parse answers
    } const cases[] = {
        {"size 2", El(ebml_id::kSimpleBlock, {0x81, 0x00}), false},
        {"size 3", El(ebml_id::kSimpleBlock, {0x81, 0x00, 0x00}), false},
        {"track vint leaving no room for the timecode", El(ebml_id::kSimpleBlock, {0x10, 0x00, 0x00, 0x01}), false},
        {"track vint wider than the block", El(ebml_id::kSimpleBlock, {0x08, 0x00, 0x00, 0x01}), false},
        // The Void after the block holds enough bytes for the header, but they are not the block's.
        {"size past the end of the file", Concat({EbmlId(ebml_id::kSimpleBlock), EbmlSize(100), {0x81, 0, 0, 0x80}}),
         true},
        {"4 GB claimed in a small file",
         Concat({EbmlId(ebml_id::kSimpleBlock), EbmlSize(0x100000000ull), {0x81, 0, 0, 0x80, 1, 2}}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClusterFile f(c.element);
        KMkvBlock block;
        EXPECT_FALSE(ParseSimpleBlock(*f.first, block, true));
        EXPECT_TRUE(block.frames.empty());
        EXPECT_LE(f.reader.Tell(), f.first->End()) << "read past the block";
        EXPECT_EQ(ParseSimpleBlock(*f.first, block, false), c.headerOnly);
    }
}

TEST(MkvBlockGroup, ReadsTheGroupRecordAroundItsBlock)
{
    using namespace mkv_block_id;
    const Bytes slice = El(kTimeSlice, Concat({El(0xCC, {1}), El(0xCD, {2}), El(0xCE, {3}), El(0xCF, {4})}));
    const Bytes more = El(kBlockMore, Concat({El(kBlockAddId, {7}), El(kBlockAdditional, {'a', 'b'})}));
    const Bytes group = El(ebml_id::kBlockGroup,
                           Concat({El(kBlockDuration, {0x03, 0xE8}), El(kReferencePriority, {1}),
                                   El(kBlock, BlockData(0x06, {1, 0x82}, Payload(5))),
                                   El(kReferenceBlock, {0xFF, 0x60}), El(kReferenceVirtual, {9}),
                                   El(kCodecState, {0xC0, 0xDE}), El(kSlices, slice), slice, El(kBlockAdditions, more)}));
    ClusterFile f(group);
    KMkvBlock block;
    ASSERT_TRUE(ParseBlockGroup(*f.first, block, true));
    EXPECT_EQ(block.frames, (std::vector<KByteBuffer>{{0, 1}, {2, 3, 4}}));
    EXPECT_EQ(block.blockDuration.value, 1000u);
    EXPECT_EQ(block.referencePriority.value, 1u);
    EXPECT_EQ(block.referenceBlock.value, -160);
    EXPECT_FALSE(block.IsKeyframe());
    EXPECT_EQ(block.referenceVirtual.value, 9);
    EXPECT_EQ(block.codecState, (Bytes{0xC0, 0xDE}));
    ASSERT_EQ(block.timeSlices.size(), 2u);  // one inside Slices, one straight in the group
    for (const KMkvTimeSlice& s : block.timeSlices) {
        EXPECT_EQ(s.laceNumber.value, 1u);
        EXPECT_EQ(s.frameNumber.value, 2u);
        EXPECT_EQ(s.delay.value, 3u);
        EXPECT_EQ(s.sliceDuration.value, 4u);
    }
    ASSERT_EQ(block.blockAdditions.size(), 1u);
    EXPECT_EQ(block.blockAdditions[0].blockAddId.value, 7u);
    EXPECT_EQ(block.blockAdditions[0].blockAdditional, (Bytes{'a', 'b'}));

    ASSERT_TRUE(ParseBlockGroup(*f.first, block, false));
    EXPECT_TRUE(block.frames.empty());
    EXPECT_TRUE(block.blockAdditions.empty());
    EXPECT_EQ(block.blockDuration.value, 1000u);
}

TEST(MkvBlockGroup, FailsWithoutAReadableBlock)
{
    const Bytes groups[] = {
        El(ebml_id::kBlockGroup, El(mkv_block_id::kBlockDuration, {1})),  // no Block at all
        El(ebml_id::kBlockGroup, El(mkv_block_id::kBlock, BlockData(0x06, {0}, Payload(4)))),  // EBML count 0
    };
    for (const Bytes& group : groups) {
        ClusterFile f(group);
        KMkvBlock block;
        EXPECT_FALSE(ParseBlockGroup(*f.first, block, true));
        EXPECT_TRUE(block.frames.empty());
    }
    ClusterFile keyframe(El(ebml_id::kBlockGroup, El(mkv_block_id::kBlock, BlockData(0x00, {}, {1}))));
    KMkvBlock block;
    ASSERT_TRUE(ParseBlockGroup(*keyframe.first, block, true));
    EXPECT_TRUE(block.IsKeyframe());  // a Block's flags byte carries no key frame bit
}

TEST(MkvBlockCluster, TimecodeIsTheFirstTimecodeChild)
{
    ClusterFile withTimecode(Concat({El(0xEC, {0}), El(mkv_block_id::kClusterTimecode, {0x13, 0x88}),
                                     El(mkv_block_id::kClusterTimecode, {0x01})}));
    const CUInt timecode = ReadClusterTimecode(*withTimecode.cluster);
    EXPECT_TRUE(timecode.valid);
    EXPECT_EQ(timecode.value, 5000u);

    ClusterFile without(El(ebml_id::kSimpleBlock, BlockData(0x80, {}, {1})));
    EXPECT_FALSE(ReadClusterTimecode(*without.cluster).valid);
}

}  // namespace

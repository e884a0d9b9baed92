// Re-framing PES payloads into whole frames: which bytes make a frame and which frame a PES time
// belongs to (the first one that starts in that PES).
#include <gtest/gtest.h>

#include "demux/mpeg_es/mpeg_frame_cutters.h"

namespace {

std::unique_ptr<KPacket> Pes(std::vector<BYTE> payload, LONGLONG start = PACKET_NO_TIME)
{
    auto packet = std::make_unique<KPacket>();
    packet->streamNumber = 0xC000;
    packet->payload = std::move(payload);
    packet->start = start;
    packet->stop = start == PACKET_NO_TIME ? PACKET_NO_TIME : start + 1;
    packet->syncPoint = start != PACKET_NO_TIME;
    return packet;
}

// An ADTS frame without CRC whose raw payload is `size` bytes of `fill`.
std::vector<BYTE> AdtsFrame(size_t size, BYTE fill)
{
    const size_t length = size + 7;
    std::vector<BYTE> frame = {0xFF, 0xF1, 0x4C, static_cast<BYTE>(0x80 | (length >> 11)), static_cast<BYTE>(length >> 3),
                               static_cast<BYTE>(((length & 7) << 5) | 0x1F), 0xFC};
    frame.insert(frame.end(), size, fill);
    return frame;
}

std::vector<BYTE> Join(std::initializer_list<std::vector<BYTE>> parts)
{
    std::vector<BYTE> joined;
    for (const auto& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

}  // namespace

TEST(MpegFrameCutters, AdtsFramesLoseTheirHeadersAndOnlyTheFirstCarriesThePesTime)
{
    KAdtsFramer framer;
    KMpegUnits units;
    // Garbage before the first sync; three frames in one PES.
    framer.Push(*Pes(Join({{0x01, 0x02}, AdtsFrame(20, 0xA1), AdtsFrame(30, 0xA2), AdtsFrame(25, 0xA3)}), 1000), units);
    framer.Push(*Pes(Join({AdtsFrame(10, 0xB1), AdtsFrame(40, 0xB2)}), 5000), units);
    ASSERT_EQ(units.size(), 5u);
    EXPECT_EQ(units[0]->payload, std::vector<BYTE>(20, 0xA1));
    EXPECT_EQ(units[0]->start, 1000);
    EXPECT_TRUE(units[0]->syncPoint);
    EXPECT_FALSE(units[1]->HasTime());
    EXPECT_FALSE(units[2]->HasTime());
    EXPECT_EQ(units[3]->payload, std::vector<BYTE>(10, 0xB1));
    EXPECT_EQ(units[3]->start, 5000);
    EXPECT_EQ(units[4]->payload, std::vector<BYTE>(40, 0xB2));

    // A frame split across two PES: the second PES's time goes to the frame that starts in it,
    // not to the one it completes.
    framer.Reset();
    units.clear();
    const std::vector<BYTE> split = Join({AdtsFrame(20, 0xC1), AdtsFrame(20, 0xC2), AdtsFrame(20, 0xC3)});
    framer.Push(*Pes({split.begin(), split.begin() + 35}, 100), units);
    framer.Push(*Pes({split.begin() + 35, split.end()}, 200), units);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0]->start, 100);
    EXPECT_FALSE(units[1]->HasTime());
    EXPECT_EQ(units[2]->payload, std::vector<BYTE>(20, 0xC3));
    EXPECT_EQ(units[2]->start, 200);

    // A frame followed by something that is not a sync is not trusted: the buffer is dropped.
    framer.Reset();
    units.clear();
    framer.Push(*Pes(Join({AdtsFrame(12, 0xD1), {0x00, 0x00, 0x00}}), 100), units);
    EXPECT_TRUE(units.empty());
}

TEST(MpegFrameCutters, H264AccessUnitsByDelimiterOrByTimedUnits)
{
    // Annex B units of two pictures, with 4- and 3-byte start codes; a NAL ending in a non-zero
    // byte keeps it before a 3-byte start code.
    const std::vector<BYTE> aud = {0, 0, 0, 1, 0x09, 0xF0};
    const std::vector<BYTE> sps = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E};
    const std::vector<BYTE> idr = {0, 0, 1, 0x65, 0x88, 0x84, 0x21};
    const std::vector<BYTE> slice = {0, 0, 0, 1, 0x41, 0x9A, 0x02};
    KNalAccessUnits cutter;
    KMpegUnits units;
    cutter.Push(*Pes(Join({aud, sps, idr}), 0), units);
    cutter.Push(*Pes(Join({aud, slice}), 400), units);
    ASSERT_EQ(units.size(), 1u);
    const std::vector<BYTE> first = {0, 0, 0, 2, 0x09, 0xF0, 0, 0, 0, 4, 0x67, 0x42, 0x00, 0x1E, 0, 0, 0, 4, 0x65, 0x88, 0x84, 0x21};
    EXPECT_EQ(units[0]->payload, first);
    EXPECT_EQ(units[0]->start, 0);
    // The end of the stream completes the last unit and access unit.
    cutter.Flush(units);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[1]->payload, (std::vector<BYTE>{0, 0, 0, 2, 0x09, 0xF0, 0, 0, 0, 3, 0x41, 0x9A, 0x02}));
    EXPECT_EQ(units[1]->start, 400);

    // Without delimiters a timed unit starts an access unit; an untimed PES continues one, even
    // when a start code is split between two PES.
    cutter.Reset();
    units.clear();
    const std::vector<BYTE> picture2 = Join({slice, {0x11, 0x22}});
    cutter.Push(*Pes(Join({sps, idr, {0, 0}}), 0), units);
    cutter.Push(*Pes(Join({{0, 1, 0x41, 0x05}, {0, 0, 0, 1, 0x01, 0x33}}), PACKET_NO_TIME), units);
    cutter.Push(*Pes(picture2, 800), units);
    cutter.Flush(units);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0]->start, 0);
    EXPECT_EQ(units[0]->payload.size(), 8u + 8u + 6u + 6u);
    EXPECT_EQ(units[1]->start, 800);
    EXPECT_EQ(units[1]->payload, (std::vector<BYTE>{0, 0, 0, 5, 0x41, 0x9A, 0x02, 0x11, 0x22}));

    // Several pictures in one PES: each first slice (first_mb_in_slice 0) or parameter set
    // after a slice begins the next access unit; only the first carries the PES time.
    cutter.Reset();
    units.clear();
    const std::vector<BYTE> secondSlice = {0, 0, 1, 0x41, 0x40, 0x01};  // first_mb_in_slice 1
    cutter.Push(*Pes(Join({sps, idr, secondSlice, slice, sps, slice}), 0), units);
    cutter.Flush(units);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0]->payload.size(), 8u + 8u + 7u);
    EXPECT_TRUE(units[0]->HasTime());
    EXPECT_FALSE(units[1]->HasTime());
    EXPECT_EQ(units[1]->payload.size(), 7u);
    EXPECT_EQ(units[2]->payload.size(), 8u + 7u);
}

// HEVC names a unit's type in the six bits after the forbidden bit of a 2-byte header, and a
// picture's first slice by the bit after that header.
TEST(MpegFrameCutters, HevcAccessUnitsByTheirOwnNalTypes)
{
    const std::vector<BYTE> vps = {0, 0, 0, 1, 0x40, 0x01, 0x0C};
    const std::vector<BYTE> idr = {0, 0, 1, 0x26, 0x01, 0xAF, 0x10};          // IDR_W_RADL, first slice
    const std::vector<BYTE> idrPart = {0, 0, 1, 0x26, 0x01, 0x40, 0x20};      // a later slice of it
    const std::vector<BYTE> trail = {0, 0, 0, 1, 0x02, 0x01, 0xD0, 0x30};    // TRAIL_R, first slice
    const std::vector<BYTE> suffixSei = {0, 0, 1, 0x50, 0x01, 0x05};          // type 40 stays behind
    KNalAccessUnits cutter(NalCodec::Hevc);
    KMpegUnits units;
    cutter.Push(*Pes(Join({vps, idr, idrPart, suffixSei, trail}), 0), units);
    cutter.Push(*Pes(Join({vps, idr}), 800), units);
    cutter.Flush(units);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0]->payload.size(), 7u + 8u + 8u + 7u);
    EXPECT_EQ(units[0]->start, 0);
    EXPECT_EQ(units[1]->payload, (std::vector<BYTE>{0, 0, 0, 4, 0x02, 0x01, 0xD0, 0x30}));
    EXPECT_FALSE(units[1]->HasTime());
    EXPECT_EQ(units[2]->start, 800);

    // With delimiters (type 35) only a delimiter starts one, whatever follows.
    cutter.Reset();
    units.clear();
    const std::vector<BYTE> aud = {0, 0, 0, 1, 0x46, 0x01, 0x10};
    cutter.Push(*Pes(Join({aud, idr, trail}), 0), units);
    cutter.Push(*Pes(Join({aud, trail}), 400), units);
    cutter.Flush(units);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0]->payload.size(), 7u + 8u + 8u);
    EXPECT_EQ(units[1]->start, 400);
}

TEST(MpegFrameCutters, Vc1FramesRunFromOneFrameStartCodeToTheNext)
{
    const std::vector<BYTE> sequence = {0, 0, 1, 0x0F, 0xCA, 0xFE};
    const std::vector<BYTE> frame1 = {0, 0, 1, 0x0D, 0x11, 0x11, 0x11};
    const std::vector<BYTE> entry = {0, 0, 1, 0x0E, 0x22};
    const std::vector<BYTE> frame2 = {0, 0, 1, 0x0D, 0x33};
    KVc1Frames cutter;
    KMpegUnits units;
    cutter.Push(*Pes(Join({sequence, frame1, entry}), 0), units);
    cutter.Push(*Pes(frame2, 400), units);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]->payload, Join({frame1, entry}));  // what precedes the first frame is dropped
    EXPECT_EQ(units[0]->start, 0);
    cutter.Flush(units);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[1]->payload, frame2);
    EXPECT_EQ(units[1]->start, 400);
}

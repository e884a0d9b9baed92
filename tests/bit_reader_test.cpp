#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/bit_reader.h"
#include "io/mpeg_bit.h"

namespace {

// "00111" -> 0x38: the bits written out, zero-padded to whole bytes.
std::vector<std::uint8_t> Bits(const std::string& text)
{
    std::vector<std::uint8_t> bytes((text.size() + 7) / 8);
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '1')
            bytes[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
    return bytes;
}

TEST(BitReader, ExpGolombCodesDecodeAndAdvancePastTheCode)
{
    struct Case { const char* bits; std::uint64_t ue; std::int64_t se; std::uint32_t length; };
    const Case cases[] = {
        {"1", 0, 0, 1},       {"010", 1, 1, 3},     {"011", 2, -1, 3},   {"00100", 3, 2, 5},
        {"00101", 4, -2, 5},  {"00111", 6, -3, 5},  {"0001000", 7, 4, 7},
        {"00000000000000000000000000000000100000000000000000000000000000001", 0x100000000, -0x80000000LL, 65},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        CBitReader ue;
        ue.Load(Bits(c.bits));
        EXPECT_EQ(ue.GetUE(), c.ue);
        EXPECT_EQ(ue.BitIndex(), c.length);
        CBitReader se;
        se.Load(Bits(c.bits));
        EXPECT_EQ(se.GetSE(), c.se);
        EXPECT_EQ(se.BitIndex(), c.length);
    }
}

TEST(BitReader, ExpGolombCodeThatDoesNotFitReturnsZeroWithoutMoving)
{
    const char* cases[] = {
        "00000000",                  // no one bit at all
        "00000001",                  // seven zeros want 15 bits, 8 are loaded
        "00000000000000010000000",  // fifteen zeros want 31 bits, 23 are loaded
    };
    for (const char* bits : cases) {
        SCOPED_TRACE(bits);
        CBitReader reader;
        reader.Load(Bits(bits));
        ASSERT_TRUE(reader.SkipBits(0));
        EXPECT_EQ(reader.GetUE(), 0u);
        EXPECT_EQ(reader.GetSE(), 0);
        EXPECT_EQ(reader.BitIndex(), 0u);
    }
    // 64 leading zeros cannot be held in 64 bits: refused, even though the code fits the data.
    std::vector<std::uint8_t> longCode(17, 0);
    longCode[8] = 0x80;
    CBitReader reader;
    reader.Load(longCode);
    EXPECT_EQ(reader.GetUE(), 0u);
    EXPECT_EQ(reader.BitIndex(), 0u);
}

TEST(BitReader, FixedWidthReadsAreBoundedAndMsbFirst)
{
    CBitReader reader;
    EXPECT_EQ(reader.GetBits(1), 0u) << "nothing loaded";
    EXPECT_FALSE(reader.SkipBits(0)) << "nothing loaded";

    const std::uint8_t data[] = {0xA5, 0x3C, 0xF0, 0x0F, 0x81};
    reader.Load(data);
    EXPECT_EQ(reader.GetBits(3), 0b101u);
    EXPECT_EQ(reader.GetBits(0), 0u);
    EXPECT_EQ(reader.GetBits(-1), 0u);
    EXPECT_EQ(reader.GetBits(9), 0b001010011u);
    EXPECT_EQ(reader.BitIndex(), 12u);
    reader.AlignByte();
    EXPECT_EQ(reader.BitIndex(), 16u);
    reader.AlignByte();
    EXPECT_EQ(reader.BitIndex(), 16u) << "already on a boundary";
    EXPECT_EQ(reader.GetBits(25), 0u) << "24 bits left";
    EXPECT_FALSE(reader.SkipBits(25));
    EXPECT_EQ(reader.BitIndex(), 16u);
    EXPECT_EQ(reader.GetBits(24), 0xF00F81u);
    EXPECT_EQ(reader.GetBits(1), 0u);

    const std::uint8_t word[] = {0xDE, 0xAD, 0xBE, 0xEF};
    reader.Load(word);
    EXPECT_EQ(reader.BitIndex(), 0u) << "a new load rewinds";
    EXPECT_EQ(reader.GetBits(32), 0xDEADBEEFu);
}

TEST(MpegBit, GetBitsReadsAcrossBytesUpTo64Bits)
{
    const std::uint8_t data[] = {0xA5, 0x3C, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x80};
    CMpegBit reader(data, sizeof data);
    EXPECT_EQ(reader.GetBits(0), 0u);
    EXPECT_EQ(reader.GetBits(3), 0b101u);
    EXPECT_EQ(reader.GetBits(5), 0b00101u);
    EXPECT_EQ(reader.GetBits(12), 0x3C0u);
    EXPECT_EQ(reader.BitPos(), 4);
    EXPECT_EQ(reader.GetBits(65), 0u);
    EXPECT_EQ(reader.BytePos(), 2u) << "65 bits read nothing";
    EXPECT_EQ(reader.BitPos(), 4);
    EXPECT_EQ(reader.GetBits(64), 0x123456789ABCDEF8u);
    EXPECT_EQ(reader.BytePos(), 10u);
    EXPECT_EQ(reader.BitPos(), 4);
    // The four bits left are 0000, the rest past the end reads as zeros and stops at the end.
    EXPECT_EQ(reader.GetBits(8), 0u);
    EXPECT_EQ(reader.BytePos(), 11u);
    EXPECT_EQ(reader.BitPos(), 0);
    ASSERT_EQ(reader.SetBitPos(0, 0), 1);
    EXPECT_EQ(reader.GetBits(64), 0xA53C0123456789ABu);
}

TEST(MpegBit, SetBitPosStaysWithinTheBuffer)
{
    struct Case { std::int32_t offset; int origin; int result; std::uint32_t bytePos; int bitPos; };
    // Each case starts at bit 13 of a 4-byte buffer.
    const Case cases[] = {
        {0, 0, 1, 0, 0},   {32, 0, 1, 4, 0},   {33, 0, 0, 1, 5},  {-1, 0, 0, 1, 5},
        {3, 1, 1, 2, 0},   {19, 1, 1, 4, 0},   {20, 1, 0, 1, 5},  {-13, 1, 1, 0, 0},
        {-14, 1, 0, 1, 5}, {5, 2, 0, 1, 5},
    };
    const std::uint8_t data[4] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " from origin " << c.origin);
        CMpegBit reader(data, sizeof data);
        ASSERT_EQ(reader.SetBitPos(13, 0), 1);
        EXPECT_EQ(reader.SetBitPos(c.offset, c.origin), c.result);
        EXPECT_EQ(reader.BytePos(), c.bytePos);
        EXPECT_EQ(reader.BitPos(), c.bitPos);
    }
}

TEST(MpegBit, AttachRewindsAndResetForgetsTheBuffer)
{
    const std::uint8_t first[] = {0xFF, 0xFF};
    const std::uint8_t second[] = {0x12};
    CMpegBit reader(first, sizeof first);
    reader.GetBits(11);
    reader.Attach(second, sizeof second);
    EXPECT_EQ(reader.BytePos(), 0u);
    EXPECT_EQ(reader.GetBits(8), 0x12u);
    EXPECT_EQ(reader.Reset(), 0);
    EXPECT_EQ(reader.GetBits(8), 0u);
    EXPECT_EQ(reader.SetBitPos(1, 0), 0) << "an empty buffer has only position 0";
}

}  // namespace

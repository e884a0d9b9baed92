#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "io/byte_reader.h"
#include "io/start_code.h"

namespace {

// High bits set in every byte catch a sign-extended or int-overflowing shift.
constexpr std::array<std::uint8_t, 8> kHighBytes = {0xF1, 0xE2, 0xD3, 0xC4, 0xB5, 0xA6, 0x97, 0x88};

static_assert(ReadBE32(kHighBytes.data()) == 0xF1E2D3C4u);

// A field read with one of the reader's members, widened so that one table holds every width.
template <class T, bool (KByteReader::*Read)(T*)>
bool Widened(KByteReader& reader, std::uint64_t* value)
{
    T field{};
    const bool read = (reader.*Read)(&field);
    *value = field;
    return read;
}

TEST(ByteHelpers, DecodeEachWidthInBothByteOrders)
{
    const std::uint8_t* p = kHighBytes.data();
    EXPECT_EQ(ReadBE16(p), 0xF1E2u);
    EXPECT_EQ(ReadBE24(p), 0xF1E2D3u);
    EXPECT_EQ(ReadBE32(p), 0xF1E2D3C4u);
    EXPECT_EQ(ReadBE64(p), 0xF1E2D3C4B5A69788ull);
    EXPECT_EQ(ReadLE16(p), 0xE2F1u);
    EXPECT_EQ(ReadLE24(p), 0xD3E2F1u);
    EXPECT_EQ(ReadLE32(p), 0xC4D3E2F1u);
    EXPECT_EQ(ReadLE64(p), 0x8897A6B5C4D3E2F1ull);
}

TEST(ByteReader, SequentialReadsDecodeFieldsAndAdvance)
{
    const std::uint8_t bytes[] = {0x7F, 0x12, 0x34, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03, 0x04, 0x34, 0x12,
                                  0x78, 0x56, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8, 8, 7, 6, 5, 4, 3, 2, 1, 0xEE};
    KByteReader reader(bytes);
    struct FieldCase {
        const char* read;
        bool (*field)(KByteReader&, std::uint64_t*);
        std::uint64_t expected;
    };
    const FieldCase fields[] = {
        {"Read1", Widened<std::uint8_t, &KByteReader::Read1>, 0x7F},
        {"ReadBE2", Widened<std::uint16_t, &KByteReader::ReadBE2>, 0x1234},
        {"ReadBE3", Widened<std::uint32_t, &KByteReader::ReadBE3>, 0xABCDEF},
        {"ReadBE4", Widened<std::uint32_t, &KByteReader::ReadBE4>, 0x01020304},
        {"ReadLE2", Widened<std::uint16_t, &KByteReader::ReadLE2>, 0x1234},
        {"ReadLE4", Widened<std::uint32_t, &KByteReader::ReadLE4>, 0x12345678},
        {"ReadBE8", Widened<std::uint64_t, &KByteReader::ReadBE8>, 0x0102030405060708},
        {"ReadLE8", Widened<std::uint64_t, &KByteReader::ReadLE8>, 0x0102030405060708},
    };
    for (const FieldCase& f : fields) {
        std::uint64_t value = 0;
        ASSERT_TRUE(f.field(reader, &value)) << f.read;
        EXPECT_EQ(value, f.expected) << f.read;
    }
    EXPECT_EQ(reader.Position(), sizeof bytes - 1);
    EXPECT_EQ(reader.Remaining(), 1u);
    std::span<const std::uint8_t> last;
    ASSERT_TRUE(reader.ReadBytes(1, &last));
    EXPECT_EQ(last.data(), bytes + sizeof bytes - 1);
    EXPECT_EQ(reader.Remaining(), 0u);
}

struct ShortRead {
    const char* name;
    size_t width;
    // True when the read succeeded; a failed read must also leave its out value untouched.
    bool (*read)(KByteReader&);
};

TEST(ByteReader, ReadOneByteShortFailsAndLeavesCursorExactFitSucceeds)
{
    const ShortRead cases[] = {
        {"Read1", 1, [](KByteReader& r) { std::uint8_t v = 0x5A; return r.Read1(&v) || v != 0x5A; }},
        {"ReadBE2", 2, [](KByteReader& r) { std::uint16_t v = 0x5A; return r.ReadBE2(&v) || v != 0x5A; }},
        {"ReadBE3", 3, [](KByteReader& r) { std::uint32_t v = 0x5A; return r.ReadBE3(&v) || v != 0x5A; }},
        {"ReadBE4", 4, [](KByteReader& r) { std::uint32_t v = 0x5A; return r.ReadBE4(&v) || v != 0x5A; }},
        {"ReadBE8", 8, [](KByteReader& r) { std::uint64_t v = 0x5A; return r.ReadBE8(&v) || v != 0x5A; }},
        {"ReadLE2", 2, [](KByteReader& r) { std::uint16_t v = 0x5A; return r.ReadLE2(&v) || v != 0x5A; }},
        {"ReadLE4", 4, [](KByteReader& r) { std::uint32_t v = 0x5A; return r.ReadLE4(&v) || v != 0x5A; }},
        {"ReadLE8", 8, [](KByteReader& r) { std::uint64_t v = 0x5A; return r.ReadLE8(&v) || v != 0x5A; }},
        {"Skip", 5, [](KByteReader& r) { return r.Skip(5); }},
        {"ReadBytes", 6, [](KByteReader& r) {
             std::span<const std::uint8_t> v;
             return r.ReadBytes(6, &v) || !v.empty();
         }},
    };
    const std::uint8_t bytes[16] = {};
    for (const ShortRead& c : cases) {
        SCOPED_TRACE(c.name);
        // Place the cursor so that exactly width - 1 bytes are left.
        KByteReader reader(std::span(bytes, 3 + c.width - 1));
        ASSERT_TRUE(reader.Skip(3));
        EXPECT_FALSE(c.read(reader));
        EXPECT_EQ(reader.Position(), 3u);
        EXPECT_EQ(reader.Remaining(), c.width - 1);

        // With exactly width bytes left the same read succeeds and ends on the last byte.
        KByteReader exact(std::span(bytes, 3 + c.width));
        ASSERT_TRUE(exact.Skip(3));
        EXPECT_TRUE(c.read(exact));
        EXPECT_EQ(exact.Position(), 3 + c.width);
        EXPECT_EQ(exact.Remaining(), 0u);
    }
}

TEST(ByteReader, HugeLengthsNeverWrapPastTheEnd)
{
    const std::uint8_t bytes[8] = {};
    KByteReader reader(bytes);
    ASSERT_TRUE(reader.Skip(3));
    std::span<const std::uint8_t> view;
    for (size_t length : {std::numeric_limits<size_t>::max(), std::numeric_limits<size_t>::max() - 2, size_t{6}}) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(reader.Skip(length));
        EXPECT_FALSE(reader.ReadBytes(length, &view));
        EXPECT_EQ(reader.Position(), 3u);
    }
    EXPECT_TRUE(reader.Skip(5));
    EXPECT_TRUE(reader.ReadBytes(0, &view));
    EXPECT_FALSE(reader.Skip(1));
}

TEST(ByteReader, EmptyDataRefusesEveryRead)
{
    KByteReader reader(std::span<const std::uint8_t>{});
    std::uint8_t u8 = 0;
    std::uint32_t u32 = 0;
    EXPECT_FALSE(reader.Read1(&u8));
    EXPECT_FALSE(reader.ReadLE4(&u32));
    EXPECT_TRUE(reader.Skip(0));
    EXPECT_EQ(reader.Remaining(), 0u);
}

}  // namespace

// A start code counts only with its id byte inside the span, and only when the id passes.
TEST(StartCodes, FoundWithinTheSpanAndItsIdTestOnly)
{
    const std::array<BYTE, 12> bytes = {0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x00, 0x01, 0xE0, 0x11, 0x00, 0x00};
    const auto any = [](BYTE) { return true; };
    EXPECT_EQ(FindStartCodeIn(bytes, 0, any), 0u);
    EXPECT_EQ(FindStartCodeIn(bytes, 1, any), 5u);
    EXPECT_EQ(FindStartCodeIn(bytes, 0, [](BYTE id) { return id == 0xE0; }), 5u);
    EXPECT_EQ(FindStartCodeIn(bytes, 6, any), kNoStartCode);
    EXPECT_EQ(FindStartCodeIn(std::span<const BYTE>(bytes).first(8), 1, any), kNoStartCode);  // no id byte
    EXPECT_EQ(FindStartCodeIn(bytes, 100, any), kNoStartCode);
    EXPECT_EQ(FindStartCodeIn(std::span<const BYTE>(), 0, any), kNoStartCode);
    // A cutter learns where a unit ends from the prefix alone, before its id byte arrives.
    EXPECT_EQ(FindStartCodePrefix(std::span<const BYTE>(bytes).first(8), 1), 5u);
    EXPECT_EQ(FindStartCodePrefix(std::span<const BYTE>(bytes).first(7), 1), kNoStartCode);
    EXPECT_EQ(FindStartCodePrefix(bytes, 6), kNoStartCode);
    EXPECT_EQ(FindStartCodePrefix(std::span<const BYTE>(), 0), kNoStartCode);
}

// NAL units come without their start codes, a 4-byte code's first zero or trailing zeros; an
// empty unit and a prefix at the very end give nothing.
TEST(StartCodes, AnnexBUnitsWithoutTheirZeros)
{
    const std::array<BYTE, 21> bytes = {0x09, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x00, 0x01, 0x68, 0xCE,
                                        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x65};
    std::vector<std::vector<BYTE>> units;
    ForEachAnnexBUnit(bytes, [&](std::span<const BYTE> nal) { units.emplace_back(nal.begin(), nal.end()); });
    EXPECT_EQ(units, (std::vector<std::vector<BYTE>>{{0x67, 0x42}, {0x68, 0xCE}, {0x65}}));
    units.clear();
    ForEachAnnexBUnit(std::span<const BYTE>(bytes).first(20), [&](std::span<const BYTE> nal) {
        units.emplace_back(nal.begin(), nal.end());
    });
    EXPECT_EQ(units.size(), 2u);
}


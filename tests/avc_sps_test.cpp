#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "io/avc_read.h"
#include "tests/bit_writer.h"

namespace {

using nlohmann::json;
using vmx::test::BitWriter;

struct SpsLayout {
    std::uint32_t profile = 100;
    std::uint32_t level = 40;
    std::uint64_t chromaFormat = 1;
    bool scalingLists = false;
    std::uint64_t pocType = 0;
    std::uint64_t widthMbsMinus1 = 119;
    std::uint64_t heightMapUnitsMinus1 = 67;
    bool frameMbsOnly = true;
    std::uint64_t crop[4] = {};  // left, right, top, bottom
    bool vui = true;
    std::uint32_t numUnitsInTick = 1;
    std::uint32_t timeScale = 50;
    std::uint64_t cpbCountMinus1 = 0;
    bool hrd = false;
    bool bitstreamRestriction = false;
};

std::vector<std::uint8_t> BuildSps(const SpsLayout& layout)
{
    BitWriter w;
    w.U(8, 0x67);  // NAL header: nal_ref_idc 3, type 7
    w.U(8, layout.profile), w.U(8, 0), w.U(8, layout.level), w.UE(0);
    if (layout.profile == 100 || layout.profile == 244) {
        w.UE(layout.chromaFormat);
        if (layout.chromaFormat == 3)
            w.U(1, 0);
        w.UE(0), w.UE(0), w.U(1, 0), w.U(1, layout.scalingLists);
        for (int i = 0; layout.scalingLists && i < (layout.chromaFormat == 3 ? 12 : 8); ++i) {
            w.U(1, 1);
            // A list that ends early through a delta that brings nextScale to 0.
            w.SE(5), w.SE(-13);
        }
    }
    w.UE(0);
    w.UE(layout.pocType);
    if (layout.pocType == 0) {
        w.UE(2);
    } else if (layout.pocType == 1) {
        w.U(1, 0), w.SE(-2), w.SE(1), w.UE(3);
        for (std::int64_t offset : {2, -1, 7})
            w.SE(offset);
    }
    w.UE(4);
    w.U(1, 0);
    w.UE(layout.widthMbsMinus1);
    w.UE(layout.heightMapUnitsMinus1);
    w.U(1, layout.frameMbsOnly);
    if (!layout.frameMbsOnly)
        w.U(1, 1);
    w.U(1, 1);
    const bool cropping = layout.crop[0] || layout.crop[1] || layout.crop[2] || layout.crop[3];
    w.U(1, cropping);
    for (int i = 0; cropping && i < 4; ++i)
        w.UE(layout.crop[i]);
    w.U(1, layout.vui);
    if (layout.vui) {
        w.U(1, 1);  // aspect ratio: Extended_SAR 4:3
        w.U(8, 255), w.U(16, 4), w.U(16, 3);
        w.U(1, 0);
        w.U(1, 1);  // video signal type with colour description
        w.U(5, 0b10101), w.U(24, 0x010101);
        w.U(1, 1);  // chroma location
        w.UE(1), w.UE(2);
        w.U(1, 1);
        w.U(32, layout.numUnitsInTick);
        w.U(32, layout.timeScale);
        w.U(1, 1);
        for (int hrd = 0; hrd < 2; ++hrd) {  // NAL, then VCL
            w.U(1, layout.hrd);
            if (!layout.hrd)
                continue;
            w.UE(layout.cpbCountMinus1), w.U(4, 1), w.U(4, 2);
            for (std::uint64_t i = 0; i <= layout.cpbCountMinus1; ++i) {
                w.UE(1000 + i), w.UE(2000 + i), w.U(1, 1);
            }
            w.U(20, 0xBDEF7);  // four 5-bit lengths: 23, 23, 23, 23
        }
        if (layout.hrd)
            w.U(1, 0);
        w.U(1, 0);
        w.U(1, layout.bitstreamRestriction);
        if (layout.bitstreamRestriction) {
            w.U(1, 1);
            for (std::uint64_t value : {0, 0, 16, 16, 2, 4})
                w.UE(value);
        }
    }
    return w.Nal();
}

// What every caller does: load from the NAL header byte, skip it, parse.
AvcSpsInfo Parse(const std::vector<std::uint8_t>& nal, CAvcRead* reader = nullptr)
{
    CAvcRead own;
    CAvcRead& avc = reader ? *reader : own;
    avc.LoadNal(nal);
    avc.SkipBits(8);
    AvcSpsInfo sps{};
    avc.ParseSPS(&sps);
    return sps;
}

TEST(AvcRead, LoadNalRemovesEmulationPreventionBytes)
{
    struct Case { std::vector<std::uint8_t> nal, rbsp; };
    const Case cases[] = {
        {{0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}},
        {{0x65, 0x00, 0x00, 0x03}, {0x65, 0x00, 0x00}},  // 03 as the last byte goes too
        {{0x65, 0x00, 0x00}, {0x65, 0x00, 0x00}},
        {{0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00}},
        {{0x00, 0x03, 0x00, 0x00, 0x02}, {0x00, 0x03, 0x00, 0x00, 0x02}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.nal));
        CAvcRead reader(c.nal);
        ASSERT_EQ(reader.BitCount(), 8 * c.rbsp.size());
        std::vector<std::uint8_t> read;
        for (std::size_t i = 0; i < c.rbsp.size(); ++i)
            read.push_back(static_cast<std::uint8_t>(reader.GetBits(8)));
        EXPECT_EQ(read, c.rbsp);
    }
}

TEST(AvcRead, PictureSizeFollowsCroppingAndFieldCoding)
{
    struct Case { const char* name; std::uint64_t widthMbs, mapUnits; bool frameMbsOnly;
                  std::uint64_t crop[4]; std::int64_t width, height; };
    const Case cases[] = {
        {"progressive 1080", 119, 67, true, {0, 0, 0, 4}, 1920, 1080},
        {"interlaced 1080", 119, 33, false, {0, 0, 0, 2}, 1920, 1080},
        {"interlaced 1440 right crop", 89, 33, false, {0, 8, 0, 0}, 1424, 1088},
        {"left and top crop", 44, 35, true, {3, 0, 5, 0}, 714, 566},
        {"interlaced top crop", 44, 17, false, {0, 0, 1, 0}, 720, 572},
        {"no crop", 0, 0, true, {}, 16, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpsLayout layout;
        layout.widthMbsMinus1 = c.widthMbs;
        layout.heightMapUnitsMinus1 = c.mapUnits;
        layout.frameMbsOnly = c.frameMbsOnly;
        std::copy(std::begin(c.crop), std::end(c.crop), layout.crop);
        const AvcPictureFormat format = AvcPictureFormatFromSps(Parse(BuildSps(layout)));
        EXPECT_EQ(format.width, c.width);
        EXPECT_EQ(format.height, c.height);
    }
}

// Every optional branch must consume exactly its fields, or the fields after it come out wrong.
TEST(AvcRead, EverySyntaxBranchEndsOnTheStopBit)
{
    struct Case { const char* name; SpsLayout layout; };
    const Case cases[] = {
        {"high", {}},
        {"baseline skips the chroma fields", {.profile = 66}},
        {"scaling lists", {.scalingLists = true}},
        {"4:4:4 reads the colour plane flag and twelve lists", {.profile = 244, .chromaFormat = 3, .scalingLists = true}},
        {"picture order count type 1", {.pocType = 1}},
        {"picture order count type 2", {.pocType = 2}},
        {"both HRDs with three schedules", {.cpbCountMinus1 = 2, .hrd = true}},
        {"bitstream restriction", {.bitstreamRestriction = true}},
        {"interlaced with cropping", {.heightMapUnitsMinus1 = 33, .frameMbsOnly = false, .crop = {0, 0, 0, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> nal = BuildSps(c.layout);
        CAvcRead reader;
        const AvcSpsInfo sps = Parse(nal, &reader);
        EXPECT_EQ(sps.profile_idc, c.layout.profile);
        EXPECT_EQ(sps.level_idc, c.layout.level);
        EXPECT_EQ(sps.chroma_format_idc, c.layout.profile == 66 ? 0 : c.layout.chromaFormat);
        EXPECT_EQ(sps.pic_order_cnt_type, c.layout.pocType);
        EXPECT_EQ(sps.num_ref_frames, 4u);
        EXPECT_EQ(sps.pic_width_in_mbs_minus1, c.layout.widthMbsMinus1);
        EXPECT_EQ(sps.frame_crop_bottom_offset, c.layout.crop[3]);
        EXPECT_EQ(sps.vui.sar_width, 4u);
        EXPECT_EQ(sps.vui.chroma_sample_loc_type_bottom_field, 2u);
        EXPECT_EQ(sps.vui.time_scale, c.layout.timeScale);
        EXPECT_EQ(sps.vui.nal_hrd.cpb_size_value_minus1, c.layout.hrd ? 2000 + c.layout.cpbCountMinus1 : 0);
        EXPECT_EQ(sps.vui.vcl_hrd.time_offset_length, c.layout.hrd ? 23u : 0u);
        EXPECT_EQ(sps.vui.max_dec_frame_buffering, c.layout.bitstreamRestriction ? 4u : 0u);
        EXPECT_EQ(sps.rbsp_stop_one_bit, 1u);
        EXPECT_EQ(reader.BitIndex(), reader.BitCount());
    }
}

TEST(AvcRead, FrameDurationComesFromVuiTiming)
{
    struct Case { std::uint32_t vui, timing, ticks, scale; std::int64_t duration; };
    const Case cases[] = {
        {1, 1, 1, 50, 400000},     {1, 1, 1001, 60000, 333666}, {1, 1, 1, 100, 200000},
        {1, 1, 1, 0, 0},           {1, 0, 1, 50, 0},            {0, 1, 1, 50, 0},
        {1, 1, 0xFFFFFFFF, 1, 85899345920000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ticks << "/" << c.scale);
        AvcSpsInfo sps{};
        sps.vui_parameters_present_flag = c.vui;
        sps.vui.timing_info_present_flag = c.timing;
        sps.vui.num_units_in_tick = c.ticks;
        sps.vui.time_scale = c.scale;
        EXPECT_EQ(AvcPictureFormatFromSps(sps).averageFrameDuration, c.duration);
    }
}

TEST(AvcRead, DamagedSpsEndsWithZerosAndBoundedWork)
{
    const SpsLayout rich{.scalingLists = true, .pocType = 1, .hrd = true, .bitstreamRestriction = true};
    const std::vector<std::uint8_t> whole = BuildSps(rich);
    for (std::size_t length = 0; length < whole.size(); ++length) {
        const AvcSpsInfo sps = Parse({whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)});
        EXPECT_EQ(sps.rbsp_stop_one_bit, 0u) << "cut to " << length;
    }
    // Any single flipped bit: parsing still ends (ASan and UBSan watch the reads and arithmetic).
    for (std::size_t bit = 8; bit < 8 * whole.size(); ++bit) {
        std::vector<std::uint8_t> damaged = whole;
        damaged[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
        AvcPictureFormatFromSps(Parse(damaged));
    }
    const AvcSpsInfo cut = Parse({whole.begin(), whole.begin() + 5});
    EXPECT_EQ(cut.level_idc, rich.level);
    EXPECT_EQ(cut.pic_width_in_mbs_minus1, 0u);
    EXPECT_EQ(cut.vui_parameters_present_flag, 0u);

    // Counts near 2^32 from damaged fields: the loops stop at the legal maximum.
    BitWriter poc;
    poc.U(32, 0x6742001E), poc.UE(0), poc.UE(0), poc.UE(1), poc.U(1, 0), poc.SE(0), poc.SE(0);
    poc.UE(0xFFFFFFF0);
    const AvcSpsInfo pocSps = Parse(poc.Nal());
    EXPECT_EQ(pocSps.num_ref_frames_in_pic_order_cnt_cycle, 0xFFFFFFF0u);
    EXPECT_EQ(pocSps.pic_width_in_mbs_minus1, 0u);

    const SpsLayout manySchedules{.cpbCountMinus1 = 40, .hrd = true};  // legal up to 31
    const AvcSpsInfo hrdSps = Parse(BuildSps(manySchedules));
    EXPECT_EQ(hrdSps.vui.nal_hrd.cpb_cnt_minus1, 40u);

    // Sizes and crops far past anything real, and a crop larger than the picture.
    AvcSpsInfo huge{};
    huge.pic_width_in_mbs_minus1 = ~std::uint64_t{0};
    huge.pic_height_in_map_units_minus1 = 0;
    huge.frame_cropping_flag = 1;
    huge.frame_crop_bottom_offset = ~std::uint64_t{0};
    const AvcPictureFormat format = AvcPictureFormatFromSps(huge);
    EXPECT_EQ(format.width, 16 * std::int64_t{0x100000000});
    EXPECT_LT(format.height, 0);
}

TEST(AvcRead, ParameterSetBlockPrefixesEachNalWithItsLength)
{
    const std::vector<std::uint8_t> sps = {0x67, 0x42, 0x00, 0x1E};
    const std::vector<std::uint8_t> pps = {0x68, 0xCE};
    EXPECT_EQ(AvcParameterSetBlock(sps, pps),
              (std::vector<std::uint8_t>{0x00, 0x04, 0x67, 0x42, 0x00, 0x1E, 0x00, 0x02, 0x68, 0xCE}));
    const std::vector<std::uint8_t> tooLong(0x10000, 0x67);
    EXPECT_TRUE(AvcParameterSetBlock(tooLong, pps).empty());
    EXPECT_EQ(AvcParameterSetBlock(std::span(tooLong).first(0xFFFF), pps).size(), 0xFFFFu + 2 + 4);
}

// SPS units cut by libx264 from lavfi streams, against ffprobe's view of the whole stream.
TEST(AvcRead, EncoderSpsMatchesFfprobe)
{
    const std::filesystem::path dir = std::filesystem::path(VMX_FIXTURES) / "h264";
    std::ifstream table(dir / "sps.ffprobe.json");
    ASSERT_TRUE(table) << "missing sps.ffprobe.json";
    const json expected = json::parse(table);
    ASSERT_GE(expected.size(), 8u);
    std::size_t interlaced = 0;
    for (const auto& [name, stream] : expected.items()) {
        SCOPED_TRACE(name);
        std::ifstream file(dir / (name + ".sps"), std::ios::binary);
        ASSERT_TRUE(file);
        const std::vector<std::uint8_t> nal{std::istreambuf_iterator<char>(file), {}};
        ASSERT_EQ(nal.at(0) & 0x1F, 7);
        CAvcRead reader;
        const AvcSpsInfo sps = Parse(nal, &reader);
        EXPECT_EQ(reader.BitIndex(), reader.BitCount()) << "the SPS ends where its NAL ends";
        EXPECT_EQ(sps.rbsp_stop_one_bit, 1u);

        const AvcPictureFormat format = AvcPictureFormatFromSps(sps);
        EXPECT_EQ(format.width, stream["width"].get<std::int64_t>());
        EXPECT_EQ(format.height, stream["height"].get<std::int64_t>());
        const std::map<std::string, std::uint32_t> profileIdc = {{"Constrained Baseline", 66}, {"High", 100}};
        EXPECT_EQ(format.profile, profileIdc.at(stream["profile"].get<std::string>()));
        EXPECT_EQ(format.level, stream["level"].get<std::uint32_t>());
        const bool progressive = stream["field_order"] == "progressive";
        EXPECT_EQ(sps.frame_mbs_only_flag, progressive ? 1u : 0u);
        interlaced += progressive ? 0 : 1;

        // ffprobe gives frames per second for progressive and interlaced streams alike; the
        // duration counts two ticks per frame, which is also a frame for field-coded streams.
        const std::string rate = stream["r_frame_rate"].get<std::string>();
        const double frameRate = std::stod(rate.substr(0, rate.find('/'))) / std::stod(rate.substr(rate.find('/') + 1));
        ASSERT_TRUE(sps.vui.timing_info_present_flag);
        EXPECT_NEAR(static_cast<double>(format.averageFrameDuration), 1e7 / frameRate, 1.0) << rate;
    }
    EXPECT_GE(interlaced, 2u);
}

}  // namespace

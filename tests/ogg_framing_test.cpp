// The module's Ogg framing and Vorbis header reading against libogg and libvorbis, which serve
// here as the reference: every fixture's pages, every stream's packets with their granules and
// flags, and every Vorbis packet's block size.
#include <gtest/gtest.h>

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "demux/ogg/ogg_framing.h"
#include "demux/ogg/vorbis_headers.h"
#include "tests/fixture_reference.h"

namespace {

struct Packet {
    std::vector<std::uint8_t> bytes;
    long long granule;
    bool bos, eos;
    bool operator==(const Packet&) const = default;
};

// Per serial, the packets and holes (an empty packet with granule -2) a reader gets.
using Streams = std::map<int, std::vector<Packet>>;

Streams ThroughLibogg(const std::vector<std::uint8_t>& file, size_t* pages)
{
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    std::map<int, ogg_stream_state> states;
    Streams streams;
    *pages = 0;
    for (size_t at = 0;;) {
        ogg_page page;
        const int result = ogg_sync_pageout(&sync, &page);
        if (result == 0) {
            if (at >= file.size())
                break;
            const size_t count = std::min<size_t>(4096, file.size() - at);
            std::memcpy(ogg_sync_buffer(&sync, static_cast<long>(count)), file.data() + at, count);
            ogg_sync_wrote(&sync, static_cast<long>(count));
            at += count;
            continue;
        }
        if (result < 0)
            continue;
        ++*pages;
        const int serial = ogg_page_serialno(&page);
        if (!states.contains(serial))
            ogg_stream_init(&states[serial], serial);
        ogg_stream_pagein(&states[serial], &page);
        ogg_packet packet;
        for (int out; (out = ogg_stream_packetout(&states[serial], &packet)) != 0;) {
            if (out < 0)
                streams[serial].push_back({{}, -2, false, false});
            else
                streams[serial].push_back({{packet.packet, packet.packet + packet.bytes}, packet.granulepos, packet.b_o_s != 0, packet.e_o_s != 0});
        }
    }
    for (auto& [serial, state] : states)
        ogg_stream_clear(&state);
    ogg_sync_clear(&sync);
    return streams;
}

Streams ThroughModule(const std::vector<std::uint8_t>& file, size_t* pages)
{
    KOggSync sync;
    std::map<int, KOggLogicalStream> states;
    Streams streams;
    *pages = 0;
    for (size_t at = 0;;) {
        OggPage page;
        const long result = sync.PageSeek(&page);
        if (result == 0) {
            if (at >= file.size())
                break;
            const size_t count = std::min<size_t>(4096, file.size() - at);
            std::memcpy(sync.Buffer(count), file.data() + at, count);
            sync.Wrote(count);
            at += count;
            continue;
        }
        if (result < 0)
            continue;
        ++*pages;
        const int serial = page.Serial();
        auto state = states.try_emplace(serial, serial).first;
        state->second.PageIn(page);
        OggPacket packet;
        for (int out; (out = state->second.PacketOut(&packet)) != 0;) {
            if (out < 0)
                streams[serial].push_back({{}, -2, false, false});
            else
                streams[serial].push_back({{packet.packet, packet.packet + packet.bytes}, packet.granulepos, packet.b_o_s != 0, packet.e_o_s != 0});
        }
    }
    return streams;
}

}  // namespace

TEST(OggFraming, PagesAndPacketsAsLiboggFindThem)
{
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(vmx::test::kFixtureDir + "ogg")) {
        const auto extension = entry.path().extension();
        if (extension != ".ogg" && extension != ".ogm")
            continue;
        SCOPED_TRACE(entry.path().filename().string());
        ++files;
        const auto file = vmx::test::FileBytes(entry.path());
        size_t referencePages = 0, pages = 0;
        const Streams reference = ThroughLibogg(file, &referencePages);
        Streams streams = ThroughModule(file, &pages);
        EXPECT_EQ(pages, referencePages);
        ASSERT_EQ(streams.size(), reference.size());
        for (const auto& [serial, packets] : reference) {
            SCOPED_TRACE(serial);
            const auto& ours = streams[serial];
            ASSERT_EQ(ours.size(), packets.size());
            for (size_t k = 0; k < packets.size(); ++k) {
                EXPECT_EQ(ours[k].bytes, packets[k].bytes) << k;
                EXPECT_EQ(ours[k].bos, packets[k].bos) << k;
                EXPECT_EQ(ours[k].eos, packets[k].eos) << k;
                // libogg gives a page's granule to a packet only when it ends the page; one
                // that ends before a packet running on into the next page gets it here too.
                if (packets[k].granule != -1) {
                    EXPECT_EQ(ours[k].granule, packets[k].granule) << k;
                }
            }
        }
    }
    EXPECT_GE(files, 19u);
}

TEST(OggFraming, VorbisHeadersAndBlockSizesAsLibvorbisReadsThem)
{
    size_t checked = 0;
    for (const char* name : {"vorbis-44k-stereo.ogg", "theora-vorbis.ogg", "chained-vorbis.ogg", "ogm-vorbis.ogm", "theora-vorbis-large.ogg"}) {
        SCOPED_TRACE(name);
        size_t pages = 0;
        const Streams streams = ThroughLibogg(vmx::test::FixtureBytes(std::string("ogg/") + name), &pages);
        for (const auto& [serial, packets] : streams) {
            if (packets.size() < 3 || packets[0].bytes.size() < 7 || std::memcmp(packets[0].bytes.data(), "\x01vorbis", 7) != 0)
                continue;
            vorbis_info info;
            vorbis_comment comment;
            vorbis_info_init(&info);
            vorbis_comment_init(&comment);
            KVorbisHeaders ours;
            for (size_t h = 0; h < 3; ++h) {
                ogg_packet packet{};
                std::vector<std::uint8_t> bytes = packets[h].bytes;
                packet.packet = bytes.data();
                packet.bytes = static_cast<long>(bytes.size());
                packet.b_o_s = h == 0;
                ASSERT_EQ(vorbis_synthesis_headerin(&info, &comment, &packet), 0);
                ASSERT_TRUE(ours.Take(packets[h].bytes, h == 0));
            }
            EXPECT_EQ(ours.Channels(), static_cast<std::uint32_t>(info.channels));
            EXPECT_EQ(ours.Rate(), static_cast<std::uint32_t>(info.rate));
            EXPECT_EQ(ours.BitrateNominal(), info.bitrate_nominal);
            for (size_t k = 3; k < packets.size(); ++k) {
                std::vector<std::uint8_t> bytes = packets[k].bytes;
                ogg_packet packet{};
                packet.packet = bytes.data();
                packet.bytes = static_cast<long>(bytes.size());
                const long expected = vorbis_packet_blocksize(&info, &packet);
                EXPECT_EQ(ours.PacketBlockSize(bytes), expected < 0 ? 0 : expected) << k;
                ++checked;
            }
            vorbis_comment_clear(&comment);
            vorbis_info_clear(&info);
        }
    }
    EXPECT_GT(checked, 1000u);
}

TEST(OggFraming, DamageIsPassedOverAndHolesReported)
{
    // A page whose bytes changed fails its checksum and is skipped; the stream notes the hole.
    const auto file = vmx::test::FixtureBytes("ogg/vorbis-44k-stereo.ogg");
    size_t pages = 0;
    const Streams good = ThroughModule(file, &pages);
    auto damaged = file;
    damaged[damaged.size() / 2] ^= 0x20;
    size_t damagedPages = 0;
    const Streams broken = ThroughModule(damaged, &damagedPages);
    EXPECT_EQ(damagedPages, pages - 1);
    const auto& packets = broken.at(1001);
    EXPECT_EQ(std::count_if(packets.begin(), packets.end(), [](const Packet& p) { return p.granule == -2; }), 1);
    EXPECT_LT(packets.size(), good.at(1001).size() + 1);
    // Headers the wrong way round, or one that is cut, are refused.
    const auto& headers = good.at(1001);
    KVorbisHeaders vorbis;
    EXPECT_FALSE(vorbis.Take(headers[0].bytes, false));  // must open the stream
    EXPECT_FALSE(vorbis.Take(headers[1].bytes, true));
    ASSERT_TRUE(vorbis.Take(headers[0].bytes, true));
    EXPECT_FALSE(vorbis.Take(std::span(headers[1].bytes).first(headers[1].bytes.size() / 2), false));
    ASSERT_TRUE(vorbis.Take(headers[1].bytes, false));
    EXPECT_EQ(vorbis.PacketBlockSize(headers[3].bytes), 0);  // no setup yet
    ASSERT_TRUE(vorbis.Take(headers[2].bytes, false));
    EXPECT_GT(vorbis.PacketBlockSize(headers[3].bytes), 0);
}

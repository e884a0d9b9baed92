// The native ASF parser on files written here byte by byte: compressed payloads, audio spread,
// error-correction data that is not accepted, stream selection by language and bitrate.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <map>
#include <filesystem>
#include <fstream>

#include "demux/asf/asf_read_handler.h"
#include "io/wide_text.h"
#include "tests/byte_writer.h"
#include "tests/fixture_reference.h"

namespace {

class Bytes : public vmx::test::ByteWriter<Bytes, vmx::test::ByteOrder::Little> {
public:
    Bytes& Guid(const GUID& g)
    {
        const auto* p = reinterpret_cast<const BYTE*>(&g);
        data.insert(data.end(), p, p + sizeof g);
        return *this;
    }
};

// An object: GUID, size, body.
std::vector<BYTE> Object(const GUID& guid, const std::vector<BYTE>& body)
{
    return Bytes().Guid(guid).U64(24 + body.size()).Raw(body).data;
}

constexpr std::uint32_t kPacket = 256;

struct AudioStream {
    std::uint16_t number;
    std::uint32_t bytesPerSecond;
    std::vector<BYTE> spread;  // error-correction data for Audio Spread, or empty
};

std::vector<BYTE> StreamProperties(const AudioStream& audio)
{
    Bytes wave;
    wave.U16(0x161).U16(2).U32(44100).U32(audio.bytesPerSecond).U16(1024).U16(16).U16(0);
    Bytes body;
    body.Guid(ASF_Audio_Media).Guid(audio.spread.empty() ? GUID{} : ASF_Audio_Spread).U64(0);
    body.U32(wave.data.size()).U32(audio.spread.size()).U16(audio.number).U32(0).Raw(wave.data).Raw(audio.spread);
    return Object(ASF_Stream_Properties_Object, body.data);
}

// A single-payload packet (no error-correction data): stream byte, media object number (byte),
// offset (u32), replicated data (byte length), then the payload, padded to the packet size.
std::vector<BYTE> Packet(std::uint16_t stream, bool key, std::uint32_t offset, const std::vector<BYTE>& replicated,
                         const std::vector<BYTE>& payload, BYTE firstByte = 0)
{
    Bytes p;
    if (firstByte)
        p.U8(firstByte).U8(0x03).U8(0);  // error-correction data the parser refuses
    // Length-type flags: padding length a u16; property flags: replicated byte, offset u32,
    // object number byte, stream number byte.
    p.U8(0x10).U8(0x5D);
    const size_t header = p.data.size() + 2 + 6 + 1 + 1 + 4 + 1 + replicated.size();
    p.U16(kPacket - header - payload.size()).U32(0).U16(0);
    p.U8((key ? 0x80 : 0) | stream).U8(0).U32(offset).U8(replicated.size()).Raw(replicated).Raw(payload);
    p.data.resize(kPacket, 0);
    return p.data;
}

std::vector<BYTE> Replicated(std::uint32_t size, std::uint32_t ms) { return Bytes().U32(size).U32(ms).data; }

std::filesystem::path WriteAsf(const std::vector<AudioStream>& streams, const std::vector<std::vector<BYTE>>& packets,
                               const std::vector<BYTE>& extension = {})
{
    Bytes file;
    file.Guid(GUID{}).U64(0).U64(0).U64(packets.size()).U64(30000000).U64(30000000).U64(0).U32(2).U32(kPacket).U32(kPacket).U32(0);
    std::vector<BYTE> children = Object(ASF_File_Properties_Object, file.data);
    for (const AudioStream& stream : streams) {
        const auto object = StreamProperties(stream);
        children.insert(children.end(), object.begin(), object.end());
    }
    children.insert(children.end(), extension.begin(), extension.end());
    Bytes header;
    header.U32(1 + streams.size() + (extension.empty() ? 0 : 1)).U8(1).U8(2).Raw(children);
    Bytes data;
    data.Guid(GUID{}).U64(packets.size()).U16(0x0101);
    for (const auto& packet : packets)
        data.Raw(packet);
    Bytes whole;
    whole.Raw(Object(ASF_Header_Object, header.data)).Raw(Object(ASF_Data_Object, data.data));
    const auto path = std::filesystem::temp_directory_path() / "vmx-asf-reader-test.asf";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(whole.data.data()), static_cast<std::streamsize>(whole.data.size()));
    return path;
}

std::vector<std::pair<AsfObject, std::vector<BYTE>>> ReadAll(KAsfExReadHandler& handler)
{
    std::vector<std::pair<AsfObject, std::vector<BYTE>>> objects;
    AsfObject object;
    while (handler.ReadNextObject(object)) {
        if (object.streamNumber == 0xFFFF)
            continue;
        std::vector<BYTE> bytes;
        EXPECT_TRUE(handler.CopyObject(object.streamNumber, bytes));
        objects.push_back({object, bytes});
    }
    return objects;
}

}  // namespace

TEST(AsfReader, CompressedPayloadsSpreadAudioAndRefusedErrorCorrection)
{
    // Stream 1: an object in two packets at 1000 ms (the time base is 1 s), then a compressed
    // payload of three sub-payloads 40 ms apart, after a packet whose error-correction data is
    // refused (the parser slides on to the next valid packet).
    const std::vector<BYTE> first(120, 0xA1), second(80, 0xA2);
    Bytes compressed;
    compressed.U8(3).Raw({1, 2, 3}).U8(2).Raw({4, 5}).U8(4).Raw({6, 7, 8, 9});
    std::vector<std::vector<BYTE>> packets = {
        Packet(1, true, 0, Replicated(200, 1000), first),
        Packet(1, true, 120, Replicated(200, 1000), second),
        Packet(1, true, 1100, {40}, compressed.data, 0x82),
    };
    auto path = WriteAsf({{1, 16000, {}}}, packets);
    {
        KAsfExReadHandler handler;
        ASSERT_TRUE(handler.Open(WideFromUtf8(path.string()).c_str()));
        EXPECT_EQ(handler.TimeBase(), 10000000);
        const auto objects = ReadAll(handler);
        ASSERT_EQ(objects.size(), 1u) << "the refused packet and its payloads are passed over";
        EXPECT_EQ(objects[0].first.size, 200u);
        EXPECT_EQ(objects[0].first.time, 0);
        EXPECT_EQ(objects[0].second.size(), 200u);
    }
    packets[2] = Packet(1, true, 1100, {40}, compressed.data);
    path = WriteAsf({{1, 16000, {}}}, packets);
    {
        KAsfExReadHandler handler;
        ASSERT_TRUE(handler.Open(WideFromUtf8(path.string()).c_str()));
        const auto objects = ReadAll(handler);
        ASSERT_EQ(objects.size(), 4u);
        EXPECT_EQ(objects[1].second, (std::vector<BYTE>{1, 2, 3}));
        EXPECT_EQ(objects[1].first.time, 1000000);
        EXPECT_EQ(objects[2].first.time, 1400000);
        EXPECT_EQ(objects[3].first.time, 1800000);
        EXPECT_EQ(objects[3].second, (std::vector<BYTE>{6, 7, 8, 9}));
    }

    // Audio spread with span 2, virtual packets of 8 bytes in chunks of 4: the object is read
    // back chunk column by chunk column.
    std::vector<BYTE> scrambled(16);
    for (BYTE i = 0; i < 16; ++i)
        scrambled[i] = i;
    const std::vector<BYTE> spread = Bytes().U8(2).U16(8).U16(4).U16(0).U8(0).data;
    path = WriteAsf({{1, 16000, spread}}, {Packet(1, true, 0, Replicated(16, 1000), scrambled)});
    {
        KAsfExReadHandler handler;
        ASSERT_TRUE(handler.Open(WideFromUtf8(path.string()).c_str()));
        const auto objects = ReadAll(handler);
        ASSERT_EQ(objects.size(), 1u);
        EXPECT_EQ(objects[0].second, (std::vector<BYTE>{0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15}));
    }
    std::filesystem::remove(path);
}

TEST(AsfReader, OneAudioStreamPerLanguageTheHigherBitrateWinning)
{
    // Streams 1 and 2 in English at 16 and 24 kB/s, stream 3 in French: 2 and 3 play.
    Bytes languages;
    languages.U16(2).U8(6).U16('e').U16('n').U16(0).U8(6).U16('f').U16('r').U16(0);
    std::vector<BYTE> nested = Object(ASF_Language_List_Object, languages.data);
    for (std::uint16_t number : {1, 2, 3}) {
        Bytes extended;
        extended.U64(0).U64(0).U32(0);
        for (int i = 0; i < 7; ++i)
            extended.U32(0);
        extended.U16(number).U16(number == 3 ? 1 : 0).U64(0).U16(0).U16(0);
        const auto object = Object(ASF_Extended_Stream_Properties_Object, extended.data);
        nested.insert(nested.end(), object.begin(), object.end());
    }
    Bytes extension;
    extension.Guid(GUID{}).U16(6).U32(nested.size()).Raw(nested);
    std::vector<std::vector<BYTE>> packets;
    for (std::uint16_t number : {1, 2, 3})
        packets.push_back(Packet(number, true, 0, Replicated(10, 1000), std::vector<BYTE>(10, static_cast<BYTE>(number))));
    const auto path = WriteAsf({{1, 16000, {}}, {2, 24000, {}}, {3, 8000, {}}}, packets,
                               Object(ASF_Header_Extension_Object, extension.data));
    KAsfExReadHandler handler;
    ASSERT_TRUE(handler.Open(WideFromUtf8(path.string()).c_str()));
    ASSERT_EQ(handler.StreamCount(), 3u);
    EXPECT_FALSE(handler.Stream(0).selected);
    EXPECT_TRUE(handler.Stream(1).selected);
    EXPECT_TRUE(handler.Stream(2).selected);
    EXPECT_EQ(handler.Stream(2).language, u"fr");
    const auto objects = ReadAll(handler);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].first.streamNumber, 2);
    EXPECT_EQ(objects[1].first.streamNumber, 3);
    std::filesystem::remove(path);
}

TEST(AsfReader, FixturesGiveFfprobesObjects)
{
    // Every selected stream's objects are ffprobe's packets: bytes, key flags, and times, which
    // ffprobe gives less the preroll and the parser less the whole second below the first one.
    const char* files[] = {"wmv2-wma2.wmv",     "wmv1-wma1.wmv",   "msmpeg4v3-mp3.asf",
                           "audio-only.wma",    "small-packets.wmv", "two-languages.wmv",
                           "two-audio-same-language.wmv", "keys-10s.wmv", "no-index.wmv",
                           "compressed-payloads.wmv", "spread-audio.wmv"};
    for (const std::string file : files) {
        SCOPED_TRACE(file);
        KAsfExReadHandler handler;
        ASSERT_TRUE(handler.Open(WideFromUtf8(vmx::test::kFixtureDir + "asf/" + file).c_str()));
        const LONGLONG shift = static_cast<LONGLONG>(handler.Header().fileProperties->preroll) * 10000 - handler.TimeBase();
        std::map<int, std::vector<std::pair<AsfObject, std::vector<BYTE>>>> byStream;
        for (auto& object : ReadAll(handler))
            byStream[object.first.streamNumber].push_back(std::move(object));
        const auto frames = vmx::test::LoadFrames("asf/" + file.substr(0, file.rfind('.')));
        for (const auto& [index, expected] : frames) {
            const KAsfEXReadStream& stream = handler.Stream(static_cast<size_t>(index));
            const auto& objects = byStream[stream.number];
            if (!stream.selected) {
                EXPECT_TRUE(objects.empty());
                continue;
            }
            ASSERT_EQ(objects.size(), expected.size()) << "stream " << stream.number;
            for (size_t k = 0; k < objects.size(); ++k) {
                SCOPED_TRACE(k);
                EXPECT_EQ(objects[k].second.size(), static_cast<size_t>(expected[k].size));
                EXPECT_EQ(adler32(1, objects[k].second.data(), static_cast<uInt>(objects[k].second.size())), expected[k].adler32);
                EXPECT_EQ(objects[k].first.key, expected[k].key);
                EXPECT_EQ(objects[k].first.time, expected[k].start + shift);
            }
        }
    }
    // Selection: both languages play; of two streams of one language the 128 kbit/s one.
    KAsfExReadHandler handler;
    ASSERT_TRUE(handler.Open(WideFromUtf8(vmx::test::kFixtureDir + "asf/two-audio-same-language.wmv").c_str()));
    EXPECT_FALSE(handler.Stream(1).selected);
    EXPECT_TRUE(handler.Stream(2).selected);
    EXPECT_EQ(handler.Stream(2).bitrate, 128000u);
    // A Simple Index where ffmpeg writes one (files with video), none for audio alone.
    ASSERT_TRUE(handler.Open(WideFromUtf8(vmx::test::kFixtureDir + "asf/keys-10s.wmv").c_str()));
    ASSERT_EQ(handler.SimpleIndexes().size(), 1u);
    EXPECT_EQ(handler.SimpleIndexes()[0].entries.size(), 15u);
    ASSERT_TRUE(handler.Open(WideFromUtf8(vmx::test::kFixtureDir + "asf/no-index.wmv").c_str()));
    EXPECT_TRUE(handler.SimpleIndexes().empty());
}

TEST(AsfReader, DamagedFilesResynchroniseOrEnd)
{
    struct Case {
        const char* file;
        size_t minimumObjects;  // of the intact file's 97
    };
    for (const Case& c : {Case{"damaged/truncated.wmv", 55}, Case{"damaged/garbage.wmv", 85}, Case{"damaged/zeroed-packet-header.wmv", 88}}) {
        SCOPED_TRACE(c.file);
        KAsfExReadHandler handler;
        ASSERT_TRUE(handler.Open(WideFromUtf8(vmx::test::kFixtureDir + "asf/" + c.file).c_str()));
        const auto objects = ReadAll(handler);
        EXPECT_GE(objects.size(), c.minimumObjects);
        EXPECT_LE(objects.size(), 97u);
    }
}

TEST(AsfReader, TruncatedFileKeepsTheWholeObjectsOfItsLastPacket)
{
    // The file ends halfway through a packet that holds whole objects before the cut. ffprobe
    // hands out the cut object too, as far as it goes; the parser keeps the whole ones alone:
    // the objects both tables agree on.
    const auto cut = vmx::test::LoadFrames("asf/damaged/truncated");
    const auto whole = vmx::test::LoadFrames("asf/wmv2-wma2");
    KAsfExReadHandler handler;
    ASSERT_TRUE(handler.Open(WideFromUtf8(vmx::test::kFixtureDir + "asf/damaged/truncated.wmv").c_str()));
    std::map<int, std::vector<std::vector<BYTE>>> byStream;
    for (auto& [object, bytes] : ReadAll(handler))
        byStream[object.streamNumber].push_back(std::move(bytes));
    for (const auto& [index, frames] : cut) {
        SCOPED_TRACE(index);
        size_t complete = 0;
        const auto& intact = whole.at(index);
        while (complete < frames.size() && complete < intact.size() && frames[complete].adler32 == intact[complete].adler32)
            ++complete;
        const auto& objects = byStream[handler.Stream(static_cast<size_t>(index)).number];
        ASSERT_EQ(objects.size(), complete);
        for (size_t k = 0; k < complete; ++k)
            EXPECT_EQ(adler32(1, objects[k].data(), static_cast<uInt>(objects[k].size())), frames[k].adler32) << k;
    }
}

TEST(AsfReader, ASeekBeforeTheIndexBuilderHasAnEntryStartsAtTheFirstPacket)
{
    // audio-only.wma has no Simple Index (it holds no video); a seek before the builder's first
    // entry reads from the first packet, all of it, instead of ending the pass with nothing.
    KAsfExReadHandler handler;
    ASSERT_TRUE(handler.Open(WideFromUtf8(vmx::test::kFixtureDir + "asf/audio-only.wma").c_str()));
    const size_t whole = ReadAll(handler).size();
    ASSERT_GT(whole, 10u);
    handler.SeekTo(5000000);
    EXPECT_EQ(ReadAll(handler).size(), whole);
}

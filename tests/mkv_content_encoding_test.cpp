// Matroska ContentEncodings: the records parsed from bytes built here (defaults, values, several
// encodings), and DecodeContent over zlib, header stripping, encryption, scopes and order.
#include <gtest/gtest.h>

#include <zlib.h>

#include "demux/mkv/content_encoding.h"
#include "demux/mkv/mkv_reader.h"
#include "tests/ebml_bytes.h"

namespace {

using namespace vmx::test;

// Writes an empty EBML header and a ContentEncodings element holding payload, and parses it.
std::vector<KMkvContentEncoding> ParseFromFile(const Bytes& payload)
{
    const MkvFile file(Concat({kEmptyEbmlHeader, El(content_encoding_id::kContentEncodings, payload)}));
    KMkvReader reader;
    EXPECT_EQ(file.Open(reader), S_OK);
    auto root = KEbmlElement::Root(reader);
    auto encodings = root->FirstChild(content_encoding_id::kContentEncodings);
    std::vector<KMkvContentEncoding> out;
    EXPECT_TRUE(encodings);
    if (encodings)
        ParseContentEncodings(*encodings, out);
    return out;
}

Bytes Compress(const Bytes& plain)
{
    uLongf size = compressBound(plain.size());
    Bytes packed(size);
    EXPECT_EQ(compress2(packed.data(), &size, plain.data(), plain.size(), Z_BEST_COMPRESSION), Z_OK);
    packed.resize(size);
    return packed;
}

Bytes Counting(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<BYTE>((i * 7) ^ (i >> 5));
    return bytes;
}

KMkvContentEncoding Encoding(std::uint64_t order, std::uint64_t scope, std::uint64_t type, std::uint64_t algo,
                             Bytes settings = {})
{
    KMkvContentEncoding encoding;
    encoding.order.value = order;
    encoding.scope.value = scope;
    encoding.type.value = type;
    encoding.compression.algo.value = algo;
    encoding.compression.settings = std::move(settings);
    return encoding;
}

constexpr unsigned kFrames = content_scope::kFrames;
constexpr unsigned kPrivate = content_scope::kCodecPrivate;
constexpr std::uint64_t kZlib = content_comp_algo::kZlib;
constexpr std::uint64_t kStrip = content_comp_algo::kHeaderStripping;

}  // namespace

TEST(MkvContentEncoding, RecordsTakeDefaultsAndParsedValues)
{
    const Bytes full = Concat({El(0x5031, {1}), El(0x5032, {3}), El(0x5033, {1}),
                               El(0x5034, Concat({El(0x4254, {3}), El(0x4255, {0xAA, 0xBB})})),
                               El(0x5035, Concat({El(0x47E1, {5}), El(0x47E2, {1, 2}), El(0x47E3, {3}),
                                                  El(0x47E4, {4, 4}), El(0x47E5, {2}), El(0x47E6, {1})})),
                               El(0xEC, {0})});
    const auto records = ParseFromFile(Concat({El(0x6240, {}), El(0xEC, {0, 0}), El(0x6240, full),
                                               El(0x6240, El(0x5034, El(0x4255, {9})))}));
    ASSERT_EQ(records.size(), 3u);

    const KMkvContentEncoding& empty = records[0];
    for (const CUInt* field : {&empty.order, &empty.scope, &empty.type, &empty.compression.algo,
                               &empty.encryption.algo, &empty.encryption.signatureAlgo,
                               &empty.encryption.signatureHashAlgo})
        EXPECT_TRUE(field->valid);
    EXPECT_EQ(empty.order.value, 0u);
    EXPECT_EQ(empty.scope.value, 1u);
    EXPECT_EQ(empty.type.value, 0u);
    EXPECT_EQ(empty.compression.algo.value, 0u);
    EXPECT_TRUE(empty.compression.settings.empty());

    const KMkvContentEncoding& parsed = records[1];
    EXPECT_EQ(parsed.order.value, 1u);
    EXPECT_EQ(parsed.scope.value, 3u);
    EXPECT_EQ(parsed.type.value, 1u);
    EXPECT_EQ(parsed.compression.algo.value, 3u);
    EXPECT_EQ(parsed.compression.settings, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(parsed.encryption.algo.value, 5u);
    EXPECT_EQ(parsed.encryption.keyId, (Bytes{1, 2}));
    EXPECT_EQ(parsed.encryption.signature, (Bytes{3}));
    EXPECT_EQ(parsed.encryption.signatureKeyId, (Bytes{4, 4}));
    EXPECT_EQ(parsed.encryption.signatureAlgo.value, 2u);
    EXPECT_EQ(parsed.encryption.signatureHashAlgo.value, 1u);

    // Settings alone: the algorithm keeps its default of zlib.
    EXPECT_EQ(records[2].compression.algo.value, 0u);
    EXPECT_EQ(records[2].compression.settings, (Bytes{9}));
    EXPECT_EQ(records[2].scope.value, 1u);
}

TEST(MkvContentEncoding, DecodeContentUndoesTheEncodingsInScope)
{
    const Bytes plain = {'m', 'k', 'v', ' ', 'z', 'l', 'i', 'b'};
    const Bytes big = Counting(5000);  // five full 1000-byte rounds, the end seen on a sixth call
    const Bytes odd = Counting(2345);
    const Bytes packed = Compress(plain);
    const Bytes packedBig = Compress(big);
    Bytes badChecksum = packed;
    badChecksum.back() ^= 1;
    const Bytes truncated(packedBig.begin(), packedBig.begin() + static_cast<std::ptrdiff_t>(packedBig.size() / 2));
    const Bytes zeros(5000, 0);
    const Bytes packedZeros = Compress(zeros);
    const Bytes header = {0x0F, 0xF1};
    const auto zlib = Encoding(0, kFrames, 0, kZlib);
    const auto strip = Encoding(1, kFrames, 0, kStrip, header);

    struct Case {
        const char* what;
        std::vector<KMkvContentEncoding> encodings;
        Bytes input;
        unsigned mask;
        bool ok;
        Bytes output;
        std::size_t cap = kMaxDecodedBytes;
    };
    const Case cases[] = {
        {"no encodings", {}, plain, kFrames, true, plain},
        {"zlib, a few bytes", {zlib}, packed, kFrames, true, plain},
        {"zlib, a multiple of the step", {zlib}, packedBig, kFrames, true, big},
        {"zlib, not a multiple of the step", {zlib}, Compress(odd), kFrames, true, odd},
        {"zlib, empty input", {zlib}, {}, kFrames, false, {}},
        {"zlib, bad header", {zlib}, {0x12, 0x34, 0x56}, kFrames, false, {0x12, 0x34, 0x56}},
        {"zlib, bad checksum", {zlib}, badChecksum, kFrames, false, badChecksum},
        {"zlib, at the cap", {zlib}, packedZeros, kFrames, true, zeros, zeros.size()},
        {"zlib, past the cap", {zlib}, packedZeros, kFrames, false, packedZeros, zeros.size() - 1},
        {"scope elsewhere", {Encoding(0, kPrivate, 0, kZlib)}, packed, kFrames, true, packed},
        {"scope in the mask", {Encoding(0, kPrivate, 0, kZlib)}, packed, kFrames | kPrivate, true, plain},
        {"encryption", {Encoding(0, kFrames, 1, kZlib)}, packed, kFrames, false, packed},
        {"type 2 skipped", {Encoding(0, kFrames, 2, 7)}, plain, kFrames, true, plain},
        {"header stripping", {strip}, plain, kFrames, false, Concat({header, plain})},
        {"unknown algorithm", {Encoding(0, kFrames, 0, 1)}, plain, kFrames, false, plain},
        // Highest order first, whatever their place in the list; the stripping ends the run.
        {"order 1 before order 0", {zlib, strip}, packed, kFrames, false, Concat({header, packed})},
        {"order 1 listed last", {strip, zlib}, packed, kFrames, false, Concat({header, packed})},
        {"order after a skip", {zlib, Encoding(1, kPrivate, 0, kStrip, header)}, packed, kFrames, true, plain},
        // Equal orders keep their list order, visited from the last.
        {"equal orders, zlib last", {Encoding(0, kFrames, 0, kStrip, header), zlib}, packed, kFrames, false,
         Concat({header, plain})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes buffer = c.input;
        EXPECT_EQ(DecodeContent(c.encodings, buffer, c.mask, c.cap), c.ok);
        EXPECT_EQ(buffer, c.output);
    }

    // A stream cut short gives what was inflated before the input ran out.
    Bytes buffer = truncated;
    ASSERT_TRUE(DecodeContent({zlib}, buffer, kFrames));
    EXPECT_FALSE(buffer.empty());
    EXPECT_LT(buffer.size(), big.size());
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), big.begin()));
}

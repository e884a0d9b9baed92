// ContentEncodings of a Matroska track (compression or encryption applied to its frames or its
// CodecPrivate) and the decoding of a buffer through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "demux/mkv/ebml_element.h"
#include "io/byte_buffer.h"

namespace content_encoding_id {
constexpr std::uint32_t kContentEncodings = 0x6D80;
constexpr std::uint32_t kContentEncoding = 0x6240;
}  // namespace content_encoding_id

namespace content_scope {
constexpr unsigned kFrames = 1;
constexpr unsigned kCodecPrivate = 2;
}  // namespace content_scope

namespace content_type {
constexpr std::uint64_t kCompression = 0;
constexpr std::uint64_t kEncryption = 1;
}  // namespace content_type

namespace content_comp_algo {
constexpr std::uint64_t kZlib = 0;
constexpr std::uint64_t kHeaderStripping = 3;
}  // namespace content_comp_algo

struct KMkvContentCompression {
    CUInt algo;
    std::vector<BYTE> settings;

    KMkvContentCompression();
    void Parse(KEbmlElement& contentCompression);
};

struct KMkvContentEncryption {
    CUInt algo;
    std::vector<BYTE> keyId;
    std::vector<BYTE> signature;
    std::vector<BYTE> signatureKeyId;
    CUInt signatureAlgo;
    CUInt signatureHashAlgo;

    KMkvContentEncryption();
    void Parse(KEbmlElement& contentEncryption);
};

struct KMkvContentEncoding {
    CUInt order;
    CUInt scope;  // content_scope bits
    CUInt type;   // content_type
    KMkvContentCompression compression;
    KMkvContentEncryption encryption;

    KMkvContentEncoding();
    void Parse(KEbmlElement& contentEncoding);
};

// Parses a ContentEncodings element: appends one record per ContentEncoding child.
void ParseContentEncodings(KEbmlElement& contentEncodings, std::vector<KMkvContentEncoding>& out);

// Inflated output beyond this is refused: a few kilobytes of zlib data in a file can claim
// gigabytes, and a frame or CodecPrivate is never near this size.
constexpr std::size_t kMaxDecodedBytes = std::size_t{256} << 20;

// Applies the track's encodings whose scope meets scopeMask, highest ContentEncodingOrder first.
// True when every such encoding was undone (or none applied). False on encryption, an unknown
// algorithm, damaged or oversized zlib data; and after header stripping, which still leaves the
// buffer restored so that frame callers may use it.
bool DecodeContent(const std::vector<KMkvContentEncoding>& encodings, std::vector<BYTE>& buffer, unsigned scopeMask,
                   std::size_t outputCap = kMaxDecodedBytes);
// The same for a frame buffer.
bool DecodeContent(const std::vector<KMkvContentEncoding>& encodings, KByteBuffer& buffer, unsigned scopeMask,
                   std::size_t outputCap = kMaxDecodedBytes);

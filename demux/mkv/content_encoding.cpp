#include "demux/mkv/content_encoding.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "demux/mkv/mkv_reader.h"

namespace {

// The output grows by this much per inflate call.
constexpr std::size_t kInflateStep = 1000;

// Replaces a zlib stream by its inflated bytes. A stream cut short yields what was inflated
// before the input ran out. Fails, leaving the buffer as it was, on damaged data or on output
// beyond outputCap.
bool Inflate(std::vector<BYTE>& buffer, std::size_t outputCap)
{
    if (buffer.size() > UINT_MAX)
        return false;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = buffer.data();
    stream.avail_in = static_cast<uInt>(buffer.size());
    std::vector<BYTE> output;
    int result = Z_OK;
    bool ok = true;
    do {
        // One byte of room past the cap tells output at the cap from output beyond it.
        const std::size_t room = outputCap - output.size();
        const std::size_t grow = room < kInflateStep ? room + 1 : kInflateStep;
        output.resize(output.size() + grow);
        stream.next_out = output.data() + output.size() - grow;
        stream.avail_out = static_cast<uInt>(grow);
        result = inflate(&stream, Z_NO_FLUSH);
        if ((result != Z_OK && result != Z_STREAM_END) || stream.total_out > outputCap) {
            ok = false;
            break;
        }
    } while (stream.avail_out == 0 && stream.avail_in > 0 && result != Z_STREAM_END);
    if (ok) {
        output.resize(stream.total_out);
        buffer.swap(output);
    }
    inflateEnd(&stream);
    return ok;
}

}  // namespace

KMkvContentCompression::KMkvContentCompression() { SetDefault(algo, content_comp_algo::kZlib); }

void KMkvContentCompression::Parse(KEbmlElement& contentCompression)
{
    ForEachChild(contentCompression, [this](KEbmlElement& field) {
        switch (field.id.value) {
        case 0x4254: algo.Read(field); break;
        case 0x4255: ReadEbmlBinary(field, settings); break;
        default: break;
        }
    });
}

KMkvContentEncryption::KMkvContentEncryption()
{
    SetDefault(algo, 0);
    SetDefault(signatureAlgo, 0);
    SetDefault(signatureHashAlgo, 0);
}

void KMkvContentEncryption::Parse(KEbmlElement& contentEncryption)
{
    ForEachChild(contentEncryption, [this](KEbmlElement& field) {
        switch (field.id.value) {
        case 0x47E1: algo.Read(field); break;
        case 0x47E2: ReadEbmlBinary(field, keyId); break;
        case 0x47E3: ReadEbmlBinary(field, signature); break;
        case 0x47E4: ReadEbmlBinary(field, signatureKeyId); break;
        case 0x47E5: signatureAlgo.Read(field); break;
        case 0x47E6: signatureHashAlgo.Read(field); break;
        default: break;
        }
    });
}

KMkvContentEncoding::KMkvContentEncoding()
{
    SetDefault(order, 0);
    SetDefault(scope, content_scope::kFrames);
    SetDefault(type, content_type::kCompression);
}

void KMkvContentEncoding::Parse(KEbmlElement& contentEncoding)
{
    ForEachChild(contentEncoding, [this](KEbmlElement& field) {
        switch (field.id.value) {
        case 0x5031: order.Read(field); break;
        case 0x5032: scope.Read(field); break;
        case 0x5033: type.Read(field); break;
        case 0x5034: compression.Parse(field); break;
        case 0x5035: encryption.Parse(field); break;
        default: break;
        }
    });
}

void ParseContentEncodings(KEbmlElement& contentEncodings, std::vector<KMkvContentEncoding>& out)
{
    ForEachChild(contentEncodings, [&out](KEbmlElement& child) {
        if (child.id.value != content_encoding_id::kContentEncoding)
            return;
        out.emplace_back();
        out.back().Parse(child);
    });
}

bool DecodeContent(const std::vector<KMkvContentEncoding>& encodings, std::vector<BYTE>& buffer, unsigned scopeMask,
                   std::size_t outputCap)
{
    std::vector<const KMkvContentEncoding*> byOrder;
    for (const KMkvContentEncoding& encoding : encodings)
        byOrder.push_back(&encoding);
    std::stable_sort(byOrder.begin(), byOrder.end(), [](const KMkvContentEncoding* a, const KMkvContentEncoding* b) {
        return a->order.value < b->order.value;
    });
    // The muxer applied the lowest order first, so the last applied is undone first.
    for (auto it = byOrder.rbegin(); it != byOrder.rend(); ++it) {
        const KMkvContentEncoding& encoding = **it;
        if ((encoding.scope.value & scopeMask) == 0)
            continue;
        if (encoding.type.value == content_type::kEncryption)
            return false;
        if (encoding.type.value != content_type::kCompression)
            continue;
        switch (encoding.compression.algo.value) {
        case content_comp_algo::kZlib:
            if (!Inflate(buffer, outputCap))
                return false;
            break;
        case content_comp_algo::kHeaderStripping:
            // Restored, yet reported as a failure: a CodecPrivate that needed it drops the track.
            buffer.insert(buffer.begin(), encoding.compression.settings.begin(), encoding.compression.settings.end());
            return false;
        default:
            return false;
        }
    }
    return true;
}

bool DecodeContent(const std::vector<KMkvContentEncoding>& encodings, KByteBuffer& buffer, unsigned scopeMask,
                   std::size_t outputCap)
{
    std::vector<BYTE> decoded(buffer.begin(), buffer.end());
    const bool ok = DecodeContent(encodings, decoded, scopeMask, outputCap);
    buffer.assign(decoded.begin(), decoded.end());
    return ok;
}

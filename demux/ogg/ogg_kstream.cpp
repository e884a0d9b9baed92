// KStream in Ogg: its two header packets, then its packets passed on as a byte stream.
#include "demux/ogg/ogg_stream_kinds.h"

#include <algorithm>
#include <array>

#include "framework/module_subtypes.h"

namespace ogg_kinds {
namespace {

class KOgg2KStream final : public KOGG2ReadStream {
public:
    explicit KOgg2KStream(int serial) : KOGG2ReadStream(OggStreamKind::KStream, serial) {}

    bool ParseHeader(const OggPacket& packet) override
    {
        const auto bytes = PacketBytes(packet);
        if (m_accepted >= 2 || bytes.empty() || (bytes[0] & 1) == 0)
            return false;
        ++m_accepted;
        if (bytes.size() >= 18 && SignatureAt(bytes, "KStream")) {
            std::copy_n(bytes.begin() + 1, m_id.size(), m_id.begin());
            m_flags = bytes[17];
            StoreHeader(std::min<size_t>(bytes[0] / 2, 2), packet);
        }
        return true;
    }

    bool GetMediaType(CMediaType* type) override
    {
        *type = CMediaType(&MEDIATYPE_Stream);
        type->SetSubtype(&MEDIASUBTYPE_KStream);
        type->SetFormatType(&GUID_NULL);
        return true;
    }

private:
    int m_accepted = 0;
    std::array<std::uint8_t, 16> m_id{};
    std::uint8_t m_flags = 0;
};

}  // namespace

std::unique_ptr<KOGG2ReadStream> MakeKStream(int serial) { return std::make_unique<KOgg2KStream>(serial); }

}  // namespace ogg_kinds

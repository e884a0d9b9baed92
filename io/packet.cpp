#include "io/packet.h"

#include "framework/media_type.h"

void KMediaTypeDeleter::operator()(AM_MEDIA_TYPE* mediaType) const
{
    DeleteMediaType(mediaType);
}

DWORD KPacket::GetSize() const
{
    return static_cast<DWORD>(payload.size());
}

DWORD KPacket2::GetSize() const
{
    return static_cast<DWORD>(payload.size());
}

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

void KPacket::Recycle()
{
    streamNumber = 0;
    discontinuity = syncPoint = continuation = FALSE;
    start = stop = PACKET_NO_TIME;
    payload.clear();
    mediaType.reset();
}

void KPacket2::Recycle()
{
    streamNumber = 0;
    discontinuity = syncPoint = continuation = FALSE;
    start = stop = PACKET_NO_TIME;
    mediaStart = mediaStop = 0;
    payload.clear();
    mediaType.reset();
}

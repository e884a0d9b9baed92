#include "module/pending_filter.h"

CPendingFilter::CPendingFilter(const WCHAR* name, IUnknown* outer, REFCLSID clsid, HRESULT* phr)
    : CDemuxFilterT<KPacket>(name, outer, clsid, phr, QueueLimits::Mkv)
{
}

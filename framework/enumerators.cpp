#include "framework/enumerators.h"

#include "framework/base_filter.h"
#include "framework/base_pin.h"

LONG CEnumPins::VersionOf(CBaseFilter* filter) { return filter->GetPinVersion(); }

bool CEnumPins::Fetch(CBaseFilter* filter, int position, IPin** pin)
{
    CBasePin* found = filter->GetPin(position);
    if (!found)
        return false;
    if (pin) {
        *pin = found;
        found->AddRef();
    }
    return true;
}

LONG CEnumMediaTypes::VersionOf(CBasePin* pin) { return pin->GetMediaTypeVersion(); }

bool CEnumMediaTypes::Fetch(CBasePin* pin, int position, AM_MEDIA_TYPE** type)
{
    CMediaType mt;
    if (pin->GetMediaType(position, &mt) != S_OK)
        return false;
    if (!type)
        return true;
    *type = CreateMediaType(&mt);
    return *type != nullptr;
}

// Filter setup data and its registration with the platform's filter mapper.
#pragma once

#include "framework/unknown.h"

using AMOVIESETUP_MEDIATYPE = REGPINTYPES;
using AMOVIESETUP_PIN = REGFILTERPINS;

struct AMOVIESETUP_FILTER {
    const CLSID* clsID;
    const WCHAR* strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN* lpPin;
};

// Registers (or, with doRegister FALSE, only unregisters) one filter with whichever mapper
// interface the caller obtained. "Not found" from the mapper counts as success: a filter that
// was never registered cannot be unregistered. Null setup data gives S_FALSE.
HRESULT RegisterFilterSetup(IFilterMapper2* mapper2, IFilterMapper* mapper, const AMOVIESETUP_FILTER* setup,
                            BOOL doRegister);

// The setup data the module's filter table holds for a class identifier, or null when the
// identifier is not one of the module's filters.
const AMOVIESETUP_FILTER* FindFilterSetup(REFCLSID clsid);

// Creates a filter mapper (IFilterMapper2, falling back to IFilterMapper) and runs
// RegisterFilterSetup for each entry; COM is initialised around the work.
HRESULT RegisterFiltersWithMapper(const AMOVIESETUP_FILTER* const* setups, int count, BOOL doRegister);

// The module's table of twelve filters: what the class factory creates and what registration
// writes, in table order.
#pragma once

#include "framework/class_ids.h"
#include "framework/setup.h"

class CUnknown;

using LPFNNewCOMObject = CUnknown* (*)(IUnknown* outer, HRESULT* phr);
using LPFNInitRoutine = void (*)(BOOL loading, const CLSID* clsid);

struct CFactoryTemplate {
    const WCHAR* m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;

    bool IsClassID(REFCLSID clsid) const { return *m_ClsID == clsid; }
    CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr) const { return m_lpfnNew(outer, phr); }
};

extern const CFactoryTemplate g_Templates[];
extern const int g_cTemplates;

// The template of a class identifier, or null (linear search in table order).
const CFactoryTemplate* FindTemplate(REFCLSID clsid);

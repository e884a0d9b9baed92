// The out-parameters of COM methods.
#pragma once

#include "platform/platform.h"

// Writes the value through the caller's pointer; E_POINTER when the caller gave none.
template <typename Out, typename Value>
HRESULT AnswerThrough(Out* out, const Value& value)
{
    if (!out)
        return E_POINTER;
    *out = static_cast<Out>(value);
    return S_OK;
}

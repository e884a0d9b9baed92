// UTF-16 <-> UTF-8 conversion for the system boundary.
#pragma once

#include <string>

#include "platform/types.h"

namespace vmx::posix {
std::string ToUtf8(const WCHAR* text, std::size_t count);
std::string ToUtf8(const WCHAR* text);
std::u16string FromUtf8(const char* text, std::size_t count);
}  // namespace vmx::posix

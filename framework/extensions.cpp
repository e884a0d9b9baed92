#include "framework/extensions.h"

#include <atomic>

namespace {

// -1: no override; 0 or 1: the override.
std::atomic<int> g_override{-1};

bool RegistrySaysOn()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kVmxSettingsKey, 0, KEY_READ, &key) != static_cast<LONG>(ERROR_SUCCESS))
        return false;
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LONG error = RegQueryValueExW(key, kVmxExtensionsValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return error == static_cast<LONG>(ERROR_SUCCESS) && type == REG_DWORD && size == sizeof value && value != 0;
}

}  // namespace

bool ExtensionsEnabled()
{
    const int forced = g_override.load();
    return forced >= 0 ? forced != 0 : RegistrySaysOn();
}

void OverrideExtensions(std::optional<bool> enabled)
{
    g_override = enabled ? (*enabled ? 1 : 0) : -1;
}

// The module-wide switch for what the filters' original design predates: newer codecs (HEVC, AV1,
// VP9, Opus, FLAC, E-AC-3, ...) and container features (fragmented MP4, edit lists). Off by
// default, so a player that does not ask gets exactly the classic behaviour.
#pragma once

#include <optional>

#include "platform/platform.h"

// Where a player turns the switch on: a nonzero REG_DWORD "Extensions" under this key of
// HKEY_CURRENT_USER.
inline constexpr const WCHAR* kVmxSettingsKey = WSTR("Software\\VMX");
inline constexpr const WCHAR* kVmxExtensionsValue = WSTR("Extensions");

// Read when a filter is created: the process override when one is set, else the registry.
bool ExtensionsEnabled();
// Turns the switch on or off for this process whatever the registry says (vmx --extensions,
// tests); nullopt returns to the registry.
void OverrideExtensions(std::optional<bool> enabled);

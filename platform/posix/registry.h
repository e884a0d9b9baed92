// The registry store behind the Reg* calls: HKEY_CLASSES_ROOT, with HKEY_CURRENT_USER as one
// top-level key of its name, kept in a text file in the .reg style so a person can read what
// registration wrote. VMX_REGISTRY names the file.
#pragma once

#include <string>

namespace vmx::posix {
// The file the registry lives in: $VMX_REGISTRY, else under the user's data directory.
std::string RegistryFilePath();
}  // namespace vmx::posix

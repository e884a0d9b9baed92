// Registry over a text file. Every call reloads and (when it changes something) rewrites the
// file under one process-wide lock, so separate processes and tests that point VMX_REGISTRY at
// their own file always see what is on disk.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/posix/registry.h"
#include "platform/posix/text.h"
#include "platform/win32.h"

struct VmxRegistryKey {
    std::string path;  // backslash-separated, no leading separator; empty for the root
};

namespace vmx::posix {

namespace {

struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Node {
    std::string name;                      // as first written
    std::map<std::string, Value> values;   // keyed by lower-case name; "" is the default value
    std::map<std::string, std::string> valueNames;
    std::map<std::string, std::unique_ptr<Node>> children;  // keyed by lower-case name
};

std::mutex registryLock;
VmxRegistryKey classesRoot;
// The user's settings share the file as one top-level key of that name; no class key is named so.
VmxRegistryKey currentUser{"HKEY_CURRENT_USER"};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> SplitPath(const std::string& path)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

std::string JoinPath(const std::string& base, const WCHAR* subKey)
{
    std::string sub = subKey ? ToUtf8(subKey) : std::string();
    if (base.empty())
        return sub;
    if (sub.empty())
        return base;
    return base + "\\" + sub;
}

Node* Find(Node& root, const std::string& path)
{
    Node* node = &root;
    for (const std::string& part : SplitPath(path)) {
        auto it = node->children.find(Lower(part));
        if (it == node->children.end())
            return nullptr;
        node = it->second.get();
    }
    return node;
}

Node* Create(Node& root, const std::string& path, bool* created)
{
    Node* node = &root;
    *created = false;
    for (const std::string& part : SplitPath(path)) {
        auto& slot = node->children[Lower(part)];
        if (!slot) {
            slot = std::make_unique<Node>();
            slot->name = part;
            *created = true;
        }
        node = slot.get();
    }
    return node;
}

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

void WriteNode(std::ostream& out, const Node& node, const std::string& path)
{
    if (!path.empty()) {
        out << "[" << path << "]\n";
        for (const auto& [key, value] : node.values) {
            const std::string& name = node.valueNames.at(key);
            out << (name.empty() ? std::string("@") : Quote(name)) << "=";
            if (value.type == REG_SZ) {
                std::u16string wide(value.data.size() / 2, u'\0');
                for (std::size_t i = 0; i < wide.size(); ++i)
                    wide[i] = static_cast<char16_t>(value.data[2 * i] | (value.data[2 * i + 1] << 8));
                while (!wide.empty() && wide.back() == 0)
                    wide.pop_back();
                out << Quote(ToUtf8(wide.data(), wide.size()));
            } else if (value.type == REG_DWORD && value.data.size() == 4) {
                char text[16];
                DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<DWORD>(value.data[3]) << 24);
                std::snprintf(text, sizeof text, "dword:%08x", v);
                out << text;
            } else {
                char text[8];
                std::snprintf(text, sizeof text, "hex(%x):", value.type);
                out << text;
                for (std::size_t i = 0; i < value.data.size(); ++i) {
                    std::snprintf(text, sizeof text, "%s%02x", i ? "," : "", value.data[i]);
                    out << text;
                }
            }
            out << "\n";
        }
        out << "\n";
    }
    for (const auto& [key, child] : node.children)
        WriteNode(out, *child, path.empty() ? child->name : path + "\\" + child->name);
}

bool ParseQuoted(const std::string& line, std::size_t& pos, std::string& out)
{
    if (pos >= line.size() || line[pos] != '"')
        return false;
    ++pos;
    out.clear();
    while (pos < line.size() && line[pos] != '"') {
        if (line[pos] == '\\' && pos + 1 < line.size())
            ++pos;
        out += line[pos++];
    }
    if (pos >= line.size())
        return false;
    ++pos;
    return true;
}

void SetValue(Node& node, const std::string& name, DWORD type, std::vector<BYTE> data)
{
    std::string key = Lower(name);
    node.valueNames[key] = name;
    node.values[key] = Value{type, std::move(data)};
}

std::vector<BYTE> WideBytes(const std::u16string& text)
{
    std::vector<BYTE> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// A damaged line is skipped: registration rewrites what it needs.
void Load(Node& root)
{
    std::ifstream in(RegistryFilePath());
    std::string line;
    Node* current = nullptr;
    bool created = false;
    while (std::getline(in, line)) {
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            current = Create(root, line.substr(1, line.size() - 2), &created);
            continue;
        }
        if (!current || line.empty())
            continue;
        std::size_t pos = 0;
        std::string name;
        if (line[0] == '@')
            pos = 1;
        else if (!ParseQuoted(line, pos, name))
            continue;
        if (pos >= line.size() || line[pos] != '=')
            continue;
        ++pos;
        std::string text;
        if (line.compare(pos, 1, "\"") == 0) {
            if (ParseQuoted(line, pos, text))
                SetValue(*current, name, REG_SZ, WideBytes(FromUtf8(text.data(), text.size())));
        } else if (line.compare(pos, 6, "dword:") == 0) {
            DWORD v = static_cast<DWORD>(std::strtoul(line.c_str() + pos + 6, nullptr, 16));
            SetValue(*current, name, REG_DWORD, {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)});
        } else if (line.compare(pos, 4, "hex(") == 0) {
            char* end = nullptr;
            DWORD type = static_cast<DWORD>(std::strtoul(line.c_str() + pos + 4, &end, 16));
            std::vector<BYTE> data;
            if (end && end[0] == ')' && end[1] == ':') {
                std::istringstream bytes(end + 2);
                std::string byte;
                while (std::getline(bytes, byte, ','))
                    if (!byte.empty())
                        data.push_back(static_cast<BYTE>(std::strtoul(byte.c_str(), nullptr, 16)));
                SetValue(*current, name, type, std::move(data));
            }
        }
    }
}

LONG Save(const Node& root)
{
    std::filesystem::path file(RegistryFilePath());
    std::error_code error;
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), error);
    std::filesystem::path temp = file;
    temp += ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out)
            return static_cast<LONG>(ERROR_ACCESS_DENIED);
        out << "; VMX registry: HKEY_CLASSES_ROOT\n\n";
        WriteNode(out, root, "");
        if (!out.flush())
            return static_cast<LONG>(ERROR_ACCESS_DENIED);
    }
    std::filesystem::rename(temp, file, error);
    return error ? static_cast<LONG>(ERROR_ACCESS_DENIED) : static_cast<LONG>(ERROR_SUCCESS);
}

const std::string* KeyPath(HKEY key)
{
    return key ? &key->path : nullptr;
}

}  // namespace

std::string RegistryFilePath()
{
    if (const char* path = std::getenv("VMX_REGISTRY"); path && *path)
        return path;
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        base = data;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/share";
    else
        base = ".";
    return base + "/vmx/registry.reg";
}

}  // namespace vmx::posix

using namespace vmx::posix;

HKEY VmxPredefinedClassesRoot() { return &classesRoot; }
HKEY VmxPredefinedCurrentUser() { return &currentUser; }

namespace {

constexpr LONG kSuccess = static_cast<LONG>(ERROR_SUCCESS);
constexpr LONG kNotFound = static_cast<LONG>(ERROR_FILE_NOT_FOUND);
constexpr LONG kBadParameter = static_cast<LONG>(ERROR_INVALID_PARAMETER);

// Runs one call on the tree as it is on disk, under the process-wide lock, and writes the
// file back when the call reports a change.
template <typename Operation>
LONG Transact(Operation operation)
{
    std::lock_guard lock(registryLock);
    Node root;
    Load(root);
    bool changed = false;
    LONG result = operation(root, changed);
    if (result == kSuccess && changed)
        result = Save(root);
    return result;
}

// As Transact, for a call on the values or children of one existing key.
template <typename Operation>
LONG TransactOnKey(const std::string& path, Operation operation)
{
    return Transact([&](Node& root, bool& changed) {
        Node* node = Find(root, path);
        return node ? operation(*node, changed) : kNotFound;
    });
}

std::string ValueKey(LPCWSTR valueName) { return valueName ? ToUtf8(valueName) : std::string(); }

}  // namespace

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, HKEY* result,
                     LPDWORD disposition)
{
    const std::string* base = KeyPath(key);
    if (!base || !result)
        return kBadParameter;
    std::string path = JoinPath(*base, subKey);
    bool created = false;
    LONG error = Transact([&](Node& root, bool& changed) {
        Create(root, path, &created);
        changed = created;
        return kSuccess;
    });
    if (error)
        return error;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = new VmxRegistryKey{path};
    return kSuccess;
}

LONG RegCreateKeyW(HKEY key, LPCWSTR subKey, HKEY* result)
{
    return RegCreateKeyExW(key, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, result, nullptr);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, HKEY* result)
{
    const std::string* base = KeyPath(key);
    if (!base || !result)
        return kBadParameter;
    std::string path = JoinPath(*base, subKey);
    LONG error = TransactOnKey(path, [](Node&, bool&) { return kSuccess; });
    if (!error)
        *result = new VmxRegistryKey{path};
    return error;
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size)
{
    const std::string* base = KeyPath(key);
    if (!base || (!data && size))
        return kBadParameter;
    return TransactOnKey(*base, [&](Node& node, bool& changed) {
        SetValue(node, ValueKey(valueName), type, std::vector<BYTE>(data, data + size));
        changed = true;
        return kSuccess;
    });
}

LONG RegSetValueW(HKEY key, LPCWSTR subKey, DWORD type, LPCWSTR data, DWORD)
{
    if (type != REG_SZ || !data)
        return kBadParameter;
    HKEY sub = nullptr;
    if (LONG error = RegCreateKeyW(key, subKey, &sub))
        return error;
    std::vector<BYTE> bytes = WideBytes(std::u16string(data));
    LONG error = RegSetValueExW(sub, nullptr, 0, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(sub);
    return error;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    const std::string* base = KeyPath(key);
    if (!base || (data && !size))
        return kBadParameter;
    return TransactOnKey(*base, [&](Node& node, bool&) {
        auto it = node.values.find(Lower(ValueKey(valueName)));
        if (it == node.values.end())
            return kNotFound;
        if (type)
            *type = it->second.type;
        DWORD needed = static_cast<DWORD>(it->second.data.size());
        if (data && *size < needed) {
            *size = needed;
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        if (data)
            std::copy(it->second.data.begin(), it->second.data.end(), data);
        if (size)
            *size = needed;
        return kSuccess;
    });
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPWSTR, LPDWORD, void*)
{
    const std::string* base = KeyPath(key);
    if (!base || !name || !nameLength)
        return kBadParameter;
    return TransactOnKey(*base, [&](Node& node, bool&) {
        if (index >= node.children.size())
            return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
        const std::string& childName = std::next(node.children.begin(), index)->second->name;
        std::u16string wide = FromUtf8(childName.data(), childName.size());
        if (wide.size() + 1 > *nameLength)
            return static_cast<LONG>(ERROR_MORE_DATA);
        wide.copy(name, wide.size());
        name[wide.size()] = 0;
        *nameLength = static_cast<DWORD>(wide.size());
        return kSuccess;
    });
}

LONG RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameLength)
{
    return RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    const std::string* base = KeyPath(key);
    if (!base)
        return kBadParameter;
    std::vector<std::string> parts = SplitPath(JoinPath(*base, subKey));
    if (parts.empty())
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
    std::string leaf = Lower(parts.back());
    parts.pop_back();
    std::string parentPath;
    for (const std::string& part : parts)
        parentPath += (parentPath.empty() ? "" : "\\") + part;
    return TransactOnKey(parentPath, [&](Node& parent, bool& changed) {
        auto it = parent.children.find(leaf);
        if (it == parent.children.end())
            return kNotFound;
        if (!it->second->children.empty())
            return static_cast<LONG>(ERROR_ACCESS_DENIED);  // as on the platform: subkeys go first
        parent.children.erase(it);
        changed = true;
        return kSuccess;
    });
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    const std::string* base = KeyPath(key);
    if (!base)
        return kBadParameter;
    std::string name = Lower(ValueKey(valueName));
    return TransactOnKey(*base, [&](Node& node, bool& changed) {
        if (!node.values.erase(name))
            return kNotFound;
        node.valueNames.erase(name);
        changed = true;
        return kSuccess;
    });
}

LONG RegCloseKey(HKEY key)
{
    if (!key)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (key != &classesRoot && key != &currentUser)
        delete key;
    return kSuccess;
}

// Stand-in backend only: the registry functions, platform.h's advapi32 subset over the
// in-memory store of regtree.h, saved to the machine's registry.reg after every change.
//
// Behaviour follows Windows 98, which the program was written for:
//  - no access checks: samDesired is recorded in the call log and otherwise ignored,
//    as Windows 98 has no key security;
//  - create options (REG_OPTION_VOLATILE) are ignored and every key is kept, as
//    Windows 98 does;
//  - RegDeleteKeyA removes the whole subtree.
//
// Handles are small integers from 1 upward, never reused while a registry is loaded,
// so a handle used after RegCloseKey gives ERROR_INVALID_HANDLE instead of silently
// reaching another key. A handle whose key (or an ancestor of it) was deleted gives
// ERROR_KEY_DELETED until it is closed. Loading or unloading the registry closes every
// handle. While no registry is loaded every call gives ERROR_INVALID_HANDLE.
//
// Persistence: a call that changes the tree and returns ERROR_SUCCESS has already
// written registry.reg (atomically, see SaveRegFile). When that save fails, the change
// is undone in memory and the call returns ERROR_WRITE_FAULT, so memory and file agree.
// Calls that change nothing never write the file. Tests reach the save failure path
// through the fault point "SaveRegistry" (FaultFor with the changed key's path).
#include "platform/standin/regstore/registry.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/standin/faults.h"
#include "platform/standin/hosttext.h"
#include "platform/standin/regstore/regfile.h"

namespace standin {
namespace {

using platform::DWORD;
using platform::HKEY;
using platform::LONG;

// RegCreateKeyExA's dispositions (REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY).
constexpr DWORD kCreatedNewKey = 1;
constexpr DWORD kOpenedExistingKey = 2;

struct Registry {
    std::unique_ptr<RegStore> store;
    FolderFile file;  // where the loaded registry is saved back; its folder held open while loaded
    // Open handles; a null key marks a handle whose key was deleted.
    std::unordered_map<HKEY, RegKey*> handles;
    HKEY nextHandle = 1;
};

Registry& Reg() {
    static Registry registry;
    return registry;
}

std::string HandleValueText(HKEY h) {
    RootId root;
    if (RootFromHandle(h, root)) return Hex(static_cast<std::uint32_t>(h));
    return Hex(static_cast<std::uint64_t>(static_cast<std::uintptr_t>(h)));
}

RootId RootOf(const RegKey& key) {
    const RegKey* k = &key;
    while (k->Parent() != nullptr) k = k->Parent();
    for (int i = 0; i < kRootCount; ++i) {
        if (k == &Reg().store->Root(static_cast<RootId>(i))) return static_cast<RootId>(i);
    }
    return RootId::LocalMachine;  // not reached: every key hangs below a root
}

// The key a handle refers to, or the status a call on it gives.
LONG Resolve(HKEY h, RegKey*& key) {
    key = nullptr;
    Registry& r = Reg();
    if (!r.store) return platform::ERROR_INVALID_HANDLE;
    RootId root;
    if (RootFromHandle(h, root)) {
        key = &r.store->Root(root);
        return platform::ERROR_SUCCESS;
    }
    const auto it = r.handles.find(h);
    if (it == r.handles.end()) return platform::ERROR_INVALID_HANDLE;
    if (it->second == nullptr) return platform::ERROR_KEY_DELETED;
    key = it->second;
    return platform::ERROR_SUCCESS;
}

// A handle as the call log shows it: the root's value and the key's path below it, so
// log lines do not depend on handle numbering ("0x80000002\Enum\INFRARED").
std::string HandleText(HKEY h) {
    RegKey* key;
    const LONG status = Resolve(h, key);
    if (status == platform::ERROR_KEY_DELETED) return HandleValueText(h) + " (deleted key)";
    if (status != platform::ERROR_SUCCESS) return HandleValueText(h);
    std::string text = HandleValueText(RootHandle(RootOf(*key)));
    const std::string path = key->FullPath();
    const std::size_t slash = path.find('\\');
    if (slash != std::string::npos) text += path.substr(slash);
    return text;
}

std::string Str(const char* s) {
    return s == nullptr ? std::string("NULL") : "\"" + std::string(s) + "\"";
}

std::string KeyPath(const RegKey* key) { return key == nullptr ? std::string() : key->FullPath(); }

std::string SubPath(const RegKey* key, const char* sub) {
    std::string path = KeyPath(key);
    if (key != nullptr && sub != nullptr && *sub != '\0') {
        path += '\\';
        path += sub;
    }
    return path;
}

HKEY NewHandle(RegKey* key) {
    Registry& r = Reg();
    const HKEY h = r.nextHandle++;
    r.handles[h] = key;
    return h;
}

// Runs one call: asks the fault table first, logs one line with the arguments and the
// result. `args()` gives the argument text and runs before the call, while the handle
// still describes its key; `keyPath()` gives the path faults match against. Neither runs
// when nothing needs it (logging off, no fault armed for `name`), so a plain call builds
// no strings.
template <class Args, class Where, class Body>
LONG Call(const char* name, Args&& args, Where&& keyPath, const std::string& valueName,
          Body&& body) {
    const bool logging = CallLogging();
    const std::string argText = logging ? args() : std::string();
    std::string detail;
    LONG status;
    try {
        status = FaultsArmed(name) ? FaultFor(name, keyPath(), valueName)
                                   : platform::ERROR_SUCCESS;
        if (status == platform::ERROR_SUCCESS) status = body(detail);
    } catch (const RaisedError& e) {
        if (logging) LogCall(std::string(name) + "(" + argText + ") raised " + std::to_string(e.Number));
        throw;
    } catch (...) {
        if (logging) LogCall(std::string(name) + "(" + argText + ") raised");
        throw;
    }
    if (logging) {
        std::string line = std::string(name) + "(" + argText + ") = " + std::to_string(status);
        if (!detail.empty()) line += " (" + detail + ")";
        LogCall(std::move(line));
    }
    return status;
}

// Saves the changed tree. On failure runs `undo` (which puts memory back as it was)
// and returns ERROR_WRITE_FAULT; `undo` also runs when anything on the way throws.
// When the new file is already in place (only the folder flush failed, or something
// raised after the rename), the restored tree is written again so that the file
// matches memory.
template <class Undo>
LONG Commit(const std::string& keyPath, std::string& detail, Undo&& undo) {
    Registry& r = Reg();
    bool replaced = false;
    auto restore = [&] {
        undo();
        std::string ignored;
        if (replaced) SaveRegFile(*r.store, r.file, ignored);
    };
    try {
        if (FaultFor("SaveRegistry", keyPath) != platform::ERROR_SUCCESS) {
            undo();
            detail = "saving the registry failed (injected)";
            return platform::ERROR_WRITE_FAULT;
        }
        std::string error;
        if (!SaveRegFile(*r.store, r.file, error, &replaced)) {
            detail = "saving the registry failed: " + error;
            restore();
            return platform::ERROR_WRITE_FAULT;
        }
    } catch (...) {
        restore();
        throw;
    }
    return platform::ERROR_SUCCESS;
}

// Walks `parts` from `key` as far as the keys exist; returns how many were found.
std::size_t WalkExisting(RegKey*& key, const std::vector<std::string_view>& parts) {
    std::size_t i = 0;
    for (; i < parts.size(); ++i) {
        const std::size_t found = key->FindSubkey(parts[i]);
        if (found == NameIndex::npos) break;
        key = &key->SubkeyAt(found);
    }
    return i;
}

// The type and data out-arguments shared by RegQueryValueExA and RegEnumValueA: a
// null data pointer only reports the size; a buffer too small gives ERROR_MORE_DATA
// with the size it needs.
LONG CopyValueData(const RegValue& value, DWORD* lpType, platform::BYTE* lpData, DWORD* lpcbData) {
    const auto size = static_cast<DWORD>(value.data.size());
    if (lpType != nullptr) *lpType = value.type;
    if (lpcbData == nullptr) return platform::ERROR_SUCCESS;
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return platform::ERROR_MORE_DATA;
        }
        if (size > 0) std::memcpy(lpData, value.data.data(), size);
    }
    *lpcbData = size;
    return platform::ERROR_SUCCESS;
}

}  // namespace

bool LoadRegistry(int folder, const std::string& name, const std::string& shown, std::string& error) {
    UnloadRegistry();
    Fd own(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!own) {
        error = "cannot open the registry file " + shown + ": " + std::strerror(errno);
        return false;
    }
    FolderFile file{std::move(own), name, shown};
    auto store = std::make_unique<RegStore>();
    if (!LoadRegFile(file, *store, error)) return false;
    Registry& r = Reg();
    r.store = std::move(store);
    r.file = std::move(file);
    return true;
}

bool LoadRegistry(const std::string& regFile, std::string& error) {
    const FolderFile file = OpenFolderOf(regFile);
    if (!file.dir) {
        const int err = errno;
        UnloadRegistry();
        error = "cannot open the registry file " + regFile + ": " + std::strerror(err);
        return false;
    }
    return LoadRegistry(file.dir.Get(), file.name, regFile, error);
}

void UnloadRegistry() {
    Registry& r = Reg();
    r.store.reset();
    r.file = FolderFile{};
    r.handles.clear();
}

}  // namespace standin

namespace platform {

using standin::Call;
using standin::HandleText;
using standin::Hex;
using standin::KeyPath;
using standin::RegKey;
using standin::Resolve;
using standin::Str;
using standin::SubPath;

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                     DWORD dwOptions, REGSAM samDesired,
                     const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/, HKEY* phkResult,
                     DWORD* lpdwDisposition) {
    RegKey* base;
    const LONG handleStatus = Resolve(hKey, base);
    auto args = [&] {
        return HandleText(hKey) + ", " + Str(lpSubKey) + ", " + std::to_string(Reserved) + ", " +
               Str(lpClass) + ", " + Hex(dwOptions) + ", " + Hex(samDesired);
    };
    auto body = [&](std::string& detail) -> LONG {
        if (handleStatus != ERROR_SUCCESS) return handleStatus;
        if (lpSubKey == nullptr || phkResult == nullptr || Reserved != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        std::vector<std::string_view> parts;
        const LONG pathStatus = standin::SplitKeyPath(lpSubKey, parts);
        if (pathStatus != ERROR_SUCCESS) return pathStatus;
        if (base->Depth() + parts.size() > standin::kMaxKeyDepth) return ERROR_INVALID_PARAMETER;

        RegKey* key = base;
        const std::size_t existing = standin::WalkExisting(key, parts);
        if (existing == parts.size()) {
            *phkResult = standin::NewHandle(key);
            if (lpdwDisposition != nullptr) *lpdwDisposition = standin::kOpenedExistingKey;
            detail = "opened existing";
            return ERROR_SUCCESS;
        }
        RegKey* firstParent = key;
        for (std::size_t i = existing; i < parts.size(); ++i) key = &key->AppendSubkey(parts[i]);
        const LONG saved = standin::Commit(key->FullPath(), detail, [&] {
            firstParent->DetachSubkey(firstParent->SubkeyCount() - 1);
        });
        if (saved != ERROR_SUCCESS) return saved;
        *phkResult = standin::NewHandle(key);
        if (lpdwDisposition != nullptr) *lpdwDisposition = standin::kCreatedNewKey;
        detail = "created";
        return ERROR_SUCCESS;
    };
    return Call("RegCreateKeyExA", args, [&] { return SubPath(base, lpSubKey); }, std::string(),
                body);
}

LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   HKEY* phkResult) {
    RegKey* base;
    const LONG handleStatus = Resolve(hKey, base);
    auto args = [&] {
        return HandleText(hKey) + ", " + Str(lpSubKey) + ", " + Hex(ulOptions) + ", " +
               Hex(samDesired);
    };
    auto body = [&](std::string& /*detail*/) -> LONG {
        if (handleStatus != ERROR_SUCCESS) return handleStatus;
        if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
        std::vector<std::string_view> parts;
        // A null subkey opens the key itself, like an empty one.
        const LONG pathStatus = standin::SplitKeyPath(lpSubKey == nullptr ? "" : lpSubKey, parts);
        if (pathStatus != ERROR_SUCCESS) return pathStatus;
        RegKey* key = base;
        if (standin::WalkExisting(key, parts) != parts.size()) return ERROR_FILE_NOT_FOUND;
        *phkResult = standin::NewHandle(key);
        return ERROR_SUCCESS;
    };
    return Call("RegOpenKeyExA", args, [&] { return SubPath(base, lpSubKey); }, std::string(),
                body);
}

LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
    RegKey* key;
    const LONG handleStatus = Resolve(hKey, key);
    auto args = [&] {
        return HandleText(hKey) + ", " + Str(lpValueName) + ", " + std::to_string(Reserved) +
               ", " + std::to_string(dwType) + ", " + std::to_string(cbData) + " bytes";
    };
    const std::string name = lpValueName == nullptr ? std::string() : std::string(lpValueName);
    auto body = [&](std::string& detail) -> LONG {
        if (handleStatus != ERROR_SUCCESS) return handleStatus;
        if (lpData == nullptr && cbData > 0) return ERROR_INVALID_PARAMETER;
        if (!standin::NameIsStorable(name)) return ERROR_INVALID_PARAMETER;
        std::vector<BYTE> data(lpData, lpData + (lpData == nullptr ? 0 : cbData));

        const std::size_t index = key->FindValue(name);
        if (index == standin::NameIndex::npos) {
            key->AppendValue(name, dwType, std::move(data));
            return standin::Commit(key->FullPath(), detail, [&] { key->RemoveLastValue(); });
        }
        standin::RegValue& value = key->ValueAt(index);
        if (value.type == dwType && value.data == data) return ERROR_SUCCESS;  // nothing changes
        const DWORD oldType = value.type;
        value.type = dwType;
        value.data.swap(data);  // `data` now holds the old bytes
        return standin::Commit(key->FullPath(), detail, [&] {
            value.type = oldType;
            value.data.swap(data);
        });
    };
    return Call("RegSetValueExA", args, [&] { return KeyPath(key); }, name, body);
}

LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                      BYTE* lpData, DWORD* lpcbData) {
    RegKey* key;
    const LONG handleStatus = Resolve(hKey, key);
    auto args = [&] {
        return HandleText(hKey) + ", " + Str(lpValueName) + ", " +
               (lpcbData == nullptr ? std::string("NULL") : std::to_string(*lpcbData) + " bytes");
    };
    const std::string name = lpValueName == nullptr ? std::string() : std::string(lpValueName);
    auto body = [&](std::string& detail) -> LONG {
        if (handleStatus != ERROR_SUCCESS) return handleStatus;
        if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
        if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
        const std::size_t index = key->FindValue(name);
        if (index == standin::NameIndex::npos) return ERROR_FILE_NOT_FOUND;
        const standin::RegValue& value = key->ValueAt(index);
        const auto size = static_cast<DWORD>(value.data.size());
        if (standin::CallLogging()) {
            detail = "type " + std::to_string(value.type) + ", " + std::to_string(size) + " bytes";
        }
        return standin::CopyValueData(value, lpType, lpData, lpcbData);
    };
    return Call("RegQueryValueExA", args, [&] { return KeyPath(key); }, name, body);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName,
                   DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    RegKey* key;
    const LONG handleStatus = Resolve(hKey, key);
    auto args = [&] {
        std::string text = HandleText(hKey) + ", " + std::to_string(dwIndex) + ", ";
        text += lpcchValueName == nullptr ? std::string("NULL") : std::to_string(*lpcchValueName);
        text += ", ";
        text += lpcbData == nullptr ? std::string("NULL") : std::to_string(*lpcbData) + " bytes";
        return text;
    };
    auto body = [&](std::string& detail) -> LONG {
        if (handleStatus != ERROR_SUCCESS) return handleStatus;
        if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
        if (dwIndex >= key->ValueCount()) return ERROR_NO_MORE_ITEMS;
        const standin::RegValue& value = key->ValueAt(dwIndex);
        const auto size = static_cast<DWORD>(value.data.size());
        if (standin::CallLogging()) {
            detail = "\"" + value.name + "\", type " + std::to_string(value.type) + ", " +
                     std::to_string(size) + " bytes";
        }
        // The name's buffer must hold the terminator too; its count is then left as it was.
        if (value.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
        std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
        *lpcchValueName = static_cast<DWORD>(value.name.size());
        return standin::CopyValueData(value, lpType, lpData, lpcbData);
    };
    return Call("RegEnumValueA", args, [&] { return KeyPath(key); }, std::string(), body);
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) {
    RegKey* key;
    const LONG handleStatus = Resolve(hKey, key);
    auto args = [&] {
        return HandleText(hKey) + ", " + std::to_string(dwIndex) + ", " + std::to_string(cchName);
    };
    auto body = [&](std::string& detail) -> LONG {
        if (handleStatus != ERROR_SUCCESS) return handleStatus;
        if (lpName == nullptr) return ERROR_INVALID_PARAMETER;
        if (dwIndex >= key->SubkeyCount()) return ERROR_NO_MORE_ITEMS;
        const std::string& name = key->SubkeyAt(dwIndex).Name();
        if (standin::CallLogging()) detail = "\"" + name + "\"";
        if (name.size() + 1 > cchName) return ERROR_MORE_DATA;
        std::memcpy(lpName, name.c_str(), name.size() + 1);
        return ERROR_SUCCESS;
    };
    return Call("RegEnumKeyA", args, [&] { return KeyPath(key); }, std::string(), body);
}

LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey) {
    RegKey* base;
    const LONG handleStatus = Resolve(hKey, base);
    auto args = [&] { return HandleText(hKey) + ", " + Str(lpSubKey); };
    auto body = [&](std::string& detail) -> LONG {
        if (handleStatus != ERROR_SUCCESS) return handleStatus;
        if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
        // An empty path names the key of the handle itself; a root cannot go, and the
        // program never deletes a key through its own handle, so both are refused.
        if (*lpSubKey == '\0') return ERROR_ACCESS_DENIED;
        std::vector<std::string_view> parts;
        const LONG pathStatus = standin::SplitKeyPath(lpSubKey, parts);
        if (pathStatus != ERROR_SUCCESS) return pathStatus;
        RegKey* key = base;
        if (standin::WalkExisting(key, parts) != parts.size()) return ERROR_FILE_NOT_FOUND;

        RegKey* parent = key->Parent();
        const std::size_t position = parent->FindSubkey(key->Name());
        std::unique_ptr<RegKey> subtree = parent->DetachSubkey(position);
        const LONG saved = standin::Commit(parent->FullPath(), detail, [&] {
            parent->InsertSubkey(position, std::move(subtree));
        });
        if (saved != ERROR_SUCCESS) return saved;
        // Handles into the removed subtree stay open but refer to a deleted key.
        for (auto& entry : standin::Reg().handles) {
            if (entry.second != nullptr && entry.second->IsWithin(*subtree)) entry.second = nullptr;
        }
        return ERROR_SUCCESS;
    };
    return Call("RegDeleteKeyA", args, [&] { return SubPath(base, lpSubKey); }, std::string(),
                body);
}

LONG RegCloseKey(HKEY hKey) {
    RegKey* key;
    const LONG handleStatus = Resolve(hKey, key);
    auto body = [&](std::string& /*detail*/) -> LONG {
        if (hKey == 0) return ERROR_INVALID_HANDLE;
        standin::RootId root;
        if (standin::RootFromHandle(hKey, root)) return handleStatus;  // closing a root is a no-op
        auto& handles = standin::Reg().handles;
        const auto it = handles.find(hKey);
        if (it == handles.end()) return ERROR_INVALID_HANDLE;
        handles.erase(it);  // also for a handle to a deleted key
        return ERROR_SUCCESS;
    };
    return Call("RegCloseKey", [&] { return HandleText(hKey); }, [&] { return KeyPath(key); },
                std::string(), body);
}

}  // namespace platform

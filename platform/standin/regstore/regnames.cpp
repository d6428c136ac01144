// Stand-in backend only: key paths and the six roots of the registry (regnames.h).
#include "platform/standin/regstore/regnames.h"

namespace standin {

// ---- Key paths -------------------------------------------------------------------------

platform::LONG SplitKeyPath(std::string_view path, std::vector<std::string_view>& parts) {
    parts.clear();
    if (path.empty()) return platform::ERROR_SUCCESS;
    if (path.front() == '\\') return platform::ERROR_BAD_PATHNAME;
    std::size_t start = 0;
    for (;;) {
        std::size_t stop = path.find('\\', start);
        if (stop == std::string_view::npos) stop = path.size();
        std::string_view part = path.substr(start, stop - start);
        if (part.empty()) return platform::ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyNameLength || !NameIsStorable(part)) {
            return platform::ERROR_INVALID_PARAMETER;
        }
        parts.push_back(part);
        if (stop == path.size()) return platform::ERROR_SUCCESS;
        start = stop + 1;
    }
}

// ---- Roots --------------------------------------------------------------------------------

namespace {

struct RootInfo {
    const char* name;
    platform::HKEY handle;
};

const RootInfo kRoots[kRootCount] = {
    {"HKEY_CLASSES_ROOT", platform::HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", platform::HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", platform::HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", platform::HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", platform::HKEY_CURRENT_CONFIG},
    {"HKEY_DYN_DATA", platform::HKEY_DYN_DATA},
};

}  // namespace

const char* RootName(RootId root) { return kRoots[static_cast<int>(root)].name; }

bool RootFromName(std::string_view name, RootId& root) {
    for (int i = 0; i < kRootCount; ++i) {
        if (NamesEqual(name, kRoots[i].name)) {
            root = static_cast<RootId>(i);
            return true;
        }
    }
    return false;
}

bool RootFromHandle(platform::HKEY handle, RootId& root) {
    for (int i = 0; i < kRootCount; ++i) {
        if (handle == kRoots[i].handle) {
            root = static_cast<RootId>(i);
            return true;
        }
    }
    return false;
}

platform::HKEY RootHandle(RootId root) { return kRoots[static_cast<int>(root)].handle; }

}  // namespace standin

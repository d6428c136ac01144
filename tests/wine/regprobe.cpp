// Test helper run inside the Wine prefix: prepares and reads the registry the way
// the program sees it, through the same ANSI entry points.
//
//   regprobe volatile PATH...   creates HKLM\PATH as a volatile key. A non-volatile
//                               key cannot be created below it, which makes the
//                               program's write there fail (Wine answers 1021).
//   regprobe dump PATH...       prints HKLM\PATH and everything below it:
//                                 K <path>
//                                 V <path>|<value name>|<type>|<data as hex>
//                               or "MISSING <path>" when the key does not exist.
// Exit status 0 when every step worked, 1 otherwise.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

std::string Hex(const BYTE* data, DWORD size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

bool Dump(HKEY parent, const std::string& name, const std::string& path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        std::printf("%s %s\n", status == ERROR_FILE_NOT_FOUND ? "MISSING" : "ERROR", path.c_str());
        return status == ERROR_FILE_NOT_FOUND;
    }
    std::printf("K %s\n", path.c_str());
    for (DWORD index = 0;; ++index) {
        char valueName[16384];
        DWORD nameSize = sizeof valueName;
        std::vector<BYTE> data(65536);
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        status = RegEnumValueA(key, index, valueName, &nameSize, nullptr, &type, data.data(), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            std::printf("ERROR %s value %lu: %ld\n", path.c_str(), index, status);
            RegCloseKey(key);
            return false;
        }
        std::printf("V %s|%s|%lu|%s\n", path.c_str(), valueName, type, Hex(data.data(), dataSize).c_str());
    }
    bool ok = true;
    for (DWORD index = 0;; ++index) {
        char child[256];
        status = RegEnumKeyA(key, index, child, sizeof child);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            ok = false;
            break;
        }
        ok = Dump(key, child, path + "\\" + child) && ok;
    }
    RegCloseKey(key);
    return ok;
}

bool MakeVolatile(const char* path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, &disposition);
    if (status != ERROR_SUCCESS || disposition != REG_CREATED_NEW_KEY) {
        // An existing key keeps its old, non-volatile nature: the fault would not happen.
        std::printf("volatile %s: status %ld, disposition %lu\n", path, status, disposition);
        if (key) RegCloseKey(key);
        return false;
    }
    RegCloseKey(key);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: regprobe volatile|dump PATH...\n");
        return 2;
    }
    bool ok = true;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[1], "volatile") == 0) {
            ok = MakeVolatile(argv[i]) && ok;
        } else if (std::strcmp(argv[1], "dump") == 0) {
            ok = Dump(HKEY_LOCAL_MACHINE, argv[i], argv[i]) && ok;
        } else {
            std::fprintf(stderr, "unknown command %s\n", argv[1]);
            return 2;
        }
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}

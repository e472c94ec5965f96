// A second process for the registry and loader tests.
//
//   set <key> <name> <value>       HKEY_CURRENT_USER\<key>: set a REG_SZ value
//   expect <key> <name> <value>    exit 0 if the value is there and equal,
//                                  1 if missing, 2 if different
//   hammer <key> <prefix> <count>  set <prefix>0 ... <prefix><count-1>, one
//                                  write each, with the value's own name as data
//   load <module>                  LoadLibraryA and exit without FreeLibrary
//
// Exit code 0 on success; 10 for bad arguments.
#include "winplat/winapi.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

LONG set_value(const char* key, const std::string& name, const std::string& value) {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
    return rc;
}

int expect_value(const char* key, const char* name, const char* expected) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return 1;
    char data[1024];
    DWORD size = sizeof data;
    const LONG rc =
        RegQueryValueExA(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return 1;
    return size == std::strlen(expected) + 1 && std::memcmp(data, expected, size) == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "set") == 0) {
        return set_value(argv[2], argv[3], argv[4]) == ERROR_SUCCESS ? 0 : 1;
    }
    if (argc == 5 && std::strcmp(argv[1], "expect") == 0) {
        return expect_value(argv[2], argv[3], argv[4]);
    }
    if (argc == 5 && std::strcmp(argv[1], "hammer") == 0) {
        const int count = std::atoi(argv[4]);
        for (int i = 0; i < count; ++i) {
            const std::string name = std::string(argv[3]) + std::to_string(i);
            if (set_value(argv[2], name, name) != ERROR_SUCCESS) return 1;
        }
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
        return LoadLibraryA(argv[2]) != nullptr ? 0 : 1;
    }
    return 10;
}

// The registry API on top of the on-disk store (registry_store.h).
//
// A key handle is a process-local object naming a key by its path under the
// registry root and remembering the identity of the key's directory, so that
// an operation on a handle whose key has since been deleted fails with
// ERROR_KEY_DELETED even if a key of the same name was created meanwhile.
// Handle values are never reused, so a closed handle stays invalid.
//
// Every operation takes the root's lock file (shared to read, exclusive to
// change), so processes sharing one registry see each change whole.
#include "winplat/winapi.h"

#include "registry_store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace {

using namespace winplat::registry;

// A change that a test has asked to fail: the countdown reaches it at 1.
std::atomic<DWORD> g_changes_until_fault{0};
std::atomic<LONG> g_change_fault_error{ERROR_SUCCESS};

// Counts one change; true (and the error to give) when it is the one to fail.
bool change_refused(LONG* rc) {
    DWORD n = g_changes_until_fault.load();
    while (n != 0 && !g_changes_until_fault.compare_exchange_weak(n, n - 1)) {
    }
    if (n != 1) return false;
    *rc = g_change_fault_error.load();
    return true;
}

constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

struct KeyHandle {
    std::string root;
    std::string rel;  // on-disk path below the root, e.g. "HKEY_CURRENT_USER/Software"
    KeyIdentity identity;
    REGSAM access = 0;
};

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<const KeyHandle>> keys;
    uintptr_t next = 0x1000;
};

// Never destroyed: a module may close keys from its process-detach
// notification, after this library's static objects would be gone.
HandleTable& handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

const char* predefined_hive(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    return nullptr;
}

REGSAM map_access(REGSAM sam) {
    REGSAM access = sam & KEY_ALL_ACCESS;
    if (sam & (kGenericRead | kGenericExecute)) access |= KEY_READ;
    if (sam & kGenericWrite) access |= KEY_WRITE;
    if (sam & (kGenericAll | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
    return access;
}

// The key an operation starts from.
struct Target {
    std::string root;
    std::string rel;
    KeyIdentity identity;
    REGSAM access = 0;
    bool predefined = false;

    std::string dir() const { return root + "/" + rel; }
};

LONG resolve(HKEY key, Target* target) {
    if (const char* hive = predefined_hive(key)) {
        target->root = root_from_environment();
        target->rel = hive;
        target->access = KEY_ALL_ACCESS;
        target->predefined = true;
    } else {
        std::shared_ptr<const KeyHandle> handle;
        {
            HandleTable& table = handles();
            std::lock_guard<std::mutex> lk(table.lock);
            auto it = table.keys.find(reinterpret_cast<uintptr_t>(key));
            if (it == table.keys.end()) return ERROR_INVALID_HANDLE;
            handle = it->second;
        }
        target->root = handle->root;
        target->rel = handle->rel;
        target->identity = handle->identity;
        target->access = handle->access;
        target->predefined = false;
    }
    return ensure_root(target->root);
}

// With the root lock held: the key the target names still exists.
LONG check_alive(const Target& target) {
    if (target.predefined) return ensure_root(target.root);
    KeyIdentity now;
    if (!identify(target.dir(), &now) || !(now == target.identity)) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// Splits "a\\b\\c" into its names. Empty names between separators are
// skipped, as Windows does; a leading separator is a bad path.
LONG split_path(LPCSTR path, std::vector<std::string>* parts) {
    parts->clear();
    if (path == nullptr) return ERROR_SUCCESS;
    if (path[0] == '\\') return ERROR_BAD_PATHNAME;
    const char* p = path;
    while (*p != '\0') {
        const char* end = std::strchr(p, '\\');
        const size_t len = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (len > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
        if (len > 0) parts->emplace_back(p, len);
        p += len;
        if (*p == '\\') ++p;
    }
    return ERROR_SUCCESS;
}

// With the root lock held: walks existing subkeys from the target.
LONG walk(const Target& target, const std::vector<std::string>& parts, std::string* rel) {
    *rel = target.rel;
    for (const std::string& part : parts) {
        const std::string child = find_subkey_dir(target.root + "/" + *rel, part);
        if (child.empty()) return ERROR_FILE_NOT_FOUND;
        *rel += "/" + child;
    }
    return ERROR_SUCCESS;
}

LONG new_handle(const std::string& root, const std::string& rel, REGSAM access, PHKEY result) {
    auto handle = std::make_shared<KeyHandle>();
    handle->root = root;
    handle->rel = rel;
    handle->access = map_access(access);
    if (!identify(root + "/" + rel, &handle->identity)) return ERROR_KEY_DELETED;
    HandleTable& table = handles();
    std::lock_guard<std::mutex> lk(table.lock);
    const uintptr_t value = table.next;
    table.next += 4;
    table.keys.emplace(value, std::move(handle));
    *result = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

std::vector<Value>::iterator find_value(std::vector<Value>& values, std::string_view name) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (names_equal(it->name, name)) return it;
    }
    return values.end();
}

FILETIME filetime_from_stat(const struct stat& st) {
    constexpr ULONGLONG kUnixEpochIn100ns = 116444736000000000ULL;
    const ULONGLONG t = kUnixEpochIn100ns +
                        static_cast<ULONGLONG>(st.st_mtim.tv_sec) * 10000000ULL +
                        static_cast<ULONGLONG>(st.st_mtim.tv_nsec) / 100ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

// The key a handle names, for a change: a change that a test has asked to
// fail fails here, before anything is looked at.
LONG resolve_for_change(HKEY hKey, Target* target) {
    LONG rc = ERROR_SUCCESS;
    if (change_refused(&rc)) return rc;
    return resolve(hKey, target);
}

// The key a handle names, and the names of the path below it.
LONG resolve_path(HKEY hKey, LPCSTR lpSubKey, bool change, Target* target,
                  std::vector<std::string>* parts) {
    const LONG rc = change ? resolve_for_change(hKey, target) : resolve(hKey, target);
    if (rc != ERROR_SUCCESS) return rc;
    return split_path(lpSubKey, parts);
}

// Holds the registry's lock for its life (shared to read, exclusive to
// change) and tells whether the target's key still exists under it.
class LockedKey {
  public:
    LockedKey(const Target& target, bool exclusive)
        : lock_(target.root, exclusive),
          status_(lock_.status() != ERROR_SUCCESS ? lock_.status() : check_alive(target)) {}
    LONG status() const { return status_; }

  private:
    RootLock lock_;
    LONG status_;
};

}  // namespace

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Target target;
    std::vector<std::string> parts;
    LONG rc = resolve_path(hKey, lpSubKey, true, &target, &parts);
    if (rc != ERROR_SUCCESS) return rc;
    LockedKey key(target, true);
    if (key.status() != ERROR_SUCCESS) return key.status();

    std::string rel = target.rel;
    bool created = false;
    for (const std::string& part : parts) {
        const std::string dir = target.root + "/" + rel;
        std::string child = find_subkey_dir(dir, part);
        created = child.empty();
        if (created) {
            list_subkey_dirs(dir, true);  // clear leftovers of interrupted changes
            child = escape_key_name(part);
            rc = create_key_dir(dir, child);
            if (rc != ERROR_SUCCESS) return rc;
        }
        rel += "/" + child;
    }
    rc = new_handle(target.root, rel, samDesired, phkResult);
    if (rc != ERROR_SUCCESS) return rc;
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    // Opening a predefined key itself hands the predefined handle back.
    if (predefined_hive(hKey) != nullptr && (lpSubKey == nullptr || lpSubKey[0] == '\0')) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    Target target;
    std::vector<std::string> parts;
    LONG rc = resolve_path(hKey, lpSubKey, false, &target, &parts);
    if (rc != ERROR_SUCCESS) return rc;
    LockedKey key(target, false);
    if (key.status() != ERROR_SUCCESS) return key.status();
    std::string rel;
    rc = walk(target, parts, &rel);
    if (rc != ERROR_SUCCESS) return rc;
    return new_handle(target.root, rel, samDesired, phkResult);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
    Target target;
    LONG rc = resolve_for_change(hKey, &target);
    if (rc != ERROR_SUCCESS) return rc;
    if ((target.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";

    LockedKey key(target, true);
    if (key.status() != ERROR_SUCCESS) return key.status();
    std::vector<Value> values;
    rc = read_values(target.dir(), &values);
    if (rc != ERROR_SUCCESS) return rc;
    auto it = find_value(values, name);
    if (it == values.end()) {
        values.emplace_back();
        it = values.end() - 1;
        it->name = std::string(name);
    }
    it->type = dwType;
    it->data.assign(reinterpret_cast<const char*>(lpData), lpData != nullptr ? cbData : 0);
    return write_values(target.dir(), values);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    Target target;
    LONG rc = resolve(hKey, &target);
    if (rc != ERROR_SUCCESS) return rc;
    if ((target.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";

    std::vector<Value> values;
    {
        LockedKey key(target, false);
        if (key.status() != ERROR_SUCCESS) return key.status();
        rc = read_values(target.dir(), &values);
        if (rc != ERROR_SUCCESS) return rc;
    }
    auto it = find_value(values, name);
    if (it == values.end()) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = it->type;
    const auto size = static_cast<DWORD>(it->data.size());
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, it->data.data(), size);
    }
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    Target target;
    std::vector<std::string> parts;
    LONG rc = resolve_path(hKey, lpSubKey, true, &target, &parts);
    if (rc != ERROR_SUCCESS) return rc;
    LockedKey key(target, true);
    if (key.status() != ERROR_SUCCESS) return key.status();
    std::string rel;
    rc = walk(target, parts, &rel);
    if (rc != ERROR_SUCCESS) return rc;
    const size_t slash = rel.find_last_of('/');
    if (slash == std::string::npos) return ERROR_ACCESS_DENIED;  // a predefined key
    // One key at a time: a key with subkeys stays.
    if (!list_subkey_dirs(target.root + "/" + rel, true).empty()) return ERROR_ACCESS_DENIED;
    return remove_key_dir(target.root + "/" + rel.substr(0, slash), rel.substr(slash + 1));
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Target target;
    LONG rc = resolve_for_change(hKey, &target);
    if (rc != ERROR_SUCCESS) return rc;
    if ((target.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";

    LockedKey key(target, true);
    if (key.status() != ERROR_SUCCESS) return key.status();
    std::vector<Value> values;
    rc = read_values(target.dir(), &values);
    if (rc != ERROR_SUCCESS) return rc;
    auto it = find_value(values, name);
    if (it == values.end()) return ERROR_FILE_NOT_FOUND;
    values.erase(it);
    return write_values(target.dir(), values);
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpClass != nullptr && lpcchClass == nullptr) return ERROR_INVALID_PARAMETER;
    Target target;
    LONG rc = resolve(hKey, &target);
    if (rc != ERROR_SUCCESS) return rc;
    if ((target.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;

    std::vector<std::string> names;
    struct stat st {};
    bool have_time = false;
    {
        LockedKey key(target, false);
        if (key.status() != ERROR_SUCCESS) return key.status();
        const std::string dir = target.dir();
        for (const std::string& entry : list_subkey_dirs(dir, false)) {
            names.push_back(unescape_key_name(entry));
        }
        std::sort(names.begin(), names.end(),
                  [](const std::string& a, const std::string& b) { return name_less(a, b); });
        if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
        if (lpftLastWriteTime != nullptr) {
            const std::string child = find_subkey_dir(dir, names[dwIndex]);
            have_time = !child.empty() && ::stat((dir + "/" + child).c_str(), &st) == 0;
        }
    }
    const std::string& name = names[dwIndex];
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr) {
        if (*lpcchClass < 1) return ERROR_MORE_DATA;
        lpClass[0] = '\0';
    }
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = have_time ? filetime_from_stat(st) : FILETIME{0, 0};
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    if (predefined_hive(hKey) != nullptr) return ERROR_SUCCESS;
    HandleTable& table = handles();
    std::lock_guard<std::mutex> lk(table.lock);
    return table.keys.erase(reinterpret_cast<uintptr_t>(hKey)) == 1 ? ERROR_SUCCESS
                                                                    : ERROR_INVALID_HANDLE;
}

}  // extern "C"

extern "C" void winplat_test_fail_registry_change(DWORD nth, LONG error) {
    g_change_fault_error.store(error);
    g_changes_until_fault.store(nth);
}

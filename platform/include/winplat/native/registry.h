/*
 * Native platform layer: the registry.
 *
 * A persistent, per-user registry stored as a directory tree: one directory
 * per key, the key's values in one file inside it. Key and value names are
 * case-insensitive and case-preserving. The location is $WINPLAT_REGISTRY
 * when set, else $XDG_DATA_HOME/winplat/registry, else
 * ~/.local/share/winplat/registry, read when an operation starts from a
 * predefined key (a test may point each process at a registry of its own).
 * HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are separate
 * trees; HKEY_CLASSES_ROOT is not a merged view of the two Software\Classes
 * keys as on Windows.
 *
 * Several processes may share one registry: each operation takes a lock
 * file at the root and each change is a single atomic step on disk, so a
 * reader sees a key as it was before or after a change, never between, and
 * a crash never leaves a value half-written. Handles are process-local;
 * operations on a handle whose key was deleted fail with ERROR_KEY_DELETED.
 * The access requested for a handle is enforced for value reads, value
 * writes and subkey enumeration. REG_OPTION_VOLATILE keys are kept like any
 * other key. Functions return their error and leave GetLastError alone.
 */
#ifndef WINPLAT_NATIVE_REGISTRY_H
#define WINPLAT_NATIVE_REGISTRY_H

#include "winplat/native/types.h"

WINPLAT_BEGIN_DECLS

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u

#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_OPTION_VOLATILE 0x00000001u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u

#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_EXECUTE 0x20019u
#define KEY_ALL_ACCESS 0xF003Fu

WINPLAT_API LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                        DWORD dwOptions, REGSAM samDesired,
                                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                        PHKEY phkResult, LPDWORD lpdwDisposition);
WINPLAT_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                      REGSAM samDesired, PHKEY phkResult);
WINPLAT_API LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                                       DWORD dwType, const BYTE* lpData, DWORD cbData);
WINPLAT_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
WINPLAT_API LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
WINPLAT_API LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
WINPLAT_API LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                      LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime);
WINPLAT_API LONG WINAPI RegCloseKey(HKEY hKey);

WINPLAT_END_DECLS

#endif /* WINPLAT_NATIVE_REGISTRY_H */

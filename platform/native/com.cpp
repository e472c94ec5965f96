// The COM runtime for in-process servers: per-thread initialisation, GUID
// strings, ProgID look-up and activation through the registry.
//
// Apartments are bookkeeping only: objects are always called directly,
// whatever ThreadingModel a class registers. A thread that has not
// initialised COM may still use it while some thread of the process is in
// the multithreaded apartment (the implicit MTA of Windows).
//
// Server libraries are loaded once per process and kept in a table, one
// LoadLibraryA reference each, until CoFreeUnusedLibraries finds that their
// DllCanUnloadNow answers S_OK. CoUninitialize unloads nothing: an object
// still referenced after it would otherwise run unmapped code.
#include "winplat/winapi.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
}

namespace {

// ---- apartments --------------------------------------------------------------

std::atomic<unsigned> g_mta_threads{0};

struct Apartment {
    unsigned count = 0;  // CoInitialize(Ex) calls not yet matched by CoUninitialize
    bool multithreaded = false;
    ~Apartment() {
        // A thread that ends inside the MTA leaves it.
        if (count > 0 && multithreaded) g_mta_threads.fetch_sub(1);
    }
};
thread_local Apartment t_apartment;

bool com_available() { return t_apartment.count > 0 || g_mta_threads.load() > 0; }

// ---- GUID strings ------------------------------------------------------------

constexpr size_t kGuidChars = CHARS_IN_GUID - 1;  // 38, without the terminating NUL

void format_guid(const GUID& g, char out[CHARS_IN_GUID]) {
    std::snprintf(out, CHARS_IN_GUID, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits of either case.
bool parse_guid(const std::string& s, GUID* out) {
    if (s.size() != kGuidChars || s.front() != '{' || s.back() != '}') return false;
    uint8_t bytes[16];
    size_t n = 0;
    for (size_t i = 1; i + 1 < s.size();) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (s[i] != '-') return false;
            ++i;
            continue;
        }
        const int hi = hex_value(s[i]);
        const int lo = hex_value(s[i + 1]);
        if (hi < 0 || lo < 0 || n == sizeof bytes) return false;
        bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    if (n != sizeof bytes) return false;
    out->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                 (uint32_t{bytes[2]} << 8) | bytes[3];
    out->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    out->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(out->Data4, bytes + 8, 8);
    return true;
}

// UTF-16 to UTF-8 (registry names are byte strings here).
std::string narrow(LPCOLESTR s) {
    std::string out;
    for (size_t i = 0; s[i] != 0; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// ---- registry look-ups -------------------------------------------------------

// The default value of HKEY_CLASSES_ROOT\`sub`, if it is a string.
bool read_default_string(const std::string& sub, std::string* out, DWORD* type) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = false;
    for (int attempt = 0; attempt < 4 && !ok; ++attempt) {
        DWORD size = 0;
        if (RegQueryValueExA(key, nullptr, nullptr, type, nullptr, &size) != ERROR_SUCCESS) break;
        if (*type != REG_SZ && *type != REG_EXPAND_SZ) break;
        std::string data(size, '\0');
        const LONG rc = RegQueryValueExA(key, nullptr, nullptr, type,
                                         reinterpret_cast<BYTE*>(data.data()), &size);
        if (rc == ERROR_MORE_DATA) continue;  // changed meanwhile
        if (rc != ERROR_SUCCESS) break;
        data.resize(size);
        *out = data.substr(0, data.find('\0'));
        ok = true;
    }
    RegCloseKey(key);
    return ok;
}

// %NAME% references of a REG_EXPAND_SZ value.
std::string expand_environment(const std::string& s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t end = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
        if (end == std::string::npos) {
            out.push_back(s[i++]);
            continue;
        }
        const std::string name = s.substr(i + 1, end - i - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        out += value != nullptr ? std::string(value) : s.substr(i, end - i + 1);
        i = end + 1;
    }
    return out;
}

HRESULT inproc_server_path(REFCLSID clsid, std::string* path) {
    char guid[CHARS_IN_GUID];
    format_guid(clsid, guid);
    DWORD type = REG_NONE;
    if (!read_default_string(std::string("CLSID\\") + guid + "\\InprocServer32", path, &type)) {
        return REGDB_E_CLASSNOTREG;
    }
    if (type == REG_EXPAND_SZ) *path = expand_environment(*path);
    return S_OK;
}

// ---- loaded servers ------------------------------------------------------------

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFn)(void);

template <class Fn>
Fn export_of(HMODULE module, const char* name) {
    // Through void(*)(void), the one function type any other converts from
    // without a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

struct Server {
    HMODULE module = nullptr;
    GetClassObjectFn get_class_object = nullptr;
    CanUnloadNowFn can_unload_now = nullptr;
    // Activations in progress and unload checks: a busy server stays.
    unsigned busy = 0;
};

// Lock order: never call the loader (LoadLibraryA, FreeLibrary) with `lock`
// held; a DllMain running under the loader lock may activate a class.
struct Servers {
    std::mutex lock;
    std::vector<std::unique_ptr<Server>> list;
};

Servers& servers() {
    static Servers* instance = new Servers;
    return *instance;
}

void release_server(Server* server) {
    Servers& s = servers();
    std::lock_guard<std::mutex> lk(s.lock);
    --server->busy;
}

// Loads the class's server (once per process) and asks it for the class
// object. On success `*held` is the server, kept busy until
// release_server(), so that it cannot be unloaded meanwhile.
HRESULT get_class_object(REFCLSID clsid, DWORD context, REFIID riid, LPVOID* ppv, Server** held) {
    *held = nullptr;
    if (!com_available()) return CO_E_NOTINITIALIZED;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    std::string path;
    HRESULT hr = inproc_server_path(clsid, &path);
    if (FAILED(hr)) return hr;

    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND);
    }
    auto get = export_of<GetClassObjectFn>(module, "DllGetClassObject");
    if (get == nullptr) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    auto can_unload = export_of<CanUnloadNowFn>(module, "DllCanUnloadNow");

    Server* server = nullptr;
    bool already_loaded = false;
    {
        Servers& s = servers();
        std::lock_guard<std::mutex> lk(s.lock);
        for (auto& entry : s.list) {
            if (entry->module == module) {
                server = entry.get();
                already_loaded = true;
            }
        }
        if (server == nullptr) {
            auto entry = std::make_unique<Server>();
            entry->module = module;
            entry->get_class_object = get;
            entry->can_unload_now = can_unload;
            server = entry.get();
            s.list.push_back(std::move(entry));
        }
        ++server->busy;
    }
    if (already_loaded) FreeLibrary(module);  // the table's reference keeps it

    hr = server->get_class_object(clsid, riid, ppv);
    *held = server;
    return hr;
}

}  // namespace

extern "C" {

BOOL STDAPICALLTYPE winplat_IsEqualGUID(const GUID* a, const GUID* b) {
    return std::memcmp(a, b, sizeof(GUID)) == 0;
}

HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    Apartment& apartment = t_apartment;
    const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
    if (apartment.count > 0) {
        if (apartment.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
        ++apartment.count;
        return S_FALSE;
    }
    apartment.count = 1;
    apartment.multithreaded = multithreaded;
    if (multithreaded) g_mta_threads.fetch_add(1);
    return S_OK;
}

HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void STDAPICALLTYPE CoUninitialize(void) {
    Apartment& apartment = t_apartment;
    if (apartment.count == 0) return;
    if (--apartment.count == 0 && apartment.multithreaded) g_mta_threads.fetch_sub(1);
}

HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                        REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    Server* server = nullptr;
    const HRESULT hr = get_class_object(rclsid, dwClsContext, riid, ppv, &server);
    if (server != nullptr) release_server(server);
    return hr;
}

HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                        REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    Server* server = nullptr;
    HRESULT hr = get_class_object(rclsid, dwClsContext, IID_IClassFactory,
                                  reinterpret_cast<LPVOID*>(&factory), &server);
    if (SUCCEEDED(hr) && factory != nullptr) {
        hr = factory->CreateInstance(pUnkOuter, riid, ppv);
        factory->Release();
    } else if (SUCCEEDED(hr)) {
        hr = E_NOINTERFACE;  // a server that reported success without a factory
    }
    // Busy until the factory is released: a server's DllCanUnloadNow need
    // not count its class factories.
    if (server != nullptr) release_server(server);
    return hr;
}

void STDAPICALLTYPE CoFreeUnusedLibraries(void) {
    Servers& s = servers();
    std::vector<Server*> candidates;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        for (auto& entry : s.list) {
            // A server without DllCanUnloadNow stays loaded.
            if (entry->busy == 0 && entry->can_unload_now != nullptr) {
                ++entry->busy;
                candidates.push_back(entry.get());
            }
        }
    }
    std::vector<HMODULE> unload;
    for (Server* server : candidates) {
        const HRESULT answer = server->can_unload_now();  // no lock across server code
        std::lock_guard<std::mutex> lk(s.lock);
        --server->busy;
        if (answer != S_OK || server->busy != 0) continue;
        for (auto it = s.list.begin(); it != s.list.end(); ++it) {
            if (it->get() == server) {
                unload.push_back(server->module);
                s.list.erase(it);
                break;
            }
        }
    }
    for (HMODULE module : unload) FreeLibrary(module);
}

HRESULT STDAPICALLTYPE CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    std::string value;
    DWORD type = REG_NONE;
    GUID clsid;
    if (!read_default_string(narrow(lpszProgID) + "\\CLSID", &value, &type) ||
        !parse_guid(value, &clsid)) {
        return CO_E_CLASSSTRING;
    }
    *lpclsid = clsid;
    return S_OK;
}

HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (pclsid == nullptr) return E_INVALIDARG;
    if (lpsz == nullptr) {
        *pclsid = GUID_NULL;
        return S_OK;
    }
    GUID clsid;
    if (parse_guid(narrow(lpsz), &clsid)) {
        *pclsid = clsid;
        return S_OK;
    }
    // Windows accepts a ProgID here too; anything else is CO_E_CLASSSTRING.
    return CLSIDFromProgID(lpsz, pclsid);
}

int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < CHARS_IN_GUID) return 0;
    char text[CHARS_IN_GUID];
    format_guid(rguid, text);
    for (int i = 0; i < CHARS_IN_GUID; ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
    return CHARS_IN_GUID;
}

}  // extern "C"

// Self-registration: the two ProgIDs, the class key with the module's path
// and the three interface keys under HKEY_CLASSES_ROOT.
#include "shell.h"

#include "afx/afx.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A 38-character identifier with braces, upper-case hexadecimal.
std::string GuidText(const GUID& guid) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return sz;
}

const char kDescription[] = "Global Horolog object.";
const char kDescriptionVersion[] = "Global Horolog object. (Ver 1.0)";
const char kProgId[] = "Horolog.Hx.1";
const char kVersionIndependentProgId[] = "Horolog.Hx";
const char kProxyStubClsid[] = "{00020420-0000-0000-C000-000000000046}";

// A value of a key: a null name is the default value.
struct Value {
    const char* pszName;
    std::string data;
};

// A key below a block's top key, with at most two values.
struct SubKey {
    const char* pszName;
    int nValues;
    Value values[2];
};

// One block of the layout: a key created directly under HKEY_CLASSES_ROOT,
// its default value, and the keys under it, in write order.
struct Block {
    std::string top;
    std::string description;
    int nSubKeys;
    SubKey subKeys[5];
};

// The full path of this module's own file, whatever its name: the module is
// found from an address inside it. Empty when it cannot be had.
std::string ModulePath() {
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&ModulePath), &hModule)) {
        return std::string();
    }
    // No fixed limit: the buffer grows until the whole path fits.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(hModule, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::string();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return std::string();
        path.resize(path.size() * 2);
    }
}

LONG CreateKey(HKEY hParent, const std::string& name, HKEY* phKey) {
    DWORD dwDisposition = 0;
    return RegCreateKeyExA(hParent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, phKey, &dwDisposition);
}

// REG_SZ with the terminating NUL counted in the length.
LONG SetText(HKEY hKey, const char* pszName, const std::string& data) {
    return RegSetValueExA(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1));
}

// Writes one block; false at the first key or value that cannot be written.
// Nothing is ever written into a key other than the one the layout names.
bool WriteBlock(const Block& block) {
    HKEY hTop = nullptr;
    if (CreateKey(HKEY_CLASSES_ROOT, block.top, &hTop) != ERROR_SUCCESS) return false;
    bool bOk = SetText(hTop, nullptr, block.description) == ERROR_SUCCESS;
    for (int i = 0; bOk && i < block.nSubKeys; ++i) {
        const SubKey& sub = block.subKeys[i];
        HKEY hSub = nullptr;
        if (CreateKey(hTop, sub.pszName, &hSub) != ERROR_SUCCESS) {
            bOk = false;
            break;
        }
        for (int v = 0; bOk && v < sub.nValues; ++v) {
            bOk = SetText(hSub, sub.values[v].pszName, sub.values[v].data) == ERROR_SUCCESS;
        }
        RegCloseKey(hSub);
    }
    RegCloseKey(hTop);
    return bOk;
}

}  // namespace

// Writes the layout block by block. The first key decides whether the
// registry can be written at all (nothing is written when it cannot); a
// later key or value that cannot be written stops the registration and is
// reported as a failure too, since the class would not be usable.
extern "C" HOROLOG_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void) {
    const std::string clsid = GuidText(CLSID_Horolog);
    const std::string path = ModulePath();
    if (path.empty()) {
        TRACE0("DllRegisterServer: The module's own path cannot be found.\n");
        return E_TIMERFAILURE;
    }

    const Block blocks[] = {
        {kVersionIndependentProgId,
         kDescription,
         3,
         {{"CLSID", 1, {{nullptr, clsid}}},
          {"CurVer", 1, {{nullptr, kProgId}}},
          {"NotInsertable", 0, {}}}},
        {kProgId,
         kDescriptionVersion,
         2,
         {{"CLSID", 1, {{nullptr, clsid}}}, {"NotInsertable", 0, {}}}},
        {"CLSID\\" + clsid,
         kDescriptionVersion,
         4,
         {{"InprocServer32", 2, {{nullptr, path}, {"ThreadingModel", "Apartment"}}},
          {"ProgID", 1, {{nullptr, kProgId}}},
          {"VersionIndependentProgID", 1, {{nullptr, kVersionIndependentProgId}}},
          {"NotInsertable", 0, {}}}},
        {"Interface\\" + GuidText(IID_IHorologSite),
         "IHorologSite",
         3,
         {{"NumMethods", 1, {{nullptr, "0"}}},
          {"ProxyStubClsid", 1, {{nullptr, kProxyStubClsid}}},
          {"ProxyStubClsid32", 1, {{nullptr, kProxyStubClsid}}}}},
        {"Interface\\" + GuidText(IID_IHorolog),
         "IHorolog",
         3,
         {{"NumMethods", 1, {{nullptr, "0"}}},
          {"ProxyStubClsid", 1, {{nullptr, kProxyStubClsid}}},
          {"ProxyStubClsid32", 1, {{nullptr, kProxyStubClsid}}}}},
        {"Interface\\" + GuidText(IID_ITimerSite),
         "ITimerSite",
         3,
         {{"NumMethods", 1, {{nullptr, "0"}}},
          {"ProxyStubClsid", 1, {{nullptr, kProxyStubClsid}}},
          {"ProxyStubClsid32", 1, {{nullptr, kProxyStubClsid}}}}},
    };

    for (const Block& block : blocks) {
        if (!WriteBlock(block)) {
            TRACE("DllRegisterServer: \"%s\" could not be written.\n", block.top.c_str());
            return E_TIMERFAILURE;
        }
    }
    return S_OK;
}

// Deletes each key by itself, leaves first. Only the first deletion decides
// the result: when "Horolog.Hx\CLSID" cannot be deleted the class is taken
// as not registered and nothing is touched. Every later deletion is tried
// whatever its outcome; a key that has gained a subkey of someone else's
// stays.
extern "C" HOROLOG_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    const std::string clsidKey = "CLSID\\" + GuidText(CLSID_Horolog);

    if (RegDeleteKeyA(HKEY_CLASSES_ROOT, "Horolog.Hx\\CLSID") != ERROR_SUCCESS) {
        TRACE0("DllUnregisterServer: The class is not registered.\n");
        return E_TIMERFAILURE;
    }
    std::string keys[] = {
        "Horolog.Hx\\CurVer",
        "Horolog.Hx\\NotInsertable",
        "Horolog.Hx",
        "Horolog.Hx.1\\CLSID",
        "Horolog.Hx.1\\NotInsertable",
        "Horolog.Hx.1",
        clsidKey + "\\InprocServer32",
        clsidKey + "\\ProgID",
        clsidKey + "\\VersionIndependentProgID",
        clsidKey + "\\NotInsertable",
        clsidKey,
    };
    for (const std::string& key : keys) RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
    for (const IID* piid : {&IID_IHorologSite, &IID_IHorolog, &IID_ITimerSite}) {
        const std::string interfaceKey = "Interface\\" + GuidText(*piid);
        for (const char* pszSub : {"\\NumMethods", "\\ProxyStubClsid", "\\ProxyStubClsid32", ""}) {
            RegDeleteKeyA(HKEY_CLASSES_ROOT, (interfaceKey + pszSub).c_str());
        }
    }
    return S_OK;
}

// A small in-process COM server for the COM runtime tests: the four standard
// exports, a class factory, and a trivial object. See com_test_ids.h.
#include "winplat/winapi.h"

#include "com_test_ids.h"
#include "test_exports.h"

#include <atomic>
#include <cstring>
#include <string>

#ifndef SELFREG_E_CLASS
#define SELFREG_E_CLASS static_cast<HRESULT>(0x80040201u)
#endif

using namespace comtest;

namespace {

std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

class TestObject : public ITestObject {
  public:
    TestObject() { ++live_objects; }
    virtual ~TestObject() { --live_objects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITestObject)) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<ITestObject*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetValue(int* value) override {
        if (value == nullptr) return E_POINTER;
        *value = kTestObjectValue;
        return S_OK;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

class Factory : public IClassFactory {
  public:
    explicit Factory(uint16_t behaviour) : behaviour_(behaviour) {}
    virtual ~Factory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        if (behaviour_ == kFailingFactory) return kCreateFailure;
        TestObject* object = new TestObject;
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++server_locks;
        } else {
            --server_locks;
        }
        return S_OK;
    }

  private:
    const uint16_t behaviour_;
    std::atomic<ULONG> refs_{1};
};

bool in_family(REFCLSID clsid) {
    return (clsid.Data1 & 0xFFFF0000u) == kFamilyData1 && clsid.Data2 == kFamilyData2 &&
           clsid.Data3 == kFamilyData3 && clsid.Data4[0] == kFamilyData4[0] &&
           clsid.Data4[1] == kFamilyData4[1];
}

const char server_anchor = 0;

std::string own_path() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            &server_anchor, &self)) {
        return std::string();
    }
    char path[1024];
    const DWORD n = GetModuleFileNameA(self, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

bool set_string(HKEY root, const std::string& key, const char* name, const std::string& value) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &k, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG rc = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
}

const std::string kClassKey = std::string("CLSID\\") + kRegisteredClsidString;

}  // namespace

TEST_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    const uint16_t behaviour = static_cast<uint16_t>(rclsid.Data1 & 0xFFFFu);
    if (!in_family(rclsid) || (behaviour != kGoodClass && behaviour != kFailingFactory)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    Factory* factory = new Factory(behaviour);
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

TEST_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
    return live_objects.load() == 0 && server_locks.load() == 0 ? S_OK : S_FALSE;
}

TEST_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void) {
    const std::string path = own_path();
    if (path.empty()) return SELFREG_E_CLASS;
    const bool ok =
        set_string(HKEY_CLASSES_ROOT, kClassKey, nullptr, "Winplat test server") &&
        set_string(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", nullptr, path) &&
        set_string(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", "ThreadingModel", "Both") &&
        set_string(HKEY_CLASSES_ROOT, std::string(kRegisteredProgId) + "\\CLSID", nullptr,
                   kRegisteredClsidString);
    return ok ? S_OK : SELFREG_E_CLASS;
}

// Fails when the server is not registered.
TEST_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
    if (RegDeleteKeyA(HKEY_CLASSES_ROOT, (kClassKey + "\\InprocServer32").c_str()) !=
        ERROR_SUCCESS) {
        return SELFREG_E_CLASS;
    }
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kClassKey.c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, (std::string(kRegisteredProgId) + "\\CLSID").c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kRegisteredProgId);
    return S_OK;
}

// The fixture of the tests that run with the Horolog module linked in.
#ifndef TESTS_SERVER_SERVER_FIXTURE_H
#define TESTS_SERVER_SERVER_FIXTURE_H

#include "server_test_support.h"

#include <gtest/gtest.h>

namespace servertest {

// An export of the linked module, looked up by its exact name.
template <typename F>
F Export(const char* pszName) {
    HMODULE hModule = GetModuleHandleA(kHorologFile);
    if (hModule == nullptr) return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

inline HRESULT CallDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return Export<PFN_DLLGETCLASSOBJECT>("DllGetClassObject")(rclsid, riid, ppv);
}
inline HRESULT CallDllCanUnloadNow() { return Export<PFN_DLLCANUNLOADNOW>("DllCanUnloadNow")(); }
inline HRESULT CallDllRegisterServer() {
    return Export<PFN_DLLREGISTERSERVER>("DllRegisterServer")();
}
inline HRESULT CallDllUnregisterServer() {
    return Export<PFN_DLLUNREGISTERSERVER>("DllUnregisterServer")();
}

// A class factory of the module, with the reference DllGetClassObject gave.
inline IClassFactory* NewFactory() {
    void* pv = nullptr;
    if (FAILED(CallDllGetClassObject(CLSID_Horolog, IID_IClassFactory, &pv))) return nullptr;
    return static_cast<IClassFactory*>(pv);
}

// Every test starts and ends with the class unregistered and no manager.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveHorologKeys();
        ASSERT_EQ(ReadCounters().objects, 0u) << "a manager outlived an earlier test";
    }
    void TearDown() override {
        RemoveHorologKeys();
        EXPECT_EQ(ReadCounters().objects, 0u) << "the test left a manager behind";
    }
    ComApartment m_com;
};

}  // namespace servertest

#endif  // TESTS_SERVER_SERVER_FIXTURE_H

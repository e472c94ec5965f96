// Identifiers shared by the COM tests and their test server.
//
// The server serves a family of class ids {7B3Fbbbb-51C2-4E6A-9D1E-tttttttttttt}:
// bbbb selects the behaviour of the class, and the tail is free, so that each
// test process can register classes nobody else uses (under Wine all test
// processes share one registry).
#ifndef TESTS_PLATFORM_COM_COM_TEST_IDS_H
#define TESTS_PLATFORM_COM_COM_TEST_IDS_H

#include "winplat/winapi.h"

#include <cstdint>

namespace comtest {

constexpr uint32_t kFamilyData1 = 0x7B3F0000u;
constexpr uint16_t kFamilyData2 = 0x51C2;
constexpr uint16_t kFamilyData3 = 0x4E6A;
constexpr uint8_t kFamilyData4[2] = {0x9D, 0x1E};

enum Behaviour : uint16_t {
    kGoodClass = 1,       // creates a TestObject
    kFailingFactory = 2,  // the factory's CreateInstance fails with kCreateFailure
    kUnservedClass = 3,   // DllGetClassObject answers CLASS_E_CLASSNOTAVAILABLE
};

inline CLSID make_clsid(uint16_t behaviour, const uint8_t tail[6]) {
    CLSID id;
    id.Data1 = kFamilyData1 | behaviour;
    id.Data2 = kFamilyData2;
    id.Data3 = kFamilyData3;
    id.Data4[0] = kFamilyData4[0];
    id.Data4[1] = kFamilyData4[1];
    for (int i = 0; i < 6; ++i) id.Data4[2 + i] = tail[i];
    return id;
}

// What DllRegisterServer registers: a good class and its ProgID.
constexpr uint8_t kRegisteredTail[6] = {0x5E, 0xC0, 0xDE, 0x00, 0x00, 0x01};
inline CLSID registered_clsid() { return make_clsid(kGoodClass, kRegisteredTail); }
constexpr const char* kRegisteredClsidString = "{7B3F0001-51C2-4E6A-9D1E-5EC0DE000001}";
constexpr const char* kRegisteredProgId = "WinplatTest.ComServer";

const IID IID_ITestObject = {0x7B3F00FF, 0x51C2, 0x4E6A, {0x9D, 0x1E, 0, 0, 0, 0, 0, 1}};

constexpr HRESULT kCreateFailure = static_cast<HRESULT>(0x80047001u);
constexpr int kTestObjectValue = 42;

// The object the good class creates.
struct ITestObject : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetValue(int* value) = 0;
};

}  // namespace comtest

#endif  // TESTS_PLATFORM_COM_COM_TEST_IDS_H

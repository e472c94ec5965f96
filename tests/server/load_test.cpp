// Loading and unloading the module: its start-up registers the counter
// report (and fails the load when it cannot), its exit takes the report
// back, and it exports exactly the five entry points by their plain names.
// This program does not link the module; it loads it at run time.
#include "server_test_support.h"

#include "kestrel/kestrel_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace servertest {
namespace {

const char* const kExports[] = {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer",
                                "DllUnregisterServer", "GetHorolog"};

int RegisteredFunctions() { return kestrel_testing::GetRegisteredFunctions(nullptr, 0); }

#if !WINPLAT_NATIVE
// The names in a loaded image's export directory.
std::set<std::string> ExportDirectoryNames(HMODULE hModule) {
    std::set<std::string> names;
    const BYTE* pBase = reinterpret_cast<const BYTE*>(hModule);
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0) return names;
    const auto* pExports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(pBase + dir.VirtualAddress);
    const auto* pNames = reinterpret_cast<const DWORD*>(pBase + pExports->AddressOfNames);
    for (DWORD i = 0; i < pExports->NumberOfNames; ++i) {
        names.insert(reinterpret_cast<const char*>(pBase + pNames[i]));
    }
    return names;
}
#endif

class ModuleLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(GetModuleHandleA(kHorologFile), nullptr) << "loaded before the test";
        ASSERT_EQ(RegisteredFunctions(), 0);
    }
    void TearDown() override { kestrel_testing::SetRegistrationFailure(KESTREL_S_OK); }
};

TEST_F(ModuleLoad, StartUpFailsWhenTheReportCannotBeRegistered) {
    kestrel_testing::SetRegistrationFailure(KESTREL_E_FAIL);
    SetLastError(ERROR_SUCCESS);
    HMODULE hModule = LoadLibraryA(HorologPath().c_str());
    const DWORD dwError = GetLastError();
    kestrel_testing::SetRegistrationFailure(KESTREL_S_OK);

    EXPECT_EQ(hModule, nullptr);
    EXPECT_EQ(dwError, static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(GetModuleHandleA(kHorologFile), nullptr) << "nothing of it stays loaded";
    EXPECT_EQ(RegisteredFunctions(), 0);
    if (hModule != nullptr) FreeLibrary(hModule);

    // With the database willing, the same module loads.
    hModule = LoadLibraryA(HorologPath().c_str());
    ASSERT_NE(hModule, nullptr) << GetLastError();
    EXPECT_EQ(RegisteredFunctions(), 1);
    EXPECT_TRUE(FreeLibrary(hModule));
}

TEST_F(ModuleLoad, LoadRegistersTheReportAndUnloadTakesItBack) {
    for (int cycle = 0; cycle < 2; ++cycle) {
        SCOPED_TRACE(cycle);
        HMODULE hModule = LoadLibraryA(HorologPath().c_str());
        ASSERT_NE(hModule, nullptr) << GetLastError();
        ASSERT_EQ(RegisteredFunctions(), 1);

        // The report reads the counters of a module with no manager.
        CPtrArray records;
        EXPECT_EQ(GetKestrel()->CollectClassSummaries(&records), KESTREL_S_OK);
        EXPECT_EQ(records.GetSize(), 5);
        Kestrel::FreeClassSummaries(&records);

        EXPECT_TRUE(FreeLibrary(hModule));
        EXPECT_EQ(GetModuleHandleA(kHorologFile), nullptr);
        EXPECT_EQ(RegisteredFunctions(), 0);
        EXPECT_EQ(GetKestrel()->CollectClassSummaries(&records), KESTREL_S_OK);
        EXPECT_EQ(records.GetSize(), 0);
    }
}

TEST_F(ModuleLoad, ExportsTheFiveEntryPointsByTheirPlainNames) {
    HMODULE hModule = LoadLibraryA(HorologPath().c_str());
    ASSERT_NE(hModule, nullptr) << GetLastError();
    for (const char* pszName : kExports) {
        EXPECT_NE(GetProcAddress(hModule, pszName), nullptr) << pszName;
    }
#if !WINPLAT_NATIVE
    // Nothing else, and no decorated forms.
    EXPECT_EQ(ExportDirectoryNames(hModule),
              std::set<std::string>(std::begin(kExports), std::end(kExports)));
#endif
    // The entry points work through their names.
    auto pfnCanUnload = reinterpret_cast<PFN_DLLCANUNLOADNOW>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, "DllCanUnloadNow")));
    ASSERT_NE(pfnCanUnload, nullptr);
    EXPECT_EQ(pfnCanUnload(), S_OK);
    EXPECT_TRUE(FreeLibrary(hModule));
}

}  // namespace
}  // namespace servertest

// Modules with their own copy of the framework (built from testmod.cpp).
// On Windows they are loaded with LoadLibraryA; natively they are linked
// into the test program, whose loading runs their DllMain.
#include <gtest/gtest.h>

#include <string>

#include "afx/afx.h"
#include "testmod.h"

namespace {

bool EventIsSet(const std::string& name) {
    HANDLE h = ::CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    if (h == nullptr) return false;
    const bool set = ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    ::CloseHandle(h);
    return set;
}

void ExpectOwnFrameworkCopy(const TestModuleInfo& info, const char* name) {
    EXPECT_STREQ(info.appName, name);
    EXPECT_NE(info.app, nullptr);
    EXPECT_NE(info.app, static_cast<void*>(AfxGetApp()));  // the program has none
    EXPECT_NE(info.moduleState, static_cast<void*>(AfxGetStaticModuleState()));
    EXPECT_EQ(info.initCalls, 1);
}

}  // namespace

#if !WINPLAT_NATIVE

namespace {
std::string ModulePath(const char* name) {
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    dir = dir.substr(0, dir.find_last_of("\\/") + 1);
    return dir + name + ".dll";
}
}  // namespace

TEST(ModuleDll, StartsWithItsOwnStateAndRunsTheExitHookOnUnload) {
    HMODULE h = ::LoadLibraryA(ModulePath("afx_testmod_ok").c_str());
    ASSERT_NE(h, nullptr) << ::GetLastError();
    auto query = reinterpret_cast<TestModuleQueryFn>(
        reinterpret_cast<void*>(::GetProcAddress(h, "afx_testmod_ok_query")));
    auto lock = reinterpret_cast<TestModuleLockFn>(
        reinterpret_cast<void*>(::GetProcAddress(h, "afx_testmod_ok_lock")));
    ASSERT_NE(query, nullptr);
    ASSERT_NE(lock, nullptr);

    TestModuleInfo info = {};
    query(&info);
    ExpectOwnFrameworkCopy(info, "afx_testmod_ok");
    EXPECT_EQ(info.instance, h);
    EXPECT_FALSE(info.startupFailed);
    EXPECT_EQ(info.exitCalls, 0);

    // Its locks are its own.
    EXPECT_EQ(lock(TRUE), S_FALSE);
    EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);
    EXPECT_EQ(lock(FALSE), S_OK);

    EXPECT_FALSE(EventIsSet("afx_testmod_ok-exit1"));
    ASSERT_TRUE(::FreeLibrary(h));
    EXPECT_TRUE(EventIsSet("afx_testmod_ok-exit1"));
    EXPECT_FALSE(EventIsSet("afx_testmod_ok-exit2"));
}

TEST(ModuleDll, FailedStartupFailsTheLoadAfterRunningTheExitHookOnce) {
    ::SetLastError(0);
    HMODULE h = ::LoadLibraryA(ModulePath("afx_testmod_fail").c_str());
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_TRUE(EventIsSet("afx_testmod_fail-init"));
    EXPECT_TRUE(EventIsSet("afx_testmod_fail-exit1"));
    EXPECT_FALSE(EventIsSet("afx_testmod_fail-exit2"));
}

#else  // native: linked in

#if defined(TESTMOD_LINKED_OK)
extern "C" void afx_testmod_ok_query(TestModuleInfo*);
extern "C" HRESULT afx_testmod_ok_lock(BOOL);

TEST(ModuleLinkedIn, StartsWithItsOwnState) {
    TestModuleInfo info = {};
    afx_testmod_ok_query(&info);
    ExpectOwnFrameworkCopy(info, "afx_testmod_ok");
    EXPECT_FALSE(info.startupFailed);
    EXPECT_EQ(info.exitCalls, 0);
    EXPECT_EQ(afx_testmod_ok_lock(TRUE), S_FALSE);
    EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);
    EXPECT_EQ(afx_testmod_ok_lock(FALSE), S_OK);
}
#endif

#if defined(TESTMOD_LINKED_FAIL)
extern "C" void afx_testmod_fail_query(TestModuleInfo*);

TEST(ModuleLinkedIn, FailedStartupRanTheExitHookOnceAndMarksTheModule) {
    TestModuleInfo info = {};
    afx_testmod_fail_query(&info);
    ExpectOwnFrameworkCopy(info, "afx_testmod_fail");
    EXPECT_TRUE(info.startupFailed);
    EXPECT_EQ(info.exitCalls, 1);
    EXPECT_FALSE(AfxModuleStartupFailed());  // the program's own start-up is unaffected
}
#endif

#endif

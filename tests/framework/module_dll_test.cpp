// Modules with their own copy of the framework (built from testmod.cpp).
// They are loaded with LoadLibraryA, whose loader runs their DllMain.
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

namespace {

// The modules sit beside the test program.
std::string ModulePath(const char* name) {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    dir = dir.substr(0, dir.find_last_of("\\/") + 1);
#if WINPLAT_NATIVE
    return dir + name + ".so";
#else
    return dir + name + ".dll";
#endif
}

template <typename Fn>
Fn Export(HMODULE h, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(h, name)));
}

}  // namespace

TEST(ModuleDll, StartsWithItsOwnStateAndRunsTheExitHookOnUnload) {
    HMODULE h = ::LoadLibraryA(ModulePath("afx_testmod_ok").c_str());
    ASSERT_NE(h, nullptr) << ::GetLastError();
    auto query = Export<TestModuleQueryFn>(h, "afx_testmod_ok_query");
    auto lock = Export<TestModuleLockFn>(h, "afx_testmod_ok_lock");
    ASSERT_NE(query, nullptr);
    ASSERT_NE(lock, nullptr);

    TestModuleInfo info = {};
    query(&info);
    ExpectOwnFrameworkCopy(info, "afx_testmod_ok");
    EXPECT_EQ(info.instance, h);
    EXPECT_FALSE(info.startupFailed);
    EXPECT_EQ(info.exitCalls, 0);
    EXPECT_TRUE(EventIsSet("afx_testmod_ok-init"));

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

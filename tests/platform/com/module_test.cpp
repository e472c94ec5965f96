// The loader: loading and freeing modules with their entry-point
// notifications, look-ups by name, address and handle, and the failures.
// WinplatTestModule depends on WinplatTestDependency; both record their
// DllMain calls and static objects in the load probe.
#include "winplat/winapi.h"

#include "com_test_support.h"
#include "load_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace comtest;

extern "C" int winplat_startup_module_attach_calls(void);
extern "C" int winplat_startup_module_reserved_nonnull(void);

namespace {

const std::string kModule = "WinplatTestModule";
const std::string kDependency = "WinplatTestDependency";

std::vector<std::string> events() {
    std::vector<std::string> list;
    char buffer[128];
    for (int i = 0; probe_event(i, buffer, sizeof buffer); ++i) list.emplace_back(buffer);
    return list;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> list;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) list.push_back(line);
        start = end + 1;
    }
    return list;
}

// Position of an event in the list; -1 when absent.
int position(const std::vector<std::string>& list, const std::string& event) {
    auto it = std::find(list.begin(), list.end(), event);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

int count(const std::vector<std::string>& list, const std::string& event) {
    return static_cast<int>(std::count(list.begin(), list.end(), event));
}

template <class Fn>
Fn export_of(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        probe_clear();
        probe_set_attach_failure("mod", false);
        probe_set_attach_failure("dep", false);
    }
    void TearDown() override {
        // Leave nothing loaded for the next test.
        for (int i = 0; i < 8; ++i) {
            HMODULE m = GetModuleHandleA((kModule + kModuleExt).c_str());
            if (m == nullptr || !FreeLibrary(m)) break;
        }
    }
};

TEST_F(Loader, LoadRunsTheEntryPointsDependenciesFirstAndFreeUndoesThem) {
    HMODULE module = LoadLibraryA((kModule + kModuleExt).c_str());
    ASSERT_NE(nullptr, module) << GetLastError();
    auto value = export_of<int (*)(void)>(module, "winplat_test_module_value");
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(42, value());  // calls into the dependency

    std::vector<std::string> log = events();
    EXPECT_EQ(1, count(log, "mod:attach:dynamic"));
    EXPECT_EQ(1, count(log, "dep:attach:dynamic"));
    // Each module's static objects exist before its DllMain runs, and a
    // dependency is attached before the module that needs it.
    EXPECT_LT(position(log, "mod:ctor"), position(log, "mod:attach:dynamic"));
    EXPECT_LT(position(log, "dep:ctor"), position(log, "dep:attach:dynamic"));
    EXPECT_LT(position(log, "dep:attach:dynamic"), position(log, "mod:attach:dynamic"));

    probe_clear();
    EXPECT_TRUE(FreeLibrary(module));
    log = events();
    EXPECT_EQ(1, count(log, "mod:detach:free"));
    EXPECT_EQ(1, count(log, "dep:detach:free"));
    // Detach comes before static destruction, the module before its dependency.
    EXPECT_LT(position(log, "mod:detach:free"), position(log, "mod:dtor"));
    EXPECT_LT(position(log, "dep:detach:free"), position(log, "dep:dtor"));
    EXPECT_LT(position(log, "mod:detach:free"), position(log, "dep:detach:free"));

    EXPECT_EQ(nullptr, GetModuleHandleA((kModule + kModuleExt).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, GetModuleHandleA((kDependency + kModuleExt).c_str()));
}

TEST_F(Loader, ModulesAreCountedAndAttachedOncePerLoad) {
    HMODULE first = LoadLibraryA((kModule + kModuleExt).c_str());
    ASSERT_NE(nullptr, first);
    // The same module by its bare name, another case, and its full path.
    HMODULE second = LoadLibraryA(kModule.c_str());
    HMODULE third = LoadLibraryA(module_path(kModule).c_str());
    std::string upper = kModule + kModuleExt;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, third);
    EXPECT_EQ(first, GetModuleHandleA(upper.c_str()));
    EXPECT_EQ(first, GetModuleHandleA(kModule.c_str()));
    // The Windows name finds the module on every platform.
    EXPECT_EQ(first, GetModuleHandleA((kModule + ".dll").c_str()));
    EXPECT_EQ(1, count(events(), "mod:attach:dynamic"));

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(first, GetModuleHandleA((kModule + kModuleExt).c_str()));
    EXPECT_EQ(0, count(events(), "mod:detach:free"));

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(1, count(events(), "mod:detach:free"));
    EXPECT_EQ(nullptr, GetModuleHandleA((kModule + kModuleExt).c_str()));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

    // A new load attaches again.
    HMODULE again = LoadLibraryA((kModule + kModuleExt).c_str());
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(2, count(events(), "mod:attach:dynamic"));
    EXPECT_TRUE(FreeLibrary(again));
}

TEST_F(Loader, FailedInitialisationUnloadsTheModule) {
    probe_set_attach_failure("mod", true);
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA((kModule + kModuleExt).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DLL_INIT_FAILED), GetLastError());

    std::vector<std::string> log = events();
    // As Windows documents: the refusing module is told to detach at once.
    EXPECT_EQ(1, count(log, "mod:attach:dynamic"));
    EXPECT_EQ(1, count(log, "mod:detach:free"));
    EXPECT_LT(position(log, "mod:attach:dynamic"), position(log, "mod:detach:free"));
    // The dependency it pulled in went with it.
    EXPECT_EQ(count(log, "dep:attach:dynamic"), count(log, "dep:detach:free"));
    EXPECT_EQ(nullptr, GetModuleHandleA((kModule + kModuleExt).c_str()));
    EXPECT_EQ(nullptr, GetModuleHandleA((kDependency + kModuleExt).c_str()));

    // Once it no longer refuses, it loads.
    probe_set_attach_failure("mod", false);
    probe_clear();
    HMODULE module = LoadLibraryA((kModule + kModuleExt).c_str());
    ASSERT_NE(nullptr, module) << GetLastError();
    EXPECT_EQ(1, count(events(), "mod:attach:dynamic"));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(Loader, FailedInitialisationOfADependencyFailsTheLoad) {
    probe_set_attach_failure("dep", true);
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA((kModule + kModuleExt).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DLL_INIT_FAILED), GetLastError());
    const std::vector<std::string> log = events();
    EXPECT_EQ(0, count(log, "mod:attach:dynamic"));  // never reached
    EXPECT_EQ(nullptr, GetModuleHandleA((kModule + kModuleExt).c_str()));
    EXPECT_EQ(nullptr, GetModuleHandleA((kDependency + kModuleExt).c_str()));
}

TEST_F(Loader, LoadFailuresReportWhy) {
    const std::string not_a_library = temp_file_path("not-a-library") + kModuleExt;
    std::ofstream(not_a_library) << "plain text, not a shared library\n";
    struct Case {
        std::string name;
        DWORD error;
    } cases[] = {
        {"NoSuchModule" + std::string(kModuleExt), ERROR_MOD_NOT_FOUND},
        {"NoSuchModule", ERROR_MOD_NOT_FOUND},
        {program_dir() + "no-such-dir" + kPathSeparator + "x" + kModuleExt, ERROR_MOD_NOT_FOUND},
        {program_dir(), ERROR_MOD_NOT_FOUND},  // a directory
        {"", ERROR_MOD_NOT_FOUND},
        {not_a_library, ERROR_BAD_EXE_FORMAT},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(nullptr, LoadLibraryA(c.name.c_str())) << c.name;
        EXPECT_EQ(c.error, GetLastError()) << c.name;
    }
    remove_file(not_a_library);
}

TEST_F(Loader, GetProcAddressFindsOnlyTheModulesOwnExports) {
    HMODULE module = LoadLibraryA((kModule + kModuleExt).c_str());
    ASSERT_NE(nullptr, module);
    HMODULE dependency = GetModuleHandleA((kDependency + kModuleExt).c_str());
    ASSERT_NE(nullptr, dependency);
    EXPECT_NE(module, dependency);

    EXPECT_NE(nullptr, GetProcAddress(dependency, "winplat_test_dependency_value"));
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "winplat_test_dependency_value"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "no_such_export"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "DllMain"));  // defined, not exported
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());

    EXPECT_TRUE(FreeLibrary(module));
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "winplat_test_module_value"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(Loader, ModuleFoundFromAnAddressInsideIt) {
    HMODULE module = LoadLibraryA((kModule + kModuleExt).c_str());
    ASSERT_NE(nullptr, module);
    auto self = export_of<HMODULE (*)(void)>(module, "winplat_test_module_self");
    ASSERT_NE(nullptr, self);
    EXPECT_EQ(module, self());  // without a reference: one FreeLibrary still unloads

    auto value = export_of<int (*)(void)>(module, "winplat_test_module_value");
    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCSTR>(value), &found));
    EXPECT_EQ(module, found);  // this one took a reference
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(module, GetModuleHandleA((kModule + kModuleExt).c_str()));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(nullptr, GetModuleHandleA((kModule + kModuleExt).c_str()));

    // By name, and the executable.
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &found));
    EXPECT_EQ(GetModuleHandleA(nullptr), found);
}

TEST_F(Loader, GetModuleHandleExRefusesBadArguments) {
    int* heap = new int(0);  // an address in no module
    struct Case {
        DWORD flags;
        LPCSTR name;
        DWORD error;
    } cases[] = {
        {GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr,
         ERROR_INVALID_PARAMETER},
        {0x100, nullptr, ERROR_INVALID_PARAMETER},
        {0, "NoSuchModule", ERROR_MOD_NOT_FOUND},
        {GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
         reinterpret_cast<LPCSTR>(heap), ERROR_MOD_NOT_FOUND},
        {GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
         reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(0x10)), ERROR_MOD_NOT_FOUND},
    };
    for (const Case& c : cases) {
        HMODULE found = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(1));
        SetLastError(0);
        EXPECT_FALSE(GetModuleHandleExA(c.flags, c.name, &found)) << c.flags;
        EXPECT_EQ(c.error, GetLastError()) << c.flags;
        EXPECT_EQ(nullptr, found) << c.flags;
    }
    delete heap;
    SetLastError(0);
    EXPECT_FALSE(GetModuleHandleExA(0, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Loader, ModuleFileNameIsTheFullPathTruncatedAsWindowsDoes) {
    HMODULE module = LoadLibraryA((kModule + kModuleExt).c_str());
    ASSERT_NE(nullptr, module);
    char path[1024];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof path);
    const std::string full(path, length);
    EXPECT_EQ(std::strlen(path), length);
    EXPECT_EQ(full, module_path(kModule));
    EXPECT_EQ(module, GetModuleHandleA(full.c_str()));

    struct Case {
        DWORD size;
        DWORD result;
        DWORD error;
    } cases[] = {
        {0, 0, ERROR_INSUFFICIENT_BUFFER},   {1, 1, ERROR_INSUFFICIENT_BUFFER},
        {5, 5, ERROR_INSUFFICIENT_BUFFER},   {length, length, ERROR_INSUFFICIENT_BUFFER},
        {length + 1, length, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        char buffer[1024];
        std::memset(buffer, 'X', sizeof buffer);
        SetLastError(0xDEAD);
        EXPECT_EQ(c.result, GetModuleFileNameA(module, buffer, c.size)) << c.size;
        EXPECT_EQ(c.error, GetLastError()) << c.size;
        const DWORD copied = c.result < c.size ? c.result : (c.size > 0 ? c.size - 1 : 0);
        EXPECT_EQ(full.substr(0, copied), std::string(buffer, copied)) << c.size;
#if WINPLAT_NATIVE
        // Terminated even when truncated (Windows since Vista; Wine still
        // leaves a truncated name unterminated, as Windows XP did).
        if (c.size > 0) {
            EXPECT_EQ('\0', buffer[copied]) << c.size;
        }
#endif
        EXPECT_EQ('X', buffer[c.size]) << "wrote past the buffer of " << c.size;
    }

    // The executable's own name, and a module that is not loaded.
    const DWORD exe_length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(exe_length, 0u);
    EXPECT_EQ(program_path("platform_com_module_tests"), std::string(path, exe_length));
    EXPECT_TRUE(FreeLibrary(module));
    SetLastError(0);
    EXPECT_EQ(0u, GetModuleFileNameA(module, path, sizeof path));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST(LoaderAtStartUp, ModuleLinkedIntoTheProgramWasAttachedBeforeMain) {
    EXPECT_EQ(1, winplat_startup_module_attach_calls());
    EXPECT_EQ(1, winplat_startup_module_reserved_nonnull());  // a static load
    HMODULE module = GetModuleHandleA((std::string("WinplatStartupModule") + kModuleExt).c_str());
    ASSERT_NE(nullptr, module);
    EXPECT_NE(nullptr, GetProcAddress(module, "winplat_startup_module_attach_calls"));
}

TEST(LoaderAtStartUp, ProgramDoesNotStartWhenALinkedModuleRefusesToInitialise) {
    const std::string child = program_path("platform_com_refusing_child");
    EXPECT_EQ(0, run_program(child, {}));
    set_environment("WINPLAT_TEST_REFUSE_START", "1");
    const int code = run_program(child, {});
    set_environment("WINPLAT_TEST_REFUSE_START", nullptr);
    EXPECT_NE(0, code);
#if WINPLAT_NATIVE
    EXPECT_EQ(127, code);  // as the dynamic linker exits for a missing library
#endif
}

TEST(LoaderAtExit, ModulesStillLoadedAreDetachedBeforeTheirStaticObjectsGo) {
    const std::string log_file = temp_file_path("probe-exit");
    remove_file(log_file);
    set_environment("WINPLAT_PROBE_FILE", log_file.c_str());
    const int code =
        run_program(program_path("platform_com_child"), {"load", kModule + kModuleExt});
    set_environment("WINPLAT_PROBE_FILE", nullptr);
    const std::vector<std::string> log = lines(read_file(log_file));
    remove_file(log_file);
    ASSERT_EQ(0, code);

    EXPECT_EQ(1, count(log, "mod:attach:dynamic"));
    EXPECT_EQ(1, count(log, "mod:detach:exit"));
    EXPECT_EQ(1, count(log, "dep:detach:exit"));
    EXPECT_EQ(0, count(log, "mod:detach:free"));
    EXPECT_LT(position(log, "mod:detach:exit"), position(log, "mod:dtor"));
    EXPECT_LT(position(log, "dep:detach:exit"), position(log, "dep:dtor"));
    EXPECT_LT(position(log, "mod:detach:exit"), position(log, "dep:detach:exit"));
}

}  // namespace

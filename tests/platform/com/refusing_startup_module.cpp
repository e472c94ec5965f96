// A module linked into platform_com_refusing_child that refuses to
// initialise when WINPLAT_TEST_REFUSE_START is set.
#include "winplat/winapi.h"

#include "test_exports.h"

#if !WINPLAT_NATIVE
#include <windows.h>
#else
#include <cstdlib>
#endif

namespace {
bool asked_to_refuse() {
#if WINPLAT_NATIVE
    return std::getenv("WINPLAT_TEST_REFUSE_START") != nullptr;
#else
    return GetEnvironmentVariableA("WINPLAT_TEST_REFUSE_START", nullptr, 0) > 0;
#endif
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason == DLL_PROCESS_ATTACH && asked_to_refuse() ? FALSE : TRUE;
}

TEST_EXPORT int winplat_refusing_module_value(void) { return 5; }

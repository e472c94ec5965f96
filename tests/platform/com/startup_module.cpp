// A module linked into the loader test program: it is attached while the
// process starts, before main.
#include "winplat/winapi.h"

#include "test_exports.h"

namespace {
int attach_calls = 0;
int attach_reserved_nonnull = -1;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ++attach_calls;
        attach_reserved_nonnull = reserved != nullptr ? 1 : 0;
    }
    return TRUE;
}

TEST_EXPORT int winplat_startup_module_attach_calls(void) { return attach_calls; }
TEST_EXPORT int winplat_startup_module_reserved_nonnull(void) { return attach_reserved_nonnull; }

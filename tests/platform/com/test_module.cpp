// The module the loader tests load: it depends on WinplatTestDependency and
// finds its own module handle from an address inside it.
#define OBSERVED_MODULE_NAME "mod"
#include "observed_module.h"
#include "test_exports.h"

TEST_EXPORT int winplat_test_dependency_value(void);

namespace {
const char self_anchor = 0;
}

TEST_EXPORT int winplat_test_module_value(void) { return 35 + winplat_test_dependency_value(); }

TEST_EXPORT HMODULE winplat_test_module_self(void) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            &self_anchor, &self)) {
        return nullptr;
    }
    return self;
}

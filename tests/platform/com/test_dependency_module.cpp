// A module that WinplatTestModule depends on.
#define OBSERVED_MODULE_NAME "dep"
#include "observed_module.h"
#include "test_exports.h"

TEST_EXPORT int winplat_test_dependency_value(void) { return 7; }

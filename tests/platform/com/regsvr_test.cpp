// horolog-regsvr, the native regsvr32: registration through a server's own
// entry points, and regsvr32's exit codes.
#include "winplat/winapi.h"

#include "com_test_ids.h"
#include "com_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace comtest;

namespace {

const std::string kTool = HOROLOG_REGSVR;

TEST(Regsvr, RegistersAndUnregistersAServer) {
    const std::string server = module_path("ComTestServer");
    const std::string class_key = std::string("CLSID\\") + kRegisteredClsidString;

    ASSERT_EQ(0, run_program(kTool, {"/s", server}));
    std::string path;
    ASSERT_TRUE(get_string(HKEY_CLASSES_ROOT, class_key + "\\InprocServer32", nullptr, &path));
    EXPECT_EQ(server, path);
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, kRegisteredProgId));

    EXPECT_EQ(0, run_program(kTool, {"-U", "-S", server}));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, kRegisteredProgId));
}

TEST(Regsvr, ExitCodesAreThoseOfRegsvr32) {
    const std::string server = module_path("ComTestServer");
    const std::string no_entry = module_path("WinplatTestDependency");
    const std::string missing = module_path("NoSuchServer");
    struct Case {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{}, 1},
        {{"/s"}, 1},
        {{"/s", "/x", server}, 1},
        {{"/s", missing}, 3},
        {{"/s", no_entry}, 4},
        {{"/u", "/s", server}, 5},      // not registered: DllUnregisterServer fails
        {{"/s", server, no_entry}, 4},  // every library is tried; the last failure counts
        {{"/s", no_entry, server}, 4},
        {{"/s", "/u", server}, 0},  // registered by the case before
    };
    for (const Case& c : cases) {
        std::string text;
        for (const std::string& a : c.args) text += a + " ";
        EXPECT_EQ(c.code, run_program(kTool, c.args)) << text;
    }
}

}  // namespace

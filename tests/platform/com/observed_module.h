// Included by each observed test module, once, after OBSERVED_MODULE_NAME is
// defined: a DllMain and a static object that record their calls in the
// load probe, and a DllMain that refuses to attach when the probe says so.
//
// Events: "<name>:ctor", "<name>:dtor", "<name>:attach:dynamic",
// "<name>:attach:static", "<name>:detach:free", "<name>:detach:exit"
// (lpReserved null or not, as Windows documents for each reason).
#ifndef TESTS_PLATFORM_COM_OBSERVED_MODULE_H
#define TESTS_PLATFORM_COM_OBSERVED_MODULE_H

#include "winplat/winapi.h"

#include "load_probe.h"

#include <string>

namespace observed {
namespace {

void record(const char* what) {
    probe_record((std::string(OBSERVED_MODULE_NAME) + ":" + what).c_str());
}

struct StaticWitness {
    StaticWitness() { record("ctor"); }
    ~StaticWitness() { record("dtor"); }
};

StaticWitness witness;

}  // namespace
}  // namespace observed

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        observed::record(reserved == nullptr ? "attach:dynamic" : "attach:static");
        return probe_attach_should_fail(OBSERVED_MODULE_NAME) ? FALSE : TRUE;
    }
    if (reason == DLL_PROCESS_DETACH) {
        observed::record(reserved == nullptr ? "detach:free" : "detach:exit");
    }
    return TRUE;
}

#endif  // TESTS_PLATFORM_COM_OBSERVED_MODULE_H

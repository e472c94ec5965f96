// Linked into every native module. When the dynamic loader maps the shared
// object, hand the module's DllMain to the platform loader, which runs the
// process-attach notification (and fails LoadLibraryA when it returns
// FALSE); when it is unmapped, run the process-detach notification.
#include "winplat/winapi.h"

// Hidden, so that the reference binds to this module's own DllMain and never
// to another module's exported one.
extern "C" __attribute__((visibility("hidden"))) BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace {
const char module_anchor = 0;

__attribute__((constructor)) void module_loaded() { winplat_module_attach(&module_anchor, &DllMain); }
__attribute__((destructor)) void module_unloading() { winplat_module_detach(&module_anchor, &DllMain); }
}  // namespace

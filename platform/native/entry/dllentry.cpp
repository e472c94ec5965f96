// Linked into every native module, after the module's own objects (see
// horolog_add_module). It hands the module's DllMain to the platform loader
// (platform/native/module.cpp), which decides when the process-attach and
// process-detach notifications run.
//
// Ordering. Constructors of one shared object run in link order, so this
// object's constructor runs after the module's static objects are built.
// DLL_PROCESS_DETACH must run before they are destroyed:
// - when the library is unmapped (FreeLibrary, or a module that needed it
//   going away), the ELF destructor below runs before the C++ static
//   destructors, which the C runtime runs last for the object;
// - at process exit the C++ static destructors of a library loaded after
//   start-up run from the exit handlers, before any ELF destructor. The
//   guard object registered here, after the module's static objects,
//   is destroyed before them and reports the exit first.
// Whichever comes first reports the unmapping; the loader ignores the
// second report.
#include "winplat/winapi.h"

// Hidden, so that the reference binds to this module's own DllMain and never
// to another module's exported one; weak, because a module need not have one
// (the loader then has nothing to call).
extern "C" __attribute__((visibility("hidden"), weak))
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace {

const char module_anchor = 0;

struct DetachAtExit {
    ~DetachAtExit() { winplat_module_detach(&module_anchor, &DllMain); }
};

__attribute__((constructor)) void module_loaded() {
    static DetachAtExit guard;
    winplat_module_attach(&module_anchor, &DllMain);
}

__attribute__((destructor)) void module_unloading() {
    winplat_module_detach(&module_anchor, &DllMain);
}

}  // namespace

// Placeholder loader: runs the module's process-attach and process-detach
// notifications. The full loader (LoadLibraryA and friends) replaces this.
#include "winplat/winapi.h"

extern "C" {
void winplat_module_attach(const void*, PDLLMAIN dll_main) {
    dll_main(nullptr, DLL_PROCESS_ATTACH, nullptr);
}
void winplat_module_detach(const void*, PDLLMAIN dll_main) {
    dll_main(nullptr, DLL_PROCESS_DETACH, nullptr);
}
}

// The one source that HorologFaults adds to the module's own: an export
// that sets the engine's forced failures. The module keeps its copy of the
// engine to itself, so a test reaches that copy's controls only this way.
// HorologFaults is a test build; nothing installs or ships it.
#include "absolute/testing.h"
#include "core/testing.h"

#if defined(_WIN32)
#define HOROLOG_FAULTS_EXPORT __declspec(dllexport)
#else
#define HOROLOG_FAULTS_EXPORT __attribute__((visibility("default")))
#endif

// Replaces both fault masks (0 clears them).
extern "C" HOROLOG_FAULTS_EXPORT void HorologFaultsSet(unsigned faults, unsigned absoluteFaults) {
    horolog::testing::SetFaults(faults);
    horolog::testing::SetAbsoluteFaults(absoluteFaults);
}

// The coverage-guided fuzz target of the operations harness (libFuzzer).
#include "engine_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    engineops::Run(data, size);
    return 0;
}

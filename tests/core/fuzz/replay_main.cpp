// Plays every input of the fuzz corpus once through the operations harness,
// so that the ordinary test runs (under ASan+UBSan and under TSan) cover
// what the fuzzer found interesting. Arguments: files or directories.
#include "engine_ops.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else {
            inputs.push_back(arg);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s <input file or directory>...\n", argv[0]);
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", input.string().c_str());
            return 2;
        }
        const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                               std::istreambuf_iterator<char>());
        std::printf("%s (%zu bytes)\n", input.filename().string().c_str(), bytes.size());
        std::fflush(stdout);
        engineops::Run(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs played\n", inputs.size());
    return 0;
}

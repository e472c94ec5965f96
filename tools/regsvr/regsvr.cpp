// horolog-regsvr: registers or unregisters in-process COM servers, as
// regsvr32 does on Windows.
//
//   horolog-regsvr [/u] [/s] <library>...
//
// Options may also start with '-' and are not case-sensitive. An argument
// that starts with '/' is an option only in the forms regsvr32 knows (one
// letter, or "/i:..."); anything longer is an absolute path. Each library
// is loaded, its DllRegisterServer (or, with /u, DllUnregisterServer) is
// called with COM initialised, and it is freed again. Without /s the outcome
// of each is printed; with /s nothing is.
//
// Exit codes are regsvr32's (and Wine's regsvr32's, checked against it):
//   0  every library succeeded
//   1  bad arguments (no library, an unknown or unsupported option)
//   2  COM could not be initialised
//   3  a library could not be loaded
//   4  a library lacks the entry point
//   5  the entry point returned a failure
// With several libraries every one is attempted and the code is that of the
// last failure.
#include "winplat/winapi.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

bool is_option(const std::string& arg) {
    if (arg.size() < 2) return false;
    if (arg[0] == '-') return true;
    return arg[0] == '/' &&
           (arg.size() == 2 || arg.compare(1, 2, "i:") == 0 || arg.compare(1, 2, "I:") == 0);
}

enum ExitCode {
    kOk = 0,
    kBadArguments = 1,
    kComFailed = 2,
    kLoadFailed = 3,
    kNoEntry = 4,
    kEntryFailed = 5
};

void usage(FILE* out) {
    std::fputs(
        "Usage: horolog-regsvr [/u] [/s] <library>...\n"
        "  /u  unregister (call DllUnregisterServer instead of DllRegisterServer)\n"
        "  /s  silent: print nothing\n",
        out);
}

// A file name given without a directory means the file in the current
// directory when there is one, as regsvr32 users expect; otherwise the
// loader's search applies.
std::string library_path(const std::string& name) {
    struct stat st;
    if (name.find('/') == std::string::npos && ::stat(name.c_str(), &st) == 0) return "./" + name;
    return name;
}

int process(const std::string& name, bool unregister, bool silent) {
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    HMODULE module = LoadLibraryA(library_path(name).c_str());
    if (module == nullptr) {
        const DWORD error = GetLastError();
        if (!silent) {
            std::fprintf(stderr, "horolog-regsvr: cannot load %s (error %lu%s)\n", name.c_str(),
                         static_cast<unsigned long>(error),
                         error == ERROR_MOD_NOT_FOUND     ? ": module not found"
                         : error == ERROR_DLL_INIT_FAILED ? ": its initialisation failed"
                         : error == ERROR_BAD_EXE_FORMAT  ? ": not a shared library"
                                                          : "");
        }
        return kLoadFailed;
    }
    using EntryPoint = HRESULT(STDAPICALLTYPE*)(void);
    auto function = reinterpret_cast<EntryPoint>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(module, entry)));
    if (function == nullptr) {
        if (!silent) {
            std::fprintf(stderr, "horolog-regsvr: %s was loaded, but it has no %s entry point\n",
                         name.c_str(), entry);
        }
        FreeLibrary(module);
        return kNoEntry;
    }
    const HRESULT hr = function();
    FreeLibrary(module);
    if (FAILED(hr)) {
        if (!silent) {
            std::fprintf(stderr, "horolog-regsvr: %s in %s failed (0x%08X)\n", entry, name.c_str(),
                         static_cast<unsigned>(hr));
        }
        return kEntryFailed;
    }
    if (!silent) std::printf("%s in %s succeeded.\n", entry, name.c_str());
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    bool silent = false;
    std::vector<std::string> libraries;
    std::string bad_option;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (is_option(arg)) {
            const std::string option = arg.substr(1);
            if (option == "u" || option == "U") {
                unregister = true;
            } else if (option == "s" || option == "S") {
                silent = true;
            } else {
                bad_option = arg;
            }
        } else {
            libraries.push_back(arg);
        }
    }
    if (!bad_option.empty() || libraries.empty()) {
        if (!silent) {
            if (!bad_option.empty()) {
                std::fprintf(stderr, "horolog-regsvr: unknown or unsupported option %s\n",
                             bad_option.c_str());
            }
            usage(stderr);
        }
        return kBadArguments;
    }

    if (FAILED(CoInitialize(nullptr))) {
        if (!silent) std::fputs("horolog-regsvr: COM could not be initialised\n", stderr);
        return kComFailed;
    }
    int code = kOk;
    for (const std::string& library : libraries) {
        const int result = process(library, unregister, silent);
        if (result != kOk) code = result;
    }
    CoUninitialize();
    return code;
}

// Helpers shared by the registry, loader and COM tests. They use only the
// platform API (and, to start child processes, the system's own), so the
// same tests run natively and on Windows.
//
// Natively every test program works on a registry of its own: a fresh
// temporary directory named by WINPLAT_REGISTRY for the life of the process
// (inherited by the child processes it starts). On Windows the tests share
// the user's registry and keep to keys that carry the process's own suffix.
#ifndef TESTS_PLATFORM_COM_COM_TEST_SUPPORT_H
#define TESTS_PLATFORM_COM_COM_TEST_SUPPORT_H

#include "winplat/winapi.h"

#include <string>
#include <vector>

namespace comtest {

#if WINPLAT_NATIVE
constexpr const char* kModuleExt = ".so";
constexpr const char* kProgramExt = "";
constexpr char kPathSeparator = '/';
#else
constexpr const char* kModuleExt = ".dll";
constexpr const char* kProgramExt = ".exe";
constexpr char kPathSeparator = '\\';
#endif

// Unique to this process (and this run): process id and some randomness.
const std::string& process_suffix();

// The directory of the test program, with a trailing separator.
std::string program_dir();

// The full path of a module or program built next to the test program.
inline std::string module_path(const std::string& base) {
    return program_dir() + base + kModuleExt;
}
inline std::string program_path(const std::string& base) {
    return program_dir() + base + kProgramExt;
}

// Runs a program to its end; its exit code, or -1 when it cannot start.
int run_program(const std::string& path, const std::vector<std::string>& args);

// Sets or removes an environment variable of this process (children
// started afterwards inherit it).
void set_environment(const char* name, const char* value);

// A temporary file path unique to this process.
std::string temp_file_path(const std::string& stem);
std::string read_file(const std::string& path);
void remove_file(const std::string& path);

// Deletes a key and everything below it; missing keys are fine.
void delete_tree(HKEY root, const std::string& path);

// Creates `root`\`key` and sets a REG_SZ value (terminating NUL counted).
LONG set_string(HKEY root, const std::string& key, const char* name, const std::string& value);

// Reads a REG_SZ value; false when the key or value is missing.
bool get_string(HKEY root, const std::string& key, const char* name, std::string* value);

bool key_exists(HKEY root, const std::string& key);

// An OLECHAR string from ASCII text.
std::basic_string<OLECHAR> ole(const std::string& text);

}  // namespace comtest

#endif  // TESTS_PLATFORM_COM_COM_TEST_SUPPORT_H

#include "com_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#if WINPLAT_NATIVE
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace comtest {

namespace {

#if WINPLAT_NATIVE
// Points WINPLAT_REGISTRY at a fresh directory for this process.
class RegistrySandbox : public ::testing::Environment {
  public:
    RegistrySandbox() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "winplat-reg-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
            ::setenv("WINPLAT_REGISTRY", dir_.c_str(), 1);
        }
    }
    ~RegistrySandbox() override {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    void SetUp() override { ASSERT_FALSE(dir_.empty()) << "no temporary registry directory"; }

  private:
    std::string dir_;
};

// Constructed before main, so the registry is in place before any test
// (or static object of a test) touches it; gtest owns it from here.
::testing::Environment* const sandbox = ::testing::AddGlobalTestEnvironment(new RegistrySandbox);
#endif

unsigned long process_id() {
#if WINPLAT_NATIVE
    return static_cast<unsigned long>(::getpid());
#else
    return GetCurrentProcessId();
#endif
}

}  // namespace

const std::string& process_suffix() {
    static const std::string suffix = [] {
        std::random_device device;
        char text[64];
        std::snprintf(text, sizeof text, "%lu-%08x", process_id(), static_cast<unsigned>(device()));
        return std::string(text);
    }();
    return suffix;
}

std::string program_dir() {
    char path[1024];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n < sizeof path ? n : 0);
    return dir.substr(0, dir.find_last_of("/\\") + 1);
}

int run_program(const std::string& path, const std::vector<std::string>& args) {
#if WINPLAT_NATIVE
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#else
    std::string command = "\"" + path + "\"";
    for (const std::string& a : args) command += " \"" + a + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
#endif
}

void set_environment(const char* name, const char* value) {
#if WINPLAT_NATIVE
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
#else
    SetEnvironmentVariableA(name, value);
#endif
}

std::string temp_file_path(const std::string& stem) {
#if WINPLAT_NATIVE
    const std::string dir = std::filesystem::temp_directory_path().string() + "/";
#else
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    const std::string dir(buffer, n <= MAX_PATH ? n : 0);
#endif
    return dir + stem + "-" + process_suffix();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void remove_file(const std::string& path) { std::remove(path.c_str()); }

void delete_tree(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(name, size);
    }
    RegCloseKey(key);
    for (const std::string& child : children) delete_tree(root, path + "\\" + child);
    RegDeleteKeyA(root, path.c_str());
}

LONG set_string(HKEY root, const std::string& key, const char* name, const std::string& value) {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExA(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
    return rc;
}

bool get_string(HKEY root, const std::string& key, const char* name, std::string* value) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return false;
    char data[2048];
    DWORD size = sizeof data;
    DWORD type = REG_NONE;
    const LONG rc = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
    std::string text(data, size);
    *value = text.substr(0, text.find('\0'));
    return true;
}

bool key_exists(HKEY root, const std::string& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

std::basic_string<OLECHAR> ole(const std::string& text) {
    return std::basic_string<OLECHAR>(text.begin(), text.end());
}

}  // namespace comtest

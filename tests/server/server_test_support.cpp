#include "server_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#if WINPLAT_NATIVE
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace servertest {

namespace {

#if WINPLAT_NATIVE
// Points WINPLAT_REGISTRY at a fresh directory for this process. Set while
// static objects are constructed, before any test touches the registry.
class RegistrySandbox : public ::testing::Environment {
  public:
    RegistrySandbox() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "horolog-server-reg-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_dir = pattern;
            ::setenv("WINPLAT_REGISTRY", m_dir.c_str(), 1);
        }
    }
    ~RegistrySandbox() override {
        std::error_code ignored;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
    }
    void SetUp() override { ASSERT_FALSE(m_dir.empty()) << "no temporary registry directory"; }

  private:
    std::string m_dir;
};
::testing::Environment* const g_pSandbox = ::testing::AddGlobalTestEnvironment(new RegistrySandbox);
#else
// The registry is the machine's: one test program at a time works on the
// class's keys.
class RegistryTurn : public ::testing::Environment {
  public:
    void SetUp() override {
        m_hMutex = CreateMutexA(nullptr, FALSE, "Horolog-server-tests-registry");
        ASSERT_NE(m_hMutex, nullptr);
        const DWORD r = WaitForSingleObject(m_hMutex, 10 * 60 * 1000);
        ASSERT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << "registry turn not had: " << r;
        m_bHeld = true;
    }
    void TearDown() override {
        if (m_bHeld) ReleaseMutex(m_hMutex);
        m_bHeld = false;
        if (m_hMutex != nullptr) CloseHandle(m_hMutex);
        m_hMutex = nullptr;
    }

  private:
    HANDLE m_hMutex = nullptr;
    bool m_bHeld = false;
};
::testing::Environment* const g_pTurn = ::testing::AddGlobalTestEnvironment(new RegistryTurn);
#endif

HKEY OpenKey(const std::string& key, REGSAM sam) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, sam, &hKey) != ERROR_SUCCESS) {
        return nullptr;
    }
    return hKey;
}

}  // namespace

std::string ModuleFileName(HMODULE hModule) {
    std::string path(4096, '\0');
    const DWORD n = GetModuleFileNameA(hModule, &path[0], static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
}

std::string ProgramDir() {
    const std::string path = ModuleFileName(nullptr);
    return path.substr(0, path.find_last_of("/\\") + 1);
}

std::string TempDir() {
    std::random_device device;
    char name[64];
#if WINPLAT_NATIVE
    std::snprintf(name, sizeof name, "horolog-server-%d-%08x", static_cast<int>(::getpid()),
                  static_cast<unsigned>(device()));
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(dir);
    static std::vector<std::string> s_created;
    struct Cleanup {
        ~Cleanup() {
            std::error_code ignored;
            for (const std::string& d : s_created) std::filesystem::remove_all(d, ignored);
        }
    };
    static Cleanup s_cleanup;
    s_created.push_back(dir.string());
    return dir.string();
#else
    std::snprintf(name, sizeof name, "horolog-server-%lu-%08x", GetCurrentProcessId(),
                  static_cast<unsigned>(device()));
    char base[MAX_PATH];
    const DWORD n = GetTempPathA(sizeof base, base);
    std::string dir = std::string(base, n) + name;
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
#endif
}

bool CopyFileTo(const std::string& from, const std::string& to) {
#if WINPLAT_NATIVE
    std::error_code error;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                      error);
#else
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
#endif
}

int RunRegistrationTool(const std::string& library, bool bUnregister) {
#if WINPLAT_NATIVE
    std::vector<std::string> args = {HOROLOG_REGSVR, "/s"};
    if (bUnregister) args.push_back("/u");
    args.push_back(library);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // A library copied elsewhere still finds its dependencies here.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) env.push_back(*e);
    }
    env.push_back("LD_LIBRARY_PATH=" + ProgramDir());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    if (::posix_spawn(&pid, HOROLOG_REGSVR, nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return -1;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
#else
    std::string command = "regsvr32.exe /s ";
    if (bUnregister) command += "/u ";
    command += "\"" + library + "\"";
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    const std::string dir = ProgramDir();
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si,
                        &pi)) {
        return -1;
    }
    CloseHandle(pi.hThread);
    int code = -1;
    // A cold Wine may take seconds to start a program.
    if (WaitForSingleObject(pi.hProcess, 120 * 1000) == WAIT_OBJECT_0) {
        DWORD dwCode = 0;
        if (GetExitCodeProcess(pi.hProcess, &dwCode)) code = static_cast<int>(dwCode);
    } else {
        TerminateProcess(pi.hProcess, 1);
    }
    CloseHandle(pi.hProcess);
    return code;
#endif
}

bool KeyExists(const std::string& key) {
    HKEY hKey = OpenKey(key, KEY_READ);
    if (hKey == nullptr) return false;
    RegCloseKey(hKey);
    return true;
}

LONG CreateKey(const std::string& key) {
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;
    const LONG rc =
        RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition);
    if (rc == ERROR_SUCCESS) RegCloseKey(hKey);
    return rc;
}

std::vector<std::string> SubKeys(const std::string& key) {
    std::vector<std::string> names;
    HKEY hKey = OpenKey(key, KEY_READ);
    if (hKey == nullptr) return names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD cch = sizeof name;
        if (RegEnumKeyExA(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, cch);
    }
    RegCloseKey(hKey);
    return names;
}

void DeleteTree(const std::string& key) {
    for (const std::string& sub : SubKeys(key)) DeleteTree(key + "\\" + sub);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
}

RegValue ReadValue(const std::string& key, const char* pszName) {
    RegValue value;
    HKEY hKey = OpenKey(key, KEY_READ);
    if (hKey == nullptr) return value;
    DWORD cb = 0;
    value.lResult = RegQueryValueExA(hKey, pszName, nullptr, &value.dwType, nullptr, &cb);
    if (value.lResult == ERROR_SUCCESS) {
        std::string data(cb, '\0');
        value.lResult = RegQueryValueExA(hKey, pszName, nullptr, &value.dwType,
                                         reinterpret_cast<BYTE*>(&data[0]), &cb);
        data.resize(cb);
        value.cbData = cb;
        value.data = data;
    }
    RegCloseKey(hKey);
    return value;
}

void RemoveHorologKeys() {
    DeleteTree("Horolog.Hx");
    DeleteTree("Horolog.Hx.1");
    DeleteTree("CLSID\\" + GuidText(CLSID_Horolog));
    for (const IID* piid : {&IID_IHorologSite, &IID_IHorolog, &IID_ITimerSite}) {
        DeleteTree("Interface\\" + GuidText(*piid));
    }
}

ComApartment::ComApartment() : m_hr(CoInitialize(nullptr)) {}

ComApartment::~ComApartment() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
}

}  // namespace servertest

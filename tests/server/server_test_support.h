// Helpers of the server-shell tests. They use the platform API (and, to
// start the registration tool, the system's own process calls), so the same
// tests run natively and on Windows.
//
// Natively each test program works on a registry of its own (a fresh
// temporary directory named by WINPLAT_REGISTRY, inherited by the
// registration tool it starts). On Windows the tests share the machine's
// registry: every test program holds a named mutex for its whole run, so
// that two of them never work on the class's keys at the same time, and the
// fixtures remove the keys before and after each test.
#ifndef TESTS_SERVER_SERVER_TEST_SUPPORT_H
#define TESTS_SERVER_SERVER_TEST_SUPPORT_H

#include "horolog/server.h"
#include "kestrel/kestrel.h"

#include "client_support.h"

#include <string>
#include <vector>

namespace servertest {

#if WINPLAT_NATIVE
constexpr const char* kHorologFile = "Horolog.so";
constexpr char kPathSeparator = '/';
#else
constexpr const char* kHorologFile = "Horolog.dll";
constexpr char kPathSeparator = '\\';
#endif

// The directory of the test program, with a trailing separator.
std::string ProgramDir();

// The full path of a loaded module's file.
std::string ModuleFileName(HMODULE hModule);

// The Horolog module built next to the test program.
inline std::string HorologPath() { return ProgramDir() + kHorologFile; }

// A fresh, empty directory of this process, removed at exit.
std::string TempDir();
bool CopyFileTo(const std::string& from, const std::string& to);

// Runs the registration tool (regsvr32 on Windows, horolog-regsvr natively)
// silently on a library, in the test program's directory (where the
// library's dependencies are); its exit code, or -1 when it could not run.
int RunRegistrationTool(const std::string& library, bool bUnregister);

// ---- registry (HKEY_CLASSES_ROOT) ------------------------------------------

bool KeyExists(const std::string& key);
LONG CreateKey(const std::string& key);
// Deletes a key and everything below it; a missing key is fine.
void DeleteTree(const std::string& key);
// The names of a key's subkeys, in enumeration order.
std::vector<std::string> SubKeys(const std::string& key);

struct RegValue {
    LONG lResult = ERROR_FILE_NOT_FOUND;  // of RegQueryValueExA
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;  // the stored length, NULs included
    std::string data;  // the stored bytes
};
// A value (null name: the default value); lResult says whether it exists.
RegValue ReadValue(const std::string& key, const char* pszName);

// The class id and interface ids as registry key names.
using horolog_tools::GuidText;

// Removes every key the module registers, whatever state they are in.
void RemoveHorologKeys();

// ---- the module's counters, through the object database ---------------------

// The module's five counters as the object database reports them, read as
// the demonstration and the benchmark read them.
using horolog_tools::Counters;
using horolog_tools::ReadCounters;

// Initialises COM (apartment-threaded) on this thread for its scope.
class ComApartment {
  public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return m_hr; }

  private:
    HRESULT m_hr;
};

}  // namespace servertest

#endif  // TESTS_SERVER_SERVER_TEST_SUPPORT_H

// DllRegisterServer and DllUnregisterServer, through the registration tool
// and called directly.
#include "server_fixture.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#if WINPLAT_NATIVE
#include <filesystem>
#endif

namespace servertest {
namespace {

const std::string kClsid = "{6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F30}";
const std::string kClassKey = "CLSID\\" + kClsid;
const std::string kSiteKey = "Interface\\{0D5F7A93-E1B2-4C68-A4F5-93B1C2E8D654}";
const std::string kHorologKey = "Interface\\{B84E2F17-3C65-4A9D-8F21-5E0C9D3B7A42}";
const std::string kTimerSiteKey = "Interface\\{F29B6C04-58AE-4E37-B1D9-07A4E6C3B285}";
const std::string kProxyStub = "{00020420-0000-0000-C000-000000000046}";

std::string LinkedModulePath() { return ModuleFileName(GetModuleHandleA(kHorologFile)); }

// The 24 keys, each with the subkeys it has right after registration.
struct ExpectedKey {
    std::string key;
    std::set<std::string> subKeys;
};
std::vector<ExpectedKey> ExpectedKeys() {
    std::vector<ExpectedKey> keys = {
        {"Horolog.Hx", {"CLSID", "CurVer", "NotInsertable"}},
        {"Horolog.Hx\\CLSID", {}},
        {"Horolog.Hx\\CurVer", {}},
        {"Horolog.Hx\\NotInsertable", {}},
        {"Horolog.Hx.1", {"CLSID", "NotInsertable"}},
        {"Horolog.Hx.1\\CLSID", {}},
        {"Horolog.Hx.1\\NotInsertable", {}},
        {kClassKey, {"InprocServer32", "ProgID", "VersionIndependentProgID", "NotInsertable"}},
        {kClassKey + "\\InprocServer32", {}},
        {kClassKey + "\\ProgID", {}},
        {kClassKey + "\\VersionIndependentProgID", {}},
        {kClassKey + "\\NotInsertable", {}},
    };
    for (const std::string& iface : {kSiteKey, kHorologKey, kTimerSiteKey}) {
        keys.push_back({iface, {"NumMethods", "ProxyStubClsid", "ProxyStubClsid32"}});
        keys.push_back({iface + "\\NumMethods", {}});
        keys.push_back({iface + "\\ProxyStubClsid", {}});
        keys.push_back({iface + "\\ProxyStubClsid32", {}});
    }
    return keys;
}

// Every value the layout writes, all REG_SZ; a null name is the default
// value. Keys not listed here have no values at all.
struct ExpectedValue {
    std::string key;
    const char* name;
    std::string data;
};
std::vector<ExpectedValue> ExpectedValues(const std::string& modulePath) {
    std::vector<ExpectedValue> values = {
        {"Horolog.Hx", nullptr, "Global Horolog object."},
        {"Horolog.Hx\\CLSID", nullptr, kClsid},
        {"Horolog.Hx\\CurVer", nullptr, "Horolog.Hx.1"},
        {"Horolog.Hx.1", nullptr, "Global Horolog object. (Ver 1.0)"},
        {"Horolog.Hx.1\\CLSID", nullptr, kClsid},
        {kClassKey, nullptr, "Global Horolog object. (Ver 1.0)"},
        {kClassKey + "\\InprocServer32", nullptr, modulePath},
        {kClassKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {kClassKey + "\\ProgID", nullptr, "Horolog.Hx.1"},
        {kClassKey + "\\VersionIndependentProgID", nullptr, "Horolog.Hx"},
        {kSiteKey, nullptr, "IHorologSite"},
        {kHorologKey, nullptr, "IHorolog"},
        {kTimerSiteKey, nullptr, "ITimerSite"},
    };
    for (const std::string& iface : {kSiteKey, kHorologKey, kTimerSiteKey}) {
        values.push_back({iface + "\\NumMethods", nullptr, "0"});
        values.push_back({iface + "\\ProxyStubClsid", nullptr, kProxyStub});
        values.push_back({iface + "\\ProxyStubClsid32", nullptr, kProxyStub});
    }
    return values;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::set<std::string> LowerSet(const std::vector<std::string>& names) {
    std::set<std::string> set;
    for (const std::string& n : names) set.insert(Lower(n));
    return set;
}
std::set<std::string> LowerSet(const std::set<std::string>& names) {
    return LowerSet(std::vector<std::string>(names.begin(), names.end()));
}

bool SamePath(const std::string& a, const std::string& b) {
#if WINPLAT_NATIVE
    return a == b;
#else
    return Lower(a) == Lower(b);
#endif
}

// Checks the whole layout; the module path is compared as a path.
void ExpectRegistered(const std::string& modulePath) {
    for (const ExpectedKey& k : ExpectedKeys()) {
        SCOPED_TRACE(k.key);
        ASSERT_TRUE(KeyExists(k.key));
        EXPECT_EQ(LowerSet(SubKeys(k.key)), LowerSet(k.subKeys));
    }
    std::set<std::string> keysWithValues;
    for (const ExpectedValue& v : ExpectedValues(modulePath)) {
        SCOPED_TRACE(v.key + " : " + (v.name ? v.name : "(default)"));
        keysWithValues.insert(v.key);
        const RegValue value = ReadValue(v.key, v.name);
        ASSERT_EQ(value.lResult, ERROR_SUCCESS);
        EXPECT_EQ(value.dwType, static_cast<DWORD>(REG_SZ));
        // The terminating NUL is stored and counted.
        EXPECT_EQ(value.cbData, v.data.size() + 1);
        ASSERT_FALSE(value.data.empty());
        EXPECT_EQ(value.data.back(), '\0');
        const std::string text = value.data.substr(0, value.data.size() - 1);
        if (v.data == modulePath) {
            EXPECT_TRUE(SamePath(text, modulePath)) << text << " vs " << modulePath;
        } else {
            EXPECT_EQ(text, v.data);
        }
    }
    for (const ExpectedKey& k : ExpectedKeys()) {
        if (keysWithValues.count(k.key) != 0) continue;
        SCOPED_TRACE(k.key);
        EXPECT_EQ(ReadValue(k.key, nullptr).lResult, ERROR_FILE_NOT_FOUND) << "an empty key";
    }
    // The threading model belongs to the server key, not to the class key.
    EXPECT_EQ(ReadValue(kClassKey, "ThreadingModel").lResult, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadValue(kClassKey + "\\InprocServer32", "ThreadingModel").cbData, 10u);
    EXPECT_EQ(ReadValue("Horolog.Hx\\CLSID", nullptr).cbData, 39u);
    EXPECT_EQ(ReadValue(kSiteKey + "\\NumMethods", nullptr).cbData, 2u);
}

void ExpectNoneOfTheKeys() {
    for (const ExpectedKey& k : ExpectedKeys()) EXPECT_FALSE(KeyExists(k.key)) << k.key;
}

using Registration = ServerTest;

TEST_F(Registration, TheToolWritesEveryKeyAndValueAndRemovesThemAgain) {
    const std::string path = LinkedModulePath();
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(RunRegistrationTool(path, false), 0);
    ExpectRegistered(path);

    ASSERT_EQ(RunRegistrationTool(path, true), 0);
    ExpectNoneOfTheKeys();
    // The shared parents stay.
    EXPECT_TRUE(KeyExists("CLSID"));
    EXPECT_TRUE(KeyExists("Interface"));

    // Not registered any more: the tool reports the failure of the export.
    EXPECT_NE(RunRegistrationTool(path, true), 0);
}

TEST_F(Registration, DirectResultsOfRegisteringAndUnregisteringTwice) {
    const std::string path = LinkedModulePath();
    EXPECT_EQ(CallDllRegisterServer(), S_OK);
    // Damage a value: registering again opens the keys and overwrites it.
    {
        HKEY hKey = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Horolog.Hx\\CurVer", 0, KEY_ALL_ACCESS, &hKey),
                  ERROR_SUCCESS);
        const char stale[] = "stale";
        RegSetValueExA(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(stale),
                       sizeof stale);
        RegCloseKey(hKey);
    }
    EXPECT_EQ(CallDllRegisterServer(), S_OK);
    ExpectRegistered(path);

    EXPECT_EQ(CallDllUnregisterServer(), S_OK);
    ExpectNoneOfTheKeys();
    EXPECT_EQ(CallDllUnregisterServer(), E_TIMERFAILURE);
}

TEST_F(Registration, UnregisteringWhatIsNotRegisteredDeletesNothing) {
    // Some of the keys exist, but not the first one deleted.
    const std::vector<std::string> present = {"Horolog.Hx\\CurVer", "Horolog.Hx.1\\CLSID",
                                              kClassKey + "\\ProgID", kHorologKey + "\\NumMethods"};
    for (const std::string& key : present) ASSERT_EQ(CreateKey(key), ERROR_SUCCESS) << key;

    EXPECT_EQ(CallDllUnregisterServer(), E_TIMERFAILURE);
    for (const std::string& key : present) EXPECT_TRUE(KeyExists(key)) << key;
}

TEST_F(Registration, KeysWithForeignSubkeysStay) {
    ASSERT_EQ(CallDllRegisterServer(), S_OK);
    ASSERT_EQ(CreateKey(kClassKey + "\\InprocServer32\\Foreign"), ERROR_SUCCESS);
    ASSERT_EQ(CreateKey(kTimerSiteKey + "\\Foreign"), ERROR_SUCCESS);

    EXPECT_EQ(CallDllUnregisterServer(), S_OK);

    // What holds a foreign key stays, with the foreign keys; everything else
    // of the layout is gone.
    const std::set<std::string> staying = {kClassKey, kClassKey + "\\InprocServer32",
                                           kTimerSiteKey};
    for (const ExpectedKey& k : ExpectedKeys()) {
        EXPECT_EQ(KeyExists(k.key), staying.count(k.key) != 0) << k.key;
    }
    EXPECT_TRUE(KeyExists(kClassKey + "\\InprocServer32\\Foreign"));
    EXPECT_TRUE(KeyExists(kTimerSiteKey + "\\Foreign"));
}

// The path written is the module's own file, found from the module itself:
// it holds under another file name and beyond 250 characters.
TEST_F(Registration, WritesTheModulesOwnPathWhateverItsNameAndLength) {
    std::string dir = TempDir();
#if WINPLAT_NATIVE
    dir += "/" + std::string(120, 'd') + "/" + std::string(120, 'e');
    std::filesystem::create_directories(dir);
    dir = std::filesystem::canonical(dir).string();
    const std::string copy = dir + "/HorologCopy.so";
#else
    // Windows paths end at 259 characters; go just past 250.
    const std::string file = "\\HorologCopy.dll";
    ASSERT_LT(dir.size() + 1 + file.size(), 250u);
    dir += "\\" + std::string(254 - dir.size() - file.size(), 'd');
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    const std::string copy = dir + file;
#endif
    ASSERT_GT(copy.size(), 250u);
    ASSERT_TRUE(CopyFileTo(HorologPath(), copy));

    ASSERT_EQ(RunRegistrationTool(copy, false), 0);
    const RegValue value = ReadValue(kClassKey + "\\InprocServer32", nullptr);
    ASSERT_EQ(value.lResult, ERROR_SUCCESS);
    EXPECT_EQ(value.cbData, copy.size() + 1);
    EXPECT_TRUE(SamePath(value.data.c_str(), copy)) << value.data << " vs " << copy;

    EXPECT_EQ(RunRegistrationTool(copy, true), 0);
    ExpectNoneOfTheKeys();
#if !WINPLAT_NATIVE
    DeleteFileA(copy.c_str());
    RemoveDirectoryA(dir.c_str());
#endif
}

#if WINPLAT_NATIVE
// A key that cannot be created makes registration fail. The native registry
// keeps a key as a directory; a plain file in its place cannot become one.
TEST_F(Registration, AKeyThatCannotBeWrittenIsReportedAsFailure) {
    const char* pszRoot = std::getenv("WINPLAT_REGISTRY");
    ASSERT_NE(pszRoot, nullptr);
    const std::string classesRoot = std::string(pszRoot) + "/HKEY_CLASSES_ROOT/";
    ASSERT_EQ(CreateKey("CLSID"), ERROR_SUCCESS);  // makes sure the root exists

    struct Case {
        const char* blocked;               // top-level key name made unwritable
        std::vector<std::string> written;  // top keys written before the failure
    } cases[] = {
        {"Horolog.Hx", {}},
        {"Interface", {"Horolog.Hx", "Horolog.Hx.1", kClassKey}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.blocked);
        const std::string file = classesRoot + c.blocked;
        std::filesystem::remove_all(file);
        { std::ofstream(file) << "not a key"; }
        ASSERT_NE(CreateKey(std::string(c.blocked) + "\\Probe"), ERROR_SUCCESS)
            << "the blocked key can still be written";

        EXPECT_EQ(CallDllRegisterServer(), E_TIMERFAILURE);
        for (const std::string& top :
             {std::string("Horolog.Hx"), std::string("Horolog.Hx.1"), kClassKey}) {
            const bool bWritten =
                std::find(c.written.begin(), c.written.end(), top) != c.written.end();
            EXPECT_EQ(KeyExists(top), bWritten) << top;
        }
        std::filesystem::remove(file);
        RemoveHorologKeys();
    }
}
#endif

}  // namespace
}  // namespace servertest

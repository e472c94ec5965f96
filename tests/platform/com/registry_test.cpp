// Registry semantics, checked against the same expectations natively and on
// Windows: creation and opening, values and their lengths, deletion rules,
// names, handles, and sharing between processes.
#include "winplat/winapi.h"

#include "com_test_support.h"

#include <gtest/gtest.h>

#if WINPLAT_NATIVE
#include <cstdlib>
#include <filesystem>
#include <fstream>
#endif

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace comtest;

namespace {

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = "Software\\WinplatTests\\registry-" + process_suffix();
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr,
                                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                                 &base_, nullptr));
    }
    void TearDown() override {
        RegCloseKey(base_);
        delete_tree(HKEY_CURRENT_USER, path_);
        // The shared parent goes with the last test using it (it is refused
        // while another process's key is still below it).
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\WinplatTests");
    }

    // Creates (or opens) a key below the base; the handle is closed at the end.
    HKEY create(const char* sub, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(base_, sub, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                 KEY_ALL_ACCESS, nullptr, &key, disposition))
            << sub;
        if (key != nullptr) opened_.push_back(key);
        return key;
    }

    LONG open(const char* sub, REGSAM access, HKEY* key) {
        const LONG rc = RegOpenKeyExA(base_, sub, 0, access, key);
        if (rc == ERROR_SUCCESS) opened_.push_back(*key);
        return rc;
    }

    bool exists(const char* sub) {
        HKEY key = nullptr;
        const LONG rc = RegOpenKeyExA(base_, sub, 0, KEY_READ, &key);
        if (rc == ERROR_SUCCESS) RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }

    std::vector<std::string> subkeys(HKEY key) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[300];
            DWORD size = sizeof name;
            const LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(ERROR_SUCCESS, rc);
            if (rc != ERROR_SUCCESS) break;
            EXPECT_EQ(std::strlen(name), size);
            names.emplace_back(name);
        }
        return names;
    }

    static LONG set(HKEY key, const char* name, const void* data, DWORD size, DWORD type = REG_SZ) {
        return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    }

    ~Registry() override {
        for (HKEY key : opened_) RegCloseKey(key);
    }

    std::string path_;
    HKEY base_ = nullptr;
    std::vector<HKEY> opened_;
};

TEST_F(Registry, CreateReportsWhetherTheKeyIsNewAndCreatesIntermediateKeys) {
    DWORD disposition = 0;
    HKEY deep = create("a\\b\\c", &disposition);
    ASSERT_NE(nullptr, deep);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    EXPECT_TRUE(exists("a"));
    EXPECT_TRUE(exists("a\\b"));

    disposition = 0;
    HKEY again = create("a\\b\\c", &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_NE(deep, again);  // a new handle to the same key

    disposition = 0;
    create("a\\b", &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);

    // A value written through one handle is seen through the other.
    EXPECT_EQ(ERROR_SUCCESS, set(deep, "v", "x", 2));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(again, "v", nullptr, nullptr, nullptr, nullptr));

    // Separators: a doubled one is one, a trailing one is ignored, a leading
    // one is a bad path.
    EXPECT_TRUE(exists("a\\\\b\\c\\"));
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(base_, "\\lead", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                  nullptr, &key, nullptr));
}

TEST_F(Registry, OpenFailsForMissingKeys) {
    HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(base_, "missing", 0, KEY_READ, &key));
    EXPECT_EQ(nullptr, key);
    create("present");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(base_, "present\\missing", 0, KEY_READ, &key));

    // The base itself through an empty path, and a predefined key by itself.
    EXPECT_EQ(ERROR_SUCCESS, open("", KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key));
    EXPECT_EQ(HKEY_CURRENT_USER, key);
}

TEST_F(Registry, StringValuesKeepTheLengthTheWriterGave) {
    struct Case {
        const char* name;
        const char* data;
        DWORD size;
    } cases[] = {
        {"with-nul", "hello", 6},
        {"without-nul", "hello!!", 5},  // stored as given: no terminator added
        {"empty", "", 1},
        {"nothing", nullptr, 0},
        {"embedded", "a\0b\0", 5},
        {"Apartment", "Apartment", 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ERROR_SUCCESS, set(base_, c.name, c.data, c.size));
        DWORD type = 0;
        DWORD size = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, c.name, nullptr, &type, nullptr, &size));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ(c.size, size);
        char buffer[32];
        size = sizeof buffer;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, c.name, nullptr, &type,
                                                  reinterpret_cast<BYTE*>(buffer), &size));
        EXPECT_EQ(c.size, size);
        if (c.size > 0) {
            EXPECT_EQ(0, std::memcmp(buffer, c.data, c.size));
        }
    }

    // Other types round-trip too.
    const DWORD number = 0x01020304;
    ASSERT_EQ(ERROR_SUCCESS, set(base_, "number", &number, sizeof number, REG_DWORD));
    DWORD type = 0;
    DWORD read = 0;
    DWORD size = sizeof read;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, "number", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&read), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(number, read);
}

TEST_F(Registry, DefaultValueIsTheUnnamedOneAndOverwritesInPlace) {
    ASSERT_EQ(ERROR_SUCCESS, set(base_, nullptr, "first", 6));
    char buffer[16];
    DWORD size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, "", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_STREQ("first", buffer);

    ASSERT_EQ(ERROR_SUCCESS, set(base_, "", "2nd", 4));
    size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, nullptr, nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_EQ(4u, size);
    EXPECT_STREQ("2nd", buffer);

    // A new key has no default value.
    HKEY empty = create("empty");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(empty, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Registry, QueryReportsTheNeededSizeWhenTheBufferIsTooSmall) {
    ASSERT_EQ(ERROR_SUCCESS, set(base_, "v", "hello", 6));
    const DWORD sizes[] = {0, 1, 5};
    for (DWORD given : sizes) {
        char buffer[8];
        DWORD size = given;
        EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(base_, "v", nullptr, nullptr,
                                                    reinterpret_cast<BYTE*>(buffer), &size))
            << given;
        EXPECT_EQ(6u, size) << given;
    }
    char buffer[6];
    DWORD size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, "v", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_STREQ("hello", buffer);

    // A buffer without a size is refused; a missing value leaves the size alone.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(base_, "v", nullptr, nullptr,
                                                        reinterpret_cast<BYTE*>(buffer), nullptr));
    size = 77;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(base_, "missing", nullptr, nullptr,
                                                     reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_EQ(77u, size);
}

TEST_F(Registry, DeleteRemovesOneKeyAndOnlyAKeyWithoutSubkeys) {
    create("parent\\child");
    ASSERT_EQ(ERROR_SUCCESS, set(base_, "v", "x", 2));

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(base_, "parent"));
    EXPECT_TRUE(exists("parent\\child"));

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(base_, "parent\\child"));
    EXPECT_FALSE(exists("parent\\child"));
    EXPECT_TRUE(exists("parent"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(base_, "parent\\child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(base_, "parent"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(base_, "parent"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(base_, "never\\was"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(base_, nullptr));

    // An empty path deletes the key of the handle; a predefined key stays.
    HKEY self = create("self");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(self, ""));
    EXPECT_FALSE(exists("self"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, ""));

    // The values of the base were not touched.
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, "v", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Registry, DeleteValue) {
    ASSERT_EQ(ERROR_SUCCESS, set(base_, "a", "1", 2));
    ASSERT_EQ(ERROR_SUCCESS, set(base_, "b", "2", 2));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(base_, "A"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(base_, "a"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(base_, "a", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(base_, "b", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(base_, "b"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(base_, nullptr));
}

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirCase) {
    DWORD disposition = 0;
    create("MixedCase", &disposition);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    create("MIXEDCASE", &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, open("mixedcase", KEY_ALL_ACCESS, &key));
    EXPECT_EQ(std::vector<std::string>{"MixedCase"}, subkeys(base_));

    ASSERT_EQ(ERROR_SUCCESS, set(key, "ValueName", "one", 4));
    ASSERT_EQ(ERROR_SUCCESS, set(key, "VALUENAME", "two", 4));  // the same value
    char buffer[8];
    DWORD size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "valuename", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_STREQ("two", buffer);
}

TEST_F(Registry, NamesWithCharactersFilesCannotHaveRoundTrip) {
    const std::set<std::string> names = {"sl/ash",
                                         "per%cent",
                                         ".dot",
                                         "..",
                                         "sp ace",
                                         "tab\there",
                                         "{6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F30}"};
    for (const std::string& name : names) {
        HKEY key = create(name.c_str());
        ASSERT_NE(nullptr, key) << name;
        ASSERT_EQ(ERROR_SUCCESS,
                  set(key, name.c_str(), name.c_str(), static_cast<DWORD>(name.size() + 1)));
    }
    const std::vector<std::string> listed = subkeys(base_);
    EXPECT_EQ(names, std::set<std::string>(listed.begin(), listed.end()));
    for (const std::string& name : names) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, open(name.c_str(), KEY_READ, &key)) << name;
        char buffer[64];
        DWORD size = sizeof buffer;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                                  reinterpret_cast<BYTE*>(buffer), &size));
        EXPECT_EQ(name, buffer);
    }
}

TEST_F(Registry, EnumerationListsEachSubkeyOnceAndChecksTheBufferSize) {
    const std::set<std::string> names = {"beta", "Alpha", "_under", "0num", "Zed"};
    for (const std::string& name : names) create(name.c_str());
    create("beta\\grandchild");  // not a subkey of the base
    const std::vector<std::string> listed = subkeys(base_);
    EXPECT_EQ(names.size(), listed.size());
    EXPECT_EQ(names, std::set<std::string>(listed.begin(), listed.end()));

    // The name must fit with its terminating NUL; the size is left alone
    // when it does not.
    const std::string first = listed.front();
    char buffer[32];
    DWORD size = static_cast<DWORD>(first.size());
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumKeyExA(base_, 0, buffer, &size, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(first.size(), size);
    size = static_cast<DWORD>(first.size() + 1);
    EXPECT_EQ(ERROR_SUCCESS,
              RegEnumKeyExA(base_, 0, buffer, &size, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(first, buffer);
    EXPECT_EQ(first.size(), size);

    HKEY leaf = create("Zed");
    size = sizeof buffer;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumKeyExA(leaf, 0, buffer, &size, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Registry, InvalidAndClosedHandlesAreRefused) {
    HKEY key = create("k");
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    opened_.pop_back();
    const HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345));
    for (HKEY h : {key, bogus}) {
        HKEY out = nullptr;
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(h));
        EXPECT_EQ(ERROR_INVALID_HANDLE, set(h, "v", "x", 2));
        EXPECT_EQ(ERROR_INVALID_HANDLE,
                  RegQueryValueExA(h, "v", nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(h, "x", 0, KEY_READ, &out));
        EXPECT_EQ(ERROR_INVALID_HANDLE,
                  RegCreateKeyExA(h, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(h, "x"));
    }
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_CLASSES_ROOT));  // predefined: nothing to close
}

TEST_F(Registry, HandleOfADeletedKeyReportsItsKeyDeleted) {
    HKEY doomed = create("doomed");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(base_, "doomed"));
    create("doomed");  // a new key of the same name is another key

    HKEY out = nullptr;
    char name[16];
    DWORD size = sizeof name;
    EXPECT_EQ(ERROR_KEY_DELETED, set(doomed, "v", "x", 2));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(doomed, "v", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(doomed, "sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &out, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(doomed, "", 0, KEY_READ, &out));
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegEnumKeyExA(doomed, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteKeyA(doomed, ""));
    EXPECT_FALSE(exists("doomed\\sub"));
}

TEST_F(Registry, AccessRequestedForTheHandleIsEnforced) {
    ASSERT_EQ(ERROR_SUCCESS, set(create("k"), "v", "x", 2));
    HKEY reader = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, open("k", KEY_READ, &reader));
    EXPECT_EQ(ERROR_ACCESS_DENIED, set(reader, "v", "y", 2));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(reader, "v"));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(reader, "v", nullptr, nullptr, nullptr, nullptr));

    HKEY writer = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, open("k", KEY_SET_VALUE, &writer));
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegQueryValueExA(writer, "v", nullptr, nullptr, nullptr, nullptr));
    char name[16];
    DWORD size = sizeof name;
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegEnumKeyExA(writer, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, set(writer, "v", "y", 2));
}

TEST_F(Registry, ThreadsWritingOneKeyLoseNoValue) {
    constexpr int kThreads = 4;
    constexpr int kWrites = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kWrites; ++i) {
                HKEY key = nullptr;
                ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(base_, "shared", 0, nullptr, 0,
                                                         KEY_ALL_ACCESS, nullptr, &key, nullptr));
                const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(ERROR_SUCCESS, set(key, name.c_str(), name.c_str(),
                                             static_cast<DWORD>(name.size() + 1)));
                RegCloseKey(key);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    HKEY key = create("shared");
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
            EXPECT_EQ(ERROR_SUCCESS,
                      RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr))
                << name;
        }
    }
}

#if WINPLAT_NATIVE
// Natively the registry is a directory tree. A crash can leave a temporary
// values file or a renamed, half-removed key behind: neither is a key, and
// the next change in that key removes them. A values file damaged by other
// hands is reported, never overwritten.
TEST_F(Registry, OnDiskLeftoversAreIgnoredAndDamageIsReported) {
    HKEY key = create("k");
    ASSERT_EQ(ERROR_SUCCESS, set(key, "v", "kept", 5));
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(std::getenv("WINPLAT_REGISTRY")) / "HKEY_CURRENT_USER" /
                         "Software" / "WinplatTests" / ("registry-" + process_suffix()) / "k";
    ASSERT_TRUE(fs::is_regular_file(dir / ".values"));
    std::ofstream(dir / ".values.tmp.99999") << "half a file";
    fs::create_directory(dir / ".del.1.1");
    std::ofstream(dir / ".del.1.1" / ".values") << "winplat-registry-values 1\n";

    EXPECT_TRUE(subkeys(key).empty());
    char buffer[8];
    DWORD size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_STREQ("kept", buffer);

    create("k\\new");
    EXPECT_FALSE(fs::exists(dir / ".values.tmp.99999"));
    EXPECT_FALSE(fs::exists(dir / ".del.1.1"));

    std::ofstream(dir / ".values", std::ios::trunc) << "not a values file";
    EXPECT_EQ(ERROR_BADDB, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_BADDB, set(key, "w", "x", 2));
    std::ifstream in(dir / ".values");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("not a values file", text);
}
#endif

// ---- two processes ---------------------------------------------------------

TEST_F(Registry, AnotherProcessSeesWhatThisOneWroteAndTheOtherWay) {
    const std::string child = program_path("platform_com_child");
    const std::string key = path_ + "\\shared";
    ASSERT_EQ(ERROR_SUCCESS, set_string(HKEY_CURRENT_USER, key, "from-parent", "parent value"));
    EXPECT_EQ(0, run_program(child, {"expect", key, "from-parent", "parent value"}));
    EXPECT_EQ(2, run_program(child, {"expect", key, "from-parent", "something else"}));
    EXPECT_EQ(1, run_program(child, {"expect", key, "missing", "x"}));

    ASSERT_EQ(0, run_program(child, {"set", key, "from-child", "child value"}));
    std::string value;
    ASSERT_TRUE(get_string(HKEY_CURRENT_USER, key, "from-child", &value));
    EXPECT_EQ("child value", value);
}

TEST_F(Registry, ProcessesWritingOneKeyAtOnceLoseNoValue) {
    const std::string child = program_path("platform_com_child");
    const std::string key = path_ + "\\contended";
    constexpr int kWrites = 30;
    std::vector<std::thread> writers;
    std::vector<int> results(3, -1);
    for (int p = 0; p < 3; ++p) {
        writers.emplace_back([&, p] {
            results[p] = run_program(
                child, {"hammer", key, "p" + std::to_string(p) + "-", std::to_string(kWrites)});
        });
    }
    for (std::thread& w : writers) w.join();
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(0, results[p]) << p;
        for (int i = 0; i < kWrites; ++i) {
            const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
            std::string value;
            EXPECT_TRUE(get_string(HKEY_CURRENT_USER, key, name.c_str(), &value)) << name;
            EXPECT_EQ(name, value);
        }
    }
}

}  // namespace

// The COM runtime: apartments, GUID strings, ProgIDs and activation of the
// test server (ComTestServer) through the registry.
#include "winplat/winapi.h"

#include "com_test_ids.h"
#include "com_test_support.h"
#include "load_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef SELFREG_E_CLASS
#define SELFREG_E_CLASS static_cast<HRESULT>(0x80040201u)
#endif

using namespace comtest;

namespace {

const std::string kServer = "ComTestServer";
constexpr int kGuidChars = 39;  // "{...}" and its terminating NUL

std::string guid_string(REFGUID id) {
    OLECHAR text[kGuidChars];
    if (StringFromGUID2(id, text, kGuidChars) != kGuidChars) return std::string();
    return std::string(text, text + kGuidChars - 1);
}

// A class id tail of this process, so that its registrations are its own.
const uint8_t* process_tail() {
    static uint8_t tail[6];
    static const bool made = [] {
        std::random_device device;
        for (uint8_t& b : tail) b = static_cast<uint8_t>(device());
        return true;
    }();
    (void)made;
    return tail;
}

template <class Fn>
Fn export_of(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

bool server_loaded() { return GetModuleHandleA((kServer + kModuleExt).c_str()) != nullptr; }

// Registers the test server's classes under class ids of this process.
class Com : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        good_ = make_clsid(kGoodClass, process_tail());
        failing_ = make_clsid(kFailingFactory, process_tail());
        unserved_ = make_clsid(kUnservedClass, process_tail());
        prog_id_ = "WinplatTest.Object." + process_suffix();
        for (REFCLSID id : {good_, failing_, unserved_}) register_class(id, module_path(kServer));
        ASSERT_EQ(ERROR_SUCCESS,
                  set_string(HKEY_CLASSES_ROOT, prog_id_ + "\\CLSID", nullptr, guid_string(good_)));
        keys_.push_back(prog_id_);
    }

    void TearDown() override {
        for (const std::string& key : keys_) delete_tree(HKEY_CLASSES_ROOT, key);
        CoFreeUnusedLibraries();
        CoUninitialize();
    }

    void register_class(REFCLSID id, const std::string& server) {
        const std::string key = "CLSID\\" + guid_string(id);
        keys_.push_back(key);
        ASSERT_EQ(ERROR_SUCCESS,
                  set_string(HKEY_CLASSES_ROOT, key + "\\InprocServer32", nullptr, server));
        ASSERT_EQ(ERROR_SUCCESS, set_string(HKEY_CLASSES_ROOT, key + "\\InprocServer32",
                                            "ThreadingModel", "Both"));
    }

    // A class id of this process's family that nothing registered.
    CLSID unregistered(uint16_t behaviour) {
        uint8_t tail[6];
        std::copy(process_tail(), process_tail() + 6, tail);
        tail[5] ^= 0xFF;
        return make_clsid(behaviour, tail);
    }

    CLSID good_, failing_, unserved_;
    std::string prog_id_;
    std::vector<std::string> keys_;
};

int value_of(IUnknown* object) {
    ITestObject* test = nullptr;
    if (FAILED(object->QueryInterface(IID_ITestObject, reinterpret_cast<void**>(&test)))) return -1;
    int value = -1;
    test->GetValue(&value);
    test->Release();
    return value;
}

TEST_F(Com, CreatesAnObjectByClassIdAndByProgId) {
    ITestObject* object = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                     reinterpret_cast<void**>(&object)));
    ASSERT_NE(nullptr, object);
    int value = 0;
    EXPECT_EQ(S_OK, object->GetValue(&value));
    EXPECT_EQ(kTestObjectValue, value);
    object->Release();

    CLSID by_prog_id = GUID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromProgID(ole(prog_id_).c_str(), &by_prog_id));
    EXPECT_TRUE(IsEqualCLSID(good_, by_prog_id));
    std::string other_case = prog_id_;
    for (char& c : other_case) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    CLSID by_other_case = GUID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromProgID(ole(other_case).c_str(), &by_other_case));
    EXPECT_TRUE(IsEqualCLSID(good_, by_other_case));
    // CLSIDFromString takes a ProgID as well.
    CLSID by_string = GUID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromString(ole(prog_id_).c_str(), &by_string));
    EXPECT_TRUE(IsEqualCLSID(good_, by_string));

    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK,
              CoCreateInstance(by_prog_id, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                               IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(kTestObjectValue, value_of(unknown));
    unknown->Release();
}

TEST_F(Com, ClassObjectIsTheServersFactory) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, CoGetClassObject(good_, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(&factory)));
    ASSERT_NE(nullptr, factory);
    IUnknown* first = nullptr;
    IUnknown* second = nullptr;
    ASSERT_EQ(S_OK,
              factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&first)));
    ASSERT_EQ(S_OK,
              factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&second)));
    EXPECT_NE(first, second);
    EXPECT_EQ(kTestObjectValue, value_of(first));
    first->Release();
    second->Release();
    factory->Release();
}

TEST_F(Com, ActivationFailuresReportTheCause) {
    // A class key without a server, and a server key without a path.
    const CLSID no_server = unregistered(kGoodClass);
    const CLSID no_path = unregistered(kFailingFactory);
    keys_.push_back("CLSID\\" + guid_string(no_server));
    keys_.push_back("CLSID\\" + guid_string(no_path));
    ASSERT_EQ(ERROR_SUCCESS, set_string(HKEY_CLASSES_ROOT, "CLSID\\" + guid_string(no_server),
                                        nullptr, "no server"));
    ASSERT_EQ(ERROR_SUCCESS,
              set_string(HKEY_CLASSES_ROOT, "CLSID\\" + guid_string(no_path) + "\\InprocServer32",
                         "ThreadingModel", "Both"));

    struct Case {
        const char* what;
        CLSID clsid;
        DWORD context;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {"unregistered class", unregistered(kUnservedClass), CLSCTX_INPROC_SERVER, &IID_IUnknown,
         REGDB_E_CLASSNOTREG},
        {"class without InprocServer32", no_server, CLSCTX_INPROC_SERVER, &IID_IUnknown,
         REGDB_E_CLASSNOTREG},
        {"InprocServer32 without a path", no_path, CLSCTX_INPROC_SERVER, &IID_IUnknown,
         REGDB_E_CLASSNOTREG},
#if WINPLAT_NATIVE
        // (Wine asks its service process for local servers and waits ten
        // seconds for its answer.)
        {"out-of-process only", good_, CLSCTX_LOCAL_SERVER, &IID_IUnknown, REGDB_E_CLASSNOTREG},
#endif
        {"factory fails", failing_, CLSCTX_INPROC_SERVER, &IID_IUnknown, kCreateFailure},
        {"server refuses the class", unserved_, CLSCTX_INPROC_SERVER, &IID_IUnknown,
         CLASS_E_CLASSNOTAVAILABLE},
        {"object lacks the interface", good_, CLSCTX_INPROC_SERVER, &IID_IClassFactory,
         E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        void* out = &out;
        EXPECT_EQ(c.expected, CoCreateInstance(c.clsid, nullptr, c.context, *c.iid, &out))
            << c.what;
        EXPECT_EQ(nullptr, out) << c.what;
    }

    // An outer object goes to the server's factory, which refuses aggregation.
    struct Outer : public IUnknown {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
    } outer;
    IUnknown* object = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CoCreateInstance(good_, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)));
    EXPECT_EQ(E_POINTER,
              CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr));
    EXPECT_EQ(E_INVALIDARG,
              CoGetClassObject(good_, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, nullptr));
}

TEST_F(Com, ServerLibrariesThatCannotServeFailAndDoNotStayLoaded) {
    const CLSID missing_file = unregistered(kGoodClass);
    const CLSID no_entry_point = unregistered(kFailingFactory);
    const CLSID refuses_to_load = unregistered(kUnservedClass);
    register_class(missing_file, module_path("NoSuchServer"));
    register_class(no_entry_point, module_path("WinplatTestDependency"));
    register_class(refuses_to_load, module_path("WinplatTestModule"));
    probe_set_attach_failure("mod", true);

    struct Case {
        const char* what;
        CLSID clsid;
        const char* library;
        HRESULT native;  // what Windows reports; Wine reports other failures
    } cases[] = {
        {"missing library", missing_file, nullptr, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {"no DllGetClassObject", no_entry_point, "WinplatTestDependency", CO_E_ERRORINDLL},
        {"DllMain fails", refuses_to_load, "WinplatTestModule",
         HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED)},
    };
    for (const Case& c : cases) {
        IUnknown* object = nullptr;
        const HRESULT hr = CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&object));
        EXPECT_TRUE(FAILED(hr)) << c.what;
        EXPECT_EQ(nullptr, object) << c.what;
#if WINPLAT_NATIVE
        EXPECT_EQ(c.native, hr) << c.what;
#endif
        if (c.library != nullptr) {
            EXPECT_EQ(nullptr, GetModuleHandleA((std::string(c.library) + kModuleExt).c_str()))
                << c.what;
        }
    }
    probe_set_attach_failure("mod", false);
}

TEST_F(Com, UnusedServersAreUnloadedOnlyWhenTheyAgree) {
    // Windows unloads a server whose objects may live in the multithreaded
    // apartment ("Both", "Free") only ten minutes after it agreed; an
    // apartment-threaded one at once.
    ASSERT_EQ(ERROR_SUCCESS,
              set_string(HKEY_CLASSES_ROOT, "CLSID\\" + guid_string(good_) + "\\InprocServer32",
                         "ThreadingModel", "Apartment"));
    CoFreeUnusedLibraries();
    ASSERT_FALSE(server_loaded());

    ITestObject* object = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                     reinterpret_cast<void**>(&object)));
    EXPECT_TRUE(server_loaded());
    CoFreeUnusedLibraries();
    EXPECT_TRUE(server_loaded());  // an object is alive
    object->Release();

    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, CoGetClassObject(good_, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(server_loaded());  // locked

    ASSERT_EQ(S_OK, CoGetClassObject(good_, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(server_loaded());

    // It comes back when needed.
    ASSERT_EQ(S_OK, CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                     reinterpret_cast<void**>(&object)));
    object->Release();
}

TEST_F(Com, ThreadThatDidNotInitialiseIsRefused) {
    HRESULT create = S_OK;
    HRESULT get = S_OK;
    HRESULT after_init = E_FAIL;
    std::thread([&] {
        IUnknown* object = nullptr;
        create = CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&object));
        get = CoGetClassObject(good_, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&object));
        if (SUCCEEDED(CoInitialize(nullptr))) {
            after_init = CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          reinterpret_cast<void**>(&object));
            if (SUCCEEDED(after_init)) object->Release();
            CoUninitialize();
        }
    }).join();
    EXPECT_EQ(CO_E_NOTINITIALIZED, create);
    EXPECT_EQ(CO_E_NOTINITIALIZED, get);
    EXPECT_EQ(S_OK, after_init);
}

TEST_F(Com, ThreadThatDidNotInitialiseUsesTheMultithreadedApartmentWhileItExists) {
    std::promise<void> mta_entered, probe_done, mta_left;
    std::thread mta_thread([&] {
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        mta_entered.set_value();
        probe_done.get_future().wait();
        CoUninitialize();
        mta_left.set_value();
    });
    HRESULT while_mta = E_FAIL;
    HRESULT after_mta = S_OK;
    std::thread plain_thread([&] {
        mta_entered.get_future().wait();
        IUnknown* object = nullptr;
        while_mta = CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&object));
        if (SUCCEEDED(while_mta)) object->Release();
        std::future<void> left = mta_left.get_future();
        probe_done.set_value();
        left.wait();
        after_mta = CoCreateInstance(good_, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&object));
    });
    mta_thread.join();
    plain_thread.join();
    EXPECT_EQ(S_OK, while_mta);
    EXPECT_EQ(CO_E_NOTINITIALIZED, after_mta);
}

TEST(ComApartment, InitialisationNestsPerThreadAndKeepsItsModel) {
    std::thread([] {
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
        CoUninitialize();
        CoUninitialize();  // one too many: harmless

        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE));
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitialize(nullptr));
        CoUninitialize();
        CoUninitialize();

        EXPECT_EQ(S_OK, CoInitialize(nullptr));
        CoUninitialize();
    }).join();
}

TEST(ComGuid, StringsRoundTripAndMalformedOnesAreRefused) {
    const GUID id = {0x6A3C51E2, 0x7D94, 0x4B1F, {0x9E, 0x08, 0x2C, 0x5D, 0x7B, 0x6A, 0x1F, 0x30}};
    OLECHAR text[kGuidChars + 4];
    EXPECT_EQ(kGuidChars, StringFromGUID2(id, text, kGuidChars));
    EXPECT_EQ(ole("{6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F30}"), std::basic_string<OLECHAR>(text));
    EXPECT_EQ(0, StringFromGUID2(id, text, kGuidChars - 1));

    GUID parsed = GUID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromString(text, &parsed));
    EXPECT_TRUE(IsEqualGUID(id, parsed));
    parsed = GUID_NULL;
    EXPECT_EQ(S_OK,
              CLSIDFromString(ole("{6a3c51e2-7d94-4b1f-9e08-2c5d7b6a1f30}").c_str(), &parsed));
    EXPECT_TRUE(IsEqualGUID(id, parsed));
    EXPECT_FALSE(IsEqualGUID(id, GUID_NULL));
    EXPECT_FALSE(IsEqualIID(IID_IUnknown, IID_IClassFactory));

    const char* malformed[] = {
        "",
        "6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F30",
        "{6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F3}",
        "{6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F30",
        "{6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F30}x",
        "{6A3C51EG-7D94-4B1F-9E08-2C5D7B6A1F30}",
        "{6A3C51E2+7D94-4B1F-9E08-2C5D7B6A1F30}",
        "{6A3C51E2-7D944B1F-9E08-2C5D7B6A1F30-}",
        "{ 6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F3}",
    };
    for (const char* s : malformed) {
        GUID out;
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(ole(s).c_str(), &out)) << s;
    }
    parsed = id;
    EXPECT_EQ(S_OK, CLSIDFromString(nullptr, &parsed));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, parsed));
    EXPECT_EQ(E_INVALIDARG, CLSIDFromString(text, nullptr));
}

TEST(ComProgId, UnknownOrBrokenProgIdsAreClassStringErrors) {
    const std::string base = "WinplatTest.Broken." + process_suffix();
    ASSERT_EQ(ERROR_SUCCESS, set_string(HKEY_CLASSES_ROOT, base + ".NoClsid", nullptr, "x"));
    ASSERT_EQ(ERROR_SUCCESS,
              set_string(HKEY_CLASSES_ROOT, base + ".Garbage\\CLSID", nullptr, "not a guid"));
    const std::string names[] = {base + ".Unknown", base + ".NoClsid", base + ".Garbage"};
    for (const std::string& name : names) {
        CLSID out;
        std::memset(&out, 0xAB, sizeof out);
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(ole(name).c_str(), &out)) << name;
        EXPECT_TRUE(IsEqualCLSID(GUID_NULL, out)) << name;
    }
    CLSID out;
    EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(nullptr, &out));
    EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(ole(names[0]).c_str(), nullptr));
    delete_tree(HKEY_CLASSES_ROOT, base + ".NoClsid");
    delete_tree(HKEY_CLASSES_ROOT, base + ".Garbage");
}

TEST_F(Com, SelfRegistrationOfTheTestServer) {
    HMODULE server = LoadLibraryA((kServer + kModuleExt).c_str());
    ASSERT_NE(nullptr, server);
    auto register_server = export_of<HRESULT(STDAPICALLTYPE*)(void)>(server, "DllRegisterServer");
    auto unregister_server =
        export_of<HRESULT(STDAPICALLTYPE*)(void)>(server, "DllUnregisterServer");
    ASSERT_NE(nullptr, register_server);
    ASSERT_NE(nullptr, unregister_server);
    const std::string class_key = std::string("CLSID\\") + kRegisteredClsidString;
    delete_tree(HKEY_CLASSES_ROOT, class_key);  // left over by an interrupted run
    keys_.push_back(class_key);
    keys_.push_back(kRegisteredProgId);

    ASSERT_EQ(S_OK, register_server());
    std::string path;
    ASSERT_TRUE(get_string(HKEY_CLASSES_ROOT, class_key + "\\InprocServer32", nullptr, &path));
    EXPECT_EQ(module_path(kServer), path);
    CLSID clsid = GUID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromProgID(ole(kRegisteredProgId).c_str(), &clsid));
    EXPECT_TRUE(IsEqualCLSID(registered_clsid(), clsid));
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&object)));
    EXPECT_EQ(kTestObjectValue, value_of(object));
    object->Release();

    EXPECT_EQ(S_OK, unregister_server());
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, kRegisteredProgId));
    EXPECT_EQ(SELFREG_E_CLASS, unregister_server());
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)));
    EXPECT_TRUE(FreeLibrary(server));
}

}  // namespace

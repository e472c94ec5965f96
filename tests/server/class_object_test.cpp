// DllGetClassObject, the class factory, the one-manager rule and
// DllCanUnloadNow.
#include "server_fixture.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace servertest {
namespace {

// {1B9C3E4D-5A6F-4B70-8C91-A2B3C4D5E6F7}: a class id that is not the manager's.
const GUID kOtherClsid = {
    0x1B9C3E4D, 0x5A6F, 0x4B70, {0x8C, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7}};

void* const kSentinel = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A5A5A50));

// An outer object that records whether anybody called it.
struct RecordingUnknown : IUnknown {
    std::atomic<int> calls{0};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        ++calls;
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++calls); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++calls); }
};

using ClassObject = ServerTest;

TEST_F(ClassObject, ResultsForEveryCombinationOfClassAndInterface) {
    struct Case {
        const char* what;
        const GUID* clsid;
        const IID* iid;
        bool nullOut;
        HRESULT expected;
    } cases[] = {
        {"manager class, IClassFactory", &CLSID_Horolog, &IID_IClassFactory, false, S_OK},
        {"manager class, IUnknown", &CLSID_Horolog, &IID_IUnknown, false, S_OK},
        {"manager class, IHorolog", &CLSID_Horolog, &IID_IHorolog, false, E_NOINTERFACE},
        {"other class, IClassFactory", &kOtherClsid, &IID_IClassFactory, false, E_TIMERFAILURE},
        {"other class, IUnknown", &kOtherClsid, &IID_IUnknown, false, E_TIMERFAILURE},
        // The interface is tested before the class.
        {"other class, IHorolog", &kOtherClsid, &IID_IHorolog, false, E_NOINTERFACE},
        {"manager class, null out pointer", &CLSID_Horolog, &IID_IClassFactory, true, E_POINTER},
        {"other class and interface, null out pointer", &kOtherClsid, &IID_IHorolog, true,
         E_POINTER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* pv = kSentinel;
        EXPECT_EQ(CallDllGetClassObject(*c.clsid, *c.iid, c.nullOut ? nullptr : &pv), c.expected);
        if (c.expected == S_OK) {
            ASSERT_NE(pv, kSentinel);
            ASSERT_NE(pv, nullptr);
            // The caller holds the only reference.
            EXPECT_EQ(static_cast<IUnknown*>(pv)->Release(), 0u);
        } else {
            EXPECT_EQ(pv, kSentinel) << "the out pointer is written only on success";
        }
        // Nothing is left behind, so the module could be unloaded.
        EXPECT_EQ(CallDllCanUnloadNow(), S_OK);
    }
}

TEST_F(ClassObject, EachCallMakesAFactoryOfItsOwnWithOneReference) {
    IClassFactory* pFirst = NewFactory();
    IClassFactory* pSecond = NewFactory();
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_NE(pFirst, pSecond);
    EXPECT_EQ(pFirst->AddRef(), 2u);
    EXPECT_EQ(pFirst->Release(), 1u);
    EXPECT_EQ(pFirst->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_FALSE) << "the second factory is still alive";
    EXPECT_EQ(pSecond->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_OK);
}

TEST_F(ClassObject, FactoryQueryInterface) {
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);

    for (const IID* piid : {&IID_IUnknown, &IID_IClassFactory}) {
        void* pv = nullptr;
        EXPECT_EQ(pFactory->QueryInterface(*piid, &pv), S_OK);
        EXPECT_EQ(pv, static_cast<void*>(pFactory));
    }
    // Two references were added.
    EXPECT_EQ(pFactory->Release(), 2u);
    EXPECT_EQ(pFactory->Release(), 1u);

    void* pv = kSentinel;
    EXPECT_EQ(pFactory->QueryInterface(IID_IHorolog, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(pFactory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);

    EXPECT_EQ(pFactory->Release(), 0u);
}

TEST_F(ClassObject, LockServerKeepsTheModuleLoadedButNotTheFactory) {
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    EXPECT_EQ(pFactory->AddRef(), 2u) << "LockServer leaves the factory's count alone";
    EXPECT_EQ(pFactory->Release(), 1u);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_FALSE) << "a server lock is held";

    pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(pFactory->AddRef(), 2u);
    EXPECT_EQ(pFactory->Release(), 1u);
    // An unlock without a lock changes nothing: a later lock still counts.
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_OK);

    pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_FALSE);
    pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_OK);
}

TEST_F(ClassObject, CreateInstanceMakesTheOneManager) {
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);

    IHorolog* pHorolog = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IHorolog, reinterpret_cast<void**>(&pHorolog)),
              S_OK);
    ASSERT_NE(pHorolog, nullptr);
    Counters counters = ReadCounters();
    EXPECT_EQ(counters.objects, 1u);
    EXPECT_EQ(counters.refs, 1u);
    // The manager is usable, and it keeps the module loaded without the
    // factory.
    DWORD dwId = 0;
    EXPECT_EQ(pHorolog->GetTimerId(&dwId), S_OK);
    EXPECT_NE(dwId, 0u);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_FALSE);

    // While it lives no second one is made, whatever the arguments; the
    // refusal comes before any argument is looked at.
    RecordingUnknown outer;
    pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    struct Case {
        IUnknown* outer;
        const IID* iid;
        bool nullOut;
    } cases[] = {
        {nullptr, &IID_IHorolog, false},      {nullptr, &IID_IUnknown, false},
        {nullptr, &IID_IClassFactory, false}, {nullptr, &IID_IHorolog, true},
        {&outer, &IID_IHorolog, false},
    };
    for (const Case& c : cases) {
        void* pv = kSentinel;
        EXPECT_EQ(pFactory->CreateInstance(c.outer, *c.iid, c.nullOut ? nullptr : &pv),
                  E_ACCESSDENIED);
        EXPECT_EQ(pv, kSentinel);
    }
    EXPECT_EQ(ReadCounters().objects, 1u);

    EXPECT_EQ(pHorolog->Release(), 0u);
    EXPECT_EQ(ReadCounters().objects, 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_FALSE) << "the factory is still alive";

    // After the last Release a new manager can be made, by the same factory.
    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&pUnknown)),
              S_OK);
    ASSERT_NE(pUnknown, nullptr);
    EXPECT_EQ(ReadCounters().objects, 1u);
    EXPECT_EQ(pUnknown->Release(), 0u);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_OK);
    EXPECT_EQ(outer.calls.load(), 0);
}

TEST_F(ClassObject, RefusedCreationsLeaveNoManagerBehind) {
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    RecordingUnknown outer;
    struct Case {
        const char* what;
        IUnknown* outer;
        const IID* iid;
        bool nullOut;
        HRESULT expected;
    } cases[] = {
        {"interface the manager does not have", nullptr, &IID_IClassFactory, false, E_NOINTERFACE},
        {"null out pointer", nullptr, &IID_IHorolog, true, E_POINTER},
        {"aggregation", &outer, &IID_IUnknown, false, CLASS_E_NOAGGREGATION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* pv = kSentinel;
        EXPECT_EQ(pFactory->CreateInstance(c.outer, *c.iid, c.nullOut ? nullptr : &pv), c.expected);
        if (!c.nullOut) {
            EXPECT_EQ(pv, nullptr);
        }
        Counters counters = ReadCounters();
        EXPECT_EQ(counters.objects, 0u);
        EXPECT_EQ(counters.refs, 0u);

        // Nothing blocks the next creation.
        IHorolog* pHorolog = nullptr;
        ASSERT_EQ(
            pFactory->CreateInstance(nullptr, IID_IHorolog, reinterpret_cast<void**>(&pHorolog)),
            S_OK);
        EXPECT_EQ(pHorolog->Release(), 0u);
    }
    EXPECT_EQ(outer.calls.load(), 0) << "the outer object is never called";
    EXPECT_EQ(pFactory->Release(), 0u);
}

TEST_F(ClassObject, ConcurrentCreationsMakeOneManager) {
    const int kThreads = 4;
    std::vector<IClassFactory*> factories;
    for (int i = 0; i < kThreads; ++i) {
        factories.push_back(NewFactory());
        ASSERT_NE(factories.back(), nullptr);
    }
    for (int round = 0; round < 20; ++round) {
        std::mutex mtx;
        std::condition_variable cv;
        int ready = 0;
        bool go = false;
        std::vector<HRESULT> results(kThreads);
        std::vector<IHorolog*> managers(kThreads, nullptr);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                {
                    std::unique_lock<std::mutex> lock(mtx);
                    ++ready;
                    cv.notify_all();
                    cv.wait(lock, [&] { return go; });
                }
                results[i] = factories[i]->CreateInstance(nullptr, IID_IHorolog,
                                                          reinterpret_cast<void**>(&managers[i]));
            });
        }
        {
            std::unique_lock<std::mutex> lock(mtx);
            cv.wait(lock, [&] { return ready == kThreads; });
            go = true;
            cv.notify_all();
        }
        for (std::thread& t : threads) t.join();

        int created = 0;
        for (int i = 0; i < kThreads; ++i) {
            if (results[i] == S_OK) {
                ++created;
                EXPECT_EQ(managers[i]->Release(), 0u);
            } else {
                EXPECT_EQ(results[i], E_ACCESSDENIED);
                EXPECT_EQ(managers[i], nullptr);
            }
        }
        ASSERT_EQ(created, 1) << "round " << round;
        ASSERT_EQ(ReadCounters().objects, 0u);
    }
    for (IClassFactory* pFactory : factories) EXPECT_EQ(pFactory->Release(), 0u);
}

}  // namespace
}  // namespace servertest

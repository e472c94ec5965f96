// GetHorolog, and activation of the class through the COM runtime.
#include "server_fixture.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace servertest {
namespace {

std::basic_string<OLECHAR> Ole(const char* psz) {
    std::basic_string<OLECHAR> text;
    for (; *psz != '\0'; ++psz) text.push_back(static_cast<OLECHAR>(*psz));
    return text;
}

std::string LinkedModulePath() { return ModuleFileName(GetModuleHandleA(kHorologFile)); }

// Releases `count` references and returns what the last Release returned.
ULONG ReleaseTimes(IHorolog* pHorolog, int count) {
    ULONG cRef = 0;
    for (int i = 0; i < count; ++i) cRef = pHorolog->Release();
    return cRef;
}

// Starts `threads` threads together and runs `body(index)` on each, with
// COM initialised unless `withoutCom`.
template <typename Body>
void RunTogether(int threads, bool withoutCom, Body body) {
    std::mutex mtx;
    std::condition_variable cv;
    int ready = 0;
    bool go = false;
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&, i] {
            HRESULT hrCom = withoutCom ? E_FAIL : CoInitialize(nullptr);
            {
                std::unique_lock<std::mutex> lock(mtx);
                ++ready;
                cv.notify_all();
                cv.wait(lock, [&] { return go; });
            }
            body(i);
            if (SUCCEEDED(hrCom)) CoUninitialize();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mtx);
        cv.wait(lock, [&] { return ready == threads; });
        go = true;
        cv.notify_all();
    }
    for (std::thread& t : pool) t.join();
}

using SharedAccessor = ServerTest;

TEST_F(SharedAccessor, NullUntilRegisteredThenOneSharedManager) {
    EXPECT_EQ(GetHorolog(), nullptr) << "the class is not registered";
    EXPECT_EQ(ReadCounters().objects, 0u);

    ASSERT_EQ(RunRegistrationTool(LinkedModulePath(), false), 0);

    IHorolog* pFirst = GetHorolog();
    ASSERT_NE(pFirst, nullptr);
    Counters counters = ReadCounters();
    EXPECT_EQ(counters.objects, 1u);
    EXPECT_EQ(counters.refs, 1u);

    IHorolog* pSecond = GetHorolog();
    EXPECT_EQ(pSecond, pFirst);
    EXPECT_EQ(ReadCounters().refs, 2u);
    EXPECT_EQ(pFirst->Release(), 1u);
    EXPECT_EQ(ReadCounters().objects, 1u);
    EXPECT_EQ(pSecond->Release(), 0u);
    counters = ReadCounters();
    EXPECT_EQ(counters.objects, 0u);
    EXPECT_EQ(counters.refs, 0u);

    // The next call makes a fresh manager.
    IHorolog* pThird = GetHorolog();
    ASSERT_NE(pThird, nullptr);
    counters = ReadCounters();
    EXPECT_EQ(counters.objects, 1u);
    EXPECT_EQ(counters.refs, 1u);
    EXPECT_EQ(pThird->Release(), 0u);

    EXPECT_EQ(RunRegistrationTool(LinkedModulePath(), true), 0);
    EXPECT_EQ(GetHorolog(), nullptr) << "unregistered again";
}

TEST_F(SharedAccessor, SharesTheManagerThatAComClientCreated) {
    ASSERT_EQ(CallDllRegisterServer(), S_OK);

    IHorolog* pClient = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Horolog, nullptr, CLSCTX_INPROC_SERVER, IID_IHorolog,
                               reinterpret_cast<void**>(&pClient)),
              S_OK);
    ASSERT_NE(pClient, nullptr);

    IHorolog* pShared = GetHorolog();
    EXPECT_EQ(pShared, pClient);
    EXPECT_EQ(ReadCounters().refs, 2u);

    // A second COM client is refused rather than given a second manager.
    IHorolog* pSecond = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Horolog, nullptr, CLSCTX_INPROC_SERVER, IID_IHorolog,
                               reinterpret_cast<void**>(&pSecond)),
              E_ACCESSDENIED);
    EXPECT_EQ(pSecond, nullptr);

    EXPECT_EQ(pShared->Release(), 1u);
    EXPECT_EQ(pClient->Release(), 0u);
}

TEST_F(SharedAccessor, ActivationByEitherProgId) {
    ASSERT_EQ(CallDllRegisterServer(), S_OK);
    for (const char* pszProgId : {"Horolog.Hx", "Horolog.Hx.1"}) {
        SCOPED_TRACE(pszProgId);
        CLSID clsid = GUID_NULL;
        ASSERT_EQ(CLSIDFromProgID(Ole(pszProgId).c_str(), &clsid), S_OK);
        EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_Horolog));

        IUnknown* pUnknown = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&pUnknown)),
                  S_OK);
        IHorolog* pHorolog = nullptr;
        ASSERT_EQ(pUnknown->QueryInterface(IID_IHorolog, reinterpret_cast<void**>(&pHorolog)),
                  S_OK);
        EXPECT_EQ(GetHorolog(), pHorolog) << "the activated manager is the shared one";
        EXPECT_EQ(ReleaseTimes(pHorolog, 2), 1u);
        EXPECT_EQ(pUnknown->Release(), 0u);
    }
}

TEST_F(SharedAccessor, WithoutComOnlyAnExistingManagerIsHandedOut) {
    ASSERT_EQ(CallDllRegisterServer(), S_OK);

    IHorolog* pWithoutCom = reinterpret_cast<IHorolog*>(1);
    RunTogether(1, true, [&](int) { pWithoutCom = GetHorolog(); });
    EXPECT_EQ(pWithoutCom, nullptr) << "no manager, and this thread cannot activate one";
    EXPECT_EQ(ReadCounters().objects, 0u);

    IHorolog* pHorolog = GetHorolog();
    ASSERT_NE(pHorolog, nullptr);
    RunTogether(1, true, [&](int) { pWithoutCom = GetHorolog(); });
    EXPECT_EQ(pWithoutCom, pHorolog);
    EXPECT_EQ(ReleaseTimes(pHorolog, 2), 0u);
}

TEST_F(SharedAccessor, SimultaneousFirstCallsShareOneManager) {
    ASSERT_EQ(CallDllRegisterServer(), S_OK);
    const int kThreads = 6;
    for (int round = 0; round < 10; ++round) {
        std::vector<IHorolog*> results(kThreads, nullptr);
        RunTogether(kThreads, false, [&](int i) { results[i] = GetHorolog(); });
        ASSERT_NE(results[0], nullptr);
        for (IHorolog* p : results) EXPECT_EQ(p, results[0]);
        Counters counters = ReadCounters();
        EXPECT_EQ(counters.objects, 1u);
        EXPECT_EQ(counters.refs, static_cast<unsigned>(kThreads));
        EXPECT_EQ(ReleaseTimes(results[0], kThreads), 0u);
        ASSERT_EQ(ReadCounters().objects, 0u) << "round " << round;
    }
}

// Callers that get and release the manager over and over, so that gets meet
// last Releases and re-creations: every caller gets a live manager, and no
// two callers ever hold different managers at the same time.
TEST_F(SharedAccessor, GetsRacingLastReleasesNeverSeeTwoOrDyingManagers) {
    ASSERT_EQ(CallDllRegisterServer(), S_OK);
    const int kThreads = 4;
    const int kIterations = 200;
    std::mutex mtxHolders;
    IHorolog* pHeld = nullptr;
    int holders = 0;
    std::atomic<int> failures{0};
    std::atomic<int> twoManagers{0};
    RunTogether(kThreads, false, [&](int) {
        for (int i = 0; i < kIterations; ++i) {
            IHorolog* pHorolog = GetHorolog();
            if (pHorolog == nullptr) {
                ++failures;
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(mtxHolders);
                if (holders > 0 && pHeld != pHorolog) ++twoManagers;
                pHeld = pHorolog;
                ++holders;
            }
            // A dying manager would fail here (or, under the sanitizers, be
            // reported as used after its destruction).
            DWORD dwId = 0;
            if (pHorolog->GetTimerId(&dwId) != S_OK || dwId == 0) ++failures;
            {
                std::lock_guard<std::mutex> lock(mtxHolders);
                --holders;
            }
            pHorolog->Release();
        }
    });
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(twoManagers.load(), 0);
    EXPECT_EQ(ReadCounters().objects, 0u);
}

}  // namespace
}  // namespace servertest

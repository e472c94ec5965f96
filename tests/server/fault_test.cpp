// Forced failures inside the module: the class factory and the manager that
// cannot be allocated, whichever way the manager is asked for, and (natively)
// registry changes that fail during registration and unregistration. The
// module here is HorologFaults, the Horolog module built with one more
// export that sets the engine's forced failures; this program loads it at
// run time and drives it through its exports.
#include "server_fixture.h"

#include "core/testing.h"
#include "support/engine_test_support.h"
#include "winplat/testing.h"

#include <cstdint>
#include <memory>

namespace servertest {
namespace {

using enginetest::kLongWait;
using enginetest::RecordingSite;
using enginetest::Timer;

#if WINPLAT_NATIVE
constexpr const char* kFaultsFile = "HorologFaults.so";
#else
constexpr const char* kFaultsFile = "HorologFaults.dll";
#endif

typedef void (*PFN_SETFAULTS)(unsigned faults, unsigned absoluteFaults);

// The module, loaded once for the whole program and kept loaded.
HMODULE FaultsModule() {
    static HMODULE hModule = LoadLibraryA((ProgramDir() + kFaultsFile).c_str());
    return hModule;
}

template <typename F>
F FaultsExport(const char* pszName) {
    return reinterpret_cast<F>(
        reinterpret_cast<void (*)()>(GetProcAddress(FaultsModule(), pszName)));
}

void SetModuleFaults(unsigned faults) {
    FaultsExport<PFN_SETFAULTS>("HorologFaultsSet")(faults, 0);
}

bool CountersZero() {
    const Counters c = ReadCounters();
    return c.objects == 0 && c.refs == 0 && c.timers == 0 && c.absTimers == 0 && c.threads == 0;
}

class ModuleFaults : public ServerTest {
  protected:
    void SetUp() override {
        ASSERT_NE(FaultsModule(), nullptr) << kFaultsFile << " could not be loaded";
        ServerTest::SetUp();
    }
    void TearDown() override {
        SetModuleFaults(0);
        ServerTest::TearDown();
        m_timers.clear();
        m_sites.clear();
    }
    void ExpectTimersRun(IHorolog* pHorolog);

    std::vector<std::unique_ptr<RecordingSite>> m_sites;
    std::vector<std::unique_ptr<Timer>> m_timers;
};

// The ways a client gets a manager.
enum class Path { kClassObject, kCreateInstance, kAccessor };

// Asks for a manager along the path, with the faults in force for the step
// that makes the object in question only. Returns the result of that step.
HRESULT Obtain(Path path, unsigned faults, IHorolog** ppHorolog) {
    *ppHorolog = nullptr;
    if (path == Path::kAccessor) {
        SetModuleFaults(faults);
        *ppHorolog = FaultsExport<PFN_GETHOROLOG>("GetHorolog")();
        SetModuleFaults(0);
        return *ppHorolog ? S_OK : E_FAIL;
    }
    auto getClassObject = FaultsExport<PFN_DLLGETCLASSOBJECT>("DllGetClassObject");
    void* const pUntouched = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A5A5A50));
    void* pv = pUntouched;
    if (path == Path::kClassObject) SetModuleFaults(faults);
    HRESULT hr = getClassObject(CLSID_Horolog, IID_IClassFactory, &pv);
    SetModuleFaults(0);
    if (FAILED(hr)) {
        EXPECT_EQ(pv, pUntouched) << "a failed call wrote the out pointer";
        return hr;
    }
    IClassFactory* pFactory = static_cast<IClassFactory*>(pv);
    void* pHorolog = pUntouched;
    if (path == Path::kCreateInstance) SetModuleFaults(faults);
    hr = pFactory->CreateInstance(nullptr, IID_IHorolog, &pHorolog);
    SetModuleFaults(0);
    EXPECT_EQ(pFactory->Release(), 0u);
    if (FAILED(hr)) {
        EXPECT_EQ(pHorolog, nullptr);
        return hr;
    }
    *ppHorolog = static_cast<IHorolog*>(pHorolog);
    return hr;
}

// A relative and an absolute timer of the manager, both due at once, reach
// their sites. The sites and records stay with the fixture until the end of
// the test, after the manager has gone, as a client keeps them.
void ModuleFaults::ExpectTimersRun(IHorolog* pHorolog) {
    m_sites.push_back(std::make_unique<RecordingSite>());
    RecordingSite& relativeSite = *m_sites.back();
    m_sites.push_back(std::make_unique<RecordingSite>());
    RecordingSite& absoluteSite = *m_sites.back();
    m_timers.push_back(std::make_unique<Timer>(0, &relativeSite, 10));
    Timer& relative = *m_timers.back();
    m_timers.push_back(std::make_unique<Timer>(0, &absoluteSite, 0, FALSE, 0, TIMERTYPE_ABSOLUTE));
    Timer& absolute = *m_timers.back();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t due = ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
                         10000000;  // 1 s ago
    absolute.params.ftDueTime.dwLowDateTime = static_cast<DWORD>(due);
    absolute.params.ftDueTime.dwHighDateTime = static_cast<DWORD>(due >> 32);
    ASSERT_EQ(pHorolog->GetTimerId(&relative.params.dwTimerId), S_OK);
    ASSERT_EQ(pHorolog->GetTimerId(&absolute.params.dwTimerId), S_OK);
    ASSERT_EQ(pHorolog->StartTimer(relative.get()), S_OK);
    ASSERT_EQ(pHorolog->StartTimer(absolute.get()), S_OK);
    EXPECT_TRUE(relativeSite.WaitForCalls(1));
    EXPECT_TRUE(absoluteSite.WaitForCalls(1));
    // Both ended: stopping them finds nothing, and the counters agree.
    EXPECT_TRUE(enginetest::Eventually([] {
        const Counters c = ReadCounters();
        return c.timers == 0 && c.absTimers == 0 && c.threads == 0;
    }));
    EXPECT_EQ(pHorolog->StopTimer(relative.params.dwTimerId), S_OK);
    EXPECT_EQ(pHorolog->StopTimer(absolute.params.dwTimerId), S_OK);
}

TEST_F(ModuleFaults, AllocationFailuresLeaveNothingBehindAndTheNextRequestWorks) {
    struct Case {
        const char* what;
        Path path;
        unsigned fault;
        HRESULT result;
    } cases[] = {
        {"class factory", Path::kClassObject, horolog::kFaultClassFactory, E_OUTOFMEMORY},
        {"manager, through the factory", Path::kCreateInstance, horolog::kFaultManagerObject,
         E_OUTOFMEMORY},
        {"manager, through the accessor", Path::kAccessor, horolog::kFaultManagerObject, E_FAIL},
        // The factory that GetHorolog's activation makes.
        {"factory, through the accessor", Path::kAccessor, horolog::kFaultClassFactory, E_FAIL},
    };
    // The accessor activates the class through the registry.
    ASSERT_EQ(FaultsExport<PFN_DLLREGISTERSERVER>("DllRegisterServer")(), S_OK);
    auto canUnloadNow = FaultsExport<PFN_DLLCANUNLOADNOW>("DllCanUnloadNow");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IHorolog* pHorolog = nullptr;
        EXPECT_EQ(Obtain(c.path, c.fault, &pHorolog), c.result);
        EXPECT_EQ(pHorolog, nullptr);
        EXPECT_TRUE(CountersZero());
        // No factory, lock or manager is left that would keep the module.
        EXPECT_EQ(canUnloadNow(), S_OK);

        ASSERT_EQ(Obtain(c.path, 0, &pHorolog), S_OK);
        ASSERT_NE(pHorolog, nullptr);
        const Counters live = ReadCounters();
        EXPECT_EQ(live.objects, 1u);
        EXPECT_EQ(live.refs, 1u);
        ExpectTimersRun(pHorolog);
        EXPECT_EQ(pHorolog->Release(), 0u);
        EXPECT_TRUE(enginetest::Eventually(CountersZero));
    }
}

#if WINPLAT_NATIVE
// The top keys of the layout's blocks, in the order they are written.
std::vector<std::string> TopKeys() {
    std::vector<std::string> tops = {"Horolog.Hx", "Horolog.Hx.1",
                                     "CLSID\\" + GuidText(CLSID_Horolog)};
    for (const IID* piid : {&IID_IHorologSite, &IID_IHorolog, &IID_ITimerSite})
        tops.push_back("Interface\\" + GuidText(*piid));
    return tops;
}
// Each top key with the number of subkeys it has when registered.
const size_t kSubKeys[] = {3, 2, 4, 3, 3, 3};

void ExpectRegistered(const std::string& modulePath) {
    const std::vector<std::string> tops = TopKeys();
    for (size_t i = 0; i < tops.size(); ++i)
        EXPECT_EQ(SubKeys(tops[i]).size(), kSubKeys[i]) << tops[i];
    EXPECT_EQ(ReadValue(tops[2] + "\\InprocServer32", nullptr).data, modulePath + '\0');
}

bool NoKeyLeft() {
    for (const std::string& top : TopKeys())
        if (KeyExists(top)) return false;
    return true;
}

// Every change that DllRegisterServer makes, failed in turn: the result is
// a failure, the blocks after the failed one are not written, and a new
// registration with the registry working again completes the layout.
TEST_F(ModuleFaults, RegistrationReportsEachFailedChangeAndARetryCompletesIt) {
    auto registerServer = FaultsExport<PFN_DLLREGISTERSERVER>("DllRegisterServer");
    const std::string path = ModuleFileName(FaultsModule());
    const std::vector<std::string> tops = TopKeys();
    DWORD nth = 1;
    for (;; ++nth) {
        SCOPED_TRACE("failed change " + std::to_string(nth));
        ASSERT_LT(nth, 200u) << "registration never completes";
        RemoveHorologKeys();
        winplat_test_fail_registry_change(nth, ERROR_ACCESS_DENIED);
        const HRESULT hr = registerServer();
        winplat_test_fail_registry_change(0, ERROR_SUCCESS);
        if (hr == S_OK) break;  // fewer changes than nth
        EXPECT_EQ(hr, E_TIMERFAILURE);
        // What was written is a run of whole blocks and at most the start of
        // the block that failed.
        size_t written = 0;
        while (written < tops.size() && KeyExists(tops[written])) ++written;
        for (size_t i = written; i < tops.size(); ++i) EXPECT_FALSE(KeyExists(tops[i])) << tops[i];
        for (size_t i = 0; i + 1 < written; ++i) EXPECT_EQ(SubKeys(tops[i]).size(), kSubKeys[i]);
        if (nth == 1) {
            EXPECT_EQ(written, 0u) << "the first key decides: nothing is written";
        }

        EXPECT_EQ(registerServer(), S_OK);
        ExpectRegistered(path);
    }
    EXPECT_GT(nth, 24u) << "every key of the layout is a change";
    ExpectRegistered(path);
}

// Every deletion of DllUnregisterServer, failed in turn. The first decides
// the result and nothing is deleted then; a later one is not reported, and
// leaves its key (and the keys above it). Registering and unregistering
// again removes everything.
TEST_F(ModuleFaults, UnregistrationWithAFailedDeletionCanBeCompleted) {
    auto registerServer = FaultsExport<PFN_DLLREGISTERSERVER>("DllRegisterServer");
    auto unregisterServer = FaultsExport<PFN_DLLUNREGISTERSERVER>("DllUnregisterServer");
    const std::string path = ModuleFileName(FaultsModule());
    for (DWORD nth = 1; nth <= 24; ++nth) {
        SCOPED_TRACE("failed deletion " + std::to_string(nth));
        ASSERT_EQ(registerServer(), S_OK);
        winplat_test_fail_registry_change(nth, ERROR_ACCESS_DENIED);
        const HRESULT hr = unregisterServer();
        winplat_test_fail_registry_change(0, ERROR_SUCCESS);
        if (nth == 1) {
            EXPECT_EQ(hr, E_TIMERFAILURE);
            ExpectRegistered(path);
        } else {
            EXPECT_EQ(hr, S_OK);
            EXPECT_FALSE(NoKeyLeft()) << "the key whose deletion failed is gone";
            EXPECT_FALSE(KeyExists("Horolog.Hx\\CLSID"));
        }
        ASSERT_EQ(registerServer(), S_OK);
        EXPECT_EQ(unregisterServer(), S_OK);
        EXPECT_TRUE(NoKeyLeft());
    }
}
#endif

}  // namespace
}  // namespace servertest

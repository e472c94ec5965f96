// The manager's end on every path, seen from a component that loads the
// module at run time: the last Release from a client thread with timers of
// both kinds active, while paused, from inside a relative and an absolute
// notification, and while a notification outlasts the Release's join. On
// every path no notification starts once the Release has returned, every
// library thread ends, the module can be unloaded, and a manager created
// after a new load works. A long run of create/use/release cycles leaves no
// thread, handle or memory behind.
#include "server_test_support.h"

#if WINPLAT_NATIVE
#include "winplat/testing.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own allocators answer this; the header that declares it
// comes with clang only.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define LIFETIME_SANITIZER_ALLOCATOR 1
#endif
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace servertest {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Generous: a cold Wine takes seconds for what is otherwise immediate.
constexpr milliseconds kLongWait{30000};

// A site that counts its notifications, can run an action inside one, and
// tells notifications that started after the manager was closed.
class Site : public ITimerSite {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }

    HRESULT STDMETHODCALLTYPE OnTimer(DWORD id, DWORD) override {
        if (closed.load()) ++lateCalls;
        std::function<void(DWORD)> action;
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_ids.push_back(id);
            action = m_action;
        }
        m_cv.notify_all();
        if (action) action(id);
        return S_OK;
    }

    void SetAction(std::function<void(DWORD)> action) {
        std::lock_guard<std::mutex> g(m_mx);
        m_action = std::move(action);
    }
    size_t Calls(DWORD id) {
        std::lock_guard<std::mutex> g(m_mx);
        size_t n = 0;
        for (DWORD d : m_ids) n += d == id;
        return n;
    }
    bool WaitForCall(DWORD id, milliseconds timeout = kLongWait) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, timeout, [&] {
            for (DWORD d : m_ids)
                if (d == id) return true;
            return false;
        });
    }
    void Reset() {
        std::lock_guard<std::mutex> g(m_mx);
        m_ids.clear();
    }

    std::atomic<bool> closed{false};
    std::atomic<int> lateCalls{0};

  private:
    std::atomic<ULONG> m_refs{1};
    std::mutex m_mx;
    std::condition_variable m_cv;
    std::vector<DWORD> m_ids;
    std::function<void(DWORD)> m_action;
};

// A manual-reset event for the tests' own hand-overs.
class Gate {
  public:
    void Open() {
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_open = true;
        }
        m_cv.notify_all();
    }
    bool Wait(milliseconds timeout = kLongWait) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, timeout, [&] { return m_open; });
    }

  private:
    std::mutex m_mx;
    std::condition_variable m_cv;
    bool m_open = false;
};

// The current UTC time moved by `offsetMs`, as an absolute due time.
FILETIME DueIn(LONGLONG offsetMs) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG t = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    t += static_cast<ULONGLONG>(offsetMs * 10000);
    FILETIME due;
    due.dwLowDateTime = static_cast<DWORD>(t);
    due.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return due;
}

struct Record {
    TIMERPARAMETERS params{};
    BYTE context[TIMER_CONTEXT_SIZE] = {};
    Record(DWORD id, ITimerSite* site) {
        params.dwTimerId = id;
        params.pSite = site;
        params.pContext = context;
    }
    void Relative(LONG ms, BOOL repeat = FALSE, LONG interval = 0) {
        params.dwTimerType = TIMERTYPE_RELATIVE;
        params.lRemaining = ms;
        params.bRepeat = repeat;
        params.lInterval = interval;
    }
    void Absolute(LONGLONG offsetMs) {
        params.dwTimerType = TIMERTYPE_ABSOLUTE;
        params.ftDueTime = DueIn(offsetMs);
    }
};

// The module, loaded for the length of one test step.
class LoadedModule {
  public:
    LoadedModule() : m_hModule(LoadLibraryA(HorologPath().c_str())) {
        if (!m_hModule) return;
        m_pfnGetClassObject = reinterpret_cast<PFN_DLLGETCLASSOBJECT>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, "DllGetClassObject")));
        m_pfnCanUnloadNow = reinterpret_cast<PFN_DLLCANUNLOADNOW>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, "DllCanUnloadNow")));
    }
    ~LoadedModule() { Unload(); }
    bool Loaded() const { return m_hModule && m_pfnGetClassObject && m_pfnCanUnloadNow; }

    // A new manager, with the one reference CreateInstance gave.
    IHorolog* NewManager() {
        void* pv = nullptr;
        if (FAILED(m_pfnGetClassObject(CLSID_Horolog, IID_IClassFactory, &pv))) return nullptr;
        IClassFactory* pFactory = static_cast<IClassFactory*>(pv);
        void* pvManager = nullptr;
        const HRESULT hr = pFactory->CreateInstance(nullptr, IID_IHorolog, &pvManager);
        pFactory->Release();
        return SUCCEEDED(hr) ? static_cast<IHorolog*>(pvManager) : nullptr;
    }

    // Waits until the module agrees to be unloaded: no manager, no factory,
    // and every thread it started has ended. Nothing announces the end of
    // the last thread to a client, so this polls, within a bound.
    bool WaitUntilUnloadable(milliseconds timeout = kLongWait) {
        const auto deadline = Clock::now() + timeout;
        while (m_pfnCanUnloadNow() != S_OK) {
            if (Clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

    void Unload() {
        if (m_hModule) FreeLibrary(m_hModule);
        m_hModule = nullptr;
    }

  private:
    HMODULE m_hModule;
    PFN_DLLGETCLASSOBJECT m_pfnGetClassObject = nullptr;
    PFN_DLLCANUNLOADNOW m_pfnCanUnloadNow = nullptr;
};

// A manager created after a fresh load notifies a relative and an absolute
// timer, and lets the module go again.
void ExpectAFreshManagerWorks() {
    LoadedModule module;
    ASSERT_TRUE(module.Loaded()) << GetLastError();
    IHorolog* pManager = module.NewManager();
    ASSERT_NE(pManager, nullptr);
    Site site;
    Record relative(11, &site);
    relative.Relative(5);
    Record absolute(12, &site);
    absolute.Absolute(-1000);
    EXPECT_EQ(pManager->StartTimer(&relative.params), S_OK);
    EXPECT_EQ(pManager->StartTimer(&absolute.params), S_OK);
    EXPECT_TRUE(site.WaitForCall(11));
    EXPECT_TRUE(site.WaitForCall(12));
    EXPECT_EQ(pManager->Release(), 0u);
    EXPECT_TRUE(module.WaitUntilUnloadable());
}

// Where the last reference goes.
enum class Path {
    kClientThread,          // the test's thread, timers of both kinds active
    kWhilePaused,           // the same, after PauseTimers
    kInsideRelative,        // inside a relative notification
    kInsideAbsolute,        // inside an absolute notification
    kRelativeOutlastsJoin,  // from the test's thread, while a relative
                            // notification runs longer than the join waits
    kAbsoluteOutlastsJoin,  // the same with an absolute notification
};

struct PathCase {
    Path path;
    const char* name;
};

const PathCase kPaths[] = {
    {Path::kClientThread, "ClientThread"},
    {Path::kWhilePaused, "WhilePaused"},
    {Path::kInsideRelative, "InsideRelative"},
    {Path::kInsideAbsolute, "InsideAbsolute"},
    {Path::kRelativeOutlastsJoin, "RelativeOutlastsJoin"},
    {Path::kAbsoluteOutlastsJoin, "AbsoluteOutlastsJoin"},
};

class LastRelease : public ::testing::TestWithParam<PathCase> {};

TEST_P(LastRelease, EndsEveryThreadAndNoNotificationStartsAfterIt) {
    const Path path = GetParam().path;
    {
        LoadedModule module;
        ASSERT_TRUE(module.Loaded()) << GetLastError();
        IHorolog* pManager = module.NewManager();
        ASSERT_NE(pManager, nullptr);

        // Busy timers that keep both service threads at work up to the end,
        // and timers that are still pending when it comes: a relative one
        // queued, an absolute one armed as a waitable timer.
        Site busy;
        Record repeating(1, &busy);
        repeating.Relative(1, TRUE, 1);
        Record pendingRelative(2, &busy);
        pendingRelative.Relative(3600000);
        Record pendingAbsolute(3, &busy);
        pendingAbsolute.Absolute(3600000);
        Record absoluteNow(4, &busy);
        absoluteNow.Absolute(-1000);
        for (Record* r : {&repeating, &pendingRelative, &pendingAbsolute, &absoluteNow})
            ASSERT_EQ(pManager->StartTimer(&r->params), S_OK);
        ASSERT_TRUE(busy.WaitForCall(1));
        ASSERT_TRUE(busy.WaitForCall(4));

        // The timer whose notification ends the manager (or holds its thread).
        Site ending;
        Record trigger(9, &ending);
        Gate released;      // the Release has returned
        Gate inside;        // the notification has begun
        Gate callbackLeft;  // the notification is about to return
        const bool bInside = path == Path::kInsideRelative || path == Path::kInsideAbsolute;
        const bool bOutlasts =
            path == Path::kRelativeOutlastsJoin || path == Path::kAbsoluteOutlastsJoin;
        ending.SetAction([&](DWORD) {
            inside.Open();
            if (bInside) {
                EXPECT_EQ(pManager->Release(), 0u);
                busy.closed = true;
                ending.closed = true;
                released.Open();
            } else if (bOutlasts) {
                // Longer than the Release waits for the thread to end.
                EXPECT_TRUE(released.Wait(milliseconds(60000)));
            }
            callbackLeft.Open();
        });
        if (path == Path::kInsideRelative || path == Path::kRelativeOutlastsJoin) {
            trigger.Relative(5);
        } else if (path == Path::kInsideAbsolute || path == Path::kAbsoluteOutlastsJoin) {
            trigger.Absolute(-1000);
        }

        switch (path) {
            case Path::kClientThread:
            case Path::kWhilePaused: {
                if (path == Path::kWhilePaused) {
                    EXPECT_EQ(pManager->PauseTimers(), S_OK);
                }
                EXPECT_EQ(pManager->Release(), 0u);
                busy.closed = true;
                break;
            }
            case Path::kInsideRelative:
            case Path::kInsideAbsolute: {
                ASSERT_EQ(pManager->StartTimer(&trigger.params), S_OK);
                ASSERT_TRUE(released.Wait());
                break;
            }
            case Path::kRelativeOutlastsJoin:
            case Path::kAbsoluteOutlastsJoin: {
                ASSERT_EQ(pManager->StartTimer(&trigger.params), S_OK);
                ASSERT_TRUE(inside.Wait());
                const auto start = Clock::now();
                EXPECT_EQ(pManager->Release(), 0u);
                busy.closed = true;
                ending.closed = true;
                // The Release gave the thread its time before handing the
                // end over to it.
                EXPECT_GE(Clock::now() - start, milliseconds(4000));
                EXPECT_FALSE(module.WaitUntilUnloadable(milliseconds(0)))
                    << "the thread in the notification still runs";
                released.Open();
                break;
            }
        }

        // Every thread the module started ends; none has started a
        // notification since the Release returned.
        EXPECT_TRUE(module.WaitUntilUnloadable());
        if (bInside || bOutlasts) {
            EXPECT_TRUE(callbackLeft.Wait());
        }
        EXPECT_EQ(busy.lateCalls.load(), 0);
        EXPECT_EQ(ending.lateCalls.load(), 0);
        EXPECT_EQ(ReadCounters(), Counters{});
    }
    EXPECT_EQ(GetModuleHandleA(kHorologFile), nullptr) << "the module stays loaded";
    ExpectAFreshManagerWorks();
}

INSTANTIATE_TEST_SUITE_P(Paths, LastRelease, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<PathCase>& info) {
                             return std::string(info.param.name);
                         });

#if WINPLAT_NATIVE
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed memory in quarantine (256 MB by default), so
// resident memory would grow with every cycle's frees; a small quarantine
// lets the resident size show real leaks. The environment can still change
// any other option.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }
#endif

// Bytes handed out by the allocator and not yet freed.
size_t AllocatedBytes() {
#if defined(LIFETIME_SANITIZER_ALLOCATOR)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

size_t ThreadCount() {
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

size_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
#endif

// One cycle: a manager that notifies a relative and an absolute timer and is
// released with one of each still pending.
void RunCycle(LoadedModule& module, Site& site) {
    IHorolog* pManager = module.NewManager();
    ASSERT_NE(pManager, nullptr);
    site.Reset();
    Record relative(1, &site);
    relative.Relative(1);
    Record absolute(2, &site);
    absolute.Absolute(-1000);
    Record pendingRelative(3, &site);
    pendingRelative.Relative(3600000);
    Record pendingAbsolute(4, &site);
    pendingAbsolute.Absolute(3600000);
    for (Record* r : {&relative, &absolute, &pendingRelative, &pendingAbsolute})
        ASSERT_EQ(pManager->StartTimer(&r->params), S_OK);
    ASSERT_TRUE(site.WaitForCall(1));
    ASSERT_TRUE(site.WaitForCall(2));
    ASSERT_EQ(pManager->Release(), 0u);
}

TEST(ManagerCycles, LeaveNoThreadHandleOrMemoryBehind) {
#if WINPLAT_NATIVE
    const int kCycles = 1000;
#else
    // Each cycle starts three threads; under Wine that costs far more.
    const int kCycles = 200;
#endif
    const int kWarmUp = 50;
    LoadedModule module;
    ASSERT_TRUE(module.Loaded()) << GetLastError();
    Site site;
    for (int i = 0; i < kWarmUp; ++i) ASSERT_NO_FATAL_FAILURE(RunCycle(module, site));
    ASSERT_TRUE(module.WaitUntilUnloadable());
#if WINPLAT_NATIVE
    const size_t threadsBefore = ThreadCount();
    const DWORD handlesBefore = winplat_test_handle_count();
    const size_t rssBefore = ResidentBytes();
    const size_t allocatedBefore = AllocatedBytes();
#endif
    for (int i = 0; i < kCycles; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(RunCycle(module, site));
    }
    ASSERT_TRUE(module.WaitUntilUnloadable());
    EXPECT_EQ(site.lateCalls.load(), 0);
#if WINPLAT_NATIVE
    // A thread's handle is signalled just before the system thread is gone,
    // so either count may include a thread that is just leaving.
    const auto deadline = Clock::now() + kLongWait;
    while (ThreadCount() > threadsBefore && Clock::now() < deadline) std::this_thread::yield();
    EXPECT_LE(ThreadCount(), threadsBefore);
    EXPECT_EQ(winplat_test_handle_count(), handlesBefore);
    // Each cycle allocates a manager, its collections, three thread objects
    // and their system resources: a leak of any of them, 1,000 times over,
    // is far more than this.
    const size_t allocatedAfter = AllocatedBytes();
    EXPECT_LT(allocatedAfter, allocatedBefore + 256u * 1024u)
        << "allocated memory grew from " << allocatedBefore << " to " << allocatedAfter;
    // A leak of even one manager or thread object per cycle would show as
    // more than this; allocator and sanitizer caches stay well below it.
    const size_t rssAfter = ResidentBytes();
    EXPECT_LT(rssAfter, rssBefore + 16u * 1024u * 1024u)
        << "resident memory grew from " << rssBefore << " to " << rssAfter << " bytes";
#endif
}

}  // namespace
}  // namespace servertest

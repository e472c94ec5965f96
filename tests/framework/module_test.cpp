// Module state, the module hooks and the unload check, with module states of
// the test's own making standing in for separate modules.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "framework_test_util.h"

using afxtest::Flag;
using afxtest::kLongMs;

TEST(ModuleState, GuardMakesAStateCurrentAndRestoresTheCallersOnEveryPath) {
    AFX_MODULE_STATE* own = AfxGetStaticModuleState();
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(AfxGetModuleState(), own);
    AFX_MODULE_STATE a, b;
    {
        AFX_MANAGE_STATE(&a);
        EXPECT_EQ(AfxGetModuleState(), &a);
        EXPECT_EQ(AfxGetStaticModuleState(), own);  // the module's own does not change
        {
            AFX_MANAGE_STATE(&b);
            EXPECT_EQ(AfxGetModuleState(), &b);
        }
        EXPECT_EQ(AfxGetModuleState(), &a);
        try {
            AFX_MANAGE_STATE(&b);
            throw std::runtime_error("leave");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(AfxGetModuleState(), &a);
        auto early = [&](bool leave) {
            AFX_MANAGE_STATE(&b);
            if (leave) return 1;
            return 2;
        };
        early(true);
        EXPECT_EQ(AfxGetModuleState(), &a);
    }
    EXPECT_EQ(AfxGetModuleState(), own);
}

TEST(ModuleState, IsPerThreadAndInheritedByTheThreadsAModuleStarts) {
    AFX_MODULE_STATE state;
    struct Seen {
        std::atomic<AFX_MODULE_STATE*> state{nullptr};
        Flag done;
    } seen;
    CWinThread* t;
    {
        AFX_MANAGE_STATE(&state);
        t = AfxBeginThread(
            [](LPVOID p) -> UINT {
                auto* s = static_cast<Seen*>(p);
                s->state = AfxGetModuleState();
                s->done.Set();
                return 0;
            },
            &seen, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        ASSERT_NE(t, nullptr);
        t->m_bAutoDelete = FALSE;
        t->ResumeThread();
        // Another thread that the framework did not start sees its own module's.
        AFX_MODULE_STATE* other = nullptr;
        std::thread([&] { other = AfxGetModuleState(); }).join();
        EXPECT_EQ(other, AfxGetStaticModuleState());
    }
    ASSERT_TRUE(seen.done.Wait());
    EXPECT_EQ(seen.state.load(), &state);
    ASSERT_TRUE(t->WaitForEnd(kLongMs));
    delete t;
}

// ---- application object and start-up ------------------------------------------

namespace {

enum class Start { kSucceed, kFail, kThrow };

class CTestApp : public CWinApp {
  public:
    explicit CTestApp(Start start, LPCSTR name = "Test app") : CWinApp(name), m_start(start) {}
    BOOL InitInstance() override {
        ++initCalls;
        if (m_start == Start::kThrow) throw std::runtime_error("start-up");
        return m_start == Start::kSucceed;
    }
    int ExitInstance() override {
        ++exitCalls;
        return 0;
    }
    int initCalls = 0;
    int exitCalls = 0;

  private:
    Start m_start;
};

HINSTANCE FakeInstance() { return reinterpret_cast<HINSTANCE>(static_cast<UINT_PTR>(0x10000)); }

}  // namespace

TEST(ModuleHooks, ApplicationObjectRegistersWithTheCurrentModule) {
    AFX_MODULE_STATE state;
    EXPECT_EQ(AfxGetApp(), nullptr);
    {
        AFX_MANAGE_STATE(&state);
        EXPECT_EQ(AfxGetApp(), nullptr);
        {
            CTestApp app(Start::kSucceed, "Named");
            EXPECT_EQ(AfxGetApp(), &app);
            EXPECT_STREQ(app.m_pszAppName, "Named");
            EXPECT_STREQ(state.m_lpszCurrentAppName, "Named");
            EXPECT_EQ(app.m_hThread, nullptr);  // the application object is no thread
        }
        EXPECT_EQ(AfxGetApp(), nullptr);  // unregistered by its destructor
        CTestApp unnamed(Start::kSucceed, nullptr);
        EXPECT_EQ(unnamed.m_pszAppName, nullptr);
    }
    EXPECT_EQ(AfxGetApp(), nullptr);  // the program's own module has none
}

TEST(ModuleHooks, AttachRunsTheStartupHookAndDetachTheExitHookOnce) {
    struct Case {
        Start start;
        BOOL attachResult;
        int exitsAfterAttach;
        BOOL startupFailed;
    } cases[] = {
        {Start::kSucceed, TRUE, 0, FALSE},
        {Start::kFail, FALSE, 1, TRUE},
        {Start::kThrow, FALSE, 1, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.start));
        AFX_MODULE_STATE state;
        AFX_MANAGE_STATE(&state);
        CTestApp app(c.start);
        EXPECT_FALSE(AfxModuleStartupFailed());

        EXPECT_EQ(AfxDllMain(FakeInstance(), DLL_PROCESS_ATTACH, nullptr), c.attachResult);
        EXPECT_EQ(app.initCalls, 1);
        EXPECT_EQ(app.exitCalls, c.exitsAfterAttach);
        EXPECT_EQ(AfxModuleStartupFailed(), c.startupFailed);
        EXPECT_EQ(AfxGetInstanceHandle(), FakeInstance());
        EXPECT_EQ(app.m_hInstance, FakeInstance());

        // Thread notifications change nothing.
        EXPECT_TRUE(AfxDllMain(FakeInstance(), DLL_THREAD_ATTACH, nullptr));
        EXPECT_TRUE(AfxDllMain(FakeInstance(), DLL_THREAD_DETACH, nullptr));

        // Windows detaches right after a failed attach too: the exit hook runs
        // exactly once in every case.
        EXPECT_TRUE(AfxDllMain(FakeInstance(), DLL_PROCESS_DETACH, nullptr));
        EXPECT_EQ(app.exitCalls, 1);
        EXPECT_TRUE(AfxDllMain(FakeInstance(), DLL_PROCESS_DETACH, nullptr));
        EXPECT_EQ(app.exitCalls, 1);
        EXPECT_EQ(app.initCalls, 1);
    }
}

TEST(ModuleHooks, ModuleWithoutApplicationObjectAttaches) {
    AFX_MODULE_STATE state;
    AFX_MANAGE_STATE(&state);
    EXPECT_TRUE(AfxDllMain(FakeInstance(), DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(AfxGetInstanceHandle(), FakeInstance());
    EXPECT_FALSE(AfxModuleStartupFailed());
    EXPECT_TRUE(AfxDllMain(FakeInstance(), DLL_PROCESS_DETACH, nullptr));
}

// ---- unload check ---------------------------------------------------------------

TEST(UnloadCheck, CountsLocksOfTheCurrentModuleOnly) {
    AFX_MODULE_STATE state;
    AFX_MANAGE_STATE(&state);
    EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);
    AfxOleLockApp();
    AfxOleLockApp();
    EXPECT_EQ(AfxDllCanUnloadNow(), S_FALSE);
    {
        AFX_MODULE_STATE other;
        AFX_MANAGE_STATE(&other);
        EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);  // another module's locks do not count
    }
    AfxOleUnlockApp();
    EXPECT_EQ(AfxDllCanUnloadNow(), S_FALSE);
    AfxOleUnlockApp();
    EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);
    AfxOleUnlockApp();  // one too many: ignored, the count stays at 0
    EXPECT_EQ(state.m_nObjectCount.load(), 0);
    AfxOleLockApp();
    EXPECT_EQ(AfxDllCanUnloadNow(), S_FALSE);
    AfxOleUnlockApp();
    EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);
}

namespace {
struct Gate {
    Flag started;
    Flag release;
};
UINT WaitAtGate(LPVOID p) {
    auto* g = static_cast<Gate*>(p);
    g->started.Set();
    g->release.Wait();
    return 0;
}
}  // namespace

TEST(UnloadCheck, ThreadCountsUntilItsHandleIsSignalled) {
    AFX_MODULE_STATE state;
    AFX_MANAGE_STATE(&state);
    Gate gate;
    CWinThread* t = AfxBeginThread(&WaitAtGate, &gate, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(t, nullptr);
    t->m_bAutoDelete = FALSE;
    EXPECT_EQ(AfxDllCanUnloadNow(), S_FALSE);  // created, not yet running
    t->ResumeThread();
    ASSERT_TRUE(gate.started.Wait());
    EXPECT_EQ(AfxDllCanUnloadNow(), S_FALSE);
    {
        AFX_MODULE_STATE other;
        AFX_MANAGE_STATE(&other);
        EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);  // the thread belongs to the first module
    }
    gate.release.Set();
    ASSERT_TRUE(t->WaitForEnd(kLongMs));
    EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);  // handle signalled: gone
    delete t;
    EXPECT_EQ(AfxDllCanUnloadNow(), S_OK);
}

TEST(UnloadCheck, AutoDeletingThreadCountsUntilItHasEnded) {
    AFX_MODULE_STATE state;
    AFX_MANAGE_STATE(&state);
    Gate gate;
    ASSERT_NE(AfxBeginThread(&WaitAtGate, &gate), nullptr);
    ASSERT_TRUE(gate.started.Wait());
    EXPECT_EQ(AfxDllCanUnloadNow(), S_FALSE);
    gate.release.Set();
    // No event reports the end of a thread whose object deleted itself.
    EXPECT_TRUE(afxtest::PollUntil([] { return AfxDllCanUnloadNow() == S_OK; }));
}

// A component that uses the process's shared timer service: a timer every
// 100 ms, stopped after its third expiry.
#include <horolog/server.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

// The site the library calls back, on its scheduler thread. It lives on the
// stack here, so it does not count references.
struct Site : ITimerSite {
    std::mutex mutex;
    std::condition_variable expired;
    int count = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = IsEqualIID(iid, IID_ITimerSite) || IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnTimer(DWORD id, DWORD /*event: TIMER_EVENT_EXPIRED*/) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::printf("timer %lu expired (%d)\n", static_cast<unsigned long>(id), ++count);
        expired.notify_one();
        return S_OK;
    }
};

int main() {
    CoInitialize(nullptr);
    IHorolog* horolog = GetHorolog();  // the one manager of the process
    if (!horolog) {
        std::puts("Horolog is not registered (horolog-regsvr / regsvr32)");
        return 1;
    }
    Site site;
    static unsigned char context[TIMER_CONTEXT_SIZE];  // the block the record must point to
    TIMERPARAMETERS timer = {};  // yours: keep it alive and in place while it runs
    horolog->GetTimerId(&timer.dwTimerId);
    timer.pContext = context;
    timer.pSite = &site;
    timer.lRemaining = 100;  // first expiry in 100 ms,
    timer.lInterval = 100;   // then every 100 ms
    timer.bRepeat = TRUE;
    if (horolog->StartTimer(&timer) == S_OK) {
        std::unique_lock<std::mutex> lock(site.mutex);
        site.expired.wait(lock, [&] { return site.count >= 3; });
    }
    horolog->StopTimer(timer.dwTimerId);
    horolog->Release();  // the last one ends the service threads
    CoUninitialize();
    return site.count >= 3 ? 0 : 1;
}

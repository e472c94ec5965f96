// The operations harness: one byte chooses an operation, the bytes after it
// its arguments; missing bytes read as 0. The tick count and the id draws
// come from the input, so that an input means the same on every run as far
// as the threads allow. Records and sites belong to the harness, which
// behaves as a correct client would with them: it rewrites a record only
// once the library no longer holds it, and frees records and sites only
// when nothing can reach them any more. Everything else (ids, times, types,
// the order of calls, calls from inside callbacks) is the input's choice.
#include "engine_ops.h"

#include "chron/chron.h"
#include "core/manager.h"
#include "core/testing.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace engineops {
namespace {

constexpr size_t kSlots = 8;
constexpr size_t kSites = 3;
constexpr size_t kMaxOps = 96;
// The longest an input may let the threads run, in all.
constexpr std::chrono::milliseconds kRunBudget{150};
// The id of each site's own record, which only its callbacks start.
constexpr DWORD kOwnIdBase = 0x0C000000u;

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "engine_ops: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t Word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w = (w << 8) | Byte();
        return w;
    }
    template <typename T, size_t N>
    T Pick(const T (&choices)[N]) {
        return choices[Byte() % N];
    }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// ---- time and ids, from the input -------------------------------------------

std::atomic<DWORD> g_ticks{0};
DWORD ReadTicks() { return g_ticks.load(); }

std::atomic<uint32_t> g_draw{1};
UINT Draw() {
    uint32_t x = g_draw.load();
    while (!g_draw.compare_exchange_weak(x, x * 1103515245u + 12345u)) {
    }
    return (x >> 16) & 0x7FFFu;
}

struct Record {
    TIMERPARAMETERS params;
    alignas(8) unsigned char context[TIMER_CONTEXT_SIZE];
    Record() {
        std::memset(&params, 0, sizeof params);
        std::memset(context, 0, sizeof context);
        params.pContext = context;
    }
};

// The ids started in this run: a notification for any other is a fault.
class StartedIds {
  public:
    void Add(DWORD id) {
        std::lock_guard<std::mutex> g(m_mx);
        m_ids.insert(id);
    }
    bool Has(DWORD id) {
        std::lock_guard<std::mutex> g(m_mx);
        return m_ids.count(id) != 0;
    }

  private:
    std::mutex m_mx;
    std::set<DWORD> m_ids;
};

// Notifications of all sites, for a client that waits for some to happen.
class Calls {
  public:
    void Add() {
        {
            std::lock_guard<std::mutex> g(m_mx);
            ++m_count;
        }
        m_cv.notify_all();
    }
    size_t Count() {
        std::lock_guard<std::mutex> g(m_mx);
        return m_count;
    }
    void WaitFor(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mx);
        m_cv.wait_for(lock, timeout, [&] { return m_count >= n; });
    }

  private:
    std::mutex m_mx;
    std::condition_variable m_cv;
    size_t m_count = 0;
};

// Whether the manager holds the record anywhere.
bool Registered(CHorolog* m, TIMERPARAMETERS* record) {
    m->Lock();
    bool found = false;
    if (m->m_pTimerList && m->m_pTimerList->Find(record)) found = true;
    if (!found && m->m_pAbsTimerMap) {
        POSITION pos = m->m_pAbsTimerMap->GetStartPosition();
        while (pos && !found) {
            DWORD id;
            TIMERPARAMETERS* r;
            m->m_pAbsTimerMap->GetNextAssoc(pos, id, r);
            found = r == record;
        }
    }
    CWinThread* thread;
    if (!found && m->m_mapAbsTimerThreads.Lookup(record, thread)) found = true;
    m->Unlock();
    return found;
}

// Stops whatever carries the record's id: at most one relative and one
// absolute timer can carry an id, so two stops end the record's timer.
void StopRecord(CHorolog* m, TIMERPARAMETERS* record) {
    m->StopTimer(record->dwTimerId);
    m->StopTimer(record->dwTimerId);
    if (Registered(m, record)) Broken("a record is still registered after its id was stopped");
}

enum class Action : uint8_t {
    kNone,
    kStopSelf,
    kStartOwn,  // (re)starts the site's own record, due at once
    kStopOwn,
    kPauseResume,
    kDrawId,
    kCount
};

// A site whose callback does what the input chose, on the library's threads.
// Sites live for the whole run, as records may still name them when a new
// manager comes; each manager hands itself to them before any timer starts.
class Site final : public ITimerSite {
  public:
    Site(DWORD ownId, StartedIds* started, Calls* calls)
        : m_ownId(ownId), m_started(started), m_calls(calls) {
        m_own.params.dwTimerId = ownId;
        m_own.params.pSite = this;
    }
    void SetAction(Action a) { m_action.store(a); }
    // Between managers only: no callback runs then.
    void SetManager(CHorolog* m) { m_manager.store(m); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }

    HRESULT STDMETHODCALLTYPE OnTimer(DWORD id, DWORD event) override {
        if (event != TIMER_EVENT_EXPIRED) Broken("a notification with another event code");
        if (!m_started->Has(id)) Broken("a notification for an id that was never started");
        CHorolog* const manager = m_manager.load();
        switch (m_action.load()) {
            case Action::kStopSelf:
                manager->StopTimer(id);
                break;
            case Action::kStartOwn: {
                std::lock_guard<std::mutex> g(m_mx);
                StopRecord(manager, &m_own.params);
                m_own.params.lRemaining = 0;
                m_own.params.bRepeat = FALSE;
                m_own.params.dwTimerType = TIMERTYPE_RELATIVE;
                m_started->Add(m_ownId);
                manager->StartTimer(&m_own.params);
                break;
            }
            case Action::kStopOwn:
                manager->StopTimer(m_ownId);
                break;
            case Action::kPauseResume:
                manager->PauseTimers();
                manager->ResumeTimers();
                break;
            case Action::kDrawId: {
                DWORD drawn = 0;
                if (manager->GetTimerId(&drawn) != S_OK || drawn == 0) Broken("GetTimerId failed");
                break;
            }
            default:
                break;
        }
        m_calls->Add();  // last: the run may end once it is counted
        return S_OK;
    }

  private:
    std::atomic<CHorolog*> m_manager{nullptr};
    const DWORD m_ownId;
    StartedIds* m_started;
    Calls* m_calls;
    std::atomic<Action> m_action{Action::kNone};
    std::atomic<ULONG> m_refs{1};
    std::mutex m_mx;  // guards m_own: relative and absolute callbacks may meet
    Record m_own;
};

// One manager; the sites serve it while it lives.
struct Generation {
    CHorolog* manager;
    std::unique_ptr<Site>* sites;

    explicit Generation(std::unique_ptr<Site>* siteArray)
        : manager(new CHorolog(nullptr)), sites(siteArray) {
        manager->AddRef();
        for (size_t i = 0; i < kSites; ++i) sites[i]->SetManager(manager);
    }
    // Ends the manager: its threads are joined before Release returns, so
    // nothing calls the sites for it afterwards.
    void End() {
        for (size_t i = 0; i < kSites; ++i) sites[i]->SetAction(Action::kNone);
        if (manager->Release() != 0) Broken("the manager had references left");
        manager = nullptr;
    }
};

bool AllCountersZero() {
    return CHorolog::m_uiObjectCount.load() == 0 && CHorolog::m_uiRefCount.load() == 0 &&
           CHorolog::m_uiTimersCount.load() == 0 && CHorolog::m_uiAbsTimersCount.load() == 0 &&
           CHorolog::m_uiThreadCount.load() == 0;
}

FILETIME FileTime(uint64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

class Session {
  public:
    explicit Session(Input& in) : m_in(in) {
        g_ticks.store(m_in.Word());
        g_draw.store(m_in.Word() | 1u);
        horolog::testing::SetTickSource(&ReadTicks);
        horolog::testing::SetDrawSource(&Draw);
        for (size_t i = 0; i < kSites; ++i)
            m_sites[i] =
                std::make_unique<Site>(kOwnIdBase + static_cast<DWORD>(i), &m_started, &m_calls);
        m_gen = std::make_unique<Generation>(m_sites);
        m_ids = {1, 2, 3, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    }

    void Play() {
        for (size_t n = 0; n < kMaxOps && !m_in.Done(); ++n) Step();
    }

    void End() {
        // Either every timer is stopped first, or the manager goes with
        // its timers still registered.
        if (m_in.Byte() & 1) {
            for (auto& r : m_slots)
                if (r) StopRecord(m(), &r->params);
        }
        m_gen->End();
        m_gen.reset();
        // Every thread was joined by the last Release, so the counters are
        // final; a short grace covers a scheduler thread that ends itself.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!AllCountersZero()) {
            if (std::chrono::steady_clock::now() > deadline) Broken("counters left after the end");
            std::this_thread::yield();
        }
        horolog::testing::SetTickSource(nullptr);
        horolog::testing::SetDrawSource(nullptr);
    }

  private:
    CHorolog* m() { return m_gen->manager; }

    DWORD PickId() {
        const uint8_t b = m_in.Byte();
        return m_ids[b % m_ids.size()];
    }
    ITimerSite* PickSite() {
        const uint8_t b = m_in.Byte();
        return b % (kSites + 1) == kSites ? nullptr : m_sites[b % (kSites + 1)].get();
    }
    // The slot's record, no longer held by the library, ready to be filled.
    Record* FreshSlot(size_t slot) {
        std::unique_ptr<Record>& r = m_slots[slot];
        if (r) {
            StopRecord(m(), &r->params);
        } else {
            r = std::make_unique<Record>();
        }
        std::memset(&r->params, 0, sizeof r->params);
        r->params.pContext = r->context;
        return r.get();
    }
    void Start(Record* r) {
        m_started.Add(r->params.dwTimerId);
        const HRESULT hr = m()->StartTimer(&r->params);
        if (hr != S_OK && hr != E_TIMERIDINVALID) Broken("StartTimer failed without a reason");
    }

    void Step() {
        static const LONG kTimes[] = {0, 1, 2, 5, -1, -1000, 100000, INT32_MAX, INT32_MIN};
        static const DWORD kTypes[] = {TIMERTYPE_RELATIVE, TIMERTYPE_RELATIVE, 2u, 0xFFFFFFFFu};
        static const DWORD kAdvances[] = {1, 2, 5, 100, 100000, 0x7FFFFFFFu, 0xFFFFFFFFu};
        static const int64_t kDueMs[] = {-10 * 60 * 1000, -1000, 0, 2, 60 * 60 * 1000};

        switch (m_in.Byte() % 14) {
            case 0: {  // a relative timer
                Record* r = FreshSlot(m_in.Byte() % kSlots);
                r->params.dwTimerId = PickId();
                r->params.lRemaining = m_in.Pick(kTimes);
                r->params.bRepeat = m_in.Byte() & 1;
                r->params.lInterval = m_in.Pick(kTimes);
                r->params.dwTimerType = m_in.Pick(kTypes);
                r->params.pSite = PickSite();
                Start(r);
                break;
            }
            case 1: {  // an absolute timer
                Record* r = FreshSlot(m_in.Byte() % kSlots);
                r->params.dwTimerId = PickId();
                r->params.dwTimerType = TIMERTYPE_ABSOLUTE;
                r->params.pSite = PickSite();
                const uint8_t due = m_in.Byte();
                if (due < 200) {
                    const int64_t now = static_cast<int64_t>(Chron::GetTickCount().Ticks());
                    r->params.ftDueTime =
                        FileTime(static_cast<uint64_t>(now + kDueMs[due % 5] * 10000));
                } else {
                    // Values no clock gives: 0, the top, negative as a signed count.
                    static const uint64_t kOdd[] = {0, ~uint64_t{0}, uint64_t{1} << 63};
                    r->params.ftDueTime = FileTime(kOdd[due % 3]);
                }
                Start(r);
                break;
            }
            case 2: {  // a record started again as it is
                const size_t slot = m_in.Byte() % kSlots;
                if (m_slots[slot]) Start(m_slots[slot].get());
                break;
            }
            case 3:
                m()->StopTimer(PickId());
                break;
            case 4: {  // stopped, and perhaps freed
                const size_t slot = m_in.Byte() % kSlots;
                const bool bFree = m_in.Byte() & 1;
                if (m_slots[slot]) {
                    StopRecord(m(), &m_slots[slot]->params);
                    if (bFree) m_slots[slot].reset();
                }
                break;
            }
            case 5: {
                DWORD id = 0;
                if (m()->GetTimerId(&id) != S_OK || id == 0) Broken("GetTimerId failed");
                m_ids.push_back(id);
                break;
            }
            case 6:
                m()->PauseTimers();
                break;
            case 7:
                m()->ResumeTimers();
                break;
            case 8:
                g_ticks.fetch_add(m_in.Pick(kAdvances));
                break;
            case 9:
                m_sites[m_in.Byte() % kSites]->SetAction(
                    static_cast<Action>(m_in.Byte() % static_cast<uint8_t>(Action::kCount)));
                break;
            case 10: {  // the manager goes, perhaps with timers registered; a new one comes
                if (m_in.Byte() & 1) {
                    for (auto& r : m_slots)
                        if (r) StopRecord(m(), &r->params);
                }
                m_gen->End();
                m_gen = std::make_unique<Generation>(m_sites);
                break;
            }
            case 11: {  // let the threads run until some notifications have come
                const size_t want = 1 + m_in.Byte() % 4;
                const auto wait = std::chrono::milliseconds(1 + m_in.Byte() % 20);
                if (m_spent + wait <= kRunBudget) {
                    const auto t0 = std::chrono::steady_clock::now();
                    m_calls.WaitFor(m_calls.Count() + want, wait);
                    m_spent += std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0);
                }
                break;
            }
            case 12: {  // calls that must be refused
                DWORD* pNull = nullptr;
                if (m()->GetTimerId(pNull) != E_POINTER) Broken("GetTimerId(null)");
                if (m()->StartTimer(nullptr) != E_POINTER) Broken("StartTimer(null)");
                if (m()->QueryInterface(IID_IHorolog, nullptr) != E_POINTER) Broken("QI(null)");
                void* pv = nullptr;
                if (m()->QueryInterface(IID_ITimerSite, &pv) != E_NOINTERFACE || pv)
                    Broken("QI(ITimerSite)");
                const DWORD w = m_in.Word();
                if (m()->ReservedMethod(w, w, w, w, w, w, w, w, w, w, w, w, w) != E_NOTIMPL)
                    Broken("ReservedMethod");
                Record zero;
                if (m()->StartTimer(&zero.params) != E_TIMERIDINVALID) Broken("StartTimer(id 0)");
                break;
            }
            case 13: {  // a second reference, given back
                void* pv = nullptr;
                if (m()->QueryInterface(IID_IUnknown, &pv) != S_OK || pv == nullptr)
                    Broken("QI(IUnknown)");
                static_cast<IUnknown*>(pv)->Release();
                break;
            }
        }
    }

    Input& m_in;
    StartedIds m_started;
    Calls m_calls;
    std::unique_ptr<Site> m_sites[kSites];  // outlive every manager
    std::unique_ptr<Generation> m_gen;
    std::unique_ptr<Record> m_slots[kSlots];
    std::vector<DWORD> m_ids;
    std::chrono::milliseconds m_spent{0};
};

}  // namespace

void Run(const uint8_t* data, size_t size) {
    if (!AllCountersZero()) Broken("counters were not 0 at the start");
    Input in(data, size);
    Session session(in);
    session.Play();
    session.End();
}

}  // namespace engineops

// The stress driver: see stress.h for what it does and checks.
//
// Ownership of a record. Every record (a Slot) is driven through phases
// under its own mutex: Idle (free to start), Running (started), Stopped
// (StopTimer returned, the library may still be finishing a callback) and
// Draining (its owner waits until no callback can still reach it). Only its
// owning client thread drains a record and gives it back to Idle; a child
// record may also be started and stopped by its parent's callback. Nobody
// holds a record's mutex while waiting for anything, nor while calling
// PauseTimers, so a callback that takes one never waits for long.
//
// When is a callback "already under way" at a stop? For a relative timer
// the library takes a reference on the site (each record has its own site)
// under its lock before it calls, and gives it back after: a reference
// still held when StopTimer has returned is the one callback that may yet
// arrive; with none held, no further call may come. An absolute timer is
// called without a reference, after its registration was ended: a stop made
// well before the due time leaves nothing to call; a stop near or after it
// may cross one callback, and a barrier (an absolute timer already due,
// called on the same thread in order) tells when that callback is over.
#include "stress.h"

#include "client_support.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <unordered_set>

namespace horolog_stress {

namespace {

using Clock = std::chrono::steady_clock;
using horolog_tools::k100nsPerMs;
using std::chrono::milliseconds;

// Bounds of the waits: a callback to come, a drain, a barrier. Generous: a
// cold Wine or a sanitizer build on a loaded machine is slow.
const milliseconds kCallWait(60000);
// A relative timer may fire up to a tick early (Windows' tick is ~16 ms).
const LONG kEarlyMs = 30;
// A stop this far before an absolute timer's due time leaves it nothing to
// call.
const ULONGLONG kAbsoluteStopMargin = 100 * k100nsPerMs;
// Long timers left queued for the counters' check: the longest relative
// time (about 24.8 days), so that they outlast any run, soaks included.
const long long kLongMs = 0x7FFFFFFF;
const int kLongRelativePerClient = 2;

ULONGLONG UtcNow() { return horolog_tools::UtcNow100ns(); }

uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX",
                  static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    return text;
}

enum class Kind { kOneShot, kRepeating, kAbsolute };
enum class Phase { kIdle, kRunning, kStopped, kDraining };

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::kOneShot:
            return "one-shot";
        case Kind::kRepeating:
            return "repeating";
        case Kind::kAbsolute:
            return "absolute";
    }
    return "?";
}

class Driver;

// One record with its context block and its own site.
struct Slot final : ITimerSite {
    Slot(Driver* pDriver, int nClient, std::string name, uint64_t seed)
        : driver(pDriver), client(nClient), label(std::move(name)), random(seed) {
        std::memset(&rec, 0, sizeof rec);
        std::memset(context, 0, sizeof context);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITimerSite))
            return E_NOINTERFACE;
        *ppv = static_cast<ITimerSite*>(this);
        AddRef();
        return S_OK;
    }
    // The driver's own reference is the 1; holds counts the library's.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(1 + ++holds); }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnTimer(DWORD dwTimerId, DWORD dwEvent) override;

    Driver* const driver;
    const int client;
    const std::string label;
    Slot* child = nullptr;   // started and stopped by this record's callbacks
    bool bSpawner = false;   // its callbacks work on its child
    std::mt19937_64 random;  // used by this record's callbacks only (serialised)

    TIMERPARAMETERS rec;
    unsigned char context[TIMER_CONTEXT_SIZE];

    std::mutex mtx;  // guards the fields below that are not atomic
    Phase phase = Phase::kIdle;
    Kind kind = Kind::kOneShot;
    DWORD claimedId = 0;  // the id this record holds in the driver's table
    bool bNeedsBarrier = false;
    LONG dueMs = 0;        // relative: first due time
    ULONGLONG dueUtc = 0;  // absolute
    Clock::time_point started;

    // The current start; reset only while no callback can reach the record.
    std::atomic<DWORD> id{0};
    std::atomic<int> kindCode{0};
    std::atomic<long> holds{0};
    std::atomic<int> inCallback{0};
    std::atomic<int> calls{0};
    std::atomic<int> exits{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> allowedAfterStop{0};
    std::atomic<int> afterStop{0};
    std::atomic<long long> startedNs{0};
    std::atomic<LONG> dueMsAtomic{0};
    std::atomic<ULONGLONG> dueUtcAtomic{0};
};

struct ClientState {
    std::atomic<const char*> step{"starting"};
    std::atomic<const char*> slot{""};
    std::atomic<uint64_t> operations{0};
};

class Driver {
  public:
    Driver(IHorolog* pAnchor, const Options& options)
        : m_pAnchor(pAnchor), m_options(options), m_clients(std::max(1, options.clients)) {}

    Result Run();

    // ---- used by the slots' callbacks ----
    void Fail(const std::string& what);
    void Wake() {
        std::lock_guard<std::mutex> lock(m_wakeMtx);
        m_wake.notify_all();
    }
    void Callback(Slot& slot, DWORD dwTimerId, DWORD dwEvent);

  private:
    // What one client thread does; `index` selects its seed and records.
    void Client(int index);
    // Record's mutex held. pFixedMs: the due time in ms from now (absolute:
    // may be negative) in place of a random one.
    bool StartLocked(Slot& slot, Kind kind, bool bNewId, std::mt19937_64& random,
                     bool bFromCallback, const long long* pFixedMs = nullptr);
    // Record's mutex held, phase Running. bSelf: from the record's own
    // callback.
    void StopLocked(Slot& slot, bool bFromCallback, bool bSelf = false);
    bool Stop(Slot& slot);
    // Waits until no callback can reach a stopped record, then makes it
    // Idle. Client threads only. False when it needs a barrier first.
    bool Drain(Slot& slot, ClientState& state);
    bool Barrier(Slot& marker, ClientState& state);
    bool WaitFor(const std::function<bool()>& done, milliseconds limit);
    bool ClaimId(DWORD& id);
    void ReleaseId(DWORD id);
    void Watchdog();
    void CollectTotals(struct Totals& totals);
    std::atomic<const char*> m_driverStep{"starting"};

    // The records of one client, owned by the driver so that a record the
    // library may still hold is never freed under it.
    struct Records {
        std::vector<std::unique_ptr<Slot>> slots, children, longs;
        std::unique_ptr<Slot> marker;
    };

    IHorolog* const m_pAnchor;
    const Options m_options;
    std::vector<ClientState> m_clients;

    std::mutex m_wakeMtx;
    std::condition_variable m_wake;

    std::mutex m_failMtx;
    std::vector<std::string> m_failures;

    std::mutex m_idMtx;
    std::unordered_set<DWORD> m_ids;

    std::vector<Records> m_records;

    std::mutex m_doneMtx;
    std::condition_variable m_doneCv;
    int m_nFinished = 0;
    bool m_bDone = false;

    std::atomic<uint64_t> m_starts{0}, m_stops{0}, m_callbacks{0}, m_fromCallbacks{0}, m_pauses{0},
        m_references{0}, m_idCalls{0};
};

ULONG STDMETHODCALLTYPE Slot::Release() {
    const long n = --holds;
    if (n == 0) driver->Wake();
    return static_cast<ULONG>(1 + n);
}

HRESULT STDMETHODCALLTYPE Slot::OnTimer(DWORD dwTimerId, DWORD dwEvent) {
    driver->Callback(*this, dwTimerId, dwEvent);
    return S_OK;
}

void Driver::Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_failMtx);
    if (m_failures.size() < 40) m_failures.push_back(what);
}

bool Driver::WaitFor(const std::function<bool()>& done, milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_wakeMtx);
    return m_wake.wait_for(lock, limit, done);
}

bool Driver::ClaimId(DWORD& id) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        DWORD candidate = 0;
        ++m_idCalls;
        const HRESULT hr = m_pAnchor->GetTimerId(&candidate);
        if (hr != S_OK || candidate == 0) {
            Fail("GetTimerId returned " + Hex(hr) + " with id " + std::to_string(candidate));
            return false;
        }
        // Ids are not reserved: two clients may draw the same one before
        // either starts it. The driver keeps its own table so that no two
        // of its records ever share one.
        std::lock_guard<std::mutex> lock(m_idMtx);
        if (m_ids.insert(candidate).second) {
            id = candidate;
            return true;
        }
    }
    Fail("GetTimerId kept drawing ids that the driver holds");
    return false;
}

void Driver::ReleaseId(DWORD id) {
    if (id == 0) return;
    std::lock_guard<std::mutex> lock(m_idMtx);
    m_ids.erase(id);
}

void Driver::Callback(Slot& slot, DWORD dwTimerId, DWORD dwEvent) {
    ++m_callbacks;
    if (slot.inCallback.fetch_add(1) != 0)
        Fail(slot.label + ": two callbacks of one record at once (id " + std::to_string(dwTimerId) +
             ")");
    const Kind kind = static_cast<Kind>(slot.kindCode.load());
    const DWORD expectedId = slot.id.load();
    if (dwEvent != TIMER_EVENT_EXPIRED)
        Fail(slot.label + ": OnTimer with event " + std::to_string(dwEvent));
    if (dwTimerId != expectedId)
        Fail(slot.label + ": called with id " + std::to_string(dwTimerId) +
             " while its record was started with " + std::to_string(expectedId));

    const int n = ++slot.calls;
    if (n > 1 && kind != Kind::kRepeating)
        Fail(slot.label + ": " + KindName(kind) + " timer " + std::to_string(dwTimerId) +
             " called " + std::to_string(n) + " times");
    if (slot.stopped.load()) {
        const int after = ++slot.afterStop;
        if (after > slot.allowedAfterStop.load())
            Fail(slot.label + ": " + KindName(kind) + " timer " + std::to_string(dwTimerId) +
                 " called after its StopTimer had returned (no callback was under way then)");
    }
    if (n == 1) {
        if (kind == Kind::kAbsolute) {
            const ULONGLONG now = UtcNow();
            const ULONGLONG due = slot.dueUtcAtomic.load();
            if (now + kEarlyMs * k100nsPerMs < due)
                Fail(slot.label + ": absolute timer called " +
                     std::to_string((due - now) / k100nsPerMs) + " ms before its due time");
        } else {
            const long long elapsedMs =
                (Clock::now().time_since_epoch().count() - slot.startedNs.load()) * 1000 *
                Clock::period::num / Clock::period::den;
            if (elapsedMs + kEarlyMs < slot.dueMsAtomic.load())
                Fail(slot.label + ": relative timer due in " +
                     std::to_string(slot.dueMsAtomic.load()) + " ms called after " +
                     std::to_string(elapsedMs) + " ms");
        }
    }

    // Work from inside the callback. The decisions come from the record's
    // own generator; its callbacks never overlap.
    std::uniform_int_distribution<int> percent(0, 99);
    const int roll = percent(slot.random);
    if (kind == Kind::kRepeating) {
        std::lock_guard<std::mutex> lock(slot.mtx);
        if (slot.phase == Phase::kRunning && !slot.stopped.load()) {
            if (roll < 8) {
                StopLocked(slot, true, true);  // stops itself: not queued again
            } else if (roll < 12) {
                // Still queued during its own callback: a start is refused.
                const HRESULT hr = m_pAnchor->StartTimer(&slot.rec);
                ++m_fromCallbacks;
                if (hr != E_TIMERIDINVALID)
                    Fail(slot.label + ": StartTimer of a record inside its own callback returned " +
                         Hex(hr) + ", expected E_TIMERIDINVALID");
            }
        }
    }
    if (slot.bSpawner && slot.child) {
        Slot& child = *slot.child;
        const int childRoll = percent(slot.random);
        std::lock_guard<std::mutex> lock(child.mtx);
        if (child.phase == Phase::kIdle && childRoll < 40) {
            const Kind childKind = percent(slot.random) < 50 ? Kind::kOneShot : Kind::kAbsolute;
            const long long aheadMs = std::uniform_int_distribution<long long>(0, 500)(slot.random);
            StartLocked(child, childKind, true, slot.random, true,
                        childKind == Kind::kAbsolute ? &aheadMs : nullptr);
        } else if (child.phase == Phase::kRunning && childRoll < 20) {
            StopLocked(child, true);
        }
    }
    if (kind != Kind::kAbsolute && percent(slot.random) < 2) {
        // A pause from inside a relative callback does not wait for it.
        m_pAnchor->PauseTimers();
        m_pAnchor->ResumeTimers();
        ++m_pauses;
    }

    // The last touch of the record's state: once exits catches up with
    // calls, its owner may start it again.
    slot.inCallback.fetch_sub(1);
    ++slot.exits;
    Wake();
}

bool Driver::StartLocked(Slot& slot, Kind kind, bool bNewId, std::mt19937_64& random,
                         bool bFromCallback, const long long* pFixedMs) {
    if (slot.phase != Phase::kIdle) return false;
    if (bNewId || slot.claimedId == 0) {
        ReleaseId(slot.claimedId);
        slot.claimedId = 0;
        DWORD id = 0;
        if (!ClaimId(id)) return false;
        slot.claimedId = id;
    }
    std::uniform_int_distribution<LONG> oneShotMs(0, 50), intervalMs(1, 20), aheadMs(0, 2000);
    TIMERPARAMETERS& rec = slot.rec;
    rec.dwTimerId = slot.claimedId;
    rec.pContext = slot.context;
    rec.pSite = &slot;
    rec.ftDueTime = FILETIME{0, 0};
    rec.bRepeat = FALSE;
    rec.lInterval = 0;
    slot.dueMs = 0;
    slot.dueUtc = 0;
    switch (kind) {
        case Kind::kOneShot:
            rec.dwTimerType = TIMERTYPE_RELATIVE;
            rec.lRemaining = slot.dueMs =
                pFixedMs ? static_cast<LONG>(*pFixedMs) : oneShotMs(random);
            break;
        case Kind::kRepeating:
            rec.dwTimerType = TIMERTYPE_RELATIVE;
            rec.lInterval = intervalMs(random);
            rec.lRemaining = slot.dueMs = std::uniform_int_distribution<LONG>(0, 20)(random);
            rec.bRepeat = TRUE;
            break;
        case Kind::kAbsolute: {
            rec.dwTimerType = TIMERTYPE_ABSOLUTE;
            const long long ms = pFixedMs ? *pFixedMs : aheadMs(random);
            slot.dueUtc =
                UtcNow() + static_cast<ULONGLONG>(ms * static_cast<long long>(k100nsPerMs));
            rec.ftDueTime.dwLowDateTime = static_cast<DWORD>(slot.dueUtc);
            rec.ftDueTime.dwHighDateTime = static_cast<DWORD>(slot.dueUtc >> 32);
            break;
        }
    }
    slot.kind = kind;
    slot.bNeedsBarrier = false;
    // No callback can reach the record now: it is Idle.
    slot.id = slot.claimedId;
    slot.kindCode = static_cast<int>(kind);
    slot.calls = 0;
    slot.exits = 0;
    slot.afterStop = 0;
    slot.allowedAfterStop = 0;
    slot.stopped = false;
    slot.dueMsAtomic = slot.dueMs;
    slot.dueUtcAtomic = slot.dueUtc;
    slot.started = Clock::now();
    slot.startedNs = slot.started.time_since_epoch().count();

    const HRESULT hr = m_pAnchor->StartTimer(&rec);
    if (bFromCallback) ++m_fromCallbacks;
    if (hr != S_OK) {
        Fail(slot.label + ": StartTimer of " + KindName(kind) + " timer " +
             std::to_string(slot.claimedId) + " returned " + Hex(hr));
        return false;
    }
    ++m_starts;
    slot.phase = Phase::kRunning;
    return true;
}

void Driver::StopLocked(Slot& slot, bool bFromCallback, bool bSelf) {
    const int callsAtStop = slot.calls.load();
    m_pAnchor->StopTimer(slot.id.load());
    ++m_stops;
    if (bFromCallback) ++m_fromCallbacks;
    int allowed = 0;
    if (slot.kind == Kind::kAbsolute) {
        // Called already (once per start), or stopped well ahead of the due
        // time: nothing can be under way.
        allowed = callsAtStop > 0 || slot.dueUtc > UtcNow() + kAbsoluteStopMargin ? 0 : 1;
        slot.bNeedsBarrier = allowed != 0;
    } else {
        // A reference the library still holds is a callback under way (the
        // record's own, when it stops itself, does not count).
        allowed = slot.holds.load() - (bSelf ? 1 : 0) > 0 ? 1 : 0;
    }
    slot.allowedAfterStop = allowed;
    slot.stopped = true;
    slot.phase = Phase::kStopped;
}

bool Driver::Stop(Slot& slot) {
    std::lock_guard<std::mutex> lock(slot.mtx);
    if (slot.phase != Phase::kRunning) return false;
    StopLocked(slot, false);
    return true;
}

bool Driver::Drain(Slot& slot, ClientState& state) {
    Kind kind;
    DWORD id;
    {
        std::lock_guard<std::mutex> lock(slot.mtx);
        if (slot.phase == Phase::kRunning) {
            // A one-shot that was called: stopped before its record is
            // touched again (harmless after the expiry).
            if (slot.kind == Kind::kRepeating || slot.calls.load() == 0) return true;
            StopLocked(slot, false);
        }
        if (slot.phase != Phase::kStopped) return true;
        if (slot.bNeedsBarrier && slot.calls.load() == 0) return false;
        slot.phase = Phase::kDraining;
        kind = slot.kind;
        id = slot.id.load();
    }
    state.step = "draining";
    bool bOk = true;
    if (kind != Kind::kAbsolute) {
        if (!WaitFor([&] { return slot.holds.load() == 0; }, kCallWait)) {
            Fail(slot.label + ": the library kept a reference on the site of timer " +
                 std::to_string(id) + " for over a minute");
            bOk = false;
        }
        // Waits until the scheduler is done with the record after a call.
        m_pAnchor->StopTimer(id);
    }
    if (!WaitFor([&] { return slot.exits.load() == slot.calls.load(); }, kCallWait)) {
        Fail(slot.label + ": a callback of timer " + std::to_string(id) +
             " did not return for over a minute");
        bOk = false;
    }
    std::lock_guard<std::mutex> lock(slot.mtx);
    // A record whose callback never returned stays out of use.
    if (bOk) slot.phase = Phase::kIdle;
    return true;
}

// An absolute timer already due: when it is called, every absolute callback
// that began before it was started has returned.
bool Driver::Barrier(Slot& marker, ClientState& state) {
    state.step = "absolute barrier";
    {
        std::lock_guard<std::mutex> lock(marker.mtx);
        if (marker.phase != Phase::kIdle) return false;
        std::mt19937_64 unused(0);
        const long long pastMs = -1000;
        if (!StartLocked(marker, Kind::kAbsolute, false, unused, false, &pastMs)) return false;
    }
    const bool bCalled = WaitFor([&] { return marker.exits.load() >= 1; }, kCallWait);
    std::lock_guard<std::mutex> lock(marker.mtx);
    if (!bCalled) {
        Fail(marker.label + ": an absolute timer already due was not called within a minute");
        return false;
    }
    marker.phase = Phase::kIdle;
    return true;
}

void Driver::Client(int index) {
    ClientState& state = m_clients[index];
    Records& records = m_records[index];
    const HRESULT hrCom = CoInitialize(nullptr);
    const uint64_t seed = SplitMix(m_options.seed + static_cast<uint64_t>(index) * 7919);
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int> percent(0, 99);
    auto& slots = records.slots;
    auto& children = records.children;

    state.step = "starting long timers";
    for (size_t i = 0; i < records.longs.size(); ++i) {
        Slot& slot = *records.longs[i];
        const bool bAbsolute = i + 1 == records.longs.size();
        const long long farMs = kLongMs;
        std::lock_guard<std::mutex> lock(slot.mtx);
        StartLocked(slot, bAbsolute ? Kind::kAbsolute : Kind::kOneShot, true, random, false,
                    &farMs);
    }

    std::vector<IHorolog*> extraRefs;
    auto pick = [&]() -> Slot& {
        return *slots[std::uniform_int_distribution<size_t>(0, slots.size() - 1)(random)];
    };
    auto randomKind = [&]() {
        const int r = percent(random);
        return r < 40 ? Kind::kOneShot : r < 70 ? Kind::kRepeating : Kind::kAbsolute;
    };
    // One start or stop, never a wait: also done while paused.
    auto startOrStop = [&]() {
        Slot& slot = pick();
        state.slot = slot.label.c_str();
        std::lock_guard<std::mutex> lock(slot.mtx);
        if (slot.phase == Phase::kIdle) {
            state.step = "StartTimer";
            // A new id half of the time, the record's previous one otherwise.
            StartLocked(slot, randomKind(), percent(random) < 50, random, false);
        } else if (slot.phase == Phase::kRunning && percent(random) < 25) {
            state.step = "StopTimer";
            StopLocked(slot, false);
        }
    };
    // Drains what can be drained; absolute records stopped near their due
    // time share one barrier.
    auto reap = [&](bool bAll) {
        std::vector<Slot*> waiting;
        for (auto* list : {&slots, &children}) {
            for (auto& slot : *list) {
                state.slot = slot->label.c_str();
                if (!Drain(*slot, state)) waiting.push_back(slot.get());
            }
        }
        if (waiting.empty() || !(bAll || percent(random) < 30)) return;
        // Covers the records stopped before it began, and only those.
        if (!Barrier(*records.marker, state)) return;
        for (Slot* slot : waiting) {
            {
                std::lock_guard<std::mutex> lock(slot->mtx);
                slot->bNeedsBarrier = false;
            }
            Drain(*slot, state);
        }
    };

    const Clock::time_point tEnd = Clock::now() + m_options.duration;
    while (Clock::now() < tEnd) {
        ++state.operations;
        const int op = percent(random);
        if (op < 35) {
            startOrStop();
        } else if (op < 55) {
            state.step = "reaping";
            reap(false);
        } else if (op < 58) {
            state.step = "PauseTimers";
            m_pAnchor->PauseTimers();
            for (int k = std::uniform_int_distribution<int>(0, 3)(random); k > 0; --k)
                startOrStop();
            state.step = "ResumeTimers";
            m_pAnchor->ResumeTimers();
            ++m_pauses;
        } else if (op < 65) {
            if (extraRefs.size() < 2 && percent(random) < 60) {
                state.step = "GetHorolog";
                IHorolog* p = GetHorolog();
                if (p != m_pAnchor) {
                    Fail("client " + std::to_string(index) +
                         ": GetHorolog returned another manager than the one held");
                    if (p) p->Release();
                } else {
                    extraRefs.push_back(p);
                }
            } else if (!extraRefs.empty()) {
                state.step = "Release";
                const ULONG c = extraRefs.back()->Release();
                extraRefs.pop_back();
                ++m_references;
                if (c == 0) Fail("Release of an extra reference returned 0 while one was held");
            }
        } else if (op < 80) {
            state.step = "GetTimerId";
            DWORD id = 0;
            if (ClaimId(id)) ReleaseId(id);
        } else {
            // Lets the timers run: until the next callback, a few ms at most.
            state.step = "waiting for a callback";
            const uint64_t seen = m_callbacks.load();
            WaitFor([&] { return m_callbacks.load() != seen; }, milliseconds(2));
        }
    }

    // Quiescence: every one-shot that was not stopped must be called; then
    // everything stops. The parents first: until they are drained their
    // callbacks may still start a child.
    for (auto* list : {&slots, &children}) {
        state.step = list == &slots ? "quiescence: records" : "quiescence: children";
        for (auto& slot : *list) {
            state.slot = slot->label.c_str();
            Kind kind;
            bool bWaitCall;
            {
                std::lock_guard<std::mutex> lock(slot->mtx);
                kind = slot->kind;
                bWaitCall = slot->phase == Phase::kRunning && kind != Kind::kRepeating;
            }
            if (bWaitCall && !WaitFor([&] { return slot->calls.load() >= 1; }, kCallWait)) {
                Fail(slot->label + ": " + KindName(kind) + " timer " +
                     std::to_string(slot->id.load()) +
                     " neither stopped nor called within a minute of the end");
            }
            Stop(*slot);
        }
        reap(true);
    }
    for (auto* list : {&slots, &children}) {
        for (auto& slot : *list) {
            std::lock_guard<std::mutex> lock(slot->mtx);
            if (slot->phase != Phase::kIdle) Fail(slot->label + ": still in use after quiescence");
            ReleaseId(slot->claimedId);
            slot->claimedId = 0;
        }
    }
    state.step = "releasing references";
    for (IHorolog* p : extraRefs) {
        p->Release();
        ++m_references;
    }
    if (SUCCEEDED(hrCom)) CoUninitialize();
    state.step = "finished";
    std::lock_guard<std::mutex> lock(m_doneMtx);
    ++m_nFinished;
    m_doneCv.notify_all();
}

void Driver::Watchdog() {
    std::unique_lock<std::mutex> lock(m_doneMtx);
    if (m_doneCv.wait_for(lock, m_options.watchdog, [&] { return m_bDone; })) return;
    std::ostringstream out;
    out << "horolog stress: the run did not end within " << m_options.watchdog.count() / 1000
        << " s; seed " << m_options.seed << " (HOROLOG_STRESS_SEED=" << m_options.seed
        << " replays its choices)\n";
    for (size_t i = 0; i < m_clients.size(); ++i) {
        out << "  client " << i << ": " << m_clients[i].step.load() << " ("
            << m_clients[i].slot.load() << "), " << m_clients[i].operations.load()
            << " operations\n";
    }
    out << "  driver: " << m_driverStep.load() << "\n";
    std::fputs(out.str().c_str(), stderr);
    std::fflush(stderr);
    std::abort();
}

Result Driver::Run() {
    Result result;
    result.seed = m_options.seed;
    const int nClients = std::max(1, m_options.clients);
    const int nSlots = std::max(1, m_options.slotsPerClient);
    m_records.resize(nClients);
    for (int c = 0; c < nClients; ++c) {
        const uint64_t seed = SplitMix(m_options.seed + static_cast<uint64_t>(c) * 7919 + 1);
        const std::string name = "client " + std::to_string(c);
        Records& r = m_records[c];
        for (int i = 0; i < nSlots; ++i) {
            const std::string base = name + " record " + std::to_string(i);
            r.slots.push_back(std::make_unique<Slot>(this, c, base, SplitMix(seed + 2 * i)));
            r.children.push_back(
                std::make_unique<Slot>(this, c, base + " child", SplitMix(seed + 2 * i + 1)));
            r.slots.back()->child = r.children.back().get();
            r.slots.back()->bSpawner = i % 2 == 0;
        }
        for (int i = 0; i <= kLongRelativePerClient; ++i)
            r.longs.push_back(
                std::make_unique<Slot>(this, c, name + " long " + std::to_string(i), seed));
        r.marker = std::make_unique<Slot>(this, c, name + " barrier", seed);
    }
    Slot finalMarker(this, -1, "driver barrier", 0);

    const horolog_tools::Counters base = horolog_tools::ReadCounters();
    std::thread watchdog([this] { Watchdog(); });
    std::vector<std::thread> clients;
    const Clock::time_point t0 = Clock::now();
    for (int c = 0; c < nClients; ++c) clients.emplace_back([this, c] { Client(c); });
    {
        m_driverStep = "waiting for the clients";
        std::unique_lock<std::mutex> lock(m_doneMtx);
        for (;;) {
            const milliseconds every = m_options.reportEvery.count() > 0 && m_options.onReport
                                           ? m_options.reportEvery
                                           : milliseconds(3600000);
            if (m_doneCv.wait_for(lock, every, [&] { return m_nFinished == nClients; })) break;
            lock.unlock();
            struct Totals now;
            CollectTotals(now);
            m_options.onReport(std::chrono::duration<double>(Clock::now() - t0).count(), now);
            lock.lock();
        }
    }
    for (std::thread& t : clients) t.join();

    // Only the long timers are left: each client's relative ones and one
    // absolute. A barrier makes sure the absolute-timer thread has taken on
    // every absolute start before the counters are read.
    m_driverStep = "counters with the long timers queued";
    ClientState driverState;
    Barrier(finalMarker, driverState);
    const unsigned nLongRelative = static_cast<unsigned>(nClients * kLongRelativePerClient);
    const unsigned nLongAbsolute = static_cast<unsigned>(nClients);
    auto checkCounters = [&](const char* when, unsigned timers, unsigned absTimers) {
        const horolog_tools::Counters c = horolog_tools::ReadCounters();
        if (c.objects != base.objects || c.refs != base.refs || c.timers != base.timers + timers ||
            c.absTimers != base.absTimers + absTimers || c.threads != base.threads + absTimers) {
            char text[400];
            std::snprintf(text, sizeof text,
                          "counters %s: objects %u, refs %u, timers %u, abs timers %u, threads %u; "
                          "expected objects %u, refs %u, timers %u, abs timers %u, threads %u",
                          when, c.objects, c.refs, c.timers, c.absTimers, c.threads, base.objects,
                          base.refs, base.timers + timers, base.absTimers + absTimers,
                          base.threads + absTimers);
            Fail(text);
        }
    };
    checkCounters("with the long timers queued", nLongRelative, nLongAbsolute);

    m_driverStep = "stopping the long timers";
    for (Records& r : m_records) {
        for (auto& slot : r.longs) {
            Stop(*slot);
            Drain(*slot, driverState);
        }
    }
    checkCounters("after the last stop", 0, 0);

    // Records the library may still hold are never freed.
    for (Records& r : m_records) {
        for (auto* list : {&r.slots, &r.children, &r.longs}) {
            for (auto& slot : *list) {
                std::lock_guard<std::mutex> lock(slot->mtx);
                if (slot->phase != Phase::kIdle) {
                    // The clients have reported theirs.
                    if (list == &r.longs) Fail(slot->label + ": left in use");
                    (void)slot.release();
                }
            }
        }
        if (r.marker->phase != Phase::kIdle) (void)r.marker.release();
    }

    {
        std::lock_guard<std::mutex> lock(m_doneMtx);
        m_bDone = true;
        m_doneCv.notify_all();
    }
    watchdog.join();
    if (finalMarker.phase != Phase::kIdle) {
        // Not called: the library may still hold it. Keep the process from
        // freeing it by ending here.
        std::ostringstream out;
        out << "horolog stress: the final barrier was never called; seed " << m_options.seed
            << "\n";
        std::fputs(out.str().c_str(), stderr);
        std::fflush(stderr);
        std::abort();
    }

    CollectTotals(result.totals);
    {
        std::lock_guard<std::mutex> lock(m_failMtx);
        result.failures = m_failures;
    }
    return result;
}

void Driver::CollectTotals(struct Totals& totals) {
    totals.starts = m_starts;
    totals.stops = m_stops;
    totals.callbacks = m_callbacks;
    totals.fromCallbacks = m_fromCallbacks;
    totals.pauses = m_pauses;
    totals.references = m_references;
    totals.ids = m_idCalls;
}

}  // namespace

uint64_t SeedFromEnvironment() {
    const char* text = std::getenv("HOROLOG_STRESS_SEED");
    if (text && *text) return std::strtoull(text, nullptr, 0);
    // Some runtimes' random_device is a fixed sequence: the clock is mixed in.
    std::random_device device;
    const uint64_t now = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
    return SplitMix((static_cast<uint64_t>(device()) << 32) ^ device() ^ now);
}

std::string Result::Describe() const {
    std::ostringstream out;
    out << "seed " << seed << " (HOROLOG_STRESS_SEED=" << seed
        << " replays its choices): " << totals.starts << " starts, " << totals.stops << " stops, "
        << totals.callbacks << " callbacks, " << totals.fromCallbacks << " calls from callbacks, "
        << totals.pauses << " pauses, " << totals.references << " extra references, " << totals.ids
        << " ids drawn";
    if (failures.empty()) {
        out << "; every check held";
    } else {
        out << "; " << failures.size() << " failure(s):";
        for (const std::string& f : failures) out << "\n  " << f;
    }
    return out.str();
}

Result Run(IHorolog* pAnchor, const Options& options) {
    Driver driver(pAnchor, options);
    return driver.Run();
}

}  // namespace horolog_stress

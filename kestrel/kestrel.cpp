#include "kestrel/kestrel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "kestrel/kestrel_testing.h"

namespace {

std::atomic<long> g_lRegistrationFailure{KESTREL_S_OK};
std::atomic<std::uint32_t> g_allocationFaults{0};
std::atomic<std::uint32_t> g_constructionFaults{0};
std::atomic<long> g_lLiveRecords{0};

// Takes the next bit of a fault mask: true when the current operation is to
// fail.
bool TakeFault(std::atomic<std::uint32_t>& mask) {
    std::uint32_t bits = mask.load();
    while (bits != 0 && !mask.compare_exchange_weak(bits, bits >> 1)) {
    }
    return (bits & 1u) != 0;
}

#if defined(_WIN32)
// When a process ends, Windows terminates its other threads before the
// libraries' exit hooks run; a call that was cut short that way never
// reports its end.
bool ThreadHasEnded(DWORD dwThreadId) {
    HANDLE hThread = ::OpenThread(SYNCHRONIZE, FALSE, dwThreadId);
    if (hThread == nullptr) return true;
    const bool bEnded = ::WaitForSingleObject(hThread, 0) == WAIT_OBJECT_0;
    ::CloseHandle(hThread);
    return bEnded;
}
#endif

char* CopyText(const char* psz) {
    if (psz == nullptr) psz = "";
    const std::size_t n = std::strlen(psz) + 1;
    char* pCopy = new char[n];  // std::bad_alloc leaves the constructor
    std::memcpy(pCopy, psz, n);
    return pCopy;
}

}  // namespace

// ---- QuarnClassSummary ------------------------------------------------------

void* QuarnClassSummary::operator new(std::size_t size) noexcept {
    if (TakeFault(g_allocationFaults)) return nullptr;
    void* p = std::malloc(size);
    if (p != nullptr) ++g_lLiveRecords;
    return p;
}

void QuarnClassSummary::operator delete(void* p) noexcept {
    if (p == nullptr) return;
    --g_lLiveRecords;
    std::free(p);
}

QuarnClassSummary::QuarnClassSummary(const char* pszModuleName, const char* pszRecordName,
                                     unsigned int uiValue)
    : QuarnClassSummary(pszModuleName, pszRecordName, uiValue, 0, 0, 0, 0, 0, 0) {}

QuarnClassSummary::QuarnClassSummary(const char* pszModuleName, const char* pszRecordName,
                                     unsigned int uiValue, long lDetail1, unsigned int uiDetail1,
                                     long lDetail2, unsigned int uiDetail2, long lDetail3,
                                     unsigned int uiDetail3)
    : m_pszModuleName(nullptr),
      m_pszRecordName(nullptr),
      m_uiValue(uiValue),
      m_alDetail{lDetail1, lDetail2, lDetail3},
      m_auiDetail{uiDetail1, uiDetail2, uiDetail3} {
    Init(pszModuleName, pszRecordName);
}

void QuarnClassSummary::Init(const char* pszModuleName, const char* pszRecordName) {
    if (TakeFault(g_constructionFaults)) throw std::bad_alloc();
    m_pszModuleName = CopyText(pszModuleName);
    try {
        m_pszRecordName = CopyText(pszRecordName);
    } catch (...) {
        delete[] m_pszModuleName;
        throw;
    }
}

QuarnClassSummary::~QuarnClassSummary() {
    delete[] m_pszModuleName;
    delete[] m_pszRecordName;
}

const char* QuarnClassSummary::GetModuleName() const { return m_pszModuleName; }
const char* QuarnClassSummary::GetRecordName() const { return m_pszRecordName; }
unsigned int QuarnClassSummary::GetValue() const { return m_uiValue; }

long QuarnClassSummary::GetDetailLong(int nIndex) const {
    return nIndex >= 0 && nIndex < 3 ? m_alDetail[nIndex] : 0;
}

unsigned int QuarnClassSummary::GetDetailUInt(int nIndex) const {
    return nIndex >= 0 && nIndex < 3 ? m_auiDetail[nIndex] : 0;
}

// ---- Kestrel ----------------------------------------------------------------

struct Kestrel::State {
    struct Entry {
        KestrelReportingFunction pfn;
        unsigned long nRegistrations;
    };
    // A reporting function running on a thread.
    struct Call {
        KestrelReportingFunction pfn;
        std::thread::id thread;
        DWORD dwThreadId;
    };

    std::mutex mtx;
    std::condition_variable cvCallEnded;
    std::vector<Entry> entries;  // in order of first registration
    std::vector<Call> calls;

    std::vector<Entry>::iterator Find(KestrelReportingFunction pfn) {
        return std::find_if(entries.begin(), entries.end(),
                            [pfn](const Entry& e) { return e.pfn == pfn; });
    }

    bool RunsElsewhere(KestrelReportingFunction pfn, std::thread::id self) const {
        return std::any_of(calls.begin(), calls.end(),
                           [pfn, self](const Call& c) { return c.pfn == pfn && c.thread != self; });
    }
};

// The one database object and its state live in static storage and are
// never destroyed: libraries unregister from their exit hooks, which must
// find them whenever those run. They hold no memory of their own once every
// function is unregistered, so nothing is left behind when this library is
// unloaded.
Kestrel::Kestrel() : m_pState(nullptr) {
    alignas(State) static unsigned char storage[sizeof(State)];
    m_pState = new (storage) State;
}

Kestrel::~Kestrel() { m_pState->~State(); }

Kestrel* GetKestrel() {
    alignas(Kestrel) static unsigned char storage[sizeof(Kestrel)];
    static Kestrel* const pKestrel = new (storage) Kestrel;
    return pKestrel;
}

long Kestrel::RegisterReportingFunction(KestrelReportingFunction pfnReport) {
    if (pfnReport == nullptr) return KESTREL_E_INVALIDARG;
    const long lFailure = g_lRegistrationFailure.load();
    if (lFailure < 0) return lFailure;

    std::lock_guard<std::mutex> lock(m_pState->mtx);
    auto it = m_pState->Find(pfnReport);
    if (it != m_pState->entries.end()) {
        ++it->nRegistrations;
        return KESTREL_S_ALREADY;
    }
    try {
        m_pState->entries.push_back(State::Entry{pfnReport, 1});
    } catch (const std::bad_alloc&) {
        return KESTREL_E_OUTOFMEMORY;
    }
    return KESTREL_S_OK;
}

long Kestrel::UnregisterReportingFunction(KestrelReportingFunction pfnReport) {
    if (pfnReport == nullptr) return KESTREL_E_INVALIDARG;
    std::unique_lock<std::mutex> lock(m_pState->mtx);
    auto it = m_pState->Find(pfnReport);
    if (it == m_pState->entries.end()) return KESTREL_E_NOTREGISTERED;
    if (--it->nRegistrations > 0) return KESTREL_S_OK;
    m_pState->entries.erase(it);
    if (m_pState->entries.empty()) std::vector<State::Entry>().swap(m_pState->entries);

    // The function's code may be unloaded as soon as this returns: wait for
    // its calls on other threads. A call on this thread is the caller's own
    // (the function unregisters itself) and ends when the caller returns.
    const std::thread::id self = std::this_thread::get_id();
    while (m_pState->RunsElsewhere(pfnReport, self)) {
#if defined(_WIN32)
        m_pState->cvCallEnded.wait_for(lock, std::chrono::milliseconds(50));
        auto& calls = m_pState->calls;
        calls.erase(
            std::remove_if(calls.begin(), calls.end(),
                           [](const State::Call& c) { return ThreadHasEnded(c.dwThreadId); }),
            calls.end());
#else
        m_pState->cvCallEnded.wait(lock);
#endif
    }
    return KESTREL_S_OK;
}

long Kestrel::CollectClassSummaries(CPtrArray* pRecords) {
    if (pRecords == nullptr) return KESTREL_E_INVALIDARG;

    std::vector<KestrelReportingFunction> functions;
    {
        std::lock_guard<std::mutex> lock(m_pState->mtx);
        try {
            functions.reserve(m_pState->entries.size());
            for (const State::Entry& e : m_pState->entries) functions.push_back(e.pfn);
        } catch (const std::bad_alloc&) {
            return KESTREL_E_OUTOFMEMORY;
        }
    }

    long lResult = KESTREL_S_OK;
    const std::thread::id self = std::this_thread::get_id();
    for (KestrelReportingFunction pfn : functions) {
        {
            // A function unregistered since the snapshot is not called: its
            // code may be gone. Otherwise the call is recorded under the same
            // lock, so that an unregistration from now on waits for it.
            std::lock_guard<std::mutex> lock(m_pState->mtx);
            if (m_pState->Find(pfn) == m_pState->entries.end()) continue;
            try {
                m_pState->calls.push_back(State::Call{pfn, self, ::GetCurrentThreadId()});
            } catch (const std::bad_alloc&) {
                return KESTREL_E_OUTOFMEMORY;
            }
        }

        long lCall = KESTREL_E_FAIL;
        try {
            lCall = pfn(pRecords);
        } catch (...) {
            lCall = KESTREL_E_FAIL;
        }

        {
            std::lock_guard<std::mutex> lock(m_pState->mtx);
            auto& calls = m_pState->calls;
            auto it = std::find_if(calls.begin(), calls.end(), [pfn, self](const State::Call& c) {
                return c.pfn == pfn && c.thread == self;
            });
            if (it != calls.end()) calls.erase(it);
            if (calls.empty()) std::vector<State::Call>().swap(calls);
        }
        m_pState->cvCallEnded.notify_all();
        if (lCall < 0) lResult = KESTREL_E_FAIL;
    }
    return lResult;
}

void Kestrel::FreeClassSummaries(CPtrArray* pRecords) {
    if (pRecords == nullptr) return;
    for (INT_PTR i = 0; i < pRecords->GetSize(); ++i) {
        delete static_cast<QuarnClassSummary*>(pRecords->GetAt(i));
    }
    pRecords->RemoveAll();
}

// ---- test controls ------------------------------------------------------------

struct KestrelTestAccess {
    static int CopyFunctions(KestrelReportingFunction* pFunctions, int nMax) {
        Kestrel::State* pState = GetKestrel()->m_pState;
        std::lock_guard<std::mutex> lock(pState->mtx);
        const int nCount = static_cast<int>(pState->entries.size());
        for (int i = 0; i < nCount && i < nMax; ++i) pFunctions[i] = pState->entries[i].pfn;
        return nCount;
    }
};

namespace kestrel_testing {

void SetRegistrationFailure(long result) {
    g_lRegistrationFailure = result < 0 ? result : KESTREL_S_OK;
}

void SetAllocationFaults(std::uint32_t mask) { g_allocationFaults = mask; }

void SetConstructionFaults(std::uint32_t mask) { g_constructionFaults = mask; }

long LiveRecordCount() { return g_lLiveRecords.load(); }

int GetRegisteredFunctions(KestrelReportingFunction* pFunctions, int nMax) {
    return KestrelTestAccess::CopyFunctions(pFunctions, nMax);
}

}  // namespace kestrel_testing

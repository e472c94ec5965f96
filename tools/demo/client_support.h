// What the demonstration and the benchmark share as clients of Horolog: a
// timer site that forwards to a function, the module's five counters read
// through the object database, the registration of the module, and a few
// clock and statistics helpers.
#ifndef HOROLOG_TOOLS_CLIENT_SUPPORT_H
#define HOROLOG_TOOLS_CLIENT_SUPPORT_H

#include "horolog/server.h"
#include "kestrel/kestrel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace horolog_tools {

using Clock = std::chrono::steady_clock;

inline double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

#if WINPLAT_NATIVE
constexpr const char* kHorologFile = "Horolog.so";
#else
constexpr const char* kHorologFile = "Horolog.dll";
#endif

// A timer site that hands each expiry to a function. The owner keeps it
// alive for as long as any timer names it: it starts with the owner's
// reference and never deletes itself, so Release answers at least 1 and a
// repeating timer stays queued.
class FunctionSite final : public ITimerSite {
  public:
    using Handler = std::function<void(DWORD dwTimerId)>;

    explicit FunctionSite(Handler handler) : m_handler(std::move(handler)) {}
    FunctionSite(const FunctionSite&) = delete;
    FunctionSite& operator=(const FunctionSite&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITimerSite))
            return E_NOINTERFACE;
        *ppvObject = static_cast<ITimerSite*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_cRef; }
    HRESULT STDMETHODCALLTYPE OnTimer(DWORD dwTimerId, DWORD dwEvent) override {
        if (dwEvent == TIMER_EVENT_EXPIRED && m_handler) m_handler(dwTimerId);
        return S_OK;
    }

  private:
    std::atomic<ULONG> m_cRef{1};
    Handler m_handler;
};

// A timer record with the context block it must point to, kept together
// and in place while the timer runs.
struct TimerSlot {
    TIMERPARAMETERS record;
    unsigned char context[TIMER_CONTEXT_SIZE];

    TimerSlot() {
        std::memset(&record, 0, sizeof record);
        std::memset(context, 0, sizeof context);
        record.pContext = context;
    }
    TimerSlot(const TimerSlot&) = delete;
    TimerSlot& operator=(const TimerSlot&) = delete;

    void Relative(DWORD dwTimerId, ITimerSite* pSite, LONG lDueMs, LONG lIntervalMs = 0) {
        record.dwTimerId = dwTimerId;
        record.pSite = pSite;
        record.dwTimerType = TIMERTYPE_RELATIVE;
        record.lRemaining = lDueMs;
        record.lInterval = lIntervalMs;
        record.bRepeat = lIntervalMs > 0 ? TRUE : FALSE;
    }
    void Absolute(DWORD dwTimerId, ITimerSite* pSite, ULONGLONG ullDueUtc100ns) {
        record.dwTimerId = dwTimerId;
        record.pSite = pSite;
        record.dwTimerType = TIMERTYPE_ABSOLUTE;
        record.ftDueTime.dwLowDateTime = static_cast<DWORD>(ullDueUtc100ns);
        record.ftDueTime.dwHighDateTime = static_cast<DWORD>(ullDueUtc100ns >> 32);
    }
};

// The current UTC time as a FILETIME value: 100 ns units since 1601.
inline ULONGLONG UtcNow100ns() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
constexpr ULONGLONG k100nsPerMs = 10000;

// ---- the module -------------------------------------------------------------

// The directory of the running program, with a trailing separator.
inline std::string ProgramDir() {
    std::string path(4096, '\0');
    const DWORD n = GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path.substr(0, path.find_last_of("/\\") + 1);
}

// Natively the registry is a directory tree named by WINPLAT_REGISTRY. A
// program that has not been given one works on a private registry beside
// its build, so that it neither needs nor touches the user's.
inline void UsePrivateRegistry(const char* pszFolderName) {
#if WINPLAT_NATIVE
    const char* current = std::getenv("WINPLAT_REGISTRY");
    if (current != nullptr && current[0] != '\0') return;
    const std::string dir = ProgramDir() + "../" + pszFolderName;
    ::setenv("WINPLAT_REGISTRY", dir.c_str(), 1);
#else
    (void)pszFolderName;
#endif
}

inline std::string RegistryFolder() {
#if WINPLAT_NATIVE
    const char* current = std::getenv("WINPLAT_REGISTRY");
    return current != nullptr ? current : "";
#else
    return "the system registry";
#endif
}

// Calls DllRegisterServer or DllUnregisterServer of the linked module.
inline HRESULT CallRegistration(bool bUnregister) {
    HMODULE hModule = GetModuleHandleA(kHorologFile);
    if (hModule == nullptr) return E_FAIL;
    auto pfn = reinterpret_cast<PFN_DLLREGISTERSERVER>(reinterpret_cast<void (*)(void)>(
        GetProcAddress(hModule, bUnregister ? "DllUnregisterServer" : "DllRegisterServer")));
    return pfn != nullptr ? pfn() : E_FAIL;
}

inline std::string GuidText(const GUID& guid) {
    char text[64];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// The library path that COM activation will load, as registered; empty when
// the class is not registered.
inline std::string RegisteredServerPath() {
    const std::string key = "CLSID\\" + GuidText(CLSID_Horolog) + "\\InprocServer32";
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return std::string();
    char data[4096];
    DWORD cb = sizeof data - 1;
    DWORD dwType = 0;
    std::string path;
    if (RegQueryValueExA(hKey, nullptr, nullptr, &dwType, reinterpret_cast<BYTE*>(data), &cb) ==
            ERROR_SUCCESS &&
        dwType == REG_SZ) {
        data[cb] = '\0';
        path = data;
    }
    RegCloseKey(hKey);
    return path;
}

// ---- the counters -----------------------------------------------------------

struct Counters {
    unsigned int objects = 0;    // live managers
    unsigned int refs = 0;       // references held on managers
    unsigned int timers = 0;     // relative timers queued
    unsigned int absTimers = 0;  // absolute timers registered
    unsigned int threads = 0;    // absolute timers taken on by the absolute-timer thread

    bool operator==(const Counters& o) const {
        return objects == o.objects && refs == o.refs && timers == o.timers &&
               absTimers == o.absTimers && threads == o.threads;
    }
};

// Gathers every reporting function's records from the object database and
// picks the module's five.
inline Counters ReadCounters() {
    Counters counters;
    CPtrArray records;
    GetKestrel()->CollectClassSummaries(&records);
    const struct {
        const char* name;
        unsigned int* value;
    } fields[] = {
        {"CHorolog.m_uiObjectCount", &counters.objects},
        {"CHorolog.m_uiRefCount", &counters.refs},
        {"CHorolog.m_uiTimersCount", &counters.timers},
        {"CHorolog.m_uiAbsTimersCount", &counters.absTimers},
        {"CHorolog.m_uiThreadCount", &counters.threads},
    };
    for (INT_PTR i = 0; i < records.GetSize(); ++i) {
        auto* pRecord = static_cast<QuarnClassSummary*>(records[i]);
        if (pRecord == nullptr || std::strcmp(pRecord->GetModuleName(), "Horolog.dll") != 0)
            continue;
        for (const auto& field : fields) {
            if (std::strcmp(pRecord->GetRecordName(), field.name) == 0)
                *field.value = pRecord->GetValue();
        }
    }
    Kestrel::FreeClassSummaries(&records);
    return counters;
}

inline std::string FormatCounters(const Counters& c) {
    char text[160];
    std::snprintf(text, sizeof text, "objects %u, refs %u, timers %u, abs timers %u, threads %u",
                  c.objects, c.refs, c.timers, c.absTimers, c.threads);
    return text;
}

inline std::ostream& operator<<(std::ostream& os, const Counters& c) {
    return os << FormatCounters(c);
}

// ---- statistics ---------------------------------------------------------------

// The value at quantile q (0..1) of the samples, nearest rank; 0 when empty.
inline double Quantile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(q * static_cast<double>(samples.size()) + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > samples.size()) rank = samples.size();
    return samples[rank - 1];
}

}  // namespace horolog_tools

#endif  // HOROLOG_TOOLS_CLIENT_SUPPORT_H

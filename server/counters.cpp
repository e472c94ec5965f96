// The counter report: one object-database record for each of the manager's
// five process-wide counters.
#include "shell.h"

#include "core/manager.h"
#include "kestrel/kestrel.h"

namespace {

struct CounterRecord {
    const char* pszName;
    const std::atomic<UINT>* pCounter;
};

// In the order in which the records are appended.
const CounterRecord kCounterRecords[] = {
    {"CHorolog.m_uiObjectCount", &CHorolog::m_uiObjectCount},
    {"CHorolog.m_uiRefCount", &CHorolog::m_uiRefCount},
    {"CHorolog.m_uiTimersCount", &CHorolog::m_uiTimersCount},
    {"CHorolog.m_uiAbsTimersCount", &CHorolog::m_uiAbsTimersCount},
    {"CHorolog.m_uiThreadCount", &CHorolog::m_uiThreadCount},
};

}  // namespace

// Each counter is read at the moment its record is made; the five values
// need not be consistent with one another. A record without memory is
// appended as a null entry. A record whose construction throws is freed and
// the exception leaves this function; the records appended before it stay.
long ReportTimerCounters(CPtrArray* pRecords) {
    if (pRecords == nullptr) return 0;
    char szModuleName[512] = "Horolog.dll";
    for (const CounterRecord& record : kCounterRecords) {
        // The class's own operator new yields null without constructing when
        // it has no memory, and takes the memory back if the constructor
        // throws.
        QuarnClassSummary* pSummary = new QuarnClassSummary(
            szModuleName, record.pszName, record.pCounter->load(), 0, 0, 0, 0, 0, 0);
        if (pRecords->Add(pSummary) < 0) {
            // The array could not grow: the record would be lost.
            delete pSummary;
        }
    }
    return 0;
}

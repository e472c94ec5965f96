// Stand-in for the absolute-timer thread: registration only.
#include "absolute/absolute_timers.h"

#include "core/manager.h"
#include "core/messages.h"

namespace {

// Whether the record is an entry of the manager's absolute map, found by
// its address alone. Called with the manager's lock held.
bool IsRegistered(CHorolog* pHorolog, TIMERPARAMETERS* pTimer) {
    if (!pHorolog->m_pAbsTimerMap) return false;
    POSITION pos = pHorolog->m_pAbsTimerMap->GetStartPosition();
    while (pos) {
        DWORD id;
        TIMERPARAMETERS* pEntry;
        pHorolog->m_pAbsTimerMap->GetNextAssoc(pos, id, pEntry);
        if (pEntry == pTimer) return true;
    }
    return false;
}

}  // namespace

IMPLEMENT_DYNCREATE(CAbsoluteTimers, CWinThread)

BEGIN_MESSAGE_MAP(CAbsoluteTimers, CWinThread)
ON_THREAD_MESSAGE(WM_ATTACHMANAGER, OnAttachManager)
ON_THREAD_MESSAGE(WM_STARTABSOLUTETIMER, OnStartAbsoluteTimer)
END_MESSAGE_MAP()

CAbsoluteTimers::CAbsoluteTimers() : m_pHorolog(nullptr) {}

CAbsoluteTimers::~CAbsoluteTimers() = default;

BOOL CAbsoluteTimers::InitInstance() { return TRUE; }

int CAbsoluteTimers::ExitInstance() { return CWinThread::ExitInstance(); }

void CAbsoluteTimers::OnAttachManager(WPARAM, LPARAM lParam) {
    m_pHorolog = reinterpret_cast<CHorolog*>(lParam);
}

void CAbsoluteTimers::OnStartAbsoluteTimer(WPARAM, LPARAM lParam) {
    TIMERPARAMETERS* pTimer = reinterpret_cast<TIMERPARAMETERS*>(lParam);
    if (!m_pHorolog || !pTimer) return;
    m_pHorolog->Lock();
    // A timer stopped before this message arrived is not registered, and
    // its record is not even read: the client may have freed it.
    if (IsRegistered(m_pHorolog, pTimer)) {
        // A record registered again keeps its one entry; the count stays the
        // number of entries.
        CWinThread* pNone = nullptr;
        const BOOL bKnown = m_pHorolog->m_mapAbsTimerThreads.Lookup(pTimer, pNone);
        pNone = nullptr;
        if (m_pHorolog->m_mapAbsTimerThreads.SetAt(pTimer, pNone) && !bKnown)
            ++CHorolog::m_uiThreadCount;
    }
    m_pHorolog->Unlock();
}

#include <chrono>

#include "afx/afxmt.h"

// Built on std::mutex and a condition variable rather than a recursive timed
// mutex: it gives the timed Lock, refuses an Unlock by a thread that does not
// hold the lock, and is understood by the thread sanitizer everywhere.

CCriticalSection::CCriticalSection() : m_owner(), m_nRecursion(0) {}

CCriticalSection::~CCriticalSection() = default;

BOOL CCriticalSection::Lock() { return Lock(INFINITE); }

BOOL CCriticalSection::Lock(DWORD dwTimeout) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(m_mutex);
    if (m_nRecursion > 0 && m_owner == self) {
        ++m_nRecursion;
        return TRUE;
    }
    auto isFree = [this] { return m_nRecursion == 0; };
    if (dwTimeout == INFINITE) {
        m_released.wait(guard, isFree);
    } else if (!m_released.wait_for(guard, std::chrono::milliseconds(dwTimeout), isFree)) {
        return FALSE;
    }
    m_owner = self;
    m_nRecursion = 1;
    return TRUE;
}

BOOL CCriticalSection::Unlock() {
    std::unique_lock<std::mutex> guard(m_mutex);
    if (m_nRecursion == 0 || m_owner != std::this_thread::get_id()) {
        TRACE0("CCriticalSection::Unlock: the calling thread does not hold the lock.\n");
        return FALSE;
    }
    if (--m_nRecursion == 0) {
        m_owner = std::thread::id();
        // Notified under the mutex: once it is released, the next owner may
        // destroy the lock (with the object around it).
        m_released.notify_one();
    }
    return TRUE;
}

CSingleLock::CSingleLock(CCriticalSection* pObject, BOOL bInitialLock)
    : m_pObject(pObject), m_bAcquired(FALSE) {
    if (bInitialLock) Lock();
}

CSingleLock::~CSingleLock() { Unlock(); }

BOOL CSingleLock::Lock() {
    if (m_pObject == nullptr) return FALSE;
    if (!m_bAcquired) m_bAcquired = m_pObject->Lock();
    return m_bAcquired;
}

BOOL CSingleLock::Unlock() {
    if (m_pObject == nullptr) return FALSE;
    if (m_bAcquired && m_pObject->Unlock()) m_bAcquired = FALSE;
    return !m_bAcquired;
}

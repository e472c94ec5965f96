// Locks: CCriticalSection, a re-entrant lock, and two scoped helpers.
#ifndef AFX_AFXMT_H
#define AFX_AFXMT_H

#include <condition_variable>
#include <mutex>
#include <thread>

#include "afx/afxbase.h"

// A re-entrant mutual-exclusion lock: the thread that holds it may take it
// again, and must release it as often as it took it.
class CCriticalSection {
  public:
    CCriticalSection();
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    // Takes the lock, waiting as long as another thread holds it.
    BOOL Lock();
    // Takes the lock, waiting at most dwTimeout milliseconds (INFINITE:
    // without limit). FALSE when the time ran out.
    BOOL Lock(DWORD dwTimeout);
    // Releases one level. FALSE (and nothing changes) when the calling
    // thread does not hold the lock.
    BOOL Unlock();

    // For std::lock_guard / std::unique_lock.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

  private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::thread::id m_owner;
    unsigned long m_nRecursion;
};

// Scoped holder of a CCriticalSection that can be released and taken again
// within its scope (for instance around a call out of the library). Whatever
// it still holds at the end of the scope is released.
//
//     CSingleLock lock(&m_csTimers, TRUE);  // taken
//     ...
//     lock.Unlock();   // released around the call
//     site->OnTimer(id, code);
//     lock.Lock();     // taken again
class CSingleLock {
  public:
    explicit CSingleLock(CCriticalSection* pObject, BOOL bInitialLock = FALSE);
    ~CSingleLock();
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    BOOL Lock();    // no effect when already held by this object
    BOOL Unlock();  // no effect when not held by this object
    BOOL IsLocked() const { return m_bAcquired; }

  private:
    CCriticalSection* m_pObject;
    BOOL m_bAcquired;
};

namespace afx {
// Holds a CCriticalSection for exactly its scope.
class ScopedLock {
  public:
    explicit ScopedLock(CCriticalSection& cs) : m_cs(cs) { m_cs.Lock(); }
    ~ScopedLock() { m_cs.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    CCriticalSection& m_cs;
};
}  // namespace afx

#endif  // AFX_AFXMT_H

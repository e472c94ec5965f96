// Small synchronisation helpers for the framework tests.
#ifndef TESTS_FRAMEWORK_TEST_UTIL_H
#define TESTS_FRAMEWORK_TEST_UTIL_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "afx/afx.h"

namespace afxtest {

// Generous: Wine and a busy two-core machine are slow.
constexpr DWORD kLongMs = 10000;
constexpr auto kLong = std::chrono::milliseconds(kLongMs);

// An ordered record of what threads did, with waits for it to grow.
template <typename Entry>
class Journal {
  public:
    // Notifies under the lock: a waiter may destroy the journal as soon as
    // it sees the entry.
    void Add(const Entry& e) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.push_back(e);
        m_changed.notify_all();
    }
    std::vector<Entry> Snapshot() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_entries;
    }
    size_t Size() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_entries.size();
    }
    bool WaitForSize(size_t n, std::chrono::milliseconds timeout = kLong) const {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return m_entries.size() >= n; });
    }

  private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<Entry> m_entries;
};

// A one-way flag that threads can wait for.
class Flag {
  public:
    // Notifies under the lock: a waiter may destroy the flag as soon as it
    // sees it set.
    void Set() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_set = true;
        m_changed.notify_all();
    }
    bool IsSet() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_set;
    }
    bool Wait(std::chrono::milliseconds timeout = kLong) const {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return m_set; });
    }

  private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    bool m_set = false;
};

// Polls a condition that no event reports (the state of an operating-system
// handle), yielding between looks, until it holds or the time is up.
inline bool PollUntil(const std::function<bool()>& condition, DWORD timeoutMs = kLongMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() > deadline) return false;
        ::Sleep(1);
    }
    return true;
}

}  // namespace afxtest

#endif  // TESTS_FRAMEWORK_TEST_UTIL_H

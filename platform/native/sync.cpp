// Events, mutexes and the waits on them.
#include "internal.h"

#include <algorithm>
#include <thread>

namespace winplat {
namespace {

class EventObject : public Object {
  public:
    EventObject(bool manual_reset, bool initial)
        : Object(Kind::event), manual(manual_reset), set(initial) {}
    bool signaled(const ThreadState&) const override { return set; }
    bool consume(ThreadState&) override {
        if (!manual) set = false;
        return false;
    }

    const bool manual;
    bool set;
};

void unregister_waiter(Object& object, ThreadState* waiter) {
    auto it = std::find(object.waiters.begin(), object.waiters.end(), waiter);
    if (it != object.waiters.end()) object.waiters.erase(it);
}

// Checks the objects; on success applies the wait's side effects and
// stores the wait result.
bool try_objects_locked(ThreadState& self, const std::vector<std::shared_ptr<Object>>& objects,
                        bool wait_all, DWORD* result) {
    if (objects.empty()) return false;
    if (!wait_all) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (!objects[i]->signaled(self)) continue;
            const bool abandoned = objects[i]->consume(self);
            *result = (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + static_cast<DWORD>(i);
            return true;
        }
        return false;
    }
    for (const auto& object : objects)
        if (!object->signaled(self)) return false;
    DWORD first_abandoned = WAIT_FAILED;
    for (size_t i = 0; i < objects.size(); ++i)
        if (objects[i]->consume(self) && first_abandoned == WAIT_FAILED)
            first_abandoned = static_cast<DWORD>(i);
    *result = first_abandoned == WAIT_FAILED ? WAIT_OBJECT_0 : WAIT_ABANDONED_0 + first_abandoned;
    return true;
}

// Runs the thread's queued APCs, each without the lock, until none is left.
void run_apcs(ThreadState& self, Lock& lk) {
    while (!self.apcs.empty()) {
        const Apc apc = self.apcs.front();
        self.apcs.pop_front();
        lk.unlock();
        if (apc.user_fn != nullptr) apc.user_fn(apc.user_data);
        if (apc.timer_fn != nullptr) apc.timer_fn(apc.timer_arg, apc.time_low, apc.time_high);
        lk.lock();
    }
}

}  // namespace

bool MutexObject::signaled(const ThreadState& waiter) const {
    return owner == 0 || owner == waiter.id;
}

bool MutexObject::consume(ThreadState& waiter) {
    if (owner != waiter.id) {
        owner = waiter.id;
        recursion = 0;
        waiter.owned_mutexes.push_back(shared_from_this());
    }
    ++recursion;
    const bool was_abandoned = abandoned;
    abandoned = false;
    return was_abandoned;
}

DWORD wait_objects(const HANDLE* handles, DWORD count, bool wait_all, DWORD milliseconds,
                   bool alertable, const InputWait* input) {
    ThreadState& self = current_thread();
    Global& g = global();
    Lock lk(g.lock);

    std::vector<std::shared_ptr<Object>> objects;
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<Object> object = lookup_locked(handles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (wait_all && std::find(objects.begin(), objects.end(), object) != objects.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);  // the same object twice in a wait-all
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    if (input != nullptr) ensure_queue_locked(self);

    const bool infinite = milliseconds == INFINITE;
    const SteadyClock::time_point deadline =
        infinite ? SteadyClock::time_point::max()
                 : SteadyClock::now() + std::chrono::milliseconds(milliseconds);
    bool registered = false;
    DWORD result = WAIT_FAILED;
    for (;;) {
        if (input != nullptr && wait_all) {
            // MWMO_WAITALL: every object and new input at once.
            bool all = input_ready_locked(self, *input);
            for (const auto& object : objects) all = all && object->signaled(self);
            if (all) {
                try_objects_locked(self, objects, true, &result);
                if (objects.empty()) result = WAIT_OBJECT_0 + count;
                break;
            }
        } else {
            if (try_objects_locked(self, objects, wait_all, &result)) break;
            if (input != nullptr && input_ready_locked(self, *input)) {
                result = WAIT_OBJECT_0 + count;
                break;
            }
        }
        if (alertable && !self.apcs.empty()) {
            result = WAIT_IO_COMPLETION;
            break;
        }
        if (milliseconds == 0 || (!infinite && SteadyClock::now() >= deadline)) {
            result = WAIT_TIMEOUT;
            break;
        }
        if (!registered) {
            for (const auto& object : objects) object->waiters.push_back(&self);
            registered = true;
        }
        if (infinite)
            self.cv.wait(lk);
        else
            self.cv.wait_until(lk, deadline);
    }
    if (registered)
        for (const auto& object : objects) unregister_waiter(*object, &self);
    if (result == WAIT_IO_COMPLETION) run_apcs(self, lk);
    return result;
}

}  // namespace winplat

using namespace winplat;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    return create_or_open(Kind::event, lpName, [&] {
        return std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
    });
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    Lock lk(global().lock);
    auto event = lookup_kind_locked<EventObject>(hEvent, Kind::event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->set = true;
    event->wake_waiters();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    Lock lk(global().lock);
    auto event = lookup_kind_locked<EventObject>(hEvent, Kind::event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->set = false;
    return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    ThreadState& self = current_thread();
    // An existing named mutex is opened as it is: the initial-owner request
    // applies only to a new one.
    return create_or_open(Kind::mutex, lpName, [&] {
        auto mutex = std::make_shared<MutexObject>();
        if (bInitialOwner) mutex->consume(self);
        return mutex;
    });
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    ThreadState& self = current_thread();
    Lock lk(global().lock);
    auto mutex = lookup_kind_locked<MutexObject>(hMutex, Kind::mutex);
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mutex->owner != self.id) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->recursion == 0) {
        mutex->owner = 0;
        auto& owned = self.owned_mutexes;
        owned.erase(std::remove(owned.begin(), owned.end(), mutex), owned.end());
        mutex->wake_waiters();
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return wait_objects(&hHandle, 1, false, dwMilliseconds, false, nullptr);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    return wait_objects(&hHandle, 1, false, dwMilliseconds, bAlertable != FALSE, nullptr);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return wait_objects(lpHandles, nCount, bWaitAll != FALSE, dwMilliseconds, false, nullptr);
}

DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds,
                                         DWORD dwWakeMask, DWORD dwFlags) {
    if (nCount > MAXIMUM_WAIT_OBJECTS - 1 || (nCount > 0 && pHandles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const InputWait input{dwWakeMask, dwFlags};
    return wait_objects(pHandles, nCount, (dwFlags & MWMO_WAITALL) != 0, dwMilliseconds,
                        (dwFlags & MWMO_ALERTABLE) != 0, &input);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                       DWORD dwMilliseconds, DWORD dwWakeMask) {
    return MsgWaitForMultipleObjectsEx(nCount, pHandles, dwMilliseconds, dwWakeMask,
                                       fWaitAll ? MWMO_WAITALL : 0);
}

VOID WINAPI Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    if (bAlertable) {
        const DWORD result = wait_objects(nullptr, 0, false, dwMilliseconds, true, nullptr);
        return result == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
    }
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
    } else if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    }
    return 0;
}

}  // extern "C"

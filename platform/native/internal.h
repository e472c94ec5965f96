// Private to libwinplat: the process-wide state behind the kernel and user
// services (handles, named objects, threads, waits, message queues, timers).
//
// Locking: one process-wide mutex, Global::lock, guards every field below
// that is not atomic. Each thread blocks on its own condition variable
// (ThreadState::cv) bound to that mutex; whoever makes an object signalled,
// posts a message or queues an APC does so under the lock and notifies the
// threads concerned, so no wake-up is lost between a check and a wait. No
// client code (thread procedures, APCs, completion routines) ever runs with
// the lock held, and object destructors never take it.
#ifndef WINPLAT_NATIVE_INTERNAL_H
#define WINPLAT_NATIVE_INTERNAL_H

#include "winplat/winapi.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace winplat {

using SteadyClock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

struct ThreadState;
class MutexObject;
class TimerObject;

enum class Kind { event, mutex, thread, timer };

// A kernel object. Reference counted through shared_ptr: the handle table,
// a wait in progress, a running thread or an armed timer each hold one.
// `handles` counts open handles only; when it drops to zero the object
// loses its name and kind-specific clean-up runs (an armed timer stops, a
// thread id may be reused).
class Object {
  public:
    explicit Object(Kind kind) : kind_(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Kind kind() const { return kind_; }

    // Whether a wait by `waiter` would be satisfied now.
    virtual bool signaled(const ThreadState& waiter) const = 0;
    // Applies the side effect of a satisfied wait (an auto-reset object
    // resets, a mutex gains an owner). Returns true when the wait result is
    // "abandoned".
    virtual bool consume(ThreadState& waiter) {
        (void)waiter;
        return false;
    }
    virtual void last_handle_closed() {}

    // Wakes every thread blocked on this object so that it re-checks.
    void wake_waiters();

    std::string name;  // empty when unnamed
    unsigned handles = 0;
    std::vector<ThreadState*> waiters;

  private:
    const Kind kind_;
};

// Work queued to a thread, run only while it waits alertably: either a user
// APC or a waitable timer's completion routine.
struct Apc {
    PAPCFUNC user_fn = nullptr;
    ULONG_PTR user_data = 0;
    PTIMERAPCROUTINE timer_fn = nullptr;
    LPVOID timer_arg = nullptr;
    DWORD time_low = 0;
    DWORD time_high = 0;
    // The timer that queued it; compared, never dereferenced, so that
    // cancelling or re-setting the timer can withdraw it.
    const TimerObject* source = nullptr;
};

// Everything the layer knows about one thread, created on the thread's
// first use of a service (or by CreateThread before the thread starts).
struct ThreadState {
    explicit ThreadState(DWORD thread_id) : id(thread_id) {}

    const DWORD id;
    bool exited = false;
    std::condition_variable cv;
    std::deque<Apc> apcs;

    // Thread message queue; absent until the thread first asks for a message.
    bool has_queue = false;
    std::deque<MSG> messages;
    bool quit_pending = false;
    int quit_code = 0;
    // A message arrived since the thread last looked at its queue.
    bool new_input = false;

    std::vector<std::shared_ptr<MutexObject>> owned_mutexes;
};

class MutexObject : public Object, public std::enable_shared_from_this<MutexObject> {
  public:
    MutexObject() : Object(Kind::mutex) {}
    bool signaled(const ThreadState& waiter) const override;
    bool consume(ThreadState& waiter) override;

    DWORD owner = 0;  // thread id, 0 when free
    unsigned recursion = 0;
    bool abandoned = false;
};

struct Global {
    Global();

    std::mutex lock;

    std::unordered_map<uintptr_t, std::shared_ptr<Object>> handles;
    uintptr_t next_handle = 0x1000;
    std::unordered_map<std::string, std::weak_ptr<Object>> names;

    // Live threads by id. An id stays reserved (id_refs > 0) while its
    // thread lives or a handle to it is open.
    std::unordered_map<DWORD, std::shared_ptr<ThreadState>> threads;
    std::unordered_map<DWORD, unsigned> id_refs;
    DWORD next_thread_id = 0x100;

    // Waitable-timer service.
    std::vector<std::shared_ptr<TimerObject>> armed_timers;
    std::condition_variable service_cv;
    bool service_started = false;
};

// The one instance. Never destroyed: detached threads (the timer service,
// threads still running at exit) may use it until the process ends.
Global& global();

// The calling thread's state, created on first use. Must be called without
// the global lock held.
ThreadState& current_thread();

// ---- handles and names (lock held) ---------------------------------------
HANDLE add_handle_locked(const std::shared_ptr<Object>& object);
std::shared_ptr<Object> lookup_locked(HANDLE handle);

template <class T>
std::shared_ptr<T> lookup_kind_locked(HANDLE handle, Kind kind) {
    std::shared_ptr<Object> object = lookup_locked(handle);
    if (!object || object->kind() != kind) return nullptr;
    return std::static_pointer_cast<T>(object);
}

// Creates an object, or opens the existing one of the same kind under
// `name`. `make` builds a new object (called with the lock held). Sets the
// last error to 0 or ERROR_ALREADY_EXISTS; a name held by another kind fails
// with ERROR_INVALID_HANDLE.
template <class Make>
HANDLE create_or_open(Kind kind, LPCSTR name, Make make) {
    Global& g = global();
    Lock lk(g.lock);
    const bool named = name != nullptr && name[0] != '\0';
    if (named) {
        auto it = g.names.find(name);
        if (it != g.names.end()) {
            std::shared_ptr<Object> existing = it->second.lock();
            if (existing && existing->handles > 0) {
                if (existing->kind() != kind) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return nullptr;
                }
                HANDLE h = add_handle_locked(existing);
                SetLastError(ERROR_ALREADY_EXISTS);
                return h;
            }
        }
    }
    std::shared_ptr<Object> object = make();
    if (named) {
        object->name = name;
        g.names[object->name] = object;
    }
    HANDLE h = add_handle_locked(object);
    SetLastError(ERROR_SUCCESS);
    return h;
}

// ---- threads (lock held) ---------------------------------------------------
void reserve_thread_id_locked(DWORD id);
void release_thread_id_locked(DWORD id);
DWORD allocate_thread_id_locked();
// Tears down a thread's per-thread state: abandons its mutexes, destroys
// its message queue, drops its APCs, unregisters it. Takes the lock.
void finish_thread(ThreadState& state);

// Queues an APC and wakes the thread. False when the thread has exited.
bool queue_apc_locked(ThreadState& target, const Apc& apc);

// ---- waits -----------------------------------------------------------------
// The common wait. `input` selects a message wait: wake_mask / flags are
// those of MsgWaitForMultipleObjectsEx.
struct InputWait {
    DWORD wake_mask;
    DWORD flags;
};
DWORD wait_objects(const HANDLE* handles, DWORD count, bool wait_all, DWORD milliseconds,
                   bool alertable, const InputWait* input);

// ---- message queues (lock held) -------------------------------------------
void ensure_queue_locked(ThreadState& state);
bool input_ready_locked(const ThreadState& state, const InputWait& input);

// ---- time ------------------------------------------------------------------
// The wall clock (real UTC plus the test offset) in 100 ns units since 1601.
LONGLONG wall_clock_100ns();
LONGLONG wall_clock_offset_100ns();
void set_wall_clock_offset(LONGLONG offset_100ns);
// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochIn100ns = 116444736000000000LL;

}  // namespace winplat

#endif  // WINPLAT_NATIVE_INTERNAL_H

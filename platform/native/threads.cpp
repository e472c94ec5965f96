// Threads: per-thread state, ids, CreateThread and friends, APC queueing.
#include "internal.h"

#include <pthread.h>

#include <thread>

namespace winplat {
namespace {

// The pseudo-handle value Windows uses for the current thread.
const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// Fast access to the calling thread's state. Trivially destructible, so it
// stays readable while other thread-exit handlers run.
thread_local ThreadState* t_current = nullptr;

// Clean-up at thread exit goes through a pthread key rather than a C++
// thread_local destructor: key destructors run after every thread_local
// destructor, so state that another library's thread_local destructor
// recreates by calling into this layer is still torn down.
void thread_state_destructor(void* value) {
    if (value != nullptr) finish_thread(*static_cast<ThreadState*>(value));
}

pthread_key_t thread_key() {
    static const pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, &thread_state_destructor);
        return k;
    }();
    return key;
}

void install_current(ThreadState* state) {
    t_current = state;
    pthread_setspecific(thread_key(), state);
}

class ThreadObject : public Object {
  public:
    ThreadObject() : Object(Kind::thread) {}
    bool signaled(const ThreadState&) const override { return ended; }
    void last_handle_closed() override { release_thread_id_locked(id); }

    DWORD id = 0;
    std::shared_ptr<ThreadState> state;  // until the thread ends
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
    DWORD suspend_count = 0;
};

// The thread that `handle` names: the calling thread for the pseudo-handle.
// Lock held. Null when the handle is not a thread handle.
std::shared_ptr<ThreadObject> thread_object_locked(HANDLE handle) {
    return lookup_kind_locked<ThreadObject>(handle, Kind::thread);
}

void run_thread(std::shared_ptr<ThreadObject> object, std::shared_ptr<ThreadState> state,
                LPTHREAD_START_ROUTINE start, LPVOID parameter) {
    install_current(state.get());
    {
        Lock lk(global().lock);
        while (object->suspend_count > 0) state->cv.wait(lk);
    }
    const DWORD code = start(parameter);
    // Per-thread state goes before the handle is signalled, so that whoever
    // waited for the thread finds its queue gone and its mutexes abandoned.
    finish_thread(*state);
    Lock lk(global().lock);
    object->exit_code = code;
    object->ended = true;
    object->state.reset();
    object->wake_waiters();
}

}  // namespace

void reserve_thread_id_locked(DWORD id) { ++global().id_refs[id]; }

void release_thread_id_locked(DWORD id) {
    Global& g = global();
    auto it = g.id_refs.find(id);
    if (it != g.id_refs.end() && --it->second == 0) g.id_refs.erase(it);
}

DWORD allocate_thread_id_locked() {
    Global& g = global();
    for (;;) {
        const DWORD id = g.next_thread_id;
        g.next_thread_id += 4;
        if (id != 0 && g.id_refs.find(id) == g.id_refs.end()) {
            reserve_thread_id_locked(id);
            return id;
        }
    }
}

ThreadState& current_thread() {
    if (t_current != nullptr) return *t_current;
    Global& g = global();
    ThreadState* state;
    {
        Lock lk(g.lock);
        auto owned = std::make_shared<ThreadState>(allocate_thread_id_locked());
        state = owned.get();
        g.threads.emplace(state->id, std::move(owned));
    }
    install_current(state);
    return *state;
}

void finish_thread(ThreadState& state) {
    if (t_current == &state) {
        t_current = nullptr;
        pthread_setspecific(thread_key(), nullptr);
    }
    Global& g = global();
    std::shared_ptr<ThreadState> keep;  // the registry's reference, dropped unlocked
    std::vector<std::shared_ptr<MutexObject>> mutexes;
    std::deque<Apc> apcs;
    std::deque<MSG> messages;
    {
        Lock lk(g.lock);
        if (state.exited) return;
        state.exited = true;
        mutexes.swap(state.owned_mutexes);
        for (const auto& mutex : mutexes) {
            if (mutex->owner != state.id) continue;
            mutex->owner = 0;
            mutex->recursion = 0;
            mutex->abandoned = true;
            mutex->wake_waiters();
        }
        apcs.swap(state.apcs);
        messages.swap(state.messages);
        state.has_queue = false;
        state.quit_pending = false;
        state.new_input = false;
        auto it = g.threads.find(state.id);
        if (it != g.threads.end() && it->second.get() == &state) {
            keep = std::move(it->second);
            g.threads.erase(it);
        }
        release_thread_id_locked(state.id);
    }
}

bool queue_apc_locked(ThreadState& target, const Apc& apc) {
    if (target.exited) return false;
    target.apcs.push_back(apc);
    target.cv.notify_one();
    return true;
}

}  // namespace winplat

using namespace winplat;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Global& g = global();
    auto object = std::make_shared<ThreadObject>();
    std::shared_ptr<ThreadState> state;
    HANDLE handle;
    {
        Lock lk(g.lock);
        const DWORD id = allocate_thread_id_locked();  // the thread's own reference
        reserve_thread_id_locked(id);                  // the handle's reference
        state = std::make_shared<ThreadState>(id);
        g.threads.emplace(id, state);
        object->id = id;
        object->state = state;
        object->suspend_count = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
        handle = add_handle_locked(object);
    }
    try {
        std::thread(run_thread, object, state, lpStartAddress, lpParameter).detach();
    } catch (...) {
        {
            Lock lk(g.lock);
            g.threads.erase(state->id);
            release_thread_id_locked(state->id);
            state->exited = true;
        }
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = object->id;
    return handle;
}

DWORD WINAPI GetCurrentThreadId(void) { return current_thread().id; }

HANDLE WINAPI GetCurrentThread(void) { return kCurrentThreadPseudoHandle; }

DWORD WINAPI GetThreadId(HANDLE Thread) {
    if (Thread == kCurrentThreadPseudoHandle) return GetCurrentThreadId();
    Lock lk(global().lock);
    auto object = thread_object_locked(Thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return object->id;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    if (hThread == kCurrentThreadPseudoHandle) {
        if (lpExitCode != nullptr) *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    Lock lk(global().lock);
    auto object = thread_object_locked(hThread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = object->exit_code;
    return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    if (hThread == kCurrentThreadPseudoHandle) return 0;
    Lock lk(global().lock);
    auto object = thread_object_locked(hThread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    const DWORD previous = object->suspend_count;
    if (previous > 0 && --object->suspend_count == 0 && object->state)
        object->state->cv.notify_one();
    return previous;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int) {
    if (hThread == kCurrentThreadPseudoHandle) return TRUE;
    Lock lk(global().lock);
    if (!thread_object_locked(hThread)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;  // priorities are accepted and have no effect
}

DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData) {
    if (pfnAPC == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Apc apc;
    apc.user_fn = pfnAPC;
    apc.user_data = dwData;
    if (hThread == kCurrentThreadPseudoHandle) {
        ThreadState& self = current_thread();
        Lock lk(global().lock);
        return queue_apc_locked(self, apc) ? 1 : 0;
    }
    Lock lk(global().lock);
    auto object = thread_object_locked(hThread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!object->state || !queue_apc_locked(*object->state, apc)) {
        SetLastError(ERROR_GEN_FAILURE);
        return 0;
    }
    return 1;
}

}  // extern "C"

// The handle table and the namespace of named objects.
#include "internal.h"
#include "winplat/testing.h"

namespace winplat {

Global::Global() = default;

Global& global() {
    // Deliberately leaked: see the declaration.
    static Global* const instance = new Global;
    return *instance;
}

void Object::wake_waiters() {
    for (ThreadState* waiter : waiters) waiter->cv.notify_one();
}

HANDLE add_handle_locked(const std::shared_ptr<Object>& object) {
    Global& g = global();
    // Handle values are multiples of four and never reused, so a stale
    // handle can never reach a newer object.
    const uintptr_t value = g.next_handle;
    g.next_handle += 4;
    g.handles.emplace(value, object);
    ++object->handles;
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> lookup_locked(HANDLE handle) {
    Global& g = global();
    auto it = g.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g.handles.end()) return nullptr;
    return it->second;
}

}  // namespace winplat

using namespace winplat;

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == GetCurrentThread()) return TRUE;  // pseudo-handle: nothing to close
    Global& g = global();
    std::shared_ptr<Object> object;  // released after the lock
    {
        Lock lk(g.lock);
        auto it = g.handles.find(reinterpret_cast<uintptr_t>(hObject));
        if (it == g.handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        g.handles.erase(it);
        if (--object->handles == 0) {
            if (!object->name.empty()) {
                auto named = g.names.find(object->name);
                if (named != g.names.end() && named->second.lock() == object) g.names.erase(named);
            }
            object->last_handle_closed();
        }
    }
    return TRUE;
}

extern "C" DWORD winplat_test_handle_count(void) {
    Global& g = global();
    Lock lk(g.lock);
    return static_cast<DWORD>(g.handles.size());
}

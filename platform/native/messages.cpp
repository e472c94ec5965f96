// Thread message queues.
#include "internal.h"

namespace winplat {
namespace {

// Windows refuses posts beyond this many messages waiting in one queue.
constexpr size_t kMaxPostedMessages = 10000;

// hWnd values that select thread messages: NULL (everything of the thread,
// and there are no windows here) and -1 (thread messages only).
bool thread_messages_only(HWND hwnd) {
    return hwnd == nullptr || hwnd == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
}

bool in_range(UINT message, UINT first, UINT last) {
    if (first == 0 && last == 0) return true;
    return message >= first && message <= last;
}

// Takes (or copies) the first message that passes the filter. WM_QUIT from
// PostQuitMessage comes only once no posted message is left.
bool take_message_locked(ThreadState& self, LPMSG msg, UINT first, UINT last, bool remove) {
    for (auto it = self.messages.begin(); it != self.messages.end(); ++it) {
        if (!in_range(it->message, first, last)) continue;
        *msg = *it;
        if (remove) self.messages.erase(it);
        return true;
    }
    if (self.quit_pending && in_range(WM_QUIT, first, last)) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(self.quit_code);
        msg->time = GetTickCount();
        if (remove) self.quit_pending = false;
        return true;
    }
    return false;
}

}  // namespace

void ensure_queue_locked(ThreadState& state) { state.has_queue = true; }

bool input_ready_locked(const ThreadState& state, const InputWait& input) {
    if ((input.wake_mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) == 0) return false;
    if (input.flags & MWMO_INPUTAVAILABLE) return !state.messages.empty() || state.quit_pending;
    return state.new_input;
}

}  // namespace winplat

using namespace winplat;

extern "C" {

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Global& g = global();
    Lock lk(g.lock);
    auto it = g.threads.find(idThread);
    if (it == g.threads.end() || !it->second->has_queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    ThreadState& target = *it->second;
    if (target.messages.size() >= kMaxPostedMessages) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    MSG msg{};
    msg.message = Msg;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    target.messages.push_back(msg);
    target.new_input = true;
    target.cv.notify_one();
    return TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    ThreadState& self = current_thread();
    Lock lk(global().lock);
    ensure_queue_locked(self);
    self.new_input = false;
    if (!thread_messages_only(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return take_message_locked(self, lpMsg, wMsgFilterMin, wMsgFilterMax,
                               (wRemoveMsg & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    ThreadState& self = current_thread();
    Lock lk(global().lock);
    ensure_queue_locked(self);
    if (!thread_messages_only(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    for (;;) {
        self.new_input = false;
        if (take_message_locked(self, lpMsg, wMsgFilterMin, wMsgFilterMax, true)) break;
        self.cv.wait(lk);
    }
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

VOID WINAPI PostQuitMessage(int nExitCode) {
    ThreadState& self = current_thread();
    Lock lk(global().lock);
    ensure_queue_locked(self);
    self.quit_pending = true;
    self.quit_code = nExitCode;
    self.new_input = true;
}

BOOL WINAPI TranslateMessage(const MSG*) {
    return FALSE;  // there are no key messages to translate
}

LRESULT WINAPI DispatchMessageA(const MSG*) {
    return 0;  // thread messages (hwnd NULL) have no window procedure
}

}  // extern "C"

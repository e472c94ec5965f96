// Small helpers shared by the kernel-service tests. They use only the
// platform API, so the same tests run natively and on Windows.
#ifndef TESTS_PLATFORM_KERNEL_TEST_SUPPORT_H
#define TESTS_PLATFORM_KERNEL_TEST_SUPPORT_H

#include "winplat/winapi.h"

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace kernel_test {

// Generous bound for things expected within milliseconds (Wine is slow).
constexpr DWORD kLongWait = 10000;

// A handle value that names no object. (A closed handle is no good for
// this on Windows: the system reuses handle values, also for handles it
// opens internally.)
inline HANDLE bogus_handle() { return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(0x7FFFFFF0)); }

// Closes the handle when the test ends.
class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HANDLE h = nullptr) {
        if (h_ != nullptr) CloseHandle(h_);
        h_ = h;
    }
    HANDLE release() { return std::exchange(h_, nullptr); }

  private:
    HANDLE h_ = nullptr;
};

inline DWORD WINAPI run_function(LPVOID param) {
    std::unique_ptr<std::function<DWORD()>> body(static_cast<std::function<DWORD()>*>(param));
    return (*body)();
}

// CreateThread on a callable.
inline Handle start_thread(std::function<DWORD()> body, DWORD flags = 0, DWORD* id = nullptr) {
    auto* param = new std::function<DWORD()>(std::move(body));
    HANDLE h = CreateThread(nullptr, 0, &run_function, param, flags, id);
    if (h == nullptr) delete param;
    return Handle(h);
}

inline Handle new_event(bool manual_reset = false, bool initial = false) {
    return Handle(CreateEventA(nullptr, manual_reset, initial, nullptr));
}

// The wall clock as a 64-bit FILETIME value.
inline LONGLONG filetime_now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) |
                                 ft.dwLowDateTime);
}

constexpr LONGLONG kMs100ns = 10000;  // one millisecond in FILETIME units

// Milliseconds elapsed since `start` on the monotonic clock.
inline long long ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace kernel_test

#endif  // TESTS_PLATFORM_KERNEL_TEST_SUPPORT_H

// Handles and the namespace of named objects.
#include "kernel_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

using namespace kernel_test;

namespace {

// Object names are shared by every process in the namespace (also by other
// test programs running at the same time), so each test makes its own.
std::string unique_name(const char* stem) {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::string("horolog-kernel-test-") + stem + "-" + std::to_string(stamp) + "-" +
           std::to_string(counter++);
}

enum class ObjectKind { event, mutex, timer };

HANDLE create(ObjectKind kind, const std::string& name) {
    switch (kind) {
        case ObjectKind::event:
            return CreateEventA(nullptr, FALSE, FALSE, name.c_str());
        case ObjectKind::mutex:
            return CreateMutexA(nullptr, FALSE, name.c_str());
        case ObjectKind::timer:
            return CreateWaitableTimerA(nullptr, FALSE, name.c_str());
    }
    return nullptr;
}

// Makes the object signalled through one handle, the way each kind allows.
void signal(ObjectKind kind, HANDLE h) {
    LARGE_INTEGER now;
    switch (kind) {
        case ObjectKind::event:
            ASSERT_TRUE(SetEvent(h));
            break;
        case ObjectKind::mutex:
            break;  // an unowned mutex is signalled
        case ObjectKind::timer:
            now.QuadPart = -1;
            ASSERT_TRUE(SetWaitableTimer(h, &now, 0, nullptr, nullptr, FALSE));
            break;
    }
}

}  // namespace

TEST(KernelObjects, CloseHandleRejectsInvalidAndAlreadyClosedHandles) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(CloseHandle(event));

    // Closed just now (nothing can have taken the value yet), never valid,
    // and a value no object has.
    for (HANDLE bad : {event, HANDLE(nullptr), bogus_handle()}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST(KernelObjects, SecondCreateOfANameOpensTheSameObject) {
    for (ObjectKind kind : {ObjectKind::event, ObjectKind::mutex, ObjectKind::timer}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const std::string name = unique_name("same");

        SetLastError(1234);
        Handle first(create(kind, name));
        ASSERT_TRUE(first);
        EXPECT_EQ(GetLastError(), 0u) << "a fresh creation clears the last error";

        Handle second(create(kind, name));
        ASSERT_TRUE(second);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_NE(first.get(), second.get()) << "a new handle to the same object";

        // Signalled through one handle, seen through the other.
        signal(kind, first.get());
        EXPECT_EQ(WaitForSingleObject(second.get(), kLongWait), WAIT_OBJECT_0);

        // The object outlives the handle it was created with.
        first.reset();
        Handle third(create(kind, name));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
}

TEST(KernelObjects, NameHeldByAnotherKindFailsWithInvalidHandle) {
    struct Case {
        ObjectKind holder;
        ObjectKind requested;
    };
    const Case cases[] = {
        {ObjectKind::mutex, ObjectKind::timer}, {ObjectKind::event, ObjectKind::timer},
        {ObjectKind::timer, ObjectKind::event}, {ObjectKind::event, ObjectKind::mutex},
        {ObjectKind::timer, ObjectKind::mutex},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.holder) << " holds the name, "
                                        << static_cast<int>(c.requested) << " requested");
        const std::string name = unique_name("clash");
        Handle holder(create(c.holder, name));
        ASSERT_TRUE(holder);
        SetLastError(0);
        HANDLE clash = create(c.requested, name);
        EXPECT_EQ(clash, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        if (clash != nullptr) CloseHandle(clash);
    }
}

TEST(KernelObjects, NameIsFreedWithTheLastHandle) {
    const std::string name = unique_name("freed");
    Handle first(CreateEventA(nullptr, TRUE, TRUE, name.c_str()));
    ASSERT_TRUE(first);
    first.reset();

    // A new object: not signalled, as this creation asks, and not "existing".
    Handle again(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(again);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(WaitForSingleObject(again.get(), 0), WAIT_TIMEOUT);

    // After the name is gone another kind may take it.
    again.reset();
    Handle timer(CreateWaitableTimerA(nullptr, FALSE, name.c_str()));
    EXPECT_TRUE(timer);
}

TEST(KernelObjects, OperationsOnAHandleOfTheWrongKindFail) {
    Handle event = new_event();
    Handle timer(CreateWaitableTimerA(nullptr, FALSE, nullptr));
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_TRUE(event && timer && mutex);
    LARGE_INTEGER due;
    due.QuadPart = -1;

    SetLastError(0);
    EXPECT_FALSE(SetEvent(timer.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetWaitableTimer(event.get(), &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(CancelWaitableTimer(mutex.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(event.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// AfxIsValidAddress against memory whose state the test sets up itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "afx/afx.h"

#if WINPLAT_NATIVE
#include <sys/mman.h>
#include <unistd.h>

#include "address_detail.h"
#endif

namespace {

enum class Access { kReadWrite, kReadOnly, kNone };

// Pages of the test's own, whose access it changes and which it can give
// back to the system.
class Pages {
  public:
    explicit Pages(size_t count) : m_count(count) {
#if WINPLAT_NATIVE
        m_size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        void* p = ::mmap(nullptr, count * m_size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_base = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
#else
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        m_size = si.dwPageSize;
        m_base = static_cast<char*>(
            ::VirtualAlloc(nullptr, count * m_size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
#endif
        if (m_base) std::memset(m_base, 0x5A, count * m_size);
    }
    ~Pages() {
        if (!m_base) return;
#if WINPLAT_NATIVE
        ::munmap(m_base, m_count * m_size);
#else
        ::VirtualFree(m_base, 0, MEM_RELEASE);
#endif
    }
    char* Page(size_t i) const { return m_base + i * m_size; }
    size_t PageSize() const { return m_size; }
    bool Ok() const { return m_base != nullptr; }

    void SetAccess(size_t i, Access access) {
#if WINPLAT_NATIVE
        const int prot = access == Access::kReadWrite  ? PROT_READ | PROT_WRITE
                         : access == Access::kReadOnly ? PROT_READ
                                                       : PROT_NONE;
        ASSERT_EQ(::mprotect(Page(i), m_size, prot), 0);
#else
        const DWORD prot = access == Access::kReadWrite  ? PAGE_READWRITE
                           : access == Access::kReadOnly ? PAGE_READONLY
                                                         : PAGE_NOACCESS;
        DWORD old;
        ASSERT_TRUE(::VirtualProtect(Page(i), m_size, prot, &old));
#endif
    }

    // Gives page i back: afterwards nothing is mapped there (natively
    // unmapped; on Windows decommitted, which VirtualQuery reports as not
    // committed).
    void Release(size_t i) {
#if WINPLAT_NATIVE
        ASSERT_EQ(::munmap(Page(i), m_size), 0);
#else
        ASSERT_TRUE(::VirtualFree(Page(i), m_size, MEM_DECOMMIT));
#endif
    }

  private:
    char* m_base = nullptr;
    size_t m_size = 0;
    size_t m_count;
};

const char kReadOnlyText[] = "constant text";

struct Case {
    std::string name;
    const void* p;
    UINT_PTR n;
    BOOL readWrite;
    BOOL expected;
};

}  // namespace

class IsValidAddress : public ::testing::Test {
  protected:
    void SetUp() override {
        // Page 0 read-write, 1 read-only, 2 no access, 3 released, 4 and 5
        // read-write (one mapping), 6 read-only, next to 5.
        ASSERT_TRUE(pages.Ok());
        pages.SetAccess(1, Access::kReadOnly);
        pages.SetAccess(2, Access::kNone);
        pages.Release(3);
        pages.SetAccess(6, Access::kReadOnly);
    }

    std::vector<Case> Cases() {
        const size_t ps = pages.PageSize();
        int onStack = 0;
        heap.reset(new int[64]);
        char* topOfRange = reinterpret_cast<char*>(UINTPTR_MAX - 15);
        return {
            {"null", nullptr, 4, FALSE, FALSE},
            {"null, empty", nullptr, 0, FALSE, FALSE},
            {"stack", &onStack, sizeof onStack, TRUE, TRUE},
            {"heap", heap.get(), 64 * sizeof(int), TRUE, TRUE},
            {"empty range", pages.Page(2), 0, TRUE, TRUE},
            {"constant text, read", kReadOnlyText, sizeof kReadOnlyText, FALSE, TRUE},
            {"constant text, write", kReadOnlyText, sizeof kReadOnlyText, TRUE, FALSE},
            {"whole read-write page", pages.Page(0), ps, TRUE, TRUE},
            {"read-only page, read", pages.Page(1), ps, FALSE, TRUE},
            {"read-only page, write", pages.Page(1), 8, TRUE, FALSE},
            {"read-write into read-only, read", pages.Page(1) - 8, 16, FALSE, TRUE},
            {"read-write into read-only, write", pages.Page(1) - 8, 16, TRUE, FALSE},
            {"no-access page, read", pages.Page(2), 1, FALSE, FALSE},
            {"no-access page, write", pages.Page(2) + 100, 8, TRUE, FALSE},
            {"released page", pages.Page(3), 8, FALSE, FALSE},
            {"runs off into a released page", pages.Page(3) - 8, 16, FALSE, FALSE},
            {"starts in a released page", pages.Page(3) + ps - 8, 16, FALSE, FALSE},
            {"two read-write pages", pages.Page(4), 2 * ps, TRUE, TRUE},
            {"last byte of a read-write run", pages.Page(5) + ps - 1, 1, TRUE, TRUE},
            {"one byte too far, write", pages.Page(5) + ps - 1, 2, TRUE, FALSE},
            {"one byte too far, read", pages.Page(5) + ps - 1, 2, FALSE, TRUE},
            {"read-write then read-only then none", pages.Page(0), 3 * ps, FALSE, FALSE},
            {"p + n wraps around", pages.Page(0), UINTPTR_MAX, FALSE, FALSE},
            {"p + n wraps around at the top", topOfRange, 32, FALSE, FALSE},
        };
    }

    Pages pages{7};
    std::unique_ptr<int[]> heap;
};

TEST_F(IsValidAddress, AnswersForEveryKindOfMemory) {
    for (const Case& c : Cases()) {
        EXPECT_EQ(AfxIsValidAddress(c.p, c.n, c.readWrite), c.expected) << c.name;
    }
}

TEST_F(IsValidAddress, DefaultAsksForWriteAccess) {
    EXPECT_FALSE(AfxIsValidAddress(kReadOnlyText, 4));
    EXPECT_TRUE(AfxIsValidAddress(pages.Page(0), 4));
}

#if WINPLAT_NATIVE
// Both ways of asking the kernel give the same answers.
TEST_F(IsValidAddress, KernelQueryAndMapsTextAgree) {
    for (const Case& c : Cases()) {
        if (c.p == nullptr || c.n == 0) continue;
        const uintptr_t first = reinterpret_cast<uintptr_t>(c.p);
        if (c.n - 1 > UINTPTR_MAX - first) continue;  // refused before any query
        const uintptr_t last = first + (c.n - 1);
        EXPECT_EQ(afx_detail::QueryRangeByMapsText(first, last, c.readWrite != FALSE),
                  c.expected != FALSE)
            << "maps text: " << c.name;
        const afx_detail::AddressAnswer a =
            afx_detail::QueryRangeByIoctl(first, last, c.readWrite != FALSE);
        if (a == afx_detail::AddressAnswer::kUnsupported) continue;  // older kernel
        EXPECT_EQ(a == afx_detail::AddressAnswer::kValid, c.expected != FALSE)
            << "ioctl: " << c.name;
    }
}
#endif

// Memory that a client has no business handing to the library: pages with
// no access, read-only pages, pages given back to the system, and addresses
// that are never mapped. Used by the bad-input suites of the engine and of
// the module. The platform layer has no virtual-memory calls, so the system's
// own are used (VirtualAlloc and friends on Windows, mmap natively).
#ifndef HOROLOG_TESTS_BAD_MEMORY_H
#define HOROLOG_TESTS_BAD_MEMORY_H

#include "winplat/winapi.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if WINPLAT_NATIVE
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace badmem {

// A block of pages of the test's own, readable and writable until the test
// changes a page. Pages given back stay reserved for the block (natively a
// fresh inaccessible mapping replaces them, on Windows they are decommitted),
// so nothing else of the process can be placed at their addresses while the
// block lives.
class Pages {
  public:
    explicit Pages(size_t count) : m_count(count) {
#if WINPLAT_NATIVE
        m_size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        void* p = ::mmap(nullptr, count * m_size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_base = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
#else
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        m_size = si.dwPageSize;
        m_base = static_cast<unsigned char*>(
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
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;

    bool Ok() const { return m_base != nullptr; }
    size_t PageSize() const { return m_size; }
    unsigned char* Page(size_t i) const { return m_base + i * m_size; }
    // The first byte after page i.
    unsigned char* PageEnd(size_t i) const { return Page(i + 1); }

    void NoAccess(size_t i) { Protect(i, false, false); }
    void ReadOnly(size_t i) { Protect(i, true, false); }

    // Gives page i back to the system: its contents are gone and any access
    // faults.
    void GiveBack(size_t i) {
#if WINPLAT_NATIVE
        void* p = ::mmap(Page(i), m_size, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
#else
        ASSERT_TRUE(::VirtualFree(Page(i), m_size, MEM_DECOMMIT));
#endif
    }

  private:
    void Protect(size_t i, bool bRead, bool bWrite) {
#if WINPLAT_NATIVE
        const int prot = bWrite ? PROT_READ | PROT_WRITE : bRead ? PROT_READ : PROT_NONE;
        ASSERT_EQ(::mprotect(Page(i), m_size, prot), 0);
#else
        const DWORD prot = bWrite ? PAGE_READWRITE : bRead ? PAGE_READONLY : PAGE_NOACCESS;
        DWORD old;
        ASSERT_TRUE(::VirtualProtect(Page(i), m_size, prot, &old));
#endif
    }

    size_t m_count;
    size_t m_size = 0;
    unsigned char* m_base = nullptr;
};

// A page that only has an address: reserved with no access at all (natively
// an inaccessible mapping, on Windows reserved and never committed).
class ReservedPage {
  public:
    ReservedPage() {
#if WINPLAT_NATIVE
        const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        void* p =
            ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        m_base = p == MAP_FAILED ? nullptr : p;
        m_size = size;
#else
        m_base = ::VirtualAlloc(nullptr, 1, MEM_RESERVE, PAGE_NOACCESS);
#endif
    }
    ~ReservedPage() {
        if (!m_base) return;
#if WINPLAT_NATIVE
        ::munmap(m_base, m_size);
#else
        ::VirtualFree(m_base, 0, MEM_RELEASE);
#endif
    }
    ReservedPage(const ReservedPage&) = delete;
    ReservedPage& operator=(const ReservedPage&) = delete;

    bool Ok() const { return m_base != nullptr; }
    void* Address() const { return m_base; }

  private:
    void* m_base = nullptr;
    size_t m_size = 0;
};

// Addresses that no process maps: inside the first page, and just below the
// top of the address space (a 48-byte record there would also wrap around).
inline void* LowAddress() { return reinterpret_cast<void*>(static_cast<uintptr_t>(0x10)); }
inline void* TopAddress() { return reinterpret_cast<void*>(UINTPTR_MAX - 7); }

// Places that a caller might pass for an out pointer (of a DWORD or of an
// interface pointer) that are not writable memory aligned for it.
class BadOutPointers {
  public:
    struct Case {
        const char* what;
        void* address;
    };
    BadOutPointers() : m_pages(2) {
        if (!m_pages.Ok() || !m_reserved.Ok()) return;
        m_pages.ReadOnly(0);
        m_pages.GiveBack(1);
        std::memset(m_buffer, 0, sizeof m_buffer);
        m_cases = {
            {"null", nullptr},
            {"first page", LowAddress()},
            {"top of the address space", TopAddress()},
            {"reserved, no access", m_reserved.Address()},
            {"given back", m_pages.Page(1)},
            {"read-only", m_pages.Page(0)},
            {"misaligned", m_buffer + 1},
        };
    }
    bool Ok() const { return !m_cases.empty(); }
    const std::vector<Case>& Cases() const { return m_cases; }
    // An address that cannot be read, for arguments passed by reference.
    void* Unreadable() const { return m_reserved.Address(); }
    // Neither the read-only page nor the buffer around the misaligned
    // address has been written.
    bool Untouched() const {
        for (unsigned char b : m_buffer)
            if (b != 0) return false;
        for (size_t i = 0; i < m_pages.PageSize(); ++i)
            if (m_pages.Page(0)[i] != 0x5A) return false;
        return true;
    }

  private:
    Pages m_pages;
    ReservedPage m_reserved;
    alignas(8) unsigned char m_buffer[32];
    std::vector<Case> m_cases;
};

}  // namespace badmem

#endif  // HOROLOG_TESTS_BAD_MEMORY_H

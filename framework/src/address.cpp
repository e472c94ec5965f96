#include <cstdint>

#include "afx/afxmem.h"
#include "address_detail.h"

#if !defined(_WIN32)
#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// Checks the arguments common to both platforms. On TRUE, [first, last] is
// the non-empty range to ask about.
bool NormaliseRange(const void* p, UINT_PTR nBytes, uintptr_t& first, uintptr_t& last) {
    first = reinterpret_cast<uintptr_t>(p);
    // p + nBytes must not wrap around the end of the address space.
    if (nBytes - 1 > UINTPTR_MAX - first) return false;
    last = first + (nBytes - 1);
    return true;
}

}  // namespace

#if defined(_WIN32)

BOOL AfxIsValidAddress(const void* p, UINT_PTR nBytes, BOOL bReadWrite) {
    if (p == nullptr) return FALSE;
    if (nBytes == 0) return TRUE;
    uintptr_t first, last;
    if (!NormaliseRange(p, nBytes, first, last)) return FALSE;

    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const DWORD writable =
        PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const DWORD wanted = bReadWrite ? writable : readable;

    uintptr_t address = first;
    for (;;) {
        MEMORY_BASIC_INFORMATION mbi;
        if (::VirtualQuery(reinterpret_cast<LPCVOID>(address), &mbi, sizeof mbi) == 0) return FALSE;
        if (mbi.State != MEM_COMMIT) return FALSE;
        if (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS)) return FALSE;
        if ((mbi.Protect & wanted) == 0) return FALSE;
        const uintptr_t end = reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
        if (end == 0 || end - 1 >= last) return TRUE;  // end == 0: region reaches the top
        address = end;
    }
}

#else  // native

namespace afx_detail {
namespace {

// The kernel's PROCMAP_QUERY request (Linux 6.11 and later): our own
// declaration of the kernel's interface, which older system headers lack.
struct ProcMapQuery {
    uint64_t size;
    uint64_t query_flags;
    uint64_t query_addr;
    uint64_t vma_start;
    uint64_t vma_end;
    uint64_t vma_flags;
    uint64_t vma_page_size;
    uint64_t vma_offset;
    uint64_t inode;
    uint32_t dev_major;
    uint32_t dev_minor;
    uint32_t vma_name_size;
    uint32_t build_id_size;
    uint64_t vma_name_addr;
    uint64_t build_id_addr;
};
static_assert(sizeof(ProcMapQuery) == 104, "kernel ABI");
constexpr unsigned long kProcMapQuery = 0xC0686611ul;  // _IOWR('f', 17, 104 bytes)
constexpr uint64_t kVmaReadable = 0x01;
constexpr uint64_t kVmaWritable = 0x02;

int OpenMaps() { return ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC); }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses "start-end perms" at the beginning of a maps line.
bool ParseMapsLine(const char* line, size_t n, uintptr_t& start, uintptr_t& end, bool& r, bool& w) {
    size_t i = 0;
    auto hex = [&](uintptr_t& v) {
        v = 0;
        size_t digits = 0;
        for (int d; i < n && (d = HexDigit(line[i])) >= 0; ++i, ++digits) v = (v << 4) | d;
        return digits > 0;
    };
    if (!hex(start) || i >= n || line[i++] != '-' || !hex(end) || i >= n || line[i++] != ' ')
        return false;
    if (i + 2 > n) return false;
    r = line[i] == 'r';
    w = line[i + 1] == 'w';
    return true;
}

}  // namespace

AddressAnswer QueryRangeByIoctl(uintptr_t first, uintptr_t last, bool bWrite) {
    const int fd = OpenMaps();
    if (fd < 0) return AddressAnswer::kUnsupported;
    const uint64_t wanted = kVmaReadable | (bWrite ? kVmaWritable : 0);
    AddressAnswer answer = AddressAnswer::kInvalid;
    uintptr_t address = first;
    for (;;) {
        ProcMapQuery q = {};
        q.size = sizeof q;
        q.query_flags = 0;  // only the mapping that covers the address
        q.query_addr = address;
        if (::ioctl(fd, kProcMapQuery, &q) != 0) {
            const int err = errno;
            // ENOENT: nothing mapped there. Anything else: no such request.
            answer = err == ENOENT ? AddressAnswer::kInvalid : AddressAnswer::kUnsupported;
            break;
        }
        if ((q.vma_flags & wanted) != wanted) break;
        if (q.vma_end == 0 || q.vma_end - 1 >= last) {
            answer = AddressAnswer::kValid;
            break;
        }
        address = static_cast<uintptr_t>(q.vma_end);
    }
    ::close(fd);
    return answer;
}

bool QueryRangeByMapsText(uintptr_t first, uintptr_t last, bool bWrite) {
    const int fd = OpenMaps();
    if (fd < 0) return false;
    // The mappings come in ascending order. `next` is the lowest address of
    // the range not yet seen covered.
    uintptr_t next = first;
    bool done = false, valid = false;
    char chunk[4096];
    char line[96];  // only the start of each line is needed
    size_t lineLength = 0;
    for (ssize_t got; !done && (got = ::read(fd, chunk, sizeof chunk)) > 0;) {
        for (ssize_t i = 0; i < got && !done; ++i) {
            if (chunk[i] != '\n') {
                if (lineLength < sizeof line) line[lineLength++] = chunk[i];
                continue;
            }
            uintptr_t start, end;
            bool r, w;
            const bool parsed = ParseMapsLine(line, lineLength, start, end, r, w);
            lineLength = 0;
            if (!parsed || end <= next) continue;
            if (start > next || !r || (bWrite && !w)) {
                done = true;  // a gap, or no access
            } else if (end - 1 >= last) {
                done = valid = true;
            } else {
                next = end;
            }
        }
    }
    ::close(fd);
    return valid;
}

}  // namespace afx_detail

BOOL AfxIsValidAddress(const void* p, UINT_PTR nBytes, BOOL bReadWrite) {
    if (p == nullptr) return FALSE;
    if (nBytes == 0) return TRUE;
    uintptr_t first, last;
    if (!NormaliseRange(p, nBytes, first, last)) return FALSE;
    static std::atomic<bool> s_bNoIoctl{false};
    if (!s_bNoIoctl.load(std::memory_order_relaxed)) {
        const afx_detail::AddressAnswer a =
            afx_detail::QueryRangeByIoctl(first, last, bReadWrite != FALSE);
        if (a != afx_detail::AddressAnswer::kUnsupported)
            return a == afx_detail::AddressAnswer::kValid ? TRUE : FALSE;
        s_bNoIoctl.store(true, std::memory_order_relaxed);
    }
    return afx_detail::QueryRangeByMapsText(first, last, bReadWrite != FALSE) ? TRUE : FALSE;
}

#endif

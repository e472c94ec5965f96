// The two native ways of asking the kernel about a range of addresses, kept
// apart so that the tests can check each of them.
#ifndef AFX_SRC_ADDRESS_DETAIL_H
#define AFX_SRC_ADDRESS_DETAIL_H

#include <cstdint>

#include "afx/afxbase.h"

#if !defined(_WIN32)
namespace afx_detail {

enum class AddressAnswer { kValid, kInvalid, kUnsupported };

// [first, last] (inclusive, first <= last) asked through the PROCMAP_QUERY
// ioctl of /proc/self/maps: one query per mapping the range touches.
// kUnsupported when the kernel does not know the ioctl.
AFX_API AddressAnswer QueryRangeByIoctl(uintptr_t first, uintptr_t last, bool bWrite);

// The same answer from the text of /proc/self/maps, for older kernels.
AFX_API bool QueryRangeByMapsText(uintptr_t first, uintptr_t last, bool bWrite);

}  // namespace afx_detail
#endif

#endif  // AFX_SRC_ADDRESS_DETAIL_H

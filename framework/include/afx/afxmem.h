// Memory checks.
#ifndef AFX_AFXMEM_H
#define AFX_AFXMEM_H

#include "afx/afxbase.h"

// TRUE when every byte of [p, p + nBytes) is committed, accessible memory
// of this process, readable and, with bReadWrite, also writable. FALSE for a
// null pointer, for a range that wraps around the end of the address space,
// and when any part is unmapped, a guard page or without the access asked
// for. The memory is never touched; the operating system is asked. An empty
// range at a non-null address is valid.
AFX_API BOOL AfxIsValidAddress(const void* p, UINT_PTR nBytes, BOOL bReadWrite = TRUE);

#endif  // AFX_AFXMEM_H

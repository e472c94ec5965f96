// The class framework: the one header to include.
#ifndef AFX_AFX_H
#define AFX_AFX_H

#include "afx/afxbase.h"
#include "afx/afxobject.h"
#include "afx/afxmt.h"
#include "afx/afxmsgmap.h"
#include "afx/afxthread.h"
#include "afx/afxmodule.h"
#include "afx/afxmem.h"

#if defined(__has_include)
#if __has_include("afx/afxcoll.h")
#include "afx/afxcoll.h"
#endif
#endif

#endif  // AFX_AFX_H

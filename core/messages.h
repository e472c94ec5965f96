// Thread messages between the manager and the absolute-timer side. All are
// posted with wParam 0.
#ifndef HOROLOG_CORE_MESSAGES_H
#define HOROLOG_CORE_MESSAGES_H

#include "winplat/winapi.h"

// lParam: the manager. Posted once to a new absolute-timer thread, before
// any other message.
#define WM_ATTACHMANAGER (WM_USER + 101)
// lParam: the TIMERPARAMETERS record of an absolute timer to arm.
#define WM_STARTABSOLUTETIMER (WM_USER + 102)
// lParam: the TIMERPARAMETERS record whose waitable timer has signalled.
#define WM_ABSOLUTETIMERDUE (WM_USER + 103)

#endif  // HOROLOG_CORE_MESSAGES_H

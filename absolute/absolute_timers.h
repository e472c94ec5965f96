// CAbsoluteTimers: the thread that serves absolute timers.
//
// This is a minimal stand-in: it takes the manager's attach message and
// registers every absolute timer it is handed in the manager's thread map,
// but arms no waitable timer and so never notifies. The full thread, with its
// pump thread and the expiry check, replaces it.
#ifndef HOROLOG_ABSOLUTE_ABSOLUTE_TIMERS_H
#define HOROLOG_ABSOLUTE_ABSOLUTE_TIMERS_H

#include "afx/afx.h"

class CHorolog;

class CAbsoluteTimers : public CWinThread {
    DECLARE_DYNCREATE(CAbsoluteTimers)

  public:
    CAbsoluteTimers();
    ~CAbsoluteTimers() override;

    BOOL InitInstance() override;
    int ExitInstance() override;

    // The manager served; set by WM_ATTACHMANAGER, used on this thread only.
    CHorolog* m_pHorolog;

  protected:
    void OnAttachManager(WPARAM wParam, LPARAM lParam);
    void OnStartAbsoluteTimer(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()
};

#endif  // HOROLOG_ABSOLUTE_ABSOLUTE_TIMERS_H

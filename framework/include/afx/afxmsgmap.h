// CCmdTarget and thread-message maps.
//
// A class that handles thread messages declares a map in its body and fills
// it in its source file; entries of the class's own map are searched before
// those of its base classes:
//
//     class CWorker : public CWinThread {
//         DECLARE_MESSAGE_MAP()
//         void OnJob(WPARAM wParam, LPARAM lParam);
//     };
//     BEGIN_MESSAGE_MAP(CWorker, CWinThread)
//         ON_THREAD_MESSAGE(WM_USER + 1, OnJob)
//     END_MESSAGE_MAP()
#ifndef AFX_AFXMSGMAP_H
#define AFX_AFXMSGMAP_H

#include "afx/afxobject.h"

class CCmdTarget;

typedef void (CCmdTarget::*AFX_PMSGT)(WPARAM, LPARAM);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    AFX_PMSGT pfn;  // null ends the table
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();  // null for the root map
    const AFX_MSGMAP_ENTRY* lpEntries;
};

class CCmdTarget : public CObject {
    DECLARE_DYNAMIC(CCmdTarget)
  public:
    CCmdTarget();
    ~CCmdTarget() override;

    virtual const AFX_MSGMAP* GetMessageMap() const;

    // The handler entered for nMessage in this object's map or in the maps
    // of its bases (the most derived entry wins), or null.
    const AFX_MSGMAP_ENTRY* FindThreadMessageEntry(UINT nMessage) const;

    // Calls the handler entered for nMessage; FALSE when there is none.
    BOOL DispatchThreadMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);

  protected:
    static const AFX_MSGMAP* GetThisMessageMap();
};

#define DECLARE_MESSAGE_MAP()                     \
  protected:                                      \
    static const AFX_MSGMAP* GetThisMessageMap(); \
                                                  \
  public:                                         \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                        \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                 \
        typedef theClass ThisClass;                                                   \
        typedef baseClass TheBaseClass;                                               \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define ON_THREAD_MESSAGE(message, memberFxn)                                                  \
    {(UINT)(message), static_cast<AFX_PMSGT>(static_cast<void (ThisClass::*)(WPARAM, LPARAM)>( \
                          &ThisClass::memberFxn))},

#define END_MESSAGE_MAP()                                                                         \
    { 0, nullptr }                                                                                \
    }                                                                                             \
    ;                                                                                             \
    static_assert(sizeof(ThisClass) > 0, "complete class");                                       \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
    return &messageMap;                                                                           \
    }

#endif  // AFX_AFXMSGMAP_H

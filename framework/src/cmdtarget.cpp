#include "afx/afxmsgmap.h"

IMPLEMENT_DYNAMIC(CCmdTarget, CObject)

CCmdTarget::CCmdTarget() = default;
CCmdTarget::~CCmdTarget() = default;

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

const AFX_MSGMAP_ENTRY* CCmdTarget::FindThreadMessageEntry(UINT nMessage) const {
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e != nullptr && e->pfn != nullptr; ++e) {
            if (e->nMessage == nMessage) return e;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::DispatchThreadMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) {
    const AFX_MSGMAP_ENTRY* e = FindThreadMessageEntry(nMessage);
    if (e == nullptr) return FALSE;
    (this->*(e->pfn))(wParam, lParam);
    return TRUE;
}

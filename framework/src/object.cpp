#include <cstring>

#include "afx/afxobject.h"

CRuntimeClass CObject::classCObject = {"CObject", sizeof(CObject), 0xFFFF, nullptr, nullptr};

CObject::CObject() = default;
CObject::~CObject() = default;

CRuntimeClass* CObject::GetThisClass() { return &classCObject; }
CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const {
    return GetRuntimeClass()->IsDerivedFrom(pClass);
}

CObject* CRuntimeClass::CreateObject() const {
    if (m_pfnCreateObject == nullptr) {
        TRACE("CRuntimeClass::CreateObject: %s is not dynamically creatable.\n",
              m_lpszClassName ? m_lpszClassName : "?");
        return nullptr;
    }
    try {
        return m_pfnCreateObject();
    } catch (...) {
        TRACE("CRuntimeClass::CreateObject: constructing %s failed.\n",
              m_lpszClassName ? m_lpszClassName : "?");
        return nullptr;
    }
}

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
    if (pBaseClass == nullptr) return FALSE;
    for (const CRuntimeClass* p = this; p != nullptr;
         p = p->m_pfnGetBaseClass ? p->m_pfnGetBaseClass() : nullptr) {
        if (p == pBaseClass) return TRUE;
        if (p->m_lpszClassName && pBaseClass->m_lpszClassName &&
            std::strcmp(p->m_lpszClassName, pBaseClass->m_lpszClassName) == 0)
            return TRUE;
    }
    return FALSE;
}

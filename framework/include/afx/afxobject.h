// CObject and run-time class information: the name of a class, its base, and
// (for dynamically creatable classes) a factory that creates an instance.
#ifndef AFX_AFXOBJECT_H
#define AFX_AFXOBJECT_H

#include <new>

#include "afx/afxbase.h"

class CObject;

// One static instance per class declared with DECLARE_DYNAMIC or
// DECLARE_DYNCREATE. Constant-initialised, so it is usable during static
// initialisation of any translation unit.
struct CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;
    CObject* (*m_pfnCreateObject)();        // null: not dynamically creatable
    CRuntimeClass* (*m_pfnGetBaseClass)();  // null for CObject

    // A new object of this class, or null when the class is not creatable,
    // memory is short or its constructor throws.
    CObject* CreateObject() const;

    // TRUE when this class is pBaseClass or derives from it. Classes are
    // compared by identity first and then by name, so a class of another
    // module (which has its own copy of the framework's classes) is
    // recognised too.
    BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

class CObject {
  public:
    virtual ~CObject();
    virtual CRuntimeClass* GetRuntimeClass() const;
    BOOL IsKindOf(const CRuntimeClass* pClass) const;

    static CRuntimeClass classCObject;
    static CRuntimeClass* GetThisClass();

    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;

  protected:
    CObject();
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)         \
  public:                                   \
    static CRuntimeClass class##class_name; \
    static CRuntimeClass* GetThisClass();   \
    CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
    DECLARE_DYNAMIC(class_name)       \
    static CObject* CreateObject();

#define AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, pfnNew)                           \
    CRuntimeClass class_name::class##class_name = {#class_name, sizeof(class class_name), 0xFFFF, \
                                                   pfnNew, &base_class_name::GetThisClass};       \
    CRuntimeClass* class_name::GetThisClass() { return RUNTIME_CLASS(class_name); }               \
    CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, nullptr)

#define IMPLEMENT_DYNCREATE(class_name, base_class_name)                          \
    CObject* class_name::CreateObject() { return new (std::nothrow) class_name; } \
    AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, &class_name::CreateObject)

#endif  // AFX_AFXOBJECT_H

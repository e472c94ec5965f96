// Run-time classes, dynamic creation and thread-message maps (dispatched
// directly, without a thread).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "afx/afx.h"

namespace {

constexpr UINT kBaseOnly = WM_USER + 1;
constexpr UINT kOverridden = WM_USER + 2;
constexpr UINT kDerivedOnly = WM_USER + 3;
constexpr UINT kUnmapped = WM_USER + 4;

struct Call {
    std::string handler;
    WPARAM wParam;
    LPARAM lParam;
};

}  // namespace

class CMapBase : public CCmdTarget {
    DECLARE_DYNCREATE(CMapBase)
  public:
    CMapBase() = default;
    std::vector<Call> calls;

  protected:
    void OnBaseOnly(WPARAM w, LPARAM l) { calls.push_back({"base:BaseOnly", w, l}); }
    void OnOverridden(WPARAM w, LPARAM l) { calls.push_back({"base:Overridden", w, l}); }
    DECLARE_MESSAGE_MAP()
};

IMPLEMENT_DYNCREATE(CMapBase, CCmdTarget)
BEGIN_MESSAGE_MAP(CMapBase, CCmdTarget)
ON_THREAD_MESSAGE(kBaseOnly, OnBaseOnly)
ON_THREAD_MESSAGE(kOverridden, OnOverridden)
END_MESSAGE_MAP()

class CMapDerived : public CMapBase {
    DECLARE_DYNCREATE(CMapDerived)
  public:
    CMapDerived() = default;

  protected:
    void OnOverriddenHere(WPARAM w, LPARAM l) { calls.push_back({"derived:Overridden", w, l}); }
    void OnDerivedOnly(WPARAM w, LPARAM l) { calls.push_back({"derived:DerivedOnly", w, l}); }
    DECLARE_MESSAGE_MAP()
};

IMPLEMENT_DYNCREATE(CMapDerived, CMapBase)
BEGIN_MESSAGE_MAP(CMapDerived, CMapBase)
ON_THREAD_MESSAGE(kOverridden, OnOverriddenHere)
ON_THREAD_MESSAGE(kDerivedOnly, OnDerivedOnly)
END_MESSAGE_MAP()

// Derives without a map of its own: uses its base's.
class CMapPlain : public CMapDerived {
    DECLARE_DYNAMIC(CMapPlain)
};
IMPLEMENT_DYNAMIC(CMapPlain, CMapDerived)

class CThrowsOnCreate : public CObject {
    DECLARE_DYNCREATE(CThrowsOnCreate)
  public:
    CThrowsOnCreate() { throw std::runtime_error("no"); }
};
IMPLEMENT_DYNCREATE(CThrowsOnCreate, CObject)

TEST(RuntimeClass, CreatesObjectsOfTheNamedClass) {
    CRuntimeClass* pClass = RUNTIME_CLASS(CMapDerived);
    EXPECT_STREQ(pClass->m_lpszClassName, "CMapDerived");
    EXPECT_EQ(pClass->m_nObjectSize, static_cast<int>(sizeof(CMapDerived)));

    CObject* pObject = pClass->CreateObject();
    ASSERT_NE(pObject, nullptr);
    EXPECT_EQ(pObject->GetRuntimeClass(), RUNTIME_CLASS(CMapDerived));
    EXPECT_NE(dynamic_cast<CMapDerived*>(pObject), nullptr);
    delete pObject;
}

TEST(RuntimeClass, KnowsTheClassChain) {
    CMapDerived derived;
    EXPECT_TRUE(derived.IsKindOf(RUNTIME_CLASS(CMapDerived)));
    EXPECT_TRUE(derived.IsKindOf(RUNTIME_CLASS(CMapBase)));
    EXPECT_TRUE(derived.IsKindOf(RUNTIME_CLASS(CCmdTarget)));
    EXPECT_TRUE(derived.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(derived.IsKindOf(RUNTIME_CLASS(CWinThread)));
    EXPECT_FALSE(derived.IsKindOf(nullptr));

    CMapBase base;
    EXPECT_FALSE(base.IsKindOf(RUNTIME_CLASS(CMapDerived)));
}

TEST(RuntimeClass, ClassesThatCannotBeCreatedGiveNull) {
    EXPECT_EQ(RUNTIME_CLASS(CMapPlain)->CreateObject(), nullptr);  // dynamic, not creatable
    EXPECT_EQ(RUNTIME_CLASS(CWinThread)->CreateObject(), nullptr);
    EXPECT_EQ(RUNTIME_CLASS(CThrowsOnCreate)->CreateObject(), nullptr);
}

TEST(MessageMap, DispatchesToTheMostDerivedHandlerAndChainsToTheBase) {
    CMapDerived target;
    struct Case {
        UINT message;
        const char* handler;
    } cases[] = {
        {kBaseOnly, "base:BaseOnly"},           // found in the base map
        {kOverridden, "derived:Overridden"},    // the derived entry wins
        {kDerivedOnly, "derived:DerivedOnly"},  // only in the derived map
    };
    for (const Case& c : cases) {
        target.calls.clear();
        EXPECT_TRUE(target.DispatchThreadMessage(c.message, 11, 22)) << c.handler;
        ASSERT_EQ(target.calls.size(), 1u) << c.handler;
        EXPECT_EQ(target.calls[0].handler, c.handler);
        EXPECT_EQ(target.calls[0].wParam, 11u);
        EXPECT_EQ(target.calls[0].lParam, 22);
    }
    target.calls.clear();
    EXPECT_FALSE(target.DispatchThreadMessage(kUnmapped, 0, 0));
    EXPECT_TRUE(target.calls.empty());
}

TEST(MessageMap, BaseObjectsUseOnlyTheBaseMap) {
    CMapBase base;
    EXPECT_TRUE(base.DispatchThreadMessage(kOverridden, 1, 2));
    ASSERT_EQ(base.calls.size(), 1u);
    EXPECT_EQ(base.calls[0].handler, "base:Overridden");
    EXPECT_FALSE(base.DispatchThreadMessage(kDerivedOnly, 0, 0));
}

TEST(MessageMap, ClassWithoutItsOwnMapInheritsItsBases) {
    CMapPlain plain;
    EXPECT_TRUE(plain.DispatchThreadMessage(kOverridden, 0, 0));
    EXPECT_TRUE(plain.DispatchThreadMessage(kBaseOnly, 0, 0));
    ASSERT_EQ(plain.calls.size(), 2u);
    EXPECT_EQ(plain.calls[0].handler, "derived:Overridden");
    EXPECT_EQ(plain.calls[1].handler, "base:BaseOnly");
}

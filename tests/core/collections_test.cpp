// The framework's collections, as the engine uses them.
#include "afx/afxcoll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace {

int g_values[32];

std::vector<int*> Contents(const CTypedPtrList<CPtrList, int*>& list) {
    std::vector<int*> out;
    POSITION pos = list.GetHeadPosition();
    while (pos) out.push_back(list.GetNext(pos));
    return out;
}

std::vector<int*> ContentsBackwards(const CTypedPtrList<CPtrList, int*>& list) {
    std::vector<int*> out;
    POSITION pos = list.GetTailPosition();
    while (pos) out.push_back(list.GetPrev(pos));
    std::reverse(out.begin(), out.end());
    return out;
}

TEST(PtrListTest, InsertionsAndRemovalsKeepBothDirectionsConsistent) {
    CTypedPtrList<CPtrList, int*> list(3);  // small blocks: several get allocated
    int* a = &g_values[0];
    int* b = &g_values[1];
    int* c = &g_values[2];
    int* d = &g_values[3];
    int* e = &g_values[4];
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetHeadPosition(), nullptr);

    ASSERT_NE(list.AddTail(b), nullptr);
    ASSERT_NE(list.AddHead(a), nullptr);
    POSITION pd = list.AddTail(d);
    ASSERT_NE(list.InsertBefore(pd, c), nullptr);  // in the middle
    ASSERT_NE(list.InsertAfter(pd, e), nullptr);   // at the tail
    EXPECT_EQ(Contents(list), (std::vector<int*>{a, b, c, d, e}));
    EXPECT_EQ(ContentsBackwards(list), Contents(list));
    EXPECT_EQ(list.GetCount(), 5);
    EXPECT_EQ(list.GetHead(), a);
    EXPECT_EQ(list.GetTail(), e);

    list.RemoveAt(list.Find(c));  // middle
    list.RemoveAt(list.GetHeadPosition());
    list.RemoveAt(list.GetTailPosition());
    EXPECT_EQ(Contents(list), (std::vector<int*>{b, d}));
    EXPECT_EQ(ContentsBackwards(list), Contents(list));

    // Freed nodes are reused and the list stays sound.
    for (int i = 5; i < 20; ++i) ASSERT_NE(list.AddTail(&g_values[i]), nullptr);
    EXPECT_EQ(list.GetCount(), 17);
    EXPECT_EQ(list.RemoveHead(), b);
    EXPECT_EQ(list.RemoveTail(), &g_values[19]);
    EXPECT_EQ(list.GetCount(), 15);

    while (!list.IsEmpty()) list.RemoveHead();
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(list.GetTailPosition(), nullptr);
    ASSERT_NE(list.AddTail(a), nullptr);  // usable again after it emptied
    EXPECT_EQ(Contents(list), (std::vector<int*>{a}));
}

TEST(PtrListTest, FindAndFindIndex) {
    CTypedPtrList<CPtrList, int*> list;
    int* a = &g_values[0];
    int* b = &g_values[1];
    list.AddTail(a);
    POSITION second = list.AddTail(b);
    list.AddTail(a);
    EXPECT_EQ(list.Find(b), second);
    EXPECT_EQ(list.Find(&g_values[9]), nullptr);
    POSITION first = list.Find(a);
    POSITION third = list.Find(a, first);  // searches after the first
    EXPECT_NE(third, first);
    EXPECT_EQ(list.FindIndex(1), second);
    EXPECT_EQ(list.FindIndex(3), nullptr);
    EXPECT_EQ(list.FindIndex(-1), nullptr);
}

TEST(MapTest, SetLookupReplaceRemove) {
    CMap<DWORD, DWORD, int*, int*&> map(10);
    int* a = &g_values[0];
    int* b = &g_values[1];
    int* out = nullptr;
    EXPECT_FALSE(map.Lookup(7, out));
    EXPECT_TRUE(map.SetAt(7, a));
    EXPECT_TRUE(map.SetAt(8, b));
    EXPECT_TRUE(map.Lookup(7, out));
    EXPECT_EQ(out, a);
    EXPECT_TRUE(map.SetAt(7, b));  // replaces
    EXPECT_EQ(map.GetCount(), 2);
    EXPECT_TRUE(map.Lookup(7, out));
    EXPECT_EQ(out, b);
    EXPECT_TRUE(map.RemoveKey(7));
    EXPECT_FALSE(map.RemoveKey(7));
    EXPECT_FALSE(map.Lookup(7, out));
    EXPECT_EQ(map.GetCount(), 1);
}

TEST(MapTest, IterationVisitsEveryEntryOnceAndAllowsRemovingTheOneJustRead) {
    CMap<int*, int*&, DWORD, DWORD&> map;
    std::map<int*, DWORD> expected;
    for (DWORD i = 0; i < 25; ++i) {
        int* key = &g_values[i];
        map.SetAt(key, i);
        expected[key] = i;
    }
    std::map<int*, DWORD> seen;
    POSITION pos = map.GetStartPosition();
    while (pos) {
        int* key;
        DWORD value;
        map.GetNextAssoc(pos, key, value);
        EXPECT_TRUE(seen.emplace(key, value).second);
        if (value % 2) map.RemoveKey(key);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(map.GetCount(), 13);
    CMap<int*, int*&, DWORD, DWORD&> empty;
    EXPECT_EQ(empty.GetStartPosition(), nullptr);
}

TEST(PtrArrayTest, AddSetSizeAndIndexing) {
    CPtrArray array;
    EXPECT_EQ(array.Add(&g_values[0]), 0);
    EXPECT_EQ(array.Add(nullptr), 1);  // null entries are kept
    EXPECT_EQ(array.Add(&g_values[2]), 2);
    EXPECT_EQ(array.GetSize(), 3);
    EXPECT_EQ(array[0], &g_values[0]);
    EXPECT_EQ(array.GetAt(1), nullptr);
    array[1] = &g_values[1];
    EXPECT_EQ(array.GetAt(1), &g_values[1]);
    EXPECT_TRUE(array.SetSize(5));
    EXPECT_EQ(array.GetAt(4), nullptr);
    EXPECT_EQ(array.GetAt(2), &g_values[2]);
    EXPECT_TRUE(array.SetSize(1));
    EXPECT_EQ(array.GetSize(), 1);
    EXPECT_FALSE(array.SetSize(-1));
}

}  // namespace

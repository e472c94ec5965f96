// Collections of the class framework: a doubly linked list of pointers
// (CPtrList and its typed wrapper CTypedPtrList), a hash map (CMap) and a
// growable array of pointers (CPtrArray).
//
// None of these throws. An operation that needs memory and cannot get it
// reports the failure in its result (a null POSITION, FALSE, or -1) and
// leaves the collection as it was, so that callers can turn it into
// E_OUTOFMEMORY at their interface instead of letting an exception cross it.
//
// The collections do no locking of their own; their owners guard them.
#ifndef AFX_AFXCOLL_H
#define AFX_AFXCOLL_H

#include "winplat/winapi.h"

#include <cstddef>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#ifndef AFX_POSITION_DEFINED
#define AFX_POSITION_DEFINED
// An opaque place in a collection, valid until the element it names is
// removed. A null POSITION means "none" (before the head, past the tail).
struct __POSITION {};
typedef __POSITION* POSITION;
#endif

// ---------------------------------------------------------------------------
// CPtrList: doubly linked list of void pointers. Nodes are carved out of
// blocks of nBlockSize nodes and recycled through a free list; the blocks are
// given back when the list becomes empty.
class CPtrList {
  public:
    explicit CPtrList(INT_PTR nBlockSize = 10) : m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}
    ~CPtrList() { RemoveAll(); }

    CPtrList(const CPtrList&) = delete;
    CPtrList& operator=(const CPtrList&) = delete;

    INT_PTR GetCount() const { return m_nCount; }
    INT_PTR GetSize() const { return m_nCount; }
    BOOL IsEmpty() const { return m_nCount == 0; }

    POSITION GetHeadPosition() const { return ToPos(m_pHead); }
    POSITION GetTailPosition() const { return ToPos(m_pTail); }

    // Head and tail of a list that is not empty.
    void*& GetHead() { return m_pHead->data; }
    void* GetHead() const { return m_pHead->data; }
    void*& GetTail() { return m_pTail->data; }
    void* GetTail() const { return m_pTail->data; }

    // Returns the element at rPos and moves rPos to the next (or previous)
    // one, null past the end.
    void*& GetNext(POSITION& rPos) {
        Node* n = FromPos(rPos);
        rPos = ToPos(n->next);
        return n->data;
    }
    void* GetNext(POSITION& rPos) const {
        Node* n = FromPos(rPos);
        rPos = ToPos(n->next);
        return n->data;
    }
    void*& GetPrev(POSITION& rPos) {
        Node* n = FromPos(rPos);
        rPos = ToPos(n->prev);
        return n->data;
    }
    void* GetPrev(POSITION& rPos) const {
        Node* n = FromPos(rPos);
        rPos = ToPos(n->prev);
        return n->data;
    }

    void*& GetAt(POSITION pos) { return FromPos(pos)->data; }
    void* GetAt(POSITION pos) const { return FromPos(pos)->data; }
    void SetAt(POSITION pos, void* newElement) { FromPos(pos)->data = newElement; }

    // Insertions return the new element's position, or null when no node
    // could be allocated (the list is then unchanged).
    POSITION AddHead(void* newElement) { return InsertBefore(GetHeadPosition(), newElement); }
    POSITION AddTail(void* newElement) { return InsertAfter(GetTailPosition(), newElement); }

    // pos null inserts at the head.
    POSITION InsertBefore(POSITION pos, void* newElement) {
        Node* next = FromPos(pos);
        Node* prev = next ? next->prev : nullptr;
        if (!next) next = m_pHead;
        return Link(prev, next, newElement);
    }

    // pos null inserts at the tail.
    POSITION InsertAfter(POSITION pos, void* newElement) {
        Node* prev = FromPos(pos);
        Node* next = prev ? prev->next : nullptr;
        if (!prev) prev = m_pTail;
        return Link(prev, next, newElement);
    }

    void RemoveAt(POSITION pos) {
        Node* n = FromPos(pos);
        if (n->prev)
            n->prev->next = n->next;
        else
            m_pHead = n->next;
        if (n->next)
            n->next->prev = n->prev;
        else
            m_pTail = n->prev;
        FreeNode(n);
    }

    void* RemoveHead() {
        void* data = m_pHead->data;
        RemoveAt(GetHeadPosition());
        return data;
    }
    void* RemoveTail() {
        void* data = m_pTail->data;
        RemoveAt(GetTailPosition());
        return data;
    }

    void RemoveAll() {
        m_pHead = m_pTail = m_pFree = nullptr;
        m_nCount = 0;
        while (m_pBlocks) {
            Block* b = m_pBlocks;
            m_pBlocks = b->next;
            ::operator delete(static_cast<void*>(b), std::nothrow);
        }
    }

    // First position holding `value`, searching after startAfter (or from
    // the head when it is null); null when not found.
    POSITION Find(void* value, POSITION startAfter = nullptr) const {
        Node* n = startAfter ? FromPos(startAfter)->next : m_pHead;
        for (; n; n = n->next)
            if (n->data == value) return ToPos(n);
        return nullptr;
    }

    // Position of the nIndex-th element (0-based), null when out of range.
    POSITION FindIndex(INT_PTR nIndex) const {
        if (nIndex < 0 || nIndex >= m_nCount) return nullptr;
        Node* n = m_pHead;
        while (nIndex-- > 0) n = n->next;
        return ToPos(n);
    }

  private:
    struct Node {
        Node* next;
        Node* prev;
        void* data;
    };
    struct Block {
        Block* next;
        // followed by the block's nodes
    };

    static POSITION ToPos(Node* n) { return reinterpret_cast<POSITION>(n); }
    static Node* FromPos(POSITION p) { return reinterpret_cast<Node*>(p); }

    POSITION Link(Node* prev, Node* next, void* data) {
        Node* n = NewNode();
        if (!n) return nullptr;
        n->data = data;
        n->prev = prev;
        n->next = next;
        if (prev)
            prev->next = n;
        else
            m_pHead = n;
        if (next)
            next->prev = n;
        else
            m_pTail = n;
        return ToPos(n);
    }

    Node* NewNode() {
        if (!m_pFree) {
            // Nodes follow the block header; the header is padded to the
            // nodes' alignment.
            const size_t header =
                (sizeof(Block) + alignof(Node) - 1) / alignof(Node) * alignof(Node);
            const size_t count = static_cast<size_t>(m_nBlockSize);
            void* raw = ::operator new(header + count * sizeof(Node), std::nothrow);
            if (!raw) return nullptr;
            Block* b = static_cast<Block*>(raw);
            b->next = m_pBlocks;
            m_pBlocks = b;
            Node* nodes = reinterpret_cast<Node*>(static_cast<char*>(raw) + header);
            for (size_t i = count; i-- > 0;) {
                nodes[i].next = m_pFree;
                m_pFree = &nodes[i];
            }
        }
        Node* n = m_pFree;
        m_pFree = n->next;
        ++m_nCount;
        return n;
    }

    void FreeNode(Node* n) {
        n->next = m_pFree;
        m_pFree = n;
        if (--m_nCount == 0) RemoveAll();
    }

    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    Node* m_pFree = nullptr;
    Block* m_pBlocks = nullptr;
    INT_PTR m_nCount = 0;
    INT_PTR m_nBlockSize;
};

// ---------------------------------------------------------------------------
// CTypedPtrList<BASE_CLASS, TYPE>: a pointer list whose elements are TYPE
// (a pointer type). BASE_CLASS is CPtrList.
template <class BASE_CLASS, class TYPE>
class CTypedPtrList : public BASE_CLASS {
  public:
    explicit CTypedPtrList(INT_PTR nBlockSize = 10) : BASE_CLASS(nBlockSize) {}

    TYPE GetHead() const { return static_cast<TYPE>(BASE_CLASS::GetHead()); }
    TYPE GetTail() const { return static_cast<TYPE>(BASE_CLASS::GetTail()); }
    TYPE GetNext(POSITION& rPos) const { return static_cast<TYPE>(BASE_CLASS::GetNext(rPos)); }
    TYPE GetPrev(POSITION& rPos) const { return static_cast<TYPE>(BASE_CLASS::GetPrev(rPos)); }
    TYPE GetAt(POSITION pos) const { return static_cast<TYPE>(BASE_CLASS::GetAt(pos)); }
    void SetAt(POSITION pos, TYPE newElement) { BASE_CLASS::SetAt(pos, newElement); }
    TYPE RemoveHead() { return static_cast<TYPE>(BASE_CLASS::RemoveHead()); }
    TYPE RemoveTail() { return static_cast<TYPE>(BASE_CLASS::RemoveTail()); }
    POSITION AddHead(TYPE newElement) { return BASE_CLASS::AddHead(newElement); }
    POSITION AddTail(TYPE newElement) { return BASE_CLASS::AddTail(newElement); }
    POSITION InsertBefore(POSITION pos, TYPE newElement) {
        return BASE_CLASS::InsertBefore(pos, newElement);
    }
    POSITION InsertAfter(POSITION pos, TYPE newElement) {
        return BASE_CLASS::InsertAfter(pos, newElement);
    }
    POSITION Find(TYPE value, POSITION startAfter = nullptr) const {
        return BASE_CLASS::Find(value, startAfter);
    }
};

// ---------------------------------------------------------------------------
// CMap<KEY, ARG_KEY, VALUE, ARG_VALUE>: a hash map from KEY to VALUE; keys
// are compared with ==. The block size is accepted for compatibility; the
// map allocates per entry.
template <class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
class CMap {
  public:
    explicit CMap(INT_PTR nBlockSize = 10) { (void)nBlockSize; }

    CMap(const CMap&) = delete;
    CMap& operator=(const CMap&) = delete;

    INT_PTR GetCount() const { return static_cast<INT_PTR>(m_map.size()); }
    INT_PTR GetSize() const { return GetCount(); }
    BOOL IsEmpty() const { return m_map.empty(); }

    BOOL Lookup(ARG_KEY key, VALUE& rValue) const {
        auto it = m_map.find(key);
        if (it == m_map.end()) return FALSE;
        rValue = it->second;
        return TRUE;
    }

    // Inserts the entry or replaces the value of an existing one. FALSE
    // when memory for a new entry could not be had; the map is unchanged.
    BOOL SetAt(ARG_KEY key, ARG_VALUE newValue) {
        try {
            m_map[key] = newValue;
        } catch (const std::bad_alloc&) {
            return FALSE;
        }
        return TRUE;
    }

    // TRUE when the key was present and has been removed.
    BOOL RemoveKey(ARG_KEY key) { return m_map.erase(key) != 0; }

    void RemoveAll() { m_map.clear(); }

    // Iteration in an unspecified order. GetNextAssoc fills in the entry at
    // rNextPosition and moves it on (null after the last). The map must not
    // change during an iteration, except by removing the entry just read.
    POSITION GetStartPosition() const { return m_map.empty() ? nullptr : ToPos(&*m_map.begin()); }
    void GetNextAssoc(POSITION& rNextPosition, KEY& rKey, VALUE& rValue) const {
        const auto* entry = reinterpret_cast<const typename Map::value_type*>(rNextPosition);
        rKey = entry->first;
        rValue = entry->second;
        auto it = m_map.find(entry->first);
        ++it;
        rNextPosition = it == m_map.end() ? nullptr : ToPos(&*it);
    }

  private:
    typedef std::unordered_map<KEY, VALUE> Map;
    static POSITION ToPos(const typename Map::value_type* entry) {
        return reinterpret_cast<POSITION>(const_cast<typename Map::value_type*>(entry));
    }
    Map m_map;
};

// ---------------------------------------------------------------------------
// CPtrArray: a growable array of void pointers.
class CPtrArray {
  public:
    CPtrArray() = default;
    CPtrArray(const CPtrArray&) = delete;
    CPtrArray& operator=(const CPtrArray&) = delete;

    INT_PTR GetSize() const { return static_cast<INT_PTR>(m_data.size()); }
    INT_PTR GetCount() const { return GetSize(); }
    INT_PTR GetUpperBound() const { return GetSize() - 1; }
    BOOL IsEmpty() const { return m_data.empty(); }

    // New elements are null. FALSE when memory could not be had; the array
    // is unchanged. nGrowBy is accepted for compatibility.
    BOOL SetSize(INT_PTR nNewSize, INT_PTR nGrowBy = -1) {
        (void)nGrowBy;
        if (nNewSize < 0) return FALSE;
        try {
            m_data.resize(static_cast<size_t>(nNewSize), nullptr);
        } catch (const std::exception&) {
            return FALSE;
        }
        return TRUE;
    }

    // Index of the appended element, or -1 when memory could not be had.
    INT_PTR Add(void* newElement) {
        try {
            m_data.push_back(newElement);
        } catch (const std::bad_alloc&) {
            return -1;
        }
        return GetSize() - 1;
    }

    void* GetAt(INT_PTR nIndex) const { return m_data[static_cast<size_t>(nIndex)]; }
    void SetAt(INT_PTR nIndex, void* newElement) {
        m_data[static_cast<size_t>(nIndex)] = newElement;
    }
    void*& ElementAt(INT_PTR nIndex) { return m_data[static_cast<size_t>(nIndex)]; }
    void* operator[](INT_PTR nIndex) const { return GetAt(nIndex); }
    void*& operator[](INT_PTR nIndex) { return ElementAt(nIndex); }

    void RemoveAt(INT_PTR nIndex, INT_PTR nCount = 1) {
        auto first = m_data.begin() + nIndex;
        m_data.erase(first, first + nCount);
    }
    void RemoveAll() { m_data.clear(); }

    void** GetData() { return m_data.data(); }
    const void* const* GetData() const { return m_data.data(); }

  private:
    std::vector<void*> m_data;
};

#endif  // AFX_AFXCOLL_H

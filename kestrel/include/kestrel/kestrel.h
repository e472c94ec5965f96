// The product's object database, as far as the libraries of the product use
// it: one database object per process (GetKestrel), with which a library
// registers reporting functions; each reporting function appends
// class-summary records (QuarnClassSummary) to an array when the database
// gathers them.
//
// Records are allocated with the class's own operator new and belong to
// whoever holds the array they were appended to; FreeClassSummaries gives
// them back. Every call here is safe from any thread.
#ifndef KESTREL_KESTREL_H
#define KESTREL_KESTREL_H

#include <cstddef>

#include "afx/afxcoll.h"
#include "winplat/winapi.h"

#if defined(_WIN32)
#if defined(KESTREL_BUILD)
#define KESTREL_API __declspec(dllexport)
#else
#define KESTREL_API __declspec(dllimport)
#endif
#else
#define KESTREL_API __attribute__((visibility("default")))
#endif

// Results of the database's calls: zero or positive for success, negative
// for failure, with the values of the corresponding COM codes.
constexpr long KESTREL_S_OK = 0;
constexpr long KESTREL_S_ALREADY = 1;                   // a further registration of a function
constexpr long KESTREL_E_FAIL = -2147467259L;           // 0x80004005
constexpr long KESTREL_E_INVALIDARG = -2147024809L;     // 0x80070057
constexpr long KESTREL_E_OUTOFMEMORY = -2147024882L;    // 0x8007000E
constexpr long KESTREL_E_NOTREGISTERED = -2147023728L;  // 0x80070490, not found

// A reporting function appends its records to the array, after the entries
// the array already holds, and returns a non-negative result on success. It
// may append null entries (records it had no memory for).
typedef long (*KestrelReportingFunction)(CPtrArray* pRecords);

// One class-summary record: which module reports it, what it counts, the
// value, and six further numbers whose meaning depends on the record.
class KESTREL_API QuarnClassSummary {
  public:
    // Memory for one record, or null when there is none: a new-expression
    // then yields null without running the constructor. Records must be
    // allocated with this operator and freed with the matching delete.
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* p) noexcept;

    // The texts are copied; null reads as "". Throws std::bad_alloc when the
    // copies cannot be made.
    QuarnClassSummary(const char* pszModuleName, const char* pszRecordName, unsigned int uiValue);
    QuarnClassSummary(const char* pszModuleName, const char* pszRecordName, unsigned int uiValue,
                      long lDetail1, unsigned int uiDetail1, long lDetail2, unsigned int uiDetail2,
                      long lDetail3, unsigned int uiDetail3);
    ~QuarnClassSummary();

    QuarnClassSummary(const QuarnClassSummary&) = delete;
    QuarnClassSummary& operator=(const QuarnClassSummary&) = delete;

    const char* GetModuleName() const;
    const char* GetRecordName() const;
    unsigned int GetValue() const;
    // The further numbers, in constructor order; nIndex is 0, 1 or 2.
    long GetDetailLong(int nIndex) const;
    unsigned int GetDetailUInt(int nIndex) const;

  private:
    void Init(const char* pszModuleName, const char* pszRecordName);

    char* m_pszModuleName;
    char* m_pszRecordName;
    unsigned int m_uiValue;
    long m_alDetail[3];
    unsigned int m_auiDetail[3];
};

// The database object. There is one per process; reach it with GetKestrel.
class KESTREL_API Kestrel {
  public:
    // Adds a reporting function. Registering a function that is registered
    // already counts once more (KESTREL_S_ALREADY): it stays registered until
    // it has been unregistered as often. KESTREL_E_INVALIDARG for null.
    long RegisterReportingFunction(KestrelReportingFunction pfnReport);

    // Takes back one registration. When the last one goes, this waits for
    // calls of the function that run on other threads to return, so that the
    // caller may unload the function's code afterwards. KESTREL_E_NOTREGISTERED
    // when the function is not registered.
    long UnregisterReportingFunction(KestrelReportingFunction pfnReport);

    // Runs every registered reporting function once, in the order of their
    // first registration, each appending to pRecords; no lock of the database
    // is held while one runs. The records belong to the caller, who gives
    // them back with FreeClassSummaries. Returns KESTREL_S_OK, or
    // KESTREL_E_FAIL when some function returned a negative result or threw
    // (the others still run; what a function appended before it threw stays
    // in the array). KESTREL_E_INVALIDARG for a null array.
    long CollectClassSummaries(CPtrArray* pRecords);

    // Deletes every record in the array (null entries are skipped) and
    // empties it.
    static void FreeClassSummaries(CPtrArray* pRecords);

    Kestrel(const Kestrel&) = delete;
    Kestrel& operator=(const Kestrel&) = delete;

  private:
    Kestrel();
    ~Kestrel();
    friend KESTREL_API Kestrel* GetKestrel();
    friend struct KestrelTestAccess;

    struct State;
    State* m_pState;
};

// The process's database object; never null, never destroyed.
KESTREL_API Kestrel* GetKestrel();

#endif  // KESTREL_KESTREL_H

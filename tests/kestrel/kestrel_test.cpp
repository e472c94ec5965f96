#include "kestrel/kestrel.h"
#include "kestrel/kestrel_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the reporting functions of a test did, in order.
std::mutex g_mtxLog;
std::vector<std::string> g_log;

void Log(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_mtxLog);
    g_log.push_back(what);
}

std::vector<std::string> TakeLog() {
    std::lock_guard<std::mutex> lock(g_mtxLog);
    std::vector<std::string> log;
    log.swap(g_log);
    return log;
}

long ReportA(CPtrArray* pRecords) {
    Log("A");
    pRecords->Add(new QuarnClassSummary("A.dll", "A.count", 1));
    return 0;
}

long ReportB(CPtrArray* pRecords) {
    Log("B");
    pRecords->Add(new QuarnClassSummary("B.dll", "B.count", 2));
    pRecords->Add(nullptr);
    return 0;
}

long ReportFailing(CPtrArray*) {
    Log("failing");
    return KESTREL_E_FAIL;
}

long ReportThrowing(CPtrArray* pRecords) {
    Log("throwing");
    pRecords->Add(new QuarnClassSummary("T.dll", "T.before", 3));
    throw std::bad_alloc();
}

class KestrelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TakeLog();
        m_lLiveBefore = kestrel_testing::LiveRecordCount();
        ASSERT_EQ(kestrel_testing::GetRegisteredFunctions(nullptr, 0), 0);
    }
    void TearDown() override {
        kestrel_testing::SetRegistrationFailure(KESTREL_S_OK);
        kestrel_testing::SetAllocationFaults(0);
        kestrel_testing::SetConstructionFaults(0);
        // Leave nothing registered for the next test.
        KestrelReportingFunction functions[16];
        const int n = kestrel_testing::GetRegisteredFunctions(functions, 16);
        for (int i = 0; i < n && i < 16; ++i) {
            while (m_pKestrel->UnregisterReportingFunction(functions[i]) >= 0) {
            }
        }
        Kestrel::FreeClassSummaries(&m_records);
        EXPECT_EQ(kestrel_testing::LiveRecordCount(), m_lLiveBefore) << "records leaked";
    }

    Kestrel* m_pKestrel = GetKestrel();
    CPtrArray m_records;
    long m_lLiveBefore = 0;
};

TEST_F(KestrelTest, OneDatabasePerProcess) {
    ASSERT_NE(m_pKestrel, nullptr);
    EXPECT_EQ(GetKestrel(), m_pKestrel);
}

TEST_F(KestrelTest, RecordsCopyTheirTextsAndKeepTheirNumbers) {
    char module[] = "Module.dll";
    char name[] = "Module.count";
    QuarnClassSummary* pFull = new QuarnClassSummary(module, name, 42, -1, 2, -3, 4, -5, 6);
    QuarnClassSummary* pShort = new QuarnClassSummary(nullptr, nullptr, 7);
    ASSERT_NE(pFull, nullptr);
    ASSERT_NE(pShort, nullptr);
    std::memset(module, 'x', sizeof module - 1);
    std::memset(name, 'x', sizeof name - 1);

    EXPECT_STREQ(pFull->GetModuleName(), "Module.dll");
    EXPECT_STREQ(pFull->GetRecordName(), "Module.count");
    EXPECT_EQ(pFull->GetValue(), 42u);
    const long longs[] = {-1, -3, -5};
    const unsigned uints[] = {2, 4, 6};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pFull->GetDetailLong(i), longs[i]);
        EXPECT_EQ(pFull->GetDetailUInt(i), uints[i]);
        EXPECT_EQ(pShort->GetDetailLong(i), 0);
        EXPECT_EQ(pShort->GetDetailUInt(i), 0u);
    }
    EXPECT_STREQ(pShort->GetModuleName(), "");
    EXPECT_STREQ(pShort->GetRecordName(), "");
    EXPECT_EQ(pShort->GetValue(), 7u);
    EXPECT_EQ(kestrel_testing::LiveRecordCount(), m_lLiveBefore + 2);

    m_records.Add(pFull);
    m_records.Add(nullptr);
    m_records.Add(pShort);
    Kestrel::FreeClassSummaries(&m_records);
    EXPECT_EQ(m_records.GetSize(), 0);
    EXPECT_EQ(kestrel_testing::LiveRecordCount(), m_lLiveBefore);
}

TEST_F(KestrelTest, AllocationAndConstructionFaults) {
    // No memory: the new-expression yields null and constructs nothing.
    kestrel_testing::SetAllocationFaults(0x2u);
    QuarnClassSummary* pFirst = new QuarnClassSummary("M", "first", 1);
    QuarnClassSummary* pSecond = new QuarnClassSummary("M", "second", 2);
    QuarnClassSummary* pThird = new QuarnClassSummary("M", "third", 3);
    EXPECT_NE(pFirst, nullptr);
    EXPECT_EQ(pSecond, nullptr);
    EXPECT_NE(pThird, nullptr) << "the mask is used up one bit per allocation";
    delete pFirst;
    delete pThird;

    // A throwing constructor gives its memory back through operator delete.
    kestrel_testing::SetConstructionFaults(0x1u);
    EXPECT_THROW(new QuarnClassSummary("M", "throws", 1), std::bad_alloc);
    EXPECT_EQ(kestrel_testing::LiveRecordCount(), m_lLiveBefore);
}

TEST_F(KestrelTest, RegistrationsAreCountedPerFunction) {
    EXPECT_EQ(m_pKestrel->RegisterReportingFunction(nullptr), KESTREL_E_INVALIDARG);
    EXPECT_EQ(m_pKestrel->UnregisterReportingFunction(nullptr), KESTREL_E_INVALIDARG);
    EXPECT_EQ(m_pKestrel->UnregisterReportingFunction(ReportA), KESTREL_E_NOTREGISTERED);

    EXPECT_EQ(m_pKestrel->RegisterReportingFunction(ReportA), KESTREL_S_OK);
    EXPECT_EQ(m_pKestrel->RegisterReportingFunction(ReportA), KESTREL_S_ALREADY);
    EXPECT_EQ(kestrel_testing::GetRegisteredFunctions(nullptr, 0), 1);

    EXPECT_EQ(m_pKestrel->UnregisterReportingFunction(ReportA), KESTREL_S_OK);
    EXPECT_EQ(m_pKestrel->CollectClassSummaries(&m_records), KESTREL_S_OK);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{"A"}) << "still registered once";

    EXPECT_EQ(m_pKestrel->UnregisterReportingFunction(ReportA), KESTREL_S_OK);
    EXPECT_EQ(m_pKestrel->UnregisterReportingFunction(ReportA), KESTREL_E_NOTREGISTERED);
    EXPECT_EQ(m_pKestrel->CollectClassSummaries(&m_records), KESTREL_S_OK);
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(KestrelTest, RegistrationCanBeMadeToFail) {
    kestrel_testing::SetRegistrationFailure(KESTREL_E_OUTOFMEMORY);
    EXPECT_EQ(m_pKestrel->RegisterReportingFunction(ReportA), KESTREL_E_OUTOFMEMORY);
    EXPECT_EQ(kestrel_testing::GetRegisteredFunctions(nullptr, 0), 0);
    kestrel_testing::SetRegistrationFailure(KESTREL_S_OK);
    EXPECT_EQ(m_pKestrel->RegisterReportingFunction(ReportA), KESTREL_S_OK);
}

TEST_F(KestrelTest, CollectionRunsEveryFunctionInOrderIntoOneArray) {
    EXPECT_EQ(m_pKestrel->CollectClassSummaries(nullptr), KESTREL_E_INVALIDARG);

    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportB), KESTREL_S_OK);
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportA), KESTREL_S_OK);
    QuarnClassSummary* pExisting = new QuarnClassSummary("Caller", "existing", 9);
    m_records.Add(pExisting);

    EXPECT_EQ(m_pKestrel->CollectClassSummaries(&m_records), KESTREL_S_OK);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"B", "A"}));
    ASSERT_EQ(m_records.GetSize(), 4);
    EXPECT_EQ(m_records[0], pExisting);
    EXPECT_STREQ(static_cast<QuarnClassSummary*>(m_records[1])->GetRecordName(), "B.count");
    EXPECT_EQ(m_records[2], nullptr);
    EXPECT_STREQ(static_cast<QuarnClassSummary*>(m_records[3])->GetRecordName(), "A.count");
}

TEST_F(KestrelTest, FailingAndThrowingFunctionsDoNotStopTheOthers) {
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportFailing), KESTREL_S_OK);
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportThrowing), KESTREL_S_OK);
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportA), KESTREL_S_OK);

    EXPECT_EQ(m_pKestrel->CollectClassSummaries(&m_records), KESTREL_E_FAIL);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"failing", "throwing", "A"}));
    ASSERT_EQ(m_records.GetSize(), 2);
    EXPECT_STREQ(static_cast<QuarnClassSummary*>(m_records[0])->GetRecordName(), "T.before");
    EXPECT_STREQ(static_cast<QuarnClassSummary*>(m_records[1])->GetRecordName(), "A.count");
}

// A function that an earlier one unregisters during a collection is not
// called any more (its code may be on its way out).
long ReportUnregisteringA(CPtrArray*) {
    Log("unregistering");
    GetKestrel()->UnregisterReportingFunction(ReportA);
    return 0;
}

// A function that unregisters itself from inside its own call.
long ReportUnregisteringItself(CPtrArray*) {
    Log("itself");
    return GetKestrel()->UnregisterReportingFunction(ReportUnregisteringItself);
}

TEST_F(KestrelTest, UnregisteringDuringACollection) {
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportUnregisteringA), KESTREL_S_OK);
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportA), KESTREL_S_OK);
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportUnregisteringItself), KESTREL_S_OK);

    EXPECT_EQ(m_pKestrel->CollectClassSummaries(&m_records), KESTREL_S_OK);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"unregistering", "itself"}));
    EXPECT_EQ(kestrel_testing::GetRegisteredFunctions(nullptr, 0), 1);
}

// A reporting function that holds still until the test lets it go, and
// notes whether its unregistration had already returned by then.
struct Gate {
    std::mutex mtx;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;
    bool unregisterReturned = false;
    bool sawUnregisterReturned = false;
} g_gate;

long ReportHeld(CPtrArray*) {
    std::unique_lock<std::mutex> lock(g_gate.mtx);
    g_gate.entered = true;
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return g_gate.released; });
    g_gate.sawUnregisterReturned = g_gate.unregisterReturned;
    return 0;
}

TEST_F(KestrelTest, UnregistrationWaitsForACallOnAnotherThread) {
    ASSERT_EQ(m_pKestrel->RegisterReportingFunction(ReportHeld), KESTREL_S_OK);
    std::thread collector([this] {
        CPtrArray records;
        m_pKestrel->CollectClassSummaries(&records);
    });
    {
        std::unique_lock<std::mutex> lock(g_gate.mtx);
        ASSERT_TRUE(
            g_gate.cv.wait_for(lock, std::chrono::seconds(10), [] { return g_gate.entered; }));
    }

    std::thread unregisterer([this] {
        const long lResult = m_pKestrel->UnregisterReportingFunction(ReportHeld);
        EXPECT_EQ(lResult, KESTREL_S_OK);
        std::lock_guard<std::mutex> lock(g_gate.mtx);
        g_gate.unregisterReturned = true;
        g_gate.cv.notify_all();
    });
    {
        // The unregistration must still be waiting a good while later.
        std::unique_lock<std::mutex> lock(g_gate.mtx);
        EXPECT_FALSE(g_gate.cv.wait_for(lock, std::chrono::milliseconds(200),
                                        [] { return g_gate.unregisterReturned; }));
        g_gate.released = true;
        g_gate.cv.notify_all();
        EXPECT_TRUE(g_gate.cv.wait_for(lock, std::chrono::seconds(10),
                                       [] { return g_gate.unregisterReturned; }));
    }
    collector.join();
    unregisterer.join();
    EXPECT_FALSE(g_gate.sawUnregisterReturned)
        << "the unregistration returned while the function still ran";
}

}  // namespace

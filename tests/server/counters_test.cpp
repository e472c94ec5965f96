// The counter report that the module registers with the object database.
#include "server_fixture.h"

#include "kestrel/kestrel_testing.h"

#include <cstring>
#include <new>

namespace servertest {
namespace {

const char* const kRecordNames[] = {
    "CHorolog.m_uiObjectCount",    "CHorolog.m_uiRefCount",    "CHorolog.m_uiTimersCount",
    "CHorolog.m_uiAbsTimersCount", "CHorolog.m_uiThreadCount",
};

// The module's report, as the database holds it: the only reporting
// function registered in this program.
KestrelReportingFunction Report() {
    KestrelReportingFunction functions[4] = {};
    if (kestrel_testing::GetRegisteredFunctions(functions, 4) != 1) return nullptr;
    return functions[0];
}

QuarnClassSummary* At(const CPtrArray& records, INT_PTR i) {
    return static_cast<QuarnClassSummary*>(records.GetAt(i));
}

// The five records from `first` on, with the given values.
void ExpectReport(const CPtrArray& records, INT_PTR first, const unsigned (&values)[5]) {
    ASSERT_GE(records.GetSize(), first + 5);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(kRecordNames[i]);
        const QuarnClassSummary* pRecord = At(records, first + i);
        ASSERT_NE(pRecord, nullptr);
        EXPECT_STREQ(pRecord->GetModuleName(), "Horolog.dll");
        EXPECT_STREQ(pRecord->GetRecordName(), kRecordNames[i]);
        EXPECT_EQ(pRecord->GetValue(), values[i]);
        for (int d = 0; d < 3; ++d) {
            EXPECT_EQ(pRecord->GetDetailLong(d), 0);
            EXPECT_EQ(pRecord->GetDetailUInt(d), 0u);
        }
    }
}

class CounterReport : public ServerTest {
  protected:
    void TearDown() override {
        kestrel_testing::SetAllocationFaults(0);
        kestrel_testing::SetConstructionFaults(0);
        Kestrel::FreeClassSummaries(&m_records);
        ServerTest::TearDown();
    }
    CPtrArray m_records;
};

TEST_F(CounterReport, AppendsFiveRecordsInOrderBehindWhatTheArrayHolds) {
    KestrelReportingFunction pfnReport = Report();
    ASSERT_NE(pfnReport, nullptr) << "the module registered its report when it loaded";

    QuarnClassSummary* pOther = new QuarnClassSummary("Other.dll", "Other.count", 7);
    m_records.Add(pOther);
    m_records.Add(nullptr);

    EXPECT_EQ(pfnReport(&m_records), 0);
    ASSERT_EQ(m_records.GetSize(), 7);
    EXPECT_EQ(At(m_records, 0), pOther);
    EXPECT_EQ(At(m_records, 1), nullptr);
    EXPECT_EQ(pOther->GetValue(), 7u);
    ExpectReport(m_records, 2, {0, 0, 0, 0, 0});

    EXPECT_EQ(pfnReport(&m_records), 0);
    ASSERT_EQ(m_records.GetSize(), 12);
    ExpectReport(m_records, 7, {0, 0, 0, 0, 0});
}

TEST_F(CounterReport, ValuesOfOneManagerWithTwoReferencesAndQueuedTimers) {
    ASSERT_EQ(CallDllRegisterServer(), S_OK);
    IHorolog* pFirst = GetHorolog();
    ASSERT_NE(pFirst, nullptr);
    IHorolog* pSecond = GetHorolog();
    ASSERT_EQ(pSecond, pFirst);

    // Three relative timers, due long after the test.
    char context[3][TIMER_CONTEXT_SIZE] = {};
    TIMERPARAMETERS timers[3];
    for (int i = 0; i < 3; ++i) {
        std::memset(&timers[i], 0, sizeof timers[i]);
        timers[i].dwTimerId = 1000u + static_cast<DWORD>(i);
        timers[i].pContext = context[i];
        timers[i].lRemaining = 3600 * 1000;
        timers[i].dwTimerType = TIMERTYPE_RELATIVE;
        ASSERT_EQ(pFirst->StartTimer(&timers[i]), S_OK);
    }

    // Through the database, as its users read them.
    ASSERT_EQ(GetKestrel()->CollectClassSummaries(&m_records), KESTREL_S_OK);
    ASSERT_EQ(m_records.GetSize(), 5);
    ExpectReport(m_records, 0, {1, 2, 3, 0, 0});

    for (TIMERPARAMETERS& t : timers) EXPECT_EQ(pFirst->StopTimer(t.dwTimerId), S_OK);
    EXPECT_EQ(pFirst->Release(), 1u);
    EXPECT_EQ(pSecond->Release(), 0u);
    Kestrel::FreeClassSummaries(&m_records);
    ASSERT_EQ(GetKestrel()->CollectClassSummaries(&m_records), KESTREL_S_OK);
    ExpectReport(m_records, 0, {0, 0, 0, 0, 0});
}

TEST_F(CounterReport, RecordsWithoutMemoryAreNullEntries) {
    KestrelReportingFunction pfnReport = Report();
    ASSERT_NE(pfnReport, nullptr);
    struct Case {
        std::uint32_t faults;  // bit i: no memory for record i
    } cases[] = {{0x15u}, {0x1Fu}, {0x02u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        Kestrel::FreeClassSummaries(&m_records);
        kestrel_testing::SetAllocationFaults(c.faults);
        EXPECT_EQ(pfnReport(&m_records), 0);
        kestrel_testing::SetAllocationFaults(0);
        ASSERT_EQ(m_records.GetSize(), 5) << "every record has its entry";
        for (int i = 0; i < 5; ++i) {
            const QuarnClassSummary* pRecord = At(m_records, i);
            if (c.faults & (1u << i)) {
                EXPECT_EQ(pRecord, nullptr) << i;
            } else {
                ASSERT_NE(pRecord, nullptr) << i;
                EXPECT_STREQ(pRecord->GetRecordName(), kRecordNames[i]);
            }
        }
    }
}

TEST_F(CounterReport, AThrowingRecordIsFreedAndTheEarlierOnesStay) {
    KestrelReportingFunction pfnReport = Report();
    ASSERT_NE(pfnReport, nullptr);
    const long lLiveBefore = kestrel_testing::LiveRecordCount();

    kestrel_testing::SetConstructionFaults(1u << 2);
    EXPECT_THROW(pfnReport(&m_records), std::bad_alloc);
    kestrel_testing::SetConstructionFaults(0);
    ASSERT_EQ(m_records.GetSize(), 2);
    EXPECT_STREQ(At(m_records, 0)->GetRecordName(), kRecordNames[0]);
    EXPECT_STREQ(At(m_records, 1)->GetRecordName(), kRecordNames[1]);
    EXPECT_EQ(kestrel_testing::LiveRecordCount(), lLiveBefore + 2)
        << "the third record's memory went back";

    // The database survives it and reports the failure.
    Kestrel::FreeClassSummaries(&m_records);
    kestrel_testing::SetConstructionFaults(1u << 4);
    EXPECT_EQ(GetKestrel()->CollectClassSummaries(&m_records), KESTREL_E_FAIL);
    kestrel_testing::SetConstructionFaults(0);
    EXPECT_EQ(m_records.GetSize(), 4);
    Kestrel::FreeClassSummaries(&m_records);
    EXPECT_EQ(kestrel_testing::LiveRecordCount(), lLiveBefore);
}

}  // namespace
}  // namespace servertest

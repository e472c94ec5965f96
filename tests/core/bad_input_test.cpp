// Every IHorolog method with arguments a careless or hostile client might
// pass: out pointers and records outside its writable memory, extreme ids,
// times and types, records started twice or freed after their stop, and
// unbalanced pause calls. Each must give a clear result and leave the
// service intact for everyone else: a well-behaved client keeps a repeating
// relative timer and an absolute timer running through every test and
// checks at the end that it is still served and its records untouched.
#include "support/bad_memory.h"
#include "support/engine_test_support.h"

#include "absolute/testing.h"
#include "chron/chron.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>

namespace {

using namespace enginetest;
using badmem::Pages;
using badmem::ReservedPage;
using horolog::AbsoluteEvent;

constexpr DWORD kGoodId = 0x600D0001u;
constexpr DWORD kGoodAbsId = 0x600D0002u;

bool SameBytes(const TIMERPARAMETERS& a, const TIMERPARAMETERS& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// What the absolute side reports, by record address (never read).
class AbsoluteReports {
  public:
    static AbsoluteReports& Get() {
        static AbsoluteReports reports;
        return reports;
    }
    void Install() {
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_reports.clear();
        }
        horolog::testing::SetAbsoluteObserver(&Observe);
    }
    void Uninstall() { horolog::testing::SetAbsoluteObserver(nullptr); }
    // Waits for a report of either kind about the record.
    bool WaitFor(AbsoluteEvent event, AbsoluteEvent orEvent, const void* record) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, kLongWait, [&] {
            for (const auto& r : m_reports)
                if ((r.first == event || r.first == orEvent) && r.second == record) return true;
            return false;
        });
    }

  private:
    static void Observe(AbsoluteEvent event, const TIMERPARAMETERS* record) {
        AbsoluteReports& p = Get();
        {
            std::lock_guard<std::mutex> g(p.m_mx);
            p.m_reports.emplace_back(event, record);
        }
        p.m_cv.notify_all();
    }
    std::mutex m_mx;
    std::condition_variable m_cv;
    std::vector<std::pair<AbsoluteEvent, const void*>> m_reports;
};

// UTC in 100 ns units, offset from now, as the library's clock reads it.
FILETIME WallClockFromNow(int64_t offsetMs) {
    const uint64_t ticks = static_cast<uint64_t>(
        static_cast<int64_t>(Chron::GetTickCount().Ticks()) + offsetMs * 10000);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

class BadInputTest : public ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        AbsoluteReports::Get().Install();
        ASSERT_EQ(m->StartTimer(m_good.get()), S_OK);
        ASSERT_EQ(m->StartTimer(m_goodAbs.get()), S_OK);
    }
    void TearDown() override {
        if (m) {
            ExpectGoodClientServed();
            EXPECT_EQ(m->StopTimer(kGoodId), S_OK);
            EXPECT_EQ(m->StopTimer(kGoodAbsId), S_OK);
            EXPECT_EQ(ReleaseManager(), 0u);
        }
        AbsoluteReports::Get().Uninstall();
        ManagerTest::TearDown();
    }

    // The other client's repeating timer is still notified, under its own
    // id only, and both its records still carry what it put there and are
    // registered once.
    void ExpectGoodClientServed() {
        const size_t before = m_goodSite.CallCount();
        EXPECT_TRUE(m_goodSite.WaitForCalls(before + 2))
            << "the other client's timer is no longer served";
        for (DWORD id : m_goodSite.Ids()) EXPECT_EQ(id, kGoodId);
        Locked(m, [&] {
            const TIMERPARAMETERS& r = m_good.params;
            EXPECT_EQ(r.dwTimerId, kGoodId);
            EXPECT_EQ(r.pContext, m_good.context);
            EXPECT_EQ(r.pSite, &m_goodSite);
            EXPECT_EQ(r.lInterval, 5);
            EXPECT_EQ(r.bRepeat, TRUE);
            EXPECT_EQ(r.dwTimerType, static_cast<DWORD>(TIMERTYPE_RELATIVE));
            TIMERPARAMETERS* entry = nullptr;
            EXPECT_TRUE(m->m_pAbsTimerMap->Lookup(kGoodAbsId, entry));
            EXPECT_EQ(entry, m_goodAbs.get());
            EXPECT_EQ(m_goodAbs.params.dwTimerId, kGoodAbsId);
            EXPECT_EQ(m_goodAbs.params.ftDueTime.dwHighDateTime, 0x7FFFFFFFu);
            return 0;
        });
        size_t queued = 0;
        for (TIMERPARAMETERS* r : QueueOf(m)) queued += r == m_good.get();
        EXPECT_EQ(queued, 1u);
    }

    // Whether the record is anywhere in the manager.
    bool Registered(const TIMERPARAMETERS* record) {
        for (TIMERPARAMETERS* r : QueueOf(m))
            if (r == record) return true;
        return Locked(m, [&] {
            POSITION pos = m->m_pAbsTimerMap ? m->m_pAbsTimerMap->GetStartPosition() : nullptr;
            while (pos) {
                DWORD id;
                TIMERPARAMETERS* r;
                m->m_pAbsTimerMap->GetNextAssoc(pos, id, r);
                if (r == record) return true;
            }
            CWinThread* thread;
            TIMERPARAMETERS* key = const_cast<TIMERPARAMETERS*>(record);
            return m->m_mapAbsTimerThreads.Lookup(key, thread) != FALSE;
        });
    }

    // Sites of a test's own timers. They go with the fixture, after the
    // manager has been released and its threads have ended: a stop does not
    // wait for a call already under way.
    RecordingSite& NewSite() {
        m_sites.push_back(std::make_unique<RecordingSite>());
        return *m_sites.back();
    }

    std::vector<std::unique_ptr<RecordingSite>> m_sites;
    RecordingSite m_goodSite;
    Timer m_good{kGoodId, &m_goodSite, 5, TRUE, 5};
    Timer m_goodAbs{kGoodAbsId, &m_goodSite, 0, FALSE, 0, TIMERTYPE_ABSOLUTE};
};

TEST_F(BadInputTest, OutPointersOutsideWritableMemoryAreRefusedWithEPointer) {
    badmem::BadOutPointers bad;
    ASSERT_TRUE(bad.Ok());
    const UINT refsBefore = CHorolog::m_uiRefCount.load();
    for (const auto& c : bad.Cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(m->GetTimerId(static_cast<DWORD*>(c.address)), E_POINTER);
        EXPECT_EQ(m->QueryInterface(IID_IHorolog, static_cast<void**>(c.address)), E_POINTER);
        EXPECT_EQ(m->QueryInterface(IID_IUnknown, static_cast<void**>(c.address)), E_POINTER);
        EXPECT_EQ(CHorolog::m_uiRefCount.load(), refsBefore);
    }
    EXPECT_TRUE(bad.Untouched());

    // An interface id that cannot be read is no interface; the out pointer
    // is cleared as for any refusal.
    void* pv = &pv;
    EXPECT_EQ(m->QueryInterface(*static_cast<const IID*>(bad.Unreadable()), &pv), E_POINTER);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(CHorolog::m_uiRefCount.load(), refsBefore);
}

TEST_F(BadInputTest, ReservedMethodIgnoresEveryArgument) {
    const DWORD words[] = {0, 1, 0xFFFFFFFFu, 0x80000000u, kGoodId};
    for (DWORD w : words) {
        EXPECT_EQ(m->ReservedMethod(w, w, w, w, w, w, w, w, w, w, w, w, w), E_NOTIMPL) << w;
    }
}

TEST_F(BadInputTest, RecordsAndContextsOutsideWritableMemoryAreRefusedUntouched) {
    Pages pages(4);
    ASSERT_TRUE(pages.Ok());
    pages.NoAccess(1);
    pages.GiveBack(3);
    ReservedPage reserved;
    ASSERT_TRUE(reserved.Ok());

    // Records the test can read afterwards, to see that nothing was written.
    auto* straddling = reinterpret_cast<TIMERPARAMETERS*>(pages.PageEnd(0) - 40);
    alignas(8) unsigned char misalignedStore[sizeof(TIMERPARAMETERS) + 8];
    std::memset(misalignedStore, 0x33, sizeof misalignedStore);
    auto* misaligned = reinterpret_cast<TIMERPARAMETERS*>(misalignedStore + 2);
    Timer noAccessContext(41), givenBackContext(42), shortContext(43), lowContext(44);
    noAccessContext.params.pContext = reserved.Address();
    givenBackContext.params.pContext = pages.Page(3);
    // One byte of the block lies in the page without access.
    shortContext.params.pContext = pages.PageEnd(0) - (TIMER_CONTEXT_SIZE - 1);
    lowContext.params.pContext = badmem::LowAddress();

    struct Case {
        const char* what;
        TIMERPARAMETERS* record;
        bool readable;
    } cases[] = {
        {"first page", static_cast<TIMERPARAMETERS*>(badmem::LowAddress()), false},
        {"wrapping at the top", static_cast<TIMERPARAMETERS*>(badmem::TopAddress()), false},
        {"reserved, no access", static_cast<TIMERPARAMETERS*>(reserved.Address()), false},
        {"given back", reinterpret_cast<TIMERPARAMETERS*>(pages.Page(3)), false},
        {"straddling into a page without access", straddling, false},
        {"misaligned", misaligned, true},
        {"context reserved, no access", noAccessContext.get(), true},
        {"context given back", givenBackContext.get(), true},
        {"context one byte short", shortContext.get(), true},
        {"context in the first page", lowContext.get(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char before[sizeof(TIMERPARAMETERS)];
        if (c.readable) std::memcpy(before, c.record, sizeof before);
        EXPECT_EQ(m->StartTimer(c.record), E_POINTER);
        if (c.readable) {
            EXPECT_EQ(std::memcmp(before, c.record, sizeof before), 0);
        }
        EXPECT_FALSE(Registered(c.record));
    }
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 1u);

    // The library never uses the context block itself, so any alignment of
    // it is the client's business.
    RecordingSite& site = NewSite();
    Timer oddContext(45, &site, 0);
    oddContext.params.pContext = oddContext.context + 1;
    ASSERT_EQ(m->StartTimer(oddContext.get()), S_OK);
    EXPECT_TRUE(site.WaitForCalls(1));
    EXPECT_EQ(m->StopTimer(45), S_OK);
}

TEST_F(BadInputTest, ExtremeIds) {
    // Id 0 is refused on both paths, and the record is left as it was.
    for (DWORD type : {DWORD{TIMERTYPE_RELATIVE}, DWORD{TIMERTYPE_ABSOLUTE}}) {
        Timer zero(0, nullptr, 0, FALSE, 0, type);
        zero.params.wReserved = 0x1234;
        const TIMERPARAMETERS before = zero.params;
        EXPECT_EQ(m->StartTimer(zero.get()), E_TIMERIDINVALID) << type;
        EXPECT_TRUE(SameBytes(before, zero.params)) << type;
        EXPECT_FALSE(Registered(zero.get()));
    }
    // Stopping ids that are nowhere changes nothing.
    const DWORD nowhere[] = {0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, kGoodId + 100};
    for (DWORD id : nowhere) EXPECT_EQ(m->StopTimer(id), S_OK) << id;

    // The all-ones id is an id like any other, on both paths.
    RecordingSite& site = NewSite();
    Timer ones(0xFFFFFFFFu, &site, 1);
    ASSERT_EQ(m->StartTimer(ones.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(1));
    EXPECT_EQ(site.Ids(), std::vector<DWORD>{0xFFFFFFFFu});
    // Taken out once its call has returned.
    EXPECT_TRUE(Eventually([&] { return !Registered(ones.get()); }));

    Timer onesAbs(0xFFFFFFFFu, &site, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    ASSERT_EQ(m->StartTimer(onesAbs.get()), S_OK);
    EXPECT_TRUE(Registered(onesAbs.get()));
    EXPECT_EQ(m->StopTimer(0xFFFFFFFFu), S_OK);
    EXPECT_FALSE(Registered(onesAbs.get()));
}

TEST_F(BadInputTest, ExtremeRemainingTimesAndIntervals) {
    struct Case {
        const char* what;
        LONG remaining;
        BOOL repeat;
        LONG interval;
        size_t callsWanted;  // 0: not due while the test looks
    } cases[] = {
        {"overdue by the most", INT32_MIN, FALSE, 0, 1},
        {"due in the farthest future", INT32_MAX, FALSE, 0, 0},
        {"repeating, farthest future", INT32_MAX, TRUE, INT32_MAX, 0},
        // Late by more than its interval: due once more at once, then the
        // interval ahead.
        {"repeating, overdue, then the longest interval", INT32_MIN, TRUE, INT32_MAX, 2},
        // Intervals without a future: the record repeats as fast as the
        // scheduler can, and must still let every other timer run.
        {"repeating with interval 0", 0, TRUE, 0, 20},
        {"repeating with interval -1", 0, TRUE, -1, 20},
        {"repeating with the most negative interval", INT32_MIN, TRUE, INT32_MIN, 20},
    };
    DWORD id = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingSite& site = NewSite();
        Timer t(++id, &site, c.remaining, c.repeat, c.interval);
        const size_t goodBefore = m_goodSite.CallCount();
        ASSERT_EQ(m->StartTimer(t.get()), S_OK);
        if (c.callsWanted) {
            EXPECT_TRUE(site.WaitForCalls(c.callsWanted));
        }
        // The other client is served meanwhile.
        EXPECT_TRUE(m_goodSite.WaitForCalls(goodBefore + 2));
        EXPECT_EQ(m->StopTimer(id), S_OK);
        EXPECT_FALSE(Registered(t.get()));
        if (!c.callsWanted) {
            EXPECT_EQ(site.CallCount(), 0u);
        } else if (c.interval > 0) {
            EXPECT_EQ(site.CallCount(), c.callsWanted);
        }
        for (DWORD called : site.Ids()) EXPECT_EQ(called, id);
    }
}

TEST_F(BadInputTest, UnknownTypesRunAsRelativeTimers) {
    for (DWORD type : {2u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        RecordingSite& site = NewSite();
        Timer t(200 + (type & 7), &site, 1, FALSE, 0, type);
        ASSERT_EQ(m->StartTimer(t.get()), S_OK);
        ASSERT_TRUE(site.WaitForCalls(1));
        EXPECT_TRUE(Eventually([&] { return !Registered(t.get()); }));
        EXPECT_EQ(t.params.dwTimerType, type);
    }
}

TEST_F(BadInputTest, ARecordCarriesOneTimerAtATime) {
    auto relative = std::make_unique<Timer>(301, nullptr, 100000);
    auto absolute = std::make_unique<Timer>(302, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    ASSERT_EQ(m->StartTimer(relative->get()), S_OK);
    ASSERT_EQ(m->StartTimer(absolute->get()), S_OK);
    // Armed (its id read by the library's threads) before the test changes
    // the record's fields.
    ASSERT_TRUE(AbsoluteReports::Get().WaitFor(AbsoluteEvent::kArmed, AbsoluteEvent::kArmedUnnamed,
                                               absolute->get()));

    struct Case {
        const char* what;
        Timer* record;
        DWORD id;
        DWORD type;
        HRESULT expected;
    } cases[] = {
        {"queued record again", relative.get(), 301, TIMERTYPE_RELATIVE, E_TIMERIDINVALID},
        {"queued record as absolute", relative.get(), 301, TIMERTYPE_ABSOLUTE, E_TIMERIDINVALID},
        {"queued record under a new id", relative.get(), 311, TIMERTYPE_RELATIVE, E_TIMERIDINVALID},
        {"queued record as absolute under a new id", relative.get(), 312, TIMERTYPE_ABSOLUTE,
         E_TIMERIDINVALID},
        {"absolute record as relative", absolute.get(), 302, TIMERTYPE_RELATIVE, E_TIMERIDINVALID},
        {"absolute record as relative under a new id", absolute.get(), 313, TIMERTYPE_RELATIVE,
         E_TIMERIDINVALID},
        {"absolute record under a new id", absolute.get(), 314, TIMERTYPE_ABSOLUTE,
         E_TIMERIDINVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const DWORD id = c.record->params.dwTimerId;
        const DWORD type = c.record->params.dwTimerType;
        c.record->params.dwTimerId = c.id;
        c.record->params.dwTimerType = c.type;
        EXPECT_EQ(m->StartTimer(c.record->get()), c.expected);
        c.record->params.dwTimerId = id;
        c.record->params.dwTimerType = type;
        EXPECT_EQ(QueueOf(m).size(), 2u);
        EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 2u);
        EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 2u);
    }

    // A new start of an absolute timer under its own id re-arms it.
    EXPECT_EQ(m->StartTimer(absolute->get()), S_OK);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 2u);

    // One stop each ends them: afterwards the records are nowhere, and
    // freeing them harms nobody.
    EXPECT_EQ(m->StopTimer(301), S_OK);
    EXPECT_EQ(m->StopTimer(302), S_OK);
    EXPECT_FALSE(Registered(relative->get()));
    EXPECT_FALSE(Registered(absolute->get()));
    relative.reset();
    absolute.reset();
    for (DWORD id : {301u, 302u, 311u, 312u, 313u, 314u}) EXPECT_EQ(m->StopTimer(id), S_OK);
}

TEST_F(BadInputTest, ARecordFreedAfterItsStopIsNeverTouchedAgain) {
    RecordingSite& site = NewSite();
    // Relative: stopped and freed while the scheduler waits for it.
    auto relative = std::make_unique<Timer>(401, &site, 500);
    ASSERT_EQ(m->StartTimer(relative->get()), S_OK);
    EXPECT_EQ(m->StopTimer(401), S_OK);
    relative.reset();

    // Absolute: armed, then stopped and freed before it is due.
    auto absolute = std::make_unique<Timer>(402, &site, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    absolute->params.ftDueTime = WallClockFromNow(500);
    const void* absAddress = absolute->get();
    ASSERT_EQ(m->StartTimer(absolute->get()), S_OK);
    ASSERT_TRUE(AbsoluteReports::Get().WaitFor(AbsoluteEvent::kArmed, AbsoluteEvent::kArmedUnnamed,
                                               absAddress));
    EXPECT_EQ(m->StopTimer(402), S_OK);
    absolute.reset();

    // The manager goes on: the same ids again, with records that outlive
    // the due times of the freed ones.
    Timer relativeAgain(401, &site, 600);
    Timer absoluteAgain(402, &site, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    absoluteAgain.params.ftDueTime = WallClockFromNow(600);
    ASSERT_EQ(m->StartTimer(relativeAgain.get()), S_OK);
    ASSERT_EQ(m->StartTimer(absoluteAgain.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(2));
    std::vector<DWORD> ids = site.Ids();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<DWORD>{401, 402}));
    DWORD fresh = 0;
    EXPECT_EQ(m->GetTimerId(&fresh), S_OK);
    EXPECT_EQ(m->PauseTimers(), S_OK);
    EXPECT_EQ(m->ResumeTimers(), S_OK);
    // These records are the test's own: they go only once the library has
    // let go of them, after their calls.
    EXPECT_TRUE(AbsoluteReports::Get().WaitFor(AbsoluteEvent::kNotified, AbsoluteEvent::kNotified,
                                               absoluteAgain.get()));
    EXPECT_TRUE(Eventually(
        [&] { return !Registered(relativeAgain.get()) && !Registered(absoluteAgain.get()); }));
}

TEST_F(BadInputTest, RecordsWithoutASiteEndSilently) {
    Timer oneShot(501, nullptr, 0);
    Timer repeating(502, nullptr, 0, TRUE, 1);
    Timer absolute(503, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    absolute.params.ftDueTime = WallClockFromNow(-10);  // due, and not too late
    ASSERT_EQ(m->StartTimer(oneShot.get()), S_OK);
    ASSERT_EQ(m->StartTimer(repeating.get()), S_OK);
    ASSERT_EQ(m->StartTimer(absolute.get()), S_OK);
    EXPECT_TRUE(AbsoluteReports::Get().WaitFor(AbsoluteEvent::kEndedSilently,
                                               AbsoluteEvent::kEndedSilently, absolute.get()));
    EXPECT_TRUE(Eventually([&] {
        return !Registered(oneShot.get()) && !Registered(repeating.get()) &&
               !Registered(absolute.get());
    }));
}

TEST_F(BadInputTest, UnbalancedPauseAndResume) {
    // Resumes without a pause, then more pauses than resumes, then the rest:
    // the service ends up running as before.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m->ResumeTimers(), S_OK);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m->PauseTimers(), S_OK);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(m->ResumeTimers(), S_OK);
    EXPECT_EQ(m->ResumeTimers(), S_OK);
    // An extra reference taken and given back through the interface.
    void* pv = nullptr;
    ASSERT_EQ(m->QueryInterface(IID_IUnknown, &pv), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(pv)->Release(), 1u);
}

}  // namespace

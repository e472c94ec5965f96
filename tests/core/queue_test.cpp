// The relative queue's order and operations, and StopTimer's walk of it.
// These run on a manager whose scheduler thread could not start, so the
// queue exists and nothing but the test touches it.
#include "support/engine_test_support.h"

#include <climits>
#include <memory>
#include <random>

namespace {

using namespace enginetest;

class QueueTest : public ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        horolog::testing::SetFaults(horolog::kFaultSchedulerThread);
        Timer first(1);
        ASSERT_EQ(m->StartTimer(first.get()), E_OUTOFMEMORY);
        horolog::testing::SetFaults(0);
        ASSERT_NE(m->m_pTimerList, nullptr);
        ASSERT_EQ(m->m_pTimerThread, nullptr);
    }
    void TearDown() override {
        // The records live in this fixture; empty the queue before they go.
        while (TIMERPARAMETERS* p = m->GetFirstTimer()) m->RemoveTimer(p);
        ManagerTest::TearDown();
    }
    Timer* Add(DWORD id, LONG remaining) {
        timers.push_back(std::make_unique<Timer>(id, nullptr, remaining));
        EXPECT_EQ(m->AddTimer(timers.back()->get()), S_OK);
        return timers.back().get();
    }
    bool EventSignalled() { return WaitForSingleObject(m->m_hTimerEvent, 0) == WAIT_OBJECT_0; }

    std::vector<std::unique_ptr<Timer>> timers;
};

TEST_F(QueueTest, InsertionGoesBehindEveryRecordNotDueLater) {
    struct Case {
        std::vector<LONG> queued;
        LONG inserted;
        size_t expectedIndex;
    } cases[] = {
        {{}, 5, 0},          {{10, 20, 20, 30}, 20, 3},  // behind the equal ones, in front of 30
        {{10, 20}, 10, 1},   {{10, 20}, 30, 2},
        {{0, 5}, -3, 0},                                  // overdue goes to the front
        {{-5, 0, 5}, -5, 1}, {{INT_MIN, INT_MAX}, 0, 1},  // compared as signed values
        {{-1}, INT_MAX, 1},
    };
    DWORD id = 100;
    for (const Case& c : cases) {
        while (TIMERPARAMETERS* p = m->GetFirstTimer()) m->RemoveTimer(p);
        for (LONG v : c.queued) Add(++id, v);
        Timer* n = Add(++id, c.inserted);
        std::vector<TIMERPARAMETERS*> queue = QueueOf(m);
        ASSERT_EQ(queue.size(), c.queued.size() + 1);
        EXPECT_EQ(queue[c.expectedIndex], n->get()) << "inserting " << c.inserted;
        EXPECT_EQ(CHorolog::m_uiTimersCount.load(), queue.size());
    }
}

TEST_F(QueueTest, QueriesAndRemoval) {
    EXPECT_FALSE(m->HasTimers());
    EXPECT_EQ(m->GetFirstTimer(), nullptr);
    Timer* a = Add(7, 50);
    Timer* b = Add(8, 10);
    Timer outsider(9, nullptr, 0);

    EXPECT_TRUE(m->HasTimers());
    EXPECT_EQ(m->GetFirstTimer(), b->get());
    EXPECT_TRUE(m->IsTimerInList(7));
    EXPECT_FALSE(m->IsTimerInList(9));

    EXPECT_FALSE(m->RemoveTimer(outsider.get()));
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 2u);
    EXPECT_TRUE(m->RemoveTimer(b->get()));
    EXPECT_FALSE(m->RemoveTimer(b->get()));
    EXPECT_EQ(m->GetFirstTimer(), a->get());
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
}

TEST_F(QueueTest, NodeAllocationFailureLeavesTheQueueAsItWas) {
    Add(1, 10);
    Timer extra(2, nullptr, 5);
    horolog::testing::SetFaults(horolog::kFaultQueueNode);
    EXPECT_EQ(m->AddTimer(extra.get()), E_OUTOFMEMORY);
    horolog::testing::SetFaults(0);
    EXPECT_EQ(QueueOf(m).size(), 1u);
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
}

TEST_F(QueueTest, StoppingTheHeadWakesTheSchedulerAndStoppingALaterRecordDoesNot) {
    Add(1, 10);
    Add(2, 20);
    Timer* c = Add(3, 30);
    EventSignalled();  // consume anything earlier

    EXPECT_EQ(m->StopTimer(2), S_OK);  // behind the head
    EXPECT_FALSE(EventSignalled());
    EXPECT_EQ(m->StopTimer(1), S_OK);  // the head
    EXPECT_TRUE(EventSignalled());
    EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{c->get()});

    EXPECT_EQ(m->StopTimer(12345), S_OK);  // nowhere
    EXPECT_FALSE(EventSignalled());
    EXPECT_EQ(QueueOf(m).size(), 1u);
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
}

TEST_F(QueueTest, StopRemovesOnlyTheFirstRecordWithTheId) {
    Timer* a = Add(5, 10);
    Timer* b = Add(5, 20);
    EXPECT_EQ(m->StopTimer(5), S_OK);
    EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{b->get()});
    (void)a;
}

TEST_F(QueueTest, CounterEqualsQueueLengthAfterAnyMixOfOperations) {
    std::mt19937 rng(1234);
    std::vector<std::unique_ptr<Timer>> pool;
    for (DWORD id = 1; id <= 40; ++id)
        pool.push_back(std::make_unique<Timer>(id, nullptr, static_cast<LONG>(rng() % 200) - 50));
    for (int step = 0; step < 1000; ++step) {
        Timer* t = pool[rng() % pool.size()].get();
        switch (rng() % 3) {
            case 0:
                if (!m->IsTimerInList(t->params.dwTimerId)) m->AddTimer(t->get());
                break;
            case 1:
                m->RemoveTimer(t->get());
                break;
            default:
                m->StopTimer(t->params.dwTimerId);
                break;
        }
        ASSERT_EQ(CHorolog::m_uiTimersCount.load(), QueueOf(m).size()) << "step " << step;
    }
    while (TIMERPARAMETERS* p = m->GetFirstTimer()) m->RemoveTimer(p);
}

TEST(QueueBeforeCreationTest, QueriesAndStopWorkBeforeTheFirstStart) {
    CHorolog* h = new CHorolog(nullptr);
    h->AddRef();
    EXPECT_FALSE(h->IsTimerInList(1));
    EXPECT_FALSE(h->HasTimers());
    EXPECT_EQ(h->GetFirstTimer(), nullptr);
    EXPECT_EQ(h->StopTimer(1), S_OK);
    EXPECT_EQ(h->m_pTimerList, nullptr);
    EXPECT_EQ(h->Release(), 0u);
    ExpectCountersZero();
}

}  // namespace

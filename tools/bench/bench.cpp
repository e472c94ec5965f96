// horolog-bench: Horolog against the timer service most C++ users would pick
// instead, Boost.Asio (one io_context thread, a timer per timer, requests
// posted from the client thread), with the same workloads in the same run.
//
// Lateness is the callback's time minus (the client's clock just before the
// start request + the due time), on the monotonic clock, in microseconds.
// Inputs are drawn from a seeded generator.
//
//   W1 one-shot  1,000 timers due uniformly in [10, 1010] ms, started in one
//                burst: lateness p50, p99, max; fires early
//   W2 periodic  50 timers every 20 ms for 3 s: lateness of fire k against
//                start + k x 20 ms, drift (last fire's lateness minus the
//                first's), fires delivered against expected
//   W3 churn     with N = 10, 1,000, 10,000 timers queued far ahead, start +
//                stop of one more timer from the client thread for 1 s
//   W4 idle      one timer due in an hour: process CPU time over 2 s and the
//                service threads' voluntary context switches
//   W5 absolute  100 absolute timers due uniformly 1 to 3 s ahead: lateness
//
//   horolog-bench [--only W1,W3,...] [--service horolog|asio] [--seed S]
//                 [--churn-sizes 10,1000,10000] [--samples DIR]
//   horolog-bench --soak MINUTES      Horolog alone under a steady mixed load,
//                                     printing RSS, handles and threads
//   horolog-bench --stress SECONDS    the concurrency stress driver (client
//                                     threads racing on the manager) for as
//                                     long as asked, with its checks and the
//                                     same RSS, handle and thread figures
//
// --samples writes the raw lateness of W1, W2 and W5 for the plot script.
#include "client_support.h"
#include "stress.h"
#include "winplat/testing.h"

#include "afx/afx.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/system_timer.hpp>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace horolog_tools;
namespace asio = boost::asio;
using std::chrono::milliseconds;

namespace {

pid_t ThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// ---- where the services' callbacks land --------------------------------------

// Every fire of every service goes here, for the whole run; a workload resets
// it before it starts its timers. A fire that arrives while no workload is
// recording, or for a slot the workload does not use, is ignored.
class Recorder {
  public:
    // bCountOnly: fires are counted, not kept (a soak would grow without end).
    void Reset(size_t nSlots, size_t nPerSlot, bool bCountOnly = false) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_fires.assign(nSlots, {});
        for (auto& f : m_fires) f.reserve(nPerSlot);
        m_nTotal = 0;
        m_bActive = true;
        m_bCountOnly = bCountOnly;
    }
    void Record(int i, Clock::time_point t) {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (!m_bActive || i < 0 || static_cast<size_t>(i) >= m_fires.size()) return;
        if (!m_bCountOnly) m_fires[i].push_back(t);
        ++m_nTotal;
        if (m_nTotal >= m_nTarget) m_cv.notify_all();
    }
    // Waits until `target` fires have been recorded; false after `limit`.
    bool WaitForTotal(size_t target, milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_nTarget = target;
        return m_cv.wait_for(lock, limit, [&] { return m_nTotal >= target; });
    }
    std::vector<std::vector<Clock::time_point>> Finish() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bActive = false;
        m_nTarget = SIZE_MAX;
        return std::move(m_fires);
    }
    size_t Total() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_nTotal;
    }

  private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<std::vector<Clock::time_point>> m_fires;
    size_t m_nTotal = 0;
    size_t m_nTarget = SIZE_MAX;
    bool m_bActive = false;
    bool m_bCountOnly = false;
};

Recorder g_recorder;

// ---- the two services, behind one face ---------------------------------------

class Service {
  public:
    virtual ~Service() = default;
    virtual const char* Name() const = 0;
    // Slots 0..n-1 exist afterwards; only between workloads.
    virtual void Reserve(int n) = 0;
    virtual bool StartRelative(int i, LONG lDueMs, LONG lIntervalMs) = 0;
    // Due at the wall-clock time `ullDueUtc100ns` (a FILETIME value).
    virtual bool StartAbsolute(int i, ULONGLONG ullDueUtc100ns) = 0;
    virtual void Stop(int i) = 0;
    // Returns once every request made before it has been carried out, and
    // no callback of the service is running.
    virtual void Flush() = 0;
    // Requests made but not yet carried out.
    virtual long Backlog() const { return 0; }
    // The threads that deliver the callbacks, where the service knows them.
    virtual std::vector<pid_t> ServiceThreads() const = 0;
};

class HorologService final : public Service {
    static constexpr DWORD kNoTimer = 0xFFFFFFFFu;  // ids are slot + 1

  public:
    explicit HorologService(IHorolog* pHorolog)
        : m_pHorolog(pHorolog),
          m_site([](DWORD id) { g_recorder.Record(static_cast<int>(id) - 1, Clock::now()); }) {}
    ~HorologService() override {
        for (size_t i = 0; i < m_slots.size(); ++i) Stop(static_cast<int>(i));
    }
    const char* Name() const override { return "horolog"; }
    void Reserve(int n) override {
        while (static_cast<int>(m_slots.size()) < n) m_slots.emplace_back(new TimerSlot);
    }
    bool StartRelative(int i, LONG lDueMs, LONG lIntervalMs) override {
        m_slots[i]->Relative(static_cast<DWORD>(i + 1), &m_site, lDueMs, lIntervalMs);
        return m_pHorolog->StartTimer(&m_slots[i]->record) == S_OK;
    }
    bool StartAbsolute(int i, ULONGLONG ullDueUtc100ns) override {
        m_slots[i]->Absolute(static_cast<DWORD>(i + 1), &m_site, ullDueUtc100ns);
        return m_pHorolog->StartTimer(&m_slots[i]->record) == S_OK;
    }
    void Stop(int i) override { m_pHorolog->StopTimer(static_cast<DWORD>(i + 1)); }
    void Flush() override {
        // Requests are carried out before the calls return; a pause waits for
        // a relative callback in progress, and a stop (of an id that is
        // nowhere) for the scheduler to be done with the record it called
        // back, so that the record can be filled in again.
        m_pHorolog->PauseTimers();
        m_pHorolog->ResumeTimers();
        m_pHorolog->StopTimer(kNoTimer);
    }
    std::vector<pid_t> ServiceThreads() const override { return {}; }  // all but the others'
    IHorolog* Manager() const { return m_pHorolog; }

  private:
    IHorolog* m_pHorolog;
    FunctionSite m_site;
    std::vector<std::unique_ptr<TimerSlot>> m_slots;
};

class AsioService final : public Service {
  public:
    AsioService() : m_work(asio::make_work_guard(m_io)) {
        std::promise<pid_t> tid;
        m_thread = std::thread([this, &tid] {
            tid.set_value(ThreadId());
            m_io.run();
        });
        m_tid = tid.get_future().get();
    }
    ~AsioService() override {
        m_work.reset();
        asio::post(m_io, [this] {
            for (auto& t : m_steady) t->cancel();
            for (auto& t : m_system) t->cancel();
        });
        m_thread.join();
    }
    const char* Name() const override { return "asio"; }
    void Reserve(int n) override {
        asio::post(m_io, [this, n] {
            while (static_cast<int>(m_steady.size()) < n) {
                m_steady.emplace_back(new asio::steady_timer(m_io));
                m_system.emplace_back(new asio::system_timer(m_io));
            }
        });
        Flush();
    }
    bool StartRelative(int i, LONG lDueMs, LONG lIntervalMs) override {
        ++m_nPosted;
        asio::post(m_io, [this, i, lDueMs, lIntervalMs] {
            m_steady[i]->expires_after(milliseconds(lDueMs));
            Arm(i, lIntervalMs);
            ++m_nDone;
        });
        return true;
    }
    bool StartAbsolute(int i, ULONGLONG ullDueUtc100ns) override {
        // The same wall-clock instant, on the system clock.
        const LONGLONG llAhead100ns =
            static_cast<LONGLONG>(ullDueUtc100ns) - static_cast<LONGLONG>(UtcNow100ns());
        const auto due = std::chrono::system_clock::now() +
                         std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::nanoseconds(llAhead100ns * 100));
        ++m_nPosted;
        asio::post(m_io, [this, i, due] {
            asio::system_timer& timer = *m_system[i];
            timer.expires_at(due);
            timer.async_wait([i](const boost::system::error_code& ec) {
                if (!ec) g_recorder.Record(i, Clock::now());
            });
            ++m_nDone;
        });
        return true;
    }
    void Stop(int i) override {
        ++m_nPosted;
        asio::post(m_io, [this, i] {
            m_steady[i]->cancel();
            m_system[i]->cancel();
            ++m_nDone;
        });
    }
    void Flush() override {
        std::promise<void> done;
        asio::post(m_io, [&done] { done.set_value(); });
        done.get_future().wait();
    }
    long Backlog() const override { return m_nPosted.load() - m_nDone.load(); }
    std::vector<pid_t> ServiceThreads() const override { return {m_tid}; }

  private:
    void Arm(int i, LONG lIntervalMs) {
        m_steady[i]->async_wait([this, i, lIntervalMs](const boost::system::error_code& ec) {
            if (ec) return;
            g_recorder.Record(i, Clock::now());
            if (lIntervalMs > 0) {
                asio::steady_timer& timer = *m_steady[i];
                timer.expires_at(timer.expiry() + milliseconds(lIntervalMs));
                Arm(i, lIntervalMs);
            }
        });
    }

    asio::io_context m_io;
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    std::thread m_thread;
    pid_t m_tid = 0;
    std::vector<std::unique_ptr<asio::steady_timer>> m_steady;
    std::vector<std::unique_ptr<asio::system_timer>> m_system;
    std::atomic<long> m_nPosted{0};
    std::atomic<long> m_nDone{0};
};

// ---- results -------------------------------------------------------------------

struct Figure {
    std::string workload;
    std::string name;
    std::string unit;
    bool bHigherIsBetter;
    std::map<std::string, double> values;  // by service
};

std::vector<Figure> g_figures;

void Report(const std::string& workload, const std::string& name, const std::string& unit,
            bool bHigherIsBetter, const char* service, double value) {
    for (Figure& f : g_figures) {
        if (f.workload == workload && f.name == name) {
            f.values[service] = value;
            return;
        }
    }
    g_figures.push_back({workload, name, unit, bHigherIsBetter, {{service, value}}});
}

std::string g_samplesDir;

void WriteSamples(const std::string& file, const std::vector<std::string>& lines) {
    if (g_samplesDir.empty()) return;
    std::ofstream out(g_samplesDir + "/" + file);
    for (const std::string& line : lines) out << line << '\n';
}

std::string Format(double v) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(std::fabs(v) >= 100 ? 0 : (std::fabs(v) >= 10 ? 1 : 2));
    s << v;
    return s.str();
}

// ---- the workloads ---------------------------------------------------------------

void W1(Service& s, unsigned seed) {
    const int n = 1000;
    std::mt19937 random(seed);
    std::uniform_int_distribution<LONG> due(10, 1010);
    std::vector<LONG> dues(n);
    for (LONG& d : dues) d = due(random);
    s.Reserve(n);
    g_recorder.Reset(n, 1);
    std::vector<Clock::time_point> expected(n);
    const Clock::time_point tBurst = Clock::now();
    for (int i = 0; i < n; ++i) {
        expected[i] = Clock::now() + milliseconds(dues[i]);
        s.StartRelative(i, dues[i], 0);
    }
    Report("W1", "burst of 1000 starts", "ms", false, s.Name(),
           MillisecondsBetween(tBurst, Clock::now()));
    const bool bAll = g_recorder.WaitForTotal(n, milliseconds(60000));
    s.Flush();
    const auto fires = g_recorder.Finish();
    std::vector<double> late;
    std::vector<std::string> lines;
    int nEarly = 0, nEarlyBy1ms = 0;
    for (int i = 0; i < n; ++i) {
        if (fires[i].empty()) continue;
        const double us = Microseconds(fires[i][0] - expected[i]);
        late.push_back(us);
        lines.push_back(std::to_string(dues[i]) + " " + Format(us));
        if (us < 0) ++nEarly;
        if (us < -1000) ++nEarlyBy1ms;
    }
    if (!bAll) std::printf("  W1 %s: only %zu of %d fired\n", s.Name(), late.size(), n);
    // Timers held back behind one due later: fired more than 1 ms after some
    // timer whose due time comes after theirs.
    std::vector<int> byDue;
    for (int i = 0; i < n; ++i)
        if (!fires[i].empty()) byDue.push_back(i);
    std::sort(byDue.begin(), byDue.end(), [&](int a, int b) { return expected[a] < expected[b]; });
    int nHeldBack = 0;
    double heldBackMax = 0;
    Clock::time_point firstLater = Clock::time_point::max();
    for (auto it = byDue.rbegin(); it != byDue.rend(); ++it) {
        const double behind = Microseconds(fires[*it][0] - firstLater);
        if (behind > 1000) {
            ++nHeldBack;
            heldBackMax = std::max(heldBackMax, behind);
        }
        firstLater = std::min(firstLater, fires[*it][0]);
    }
    Report("W1", "lateness p50", "us", false, s.Name(), Quantile(late, 0.5));
    Report("W1", "lateness p99", "us", false, s.Name(), Quantile(late, 0.99));
    Report("W1", "lateness max", "us", false, s.Name(), Quantile(late, 1.0));
    Report("W1", "lateness min", "us", true, s.Name(), Quantile(late, 0.0));
    Report("W1", "fired early", "count", false, s.Name(), nEarly);
    Report("W1", "fired > 1 ms early", "count", false, s.Name(), nEarlyBy1ms);
    Report("W1", "fired", "count", true, s.Name(), static_cast<double>(late.size()));
    Report("W1", "held back > 1 ms behind a later-due timer", "count", false, s.Name(), nHeldBack);
    Report("W1", "held back, longest", "us", false, s.Name(), heldBackMax);
    WriteSamples(std::string("w1-") + s.Name() + ".dat", lines);
}

void W2(Service& s, unsigned) {
    const int n = 50;
    const int kStopMarginMs = 5;
    const LONG interval = 20;
    const milliseconds run(3000);
    s.Reserve(n);
    g_recorder.Reset(n, 200);
    std::vector<Clock::time_point> start(n), stop(n);
    for (int i = 0; i < n; ++i) {
        start[i] = Clock::now();
        s.StartRelative(i, interval, interval);
    }
    std::this_thread::sleep_until(start[0] + run);
    for (int i = 0; i < n; ++i) {
        stop[i] = Clock::now();
        s.Stop(i);
    }
    s.Flush();
    const auto fires = g_recorder.Finish();

    std::vector<double> late, drift;
    std::vector<std::string> lines;
    long nExpected = 0, nDelivered = 0, nLost = 0;
    for (int i = 0; i < n; ++i) {
        // Fires due in the last few milliseconds before the stop may still be
        // on their way when it comes; they are neither expected nor counted.
        const Clock::time_point counted = stop[i] - milliseconds(kStopMarginMs);
        const long expected = static_cast<long>((counted - start[i]) / milliseconds(interval));
        long delivered = 0;
        for (size_t k = 0; k < fires[i].size(); ++k) {
            const Clock::time_point nominal = start[i] + milliseconds(interval * (k + 1));
            if (nominal > counted) break;
            ++delivered;
            const double us = Microseconds(fires[i][k] - nominal);
            late.push_back(us);
            if (i == 0)
                lines.push_back(std::to_string(i) + " " +
                                Format(MillisecondsBetween(start[i], nominal)) + " " + Format(us));
        }
        if (delivered >= 2) {
            drift.push_back(Microseconds(fires[i][delivered - 1] - start[i] -
                                         milliseconds(interval * delivered)) -
                            Microseconds(fires[i][0] - start[i] - milliseconds(interval)));
        }
        nExpected += expected;
        nDelivered += delivered;
        if (delivered < expected) nLost += expected - delivered;
    }
    Report("W2", "lateness p50", "us", false, s.Name(), Quantile(late, 0.5));
    Report("W2", "lateness p99", "us", false, s.Name(), Quantile(late, 0.99));
    Report("W2", "lateness max", "us", false, s.Name(), Quantile(late, 1.0));
    Report("W2", "drift over 3 s, median", "us", false, s.Name(), Quantile(drift, 0.5));
    double worstDrift = 0;
    for (double d : drift)
        if (std::fabs(d) > std::fabs(worstDrift)) worstDrift = d;
    Report("W2", "drift over 3 s, largest", "us", false, s.Name(), worstDrift);
    Report("W2", "fires delivered", "count", true, s.Name(), static_cast<double>(nDelivered));
    Report("W2", "fires expected", "count", true, s.Name(), static_cast<double>(nExpected));
    Report("W2", "fires lost", "count", false, s.Name(), static_cast<double>(nLost));
    WriteSamples(std::string("w2-") + s.Name() + ".dat", lines);
}

std::vector<int> g_churnSizes = {10, 1000, 10000};

// What StartTimer's check of the client's memory costs on its own: the two
// address checks of every start (the record, the context block).
void AddressCheckRate() {
    TimerSlot slot;
    long n = 0;
    const Clock::time_point t0 = Clock::now();
    while (Clock::now() < t0 + milliseconds(300)) {
        for (int k = 0; k < 64; ++k, ++n) {
            if (!AfxIsValidAddress(&slot.record, sizeof slot.record, TRUE) ||
                !AfxIsValidAddress(slot.record.pContext, TIMER_CONTEXT_SIZE, TRUE))
                return;
        }
    }
    Report("W3", "the two address checks of a start, alone", "1/s", true, "horolog",
           n / (MillisecondsBetween(t0, Clock::now()) / 1000.0));
}

void W3(Service& s, unsigned seed) {
    for (int n : g_churnSizes) {
        std::mt19937 random(seed + static_cast<unsigned>(n));
        std::uniform_int_distribution<LONG> due(60 * 1000, 3600 * 1000);
        s.Reserve(n + 1);
        g_recorder.Reset(n + 1, 1);
        for (int i = 0; i < n; ++i) s.StartRelative(i, due(random), 0);
        s.Flush();

        const LONG extraDue = due(random);
        long pairs = 0;
        const Clock::time_point t0 = Clock::now();
        const Clock::time_point tEnd = t0 + milliseconds(1000);
        while (Clock::now() < tEnd) {
            for (int k = 0; k < 16; ++k) {
                s.StartRelative(n, extraDue, 0);
                s.Stop(n);
                ++pairs;
            }
            // A service that queues requests gets a bounded backlog.
            while (s.Backlog() > 4096) std::this_thread::yield();
        }
        s.Flush();  // every pair carried out
        const double seconds = MillisecondsBetween(t0, Clock::now()) / 1000.0;
        Report("W3", "pairs/s, N = " + std::to_string(n), "1/s", true, s.Name(), pairs / seconds);

        for (int i = 0; i < n; ++i) s.Stop(i);
        s.Flush();
        g_recorder.Finish();
    }
}

struct ThreadSample {
    std::map<pid_t, long> voluntary;  // by thread
};

ThreadSample SampleThreads() {
    ThreadSample sample;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return sample;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const pid_t tid = static_cast<pid_t>(std::atol(e->d_name));
        std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                sample.voluntary[tid] = std::atol(line.c_str() + 24);
            }
        }
    }
    ::closedir(dir);
    return sample;
}

double ProcessCpuMs() {
    rusage ru;
    ::getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

pid_t g_mainThread = 0;
std::set<pid_t> g_foreignThreads;  // the threads of the other service

void W4(Service& s, unsigned) {
    s.Reserve(1);
    g_recorder.Reset(1, 1);
    s.StartRelative(0, 3600 * 1000, 0);
    s.Flush();
    std::this_thread::sleep_for(milliseconds(100));  // let the start settle

    std::vector<pid_t> threads = s.ServiceThreads();
    const ThreadSample before = SampleThreads();
    if (threads.empty()) {
        for (const auto& t : before.voluntary)
            if (t.first != g_mainThread && !g_foreignThreads.count(t.first))
                threads.push_back(t.first);
    }
    const double cpuBefore = ProcessCpuMs();
    std::this_thread::sleep_for(milliseconds(2000));
    const double cpuAfter = ProcessCpuMs();
    const ThreadSample after = SampleThreads();

    long switches = 0;
    for (pid_t tid : threads) {
        auto b = before.voluntary.find(tid), a = after.voluntary.find(tid);
        if (a != after.voluntary.end() && b != before.voluntary.end())
            switches += a->second - b->second;
    }
    s.Stop(0);
    s.Flush();
    g_recorder.Finish();
    Report("W4", "process CPU over 2 s", "ms", false, s.Name(), cpuAfter - cpuBefore);
    Report("W4", "service thread voluntary switches", "count", false, s.Name(),
           static_cast<double>(switches));
    Report("W4", "service threads watched", "count", false, s.Name(),
           static_cast<double>(threads.size()));
}

void W5(Service& s, unsigned seed) {
    const int n = 100;
    std::mt19937 random(seed);
    std::uniform_int_distribution<LONG> ahead(1000, 3000);
    s.Reserve(n);
    g_recorder.Reset(n, 1);
    std::vector<Clock::time_point> expected(n);
    for (int i = 0; i < n; ++i) {
        const LONG ms = ahead(random);
        const Clock::time_point t = Clock::now();
        const ULONGLONG due = UtcNow100ns() + static_cast<ULONGLONG>(ms) * k100nsPerMs;
        expected[i] = t + milliseconds(ms);
        s.StartAbsolute(i, due);
    }
    const bool bAll = g_recorder.WaitForTotal(n, milliseconds(30000));
    s.Flush();
    const auto fires = g_recorder.Finish();
    std::vector<double> late;
    std::vector<std::string> lines;
    int nEarly = 0;
    for (int i = 0; i < n; ++i) {
        if (fires[i].empty()) continue;
        const double us = Microseconds(fires[i][0] - expected[i]);
        late.push_back(us);
        lines.push_back(Format(us));
        if (us < 0) ++nEarly;
    }
    if (!bAll) std::printf("  W5 %s: only %zu of %d fired\n", s.Name(), late.size(), n);
    for (int i = 0; i < n; ++i) s.Stop(i);
    s.Flush();
    Report("W5", "lateness p50", "us", false, s.Name(), Quantile(late, 0.5));
    Report("W5", "lateness p99", "us", false, s.Name(), Quantile(late, 0.99));
    Report("W5", "lateness max", "us", false, s.Name(), Quantile(late, 1.0));
    Report("W5", "fired early", "count", false, s.Name(), nEarly);
    Report("W5", "fired", "count", true, s.Name(), static_cast<double>(late.size()));
    WriteSamples(std::string("w5-") + s.Name() + ".dat", lines);
}

// ---- soak -------------------------------------------------------------------------

long ReadStatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n);
    return -1;
}

long CountFds() {
    long n = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') ++n;
        ::closedir(dir);
    }
    return n;
}

// The process's resources as a soak samples them: resident memory, threads
// and the platform's open handles, first after warming up and last.
struct ResourceDrift {
    struct Sample {
        long rssKb = 0;
        long threads = 0;
        DWORD handles = 0;
    };
    static Sample Now() {
        return Sample{ReadStatusKb("VmRSS:"), ReadStatusKb("Threads:"),
                      winplat_test_handle_count()};
    }
    // Records a sample; the first one recorded is the base.
    void Record(const Sample& sample) {
        if (!bHaveFirst) first = sample;
        bHaveFirst = true;
        last = sample;
    }
    // "RSS +n kB, handles +n, threads +n" since the base.
    void Print(const char* who) const {
        std::printf("%s: after the first 10 s: RSS %+ld kB, handles %+ld, threads %+ld\n", who,
                    last.rssKb - first.rssKb,
                    static_cast<long>(last.handles) - static_cast<long>(first.handles),
                    last.threads - first.threads);
    }
    bool bHaveFirst = false;
    Sample first, last;
};

int Soak(IHorolog* pHorolog, double minutes, unsigned seed) {
    HorologService s(pHorolog);
    const int nOneShot = 200, nRepeat = 20, nAbsolute = 10, nChurn = 1;
    const int n = nOneShot + nRepeat + nAbsolute + nChurn;
    s.Reserve(n);
    std::mt19937 random(seed);
    g_recorder.Reset(n, 0, true);
    std::printf(
        "soak: %.1f min; each second %d one-shot, %d repeating, %d absolute timers, "
        "start/stop churn, a pause every 5 s\n",
        minutes, nOneShot, nRepeat, nAbsolute);
    std::printf("%8s %10s %8s %8s %6s %10s  %s\n", "s", "fires", "RSS kB", "handles", "thr", "fds",
                "counters");
    const Clock::time_point t0 = Clock::now();
    const Clock::time_point tEnd = t0 + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(minutes * 60));
    ResourceDrift drift;
    int round = 0;
    while (Clock::now() < tEnd) {
        const Clock::time_point tRound = Clock::now();
        int i = 0;
        std::uniform_int_distribution<LONG> oneShotMs(1, 500), repeatMs(5, 50), aheadMs(0, 700);
        for (int k = 0; k < nOneShot; ++k) s.StartRelative(i++, oneShotMs(random), 0);
        for (int k = 0; k < nRepeat; ++k) {
            const LONG ms = repeatMs(random);
            s.StartRelative(i++, ms, ms);
        }
        for (int k = 0; k < nAbsolute; ++k)
            s.StartAbsolute(i++, UtcNow100ns() + aheadMs(random) * k100nsPerMs);
        const int churn = i++;
        while (Clock::now() < tRound + milliseconds(900)) {
            for (int k = 0; k < 100; ++k) {
                s.StartRelative(churn, 100000, 0);
                s.Stop(churn);
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
        if (round % 5 == 4) {
            pHorolog->PauseTimers();
            std::this_thread::sleep_for(milliseconds(50));
            pHorolog->ResumeTimers();
        }
        std::this_thread::sleep_until(tRound + milliseconds(1000));
        for (int k = 0; k < n; ++k) s.Stop(k);
        s.Flush();
        ++round;

        if (round % 10 == 0 || Clock::now() >= tEnd) {
            const ResourceDrift::Sample now = ResourceDrift::Now();
            drift.Record(now);
            std::printf("%8.0f %10zu %8ld %8lu %6ld %10ld  %s\n",
                        MillisecondsBetween(t0, Clock::now()) / 1000.0, g_recorder.Total(),
                        now.rssKb, static_cast<unsigned long>(now.handles), now.threads, CountFds(),
                        FormatCounters(ReadCounters()).c_str());
            std::fflush(stdout);
        }
    }
    g_recorder.Finish();
    drift.Print("soak");
    const Counters c = ReadCounters();
    const bool bClean = c.timers == 0 && c.absTimers == 0 && c.threads == 0;
    std::printf("soak: %s\n", bClean ? "no timer left registered" : "TIMERS LEFT REGISTERED");
    return bClean ? 0 : 1;
}

// ---- stress -------------------------------------------------------------------------

int Stress(IHorolog* pHorolog, double seconds, uint64_t seed) {
    horolog_stress::Options options;
    options.clients = 4;
    options.slotsPerClient = 6;
    options.duration = milliseconds(static_cast<long long>(seconds * 1000));
    options.seed = seed;
    options.watchdog = options.duration + milliseconds(300 * 1000);
    options.reportEvery = milliseconds(10 * 1000);
    std::printf(
        "stress: %.0f s, %d client threads with %d records each (and a child each); seed %llu\n",
        seconds, options.clients, options.slotsPerClient, static_cast<unsigned long long>(seed));
    std::printf("%8s %10s %10s %8s %8s %6s %10s  %s\n", "s", "starts", "callbacks", "RSS kB",
                "handles", "thr", "fds", "counters");
    ResourceDrift drift;
    options.onReport = [&](double elapsed, const horolog_stress::Totals& totals) {
        const ResourceDrift::Sample now = ResourceDrift::Now();
        drift.Record(now);
        std::printf("%8.0f %10llu %10llu %8ld %8lu %6ld %10ld  %s\n", elapsed,
                    static_cast<unsigned long long>(totals.starts),
                    static_cast<unsigned long long>(totals.callbacks), now.rssKb,
                    static_cast<unsigned long>(now.handles), now.threads, CountFds(),
                    FormatCounters(ReadCounters()).c_str());
        std::fflush(stdout);
    };
    const horolog_stress::Result result = horolog_stress::Run(pHorolog, options);
    if (drift.bHaveFirst) drift.Print("stress");
    std::printf("stress: at the end: RSS %ld kB, handles %lu, threads %ld, fds %ld; %s\n",
                ReadStatusKb("VmRSS:"), static_cast<unsigned long>(winplat_test_handle_count()),
                ReadStatusKb("Threads:"), CountFds(), FormatCounters(ReadCounters()).c_str());
    std::printf("stress: %s\n", result.Describe().c_str());
    return result.Passed() ? 0 : 1;
}

// ---- the run --------------------------------------------------------------------

void PrintFigures() {
    std::printf("\n%-4s %-36s %6s %14s %14s %9s\n", "", "figure", "unit", "horolog", "asio",
                "ratio");
    for (const Figure& f : g_figures) {
        auto h = f.values.find("horolog"), a = f.values.find("asio");
        std::string ratio = "";
        if (h != f.values.end() && a != f.values.end() && a->second != 0)
            ratio = Format(h->second / a->second);
        std::printf("%-4s %-36s %6s %14s %14s %9s\n", f.workload.c_str(), f.name.c_str(),
                    f.unit.c_str(), h != f.values.end() ? Format(h->second).c_str() : "-",
                    a != f.values.end() ? Format(a->second).c_str() : "-", ratio.c_str());
    }
    std::printf(
        "(ratio = horolog / asio; lateness and counts: lower is better; "
        "pairs/s: higher is better)\n");
}

double Value(const char* workload, const std::string& name, const char* service) {
    for (const Figure& f : g_figures) {
        if (f.workload == workload && f.name == name) {
            auto it = f.values.find(service);
            if (it != f.values.end()) return it->second;
        }
    }
    return NAN;
}

void PrintTargets(const std::set<std::string>& only) {
    std::printf("\ntargets:\n");
    auto Line = [](const char* what, bool ok, const std::string& detail) {
        std::printf("  %-58s %-4s %s\n", what, ok ? "met" : "MISSED", detail.c_str());
    };
    if (only.count("W1")) {
        const double p99 = Value("W1", "lateness p99", "horolog");
        const double early = Value("W1", "fired > 1 ms early", "horolog");
        Line("W1 p99 lateness within 1.1 ms", p99 <= 1100, Format(p99) + " us");
        Line("W1 no fire more than 1 ms early", early == 0, Format(early) + " fires");
    }
    if (only.count("W2")) {
        const double lost = Value("W2", "fires lost", "horolog");
        const double drift = Value("W2", "drift over 3 s, largest", "horolog");
        Line("W2 no fire lost", lost == 0, Format(lost) + " lost");
        Line("W2 drift under 1 ms over 3 s", std::fabs(drift) < 1000,
             Format(drift) + " us (largest)");
    }
    if (only.count("W3")) {
        const double h10 = Value("W3", "pairs/s, N = 10", "horolog");
        const double a10 = Value("W3", "pairs/s, N = 10", "asio");
        const double h1k = Value("W3", "pairs/s, N = 1000", "horolog");
        const double a1k = Value("W3", "pairs/s, N = 1000", "asio");
        Line("W3 N = 10: at least Asio's pairs per second", h10 >= a10,
             Format(h10) + " vs " + Format(a10));
        Line("W3 N = 1000: at least a quarter of Asio's", h1k >= a1k / 4,
             Format(h1k) + " vs " + Format(a1k));
    }
    if (only.count("W4")) {
        const double sw = Value("W4", "service thread voluntary switches", "horolog");
        Line("W4 no voluntary switch of a library thread while idle", sw == 0,
             Format(sw) + " switches");
    }
    if (only.count("W5")) {
        const double p50 = Value("W5", "lateness p50", "horolog");
        Line("W5 p50 lateness under 20 ms", p50 < 20000, Format(p50) + " us");
    }
}

void Usage(FILE* out) {
    std::fputs(
        "Usage: horolog-bench [--only W1,W2,W3,W4,W5] [--service horolog|asio] [--seed S]\n"
        "                     [--churn-sizes 10,1000,10000] [--samples DIR]\n"
        "       horolog-bench --soak MINUTES [--seed S]\n"
        "       horolog-bench --stress SECONDS [--seed S]\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    std::set<std::string> only = {"W1", "W2", "W3", "W4", "W5"};
    unsigned seed = 20240611;
    double soakMinutes = 0;
    double stressSeconds = 0;
    bool bSeedGiven = false;
    std::string serviceFilter;  // empty: both
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool bHasValue = i + 1 < argc;
        if (arg == "--only" && bHasValue) {
            only.clear();
            std::stringstream list(argv[++i]);
            std::string item;
            while (std::getline(list, item, ',')) only.insert(item);
        } else if (arg == "--seed" && bHasValue) {
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            bSeedGiven = true;
        } else if (arg == "--samples" && bHasValue) {
            g_samplesDir = argv[++i];
            ::mkdir(g_samplesDir.c_str(), 0755);
        } else if (arg == "--churn-sizes" && bHasValue) {
            g_churnSizes.clear();
            std::stringstream list(argv[++i]);
            std::string item;
            while (std::getline(list, item, ',')) g_churnSizes.push_back(std::atoi(item.c_str()));
        } else if (arg == "--service" && bHasValue) {
            serviceFilter = argv[++i];
        } else if (arg == "--soak" && bHasValue) {
            soakMinutes = std::atof(argv[++i]);
        } else if (arg == "--stress" && bHasValue) {
            stressSeconds = std::atof(argv[++i]);
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    g_mainThread = ThreadId();

    UsePrivateRegistry("bench-registry");
    if (FAILED(CoInitialize(nullptr)) || FAILED(CallRegistration(false))) {
        std::fputs("horolog-bench: the module could not be registered\n", stderr);
        return 1;
    }
    IHorolog* pHorolog = GetHorolog();
    if (!pHorolog) {
        std::fputs("horolog-bench: GetHorolog returned no manager\n", stderr);
        return 1;
    }

    int rc = 0;
    if (soakMinutes > 0) {
        rc = Soak(pHorolog, soakMinutes, seed);
    } else if (stressSeconds > 0) {
        // Without --seed, HOROLOG_STRESS_SEED or a fresh seed.
        rc = Stress(pHorolog, stressSeconds,
                    bSeedGiven ? seed : horolog_stress::SeedFromEnvironment());
    } else {
        std::printf("horolog-bench: seed %u, %u hardware threads\n", seed,
                    std::thread::hardware_concurrency());
        HorologService horolog(pHorolog);
        AsioService asioService;
        g_foreignThreads = {asioService.ServiceThreads().begin(),
                            asioService.ServiceThreads().end()};
        // W4 runs last, so that every library thread has been started (the
        // absolute side by W5) and is watched while idle.
        const std::vector<std::pair<std::string, void (*)(Service&, unsigned)>> workloads = {
            {"W1", W1}, {"W2", W2}, {"W3", W3}, {"W5", W5}, {"W4", W4}};
        for (const auto& w : workloads) {
            if (!only.count(w.first)) continue;
            if (w.first == "W3" && (serviceFilter.empty() || serviceFilter == "horolog"))
                AddressCheckRate();
            for (Service* s :
                 {static_cast<Service*>(&horolog), static_cast<Service*>(&asioService)}) {
                if (!serviceFilter.empty() && serviceFilter != s->Name()) continue;
                std::printf("%s %s...\n", w.first.c_str(), s->Name());
                std::fflush(stdout);
                w.second(*s, seed);
            }
        }
        PrintFigures();
        PrintTargets(only);
    }

    pHorolog->Release();
    CallRegistration(true);
    CoUninitialize();
    return rc;
}

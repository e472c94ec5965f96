// horolog-demo: a component's tour of the shared timer service.
//
// Registers the Horolog module (natively in a private registry beside the
// build), obtains the process's timer manager through GetHorolog (which
// creates it by COM activation of the registered class) and plays a short
// script that shows every capability on a timeline: a one-shot timer, a
// repeating timer, a pause with the timers that fell due during it delivered
// after the resume, an absolute timer a few seconds ahead, an absolute timer
// ten minutes in the past that is dropped, and a repeating timer that stops
// itself from inside its callback. It ends with the module's five counters,
// read through the object database, and releases everything.
//
// The exit code is 0 when every promise the script relies on held (see
// Expect), 1 otherwise, 2 for bad arguments.
//
//   horolog-demo                       the scripted tour (about 3.5 s)
//   horolog-demo --load N [--span MS] [--seed S]
//                                      N one-shot timers due uniformly in
//                                      [10, 10 + MS] ms: lateness percentiles
//                                      and counters
#include "client_support.h"

#include <condition_variable>
#include <cstdarg>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

using namespace horolog_tools;

namespace {

// ---- output ---------------------------------------------------------------

std::mutex g_mtxOut;
Clock::time_point g_t0;
int g_nFailures = 0;

void Say(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_mtxOut);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

double Elapsed(Clock::time_point t = Clock::now()) { return MillisecondsBetween(g_t0, t); }

// A row of the timeline.
void Row(Clock::time_point t, const char* name, const char* kind, DWORD id, const char* late,
         const char* note) {
    char idText[16] = "";
    if (id != 0) std::snprintf(idText, sizeof idText, "%lu", static_cast<unsigned long>(id));
    Say("%9.1f  %-3s %-10s %10s %10s  %s\n", Elapsed(t), name, kind, idText, late, note);
}

void Expect(bool ok, const char* what) {
    if (ok) return;
    std::lock_guard<std::mutex> lock(g_mtxOut);
    ++g_nFailures;
    std::fprintf(stdout, "  !! expected: %s\n", what);
    std::fflush(stdout);
}

std::string Late(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f ms", ms);
    return text;
}

// A flag that one thread raises and another waits for, with a limit.
class Signal {
  public:
    void Raise() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bRaised = true;
        m_cv.notify_all();
    }
    bool Wait(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, limit, [this] { return m_bRaised; });
    }

  private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bRaised = false;
};

// ---- the scripted tour ------------------------------------------------------

// The script's times, in milliseconds from the start.
constexpr LONG kOneShotMs = 250;
constexpr LONG kChainedMs = 100;  // started from the one-shot's callback
constexpr LONG kRepeatMs = 200;
constexpr int kRepeatFiresBeforePause = 3;
constexpr LONG kBeforePauseMs = 800;  // falls due during the pause
constexpr LONG kDuringPauseMs = 300;  // started while paused
constexpr int kPauseMs = 700;
constexpr int kRepeatStopsAtFire = 8;
constexpr LONG kAbsoluteAheadMs = 3000;
constexpr ULONGLONG kTenMinutes100ns = 10ull * 60 * 1000 * k100nsPerMs;

std::chrono::milliseconds Limit(int ms) { return std::chrono::milliseconds(ms); }

// How early a fire may be and still be on time: relative timers count in
// ticks of the tick count, which natively are milliseconds and on Windows
// may be as coarse as the system timer (about 15.6 ms).
#if WINPLAT_NATIVE
constexpr double kEarlyMs = 1.5;
#else
constexpr double kEarlyMs = 20.0;
#endif

int RunTour(IHorolog* pHorolog) {
    Say("\n%9s  %-3s %-10s %10s %10s  %s\n", "ms", "", "kind", "id", "late", "what");

    // Records and sites outlive every timer that names them.
    TimerSlot past, oneShot, chained, repeating, beforePause, duringPause, absolute;
    std::mutex mtxState;  // guards the fields below, written by the library's threads
    Clock::time_point tPauseReturned, tResumeCalled;
    bool bPaused = false;
    int nCallbacksWhilePaused = 0;
    int nRepeatFires = 0;
    int nOneShotFires = 0, nChainedFires = 0, nAbsoluteFires = 0;
    int nBeforePauseFires = 0, nDuringPauseFires = 0;
    int nPastFires = 0;
    Signal repeatReadyForPause, repeatStopped, chainedDone, absoluteDone;
    Signal beforePauseDone, duringPauseDone;

    auto NoteCallback = [&] {
        std::lock_guard<std::mutex> lock(mtxState);
        if (bPaused) ++nCallbacksWhilePaused;
    };

    DWORD idPast = 0, idOneShot = 0, idChained = 0, idRepeat = 0, idAbs = 0;
    DWORD idBeforePause = 0, idDuringPause = 0;
    for (DWORD* pId :
         {&idPast, &idOneShot, &idChained, &idRepeat, &idAbs, &idBeforePause, &idDuringPause})
        pHorolog->GetTimerId(pId);

    // 1. An absolute timer ten minutes in the past: its waitable timer
    // signals at once, the expiry check finds it more than five minutes
    // late, and it is removed without a call.
    FunctionSite pastSite([&](DWORD) {
        std::lock_guard<std::mutex> lock(mtxState);
        ++nPastFires;
    });
    past.Absolute(idPast, &pastSite, UtcNow100ns() - kTenMinutes100ns);
    g_t0 = Clock::now();  // the timeline counts from here
    const Clock::time_point tPastStart = g_t0;
    HRESULT hr = pHorolog->StartTimer(&past.record);
    Row(tPastStart, "P", "absolute", idPast, "", "started, due 10 minutes ago");
    Expect(hr == S_OK, "StartTimer of the absolute timer in the past succeeds");
    // Nothing calls back for a dropped timer: watch the registration go.
    Counters counters = ReadCounters();
    while (counters.absTimers != 0 && Elapsed() < 30000) {
        std::this_thread::sleep_for(Limit(2));
        counters = ReadCounters();
    }
    Row(Clock::now(), "P", "absolute", idPast, "",
        counters.absTimers == 0 ? "dropped: more than five minutes late, never called"
                                : "still registered after 30 s");
    Expect(counters.absTimers == 0, "the timer ten minutes in the past is dropped");

    // 2. A one-shot timer; its callback starts another one-shot timer.
    Clock::time_point tChainedDue;
    FunctionSite chainedSite([&](DWORD id) {
        const Clock::time_point t = Clock::now();
        NoteCallback();
        int n;
        {
            std::lock_guard<std::mutex> lock(mtxState);
            n = ++nChainedFires;
        }
        const double late = MillisecondsBetween(tChainedDue, t);
        Row(t, "E", "one-shot", id, Late(late).c_str(), "expired");
        Expect(n == 1 && late > -kEarlyMs, "a one-shot timer expires once, not early");
        chainedDone.Raise();
    });
    Clock::time_point tOneShotDue;
    FunctionSite oneShotSite([&](DWORD id) {
        const Clock::time_point t = Clock::now();
        NoteCallback();
        int n;
        {
            std::lock_guard<std::mutex> lock(mtxState);
            n = ++nOneShotFires;
        }
        const double late = MillisecondsBetween(tOneShotDue, t);
        Row(t, "A", "one-shot", id, Late(late).c_str(), "expired; its callback starts E");
        Expect(n == 1 && late > -kEarlyMs, "a one-shot timer expires once, not early");
        chained.Relative(idChained, &chainedSite, kChainedMs);
        tChainedDue = Clock::now() + Limit(kChainedMs);
        Expect(pHorolog->StartTimer(&chained.record) == S_OK, "a callback may start another timer");
    });
    oneShot.Relative(idOneShot, &oneShotSite, kOneShotMs);
    tOneShotDue = Clock::now() + Limit(kOneShotMs);
    hr = pHorolog->StartTimer(&oneShot.record);
    Row(Clock::now(), "A", "one-shot", idOneShot, "", "started, due in 250 ms");
    Expect(hr == S_OK, "StartTimer of a one-shot timer succeeds");

    // 3. A repeating timer. Its due times follow the library's rule: one
    // interval after the previous due time, or at once when it was late by
    // a whole interval or more (the periods missed beyond that are dropped).
    Clock::time_point tRepeatDue;
    FunctionSite repeatSite([&](DWORD id) {
        const Clock::time_point t = Clock::now();
        NoteCallback();
        int n;
        {
            std::lock_guard<std::mutex> lock(mtxState);
            n = ++nRepeatFires;
        }
        const double late = MillisecondsBetween(tRepeatDue, t);
        char note[96];
        if (n == kRepeatFiresBeforePause) {
            std::snprintf(note, sizeof note, "fire %d; the client pauses now", n);
        } else if (n == kRepeatFiresBeforePause + 1) {
            std::snprintf(note, sizeof note, "fire %d, due during the pause", n);
        } else if (n == kRepeatStopsAtFire) {
            std::snprintf(note, sizeof note, "fire %d; stops itself from inside OnTimer", n);
        } else {
            std::snprintf(note, sizeof note, "fire %d", n);
        }
        Row(t, "B", "repeating", id, Late(late).c_str(), note);
        Expect(n <= kRepeatStopsAtFire, "a timer stopped from its own callback fires no more");
        Expect(late > -kEarlyMs, "a repeating timer never fires early");
        tRepeatDue = late >= kRepeatMs ? t : tRepeatDue + Limit(kRepeatMs);
        if (n == kRepeatFiresBeforePause) repeatReadyForPause.Raise();
        if (n == kRepeatStopsAtFire) {
            Expect(pHorolog->StopTimer(id) == S_OK, "StopTimer from inside OnTimer succeeds");
            repeatStopped.Raise();
        }
    });
    repeating.Relative(idRepeat, &repeatSite, kRepeatMs, kRepeatMs);
    tRepeatDue = Clock::now() + Limit(kRepeatMs);
    hr = pHorolog->StartTimer(&repeating.record);
    Row(Clock::now(), "B", "repeating", idRepeat, "", "started, every 200 ms");
    Expect(hr == S_OK, "StartTimer of a repeating timer succeeds");

    // 4. A one-shot timer that will fall due while the timers are paused.
    Clock::time_point tBeforePauseDue;
    FunctionSite beforePauseSite([&](DWORD id) {
        const Clock::time_point t = Clock::now();
        NoteCallback();
        bool bAfterResume;
        {
            std::lock_guard<std::mutex> lock(mtxState);
            ++nBeforePauseFires;
            bAfterResume = tResumeCalled != Clock::time_point() && t >= tResumeCalled;
        }
        const double late = MillisecondsBetween(tBeforePauseDue, t);
        Row(t, "C", "one-shot", id, Late(late).c_str(),
            bAfterResume ? "fell due during the pause, delivered after the resume"
                         : "expired before the pause began (a slow machine)");
        Expect(late > -kEarlyMs, "a one-shot timer never fires early");
        beforePauseDone.Raise();
    });
    beforePause.Relative(idBeforePause, &beforePauseSite, kBeforePauseMs);
    tBeforePauseDue = Clock::now() + Limit(kBeforePauseMs);
    hr = pHorolog->StartTimer(&beforePause.record);
    Row(Clock::now(), "C", "one-shot", idBeforePause, "",
        "started, due in 800 ms (during the pause)");
    Expect(hr == S_OK, "StartTimer of a one-shot timer succeeds");

    // 5. An absolute timer a few seconds ahead, by the wall clock.
    const Clock::time_point tAbsoluteDue = Clock::now() + Limit(kAbsoluteAheadMs);
    const ULONGLONG ullAbsoluteDue = UtcNow100ns() + kAbsoluteAheadMs * k100nsPerMs;
    FunctionSite absoluteSite([&](DWORD id) {
        const Clock::time_point t = Clock::now();
        const ULONGLONG ullNow = UtcNow100ns();
        int n;
        {
            std::lock_guard<std::mutex> lock(mtxState);
            n = ++nAbsoluteFires;
        }
        const double late = MillisecondsBetween(tAbsoluteDue, t);
        Row(t, "D", "absolute", id, Late(late).c_str(), "expired at its wall-clock time");
        Expect(n == 1, "an absolute timer expires once");
        Expect(ullNow + static_cast<ULONGLONG>(kEarlyMs) * k100nsPerMs >= ullAbsoluteDue,
               "an absolute timer does not expire before its due time");
        absoluteDone.Raise();
    });
    absolute.Absolute(idAbs, &absoluteSite, ullAbsoluteDue);
    hr = pHorolog->StartTimer(&absolute.record);
    Row(Clock::now(), "D", "absolute", idAbs, "", "started, due 3 s from now (UTC)");
    Expect(hr == S_OK, "StartTimer of an absolute timer succeeds");
    Say("%9.1f  --- counters: %s\n", Elapsed(), FormatCounters(ReadCounters()).c_str());

    // 6. A pause: nothing is dispatched until the resume. What fell due
    // meanwhile (B, C) is delivered right after it; F, started while paused,
    // counts its time from the resume. (F is due later than the others: the
    // scheduler looks only at the head of its queue, which is ordered by the
    // remaining times at each insertion, so a shorter timer started while
    // paused would stand in front of the overdue ones and hold them back.)
    Expect(repeatReadyForPause.Wait(Limit(10000)), "the repeating timer fires three times");
    pHorolog->PauseTimers();
    {
        std::lock_guard<std::mutex> lock(mtxState);
        bPaused = true;
        tPauseReturned = Clock::now();
    }
    Row(tPauseReturned, "", "", 0, "", "PauseTimers: no relative callback until the resume");
    FunctionSite duringPauseSite([&](DWORD id) {
        const Clock::time_point t = Clock::now();
        NoteCallback();
        Clock::time_point tDue;
        {
            std::lock_guard<std::mutex> lock(mtxState);
            ++nDuringPauseFires;
            tDue = tResumeCalled + Limit(kDuringPauseMs);
        }
        const double late = MillisecondsBetween(tDue, t);
        Row(t, "F", "one-shot", id, Late(late).c_str(),
            "started while paused: its 300 ms counted from the resume");
        Expect(late > -kEarlyMs, "a timer started while paused counts from the resume");
        duringPauseDone.Raise();
    });
    duringPause.Relative(idDuringPause, &duringPauseSite, kDuringPauseMs);
    hr = pHorolog->StartTimer(&duringPause.record);
    Row(Clock::now(), "F", "one-shot", idDuringPause, "", "started while paused, due in 300 ms");
    Expect(hr == S_OK, "StartTimer works while paused");
    std::this_thread::sleep_until(tPauseReturned + Limit(kPauseMs));
    {
        std::lock_guard<std::mutex> lock(mtxState);
        bPaused = false;
        tResumeCalled = Clock::now();
    }
    Row(tResumeCalled, "", "", 0, "", "ResumeTimers");
    pHorolog->ResumeTimers();

    // 7. The repeating timer stops itself; the absolute timer comes last.
    Expect(beforePauseDone.Wait(Limit(10000)), "the timer due during the pause is delivered");
    Expect(duringPauseDone.Wait(Limit(10000)), "the timer started while paused expires");
    Expect(chainedDone.Wait(Limit(10000)), "the timer started from a callback expires");
    Expect(repeatStopped.Wait(Limit(10000)), "the repeating timer reaches its last fire");
    Expect(absoluteDone.Wait(Limit(15000)), "the absolute timer expires");

    {
        std::lock_guard<std::mutex> lock(mtxState);
        Expect(nCallbacksWhilePaused == 0, "no relative callback runs while paused");
        Expect(nPastFires == 0, "the timer ten minutes in the past is never called");
        Expect(nRepeatFires == kRepeatStopsAtFire, "the repeating timer fired exactly 8 times");
        Expect(nBeforePauseFires == 1 && nDuringPauseFires == 1,
               "each one-shot timer fires exactly once");
    }
    // The records go with this function: take them back first (harmless for
    // the timers that have expired; see the load mode).
    for (DWORD id : {idPast, idOneShot, idChained, idRepeat, idAbs, idBeforePause, idDuringPause})
        pHorolog->StopTimer(id);
    return 0;
}

// ---- load mode --------------------------------------------------------------

int RunLoad(IHorolog* pHorolog, int nTimers, int nSpanMs, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<LONG> dueMs(10, 10 + nSpanMs);

    std::vector<std::unique_ptr<TimerSlot>> slots;
    std::vector<Clock::time_point> expected(nTimers), fired(nTimers);
    std::map<DWORD, int> indexOf;
    std::mutex mtx;
    std::condition_variable cvDone;
    int nFired = 0;
    FunctionSite site([&](DWORD id) {
        const Clock::time_point t = Clock::now();
        std::lock_guard<std::mutex> lock(mtx);
        auto it = indexOf.find(id);
        if (it == indexOf.end()) return;
        fired[it->second] = t;
        if (++nFired == nTimers) cvDone.notify_all();
    });

    std::vector<LONG> dues(nTimers);
    for (int i = 0; i < nTimers; ++i) {
        slots.emplace_back(new TimerSlot);
        dues[i] = dueMs(random);
        DWORD id = static_cast<DWORD>(i + 1);
        slots[i]->Relative(id, &site, dues[i]);
        indexOf[id] = i;
    }
    Say("load: %d one-shot timers due uniformly in [10, %d] ms (seed %u)\n", nTimers, 10 + nSpanMs,
        seed);
    g_t0 = Clock::now();
    int nRefused = 0;
    for (int i = 0; i < nTimers; ++i) {
        expected[i] = Clock::now() + std::chrono::milliseconds(dues[i]);
        if (pHorolog->StartTimer(&slots[i]->record) != S_OK) ++nRefused;
    }
    Say("load: started in %.1f ms; counters: %s\n", Elapsed(),
        FormatCounters(ReadCounters()).c_str());
    {
        std::unique_lock<std::mutex> lock(mtx);
        cvDone.wait_for(lock, std::chrono::milliseconds(nSpanMs + 30000),
                        [&] { return nFired == nTimers - nRefused; });
    }
    // A one-shot record stays queued while its callback runs and is looked at
    // once more right after it. Stopping every timer (harmless after the
    // expiry) waits for that and takes the records back before they go.
    for (int i = 0; i < nTimers; ++i) pHorolog->StopTimer(static_cast<DWORD>(i + 1));
    std::vector<double> lateness;
    int nEarly = 0;
    {
        std::lock_guard<std::mutex> lock(mtx);
        for (int i = 0; i < nTimers; ++i) {
            if (fired[i] == Clock::time_point()) continue;
            const double late = MillisecondsBetween(expected[i], fired[i]);
            if (late < 0) ++nEarly;
            lateness.push_back(late);
        }
    }
    Say("load: %zu of %d fired, %d refused, %d early\n", lateness.size(), nTimers, nRefused,
        nEarly);
    Say("load: lateness p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms, min %.3f ms\n",
        Quantile(lateness, 0.5), Quantile(lateness, 0.9), Quantile(lateness, 0.99),
        Quantile(lateness, 1.0), Quantile(lateness, 0.0));
    Say("load: counters: %s\n", FormatCounters(ReadCounters()).c_str());
    Expect(static_cast<int>(lateness.size()) == nTimers, "every timer fires");
    return 0;
}

void Usage(FILE* out) {
    std::fputs(
        "Usage: horolog-demo [--load N [--span MS] [--seed S]]\n"
        "  without options: the scripted tour of the timer service\n"
        "  --load N   start N one-shot timers due uniformly in [10, 10 + MS] ms\n"
        "             (MS defaults to 1000) and print lateness percentiles\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    int nLoad = 0, nSpanMs = 1000;
    unsigned seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto Value = [&](int& out) {
            if (i + 1 >= argc) return false;
            out = std::atoi(argv[++i]);
            return true;
        };
        int n = 0;
        if (arg == "--load" && Value(nLoad) && nLoad > 0) continue;
        if (arg == "--span" && Value(nSpanMs) && nSpanMs >= 0) continue;
        if (arg == "--seed" && Value(n)) {
            seed = static_cast<unsigned>(n);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        Usage(stderr);
        return 2;
    }

    const Clock::time_point tStart = Clock::now();
    g_t0 = tStart;
    UsePrivateRegistry("demo-registry");
    if (FAILED(CoInitialize(nullptr))) {
        std::fputs("horolog-demo: COM could not be initialised\n", stderr);
        return 1;
    }

    Say("Horolog demo: one shared timer service for every component of a process\n");
    HRESULT hr = CallRegistration(false);
    if (FAILED(hr)) {
        std::fprintf(stderr, "horolog-demo: DllRegisterServer failed (0x%08X)\n",
                     static_cast<unsigned>(hr));
        CoUninitialize();
        return 1;
    }
    Say("registered %s in %s\n", kHorologFile, RegistryFolder().c_str());
    Say("  CLSID %s -> %s\n", GuidText(CLSID_Horolog).c_str(), RegisteredServerPath().c_str());

    IHorolog* pHorolog = GetHorolog();
    if (pHorolog == nullptr) {
        std::fputs("horolog-demo: GetHorolog returned no manager\n", stderr);
        CallRegistration(true);
        CoUninitialize();
        return 1;
    }
    // A second component asking gets the same manager.
    IHorolog* pSecond = GetHorolog();
    Say("GetHorolog: manager %p (a second call: %s); counters: %s\n", static_cast<void*>(pHorolog),
        pSecond == pHorolog ? "the same manager" : "ANOTHER manager",
        FormatCounters(ReadCounters()).c_str());
    Expect(pSecond == pHorolog, "GetHorolog hands every caller the one manager");
    if (pSecond) pSecond->Release();

    if (nLoad > 0) {
        RunLoad(pHorolog, nLoad, nSpanMs, seed);
    } else {
        RunTour(pHorolog);
    }

    const Counters before = ReadCounters();
    Say("\ncounters through the object database, before the release:\n");
    Say("  CHorolog.m_uiObjectCount     %u\n", before.objects);
    Say("  CHorolog.m_uiRefCount        %u\n", before.refs);
    Say("  CHorolog.m_uiTimersCount     %u\n", before.timers);
    Say("  CHorolog.m_uiAbsTimersCount  %u\n", before.absTimers);
    Say("  CHorolog.m_uiThreadCount     %u\n", before.threads);
    pHorolog->Release();
    const Counters after = ReadCounters();
    Say("after the release: %s\n", FormatCounters(after).c_str());
    Expect(after.objects == 0 && after.refs == 0, "the last Release destroys the manager");

    hr = CallRegistration(true);
    Say("unregistered (0x%08X)\n", static_cast<unsigned>(hr));
    Expect(SUCCEEDED(hr), "DllUnregisterServer succeeds");
    CoUninitialize();

    Say("done in %.2f s: %s\n", MillisecondsBetween(tStart, Clock::now()) / 1000.0,
        g_nFailures == 0 ? "every expectation held" : "SOME EXPECTATIONS FAILED");
    return g_nFailures == 0 ? 0 : 1;
}

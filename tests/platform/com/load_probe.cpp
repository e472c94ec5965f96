#define LOAD_PROBE_BUILD
#include "load_probe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// Static, so that it lives as long as the library: the modules that record
// here depend on it and so are unloaded (and destroyed at exit) before it.
struct State {
    std::mutex lock;
    std::vector<std::string> events;
    std::set<std::string> failing;
};

State& state() {
    static State s;
    return s;
}

std::string probe_file() {
#if defined(_WIN32)
    char buffer[1024];
    const DWORD n = GetEnvironmentVariableA("WINPLAT_PROBE_FILE", buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
#else
    const char* value = std::getenv("WINPLAT_PROBE_FILE");
    return value != nullptr ? value : "";
#endif
}

}  // namespace

void probe_record(const char* event) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.lock);
    s.events.emplace_back(event);
    const std::string file = probe_file();
    if (!file.empty()) {
        if (FILE* f = std::fopen(file.c_str(), "a")) {
            std::fprintf(f, "%s\n", event);
            std::fclose(f);
        }
    }
}

void probe_clear(void) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.lock);
    s.events.clear();
}

int probe_size(void) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.lock);
    return static_cast<int>(s.events.size());
}

bool probe_event(int index, char* buffer, size_t size) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (index < 0 || static_cast<size_t>(index) >= s.events.size() || size == 0) return false;
    std::snprintf(buffer, size, "%s", s.events[static_cast<size_t>(index)].c_str());
    return true;
}

void probe_set_attach_failure(const char* module, bool fail) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (fail) {
        s.failing.insert(module);
    } else {
        s.failing.erase(module);
    }
}

bool probe_attach_should_fail(const char* module) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.lock);
    return s.failing.count(module) != 0;
}

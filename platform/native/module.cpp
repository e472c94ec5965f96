// The loader: LoadLibraryA and friends on top of the dynamic linker.
//
// Every module (a shared object built with horolog_add_module) carries an
// entry object whose ELF constructor reports the module's DllMain here
// (winplat_module_attach) and whose ELF destructor, and an exit-time guard,
// report its unmapping (winplat_module_detach). This file keeps one record
// per module and decides when DllMain runs:
//
// - Mapped by LoadLibraryA (the module itself or a module it depends on):
//   the constructors only note the module; once dlopen returns, and so once
//   every static object of every newly mapped module is constructed,
//   LoadLibraryA calls DLL_PROCESS_ATTACH for each of them, dependencies
//   first. When one returns FALSE it gets DLL_PROCESS_DETACH at once (as
//   Windows does), modules after it get no call, the library is closed again
//   and LoadLibraryA fails with ERROR_DLL_INIT_FAILED.
// - Mapped at program start (linked into the executable or into another
//   module linked there), or by a plain dlopen: DLL_PROCESS_ATTACH runs
//   from the constructor, lpReserved non-null. Windows refuses to start a
//   process whose DLL fails to initialise; here the process prints why and
//   exits with status 127, as the dynamic linker does for a missing library.
//
// DLL_PROCESS_DETACH runs once per attach: when FreeLibrary drops the last
// LoadLibraryA reference to a module that LoadLibraryA mapped (lpReserved
// null), when a module mapped as a dependency is unmapped with the module
// that needed it (lpReserved null), or at process exit (lpReserved
// non-null), before the module's own static objects are destroyed. A
// module whose last reference is gone but which the dynamic linker keeps
// mapped (because another object still needs it, or because it cannot be
// unloaded) counts as unloaded: the look-up functions no longer find it and
// a later LoadLibraryA attaches it again.
//
// No DLL_THREAD_ATTACH / DLL_THREAD_DETACH notifications are sent.
//
// The loader lock (a recursive mutex) is held while DllMain runs, as on
// Windows: DllMain may call the loader functions, but must not wait for a
// thread that does.
#include "winplat/winapi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum class State {
    pending,   // mapped, process attach not run yet
    attached,  // process attach succeeded
    unloaded,  // detached (or never attached) but still mapped
};

struct Module {
    const void* anchor = nullptr;  // null for a shared object without an entry object
    PDLLMAIN dll_main = nullptr;
    HMODULE base = nullptr;
    std::string path;
    State state = State::pending;
    // References taken by LoadLibraryA and GetModuleHandleExA, each backed
    // by one reference of the dynamic linker on `dl`.
    unsigned refs = 0;
    void* dl = nullptr;
    // Mapped by a LoadLibraryA of this very module: its last reference
    // unloads it. Modules mapped at start-up or as a dependency stay until
    // the dynamic linker unmaps them.
    bool owned = false;
    bool pinned = false;
};

struct Loader {
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<Module>> modules;
};

// Never destroyed: modules report their unmapping from exit handlers that
// may run after this library's static objects are gone.
Loader& loader() {
    static Loader* instance = new Loader;
    return *instance;
}

using LoaderLock = std::lock_guard<std::recursive_mutex>;

// A LoadLibraryA in progress on this thread: the modules its dlopen mapped.
struct LoadContext {
    LoadContext* outer = nullptr;
    std::vector<Module*> mapped;
};
thread_local LoadContext* t_load = nullptr;
// Inside a dlclose of our own: a module unmapped now is being freed, not
// torn down by process exit.
thread_local int t_unloading = 0;

// ---- shared objects of the process ----------------------------------------

struct Object {
    HMODULE base;
    std::string name;  // as the dynamic linker loaded it; empty for the executable
};

std::vector<Object> loaded_objects() {
    std::vector<Object> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            ElfW(Addr) lowest = ~static_cast<ElfW(Addr)>(0);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest) {
                    lowest = info->dlpi_phdr[i].p_vaddr;
                }
            }
            if (lowest == ~static_cast<ElfW(Addr)>(0)) return 0;
            const auto page = static_cast<ElfW(Addr)>(::sysconf(_SC_PAGESIZE));
            const ElfW(Addr) start = info->dlpi_addr + (lowest & ~(page - 1));
            static_cast<std::vector<Object>*>(data)->push_back(
                Object{reinterpret_cast<HMODULE>(start),
                       info->dlpi_name != nullptr ? info->dlpi_name : ""});
            return 0;
        },
        &objects);
    return objects;
}

const std::string& executable_path() {
    static const std::string* path = [] {
        char buffer[PATH_MAX + 1];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
        return new std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }();
    return *path;
}

HMODULE executable_base() {
    std::vector<Object> objects = loaded_objects();
    return objects.empty() ? nullptr : objects.front().base;
}

std::string canonical(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) != nullptr) return buffer;
    return path;
}

std::string file_name_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool names_equal(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool is_regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A name without an extension gets the default one; a trailing '.' means
// "no extension" and is dropped, as on Windows. A Windows module name
// ("Horolog.dll") also names the shared object of the same stem here
// ("Horolog.so"), so that code written for both platforms finds its modules
// by the name it uses on Windows.
std::vector<std::string> names_to_try(const char* name) {
    std::string file = name;
    const size_t slash = file.find_last_of('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (!file.empty() && file.back() == '.') {
        file.pop_back();
    } else if (file.find('.', start) == std::string::npos) {
        file += ".so";
    }
    std::vector<std::string> names{file};
    if (file.size() > 4 && ::strcasecmp(file.c_str() + file.size() - 4, ".dll") == 0) {
        names.push_back(file.substr(0, file.size() - 4) + ".so");
    }
    return names;
}

// ---- module records (loader lock held) ------------------------------------

Module* find_record(HMODULE base) {
    for (auto& m : loader().modules) {
        if (m->base == base) return m.get();
    }
    return nullptr;
}

Module* find_record_by_anchor(const void* anchor) {
    for (auto& m : loader().modules) {
        if (m->anchor == anchor) return m.get();
    }
    return nullptr;
}

void remove_record(Module* module) {
    auto& modules = loader().modules;
    for (auto it = modules.begin(); it != modules.end(); ++it) {
        if (it->get() == module) {
            modules.erase(it);
            return;
        }
    }
}

// A shared object the look-up functions report: mapped, and not a module
// that counts as unloaded.
bool visible(HMODULE base) {
    const Module* m = find_record(base);
    return m == nullptr || m->state != State::unloaded;
}

bool is_mapped(HMODULE base) {
    for (const Object& o : loaded_objects()) {
        if (o.base == base) return true;
    }
    return false;
}

std::string path_of(const Object& object) {
    if (const Module* m = find_record(object.base)) return m->path;
    return object.name.empty() ? executable_path() : canonical(object.name);
}

// A loaded shared object by file name (compared without regard to case) or
// by path.
const Object* find_object(const std::vector<Object>& objects, const std::string& file) {
    const bool by_path = file.find('/') != std::string::npos;
    const std::string wanted = by_path ? canonical(file) : file;
    for (const Object& o : objects) {
        if (!visible(o.base)) continue;
        const std::string path = path_of(o);
        if (by_path) {
            if (path == wanted) return &o;
        } else if (names_equal(file_name_of(path), wanted) ||
                   (!o.name.empty() && names_equal(file_name_of(o.name), wanted))) {
            return &o;
        }
    }
    return nullptr;
}

const Object* find_object(const std::vector<Object>& objects,
                          const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (const Object* o = find_object(objects, name)) return o;
    }
    return nullptr;
}

// Runs the process-attach notification. A module whose DllMain fails is
// sent the process-detach notification right away, as Windows does.
bool attach(Module* m, LPVOID reserved) {
    if (m->dll_main == nullptr) {
        m->state = State::attached;
        return true;
    }
    const auto instance = reinterpret_cast<HINSTANCE>(m->base);
    if (m->dll_main(instance, DLL_PROCESS_ATTACH, reserved)) {
        m->state = State::attached;
        return true;
    }
    m->dll_main(instance, DLL_PROCESS_DETACH, reserved);
    m->state = State::unloaded;
    return false;
}

void detach(Module* m, LPVOID reserved) {
    if (m->state == State::attached && m->dll_main != nullptr) {
        m->dll_main(reinterpret_cast<HINSTANCE>(m->base), DLL_PROCESS_DETACH, reserved);
    }
    m->state = State::unloaded;
}

void close_library(void* dl) {
    ++t_unloading;
    ::dlclose(dl);
    --t_unloading;
}

DWORD error_from_dlerror(const char* message, const std::string& path) {
    const std::string text = message != nullptr ? message : "";
    if (text.find("undefined symbol") != std::string::npos) return ERROR_PROC_NOT_FOUND;
    if (text.find("cannot open shared object file") != std::string::npos) {
        return ERROR_MOD_NOT_FOUND;
    }
    return is_regular_file(path) ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND;
}

// Where a bare file name is looked for: the executable's directory first,
// then the dynamic linker's search (LD_LIBRARY_PATH, the system
// directories), then the current directory.
void* open_by_name(const std::string& file, std::string* tried) {
    const std::string& exe = executable_path();
    const std::string in_exe_dir = exe.substr(0, exe.find_last_of('/') + 1) + file;
    if (is_regular_file(in_exe_dir)) {
        *tried = in_exe_dir;
        return ::dlopen(in_exe_dir.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    *tried = file;
    void* dl = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl != nullptr || !is_regular_file(file)) return dl;
    *tried = canonical(file);
    return ::dlopen(tried->c_str(), RTLD_NOW | RTLD_LOCAL);
}

HMODULE base_of_handle(void* dl) {
    link_map* map = nullptr;
    if (::dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
    Dl_info info;
    if (map->l_ld != nullptr && ::dladdr(map->l_ld, &info) != 0) {
        return reinterpret_cast<HMODULE>(info.dli_fbase);
    }
    return reinterpret_cast<HMODULE>(map->l_addr);
}

// Takes one more reference on a loaded module (GetModuleHandleExA).
void add_reference(Module* m) {
    void* dl = ::dlopen(m->path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (dl == nullptr) return;
    if (m->refs == 0) m->dl = dl;
    ++m->refs;
}

}  // namespace

extern "C" {

void winplat_module_attach(const void* anchor, PDLLMAIN dll_main) {
    Dl_info info;
    if (::dladdr(anchor, &info) == 0) return;
    LoaderLock lk(loader().lock);
    const auto base = reinterpret_cast<HMODULE>(info.dli_fbase);
    // A record left for an earlier mapping at this address is stale: the
    // constructors run once per mapping.
    if (Module* stale = find_record(base)) remove_record(stale);
    auto record = std::make_unique<Module>();
    record->anchor = anchor;
    record->dll_main = dll_main;
    record->base = base;
    record->path = canonical(info.dli_fname != nullptr ? info.dli_fname : "");
    Module* m = record.get();
    loader().modules.push_back(std::move(record));
    if (t_load != nullptr) {
        t_load->mapped.push_back(m);
        return;
    }
    if (!attach(m, reinterpret_cast<LPVOID>(1))) {
        std::fprintf(stderr,
                     "%s: the initialisation of %s failed (DllMain returned FALSE for "
                     "DLL_PROCESS_ATTACH); the process cannot start.\n",
                     executable_path().c_str(), m->path.c_str());
        std::fflush(stderr);
        ::_exit(127);
    }
}

void winplat_module_detach(const void* anchor, PDLLMAIN dll_main) {
    LoaderLock lk(loader().lock);
    Module* m = find_record_by_anchor(anchor);
    if (m == nullptr) return;  // already reported (destructor and exit guard both call)
    detach(m, t_unloading > 0 ? nullptr : reinterpret_cast<LPVOID>(1));
    remove_record(m);
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::vector<std::string> names = names_to_try(lpLibFileName);
    LoaderLock lk(loader().lock);

    LoadContext context;
    context.outer = t_load;
    t_load = &context;
    ::dlerror();  // forget older errors: the one reported is this load's
    std::string tried;
    void* dl = nullptr;
    bool opened = false;
    // A path names its file; a bare name that a loaded module has is that
    // module (Windows looks at loaded modules first).
    const std::vector<Object> objects = loaded_objects();
    for (const std::string& file : names) {
        if (file.find('/') != std::string::npos) {
            if (tried.empty()) tried = file;
            if (!is_regular_file(file)) continue;
            tried = file;
        } else if (const Object* o = find_object(objects, file)) {
            tried = path_of(*o);
        } else {
            continue;
        }
        dl = ::dlopen(tried.c_str(), RTLD_NOW | RTLD_LOCAL);
        opened = true;
        break;
    }
    if (!opened) {
        for (const std::string& file : names) {
            if (file.find('/') != std::string::npos) continue;
            dl = open_by_name(file, &tried);
            // Found but not loadable: that is the error to report.
            if (dl != nullptr || is_regular_file(tried)) break;
        }
    }
    t_load = context.outer;

    if (dl == nullptr) {
        const DWORD error = error_from_dlerror(::dlerror(), tried);
        // Nothing the failed dlopen mapped stays mapped.
        for (Module* m : context.mapped) {
            if (!is_mapped(m->base)) remove_record(m);
        }
        SetLastError(error);
        return nullptr;
    }

    const HMODULE base = base_of_handle(dl);
    Module* target = find_record(base);
    if (target == nullptr) {
        // A shared object without an entry object: no DllMain to run.
        auto record = std::make_unique<Module>();
        record->base = base;
        Dl_info info;
        record->path = canonical(
            ::dladdr(base, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : tried);
        record->state = State::attached;
        target = record.get();
        loader().modules.push_back(std::move(record));
    }
    const bool newly_loaded = target->state != State::attached;

    // Process attach, dependencies first (the order their constructors ran).
    std::vector<Module*> to_attach = context.mapped;
    if (target->state == State::unloaded) to_attach.push_back(target);
    bool failed = false;
    for (Module* m : to_attach) {
        if (failed) {
            m->state = State::unloaded;  // never attached: no notification at all
        } else if (m->state != State::attached) {
            failed = !attach(m, nullptr);
        }
    }
    if (failed) {
        close_library(dl);  // may unmap and drop the records just attached
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }

    if (newly_loaded) target->owned = true;
    if (target->refs == 0) target->dl = dl;
    ++target->refs;
    return base;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (hLibModule == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    LoaderLock lk(loader().lock);
    Module* m = find_record(hLibModule);
    if (m == nullptr || m->state == State::unloaded) {
        // The executable and shared objects we do not count stay loaded.
        if (m == nullptr && is_mapped(hLibModule)) return TRUE;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (m->pinned || m->refs == 0) return TRUE;
    void* dl = m->dl;
    if (--m->refs == 0) {
        m->dl = nullptr;
        if (m->anchor == nullptr) {
            remove_record(m);
        } else if (m->owned) {
            detach(m, nullptr);
        }
    }
    close_library(dl);  // the module's record may be gone after this
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    LoaderLock lk(loader().lock);
    const HMODULE base = hModule != nullptr ? hModule : executable_base();
    const std::vector<Object> objects = loaded_objects();
    const Object* object = nullptr;
    for (const Object& o : objects) {
        if (o.base == base && visible(o.base)) object = &o;
    }
    if (object == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Exports by ordinal do not exist here.
    if (reinterpret_cast<uintptr_t>(lpProcName) >> 16 == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* dl = object == &objects.front() ? ::dlopen(nullptr, RTLD_LAZY)
                                          : ::dlopen(object->name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    void* symbol = dl != nullptr ? ::dlsym(dl, lpProcName) : nullptr;
    if (dl != nullptr) ::dlclose(dl);
    // dlsym also searches the object's dependencies; GetProcAddress finds
    // only what the module itself exports.
    Dl_info info;
    if (symbol == nullptr || ::dladdr(symbol, &info) == 0 ||
        reinterpret_cast<HMODULE>(info.dli_fbase) != base) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    LoaderLock lk(loader().lock);
    const std::vector<Object> objects = loaded_objects();
    if (lpModuleName == nullptr) return objects.empty() ? nullptr : objects.front().base;
    if (const Object* o = find_object(objects, names_to_try(lpModuleName))) {
        return o->base;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if ((dwFlags & ~kKnown) != 0 || ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) &&
                                     (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LoaderLock lk(loader().lock);
    HMODULE base = nullptr;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info;
        if (lpModuleName != nullptr && ::dladdr(lpModuleName, &info) != 0 &&
            visible(reinterpret_cast<HMODULE>(info.dli_fbase))) {
            base = reinterpret_cast<HMODULE>(info.dli_fbase);
        }
    } else {
        const std::vector<Object> objects = loaded_objects();
        if (lpModuleName == nullptr) {
            if (!objects.empty()) base = objects.front().base;
        } else if (const Object* o = find_object(objects, names_to_try(lpModuleName))) {
            base = o->base;
        }
    }
    if (base == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0) {
        if (Module* m = find_record(base)) {
            if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) {
                m->pinned = true;
            } else {
                add_reference(m);
            }
        }
    }
    *phModule = base;
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    {
        LoaderLock lk(loader().lock);
        if (hModule == nullptr) {
            path = executable_path();
        } else {
            const std::vector<Object> objects = loaded_objects();
            for (const Object& o : objects) {
                if (o.base == hModule && visible(o.base)) path = path_of(o);
            }
            if (path.empty()) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            }
        }
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (lpFilename == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path.size() < nSize) {
        std::memcpy(lpFilename, path.c_str(), path.size() + 1);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(path.size());
    }
    // Truncated, but terminated, as Windows does since Vista.
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

}  // extern "C"

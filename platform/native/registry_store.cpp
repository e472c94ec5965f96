// The on-disk form of the registry: names, the values file, the root lock and
// the atomic file-system steps every change is made of.
#include "registry_store.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winplat::registry {

namespace {

constexpr const char* kValuesFile = ".values";
constexpr const char* kTempPrefix = ".values.tmp.";
constexpr const char* kTombstonePrefix = ".del.";
constexpr const char* kLockFile = ".lock";
constexpr const char* kIdFile = ".id";
constexpr const char* kValuesHeader = "winplat-registry-values 1";

const char* const kHives[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

void append_escaped_byte(std::string* out, unsigned char c) {
    static const char kHex[] = "0123456789ABCDEF";
    out->push_back('%');
    out->push_back(kHex[c >> 4]);
    out->push_back(kHex[c & 0xF]);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Escaping inside the values file: the field and line separators, '%'
// itself and every other control byte become %XX.
std::string escape_field(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '%') {
            append_escaped_byte(&out, c);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

bool unescape_field(std::string_view s, std::string* out) {
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out->push_back(s[i]);
            continue;
        }
        if (i + 2 >= s.size()) return false;
        const int hi = hex_digit(s[i + 1]);
        const int lo = hex_digit(s[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p; an existing directory is success.
int make_directories(const std::string& path) {
    if (path.empty()) return ENOENT;
    if (is_directory(path)) return 0;
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const int err = make_directories(path.substr(0, slash));
        if (err != 0) return err;
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    return is_directory(path) ? 0 : ENOTDIR;
}

// Removes one of our leftovers: a temporary values file or a tombstone
// (a deleted key: a directory holding at most its values file).
void remove_leftover(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno != EISDIR) return;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string_view name = e->d_name;
            if (name == "." || name == "..") continue;
            ::unlink((path + "/" + e->d_name).c_str());
        }
        ::closedir(d);
    }
    ::rmdir(path.c_str());
}

bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    }
    return true;
}

bool name_less(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(ascii_upper(a[i]));
        const auto cb = static_cast<unsigned char>(ascii_upper(b[i]));
        if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
}

std::string escape_key_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F || c == '%' || c == '/' || (i == 0 && c == '.')) {
            append_escaped_byte(&out, c);
        } else {
            out.push_back(name[i]);
        }
    }
    return out;
}

std::string unescape_key_name(std::string_view dir_name) {
    std::string out;
    if (!unescape_field(dir_name, &out)) return std::string(dir_name);
    return out;
}

std::string encode_values(const std::vector<Value>& values) {
    std::string out = kValuesHeader;
    out.push_back('\n');
    for (const Value& v : values) {
        out += escape_field(v.name);
        out.push_back('\t');
        out += std::to_string(v.type);
        out.push_back('\t');
        out += escape_field(v.data);
        out.push_back('\n');
    }
    return out;
}

bool decode_values(std::string_view text, std::vector<Value>* values) {
    values->clear();
    size_t pos = text.find('\n');
    if (pos == std::string_view::npos || text.substr(0, pos) != kValuesHeader) return false;
    ++pos;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) return false;  // a line is complete or absent
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t tab1 = line.find('\t');
        const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos) return false;
        if (line.find('\t', tab2 + 1) != std::string_view::npos) return false;
        const std::string_view type_text = line.substr(tab1 + 1, tab2 - tab1 - 1);
        if (type_text.empty() || type_text.size() > 10) return false;
        unsigned long long type = 0;
        for (char c : type_text) {
            if (c < '0' || c > '9') return false;
            type = type * 10 + static_cast<unsigned>(c - '0');
        }
        if (type > 0xFFFFFFFFull) return false;
        Value v;
        v.type = static_cast<DWORD>(type);
        if (!unescape_field(line.substr(0, tab1), &v.name)) return false;
        if (!unescape_field(line.substr(tab2 + 1), &v.data)) return false;
        values->push_back(std::move(v));
    }
    return true;
}

std::string root_from_environment() {
    const char* explicit_root = std::getenv("WINPLAT_REGISTRY");
    std::string root;
    if (explicit_root != nullptr && explicit_root[0] != '\0') {
        root = explicit_root;
    } else if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        root = std::string(xdg) + "/winplat/registry";
    } else {
        const char* home = std::getenv("HOME");
        std::string home_dir = home != nullptr ? home : "";
        if (home_dir.empty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
                home_dir = pw->pw_dir;
            }
        }
        if (home_dir.empty()) return std::string();
        root = home_dir + "/.local/share/winplat/registry";
    }
    // Handles remember the root; keep it valid across a change of directory.
    if (root[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return std::string();
        root = std::string(cwd) + "/" + root;
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

LONG ensure_root(const std::string& root) {
    if (root.empty()) return ERROR_CANTOPEN;
    for (const char* hive : kHives) {
        const int err = make_directories(root + "/" + hive);
        if (err != 0) return error_from_errno(err, ERROR_CANTOPEN);
    }
    return ERROR_SUCCESS;
}

RootLock::RootLock(const std::string& root, bool exclusive) {
    const std::string path = root + "/" + kLockFile;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0 && !exclusive) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        status_ = error_from_errno(errno, ERROR_CANTOPEN);
        return;
    }
    while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno == EINTR) continue;
        status_ = error_from_errno(errno, ERROR_CANTOPEN);
        ::close(fd_);
        fd_ = -1;
        return;
    }
}

RootLock::~RootLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the flock
}

bool identify(const std::string& dir, KeyIdentity* identity) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    identity->dev = st.st_dev;
    identity->ino = st.st_ino;
    identity->id.clear();
    const int fd = ::open((dir + "/" + kIdFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) identity->id.assign(buffer, static_cast<size_t>(n));
        ::close(fd);
    }
    return true;
}

LONG create_key_dir(const std::string& parent, const std::string& name) {
    const std::string dir = parent + "/" + name;
    if (::mkdir(dir.c_str(), 0755) != 0) {
        return errno == ENAMETOOLONG ? ERROR_INVALID_PARAMETER
                                     : error_from_errno(errno, ERROR_CANTWRITE);
    }
    static std::atomic<unsigned long> counter{0};
    std::random_device random;
    char id[64];
    const int len = std::snprintf(id, sizeof id, "%08x%08x-%ld-%lu", random(), random(),
                                  static_cast<long>(::getpid()), counter.fetch_add(1));
    // Without its id (a crash right after mkdir) a key is still a key; its
    // directory's inode then tells it apart from later keys of its name.
    const int fd =
        ::open((dir + "/" + kIdFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        write_all(fd, std::string(id, static_cast<size_t>(len)));
        ::close(fd);
    }
    return ERROR_SUCCESS;
}

std::vector<std::string> list_subkey_dirs(const std::string& dir, bool tidy) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    std::vector<std::string> leftovers;
    while (dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name[0] == '.') {
            if (tidy && (starts_with(name, kTempPrefix) || starts_with(name, kTombstonePrefix))) {
                leftovers.emplace_back(name);
            }
            continue;
        }
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK)
            is_dir = is_directory(dir + "/" + e->d_name);
        if (is_dir) names.emplace_back(name);
    }
    ::closedir(d);
    for (const std::string& name : leftovers) remove_leftover(dir + "/" + name);
    return names;
}

std::string find_subkey_dir(const std::string& dir, std::string_view name) {
    const std::string exact = escape_key_name(name);
    if (is_directory(dir + "/" + exact)) return exact;
    for (const std::string& entry : list_subkey_dirs(dir, false)) {
        if (names_equal(unescape_key_name(entry), name)) return entry;
    }
    return std::string();
}

LONG read_values(const std::string& dir, std::vector<Value>* values) {
    values->clear();
    const std::string path = dir + "/" + kValuesFile;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return ERROR_SUCCESS;
        return error_from_errno(errno, ERROR_CANTREAD);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return error_from_errno(err, ERROR_CANTREAD);
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return decode_values(text, values) ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG write_values(const std::string& dir, const std::vector<Value>& values) {
    const std::string path = dir + "/" + kValuesFile;
    if (values.empty()) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return error_from_errno(errno, ERROR_CANTWRITE);
        }
        return ERROR_SUCCESS;
    }
    const std::string temp = dir + "/" + kTempPrefix + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return error_from_errno(errno, ERROR_CANTWRITE);
    // The data reaches the disk before the rename publishes it, so that the
    // file in place is always complete.
    const bool ok = write_all(fd, encode_values(values)) && ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int rename_err = ok ? errno : err;
        ::unlink(temp.c_str());
        return error_from_errno(rename_err, ERROR_CANTWRITE);
    }
    return ERROR_SUCCESS;
}

LONG remove_key_dir(const std::string& parent, const std::string& dir_name) {
    static std::atomic<unsigned long> counter{0};
    const std::string tombstone = parent + "/" + kTombstonePrefix + std::to_string(::getpid()) +
                                  "." + std::to_string(counter.fetch_add(1));
    if (::rename((parent + "/" + dir_name).c_str(), tombstone.c_str()) != 0) {
        return error_from_errno(errno, ERROR_CANTWRITE);
    }
    // The key is gone once renamed; what remains is tidying. A tombstone left
    // behind by a crash is removed by the next change under `parent`.
    remove_leftover(tombstone);
    return ERROR_SUCCESS;
}

LONG error_from_errno(int err, LONG fallback) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return fallback;
    }
}

}  // namespace winplat::registry

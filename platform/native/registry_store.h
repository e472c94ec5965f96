// Private to libwinplat: the on-disk form of the registry.
//
// Layout under the root directory:
//
//   <root>/.lock                       flock'ed by every operation (shared to
//                                      read, exclusive to change anything)
//   <root>/HKEY_CLASSES_ROOT/          one directory per predefined key
//   <root>/HKEY_CLASSES_ROOT/Foo/Bar/  one directory per key
//   <key dir>/.values                  the key's values, if it has any
//   <key dir>/.id                      a random id given to the key when it
//                                      was created
//   <key dir>/.id                      a random id given to the key when it
//                                      was created
//
// Directory names are key names with '%', '/', control characters and a
// leading '.' written as %XX, so that every name that starts with '.' is
// ours, never a key: ".values", the temporary files a write renames into
// place, and the tombstones a deletion renames a key to before removing it.
// Each change is one atomic step on disk (mkdir, rename of a complete file,
// rename of the deleted key out of the way), so a crash at any moment
// leaves every key either as it was or as it became, never half-written.
#ifndef WINPLAT_NATIVE_REGISTRY_STORE_H
#define WINPLAT_NATIVE_REGISTRY_STORE_H

#include "winplat/winapi.h"

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace winplat::registry {

// Longest key name component Windows accepts.
constexpr size_t kMaxKeyNameChars = 255;

struct Value {
    std::string name;  // empty for the default (unnamed) value
    DWORD type = REG_NONE;
    std::string data;  // raw bytes, exactly as written
};

// ASCII case-insensitive comparison, as the registry compares names.
bool names_equal(std::string_view a, std::string_view b);
// Enumeration order: by the upper-cased name.
bool name_less(std::string_view a, std::string_view b);

// Key name <-> directory name.
std::string escape_key_name(std::string_view name);
std::string unescape_key_name(std::string_view dir_name);

// The values file. decode_values() returns false on a malformed file.
std::string encode_values(const std::vector<Value>& values);
bool decode_values(std::string_view text, std::vector<Value>* values);

// The registry root for this process right now: $WINPLAT_REGISTRY, else
// $XDG_DATA_HOME/winplat/registry, else $HOME/.local/share/winplat/registry.
// Empty when none can be determined.
std::string root_from_environment();

// Creates the root, its lock file's directory and the predefined keys when
// missing. Returns ERROR_SUCCESS or a Win32 error.
LONG ensure_root(const std::string& root);

// Holds the root's lock file flock'ed for the lifetime of the object.
class RootLock {
  public:
    RootLock(const std::string& root, bool exclusive);
    ~RootLock();
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;
    // ERROR_SUCCESS when the lock is held.
    LONG status() const { return status_; }

  private:
    int fd_ = -1;
    LONG status_ = ERROR_SUCCESS;
};

// Identity of a key, so that a handle notices when its key was deleted, also
// when a key of the same name was created since (whose directory may well
// get the same inode).
struct KeyIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string id;
    bool operator==(const KeyIdentity& other) const {
        return dev == other.dev && ino == other.ino && id == other.id;
    }
};
bool identify(const std::string& dir, KeyIdentity* identity);

// Creates the directory of a new key `name` (escaped) in `parent`, with its
// id. Returns ERROR_SUCCESS or a Win32 error.
LONG create_key_dir(const std::string& parent, const std::string& name);

// Subkeys of a key directory: on-disk names (escaped). Leftovers of
// interrupted writes and deletions are skipped; with `tidy` they are also
// removed (the caller holds the exclusive lock).
std::vector<std::string> list_subkey_dirs(const std::string& dir, bool tidy);

// Finds the subkey of `dir` whose name equals `name` case-insensitively.
// Returns its on-disk name, or an empty string.
std::string find_subkey_dir(const std::string& dir, std::string_view name);

// Reads a key's values. ERROR_SUCCESS (no file: no values) or ERROR_BADDB /
// ERROR_CANTREAD.
LONG read_values(const std::string& dir, std::vector<Value>* values);
// Replaces a key's values atomically (write a temporary file, flush it,
// rename it into place; an empty list removes the file).
LONG write_values(const std::string& dir, const std::vector<Value>& values);

// Deletes an empty key directory atomically: renames it to a tombstone in
// its parent, then removes the tombstone.
LONG remove_key_dir(const std::string& parent, const std::string& dir_name);

// Maps an errno value of a failed file-system call to a Win32 error.
LONG error_from_errno(int err, LONG fallback);

}  // namespace winplat::registry

#endif  // WINPLAT_NATIVE_REGISTRY_STORE_H

// The registry hive: typed values in keys and subkeys under HKEY_LOCAL_MACHINE, kept in
// one text file in the registry-export format.
//
// File format (UTF-8, LF or CRLF line ends):
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\ORVELIN]
//   "Options"=dword:0000001e          DWORD, 1 to 8 hex digits
//   "Auth"="a \"quoted\" C:\\path"    string; escapes \\ \" \n \r \0
//   "Strip"=hex:03,04,05              binary; a line ending in '\' continues on the next
//   "Odd"=hex(7):41,00,00             any other value type, kept as raw bytes
//   @="default value"                 the key's unnamed value
//
// Blank lines and lines starting with ';' are ignored. Anything else (an unknown
// escape, a deletion line "[-...]" or "=-", another root, a value before the first
// key) makes the file malformed.
//
// Invariants:
//  1. The file on disk is only ever replaced whole: a change is written to
//     "<hive>.tmp", synced and renamed over the hive. A reader sees the old file or the
//     new one, never a mix, so reads take no lock.
//  2. Every change is one transaction under flock on "<hive>.lock": take the lock,
//     re-read the file, apply the change, write, release. A read-modify-write inside
//     the transaction can therefore never lose another writer's change.
//  3. The lock is taken on a descriptor opened for this transaction alone. flock
//     locks belong to the open file description, so two threads, or two copies of
//     this code in one process (program and settings library), exclude each other
//     without sharing any in-process state. This code keeps no such state.
//  6. Reads reuse a parsed tree while the file is the one it was parsed from: same
//     device, inode, size, modification and change time to the nanosecond, and a change
//     time old enough that a later write could not share it; otherwise the bytes are
//     compared. A change by rename or by rewriting in place is seen by the next read.
//     Trees handed out are never changed, so any number of threads may read them.
//  4. A malformed file is never written: reads see an empty hive (callers take their
//     defaults), every change is refused with the file name and the line at fault.
//  5. Files are created 0600 (the hive holds passwords) and close-on-exec.
//
// Typical use:
//   const Hive hive = Hive::atDefaultPath();
//   auto key = hive.openKey("SOFTWARE\\ORVELIN", RegAccess::Read);
//   uint32_t options = key ? key->readDword("Options", 0) : 0;
//   hive.update([](RegNode& root) {  // one bit of "Options": one transaction
//       RegNode* k = root.createSubkey("SOFTWARE\\ORVELIN");
//       k->setDword("Options", k->readDword("Options", 0) | 0x20);
//   });
// A key opened once can be walked without reading the file again:
// key->node().subkey("Callers\\123")->readString("Name", "").
//
// Names of keys and values are matched without regard to ASCII case and keep the case
// they were created with. Subkeys are listed sorted by their case-folded names; values
// keep their order of creation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform {

// The registry's value type numbers; other numbers pass through unchanged.
enum class RegType : uint32_t {
    None = 0,
    String = 1,
    ExpandString = 2,
    Binary = 3,
    Dword = 4,
    MultiString = 7,
    Qword = 11,
};

struct RegValue {
    RegType type = RegType::Binary;
    std::vector<uint8_t> data;  // a DWORD as 4 bytes little-endian; a string without terminator

    static RegValue fromDword(uint32_t v);
    static RegValue fromString(std::string_view text);
    static RegValue fromBinary(std::span<const uint8_t> bytes);
    bool operator==(const RegValue&) const = default;
};

enum class RegStatus {
    Ok,
    NotFound,      // key does not exist
    AccessDenied,  // full access or a change on a hive that cannot be written
    Malformed,     // the hive file does not parse; it is kept as it is
    HasSubkeys,    // a key with subkeys cannot be deleted
    InvalidName,   // empty or unrepresentable key name
    IoError,
};

struct RegResult {
    RegStatus status = RegStatus::Ok;
    std::string message;  // for the log: names the file and what went wrong
    bool ok() const { return status == RegStatus::Ok; }
};

// One key in memory, with its values and subkeys. Paths are relative to this key,
// components separated by '\\'; empty components are ignored.
class RegNode {
  public:
    explicit RegNode(std::string name = {});
    RegNode(RegNode&&) noexcept;
    RegNode& operator=(RegNode&&) noexcept;
    ~RegNode();

    const std::string& name() const { return name_; }

    // Values. The empty name is the key's unnamed (default) value.
    const RegValue* value(std::string_view name) const;
    std::vector<std::string> valueNames() const;  // in order of creation
    // Setting an existing value keeps the case its name was created with.
    void setValue(std::string_view name, RegValue value);
    void setDword(std::string_view name, uint32_t v) { setValue(name, RegValue::fromDword(v)); }
    void setString(std::string_view name, std::string_view v) {
        setValue(name, RegValue::fromString(v));
    }
    void setBinary(std::string_view name, std::span<const uint8_t> v) {
        setValue(name, RegValue::fromBinary(v));
    }
    bool deleteValue(std::string_view name);  // false when there was none

    // Typed reads: nullopt when the value is missing, of another type or another size.
    // A DWORD is a DWORD value or a binary value of exactly 4 bytes. A string is a
    // string value (plain or expandable, not expanded) of at most maxBytes bytes,
    // cut at an embedded NUL. Binary data is a binary or DWORD value of exactly
    // `size` bytes.
    std::optional<uint32_t> dword(std::string_view name) const;
    std::optional<std::string> string(std::string_view name, size_t maxBytes = SIZE_MAX) const;
    std::optional<std::vector<uint8_t>> binary(std::string_view name, size_t size) const;
    // The same with the caller's default in place of nullopt.
    uint32_t readDword(std::string_view name, uint32_t def) const {
        return dword(name).value_or(def);
    }
    std::string readString(std::string_view name, std::string_view def,
                           size_t maxBytes = SIZE_MAX) const;
    std::vector<uint8_t> readBinary(std::string_view name, std::span<const uint8_t> def,
                                    size_t size) const;

    // Subkeys.
    const RegNode* subkey(std::string_view path) const;
    RegNode* subkey(std::string_view path);
    // Finds or creates the path; null when a component is not a valid key name
    // (longer than 255 bytes or holding a control character) or the path has more than
    // kMaxKeyDepth components.
    RegNode* createSubkey(std::string_view path);
    std::vector<std::string> subkeyNames() const;  // sorted by case-folded name
    bool hasSubkeys() const;
    // Deletes the key at `path` below this one; refused while it has subkeys.
    RegResult deleteSubkey(std::string_view path);

  private:
    struct Children;
    std::string name_;
    std::vector<std::pair<std::string, RegValue>> values_;
    std::unique_ptr<Children> children_;
};

// The most a hive file may hold, and the deepest a key may be nested below
// HKEY_LOCAL_MACHINE. A hive that could not be written back within both is malformed.
inline constexpr size_t kMaxHiveBytes = size_t{64} << 20;
inline constexpr size_t kMaxKeyDepth = 512;

// Parses hive text into `root` (which becomes HKEY_LOCAL_MACHINE). An empty text is an
// empty hive. On failure `root` is left empty and the message names the line. A text
// that parses is one serializeHive() can write back within the limits above.
RegResult parseHive(std::string_view text, RegNode& root);
// Writes the export-format text of the tree. parseHive(serializeHive(t)) gives t back.
std::string serializeHive(const RegNode& root);

enum class RegAccess { Read, Full };

class RegKey;

// A hive file. The object holds only its path and may be shared between threads.
class Hive {
  public:
    explicit Hive(std::string path);
    // <program directory>orvelin.reg, or the file named by ORVELIN_REGISTRY.
    static Hive atDefaultPath();
    static std::string defaultPath();

    const std::string& path() const { return path_; }

    // Reads the whole hive. A missing file is an empty hive.
    RegResult load(RegNode& root) const;

    // Whether changes can be written: the file parses, and it is not marked read-only
    // (no write permission bit; this holds for root as well) and can be written, and
    // its directory can be written.
    RegResult checkWritable() const;

    // One transaction: `change` gets the freshly read tree (HKEY_LOCAL_MACHINE) and
    // returns void or RegResult; a result that is not Ok abandons the change. The file
    // is rewritten only when the text changed.
    template <typename F>
    RegResult update(F&& change) const {
        return commit([&](RegNode& root) -> RegResult {
            if constexpr (std::is_void_v<std::invoke_result_t<F&, RegNode&>>) {
                change(root);
                return {};
            } else {
                return change(root);
            }
        });
    }

    // Opens an existing key. Full access fails unless checkWritable() passes.
    std::optional<RegKey> openKey(std::string_view path, RegAccess access,
                                  RegResult* error = nullptr) const;
    // Opens the key with full access, creating it and its parents when missing.
    std::optional<RegKey> createKey(std::string_view path, RegResult* error = nullptr) const;

    // One locked read-modify-write of the change function; after the write (or the
    // unchanged text) `committed`, if given, receives the tree as written.
    RegResult commit(const std::function<RegResult(RegNode&)>& change,
                     std::shared_ptr<const RegNode>* committed = nullptr) const;

  private:
    std::string path_;
};

// An open key. Reads come from the state of the hive when the key was opened or last
// changed through this object (refresh() reads again); each change is its own
// transaction against the current file. Not for use by two threads at once.
class RegKey {
  public:
    const std::string& path() const { return path_; }
    RegAccess access() const { return access_; }
    const RegNode& node() const { return *node_; }

    const RegValue* value(std::string_view name) const { return node_->value(name); }
    std::vector<std::string> valueNames() const { return node_->valueNames(); }
    std::vector<std::string> subkeyNames() const { return node_->subkeyNames(); }
    std::optional<uint32_t> dword(std::string_view name) const { return node_->dword(name); }
    std::optional<std::string> string(std::string_view name, size_t maxBytes = SIZE_MAX) const {
        return node_->string(name, maxBytes);
    }
    std::optional<std::vector<uint8_t>> binary(std::string_view name, size_t size) const {
        return node_->binary(name, size);
    }
    uint32_t readDword(std::string_view name, uint32_t def) const {
        return node_->readDword(name, def);
    }
    std::string readString(std::string_view name, std::string_view def,
                           size_t maxBytes = SIZE_MAX) const {
        return node_->readString(name, def, maxBytes);
    }
    std::vector<uint8_t> readBinary(std::string_view name, std::span<const uint8_t> def,
                                    size_t size) const {
        return node_->readBinary(name, def, size);
    }

    // Changes, each one transaction; AccessDenied on a key opened for reading,
    // NotFound when the key was deleted meanwhile.
    RegResult setValue(std::string_view name, RegValue value);
    RegResult setDword(std::string_view name, uint32_t v) {
        return setValue(name, RegValue::fromDword(v));
    }
    RegResult setString(std::string_view name, std::string_view v) {
        return setValue(name, RegValue::fromString(v));
    }
    RegResult setBinary(std::string_view name, std::span<const uint8_t> v) {
        return setValue(name, RegValue::fromBinary(v));
    }
    RegResult deleteValue(std::string_view name);  // a missing value is not an error
    RegResult deleteSubkey(std::string_view path);

    // Several changes of this key in one transaction; `change` gets this key as it is
    // in the file now and returns void or RegResult (not Ok abandons the change).
    template <typename F>
    RegResult update(F&& change) {
        return change_([&](RegNode& key) -> RegResult {
            if constexpr (std::is_void_v<std::invoke_result_t<F&, RegNode&>>) {
                change(key);
                return {};
            } else {
                return change(key);
            }
        });
    }

    std::optional<RegKey> openSubkey(std::string_view path, RegAccess access,
                                     RegResult* error = nullptr) const;
    std::optional<RegKey> createSubkey(std::string_view path, RegResult* error = nullptr) const;

    // Reads the hive again; NotFound when the key is gone (the old state stays).
    RegResult refresh();

  private:
    friend class Hive;
    RegKey(Hive hive, std::string path, RegAccess access, std::shared_ptr<const RegNode> root,
           const RegNode* node);
    RegResult change_(const std::function<RegResult(RegNode&)>& change);

    Hive hive_;
    std::string path_;
    RegAccess access_;
    std::shared_ptr<const RegNode> root_;
    const RegNode* node_;
};

}  // namespace platform

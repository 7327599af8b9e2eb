#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <mutex>

#include "platform/paths.h"

namespace platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr size_t kMaxKeyName = 255;
constexpr off_t kMaxHiveFileBytes = off_t(kMaxHiveBytes);
constexpr size_t kHexBytesPerLine = 25;

char foldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string fold(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = foldChar(c);
    return out;
}

bool equalFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (foldChar(a[i]) != foldChar(b[i])) return false;
    return true;
}

std::vector<std::string_view> splitKeyPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool validKeyName(std::string_view name) {
    if (name.empty() || name.size() > kMaxKeyName) return false;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\') return false;
    }
    return true;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view trim(std::string_view s) {
    return trimRight(trimLeft(s));
}

bool startsWithFolded(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalFolded(s.substr(0, prefix.size()), prefix);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to maxDigits hex digits, nothing else.
bool parseHex(std::string_view s, size_t maxDigits, uint32_t& out) {
    if (s.empty() || s.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

std::string errnoText(int err) {
    return std::strerror(err);
}

RegResult failure(RegStatus status, std::string message) {
    return RegResult{status, std::move(message)};
}

RegResult ioFailure(const std::string& what, const std::string& path, int err) {
    RegStatus status = (err == EACCES || err == EPERM || err == EROFS) ? RegStatus::AccessDenied
                                                                       : RegStatus::IoError;
    return failure(status, what + " " + path + ": " + errnoText(err));
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// ---- Parsing -------------------------------------------------------------------

class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool next(std::string_view& line) {
        if (pos_ >= text_.size()) return false;
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        line = text_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos_ = end + 1;
        ++number_;
        return true;
    }
    int number() const { return number_; }

  private:
    std::string_view text_;
    size_t pos_ = 0;
    int number_ = 0;
};

// Reads a quoted text starting at s[0] == '"'; `rest` gets what follows the closing
// quote. Returns an error text, or empty on success.
std::string parseQuoted(std::string_view s, std::string& out, std::string_view& rest) {
    out.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            rest = s.substr(i + 1);
            return {};
        }
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i == s.size()) break;
        switch (s[i]) {
            case '\\':
                out.push_back('\\');
                break;
            case '"':
                out.push_back('"');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case '0':
                out.push_back('\0');
                break;
            default:
                return std::string("unknown escape \\") + s[i];
        }
    }
    return "text without closing quote";
}

std::string parseHexBytes(std::string_view body, std::vector<uint8_t>& out) {
    out.clear();
    body = trim(body);
    if (body.empty()) return {};
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find(',', start);
        if (end == std::string_view::npos) end = body.size();
        uint32_t byte = 0;
        if (!parseHex(trim(body.substr(start, end - start)), 2, byte)) return "bad hex byte list";
        out.push_back(static_cast<uint8_t>(byte));
        start = end + 1;
    }
    return {};
}

// Parses the data after '=' (continuation lines are pulled from `lines`).
std::string parseData(std::string_view data, LineReader& lines, RegValue& value) {
    data = trimLeft(data);
    if (data.empty()) return "missing value data";
    if (data.front() == '"') {
        std::string text;
        std::string_view rest;
        std::string err = parseQuoted(data, text, rest);
        if (!err.empty()) return err;
        if (!trim(rest).empty()) return "unexpected text after the closing quote";
        value = RegValue::fromString(text);
        return {};
    }
    if (data.front() == '-') return "deletion entries are not allowed in a hive";
    if (startsWithFolded(data, "dword:")) {
        uint32_t v = 0;
        if (!parseHex(trim(data.substr(6)), 8, v)) return "bad dword (expected 1 to 8 hex digits)";
        value = RegValue::fromDword(v);
        return {};
    }
    uint32_t type = static_cast<uint32_t>(RegType::Binary);
    std::string_view body;
    if (startsWithFolded(data, "hex:")) {
        body = data.substr(4);
    } else if (startsWithFolded(data, "hex(")) {
        size_t close = data.find("):");
        if (close == std::string_view::npos || !parseHex(data.substr(4, close - 4), 8, type))
            return "bad hex(type) prefix";
        body = data.substr(close + 2);
    } else {
        return "unknown value type";
    }
    std::string joined;
    for (;;) {
        std::string_view piece = trimRight(body);
        if (piece.empty() || piece.back() != '\\') {
            joined.append(piece);
            break;
        }
        piece.remove_suffix(1);
        joined.append(piece);
        std::string_view next;
        if (!lines.next(next)) return "continuation line missing at end of file";
        body = trimLeft(next);
    }
    value.type = static_cast<RegType>(type);
    std::string err = parseHexBytes(joined, value.data);
    if (!err.empty()) return err;
    // A DWORD of the wrong size is one bad value, not a bad file: keep it as
    // written; the typed reads give their default for it.
    return {};
}

// ---- Writing -------------------------------------------------------------------

// Where the text goes: a string, or a count of what would have been written.
struct CountingOut {
    size_t bytes = 0;
    size_t size() const { return bytes; }
    void push_back(char) { ++bytes; }
    CountingOut& operator+=(std::string_view s) {
        bytes += s.size();
        return *this;
    }
    void append(std::string_view s) { bytes += s.size(); }
};

template <class Out>
void appendQuoted(Out& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                out.push_back(c);
        }
    }
    out.push_back('"');
}

template <class Out>
void appendHexBytes(Out& out, const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
            if (i % kHexBytesPerLine == 0) out += "\\\n  ";
        }
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xF]);
    }
}

template <class Out>
void appendValue(Out& out, std::string_view name, const RegValue& v) {
    if (name.empty()) {
        out.push_back('@');
    } else {
        appendQuoted(out, name);
    }
    out.push_back('=');
    if (v.type == RegType::Dword && v.data.size() == 4) {
        uint32_t d = static_cast<uint32_t>(v.data[0]) | (static_cast<uint32_t>(v.data[1]) << 8) |
                     (static_cast<uint32_t>(v.data[2]) << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += buf;
    } else if (v.type == RegType::String) {
        appendQuoted(out,
                     std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
    } else if (v.type == RegType::Binary) {
        out += "hex:";
        appendHexBytes(out, v.data);
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        out += buf;
        appendHexBytes(out, v.data);
    }
    out.push_back('\n');
}

// Every key in pre-order, each with its full path. A loop with its own stack, not
// recursion: a hand-made hive may nest as deep as it likes. Returns the deepest level
// below the root; stops early (returning it) once `out` would pass `limit` bytes.
template <class Out>
size_t appendTree(Out& out, const RegNode& root, size_t limit) {
    struct Visit {
        const RegNode* node;
        size_t depth;
    };
    std::vector<Visit> stack{{&root, 0}};
    std::vector<size_t> pathEnds;  // length of the path at each depth
    std::string path;
    size_t deepest = 0;
    while (!stack.empty() && out.size() <= limit) {
        const Visit v = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, v.depth);
        if (v.depth == 0) {
            path.assign(kRoot);
        } else {
            path.resize(pathEnds[v.depth - 1]);
            path.push_back('\\');
            path.append(v.node->name());
        }
        pathEnds.resize(v.depth + 1);
        pathEnds[v.depth] = path.size();
        std::vector<std::string> names = v.node->valueNames();
        if (v.depth > 0 || !names.empty()) {
            out.push_back('[');
            out.append(path);
            out += "]\n";
            for (const std::string& n : names) appendValue(out, n, *v.node->value(n));
            out.push_back('\n');
        }
        std::vector<std::string> children = v.node->subkeyNames();
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back({v.node->subkey(*it), v.depth + 1});
    }
    return deepest;
}

// Why the tree could not be written so that it reads back; empty when it can.
std::string unsavable(const RegNode& root) {
    CountingOut count;
    count.bytes = kHeader.size() + 2;
    const size_t depth = appendTree(count, root, kMaxHiveBytes);
    if (count.size() > kMaxHiveBytes)
        return "it would be written as more than " + std::to_string(kMaxHiveBytes >> 20) + " MiB";
    if (depth > kMaxKeyDepth)
        return "keys nested deeper than " + std::to_string(kMaxKeyDepth) + " levels";
    return {};
}

// ---- Files ---------------------------------------------------------------------

struct FileState {
    bool exists = false;
    struct stat st {};
};

RegResult readHiveFile(const std::string& path, std::string& text, FileState& state) {
    text.clear();
    state = FileState{};
    // Without blocking: a FIFO planted under the name must not hold the open.
    int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (raw < 0) {
        if (errno == ENOENT) return {};
        return ioFailure("cannot open registry file", path, errno);
    }
    Fd fd(raw);
    if (fstat(fd.get(), &state.st) != 0) return ioFailure("cannot stat registry file", path, errno);
    state.exists = true;
    if (!S_ISREG(state.st.st_mode))
        return failure(RegStatus::Malformed, "registry file " + path + " is not a regular file");
    if (state.st.st_size > kMaxHiveFileBytes)
        return failure(RegStatus::Malformed, "registry file " + path + " is too large");
    text.resize(static_cast<size_t>(state.st.st_size));
    size_t got = 0;
    for (;;) {
        if (got == text.size()) text.resize(text.size() + 4096);
        ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ioFailure("cannot read registry file", path, errno);
        if (n == 0) break;
        got += static_cast<size_t>(n);
        if (got > static_cast<size_t>(kMaxHiveBytes))
            return failure(RegStatus::Malformed, "registry file " + path + " is too large");
    }
    text.resize(got);
    return {};
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

RegResult writablePolicy(const std::string& path, const FileState& state) {
    if (state.exists) {
        // A file without any write permission bit is read-only on purpose, also for root.
        if ((state.st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return failure(RegStatus::AccessDenied, "registry file " + path + " is read-only");
        if (access(path.c_str(), W_OK) != 0)
            return ioFailure("cannot write registry file", path, errno);
    }
    std::string dir = directoryOf(path);
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return ioFailure("cannot write in directory", dir, errno);
    return {};
}

RegResult malformed(const std::string& path, const RegResult& parsed) {
    return failure(RegStatus::Malformed, "registry file " + path + " is malformed (" +
                                             parsed.message +
                                             "); it is kept unchanged and changes are refused");
}

RegResult writeAll(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ioFailure("cannot write", path, errno);
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

// Writes a temp file beside `path`, syncs it and renames it over `path`, then syncs
// the directory so the rename itself survives a crash.
RegResult replaceFile(const std::string& path, std::string_view text) {
    std::string tmp = path + ".tmp";
    int raw = ::open(tmp.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (raw < 0) return ioFailure("cannot create", tmp, errno);
    Fd fd(raw);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return ioFailure("cannot stat", tmp, errno);
    if (!S_ISREG(st.st_mode)) return failure(RegStatus::IoError, tmp + " is not a regular file");
    RegResult r;
    if (fchmod(fd.get(), 0600) != 0) r = ioFailure("cannot set mode of", tmp, errno);
    if (r.ok()) r = writeAll(fd.get(), text, tmp);
    if (r.ok() && fsync(fd.get()) != 0) r = ioFailure("cannot sync", tmp, errno);
    if (r.ok() && ::close(fd.release()) != 0) r = ioFailure("cannot close", tmp, errno);
    if (r.ok() && ::rename(tmp.c_str(), path.c_str()) != 0)
        r = ioFailure("cannot replace", path, errno);
    if (!r.ok()) {
        ::unlink(tmp.c_str());
        return r;
    }
    std::string dir = directoryOf(path);
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        // The new file is in place; a failed directory sync only weakens durability.
        (void)fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

// ---- Read cache ----------------------------------------------------------------
//
// Settings are read at each use, often many times per call, and a hive with thousands of
// callers takes tens of milliseconds to parse. A parsed tree is therefore reused while the
// file is provably the one it was parsed from. Writers replace the file by rename (a new
// inode), but a hand edit may rewrite it in place, possibly at the same size and within one
// tick of the file system's clock. So a tree is trusted on identity alone only when the
// file's change time (which no program can set) lies clearly before the moment the file was
// read: any later write must then carry a later change time. Until then every read compares
// the file's bytes with the text the tree came from.

struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    bool operator==(const FileIdentity&) const = default;
};

int64_t nanoseconds(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileIdentity identityOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

int64_t realtimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now);
}

// Whether a write after `readStartNs` must leave a change time other than `ctimeNs`. File
// systems that keep whole seconds (or 2 s, or 10 ms) show it in the nanoseconds; the rest
// stamp with the kernel's coarse clock, a few milliseconds behind the fine one.
bool changeTimeSettled(int64_t ctimeNs, int64_t readStartNs) {
    const bool coarse = ctimeNs % 10000000 == 0;
    const int64_t margin = coarse ? int64_t{2500000000} : int64_t{100000000};
    return ctimeNs < readStartNs - margin;
}

class ReadCache {
  public:
    // The parsed tree of the hive file at `path`; `parsed` gets the parse result (a
    // malformed file gives an empty tree). I/O errors are returned and not kept.
    RegResult snapshot(const std::string& path, std::shared_ptr<const RegNode>& root,
                       RegResult& parsed, FileState& state) {
        const int64_t readStart = realtimeNow();
        state = FileState{};
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return ioFailure("cannot open registry file", path, errno);
            root = std::make_shared<const RegNode>(std::string(kRoot));
            parsed = {};
            return {};
        }
        // Checked before opening: a FIFO planted under the name would block the open.
        if (!S_ISREG(st.st_mode))
            return failure(RegStatus::Malformed,
                           "registry file " + path + " is not a regular file");
        {
            std::lock_guard lock(mutex_);
            Entry* e = find(path);
            if (e && e->settled && e->id == identityOf(st)) {
                root = e->root;
                parsed = e->parsed;
                state = {true, st};
                return {};
            }
        }
        std::string text;
        RegResult r = readHiveFile(path, text, state);
        if (!r.ok() || !state.exists) {
            if (r.ok()) root = std::make_shared<const RegNode>(std::string(kRoot));
            parsed = {};
            return r;
        }
        const FileIdentity id = identityOf(state.st);
        const bool settled = changeTimeSettled(id.ctimeNs, readStart);
        {
            std::lock_guard lock(mutex_);
            Entry* e = find(path);
            if (e && e->id == id && (e->settled || e->text == text)) {
                e->settled = e->settled || settled;
                if (e->settled) std::string().swap(e->text);
                root = e->root;
                parsed = e->parsed;
                return {};
            }
        }
        auto tree = std::make_shared<RegNode>(std::string(kRoot));
        parsed = parseHive(text, *tree);
        root = tree;
        std::lock_guard lock(mutex_);
        Entry* e = find(path);
        if (!e) {
            if (entries_.size() >= kEntries) entries_.pop_back();
            entries_.emplace_front();
            e = &entries_.front();
            e->path = path;
        }
        e->id = id;
        e->root = root;
        e->parsed = parsed;
        e->settled = settled;
        e->text = settled ? std::string() : std::move(text);
        return {};
    }

  private:
    struct Entry {
        std::string path;
        FileIdentity id;
        std::shared_ptr<const RegNode> root;
        RegResult parsed;
        std::string text;  // kept only while not settled
        bool settled = false;
    };
    static constexpr size_t kEntries = 8;

    // Moves the entry to the front, so the least used one goes first.
    Entry* find(const std::string& path) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->path != path) continue;
            if (it != entries_.begin()) entries_.splice(entries_.begin(), entries_, it);
            return &entries_.front();
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::list<Entry> entries_;
};

ReadCache& readCache() {
    static ReadCache cache;
    return cache;
}

std::string keyPathOf(std::string_view path) {
    std::string out;
    for (std::string_view part : splitKeyPath(path)) {
        if (!out.empty()) out.push_back('\\');
        out.append(part);
    }
    return out;
}

}  // namespace

// ---- RegValue ------------------------------------------------------------------

RegValue RegValue::fromDword(uint32_t v) {
    return RegValue{RegType::Dword,
                    {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                     static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)}};
}

RegValue RegValue::fromString(std::string_view text) {
    return RegValue{RegType::String, std::vector<uint8_t>(text.begin(), text.end())};
}

RegValue RegValue::fromBinary(std::span<const uint8_t> bytes) {
    return RegValue{RegType::Binary, std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

// ---- RegNode -------------------------------------------------------------------

struct RegNode::Children {
    std::map<std::string, RegNode> byFoldedName;
};

RegNode::RegNode(std::string name)
    : name_(std::move(name)), children_(std::make_unique<Children>()) {}
RegNode::RegNode(RegNode&&) noexcept = default;
RegNode& RegNode::operator=(RegNode&& other) noexcept {
    if (this == &other) return *this;
    RegNode old(std::move(*this));  // its destructor takes the old subtree down
    name_ = std::move(other.name_);
    values_ = std::move(other.values_);
    children_ = std::move(other.children_);
    return *this;
}

// Takes the subtree apart level by level instead of recursing once per level.
RegNode::~RegNode() {
    if (!children_) return;
    std::vector<std::unique_ptr<Children>> pending;
    pending.push_back(std::move(children_));
    while (!pending.empty()) {
        std::unique_ptr<Children> level = std::move(pending.back());
        pending.pop_back();
        for (auto& entry : level->byFoldedName)
            if (entry.second.children_) pending.push_back(std::move(entry.second.children_));
    }
}

const RegValue* RegNode::value(std::string_view name) const {
    for (const auto& [n, v] : values_)
        if (equalFolded(n, name)) return &v;
    return nullptr;
}

std::vector<std::string> RegNode::valueNames() const {
    std::vector<std::string> names;
    names.reserve(values_.size());
    for (const auto& entry : values_) names.push_back(entry.first);
    return names;
}

void RegNode::setValue(std::string_view name, RegValue value) {
    for (auto& [n, v] : values_) {
        if (equalFolded(n, name)) {
            v = std::move(value);
            return;
        }
    }
    values_.emplace_back(std::string(name), std::move(value));
}

bool RegNode::deleteValue(std::string_view name) {
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (equalFolded(it->first, name)) {
            values_.erase(it);
            return true;
        }
    }
    return false;
}

std::optional<uint32_t> RegNode::dword(std::string_view name) const {
    const RegValue* v = value(name);
    if (!v || v->data.size() != 4 || (v->type != RegType::Dword && v->type != RegType::Binary))
        return std::nullopt;
    return static_cast<uint32_t>(v->data[0]) | (static_cast<uint32_t>(v->data[1]) << 8) |
           (static_cast<uint32_t>(v->data[2]) << 16) | (static_cast<uint32_t>(v->data[3]) << 24);
}

std::optional<std::string> RegNode::string(std::string_view name, size_t maxBytes) const {
    const RegValue* v = value(name);
    if (!v || (v->type != RegType::String && v->type != RegType::ExpandString)) return std::nullopt;
    std::string text(v->data.begin(), v->data.end());
    if (size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    if (text.size() > maxBytes) return std::nullopt;
    return text;
}

std::optional<std::vector<uint8_t>> RegNode::binary(std::string_view name, size_t size) const {
    const RegValue* v = value(name);
    if (!v || v->data.size() != size || (v->type != RegType::Binary && v->type != RegType::Dword))
        return std::nullopt;
    return v->data;
}

std::string RegNode::readString(std::string_view name, std::string_view def,
                                size_t maxBytes) const {
    std::optional<std::string> s = string(name, maxBytes);
    return s ? std::move(*s) : std::string(def);
}

std::vector<uint8_t> RegNode::readBinary(std::string_view name, std::span<const uint8_t> def,
                                         size_t size) const {
    std::optional<std::vector<uint8_t>> b = binary(name, size);
    return b ? std::move(*b) : std::vector<uint8_t>(def.begin(), def.end());
}

const RegNode* RegNode::subkey(std::string_view path) const {
    const RegNode* node = this;
    for (std::string_view part : splitKeyPath(path)) {
        auto it = node->children_->byFoldedName.find(fold(part));
        if (it == node->children_->byFoldedName.end()) return nullptr;
        node = &it->second;
    }
    return node;
}

RegNode* RegNode::subkey(std::string_view path) {
    return const_cast<RegNode*>(static_cast<const RegNode*>(this)->subkey(path));
}

RegNode* RegNode::createSubkey(std::string_view path) {
    std::vector<std::string_view> parts = splitKeyPath(path);
    if (parts.size() > kMaxKeyDepth) return nullptr;
    for (std::string_view part : parts)
        if (!validKeyName(part)) return nullptr;
    RegNode* node = this;
    for (std::string_view part : parts) {
        auto [it, added] = node->children_->byFoldedName.try_emplace(fold(part), std::string(part));
        node = &it->second;
    }
    return node;
}

std::vector<std::string> RegNode::subkeyNames() const {
    std::vector<std::string> names;
    names.reserve(children_->byFoldedName.size());
    for (const auto& entry : children_->byFoldedName) names.push_back(entry.second.name_);
    return names;
}

bool RegNode::hasSubkeys() const {
    return !children_->byFoldedName.empty();
}

RegResult RegNode::deleteSubkey(std::string_view path) {
    std::vector<std::string_view> parts = splitKeyPath(path);
    if (parts.empty()) return failure(RegStatus::InvalidName, "no key name given");
    auto missing = [&] {
        return failure(RegStatus::NotFound, "key " + std::string(path) + " does not exist");
    };
    RegNode* parent = this;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        parent = parent->subkey(parts[i]);
        if (!parent) return missing();
    }
    auto& children = parent->children_->byFoldedName;
    auto it = children.find(fold(parts.back()));
    if (it == children.end()) return missing();
    if (it->second.hasSubkeys())
        return failure(RegStatus::HasSubkeys,
                       "key " + std::string(path) + " has subkeys and cannot be deleted");
    children.erase(it);
    return {};
}

// ---- Text form -----------------------------------------------------------------

RegResult parseHive(std::string_view text, RegNode& root) {
    root = RegNode(std::string(kRoot));
    auto fail = [&](int line, const std::string& what) {
        root = RegNode(std::string(kRoot));
        return failure(RegStatus::Malformed, "line " + std::to_string(line) + ": " + what);
    };
    if (text.size() >= 2 &&
        ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF')))
        return fail(1, "UTF-16 text; the hive must be UTF-8");
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    LineReader lines(text);
    std::string_view line;
    bool sawHeader = false;
    RegNode* key = nullptr;
    while (lines.next(line)) {
        std::string_view t = trim(line);
        if (t.empty()) continue;
        if (!sawHeader) {
            if (t != kHeader)
                return fail(lines.number(), "expected \"" + std::string(kHeader) + "\"");
            sawHeader = true;
            continue;
        }
        if (t.front() == ';') continue;
        if (t.front() == '[') {
            if (t.back() != ']') return fail(lines.number(), "key line without closing ']'");
            std::string_view path = t.substr(1, t.size() - 2);
            if (!path.empty() && path.front() == '-')
                return fail(lines.number(), "deletion entries are not allowed in a hive");
            size_t slash = path.find('\\');
            if (!equalFolded(path.substr(0, slash), kRoot))
                return fail(lines.number(), "key outside HKEY_LOCAL_MACHINE");
            if (slash != std::string_view::npos &&
                splitKeyPath(path.substr(slash + 1)).size() > kMaxKeyDepth)
                return fail(lines.number(), "key nested deeper than " +
                                                std::to_string(kMaxKeyDepth) + " levels");
            key =
                slash == std::string_view::npos ? &root : root.createSubkey(path.substr(slash + 1));
            if (!key) return fail(lines.number(), "invalid key name");
            continue;
        }
        if (!key) return fail(lines.number(), "value before the first key");
        std::string name;
        std::string_view rest;
        if (t.front() == '@') {
            rest = t.substr(1);
        } else if (t.front() == '"') {
            std::string err = parseQuoted(t, name, rest);
            if (!err.empty()) return fail(lines.number(), err);
        } else {
            return fail(lines.number(), "expected a key, a value or a comment");
        }
        rest = trimLeft(rest);
        if (rest.empty() || rest.front() != '=')
            return fail(lines.number(), "expected '=' after the value name");
        int valueLine = lines.number();
        RegValue value;
        std::string err = parseData(rest.substr(1), lines, value);
        if (!err.empty()) return fail(valueLine, err);
        key->setValue(name, std::move(value));
    }
    if (!sawHeader && !trim(text).empty()) return fail(1, "missing header");
    // What could not be written back is refused now, before a change would lose it.
    if (std::string why = unsavable(root); !why.empty()) {
        root = RegNode(std::string(kRoot));
        return failure(RegStatus::Malformed, why);
    }
    return {};
}

std::string serializeHive(const RegNode& root) {
    std::string out(kHeader);
    out += "\n\n";
    appendTree(out, root, SIZE_MAX);
    return out;
}

// ---- Hive ----------------------------------------------------------------------

Hive::Hive(std::string path) : path_(std::move(path)) {}

std::string Hive::defaultPath() {
    const char* env = std::getenv("ORVELIN_REGISTRY");
    if (env && *env) return env;
    return joinPath(programDirectory(), "orvelin.reg");
}

Hive Hive::atDefaultPath() {
    return Hive(defaultPath());
}

RegResult Hive::load(RegNode& root) const {
    std::string text;
    FileState state;
    root = RegNode(std::string(kRoot));
    RegResult r = readHiveFile(path_, text, state);
    if (!r.ok()) return r;
    r = parseHive(text, root);
    return r.ok() ? r : malformed(path_, r);
}

RegResult Hive::checkWritable() const {
    std::shared_ptr<const RegNode> root;
    RegResult parsed;
    FileState state;
    RegResult r = readCache().snapshot(path_, root, parsed, state);
    if (!r.ok()) return r;
    if (!parsed.ok()) return malformed(path_, parsed);
    return writablePolicy(path_, state);
}

RegResult Hive::commit(const std::function<RegResult(RegNode&)>& change,
                       std::shared_ptr<const RegNode>* committed) const {
    // A hive reached through a symbolic link is changed where the link points; replacing
    // the link by a file would leave the target behind unchanged.
    std::string target = path_;
    struct stat link {};
    if (::lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* resolved = ::realpath(path_.c_str(), nullptr);
        if (!resolved)
            return ioFailure("cannot follow the symbolic link of registry file", path_, errno);
        target = resolved;
        std::free(resolved);
    }
    std::string lockPath = target + ".lock";
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (lock.get() < 0) return ioFailure("cannot open lock file", lockPath, errno);
    struct stat lockState {};
    if (fstat(lock.get(), &lockState) != 0) return ioFailure("cannot stat", lockPath, errno);
    if (!S_ISREG(lockState.st_mode))
        return failure(RegStatus::IoError, "lock file " + lockPath + " is not a regular file");
    while (flock(lock.get(), LOCK_EX) != 0)
        if (errno != EINTR) return ioFailure("cannot lock", lockPath, errno);

    std::string original;
    FileState state;
    RegResult r = readHiveFile(target, original, state);
    if (!r.ok()) return r;
    auto root = std::make_shared<RegNode>(std::string(kRoot));
    r = parseHive(original, *root);
    if (!r.ok()) return malformed(path_, r);
    r = writablePolicy(target, state);
    if (!r.ok()) return r;
    r = change(*root);
    if (!r.ok()) return r;
    // Never write what the next read would refuse.
    if (std::string why = unsavable(*root); !why.empty())
        return failure(RegStatus::IoError,
                       "registry file " + path_ + " not changed: " + why);
    std::string text = serializeHive(*root);
    if (!state.exists || text != original) {
        r = replaceFile(target, text);
        if (!r.ok()) return r;
    }
    if (committed) *committed = std::move(root);
    return {};
    // The lock is released when `lock` closes.
}

std::optional<RegKey> Hive::openKey(std::string_view path, RegAccess access,
                                    RegResult* error) const {
    auto report = [&](RegResult r) -> std::optional<RegKey> {
        if (error) *error = std::move(r);
        return std::nullopt;
    };
    std::shared_ptr<const RegNode> root;
    RegResult parsed;
    FileState state;
    RegResult r = readCache().snapshot(path_, root, parsed, state);
    if (!r.ok()) return report(r);
    if (!parsed.ok()) return report(malformed(path_, parsed));
    if (access == RegAccess::Full) {
        r = writablePolicy(path_, state);
        if (!r.ok()) return report(r);
    }
    const RegNode* node = root->subkey(path);
    if (!node)
        return report(failure(RegStatus::NotFound, "key " + std::string(path) + " does not exist"));
    if (error) *error = {};
    return RegKey(*this, keyPathOf(path), access, std::move(root), node);
}

std::optional<RegKey> Hive::createKey(std::string_view path, RegResult* error) const {
    std::shared_ptr<const RegNode> root;
    RegResult r = commit(
        [&](RegNode& tree) -> RegResult {
            if (!tree.createSubkey(path))
                return failure(RegStatus::InvalidName, "invalid key name " + std::string(path));
            return {};
        },
        &root);
    if (error) *error = r;
    if (!r.ok()) return std::nullopt;
    const RegNode* node = root->subkey(path);
    return RegKey(*this, keyPathOf(path), RegAccess::Full, std::move(root), node);
}

// ---- RegKey --------------------------------------------------------------------

RegKey::RegKey(Hive hive, std::string path, RegAccess access, std::shared_ptr<const RegNode> root,
               const RegNode* node)
    : hive_(std::move(hive)),
      path_(std::move(path)),
      access_(access),
      root_(std::move(root)),
      node_(node) {}

RegResult RegKey::change_(const std::function<RegResult(RegNode&)>& change) {
    if (access_ != RegAccess::Full)
        return failure(RegStatus::AccessDenied, "key " + path_ + " was opened for reading");
    std::shared_ptr<const RegNode> committed;
    RegResult r = hive_.commit(
        [&](RegNode& root) -> RegResult {
            RegNode* key = root.subkey(path_);
            if (!key) return failure(RegStatus::NotFound, "key " + path_ + " no longer exists");
            return change(*key);
        },
        &committed);
    if (!r.ok()) return r;
    root_ = std::move(committed);
    node_ = root_->subkey(path_);
    return r;
}

RegResult RegKey::setValue(std::string_view name, RegValue value) {
    return change_([&](RegNode& key) -> RegResult {
        key.setValue(name, std::move(value));
        return {};
    });
}

RegResult RegKey::deleteValue(std::string_view name) {
    return change_([&](RegNode& key) -> RegResult {
        key.deleteValue(name);
        return {};
    });
}

RegResult RegKey::deleteSubkey(std::string_view path) {
    return change_([&](RegNode& key) { return key.deleteSubkey(path); });
}

std::optional<RegKey> RegKey::openSubkey(std::string_view path, RegAccess access,
                                         RegResult* error) const {
    return hive_.openKey(path_ + "\\" + std::string(path), access, error);
}

std::optional<RegKey> RegKey::createSubkey(std::string_view path, RegResult* error) const {
    if (access_ != RegAccess::Full) {
        if (error)
            *error = failure(RegStatus::AccessDenied, "key " + path_ + " was opened for reading");
        return std::nullopt;
    }
    return hive_.createKey(path_ + "\\" + std::string(path), error);
}

RegResult RegKey::refresh() {
    std::shared_ptr<const RegNode> root;
    RegResult parsed;
    FileState state;
    RegResult r = readCache().snapshot(hive_.path(), root, parsed, state);
    if (!r.ok()) return r;
    if (!parsed.ok()) return malformed(hive_.path(), parsed);
    const RegNode* node = root->subkey(path_);
    if (!node) return failure(RegStatus::NotFound, "key " + path_ + " no longer exists");
    root_ = std::move(root);
    node_ = node;
    return r;
}

}  // namespace platform

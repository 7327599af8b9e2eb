#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "xbase/text.h"
#include "xbase/engine.h"
#include "xbase/memo.h"
#include "xbase/block_cache.h"
#include "xbase/byte_fields.h"

using namespace xbase_bytes;

namespace {

constexpr uint16_t entryMarker = 0xFFFF;
constexpr uint32_t entryHeader = 8;

struct Run {
    int64_t block;
    int64_t len;
};

// The free chain as read from disk: runs in ascending order and the open end.
struct Chain {
    std::vector<Run> runs;
    int64_t end = 0;
    std::map<int64_t, std::pair<uint32_t, uint32_t>> onDisk;  // block -> (next, length) as stored
    uint32_t headerFirst = 0;
};

int64_t blocksOf(int64_t bytes, int64_t bs) { return (bytes + bs - 1) / bs; }

int readChain(MEMO4FILE* m, int64_t fileBlocks, Chain& chain) {
    const int64_t bs = m->blockSize;
    unsigned char node[8];
    if (file4readAt(&m->file, 0, node, 4) != 0) return -1;
    chain.headerFirst = get32(node);
    int64_t next = chain.headerFirst;
    int64_t lowest = 1;  // the header block never holds a run
    for (;;) {
        if (next >= fileBlocks) break;
        if (next < lowest) break;  // descending, overlapping or into the header: stop trusting
        if (file4readAt(&m->file, next * bs, node, 8) != 0) return -1;
        const uint32_t nodeNext = get32(node);
        const uint32_t nodeLen = get32(node + 4);
        if (nodeLen == 0 || next + int64_t(nodeLen) > fileBlocks || int64_t(nodeNext) < next + int64_t(nodeLen)) break;
        chain.onDisk[next] = {nodeNext, nodeLen};
        chain.runs.push_back({next, nodeLen});
        lowest = next + nodeLen;
        next = nodeNext;
    }
    // The open end is the end of the file: a chain that ends elsewhere is repaired on write.
    chain.end = fileBlocks;
    return 0;
}

void freeRun(Chain& chain, int64_t block, int64_t len) {
    if (len <= 0) return;
    auto it = std::lower_bound(chain.runs.begin(), chain.runs.end(), block,
                               [](const Run& r, int64_t b) { return r.block < b; });
    it = chain.runs.insert(it, {block, len});
    // Merge with the following run, then with the preceding one.
    auto nextIt = it + 1;
    if (nextIt != chain.runs.end() && it->block + it->len == nextIt->block) {
        it->len += nextIt->len;
        chain.runs.erase(nextIt);
    }
    if (it != chain.runs.begin()) {
        auto prevIt = it - 1;
        if (prevIt->block + prevIt->len == it->block) {
            prevIt->len += it->len;
            chain.runs.erase(it);
        }
    }
}

// First fit along the ascending chain, from the tail of the run; else the end of the file.
int64_t allocate(Chain& chain, int64_t d, bool* grew) {
    for (auto it = chain.runs.begin(); it != chain.runs.end(); ++it) {
        if (it->len < d) continue;
        const int64_t block = it->block + it->len - d;
        it->len -= d;
        if (it->len == 0) chain.runs.erase(it);
        return block;
    }
    const int64_t block = chain.end;
    chain.end += d;
    *grew = true;
    return block;
}

// Writes every node whose contents changed, then the header word.
int writeChain(MEMO4FILE* m, const Chain& chain) {
    const int64_t bs = m->blockSize;
    unsigned char node[8];
    for (size_t i = 0; i < chain.runs.size(); ++i) {
        const Run& r = chain.runs[i];
        const uint32_t next = uint32_t(i + 1 < chain.runs.size() ? chain.runs[i + 1].block : chain.end);
        auto found = chain.onDisk.find(r.block);
        if (found != chain.onDisk.end() && found->second == std::make_pair(next, uint32_t(r.len))) continue;
        put32(node, next);
        put32(node + 4, uint32_t(r.len));
        if (file4writeAt(&m->file, r.block * bs, node, 8) != 0) return -1;
    }
    const uint32_t first = uint32_t(chain.runs.empty() ? chain.end : chain.runs.front().block);
    if (first != chain.headerFirst) {
        put32(node, first);
        if (file4writeAt(&m->file, 0, node, 4) != 0) return -1;
    }
    return 0;
}

// Blocks of the entry at `block` when it is sound and lies clear of the free runs, else 0.
int64_t soundEntryBlocks(MEMO4FILE* m, int64_t block, int64_t fileBlocks, const Chain& chain) {
    if (block <= 0 || block >= fileBlocks) return 0;
    unsigned char head[8];
    if (file4read(&m->file, block * m->blockSize, head, 8) != 8) return 0;
    const uint32_t stored = get32(head + 4);
    if (get16(head) != entryMarker || stored < entryHeader) return 0;
    const int64_t c = blocksOf(stored, m->blockSize);
    if (block + c > fileBlocks) return 0;
    for (const Run& r : chain.runs)
        if (r.block < block + c && block < r.block + r.len) return 0;
    return c;
}

F4MEMO* memoOf(FIELD4* f) { return f != nullptr ? f->memo : nullptr; }

// A field's reference; anything that cannot name a block means no contents.
int32_t referenceOf(const char* text, int len) {
    const int64_t ref = c4textToInt(text, len);
    return ref > 0 && ref < INT32_MAX ? int32_t(ref) : 0;
}
int32_t referenceOf(FIELD4* f) { return referenceOf(f4ptr(f), f->len); }
CODE4* codeOf(FIELD4* f) { return f->data->cb; }

}  // namespace

int memo4file_read(MEMO4FILE* m, int32_t block, char** buffer, uint32_t* length, uint32_t* capacity) {
    CODE4* cb = m->file.cb;
    *length = 0;
    // No contents read as empty text, not as what the buffer held before.
    if (*buffer != nullptr && *capacity > 0) (*buffer)[0] = '\0';
    if (cb->errorCode < 0) return -1;
    if (block <= 0) return 0;
    const int64_t bs = m->blockSize;
    const int64_t fileLen = file4length(&m->file);
    if (fileLen < 0) return -1;
    const int64_t pos = block * bs;
    if (pos + int64_t(entryHeader) > fileLen)
        return error4reportEx(cb, err4info, "memo4file_read()", "Memo entry past the end of the file", m->file.name);
    unsigned char head[8];
    if (file4readAt(&m->file, pos, head, 8) != 0) return -1;
    // Entries of old files carry no marker: they read as empty.
    if (get16(head) != entryMarker) return 0;
    const uint32_t stored = get32(head + 4);
    const uint16_t offset = get16(head + 2);
    if (stored < entryHeader || offset < entryHeader ||
        pos + int64_t(offset) + int64_t(stored - entryHeader) > fileLen)
        return error4reportEx(cb, err4info, "memo4file_read()", "Damaged memo entry", m->file.name);
    const uint32_t n = stored - entryHeader;
    if (*capacity < n + 1 || *buffer == nullptr) {
        u4globalFree(*buffer);
        *buffer = nullptr;
        *capacity = 0;
        *buffer = static_cast<char*>(u4allocOrError(cb, size_t(n) + 1));
        if (*buffer == nullptr) return err4memory;
        *capacity = n + 1;
    }
    if (n > 0 && file4readAt(&m->file, pos + offset, *buffer, n) != 0) return -1;
    (*buffer)[n] = '\0';
    *length = n;
    return 0;
}

int memo4file_write(MEMO4FILE* m, int32_t* block, const char* data, uint32_t n) {
    CODE4* cb = m->file.cb;
    if (cb->errorCode < 0) return -1;
    if (n > UINT32_MAX - entryHeader - uint32_t(m->blockSize))
        return error4reportEx(cb, err4parm, "Memo entry too long", m->file.name, nullptr);
    // The free chain changes only under the memo lock, read fresh.
    const bool lockedHere = !m->locked && !m->file.exclusiveOpen;
    if (lockedHere) {
        const int rc = memo4file_lock(m);
        if (rc != 0) return rc < 0 ? -1 : rc;
    }
    file4refresh(&m->file);
    int rc = -1;
    do {
        const int64_t bs = m->blockSize;
        const int64_t fileLen = file4length(&m->file);
        if (fileLen < 0) break;
        const int64_t fileBlocks = std::max<int64_t>(1, blocksOf(fileLen, bs));
        Chain chain;
        if (readChain(m, fileBlocks, chain) != 0) break;
        const int64_t b0 = *block;
        const int64_t c = soundEntryBlocks(m, b0, fileBlocks, chain);
        int64_t target = 0;
        bool grew = false;
        if (n == 0) {
            freeRun(chain, b0, c);
        } else {
            const int64_t d = (int64_t(n) + bs + 7) / bs;
            if (c >= d) {
                target = b0 + c - d;
                freeRun(chain, b0, c - d);
            } else {
                if (c > 0) freeRun(chain, b0, c);
                target = allocate(chain, d, &grew);
            }
            // References are 32-bit block numbers.
            if (target > int64_t(INT32_MAX) - d) {
                error4reportEx(cb, err4parm, "Memo file too large", m->file.name, nullptr);
                break;
            }
            unsigned char head[8] = {0xFF, 0xFF, 8, 0, 0, 0, 0, 0};
            put32(head + 4, n + entryHeader);
            if (file4writeAt(&m->file, target * bs, head, 8) != 0) break;
            if (file4writeAt(&m->file, target * bs + 8, data, n) != 0) break;
            if (grew && file4lenSet(&m->file, chain.end * bs) != 0) break;
        }
        if (writeChain(m, chain) != 0) break;
        *block = int32_t(target);
        rc = 0;
    } while (false);
    if (lockedHere) memo4file_unlock(m);
    return rc;
}

int f4memoSetLen(FIELD4* f, uint32_t n) {
    F4MEMO* mf = memoOf(f);
    if (mf == nullptr) return -1;
    CODE4* cb = codeOf(f);
    if (cb->errorCode < 0) return -1;
    if (mf->contents == nullptr || mf->capacity < n + 1) {
        char* grown = static_cast<char*>(u4allocOrError(cb, size_t(n) + 1));
        if (grown == nullptr) {
            f4memoFree(f);
            return err4memory;
        }
        if (mf->contents != nullptr) std::memcpy(grown, mf->contents, std::min(mf->len, n));
        u4globalFree(mf->contents);
        mf->contents = grown;
        mf->capacity = n + 1;
    }
    mf->len = n;
    mf->contents[n] = '\0';
    mf->changed = 1;
    mf->status = 0;
    f->data->recChanged = 1;
    return 0;
}

int f4memoAssignN(FIELD4* f, const char* bytes, uint32_t n) {
    if (f == nullptr) return -1;
    if (memoOf(f) == nullptr) {
        f4assignN(f, bytes, n);
        return 0;
    }
    if (bytes == nullptr) n = 0;
    const int rc = f4memoSetLen(f, n);
    if (rc != 0) return rc;
    if (n > 0) std::memmove(f->memo->contents, bytes, n);
    return 0;
}

int f4memoAssign(FIELD4* f, const char* text) {
    return f4memoAssignN(f, text, text != nullptr ? uint32_t(std::strlen(text)) : 0);
}

namespace {

// A table whose memo file is missing, of another format, or not named by its
// header still opens; each memo access reports why it cannot be done.
int memoFileUsable(FIELD4* f) {
    DATA4* d = f->data;
    if (d->memoFile.unusable == 0 && d->memoFile.file.fd >= 0) return 0;
    const int code = d->memoFile.unusable != 0 ? d->memoFile.unusable : err4info;
    return error4reportEx(d->cb, code, "Memo file cannot be used", d->file.name, nullptr);
}

}  // namespace

int f4memoReadFile(FIELD4* f) {
    F4MEMO* mf = f->memo;
    if (memoFileUsable(f) != 0) {
        mf->len = 0;
        mf->status = 1;
        return -1;
    }
    uint32_t len = 0;
    const int rc = memo4file_read(&f->data->memoFile, referenceOf(f), &mf->contents, &len, &mf->capacity);
    if (rc != 0) {
        mf->len = 0;
        mf->status = 1;
        return rc;
    }
    mf->len = len;
    mf->status = 0;
    return 0;
}

int f4memoRead(FIELD4* f) {
    F4MEMO* mf = memoOf(f);
    if (mf == nullptr) return -1;
    DATA4* d = f->data;
    if (d->cb->errorCode < 0) return -1;
    mf->changed = 0;
    if (d->recNo < 0) {
        mf->len = 0;
        mf->status = 0;
        return 0;
    }
    if (d->cb->readLock) {
        const int rc = d4memoRefresh(d);
        if (rc != 0) return rc;
    }
    return f4memoReadFile(f);
}

namespace {
bool loaded(FIELD4* f) { return f->memo->status == 0 || f4memoRead(f) == 0; }
}  // namespace

uint32_t f4memoLen(FIELD4* f) {
    if (f == nullptr) return 0;
    if (memoOf(f) == nullptr) return uint32_t(f4len(f));
    return loaded(f) ? f->memo->len : 0;
}

const char* f4memoPtr(FIELD4* f) {
    if (f == nullptr) return nullptr;
    if (memoOf(f) == nullptr) return f4ptr(f);
    if (!loaded(f)) return nullptr;
    return f->memo->contents != nullptr ? f->memo->contents : "";
}

const char* f4memoStr(FIELD4* f) {
    if (f == nullptr) return nullptr;
    if (memoOf(f) == nullptr) return f4str(f);
    return f4memoPtr(f);
}

uint32_t f4memoCopyTo(FIELD4* f, char* buffer, uint32_t size) {
    if (f == nullptr || buffer == nullptr || size == 0) return 0;
    CODE4* cb = codeOf(f);
    if (cb->errorCode < 0) {
        buffer[0] = '\0';
        return 0;
    }
    if (cb->errorCode > 0) cb->errorCode = 0;
    if (memoOf(f) == nullptr) return uint32_t(f4copyTo(f, buffer, size));
    const char* p = f4memoPtr(f);
    if (p == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    const uint32_t n = std::min(f->memo->len, size - 1);
    std::memcpy(buffer, p, n);
    buffer[n] = '\0';
    return n;
}

void f4memoReset(FIELD4* f) {
    if (memoOf(f) == nullptr) return;
    f->memo->status = 1;
    f->memo->len = 0;
}

void f4memoFree(FIELD4* f) {
    F4MEMO* mf = memoOf(f);
    if (mf == nullptr) return;
    u4globalFree(mf->contents);
    mf->contents = nullptr;
    mf->capacity = 0;
    mf->len = 0;
    mf->status = 1;
}

namespace {

int writeMemo(FIELD4* f, bool refresh) {
    F4MEMO* mf = memoOf(f);
    if (mf == nullptr) return -1;
    DATA4* d = f->data;
    if (memoFileUsable(f) != 0) return -1;
    int rc = refresh ? d4memoRefresh(d) : 0;
    if (rc != 0) return rc;
    const int32_t old = referenceOf(f);
    int32_t block = old;
    rc = memo4file_write(&d->memoFile, &block, mf->contents != nullptr ? mf->contents : "", mf->len);
    if (rc != 0) return -1;
    if (block != old) {
        if (block == 0)
            f4blank(f);
        else
            f4assignLong(f, block);
    }
    mf->changed = 0;
    return 0;
}

}  // namespace

int f4memoWrite(FIELD4* f) { return writeMemo(f, true); }

int f4memoFlush(FIELD4* f) {
    F4MEMO* mf = memoOf(f);
    if (mf == nullptr || !mf->changed) return 0;
    return f4memoWrite(f);
}

int d4memoFlushAll(DATA4* d, int appending) {
    for (int i = 0; i < d->memoCount; ++i) {
        F4MEMO* mf = &d->memos[i];
        if (!mf->changed) continue;
        // A record being appended has no references on disk to refresh from.
        const int rc = writeMemo(mf->field, !appending);
        if (rc != 0) return rc;
    }
    return 0;
}

int d4memoRefresh(DATA4* d) {
    if (d->oldValid) return 0;
    const int32_t n = d->recNo;
    // A record not yet on disk has no references there to take.
    if (n <= 0 || n > d4recordCount(d)) return 0;
    int rc = d4lockRecord(d, n);
    if (rc != 0) return rc;
    rc = d4readOld(d, n);
    if (rc != 0) return rc;
    for (int i = 0; i < d->memoCount; ++i) {
        const FIELD4* f = d->memos[i].field;
        std::memcpy(d->record + f->offset, d->recordOld + f->offset, size_t(f->len));
    }
    d->oldValid = 1;
    return 0;
}

namespace {

struct SavedRef {
    int32_t record;
    int field;
    std::string bytes;
};

// Suspends a running block cache for its lifetime.
struct CacheAside {
    explicit CacheAside(CODE4* cb) : cb_(cb), wasRunning_(code4cacheRunning(cb) != 0) {
        failed = wasRunning_ && code4cacheSuspend(cb) != 0;
        if (failed) wasRunning_ = false;  // still running: nothing to restart
    }
    ~CacheAside() {
        if (wasRunning_) cache4restart(cb_);
    }
    CacheAside(const CacheAside&) = delete;
    CacheAside& operator=(const CacheAside&) = delete;
    bool failed = false;

  private:
    CODE4* cb_;
    bool wasRunning_;
};

// Copies the whole of `from` over `to`, which ends up with the same length.
int copyFile(FILE4* to, FILE4* from) {
    if (file4lenSet(to, 0) != 0) return -1;
    return file4copy(to, from);
}

}  // namespace

int d4memoPack(DATA4* d) {
    if (d == nullptr) return -1;
    CODE4* cb = d->cb;
    if (cb->errorCode < 0) return -1;
    if (d->memoCount == 0 || d->memoFile.file.fd < 0) return 0;
    int rc = d4flushTags(d);
    if (rc == 0) rc = d4lockFile(d);
    if (rc == 0) rc = memo4file_lock(&d->memoFile);
    if (rc != 0) return rc;

    // The new memo file beside the old one with the same block size, so the replacement is
    // one rename.
    MEMO4FILE tmp;
    const int32_t savedBlock = cb->memoBlockSize;
    cb->memoBlockSize = d->memoFile.blockSize;
    rc = memo4file_create(&tmp, cb, d, nullptr);
    cb->memoBlockSize = savedBlock;
    if (rc != 0) return rc < 0 ? -1 : rc;
    // The whole table passes through once and both memo files are rewritten: the cache
    // stands aside rather than evict everything for blocks read once.
    CacheAside aside(cb);
    if (aside.failed) {
        memo4file_close(&tmp);
        return -1;
    }

    const int32_t count = d4recordCount(d);
    std::vector<char> rec(size_t(d->recordLen));
    std::map<int32_t, int32_t> newOf;
    std::vector<SavedRef> saved;
    char* buf = nullptr;
    uint32_t cap = 0;
    bool ok = count >= 0;

    // 1. Every referenced entry into the new file; nothing old is touched yet.
    for (int32_t r = 1; ok && r <= count; ++r) {
        if (d4readRecord(d, r, rec.data()) != 0) {
            ok = false;
            break;
        }
        for (int i = 0; ok && i < d->memoCount; ++i) {
            const FIELD4* f = d->memos[i].field;
            const int32_t ref = referenceOf(rec.data() + f->offset, f->len);
            if (ref <= 0 || newOf.count(ref) != 0) continue;
            uint32_t len = 0;
            if (memo4file_read(&d->memoFile, ref, &buf, &len, &cap) != 0) {
                ok = false;
                break;
            }
            int32_t fresh = 0;
            if (len > 0 && memo4file_write(&tmp, &fresh, buf, len) != 0) ok = false;
            newOf[ref] = fresh;
        }
    }
    u4globalFree(buf);
    if (ok && file4flush(&tmp.file) != 0) ok = false;

    // 2. References rewritten in place, the old bytes kept to put back on failure.
    for (int32_t r = 1; ok && r <= count; ++r) {
        if (d4readRecord(d, r, rec.data()) != 0) {
            ok = false;
            break;
        }
        bool changed = false;
        for (int i = 0; i < d->memoCount; ++i) {
            const FIELD4* f = d->memos[i].field;
            char* p = rec.data() + f->offset;
            const int32_t ref = referenceOf(p, f->len);
            if (ref <= 0) continue;
            saved.push_back({r, i, std::string(p, size_t(f->len))});
            const int32_t fresh = newOf[ref];
            if (fresh == 0)
                std::memset(p, ' ', size_t(f->len));
            else
                c4longToText(fresh, p, -f->len);
            changed = true;
        }
        if (changed && file4writeAt(&d->file, d4recordPosition(d, r), rec.data(), rec.size()) != 0) {
            saved.erase(std::remove_if(saved.begin(), saved.end(), [r](const SavedRef& s) { return s.record == r; }),
                        saved.end());
            ok = false;
        }
    }

    // 3. The new memo file replaces the old one: one rename for an exclusive file. A shared
    // file is overwritten in place (other users keep it open), so its old contents are
    // kept aside first to be put back should the copy fail.
    FILE4 backup;
    std::memset(&backup, 0, sizeof backup);
    backup.fd = -1;
    bool replaced = false;
    if (ok && !d->memoFile.file.exclusiveOpen &&
        (file4temp(&backup, cb, nullptr, 0, 1) != 0 || copyFile(&backup, &d->memoFile.file) != 0))
        ok = false;
    if (ok) {
        replaced = true;
        if (file4replace(&d->memoFile.file, &tmp.file) != 0) ok = false;
    }

    if (!ok) {
        // Put the old memo file and references back; the error stays pending for the caller.
        const int32_t pending = cb->errorCode;
        cb->errorCode = 0;
        if (replaced && file4isOpen(&backup)) copyFile(&d->memoFile.file, &backup);
        file4close(&backup);
        for (const SavedRef& s : saved) {
            const FIELD4* f = d->memos[s.field].field;
            if (d4readRecord(d, s.record, rec.data()) != 0) continue;
            std::memcpy(rec.data() + f->offset, s.bytes.data(), s.bytes.size());
            file4writeAt(&d->file, d4recordPosition(d, s.record), rec.data(), rec.size());
        }
        if (pending != 0) cb->errorCode = pending;
        memo4file_close(&tmp);
        return -1;
    }
    memo4file_close(&tmp);
    file4close(&backup);
    // The current record's references follow the rewrite.
    if (d->recNo > 0 && d->recNo <= count && d4readRecord(d, d->recNo, rec.data()) == 0)
        for (int i = 0; i < d->memoCount; ++i) {
            const FIELD4* f = d->memos[i].field;
            std::memcpy(d->record + f->offset, rec.data() + f->offset, size_t(f->len));
        }
    for (int i = 0; i < d->memoCount; ++i) f4memoReset(d->memos[i].field);
    d->oldValid = 0;
    return 0;
}

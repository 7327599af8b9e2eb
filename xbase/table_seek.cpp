// The table's side of its index files: tag selection, seeks and the keys of
// records being appended or rewritten.
#include "xbase/file_view.h"
#include "xbase/index.h"
#include "xbase/expression.h"

#include <cstring>
#include <strings.h>
#include <utility>
#include <vector>

namespace {

INDEX4* firstIndex(DATA4* d) { return reinterpret_cast<INDEX4*>(l4first(&d->indexes)); }
INDEX4* nextIndex(DATA4* d, INDEX4* i) { return reinterpret_cast<INDEX4*>(l4next(&d->indexes, &i->link)); }

template <typename F>
void forEachTag(DATA4* d, F&& f) {
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix))
    for (LINK4* l = l4first(&ix->tags); l != nullptr; l = l4next(&ix->tags, l))
      f(reinterpret_cast<TAG4*>(l));
}

// Filter result and key of the record in d->record: 1 with key, 0 filtered out.
int keyOf(TAG4* t, std::vector<char>& key) {
  if (t->filter != nullptr) {
    int f = expr4true(t->filter);
    if (f <= 0) return f;
  }
  char* k = nullptr;
  if (t4keyFromRecord(t, &k) < 0) return -1;
  key.assign(k, k + t->keyLen);
  return 1;
}

struct Change {
  TAG4* tag;
  int hadOld, hasNew;
  std::vector<char> oldKey, newKey;
};

// Undoes the key changes made so far, newest first.
void rollBack(std::vector<Change>& done, int32_t n) {
  for (auto it = done.rbegin(); it != done.rend(); ++it) {
    // A failed write may have left either state behind: look before acting.
    if (it->hasNew) t4removeKey(it->tag, it->newKey.data(), n);
    if (it->hadOld && t4go(it->tag, it->oldKey.data(), n) != 0) t4addKey(it->tag, it->oldKey.data(), n);
  }
}

// Ends a change of record n's keys: on failure undoes what was done (with the
// pending error set aside so the undo can run, then kept), lets the index
// locks go and puts the current record back.
int finishKeyChanges(DATA4* d, std::vector<Change>& done, int32_t n, int rc, bool locked,
                     int32_t savedRec) {
  if (rc != 0) {
    int err = d->cb->errorCode;
    if (err < 0) d->cb->errorCode = 0;
    rollBack(done, n);
    if (err < 0) d->cb->errorCode = err;
  }
  if (locked && d4unlockIndexes(d) < 0 && rc == 0) rc = -1;
  d->recNo = savedRec;
  return rc;
}

// Whether the current record's own key equals the tag's current key.
int recordMatchesTag(TAG4* t, int len, const char* against) {
  char* own = nullptr;
  if (t4keyFromRecord(t, &own) < 0) return -1;
  return t->cmp(own, against, static_cast<size_t>(len)) == 0 ? 1 : 0;
}

// d4go that answers 5 for a record past the end of the table instead of an
// error: the keys of a record being added are written before the record.
int goQuiet(DATA4* d, int32_t rec) {
  CODE4* cb = d->cb;
  const int goError = cb->goError;
  cb->goError = 0;
  int rc = d4go(d, rec);
  cb->goError = goError;
  return rc;
}

int tagSeek(DATA4* d, TAG4* t, const char* key, int len) {
  if (t->index->locked == 0) {
    int v = i4versionCheck(t->index);
    if (v < 0) return -1;
    if (v == status4locked) return v;
  }
  int rc = t4seek(t, key, len);
  if (rc < 0) return -1;
  if (rc == status4locked) return rc;
  if (t4eof(t)) return d4goEof(d);
  // The record is read next; from a view, its bytes start coming now.
  const int32_t found = t4recordNumber(t);
  if (found > 0) file4viewPrefetch(&d->file, d4recordPosition(d, found), static_cast<size_t>(d->recordLen));
  if (d4lockTestFile(d)) {
    int go = goQuiet(d, t4recordNumber(t));
    if (go != status4entry) return go != 0 ? go : rc;
    // A key past the end: left behind by a write that never finished.
  }
  // Other programs may have changed records the index has not caught up
  // with: a record whose own key is not its tag key, or that is not there
  // yet, is passed over.
  // Keys of the usual lengths stay on the stack: this runs at every seek.
  char shortKey[256];
  std::vector<char> longKey;
  char* tagKey = shortKey;
  if (static_cast<size_t>(t->keyLen) > sizeof(shortKey)) {
    longKey.resize(static_cast<size_t>(t->keyLen));
    tagKey = longKey.data();
  }
  for (int check = 0;; ++check) {
    std::memcpy(tagKey, t4key(t), static_cast<size_t>(t->keyLen));
    int go = goQuiet(d, t4recordNumber(t));
    if (go != 0 && go != status4entry) return go;
    int same = go != 0 ? 0 : recordMatchesTag(t, t->keyLen, tagKey);
    if (same < 0) return -1;
    if (same && check == 0) return rc;
    if (same) {
      int c = t->cmp(tagKey, key, static_cast<size_t>(len));
      if (c == 0) return 0;
      if (c > 0) return status4after;
    }
    int32_t moved = t4skip(t, 1);
    if (moved < 0) return -1;
    if (moved == 0) return d4goEof(d);
  }
}

} // namespace

int d4lockIndexes(DATA4* d) {
  if (d == nullptr || d->cb->errorCode < 0) return -1;
  CODE4* cb = d->cb;
  // One try per index file and round: holding one index file while waiting for
  // another is how two programs come to wait on each other for ever.
  const int attempts = cb->lockAttempts;
  int triesLeft = attempts == 0 ? 1 : attempts; // -1: until the locks are had
  cb->lockAttempts = 1;
  std::vector<INDEX4*> taken;
  int rc = 0;
  for (;;) {
    taken.clear();
    rc = 0;
    for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix)) {
      if (i4lockTest(ix)) continue;
      rc = i4lock(ix);
      if (rc != 0) break;
      taken.push_back(ix);
    }
    if (rc == 0) break;
    // Only what this round took goes back; locks held before the call stay.
    const int pending = cb->errorCode;
    cb->errorCode = 0;
    for (INDEX4* ix : taken) i4unlock(ix);
    if (pending != 0) cb->errorCode = pending;
    if (rc == status4locked && triesLeft > 0) --triesLeft;
    if (rc == status4locked && triesLeft != 0) {
      u4waitSecond();
      continue;
    }
    break;
  }
  cb->lockAttempts = attempts;
  return cb->errorCode < 0 ? -1 : rc;
}

int d4lockTestIndexes(DATA4* d) {
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix))
    if (!i4lockTest(ix)) return 0;
  return 1;
}

int d4unlockIndexes(DATA4* d) {
  int rc = 0;
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix))
    if (i4unlock(ix) < 0) rc = -1;
  return rc;
}

int d4flushIndexes(DATA4* d) {
  int rc = 0;
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix))
    if (i4flush(ix) < 0) rc = -1;
  return rc;
}

int d4freeBlocks(DATA4* d) {
  int rc = 0;
  forEachTag(d, [&](TAG4* t) {
    if (t4freeBlocks(t) < 0) rc = -1;
  });
  return rc;
}

TAG4* d4tagNext(DATA4* d, TAG4* t) {
  if (t == nullptr) {
    INDEX4* ix = firstIndex(d);
    return ix != nullptr ? reinterpret_cast<TAG4*>(l4first(&ix->tags)) : nullptr;
  }
  INDEX4* ix = t->index;
  if (LINK4* l = l4next(&ix->tags, &t->link)) return reinterpret_cast<TAG4*>(l);
  for (ix = nextIndex(d, ix); ix != nullptr; ix = nextIndex(d, ix))
    if (LINK4* l = l4first(&ix->tags)) return reinterpret_cast<TAG4*>(l);
  return nullptr;
}

TAG4* d4tagPrev(DATA4* d, TAG4* t) {
  if (t == nullptr) {
    INDEX4* ix = reinterpret_cast<INDEX4*>(l4last(&d->indexes));
    return ix != nullptr ? reinterpret_cast<TAG4*>(l4last(&ix->tags)) : nullptr;
  }
  INDEX4* ix = t->index;
  if (LINK4* l = l4prev(&ix->tags, &t->link)) return reinterpret_cast<TAG4*>(l);
  for (ix = reinterpret_cast<INDEX4*>(l4prev(&d->indexes, &ix->link)); ix != nullptr;
       ix = reinterpret_cast<INDEX4*>(l4prev(&d->indexes, &ix->link)))
    if (LINK4* l = l4last(&ix->tags)) return reinterpret_cast<TAG4*>(l);
  return nullptr;
}

// Top or bottom in tag order.
int d4topBottomTag(DATA4* d, TAG4* t, bool top) {
  int rc = d4flushRecord(d, 1);
  if (rc != 0) return rc;
  if (!t->index->locked && i4versionCheck(t->index) < 0) return -1;
  if ((top ? t4top(t) : t4bottom(t)) < 0) return -1;
  if (!t4eof(t)) {
    int32_t r = t4recordNumber(t);
    int32_t count = d4recordCount(d);
    if (count < 0) return -1;
    if (r > 0 && r <= count) return d4go(d, r);
    if (t4skip(t, top ? 1 : -1) != 0) {
      r = t4recordNumber(t);
      if (r <= 0 || r > count) {
        // A key naming no record: recorded, so the caller can tell it from a lock or read failure.
        error4reportEx(d->cb, err4info, d->file.name, t->alias, nullptr);
        return -1;
      }
      return d4go(d, r);
    }
  }
  d->bofFlag = 1;
  return d4goEof(d);
}

// Takes back the keys of a change whose record never reached the file: the
// record buffer holds the unwritten record, the old-record buffer (when
// `hadOld`) the record as it stands on disk.
void d4undoKeys(DATA4* d, int32_t n, bool hadOld) {
  if (firstIndex(d) == nullptr) return;
  CODE4* cb = d->cb;
  int err = cb->errorCode;
  cb->errorCode = 0;
  int32_t savedRec = d->recNo;
  d->recNo = n;
  forEachTag(d, [&](TAG4* t) {
    std::vector<char> newKey, oldKey;
    int hasNew = keyOf(t, newKey);
    int hadKey = 0;
    if (hadOld) {
      std::swap(d->record, d->recordOld);
      hadKey = keyOf(t, oldKey);
      std::swap(d->record, d->recordOld);
    }
    if (hasNew < 0 || hadKey < 0) {
      cb->errorCode = 0;
      return;
    }
    if (hadKey == hasNew && (hasNew == 0 || oldKey == newKey)) return;
    if (hasNew) t4removeKey(t, newKey.data(), n);
    if (hadKey) t4addKey(t, oldKey.data(), n);
    cb->errorCode = 0;
  });
  d->recNo = savedRec;
  cb->errorCode = err;
}

int i4closeAll(DATA4* d) {
  int rc = 0;
  while (INDEX4* ix = firstIndex(d))
    if (i4close(ix) < 0) rc = -1;
  d->tagSelected = nullptr;
  return rc;
}

INDEX4* d4indexByName(DATA4* d, const char* name) {
  char want[u4pathMax], have[u4pathMax];
  u4namePart(want, sizeof(want), name, 1, 0);
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix)) {
    u4namePart(have, sizeof(have), ix->file.name, 1, 0);
    if (strcasecmp(want, have) == 0) return ix;
  }
  return nullptr;
}

TAG4* d4tagByName(DATA4* d, const char* name) {
  if (d == nullptr) return nullptr;
  char want[11] = {0};  // a null name matches no tag
  u4copyBounded(want, name, sizeof(want));
  u4upper(want);
  TAG4* found = nullptr;
  forEachTag(d, [&](TAG4* t) {
    if (found == nullptr && std::strcmp(t->alias, want) == 0) found = t;
  });
  if (found == nullptr && d->cb->tagNameError)
    error4reportEx(d->cb, err4tagName, name, nullptr, nullptr);
  return found;
}

TAG4* d4tagDefault(DATA4* d) {
  if (d->tagSelected != nullptr) return d->tagSelected;
  INDEX4* ix = firstIndex(d);
  return ix != nullptr ? reinterpret_cast<TAG4*>(l4first(&ix->tags)) : nullptr;
}

void d4tagSelect(DATA4* d, TAG4* t) { d->tagSelected = t; }
TAG4* d4tagSelected(DATA4* d) { return d->tagSelected; }

int d4seekLen(DATA4* d, const char* text, int len) {
  if (d == nullptr || text == nullptr || d->cb->errorCode < 0) return -1;
  TAG4* t = d4tagDefault(d);
  if (t == nullptr) return status4noTag;
  int frc = d4flushRecord(d, 1);
  if (frc != 0) return frc;
  if (len <= 0) len = static_cast<int>(std::strlen(text));
  char small[512];
  std::vector<char> large;
  char* key = small;
  if (static_cast<size_t>(t->keyLen) + 1 > sizeof(small)) {
    large.resize(static_cast<size_t>(t->keyLen) + 1);
    key = large.data();
  }
  int klen = t4keyFromText(t, text, len, key);
  if (klen < 0) return -1;
  return tagSeek(d, t, key, klen);
}

int d4seek(DATA4* d, const char* text) {
  return d4seekLen(d, text, text != nullptr ? static_cast<int>(std::strlen(text)) : 0);
}

int d4seekDouble(DATA4* d, double value) {
  if (d == nullptr || d->cb->errorCode < 0) return -1;
  TAG4* t = d4tagDefault(d);
  if (t == nullptr) return status4noTag;
  int frc = d4flushRecord(d, 1);
  if (frc != 0) return frc;
  std::vector<char> key(static_cast<size_t>(t->keyLen) + 1);
  if (t4keyFromDouble(t, value, key.data()) < 0) return -1;
  return tagSeek(d, t, key.data(), t->keyLen);
}

int d4reindex(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (d4flushRecord(d, 0) != 0) return -1;
  int rc = d4lockAll(d);
  if (rc != 0) return rc;
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix))
    if (i4rebuild(ix) != 0) return -1;
  return 0;
}

int d4addKeys(DATA4* d, int32_t n) {
  if (firstIndex(d) == nullptr) return 0;
  bool locked = false;
  if (!d4lockTestIndexes(d)) {
    int lrc = d4lockIndexes(d);
    if (lrc != 0) return lrc;
    locked = true;
  }
  int32_t savedRec = d->recNo;
  d->recNo = n;
  std::vector<Change> done;
  int rc = 0;
  forEachTag(d, [&](TAG4* t) {
    if (rc != 0) return;
    Change c{t, 0, 0, {}, {}};
    int has = keyOf(t, c.newKey);
    if (has < 0) {
      rc = -1;
      return;
    }
    if (has == 0) return;
    int a = t4addKey(t, c.newKey.data(), n);
    if (a == status4uniqueCont) return;
    if (a > 0 || a == err4unique) { // refused: nothing was added
      rc = a;
      return;
    }
    c.hasNew = 1;
    done.push_back(std::move(c));
    if (a < 0) rc = -1;
  });
  return finishKeyChanges(d, done, n, rc, locked, savedRec);
}

// Replaces the keys of record n: the old ones from the record on disk, the
// new ones from the record buffer. A unique refusal puts every key back.
int d4updateKeysIndexed(DATA4* d, int32_t n) {
  d->cb->activity |= 0x20;
  if (firstIndex(d) == nullptr) return 0;
  if (d4readOld(d, n) != 0) return -1;
  if (std::memcmp(d->record, d->recordOld, static_cast<size_t>(d->recordLen)) == 0) return 0;
  int32_t savedRec = d->recNo;
  d->recNo = n;
  std::vector<Change> changes;
  int rc = 0;
  forEachTag(d, [&](TAG4* t) {
    if (rc != 0) return;
    Change c{t, 0, 0, {}, {}};
    int hasNew = keyOf(t, c.newKey);
    std::swap(d->record, d->recordOld);
    int hadOld = hasNew < 0 ? -1 : keyOf(t, c.oldKey);
    std::swap(d->record, d->recordOld);
    if (hasNew < 0 || hadOld < 0) {
      rc = -1;
      return;
    }
    c.hadOld = hadOld;
    c.hasNew = hasNew;
    if (hadOld == hasNew && (hasNew == 0 || c.oldKey == c.newKey)) return;
    changes.push_back(std::move(c));
  });
  bool locked = false;
  if (rc == 0 && !changes.empty() && !d4lockTestIndexes(d)) {
    rc = d4lockIndexes(d);
    locked = true;
  }
  std::vector<Change> done;
  for (size_t i = 0; rc == 0 && i < changes.size(); ++i) {
    Change& c = changes[i];
    if (c.hadOld) {
      int r = t4removeKey(c.tag, c.oldKey.data(), n);
      if (r == status4entry) c.hadOld = 0; // it was never there (left out as a duplicate)
      if (r < 0) {
        c.hasNew = 0;
        done.push_back(c);
        rc = -1;
        break;
      }
    }
    if (c.hasNew) {
      int a = t4addKey(c.tag, c.newKey.data(), n);
      if (a == status4uniqueCont || a > 0 || a == err4unique) c.hasNew = 0;
      if (a != 0 && a != status4uniqueCont) {
        done.push_back(c);
        rc = a;
        break;
      }
    }
    done.push_back(c);
  }
  return finishKeyChanges(d, done, n, rc, locked, savedRec);
}

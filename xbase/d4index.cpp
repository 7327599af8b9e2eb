// The table's side of its index files: tag selection, seeks and the keys of
// records being appended or rewritten.
#include "xbase/index.h"
#include "xbase/expr4.h"

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
    if (it->hasNew) t4removeKey(it->tag, it->newKey.data(), n);
    if (it->hadOld) t4addKey(it->tag, it->oldKey.data(), n);
  }
}

int tagSeek(DATA4* d, TAG4* t, const char* key, int len) {
  if (t->index->locked == 0 && i4versionCheck(t->index) < 0) return -1;
  int rc = t4seek(t, key, len);
  if (rc < 0) return -1;
  if (t4eof(t)) {
    if (d4goEof(d) < 0) return -1;
    return status4eof;
  }
  int go = d4go(d, t4recordNumber(t));
  if (go != 0) return go;
  return rc;
}

} // namespace

int i4closeAll(DATA4* d) {
  int rc = 0;
  while (INDEX4* ix = firstIndex(d))
    if (i4close(ix) < 0) rc = -1;
  d->tagSelected = nullptr;
  return rc;
}

INDEX4* d4index(DATA4* d, const char* name) {
  char want[u4pathMax], have[u4pathMax];
  u4namePart(want, sizeof(want), name, 0, 0);
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix)) {
    u4namePart(have, sizeof(have), ix->file.name, 0, 0);
    if (strcasecmp(want, have) == 0) return ix;
  }
  return nullptr;
}

TAG4* d4tag(DATA4* d, const char* name) {
  char want[11] = {0};
  u4copyBounded(want, name, sizeof(want));
  u4upper(want);
  TAG4* found = nullptr;
  forEachTag(d, [&](TAG4* t) {
    if (found == nullptr && std::strcmp(t->alias, want) == 0) found = t;
  });
  if (found == nullptr && d->cb->tagNameError)
    error4reportEx(d->cb, err4tagName, "Tag Name not Found", name, nullptr);
  return found;
}

TAG4* d4tagDefault(DATA4* d) {
  if (d->tagSelected != nullptr) return d->tagSelected;
  INDEX4* ix = firstIndex(d);
  return ix != nullptr ? reinterpret_cast<TAG4*>(l4first(&ix->tags)) : nullptr;
}

void d4tagSelect(DATA4* d, TAG4* t) { d->tagSelected = t; }
TAG4* d4tagSelected(DATA4* d) { return d->tagSelected; }

int d4seekN(DATA4* d, const char* text, int len) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  TAG4* t = d4tagDefault(d);
  if (t == nullptr) return status4noTag;
  if (d4flushRecord(d, 0) != 0) return -1;
  std::vector<char> key(static_cast<size_t>(t->keyLen) + 1);
  int klen = t4keyFromText(t, text, len, key.data());
  if (klen < 0) return -1;
  return tagSeek(d, t, key.data(), klen);
}

int d4seek(DATA4* d, const char* text) {
  return d4seekN(d, text, text != nullptr ? static_cast<int>(std::strlen(text)) : 0);
}

int d4seekDouble(DATA4* d, double value) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  TAG4* t = d4tagDefault(d);
  if (t == nullptr) return status4noTag;
  if (d4flushRecord(d, 0) != 0) return -1;
  std::vector<char> key(static_cast<size_t>(t->keyLen) + 1);
  if (t4keyFromDouble(t, value, key.data()) < 0) return -1;
  return tagSeek(d, t, key.data(), t->keyLen);
}

int d4reindex(DATA4* d) {
  CODE4* cb = d->cb;
  if (cb->errorCode < 0) return -1;
  if (d4flushRecord(d, 0) != 0) return -1;
  for (INDEX4* ix = firstIndex(d); ix != nullptr; ix = nextIndex(d, ix)) {
    int rc = i4rebuild(ix);
    if (rc != 0) return rc;
  }
  return 0;
}

int d4addKeys(DATA4* d, int32_t n) {
  if (firstIndex(d) == nullptr) return 0;
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
    if (a != 0) {
      rc = a;
      return;
    }
    c.hasNew = 1;
    done.push_back(std::move(c));
  });
  if (rc != 0) {
    int err = d->cb->errorCode;
    if (err < 0) d->cb->errorCode = 0;
    rollBack(done, n);
    if (err < 0) d->cb->errorCode = err;
  }
  d->recNo = savedRec;
  return rc;
}

// Replaces the keys of record n: the old ones from the record on disk, the
// new ones from the record buffer. A unique refusal puts every key back.
int d4updateKeysIndexed(DATA4* d, int32_t n) {
  if (firstIndex(d) == nullptr) return 0;
  if (d4readOld(d, n) != 0) return -1;
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
  std::vector<Change> done;
  for (size_t i = 0; rc == 0 && i < changes.size(); ++i) {
    Change& c = changes[i];
    if (c.hadOld) {
      int r = t4removeKey(c.tag, c.oldKey.data(), n);
      if (r < 0) rc = -1;
      if (r == status4entry) c.hadOld = 0; // it was never there (left out as a duplicate)
    }
    if (rc == 0 && c.hasNew) {
      int a = t4addKey(c.tag, c.newKey.data(), n);
      if (a == status4uniqueCont) {
        c.hasNew = 0;
      } else if (a != 0) {
        c.hasNew = 0;
        done.push_back(c);
        rc = a;
        break;
      }
    }
    done.push_back(c);
  }
  if (rc != 0) {
    int err = d->cb->errorCode;
    if (err < 0) d->cb->errorCode = 0;
    rollBack(done, n);
    if (err < 0) d->cb->errorCode = err;
  }
  d->recNo = savedRec;
  return rc;
}

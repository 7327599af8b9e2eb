// Field lookup, readers and assigners over the record buffer.
#include "xbase/numbers.h"
#include "xbase/table.h"

#include <cmath>
#include <cstring>

int d4fieldCount(DATA4* d) { return d->fieldCount; }

FIELD4* d4fieldByNumber(DATA4* d, int n) {
  if (n < 1 || n > d->fieldCount) return nullptr;
  return &d->fields[n - 1];
}

int d4fieldNumber(DATA4* d, const char* name) {
  CODE4* cb = d->cb;
  if (name != nullptr) {
    char want[256];
    u4copyBounded(want, name, sizeof(want));
    size_t n = std::strlen(want);
    while (n > 0 && want[n - 1] == ' ') want[--n] = 0;
    u4upper(want);
    for (int i = 0; i < d->fieldCount; ++i)
      if (std::strcmp(d->fields[i].name, want) == 0) return i + 1;
  }
  if (cb->fieldNameError)
    error4reportEx(cb, err4fieldName, name != nullptr ? name : "", nullptr, nullptr);
  return -1;
}

FIELD4* d4fieldByName(DATA4* d, const char* name) {
  return d4fieldByNumber(d, d4fieldNumber(d, name));
}

const char* f4name(FIELD4* f) { return f->name; }
int f4type(FIELD4* f) { return f->type == 'F' ? 'N' : f->type; }
int f4len(FIELD4* f) { return f->len; }
int f4decimals(FIELD4* f) { return f->dec; }
DATA4* f4data(FIELD4* f) { return f->data; }
char* f4ptr(FIELD4* f) { return f->data->record + f->offset; }

int64_t f4long(FIELD4* f) {
  if (f->type == 'D') return date4long(f4ptr(f));
  return c4textToInt(f4ptr(f), f->len);
}

double f4double(FIELD4* f) {
  if (f->type == 'D') return date4long(f4ptr(f));
  return c4textToDouble(f4ptr(f), f->len);
}

int f4doubleOut(FIELD4* f, double* out) {
  *out = f4double(f);
  return 0;
}

size_t f4copyTo(FIELD4* f, char* buf, size_t size) {
  if (size == 0) return 0;
  size_t n = static_cast<size_t>(f->len);
  if (n > size - 1) n = size - 1;
  std::memcpy(buf, f4ptr(f), n);
  buf[n] = 0;
  return n;
}

const char* f4str(FIELD4* f) {
  CODE4* cb = f->data->cb;
  size_t need = static_cast<size_t>(f->len) + 1;
  if (u4allocAgain(cb, &cb->fieldBuffer, &cb->fieldBufferLen, need) != 0) return nullptr;
  std::memcpy(cb->fieldBuffer, f4ptr(f), need - 1);
  cb->fieldBuffer[need - 1] = 0;
  return cb->fieldBuffer;
}

char* f4assignPtr(FIELD4* f) {
  f->data->recChanged = 1;
  return f4ptr(f);
}

void f4blank(FIELD4* f) { std::memset(f4assignPtr(f), ' ', static_cast<size_t>(f->len)); }

void f4assignN(FIELD4* f, const char* bytes, size_t n) {
  char* p = f4assignPtr(f);
  size_t len = static_cast<size_t>(f->len);
  if (n > len) n = len;
  std::memcpy(p, bytes, n);
  std::memset(p + n, ' ', len - n);
}

void f4assign(FIELD4* f, const char* text) { f4assignN(f, text, std::strlen(text)); }

void f4assignLong(FIELD4* f, int64_t value) {
  if (f->data->cb->errorCode < 0) return;
  if (f->type == 'D') {
    int32_t day = value < INT32_MIN || value > INT32_MAX ? -1 : static_cast<int32_t>(value);
    date4assign(f4assignPtr(f), day);
    return;
  }
  if (f->dec > 0) {
    f4assignDouble(f, static_cast<double>(value));
    return;
  }
  c4longToText(value, f4assignPtr(f), f->len);
}

void f4assignDouble(FIELD4* f, double value) {
  if (f->data->cb->errorCode < 0) return;
  if (f->type == 'D') {
    int32_t day = std::isfinite(value) && value >= INT32_MIN && value <= INT32_MAX
                      ? static_cast<int32_t>(value)
                      : -1;
    date4assign(f4assignPtr(f), day);
    return;
  }
  c4doubleToText(value, f4assignPtr(f), f->len, f->dec);
}

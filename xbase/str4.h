// String and field classes: views and small owned strings with one set of
// text operations, and Field4/Date4 over record fields and dates.
#pragma once

#include "xbase/table.h"

#include <cstdint>

class Str4len;

class Str4 {
 public:
  virtual ~Str4() = default;
  virtual int64_t asLong();
  virtual void changed() {}
  virtual int decimals() { return 0; }
  virtual unsigned len();
  virtual unsigned maximum() { return len(); }
  virtual char* ptr() = 0;
  virtual const char* str();
  virtual int setLen(unsigned) { return -1; }
  virtual int setMax(unsigned) { return -1; }

  double asDouble();
  int64_t asInt() { return asLong(); }
  char firstChar();
  int isTrue();
  char* lastChar();
  char* at(unsigned i) { return ptr() + i; }
  int equal(Str4& other);
  int less(Str4& other);
  int greater(Str4& other);
  int find(Str4& other);
  int insert(Str4& other, unsigned position);
  int append(Str4& other);
  int append(const char* text);
  int assign(const char* text);
  int assign(const char* bytes, unsigned n);
  int assign(Str4& other);
  int replace(Str4& other, unsigned position);
  void set(char c);
  int assignLong(int64_t value, int newLen = -1, int zeroFill = 0);
  int assignDouble(double value, int newLen = -1, int decimals = -1);
  int encode(const char* source, const char* targetPicture, const char* sourcePicture);
  const char* dateFormat(const char* picture);
  Str4len left(unsigned n);
  Str4len right(unsigned n);
  Str4len substr(unsigned start, unsigned n);
  void lower();
  void upper();
  int trim();
  unsigned copyTo(char* buffer, unsigned size);

 protected:
  Str4() = default;
  Str4(const Str4&) = default;
  Str4& operator=(const Str4&) = default;
};

class Str4ptr : public Str4 {
 public:
  explicit Str4ptr(char* p) : p_(p) {}
  char* ptr() override { return p_; }

 protected:
  char* p_;
};

class Str4len : public Str4ptr {
 public:
  Str4len(const void* p, unsigned n) : Str4ptr(static_cast<char*>(const_cast<void*>(p))), n_(n) {}
  Str4len(Str4& source, unsigned start, unsigned count);
  unsigned len() override { return n_; }

 private:
  unsigned n_;
};

class Str4char : public Str4 {
 public:
  explicit Str4char(char c = ' ') : c_(c) {}
  unsigned len() override { return 1; }
  unsigned maximum() override { return 1; }
  char* ptr() override { return &c_; }

 private:
  char c_;
};

class Str4large : public Str4 {
 public:
  Str4large() { buf_[0] = 0; }
  explicit Str4large(const char* text);
  explicit Str4large(Str4& other);
  unsigned len() override { return n_; }
  unsigned maximum() override { return kMax; }
  char* ptr() override { return buf_; }
  int setLen(unsigned n) override;

  static constexpr unsigned kMax = 255;

 private:
  unsigned n_ = 0;
  char buf_[kMax + 1];
};

class Date4 : public Str4 {
 public:
  Date4();
  explicit Date4(int32_t julian);
  explicit Date4(const char* ccyymmdd);
  Date4(const char* text, const char* picture);
  int64_t asLong() override;
  unsigned len() override { return 8; }
  unsigned maximum() override { return 8; }
  char* ptr() override { return buf_; }

 private:
  char buf_[9];
};

class Field4 : public Str4 {
 public:
  explicit Field4(FIELD4* field) : field_(field) {}
  void changed() override { f4data(field_)->recChanged = 1; }
  int decimals() override { return f4decimals(field_); }
  unsigned len() override { return static_cast<unsigned>(f4len(field_)); }
  char* ptr() override { return f4ptr(field_); }
  FIELD4* field() { return field_; }

 private:
  FIELD4* field_;
};

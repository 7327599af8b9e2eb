// String classes of the table engine: one interface over texts that live in different
// places (a pointer, a fixed buffer, a date, a field inside a record buffer).
//
// A class may or may not be able to change its length: views and fields keep theirs and
// refuse (-1), Str4large grows up to 255 characters. Operations that would need more room
// than a class has are cut to what fits. `str` and `dateFormat` answer a copy in one
// buffer shared by all strings: the engine runs on one thread, and the copy lasts until the
// next such call.
#pragma once

#include <cstdint>

#include "xbase/index.h"
#include "xbase/table.h"

class Str4len;

class Str4 {
public:
    virtual ~Str4() = default;

    virtual long asLong();
    virtual void changed() {}
    virtual int decimals() { return 0; }
    virtual unsigned len();
    virtual unsigned maximum() { return len(); }
    virtual char* ptr() = 0;
    virtual const char* str();
    virtual int setLen(unsigned) { return -1; }
    virtual int setMax(unsigned) { return -1; }

    double asDouble();
    int asInt() { return int(asLong()); }
    char firstChar();
    int isTrue();
    char* lastChar();
    char* at(unsigned i);

    int equal(Str4& other);
    int less(Str4& other);
    int greater(Str4& other) { return other.less(*this); }
    int find(Str4& other);

    int insert(Str4& other, unsigned position);
    int append(Str4& other) { return insert(other, len()); }
    int append(const char* text);
    int assign(const char* text);
    int assign(const char* bytes, unsigned n);
    int assign(Str4& other);
    int replace(Str4& other, unsigned position);
    void set(char c);
    int assignLong(long value, int newLength = -1, int zeroFill = 0);
    int assignDouble(double value, int newLength = -1, int decimals = -1);
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
    // Terminates the text at its length when the class has room for it.
    void terminate();
};

// A view of a terminated text.
class Str4ptr : public Str4 {
public:
    explicit Str4ptr(char* text) : p_(text) {}
    char* ptr() override { return p_; }

protected:
    char* p_;
};

// A view of n characters.
class Str4len : public Str4ptr {
public:
    Str4len(const void* text, unsigned n)
        : Str4ptr(static_cast<char*>(const_cast<void*>(text))), n_(text != nullptr ? n : 0) {}
    // Views `count` characters of `source` from `start`, cut to what the source has.
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

// A string in a buffer of its own of at most N characters; a longer length sets N and
// answers -1.
template <unsigned N>
class Str4fixed : public Str4 {
public:
    static constexpr unsigned capacity = N;
    unsigned len() override { return n_; }
    unsigned maximum() override { return capacity; }
    char* ptr() override { return buf_; }
    int setLen(unsigned n) override {
        int rc = 0;
        if (n > capacity) {
            n = capacity;
            rc = -1;
        }
        n_ = n;
        buf_[n] = '\0';
        return rc;
    }

private:
    unsigned n_ = 0;
    char buf_[capacity + 1] = {};
};

class Str4large : public Str4fixed<255> {
public:
    Str4large() = default;
    explicit Str4large(const char* text);
    explicit Str4large(Str4& other);
};

// A string of at most ten characters; a longer length sets ten and answers -1.
class Str4ten : public Str4fixed<10> {
public:
    Str4ten() = default;
    explicit Str4ten(const char* text);
};

// A string whose room grows on demand: a length above the maximum first raises
// the maximum; when the room cannot be had the string stays as it was and the
// answer is -1.
class Str4flex : public Str4 {
public:
    Str4flex() = default;
    explicit Str4flex(const char* text);
    ~Str4flex() override;
    Str4flex(const Str4flex&) = delete;
    Str4flex& operator=(const Str4flex&) = delete;
    unsigned len() override { return n_; }
    unsigned maximum() override { return max_; }
    char* ptr() override { return buf_; }
    int setLen(unsigned n) override;
    int setMax(unsigned n) override;

private:
    unsigned n_ = 0;
    unsigned max_ = 0;
    char* buf_ = nullptr; // max_ + 1 bytes
};

class Date4 : public Str4 {
public:
    Date4();                      // the empty date
    explicit Date4(long dayNumber);
    explicit Date4(const char* ccyymmdd);
    Date4(const char* text, const char* picture);
    long asLong() override;       // the day number
    unsigned len() override { return 8; }
    unsigned maximum() override { return 8; }
    char* ptr() override { return buf_; }

private:
    char buf_[9];
};

// A field of the current record seen as a fixed-length string: changes go straight into
// the record buffer and mark the record changed.
class Field4 : public Str4 {
public:
    explicit Field4(FIELD4* field) : f_(field) {}
    Field4(DATA4* data, const char* name) : f_(d4fieldByName(data, name)) {}
    void changed() override;
    int decimals() override;
    unsigned len() override;
    unsigned maximum() override { return len(); }
    char* ptr() override;
    FIELD4* field() const { return f_; }

private:
    FIELD4* f_;
};

// A table seen as an object: the class layer's way to its tags.
class Data4 {
public:
    explicit Data4(DATA4* data) : d_(data) {}
    DATA4* data() const { return d_; }
    // The tag of that name (-330 when none, as d4tagByName).
    TAG4* tagByName(const char* name) { return d4tagByName(d_, name); }

private:
    DATA4* d_;
};

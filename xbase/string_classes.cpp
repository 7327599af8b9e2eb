#include "xbase/string_classes.h"

#include <cstring>
#include <string>

#include "xbase/text.h"
#include "xbase/dates.h"

namespace {

// The copy answered by str() and dateFormat().
char sharedBuffer[date4maxPicture + 1];

}  // namespace

// Flag words beyond 31 bits keep their low 32 bits (a 64-bit parse saturates first).
long Str4::asLong() { return int32_t(uint32_t(uint64_t(c4textToInt(ptr(), int(len()))))); }

unsigned Str4::len() {
    const char* p = ptr();
    return p != nullptr ? unsigned(std::strlen(p)) : 0;
}

const char* Str4::str() {
    unsigned n = len();
    if (n > 256) n = 256;
    if (n > 0) std::memcpy(sharedBuffer, ptr(), n);
    sharedBuffer[n] = '\0';
    return sharedBuffer;
}

void Str4::terminate() {
    const unsigned n = len();
    if (n < maximum() && ptr() != nullptr) ptr()[n] = '\0';
}

double Str4::asDouble() { return c4textToDouble(ptr(), int(len())); }

char Str4::firstChar() {
    const char* p = ptr();
    return p != nullptr && len() > 0 ? p[0] : '\0';
}

int Str4::isTrue() {
    const char c = firstChar();
    return c == 'T' || c == 'Y' || c == 't' || c == 'y';
}

char* Str4::lastChar() {
    const unsigned n = len();
    return n > 0 ? ptr() + n - 1 : nullptr;
}

char* Str4::at(unsigned i) { return i < len() ? ptr() + i : nullptr; }

int Str4::equal(Str4& other) {
    const unsigned n = len();
    if (n != other.len()) return 0;
    return n == 0 || std::memcmp(ptr(), other.ptr(), n) == 0;
}

int Str4::less(Str4& other) {
    const unsigned n = len();
    const unsigned m = other.len();
    const unsigned common = n < m ? n : m;
    const int cmp = common > 0 ? std::memcmp(ptr(), other.ptr(), common) : 0;
    if (cmp != 0) return cmp < 0;
    return n < m;
}

int Str4::find(Str4& other) {
    const unsigned n = len();
    const unsigned m = other.len();
    if (m == 0) return 0;
    if (m > n) return -1;
    const char* p = ptr();
    const char* q = other.ptr();
    for (unsigned i = 0; i + m <= n; ++i)
        if (std::memcmp(p + i, q, m) == 0) return int(i);
    return -1;
}

int Str4::insert(Str4& other, unsigned position) {
    changed();
    // The other string may be this one or overlap it: take its bytes first.
    const std::string add(other.ptr() != nullptr ? other.ptr() : "", other.len());
    const unsigned oldLen = len();
    if (position > oldLen) position = oldLen;
    setLen(oldLen + unsigned(add.size()));
    const unsigned newLen = len();
    if (position >= newLen) return -1;
    char* p = ptr();
    const unsigned room = newLen - position;
    const unsigned copied = add.size() < room ? unsigned(add.size()) : room;
    // Move the tail up; what would pass the end is lost.
    const unsigned tail = oldLen - position;
    const unsigned tailKept = room - copied < tail ? room - copied : tail;
    std::memmove(p + position + copied, p + position, tailKept);
    std::memcpy(p + position, add.data(), copied);
    terminate();
    return copied < add.size() || tailKept < tail ? -1 : 0;
}

int Str4::append(const char* text) {
    Str4ptr other(const_cast<char*>(text != nullptr ? text : ""));
    return append(other);
}

int Str4::assign(const char* text) { return assign(text, text != nullptr ? unsigned(std::strlen(text)) : 0); }

int Str4::assign(const char* bytes, unsigned n) {
    changed();
    if (bytes == nullptr) n = 0;
    setLen(n);
    const unsigned have = len();
    char* p = ptr();
    if (p == nullptr) return -1;
    int rc = 0;
    if (have < n) {
        n = have;
        rc = -1;
    } else {
        std::memset(p, ' ', have);
    }
    if (n > 0) std::memmove(p, bytes, n);
    terminate();
    return rc;
}

int Str4::assign(Str4& other) {
    const std::string copy(other.ptr() != nullptr ? other.ptr() : "", other.len());
    return assign(copy.data(), unsigned(copy.size()));
}

int Str4::replace(Str4& other, unsigned position) {
    changed();
    const std::string add(other.ptr() != nullptr ? other.ptr() : "", other.len());
    if (position > len()) position = len();
    if (position + add.size() > len()) setLen(position + unsigned(add.size()));
    const unsigned n = len();
    if (position >= n) return add.empty() ? 0 : -1;
    const unsigned copied = add.size() < n - position ? unsigned(add.size()) : n - position;
    std::memcpy(ptr() + position, add.data(), copied);
    terminate();
    return copied < add.size() ? -1 : 0;
}

void Str4::set(char c) {
    changed();
    if (len() > 0) std::memset(ptr(), c, len());
}

int Str4::assignLong(long value, int newLength, int zeroFill) {
    changed();
    int rc = 0;
    if (newLength >= 0) rc = setLen(unsigned(newLength));
    const int n = int(len());
    if (n > 0) c4longToText(value, ptr(), zeroFill ? -n : n);
    return rc;
}

int Str4::assignDouble(double value, int newLength, int decimalCount) {
    changed();
    int rc = 0;
    if (newLength >= 0) rc = setLen(unsigned(newLength));
    if (decimalCount < 0) decimalCount = decimals();
    const int n = int(len());
    if (n > 0) c4doubleToText(value, ptr(), n, decimalCount);
    return rc;
}

int Str4::encode(const char* source, const char* targetPicture, const char* sourcePicture) {
    if (source == nullptr || targetPicture == nullptr || sourcePicture == nullptr) return -1;
    const size_t targetLen = std::strlen(targetPicture);
    const size_t sourceLen = std::strlen(sourcePicture);
    if (targetLen > date4maxPicture || sourceLen > date4maxPicture) return -1;
    changed();
    if (len() < targetLen) setLen(unsigned(targetLen));
    // A class that cannot hold the result is left as it was.
    if (len() < targetLen) return -1;
    // c4encode reads the source over its picture's length: pad a short source.
    char data[date4maxPicture + 1];
    size_t i = 0;
    for (; i < sourceLen && source[i] != '\0'; ++i) data[i] = source[i];
    for (; i < sourceLen; ++i) data[i] = ' ';
    c4encode(ptr(), data, targetPicture, sourcePicture);
    terminate();
    return 0;
}

const char* Str4::dateFormat(const char* picture) {
    char date[8];
    std::memset(date, ' ', sizeof date);
    const unsigned n = len();
    std::memcpy(date, ptr(), n < 8 ? n : 8);
    date4format(date, sharedBuffer, picture);
    return sharedBuffer;
}

Str4len Str4::left(unsigned n) { return Str4len(*this, 0, n); }

Str4len Str4::right(unsigned n) {
    const unsigned have = len();
    return n >= have ? Str4len(*this, 0, have) : Str4len(*this, have - n, n);
}

Str4len Str4::substr(unsigned start, unsigned n) { return Str4len(*this, start, n); }

void Str4::lower() {
    changed();
    if (len() > 0) c4lowerN(ptr(), int(len()));
}

void Str4::upper() {
    changed();
    if (len() > 0) c4upperN(ptr(), int(len()));
}

int Str4::trim() {
    changed();
    unsigned n = len();
    char* p = ptr();
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) p[--n] = '\0';
    return setLen(n);
}

unsigned Str4::copyTo(char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return 0;
    unsigned n = len();
    if (n > size - 1) n = size - 1;
    if (n > 0) std::memcpy(buffer, ptr(), n);
    buffer[n] = '\0';
    return n;
}

Str4len::Str4len(Str4& source, unsigned start, unsigned count) : Str4ptr(source.ptr()), n_(0) {
    const unsigned have = source.len();
    if (p_ == nullptr || start > have) {
        p_ = nullptr;
        return;
    }
    p_ += start;
    n_ = count < have - start ? count : have - start;
}

Str4large::Str4large(const char* text) {
    assign(text);
}

Str4large::Str4large(Str4& other) {
    assign(other);
}

Str4ten::Str4ten(const char* text) {
    assign(text);
}

Str4flex::Str4flex(const char* text) { assign(text); }

Str4flex::~Str4flex() { u4globalFree(buf_); }

int Str4flex::setMax(unsigned n) {
    if (n <= max_ && buf_ != nullptr) return 0;
    auto* fresh = static_cast<char*>(u4globalAlloc(size_t(n) + 1));
    if (fresh == nullptr) return -1;
    if (buf_ != nullptr) std::memcpy(fresh, buf_, size_t(n_) + 1);
    u4globalFree(buf_);
    buf_ = fresh;
    max_ = n;
    return 0;
}

int Str4flex::setLen(unsigned n) {
    if (n > max_ || buf_ == nullptr) {
        const unsigned old = max_;
        if (setMax(n) != 0) {
            max_ = old;
            return -1;
        }
    }
    n_ = n;
    buf_[n] = '\0';
    return 0;
}

Date4::Date4() {
    std::memset(buf_, ' ', 8);
    buf_[8] = '\0';
}

Date4::Date4(long dayNumber) {
    date4fromJulian(buf_, dayNumber);
    buf_[8] = '\0';
}

Date4::Date4(const char* ccyymmdd) {
    std::memset(buf_, ' ', 8);
    for (int i = 0; i < 8 && ccyymmdd != nullptr && ccyymmdd[i] != '\0'; ++i) buf_[i] = ccyymmdd[i];
    buf_[8] = '\0';
}

Date4::Date4(const char* text, const char* picture) {
    date4parse(buf_, text, picture);
    buf_[8] = '\0';
}

long Date4::asLong() { return date4toJulian(buf_); }

void Field4::changed() {
    if (f_ != nullptr) f_->data->recChanged = 1;
}

int Field4::decimals() { return f_ != nullptr ? f4decimals(f_) : 0; }

unsigned Field4::len() { return f_ != nullptr ? unsigned(f4len(f_)) : 0; }

char* Field4::ptr() { return f_ != nullptr ? f4ptr(f_) : nullptr; }

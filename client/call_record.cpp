#include "client/call_record.h"

#include <ctime>

namespace orvelin::client {

namespace {

constexpr std::array<std::string_view, kCallStateCount> kStateNames = {
    "",
    "Rejected",
    "Echoed",
    "Answered",
    "Voice Message",
    "Broken FAX",
    "FAX",
    "Read Voice Message",
    "Viewed FAX Message",
    "Answered by phone",
    "SMS",
    "Read SMS",
};

class Writer {
  public:
    explicit Writer(std::span<std::uint8_t, kCallRecordSize> out) : out_(out) {}
    void u16(std::uint16_t v) {
        out_[pos_++] = static_cast<std::uint8_t>(v);
        out_[pos_++] = static_cast<std::uint8_t>(v >> 8);
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    template <std::size_t N>
    void text(const TextField<N>& f) {
        for (char c : f.bytes) out_[pos_++] = static_cast<std::uint8_t>(c);
    }
    std::size_t pos() const { return pos_; }

  private:
    std::span<std::uint8_t, kCallRecordSize> out_;
    std::size_t pos_ = 0;
};

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t, kCallRecordSize> in) : in_(in) {}
    std::uint16_t u16() {
        const auto v = static_cast<std::uint16_t>(in_[pos_] | (in_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        const std::uint32_t hi = u16();
        return lo | (hi << 16);
    }
    template <std::size_t N>
    void text(TextField<N>& f) {
        std::string_view raw(reinterpret_cast<const char*>(in_.data() + pos_), N);
        pos_ += N;
        f.assign(raw);
    }
    std::size_t pos() const { return pos_; }

  private:
    std::span<const std::uint8_t, kCallRecordSize> in_;
    std::size_t pos_ = 0;
};

}  // namespace

std::string_view callStateName(std::uint32_t state) {
    return isKnownCallState(state) ? kStateNames[state] : std::string_view{};
}

std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    std::size_t n = maxBytes;
    // Back off over continuation bytes so the cut lands before a lead byte.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

ArrivalTime makeArrivalTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto sinceEpoch = when.time_since_epoch();
    const std::time_t t = system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&t, &tm);
    ArrivalTime a;
    a.local.year = static_cast<std::uint16_t>(tm.tm_year + 1900);
    a.local.month = static_cast<std::uint16_t>(tm.tm_mon + 1);
    a.local.dayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
    a.local.day = static_cast<std::uint16_t>(tm.tm_mday);
    a.local.hour = static_cast<std::uint16_t>(tm.tm_hour);
    a.local.minute = static_cast<std::uint16_t>(tm.tm_min);
    a.local.second = static_cast<std::uint16_t>(tm.tm_sec);
    const auto ms = duration_cast<milliseconds>(sinceEpoch).count() % 1000;
    a.local.milliseconds = static_cast<std::uint16_t>(ms < 0 ? ms + 1000 : ms);
    // Unsigned arithmetic: the 32-bit value wraps in 2037 like the format it keeps.
    a.seconds1901 = static_cast<std::uint32_t>(t) + kSeconds1901To1970;
    return a;
}

void encodeCallRecord(const TCallRecord& r, std::span<std::uint8_t, kCallRecordSize> out) {
    Writer w(out);
    w.u32(r.id);
    w.u16(r.arrival.year);
    w.u16(r.arrival.month);
    w.u16(r.arrival.dayOfWeek);
    w.u16(r.arrival.day);
    w.u16(r.arrival.hour);
    w.u16(r.arrival.minute);
    w.u16(r.arrival.second);
    w.u16(r.arrival.milliseconds);
    w.u32(r.arrivalSeconds);
    w.u32(r.reserved24);
    w.u32(r.state);
    w.u32(r.flags);
    w.u16(r.cip);
    w.u16(r.reserved38);
    w.u16(r.count);
    w.u16(r.reason);
    w.text(r.callerNumber);
    w.text(r.callerName);
    w.text(r.calledNumber);
    w.text(r.calledName);
    w.text(r.comment);
    w.text(r.filePath);
}

CallRecordBytes encodeCallRecord(const TCallRecord& record) {
    CallRecordBytes bytes{};
    encodeCallRecord(record, bytes);
    return bytes;
}

TCallRecord decodeCallRecord(std::span<const std::uint8_t, kCallRecordSize> in) {
    Reader rd(in);
    TCallRecord r;
    r.id = rd.u32();
    r.arrival.year = rd.u16();
    r.arrival.month = rd.u16();
    r.arrival.dayOfWeek = rd.u16();
    r.arrival.day = rd.u16();
    r.arrival.hour = rd.u16();
    r.arrival.minute = rd.u16();
    r.arrival.second = rd.u16();
    r.arrival.milliseconds = rd.u16();
    r.arrivalSeconds = rd.u32();
    r.reserved24 = rd.u32();
    r.state = rd.u32();
    r.flags = rd.u32();
    r.cip = rd.u16();
    r.reserved38 = rd.u16();
    r.count = rd.u16();
    r.reason = rd.u16();
    rd.text(r.callerNumber);
    rd.text(r.callerName);
    rd.text(r.calledNumber);
    rd.text(r.calledName);
    rd.text(r.comment);
    rd.text(r.filePath);
    return r;
}

static_assert(4 + 16 + 4 + 4 + 4 + 4 + 2 + 2 + 2 + 2 + 25 + 50 + 25 + 50 + 129 + 260 ==
                  kCallRecordSize,
              "field sizes must add up to the record size");

}  // namespace orvelin::client

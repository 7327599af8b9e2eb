#include "client/call_list_model.h"

#include <cstdio>

#include "settings/msn_table.h"

namespace orvelin::client {

namespace {

constexpr std::array<std::string_view, 7> kWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonths = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

}  // namespace

int callImageForCip(std::uint16_t cip) {
    switch (cip) {
        case 17:
        case 18:
            return kImageFax;
        case 2:
        case 3:
        case 6:
        case 7:
        case 8:
        case 9:
        case 19:
        case 20:
        case 21:
        case 22:
        case 23:
        case 24:
        case 25:
        case 27:
        case 28:
            return kImageData;
        default:
            return kImageVoice;
    }
}

std::string callCountText(std::uint32_t state, std::uint16_t count) {
    char buf[32];
    switch (static_cast<CallState>(state)) {
        case CallState::Answered:
        case CallState::VoiceMessage:
        case CallState::ReadVoiceMessage:
        case CallState::Sms:
        case CallState::ReadSms:
            std::snprintf(buf, sizeof buf, " %u sec.", unsigned{count});
            return buf;
        case CallState::BrokenFax:
        case CallState::Fax:
        case CallState::ViewedFaxMessage:
            std::snprintf(buf, sizeof buf, " %u pg.", unsigned{count});
            return buf;
        default:
            if (count == 0) return {};
            std::snprintf(buf, sizeof buf, " %u sec.", unsigned{count});
            return buf;
    }
}

namespace {

// `value` in decimal, zero-padded to `width` digits (more when it needs more), as
// "%0<width>d" would print it; a list of many rows is built from these.
void appendPadded(std::string& out, unsigned value, std::size_t width) {
    char digits[8];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (n < width) out.append(width - n, '0');
    while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

std::string callTimeText(const LocalDateTime& t, bool longDate) {
    std::string text;
    text.reserve(32);
    const bool monthKnown = t.month >= 1 && t.month <= 12;
    if (longDate && monthKnown && t.dayOfWeek < kWeekdays.size()) {
        char date[64];
        std::snprintf(date, sizeof date, "%.*s, %d %.*s %04d",
                      static_cast<int>(kWeekdays[t.dayOfWeek].size()),
                      kWeekdays[t.dayOfWeek].data(), int{t.day},
                      static_cast<int>(kMonths[t.month - 1u].size()), kMonths[t.month - 1u].data(),
                      int{t.year});
        text = date;
    } else {
        appendPadded(text, t.year, 4);
        text.push_back('-');
        appendPadded(text, t.month, 2);
        text.push_back('-');
        appendPadded(text, t.day, 2);
    }
    text += "  ";
    appendPadded(text, t.hour, 2);
    text.push_back(':');
    appendPadded(text, t.minute, 2);
    text.push_back(':');
    appendPadded(text, t.second, 2);
    return text;
}

CallRow makeCallRow(const TCallRecord& r, bool longDate) {
    CallRow row;
    row.id = r.id;
    row.state = r.state;
    row.stateImage = isKnownCallState(r.state) ? static_cast<int>(r.state) : -1;
    row.image = callImageForCip(r.cip);
    row.text[kColumnTime] = callTimeText(r.arrival, longDate);
    row.text[kColumnCalled] =
        std::string(r.calledName.empty() ? r.calledNumber.view() : r.calledName.view());
    row.text[kColumnCallerNumber] = std::string(r.callerNumber.view());
    row.text[kColumnCallerName] = std::string(r.callerName.view());
    row.text[kColumnCount] = callCountText(r.state, r.count);
    row.text[kColumnComment] = std::string(r.comment.view());
    return row;
}

CallListModel::CallListModel(const CallRing& ring, Hooks hooks)
    : ring_(ring), hooks_(std::move(hooks)) {
    if (!hooks_.findMsnIndex)
        hooks_.findMsnIndex = [](std::string_view n) { return settings::FindMSNIndex(n); };
}

bool CallListModel::announce(const TCallRecord& record) {
    const int index = ring_.indexOf(record);
    // A record whose row changes has changed: its next save must carry it, even
    // when it was written through a reference kept since an earlier save. A
    // rebuild changes no record.
    if (index >= 0 && !rebuilding_) ring_.markChanged(static_cast<std::uint32_t>(index));
    if (record.hidden()) return false;
    if (index >= 0 && hooks_.queueToClients) hooks_.queueToClients(index);
    if (selectedLine_ == kAllLines) return true;
    return hooks_.findMsnIndex(record.calledNumber.view()) + 1 == selectedLine_;
}

void CallListModel::addCallRow(const TCallRecord& record) {
    if (!announce(record)) return;
    rows_.push_front(makeCallRow(record, longDate_));
    numberById_[record.id] = ++topNumber_;
    if (rowShown_) rowShown_(rows_.front());
    while (rows_.size() > ring_.size()) {
        const std::uint64_t bottom = topNumber_ - (rows_.size() - 1);
        const auto it = numberById_.find(rows_.back().id);
        if (it != numberById_.end() && it->second == bottom) numberById_.erase(it);
        rows_.pop_back();
    }
}

void CallListModel::updateCallRow(const TCallRecord& record) {
    // The ring changed whether or not the row is shown: a call filtered out by
    // the line selector must not lose its new state at the next start.
    ring_.markChanged(record);
    if (hooks_.saveRing) hooks_.saveRing();
    if (!announce(record)) return;
    CallRow* row = findRow(record.id);
    if (!row) return;
    const CallRow fresh = makeCallRow(record, longDate_);
    row->state = fresh.state;
    row->stateImage = fresh.stateImage;
    row->image = fresh.image;
    row->text[kColumnCount] = fresh.text[kColumnCount];
    row->text[kColumnComment] = fresh.text[kColumnComment];
    if (rowShown_) rowShown_(*row);
}

void CallListModel::rebuild() {
    rows_.clear();
    numberById_.clear();
    numberById_.reserve(ring_.size());
    rebuilding_ = true;
    for (const std::uint32_t i : ring_.walkOrder()) {
        const TCallRecord& r = ring_.at(i);
        if (r.inUse()) addCallRow(r);
    }
    rebuilding_ = false;
}

bool CallListModel::removeRow(std::uint32_t id) {
    const auto it = numberById_.find(id);
    if (it == numberById_.end()) return false;
    const std::size_t at = static_cast<std::size_t>(topNumber_ - it->second);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at));
    numberById_.erase(it);
    // The rows below moved up by one: their numbers follow.
    for (std::size_t i = at; i < rows_.size(); ++i) {
        const auto below = numberById_.find(rows_[i].id);
        if (below != numberById_.end() && below->second == topNumber_ - i - 1) ++below->second;
    }
    return true;
}

CallRow* CallListModel::findRow(std::uint32_t id) {
    const auto it = numberById_.find(id);
    if (it == numberById_.end()) return nullptr;
    return &rows_[static_cast<std::size_t>(topNumber_ - it->second)];
}

const CallRow* CallListModel::rowById(std::uint32_t id) const {
    return const_cast<CallListModel*>(this)->findRow(id);
}

}  // namespace orvelin::client

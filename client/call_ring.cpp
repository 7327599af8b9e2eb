#include "client/call_ring.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "settings/option_bits.h"

namespace orvelin::client {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerFileName(std::string_view path) {
    const auto cut = path.find_last_of("/\\");
    std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
    std::transform(name.begin(), name.end(), name.begin(), lowerAscii);
    return name;
}

// realpath() of an existing path, or "" when it cannot be resolved.
std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> r(realpath(path.c_str(), nullptr), &std::free);
    return r ? std::string(r.get()) : std::string();
}

// The first id from `from` on, past 0xFFFFFFFF to 1, that no slot holds. The
// ring holds far fewer ids than there are, so the walk ends within its size.
std::uint32_t firstFreeId(std::uint32_t from, const std::vector<TCallRecord>& slots) {
    std::vector<std::uint32_t> taken;
    taken.reserve(slots.size());
    for (const auto& r : slots) taken.push_back(r.id);
    std::sort(taken.begin(), taken.end());
    std::uint32_t id = from == 0 ? 1 : from;
    while (std::binary_search(taken.begin(), taken.end(), id))
        if (++id == 0) id = 1;
    return id;
}

}  // namespace

OverwritePolicy OverwritePolicy::fromOptions(std::uint32_t options) {
    using settings::OptionBits;
    return {settings::HasOption(options, OptionBits::KeepFaxFiles),
            settings::HasOption(options, OptionBits::KeepVoiceFiles)};
}

bool isGreetingRecording(std::string_view path) {
    return lowerFileName(path).starts_with("welcome");
}

bool isFaxFile(std::string_view path) {
    const std::string name = lowerFileName(path);
    return name.find(".sff") != std::string::npos || name.find(".tif") != std::string::npos;
}

bool shouldDeleteOverwrittenFile(std::string_view path, OverwritePolicy policy) {
    if (path.empty() || isGreetingRecording(path)) return false;
    return isFaxFile(path) ? !policy.keepFaxFiles : !policy.keepOtherFiles;
}

bool deleteFileInside(const std::filesystem::path& programDir, std::string_view path) {
    if (path.empty()) return false;
    const std::string dir = resolved(programDir.string());
    const std::string file = resolved(std::string(path));
    if (dir.empty() || file.empty()) return false;
    const std::string prefix = dir.ends_with('/') ? dir : dir + '/';
    if (!file.starts_with(prefix) || file.size() == prefix.size()) return false;
    struct stat st {};
    if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return unlink(file.c_str()) == 0;
}

CallRing::CallRing(std::uint32_t maxCalls)
    : slots_(std::max<std::uint32_t>(maxCalls, 1)), changedMark_(slots_.size()) {}

CallRing::CallRing(const CallRing& other)
    : slots_(other.slots_),
      head_(other.head_),
      lastId_(other.lastId_),
      idsStarted_(other.idsStarted_),
      idsWrapped_(other.idsWrapped_),
      changedMark_(slots_.size()) {}

CallRing::CallRing(CallRing&& other) noexcept
    : slots_(std::move(other.slots_)),
      head_(other.head_),
      lastId_(other.lastId_),
      idsStarted_(other.idsStarted_),
      idsWrapped_(other.idsWrapped_),
      changedMark_(slots_.size()) {}

CallRing& CallRing::operator=(const CallRing& other) {
    if (this != &other) *this = CallRing(other);
    return *this;
}

CallRing& CallRing::operator=(CallRing&& other) noexcept {
    if (this == &other) return *this;
    slots_ = std::move(other.slots_);
    head_ = other.head_;
    lastId_ = other.lastId_;
    idsStarted_ = other.idsStarted_;
    idsWrapped_ = other.idsWrapped_;
    changedWhole();
    return *this;
}

void CallRing::changedWhole() {
    wholeChanged_ = true;
    changed_.clear();
    changedMark_.assign(slots_.size(), false);
}

void CallRing::markChanged(std::uint32_t index) const {
    if (wholeChanged_ || index >= slots_.size() || changedMark_[index]) return;
    changedMark_[index] = true;
    changed_.push_back(index);
}

void CallRing::markChanged(const TCallRecord& record) const {
    const int index = indexOf(record);
    if (index >= 0) markChanged(static_cast<std::uint32_t>(index));
}

CallRingChanges CallRing::takeChanges() {
    CallRingChanges out;
    out.whole = wholeChanged_;
    if (!wholeChanged_) {
        for (const std::uint32_t i : changed_) changedMark_[i] = false;
        out.slots = std::move(changed_);
    }
    changed_.clear();
    wholeChanged_ = false;
    if (out.whole) changedMark_.assign(slots_.size(), false);
    return out;
}

TCallRecord& CallRing::at(std::uint32_t index) {
    TCallRecord& slot = slots_.at(index);
    markChanged(index);
    return slot;
}

TCallRecord* CallRing::find(std::uint32_t id) {
    const int i = findIndex(id);
    if (i < 0) return nullptr;
    markChanged(static_cast<std::uint32_t>(i));
    return &slots_[static_cast<std::size_t>(i)];
}

int CallRing::indexOf(const TCallRecord& record) const {
    // std::less orders any two addresses, also those of unrelated objects.
    const std::less<const TCallRecord*> before;
    const TCallRecord* first = slots_.data();
    if (!before(&record, first) && before(&record, first + slots_.size()))
        return record.id == 0 ? -1 : static_cast<int>(&record - first);
    return findIndex(record.id);
}

const TCallRecord* CallRing::find(std::uint32_t id) const {
    const int i = findIndex(id);
    return i < 0 ? nullptr : &slots_[static_cast<std::size_t>(i)];
}

int CallRing::findIndex(std::uint32_t id) const {
    if (id == 0) return -1;
    // Ids are handed out one after another to consecutive slots, so a record that
    // is still where it was taken sits as far behind the newest as its id is.
    const std::uint32_t n = size();
    const std::uint32_t newest = (head_ + n - 1) % n;
    const std::uint32_t newestId = slots_[newest].id;
    if (newestId >= id && newestId - id < n) {
        const std::uint32_t guess = (newest + n - (newestId - id)) % n;
        if (slots_[guess].id == id) return static_cast<int>(guess);
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].id == id) return static_cast<int>(i);
    }
    return -1;
}

std::uint32_t CallRing::nextId(std::uint32_t arrivalSeconds) {
    if (!idsStarted_) {
        // Start above every id still in the ring, so a quick restart (arrival
        // seconds at or below ids handed out by the last run) repeats none.
        std::uint64_t start = arrivalSeconds;
        for (const auto& r : slots_)
            start = std::max<std::uint64_t>(start, std::uint64_t{r.id} + 1);
        idsStarted_ = true;
        idsWrapped_ = start > 0xFFFFFFFFu;
        lastId_ = static_cast<std::uint32_t>(idsWrapped_ ? 1 : start);
    } else if (++lastId_ == 0) {
        idsWrapped_ = true;
        lastId_ = 1;
    }
    // Past the top the count starts again at 1, among ids the ring may still hold
    // (a damaged file can hold any): only then is the ring searched.
    if (idsWrapped_) lastId_ = firstFreeId(lastId_, slots_);
    return lastId_;
}

TCallRecord& CallRing::takeNew(const ArrivalTime& arrival, OverwritePolicy policy,
                               const std::filesystem::path& programDir) {
    const std::uint32_t id = nextId(arrival.seconds1901);
    TCallRecord& slot = slots_[head_];
    markChanged(head_);
    head_ = (head_ + 1) % size();
    const std::string_view oldPath = slot.filePath.view();
    if (slot.inUse() && shouldDeleteOverwrittenFile(oldPath, policy)) {
        deleteFileInside(programDir, oldPath);
    }
    slot = TCallRecord{};
    slot.id = id;
    slot.arrival = arrival.local;
    slot.arrivalSeconds = arrival.seconds1901;
    return slot;
}

std::vector<std::uint32_t> CallRing::walkOrder() const {
    std::vector<std::uint32_t> order;
    const std::uint32_t n = size();
    for (std::uint32_t i = (head_ + 1) % n; i != head_; i = (i + 1) % n) order.push_back(i);
    return order;
}

void CallRing::clear() {
    std::fill(slots_.begin(), slots_.end(), TCallRecord{});
    head_ = 0;
    changedWhole();
}

bool CallRing::replace(std::uint32_t head, std::vector<TCallRecord> records) {
    if (records.size() != slots_.size() || head >= size()) return false;
    slots_ = std::move(records);
    head_ = head;
    changedWhole();
    return true;
}

std::vector<std::uint8_t> CallRing::snapshot() const {
    std::vector<std::uint8_t> image(fileSize(size()));
    image[0] = static_cast<std::uint8_t>(head_);
    image[1] = static_cast<std::uint8_t>(head_ >> 8);
    image[2] = static_cast<std::uint8_t>(head_ >> 16);
    image[3] = static_cast<std::uint8_t>(head_ >> 24);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        encodeCallRecord(slots_[i], std::span<std::uint8_t, kCallRecordSize>(
                                        image.data() + 4 + i * kCallRecordSize, kCallRecordSize));
    }
    return image;
}

}  // namespace orvelin::client

namespace orvelin::client {

bool CallRing::restore(std::span<std::uint8_t> image) {
    if (image.size() != fileSize(size())) return false;
    const std::uint32_t head = image[0] | (std::uint32_t{image[1]} << 8) |
                               (std::uint32_t{image[2]} << 16) | (std::uint32_t{image[3]} << 24);
    if (head >= size()) return false;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const std::span<std::uint8_t, kCallRecordSize> bytes(image.data() + 4 + i * kCallRecordSize,
                                                             kCallRecordSize);
        slots_[i] = decodeCallRecord(bytes);
        encodeCallRecord(slots_[i], bytes);
    }
    head_ = head;
    changedWhole();
    return true;
}

}  // namespace orvelin::client

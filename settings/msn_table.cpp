#include "settings/msn_table.h"

#include <mutex>

#include "settings/settings_hive.h"
#include "settings/settings_log.h"
#include "settings/settings_values.h"

namespace orvelin::settings {

namespace {

bool IsMSNIndex(int index) {
    return index >= 0 && index < kMSNCount;
}

std::optional<MSNFlagMask> ReadMask(const platform::RegNode& key, std::string_view name) {
    const StoredValue* stored = key.value(name);
    if (!stored) return std::nullopt;
    const auto bytes = DecodeFixedBinary(*stored, 2);
    if (!bytes) return std::nullopt;
    return MSNFlagMask::FromBytes(*bytes);
}

std::string ValueName(int index) {
    return "MSN" + std::to_string(index + 1);
}

void ReadNumbers(const platform::RegNode& numbers, MSNTable& table) {
    for (int i = 0; i < kMSNCount; ++i) {
        const StoredValue* stored = numbers.value(ValueName(i));
        if (!stored) continue;
        auto number = DecodeString(*stored, kMSNNumberBytes);
        if (!number) {
            // A cut number would match calls to a different number: leave it unset.
            SettingsLog("MSN number " + ValueName(i) + " is too long or not text; ignored");
            continue;
        }
        table.entries[i].number = std::move(*number);
    }
}

void ReadNames(const platform::RegNode& names, MSNTable& table) {
    for (int i = 0; i < kMSNCount; ++i) {
        const StoredValue* stored = names.value(ValueName(i));
        if (!stored) continue;
        if (auto name = DecodeStringCut(*stored, kMSNNameBytes)) {
            table.entries[i].name = std::move(*name);
        }
    }
}

struct Published {
    std::mutex mutex;
    std::shared_ptr<const MSNTable> table = std::make_shared<const MSNTable>();
};

Published& ThePublished() {
    static Published published;
    return published;
}

// The flag of one entry, read while this call holds the snapshot.
bool FlagOf(int index, bool MSNEntry::*flag) {
    const auto table = CurrentMSNTable();
    const MSNEntry* e = table->entry(index);
    return e && e->*flag;
}

}  // namespace

std::optional<MSNFlagMask> MSNFlagMask::FromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 2) return std::nullopt;
    return MSNFlagMask{static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8)};
}

bool MSNFlagMask::has(int index) const {
    return IsMSNIndex(index) && ((bits >> index) & 1);
}

const MSNEntry* MSNTable::entry(int index) const {
    return IsMSNIndex(index) ? &entries[static_cast<std::size_t>(index)] : nullptr;
}

int MSNTable::findIndex(std::string_view number) const {
    if (number.empty()) return -1;
    for (int i = 0; i < kMSNCount; ++i) {
        if (entries[static_cast<std::size_t>(i)].number == number) return i;
    }
    return -1;
}

MSNTable ReadMSNTable(bool faxCapable) {
    MSNTable table;
    // One state of the hive for the whole table, so a reload never mixes two edits.
    const auto opened = OpenStoredKey(kMSNKey);
    if (!opened) return table;
    const platform::RegNode* key = &opened->node();

    const auto fax = ReadMask(*key, "Fax Setting");
    const auto log = ReadMask(*key, "Log Settings");
    const auto popup = ReadMask(*key, "Popup Settings");
    const auto answer = ReadMask(*key, "Answer Settings");
    for (int i = 0; i < kMSNCount; ++i) {
        MSNEntry& e = table.entries[static_cast<std::size_t>(i)];
        e.fax = faxCapable && fax && fax->has(i);
        e.log = log && log->has(i);
        e.popup = popup && popup->has(i);
        e.answer = answer && answer->has(i);
    }
    if (const platform::RegNode* numbers = key->subkey("Numbers")) ReadNumbers(*numbers, table);
    if (const platform::RegNode* names = key->subkey("Names")) ReadNames(*names, table);
    return table;
}

void LoadMSNSettings(bool faxCapable) {
    auto table = std::make_shared<const MSNTable>(ReadMSNTable(faxCapable));
    Published& published = ThePublished();
    std::lock_guard lock(published.mutex);
    published.table = std::move(table);
}

void ReloadMSNSettings(bool faxCapable) {
    LoadMSNSettings(faxCapable);
}

std::shared_ptr<const MSNTable> CurrentMSNTable() {
    Published& published = ThePublished();
    std::lock_guard lock(published.mutex);
    return published.table;
}

int FindMSNIndex(std::string_view number) {
    return CurrentMSNTable()->findIndex(number);
}

bool IsFaxMSN(int index) {
    return FlagOf(index, &MSNEntry::fax);
}
bool IsLogMSN(int index) {
    return FlagOf(index, &MSNEntry::log);
}
bool IsPopupMSN(int index) {
    return FlagOf(index, &MSNEntry::popup);
}
bool IsAnswerMSN(int index) {
    return FlagOf(index, &MSNEntry::answer);
}

std::string GetMSNNumber(int index) {
    const auto table = CurrentMSNTable();
    const MSNEntry* e = table->entry(index);
    return e ? e->number : std::string();
}

std::string GetMSNName(int index) {
    const auto table = CurrentMSNTable();
    const MSNEntry* e = table->entry(index);
    return e ? e->name : std::string();
}

}  // namespace orvelin::settings

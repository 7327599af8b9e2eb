#include "settings/phone_book.h"

#include <dirent.h>
#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "settings/settings_log.h"
#include "xbase/block_cache.h"
#include "xbase/engine.h"
#include "xbase/index.h"

namespace orvelin::settings {

const FIELD4INFO kPhoneBookFields[] = {
    {"PHONE", 'C', 25, 0},      {"NAME", 'C', 50, 0},       {"EMAIL", 'C', 50, 0},
    {"PASSTHROUG", 'C', 25, 0}, {"REJECT", 'N', 10, 0},     {"LAUNCH", 'L', 1, 0},
    {"LAUNCHLINE", 'N', 3, 0},  {"LAUNCHCIP", 'N', 10, 0},  {"PRIVMSG", 'L', 1, 0},
    {"REJECTMSG", 'L', 1, 0},   {"REJECTFAX", 'L', 1, 0},   {nullptr, 0, 0, 0},
};

const FIELD4INFO kPhoneBook2Fields[] = {
    {"PHONE", 'C', 25, 0},       {"MSGFILE", 'C', 254, 0},    {"LAUNCHCALL", 'C', 254, 0},
    {"ATCALLPARA", 'C', 254, 0}, {"LAUNCHCLEA", 'C', 254, 0}, {"ATCLEARPAR", 'C', 254, 0},
    {"WAITATCALL", 'N', 10, 0},  {"WAITATCLEA", 'N', 10, 0},  {nullptr, 0, 0, 0},
};

const TAG4INFO kPhoneBookTags[] = {
    {"UNIQUE", "PHONE", ".NOT.DELETED()", status4unique, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

namespace {

constexpr const char* kTagName = "UNIQUE";

// Whether "<name>.dbf" exists in any letter case: a table copied from a
// case-insensitive system is named "ISPBK.DBF".
bool tableFileExists(const char* name) {
    const std::string want = std::string(name) + ".dbf";
    const std::size_t slash = want.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : want.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? want : want.substr(slash + 1);
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        if (strcasecmp(e->d_name, base.c_str()) == 0) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// Builds an index from the tag list; a unique tag that refuses a duplicate key
// is built once more without the uniqueness, so the table stays searchable.
INDEX4* buildIndex(CODE4* cb, DATA4* d, const char* name, const TAG4INFO* tags) {
    INDEX4* ix = i4create(d, name, tags);
    if (ix != nullptr || cb->errorCode != status4unique) return ix;
    cb->errorCode = 0;
    std::vector<TAG4INFO> relaxed;
    for (const TAG4INFO* t = tags; t->name != nullptr; ++t) {
        TAG4INFO copy = *t;
        if (copy.unique == status4unique) copy.unique = 0;
        relaxed.push_back(copy);
    }
    relaxed.push_back(TAG4INFO{nullptr, nullptr, nullptr, 0, 0});
    // The refused build left its file behind: let the second build replace it.
    const int safety = cb->safety;
    cb->safety = 0;
    INDEX4* again = i4create(d, name, relaxed.data());
    cb->safety = safety;
    return again;
}

// Builds the index over a file that exists but cannot be used.
INDEX4* replaceIndex(CODE4* cb, DATA4* d, const char* name, const TAG4INFO* tags) {
    const int safety = cb->safety;
    cb->safety = 0;
    INDEX4* ix = buildIndex(cb, d, name, tags);
    cb->safety = safety;
    return ix;
}

// The fields a lookup reads; a hand-made table may lack any of them (null).
struct LookupFields {
    FIELD4* phone = nullptr;
    FIELD4* name = nullptr;
    FIELD4* reject = nullptr;
    FIELD4* rejectFax = nullptr;
    FIELD4* privMsg = nullptr;
    FIELD4* rejectMsg = nullptr;
};

// One pass over the fields, without error reports; the first of a name counts.
LookupFields lookupFields(DATA4* d) {
    LookupFields out;
    struct Wanted {
        const char* name;
        FIELD4* LookupFields::*slot;
    };
    static constexpr Wanted kWanted[] = {
        {"PHONE", &LookupFields::phone},         {"NAME", &LookupFields::name},
        {"REJECT", &LookupFields::reject},       {"REJECTFAX", &LookupFields::rejectFax},
        {"PRIVMSG", &LookupFields::privMsg},     {"REJECTMSG", &LookupFields::rejectMsg},
    };
    const int count = d4fieldCount(d);
    for (int i = 1; i <= count; ++i) {
        FIELD4* f = d4fieldByNumber(d, i);
        if (f == nullptr) continue;
        const char* name = f4name(f);
        for (const Wanted& w : kWanted) {
            if (out.*w.slot == nullptr && (name[0] | 0x20) == (w.name[0] | 0x20) && strcasecmp(name, w.name) == 0) {
                out.*w.slot = f;
                break;
            }
        }
    }
    return out;
}

TAG4* tagQuiet(DATA4* d, const char* name) {
    const int tagNameError = d->cb->tagNameError;
    d->cb->tagNameError = 0;
    TAG4* t = d4tagByName(d, name);
    d->cb->tagNameError = tagNameError;
    return t;
}

// Bytes of a field with trailing blanks removed; empty for a missing field.
std::string_view trimmedField(FIELD4* f) {
    if (f == nullptr) return {};
    const char* p = f4ptr(f);
    std::size_t n = static_cast<std::size_t>(f4len(f));
    if (p == nullptr) return {};
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
    return std::string_view(p, n);
}

bool logicalTrue(FIELD4* f) {
    if (f == nullptr || f4len(f) < 1 || f4ptr(f) == nullptr) return false;
    return f4ptr(f)[0] == 'T';
}

PhoneBookEntry entryFrom(const LookupFields& f) {
    PhoneBookEntry e;
    if (f.name != nullptr && f4ptr(f.name) != nullptr) {
        e.name = platform::cp1252ToUtf8(
            std::string_view(f4ptr(f.name), static_cast<std::size_t>(f4len(f.name))));
    }
    if (f.reject != nullptr) e.reject = f4long(f.reject);
    e.rejectFax = logicalTrue(f.rejectFax);
    e.personalMsg = logicalTrue(f.privMsg);
    e.rejectMsg = logicalTrue(f.rejectMsg);
    return e;
}

}  // namespace

void OpenOrCreateTable(CODE4* cb, DATA4** table, const char* name, const FIELD4INFO* fields,
                       const TAG4INFO* tags) {
    if (table == nullptr) return;
    *table = nullptr;
    if (cb == nullptr || name == nullptr || fields == nullptr || tags == nullptr) return;

    cb->errorCode = 0;
    // A missing table is expected on the first start: no box for it.
    const int openError = cb->openError;
    cb->openError = 0;
    DATA4* d = d4open(cb, name);
    cb->openError = openError;

    // Only a file that could not be opened or read takes the way of creating the table or
    // building its index; any other error (a damaged index, say) leaves both as they are.
    const int opened = cb->errorCode;
    if (d == nullptr && (opened == status4noOpen || opened == err4read)) {
        cb->errorCode = 0;
        if (!tableFileExists(name)) {
            // An index or memo file left without its table belongs to nothing:
            // the new table replaces it.
            const int safety = cb->safety;
            cb->safety = 0;
            d = d4create(cb, name, fields, tags);
            cb->safety = safety;
        } else {
            // The table is there but its production index is missing or
            // cannot be opened: open the table alone and build the index anew.
            // A table that does not open alone is left as it is.
            const int autoOpen = cb->autoOpen;
            cb->autoOpen = 0;
            d = d4open(cb, name);
            cb->autoOpen = autoOpen;
            if (d != nullptr) {
                SettingsLog(std::string("Phone book ") + name + ": the index could not be opened; rebuilt");
                replaceIndex(cb, d, nullptr, tags);
            }
        }
    }
    *table = d;
    if (d == nullptr || cb->errorCode != 0) return;

    if (d4indexByName(d, name) == nullptr) {
        if (i4open(d, name) == nullptr) {
            cb->errorCode = 0;
            SettingsLog(std::string("Phone book ") + name + ": the index could not be opened; rebuilt");
            replaceIndex(cb, d, name, tags);
        }
    }
    // A writer stopped half way leaves keys that point past the end or at the
    // wrong record, or records without keys: such an index is built anew.
    for (LINK4* l = l4first(&d->indexes); l != nullptr; l = l4next(&d->indexes, l)) {
        INDEX4* ix = reinterpret_cast<INDEX4*>(l);
        if (i4verify(ix) != 1) continue;
        cb->errorCode = 0;
        SettingsLog(std::string("Phone book ") + name + ": the index does not match the table; rebuilt");
        if (d4reindex(d) != 0) SettingsLog(std::string("Phone book ") + name + ": the rebuild failed");
        d4unlockAll(d);
        break;
    }
    cacheIndexesOnly(d);
    cb->errorCode = 0;
}

void cacheIndexesOnly(DATA4* table) {
    if (table == nullptr || table->cb == nullptr || table->cb->cacheReread != 1 || table->file.exclusiveOpen) return;
    file4setCache(&table->file, 0, 1);
    if (table->memoFile.file.fd >= 0) file4setCache(&table->memoFile.file, 0, 3);
}

PhoneBookEntry phoneBookEntryFromRecord(DATA4* table) { return entryFrom(lookupFields(table)); }

int applyProgramEngineSettings(CODE4* cb) {
    const int rc = code4init(cb);
    if (rc != 0) return rc;
    // Only the severe box may reach the user; everything else is an error code.
    cb->openError = 0;
    cb->createError = 0;
    cb->errorOff = 1;
    cb->readLock = 0;
    cb->safety = 0;
    cb->lockAttempts = 1;
    cb->autoOpen = 1;
    cb->exclusive = 0;
    cb->cacheMode = 1;
    cb->cacheReread = 1;
    cb->goError = 0;
    std::strncpy(cb->dateFormat, "DD.MM.YY", sizeof cb->dateFormat - 1);
    // Without memory for it the engine reads the files directly.
    code4cacheStart(cb);
    return 0;
}

std::optional<PhoneBookEntry> searchPhoneBook(DATA4* table, std::string_view number) {
    if (table == nullptr || number.empty()) return std::nullopt;
    CODE4* cb = table->cb;
    if (cb == nullptr || cb->errorCode < 0) return std::nullopt;
    const LookupFields fields = lookupFields(table);
    FIELD4* phone = fields.phone;
    TAG4* tag = tagQuiet(table, kTagName);
    if (phone == nullptr || tag == nullptr) {
        cb->errorCode = 0;
        return std::nullopt;
    }
    const std::size_t width = static_cast<std::size_t>(f4len(phone));
    if (number.size() > width || number.find('\0') != std::string_view::npos) return std::nullopt;

    // The whole field blank-padded, so "0301" does not find "03012".
    char small[64];
    std::string large;
    char* key = small;
    if (width > sizeof small) {
        large.resize(width);
        key = large.data();
    }
    std::memcpy(key, number.data(), number.size());
    std::memset(key + number.size(), ' ', width - number.size());
    d4tagSelect(table, tag);
    const int rc = d4seekLen(table, key, static_cast<int>(width));
    std::optional<PhoneBookEntry> out;
    // The index may be stale or damaged: the record itself must say the same.
    if (rc == 0 && !d4deleted(table) && trimmedField(phone) == number) out = entryFrom(fields);
    if (cb->errorCode != 0) cb->errorCode = 0;
    return out;
}

void PhoneBook::open(std::string_view programDir) {
    close();
    const std::string dir(programDir);
    const std::string book = dir + kPhoneBookTable;
    const std::string book2 = dir + kPhoneBook2Table;
    OpenOrCreateTable(cb_, &book_, book.c_str(), kPhoneBookFields, kPhoneBookTags);
    OpenOrCreateTable(cb_, &book2_, book2.c_str(), kPhoneBook2Fields, kPhoneBookTags);
    if (cb_ != nullptr) cb_->errorCode = 0;
}

void PhoneBook::close() {
    if (book_ != nullptr) d4close(book_);
    if (book2_ != nullptr) d4close(book2_);
    book_ = book2_ = nullptr;
    if (cb_ != nullptr) cb_->errorCode = 0;
}

}  // namespace orvelin::settings

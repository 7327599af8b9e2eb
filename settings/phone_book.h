// The phone-book tables beside the program: "ispbk" names callers that have no
// key under "Callers", "ispbk2" holds their program settings. Other programs
// fill them; this program only opens (or creates) them and searches "ispbk".
//
// The table engine is single-threaded: everything here runs on the window thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/caller_lookup.h"
#include "xbase/table.h"

struct CODE4;
struct DATA4;

namespace orvelin::settings {

inline constexpr const char* kPhoneBookTable = "ispbk";
inline constexpr const char* kPhoneBook2Table = "ispbk2";

// Field and tag lists, each ended by a null name.
extern const FIELD4INFO kPhoneBookFields[];
extern const FIELD4INFO kPhoneBook2Fields[];
// One tag for both: "UNIQUE" on PHONE, live records only, unique keys.
extern const TAG4INFO kPhoneBookTags[];

// Opens the table `name` (a path without extension; new files get ".dbf" and
// ".mdx"), creating it with `fields` and `tags` when no "<name>.dbf" exists in
// any letter case. An existing table whose production index is missing gets it
// rebuilt; a unique tag that refuses duplicate keys is built once more without
// the uniqueness. `*table` is null when the table can neither be opened nor
// created; the engine's error code then tells why.
void OpenOrCreateTable(CODE4* cb, DATA4** table, const char* name, const FIELD4INFO* fields,
                       const TAG4INFO* tags);

// Initialises the engine with the program's settings (errors as codes, no
// boxes; shared files; one lock attempt) and starts its block cache. Every
// file joins it at open; blocks of records are read again at each use, so the
// phone book sees other programs' changes, and index blocks stay while their
// counters say nothing changed. Answers code4init's result.
int applyProgramEngineSettings(CODE4* cb);

// A shared table read again at each use (the program's settings) keeps only
// its index files in the block cache: its record and memo blocks would come
// from the file every time anyway, so caching them only costs each read a
// look-up and a copy and crowds out the index blocks. OpenOrCreateTable does
// this; nothing happens for other settings.
void cacheIndexesOnly(DATA4* table);

// The caller described by the current record of an "ispbk" table: the name
// converted from Windows-1252, trailing blanks kept. Missing fields read as
// blank.
PhoneBookEntry phoneBookEntryFromRecord(DATA4* table);

// Seeks `number` on the table's "UNIQUE" tag. Only a record whose whole PHONE
// value, trailing blanks removed, equals the number is a match. An empty number,
// a null table or a table without the tag find nothing.
std::optional<PhoneBookEntry> searchPhoneBook(DATA4* table, std::string_view number);

// Both tables of one program directory on one settings record.
class PhoneBook {
public:
    explicit PhoneBook(CODE4* cb) : cb_(cb) {}
    ~PhoneBook() { close(); }
    PhoneBook(const PhoneBook&) = delete;
    PhoneBook& operator=(const PhoneBook&) = delete;

    // Opens or creates both tables in `programDir` (ends with '/'). A table that
    // fails stays closed and the other is still tried.
    void open(std::string_view programDir);
    // Closes both; call before the settings record closes all its tables.
    void close();
    // Forgets the handles without closing them, for when the settings record
    // closed every table itself.
    void forget() { book_ = book2_ = nullptr; }

    DATA4* table() const { return book_; }
    DATA4* table2() const { return book2_; }

    std::optional<PhoneBookEntry> find(std::string_view number) const {
        return searchPhoneBook(book_, number);
    }
    // The hook the caller lookup takes. It refers to this object, which must
    // outlive it.
    PhoneBookSearch search() const {
        return [this](std::string_view number) { return find(number); };
    }

private:
    CODE4* cb_;
    DATA4* book_ = nullptr;
    DATA4* book2_ = nullptr;
};

}  // namespace orvelin::settings

// The phone book's files are written by other programs and may be damaged: the
// program's open path must heal what it can (rebuilding the index) or refuse,
// and a table it keeps open must be searchable and consistent with its index.
//
// Input: a 16-bit little-endian length n, then n bytes of ispbk.dbf, then
// ispbk.mdx (an input of fewer than two bytes stands for a missing table).
#include "settings/settings_log.h"
#include "tests/fuzz/xbase_fuzz.h"
#include "xbase/index.h"

namespace {

using namespace xbase_fuzz;

// A sound ispbk2 pair, written once, so every input exercises only ispbk.
struct Book2 {
    Book2() {
        Engine engine;
        DATA4* d = nullptr;
        orvelin::settings::OpenOrCreateTable(&engine.cb, &d, dir().file("seed2").c_str(),
                                             orvelin::settings::kPhoneBook2Fields,
                                             orvelin::settings::kPhoneBookTags);
        if (d == nullptr) std::abort();
        d4close(d);
        dbf = readFile(dir().file("seed2.dbf"));
        mdx = readFile(dir().file("seed2.mdx"));
    }
    std::string dbf, mdx;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Book2 book2;
    orvelin::settings::SetSettingsLogSink([](std::string_view) {});
    static const std::string folder = [] {
        const std::string f = dir().file("pb");
        std::filesystem::create_directories(f);
        return f;
    }();
    for (const char* name : {"/ispbk.dbf", "/ispbk.mdx", "/ispbk.dbt", "/ispbk2.dbf", "/ispbk2.mdx"})
        std::remove((folder + name).c_str());
    writeFile(folder + "/ispbk2.dbf", book2.dbf.data(), book2.dbf.size());
    writeFile(folder + "/ispbk2.mdx", book2.mdx.data(), book2.mdx.size());
    if (size >= 2) {
        const std::size_t n = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
        writeFile(folder + "/ispbk.dbf", data + 2, n);
        writeFile(folder + "/ispbk.mdx", data + 2 + n, size - 2 - n);
    }

    Engine engine;
    orvelin::settings::PhoneBook book(&engine.cb);
    book.open(folder + "/");
    if (book.table2() == nullptr) std::abort();  // the sound table opens whatever ispbk holds
    DATA4* d = book.table();
    if (d != nullptr) {
        CODE4* cb = &engine.cb;
        // A healed index holds exactly the keys its records give.
        for (LINK4* l = l4first(&d->indexes); l != nullptr; l = l4next(&d->indexes, l)) {
            if (i4verify(reinterpret_cast<INDEX4*>(l)) == 1) std::abort();
            cb->errorCode = 0;
        }
        walkRecords(d);
        FIELD4* phone = d4fieldByName(d, "PHONE");
        cb->errorCode = 0;
        const int32_t count = d4recordCount(d);
        for (int32_t r = 1; phone != nullptr && r <= count && r <= 64; ++r) {
            cb->errorCode = 0;
            if (d4go(d, r) != 0) break;
            std::string number(f4ptr(phone), static_cast<std::size_t>(f4len(phone)));
            while (!number.empty() && number.back() == ' ') number.pop_back();
            (void)book.find(number);
        }
        (void)book.find("0301234");
        cb->errorCode = 0;
    }
    book.close();
    return 0;
}

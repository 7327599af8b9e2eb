// Shared by the table engine's fuzz targets: the engine takes paths, so each
// input is written to files in one private directory made once per process.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "settings/phone_book.h"
#include "xbase/engine.h"
#include "xbase/memo.h"
#include "xbase/table.h"

namespace xbase_fuzz {

class Dir {
public:
    Dir() {
        const char* base = std::getenv("ORVELIN_TEST_TMP");
        std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/xbfuzz.XXXXXX";
        std::filesystem::create_directories(std::filesystem::path(pattern).parent_path());
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        if (mkdtemp(buf.data()) == nullptr) std::abort();
        path_ = buf.data();
    }
    ~Dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline Dir& dir() {
    static Dir d;
    return d;
}

inline void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void quiet(const char*, const char*, int) {}

// An engine record with the program's own settings (errors as codes, shared
// files, the block cache running), released with everything it opened.
class Engine {
public:
    Engine() {
        error4setHook(quiet);
        if (orvelin::settings::applyProgramEngineSettings(&cb) != 0) std::abort();
        u4copyBounded(cb.tempDirectory, dir().path().c_str(), sizeof(cb.tempDirectory));
    }
    ~Engine() {
        cb.errorCode = 0;
        code4closeAll(&cb);
        code4release(&cb);
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    CODE4 cb{};
};

// Reads every record the file can hold and every field of it through the
// field accessors. A field must lie inside the record buffer and no accessor
// may hand out more than the field holds.
inline void walkRecords(DATA4* d) {
    CODE4* cb = d->cb;
    const int64_t length = file4length(&d->file);
    const int64_t memoLength = d->memoFile.file.fd >= 0 ? file4length(&d->memoFile.file) : 0;
    cb->errorCode = 0;
    const int32_t count = d4recordCount(d);
    cb->errorCode = 0;
    int64_t room = d->recordLen > 0 ? (length - d->headerLen) / d->recordLen + 1 : 0;
    if (room > count) room = count;
    for (int f = 1; f <= d4fieldCount(d); ++f) {
        FIELD4* field = d4fieldByNumber(d, f);
        if (field->offset < 1 || f4len(field) < 0 || field->offset + f4len(field) > d4recordWidth(d))
            std::abort();
    }
    for (int32_t n = 1; n <= room; ++n) {
        if (d4go(d, n) != 0) {
            cb->errorCode = 0;
            continue;
        }
        (void)d4deleted(d);
        for (int f = 1; f <= d4fieldCount(d); ++f) {
            FIELD4* field = d4fieldByNumber(d, f);
            const char* text = f4str(field);
            if (text != nullptr && std::strlen(text) > static_cast<std::size_t>(f4len(field))) std::abort();
            char small[8];
            if (f4copyTo(field, small, sizeof(small)) >= sizeof(small)) std::abort();
            (void)f4double(field);
            (void)f4long(field);
            if (field->memo != nullptr) {
                const char* memo = f4memoPtr(field);
                const uint32_t len = f4memoLen(field);
                // Contents come whole, terminated, and never longer than the memo file.
                if (memo != nullptr && (memo[len] != '\0' || len > memoLength)) std::abort();
            }
            cb->errorCode = 0;
        }
    }
    for (int rc : {d4top(d), d4bottom(d), d4goEof(d)}) (void)rc;
    cb->errorCode = 0;
}

}  // namespace xbase_fuzz

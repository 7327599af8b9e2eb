// An in-memory table for expression tests: fixed-length records laid out like a .DBF
// record (deletion byte first), fields found by name case-insensitively.
#pragma once

#include <strings.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "xbase/expression.h"

struct FixtureCode : Expr4Code {
    int error = 0;
    std::vector<int> raised;
    bool exprErrorOn = true;
    std::string picture = "MM/DD/YY";
    int memoSize = 1024;

    ~FixtureCode() override { calc4deleteAll(this); }
    int errorCode() const override { return error; }
    void raise(int code, const char*, const char*, const char*) override {
        error = code;
        raised.push_back(code);
    }
    bool exprError() const override { return exprErrorOn; }
    const char* dateFormat() const override { return picture.c_str(); }
    int exprMemoSize() const override { return memoSize; }
};

struct FixtureField {
    std::string name;
    char type;
    int length;
    int decimals;
};

class FixtureTable : public Expr4Table {
public:
    FixtureTable(FixtureCode* code, std::string alias, std::vector<FixtureField> fields)
        : code_(code), alias_(std::move(alias)), fields_(std::move(fields)) {
        int offset = 1;
        for (const FixtureField& f : fields_) {
            offsets_.push_back(offset);
            offset += f.length;
        }
        recordLen_ = offset;
        blank_.assign(size_t(recordLen_), ' ');
        buffer_ = blank_.data();
    }

    // Appends a record from field texts (padded or cut to each field's length).
    void add(const std::vector<std::string>& values, bool deleted = false) {
        std::string rec(size_t(recordLen_), ' ');
        rec[0] = deleted ? '*' : ' ';
        for (size_t i = 0; i < values.size() && i < fields_.size(); ++i) {
            const std::string& v = values[i];
            const size_t n = std::min(v.size(), size_t(fields_[i].length));
            // Numbers are right-aligned as a field holds them.
            const size_t at = fields_[i].type == 'N' ? size_t(fields_[i].length) - n : 0;
            rec.replace(size_t(offsets_[i]) + at, n, v.substr(0, n));
        }
        records_.push_back(rec);
        memos_.emplace_back();
    }
    void setMemo(size_t record, const std::string& text) { memos_[record] = text; }
    void go(long recno) {
        current_ = recno;
        buffer_ = records_[size_t(recno - 1)].data();
    }
    void link(FixtureTable* other) { others_.push_back(other); }

    Expr4Code* code() override { return code_; }
    int fieldInfo(const char* name, Expr4FieldInfo* info) override {
        for (size_t i = 0; i < fields_.size(); ++i)
            if (strcasecmp(fields_[i].name.c_str(), name) == 0) {
                info->field = &fields_[i];
                info->type = fields_[i].type;
                info->length = fields_[i].length;
                info->decimals = fields_[i].decimals;
                info->offset = offsets_[i];
                return 0;
            }
        code_->raise(-210, name, nullptr, nullptr);
        return -1;
    }
    char* const* recordBuffer() override { return &buffer_; }
    long recNo() override { return current_; }
    long recCount() override { return long(records_.size()); }
    Expr4Table* findAlias(const char* alias) override {
        for (FixtureTable* t : others_)
            if (strcasecmp(t->alias_.c_str(), alias) == 0) return t;
        return strcasecmp(alias_.c_str(), alias) == 0 ? this : nullptr;
    }
    int memoContents(const void* field, const char** data, unsigned* length) override {
        (void)field;
        if (current_ < 1) {
            *data = "";
            *length = 0;
            return 0;
        }
        const std::string& m = memos_[size_t(current_ - 1)];
        *data = m.data();
        *length = unsigned(m.size());
        return 0;
    }

private:
    FixtureCode* code_;
    std::string alias_;
    std::vector<FixtureField> fields_;
    std::vector<int> offsets_;
    int recordLen_ = 0;
    std::string blank_;
    std::vector<std::string> records_;
    std::vector<std::string> memos_;
    char* buffer_ = nullptr;
    long current_ = -1;
    std::vector<FixtureTable*> others_;
};

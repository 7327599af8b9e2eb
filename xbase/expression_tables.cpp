#include "xbase/expression_tables.h"

#include <map>
#include <memory>

#include "xbase/engine.h"
#include "xbase/memo.h"

namespace {

class CodeSide : public Expr4Code {
public:
    explicit CodeSide(CODE4* cb) : cb_(cb) {}
    ~CodeSide() override { calc4deleteAll(this); }
    int errorCode() const override { return cb_->errorCode; }
    void raise(int code, const char* l1, const char* l2, const char* l3) override {
        error4reportEx(cb_, code, l1, l2, l3);
    }
    bool exprError() const override { return cb_->exprError != 0; }
    const char* dateFormat() const override { return cb_->dateFormat; }
    int exprMemoSize() const override { return cb_->exprMemoSize; }

private:
    CODE4* cb_;
};

class TableSide : public Expr4Table {
public:
    explicit TableSide(DATA4* d) : d_(d), cb_(d->cb) {}
    CODE4* owner() const { return cb_; }
    Expr4Code* code() override { return expr4code(d_->cb); }
    int fieldInfo(const char* name, Expr4FieldInfo* info) override {
        const int n = d4fieldNumber(d_, name);
        if (n < 1) return -1;
        FIELD4* f = d4fieldByNumber(d_, n);
        info->field = f;
        info->type = char(f->type);
        info->length = f->len;
        info->decimals = f->dec;
        info->offset = f->offset;
        return 0;
    }
    char* const* recordBuffer() override { return &d_->record; }
    long recNo() override { return d_->recNo; }
    long recCount() override { return d4recordCount(d_); }
    Expr4Table* findAlias(const char* alias) override;
    int memoContents(const void* field, const char** data, unsigned* length) override {
        FIELD4* f = static_cast<FIELD4*>(const_cast<void*>(field));
        const char* p = f4memoPtr(f);
        if (p == nullptr) return -1;
        *data = p;
        *length = f4memoLen(f);
        return 0;
    }

private:
    DATA4* d_;
    CODE4* cb_;
};

// One interface object per engine record and per table record. Tables are pooled and
// their addresses reused; an interface object only ever reads through the pointer, so a
// reused address keeps working. Releasing the engine record drops its entries.
std::map<CODE4*, std::unique_ptr<CodeSide>>& codes() {
    static std::map<CODE4*, std::unique_ptr<CodeSide>> m;
    return m;
}

std::map<DATA4*, std::unique_ptr<TableSide>>& tables() {
    static std::map<DATA4*, std::unique_ptr<TableSide>> m;
    return m;
}

TableSide* tableSide(DATA4* d) {
    auto& m = tables();
    auto it = m.find(d);
    if (it == m.end()) it = m.emplace(d, std::make_unique<TableSide>(d)).first;
    return it->second.get();
}

Expr4Table* TableSide::findAlias(const char* alias) {
    DATA4* other = code4findData(d_->cb, alias);
    return other != nullptr ? tableSide(other) : nullptr;
}

}  // namespace

Expr4Code* expr4code(CODE4* cb) {
    auto& m = codes();
    auto it = m.find(cb);
    if (it == m.end()) it = m.emplace(cb, std::make_unique<CodeSide>(cb)).first;
    return it->second.get();
}

EXPR4* expr4parseData(DATA4* data, const char* text) {
    if (data == nullptr) return nullptr;
    return expr4parse(tableSide(data), text);
}

EXPR4* expr4parse(DATA4* data, const char* text) { return expr4parseData(data, text); }

CALC4* calc4create(CODE4* cb, EXPR4* expr, const char* name) {
    return cb != nullptr ? calc4create(expr4code(cb), expr, name) : nullptr;
}

CALC4* calc4lookup(CODE4* cb, const char* name, int length) {
    return cb != nullptr ? calc4lookup(expr4code(cb), name, length) : nullptr;
}

void calc4deleteAll(CODE4* cb) {
    if (cb != nullptr) calc4deleteAll(expr4code(cb));
}

void expr4release(CODE4* cb) {
    if (cb == nullptr) return;
    auto& t = tables();
    for (auto it = t.begin(); it != t.end();) it = it->second->owner() == cb ? t.erase(it) : std::next(it);
    codes().erase(cb);  // its calculations go with it
}

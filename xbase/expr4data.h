// Expressions over the engine's own tables: the table and settings interfaces of the
// expression compiler implemented for DATA4 and CODE4.
#pragma once

#include "xbase/expr4.h"
#include "xbase/str4.h"
#include "xbase/table.h"

// Compiles `text` against an open table.
EXPR4* expr4parseData(DATA4* data, const char* text);
// The expression side of a CODE4 (settings, error state, work buffers, calculations).
Expr4Code* expr4code(CODE4* cb);

// A field of the current record seen as a fixed-length string: changes go straight into
// the record buffer and mark the record changed.
class Field4 : public Str4 {
public:
    explicit Field4(FIELD4* field) : f_(field) {}
    Field4(DATA4* data, const char* name) : f_(d4fieldByName(data, name)) {}
    void changed() override;
    int decimals() override;
    unsigned len() override;
    unsigned maximum() override { return len(); }
    char* ptr() override;
    FIELD4* field() const { return f_; }

private:
    FIELD4* f_;
};

// Expressions over the engine's own tables: the table and settings interfaces of the
// expression compiler implemented for DATA4 and CODE4.
#pragma once

#include "xbase/expression.h"
#include "xbase/table.h"

// Compiles `text` against an open table.
EXPR4* expr4parseData(DATA4* data, const char* text);
EXPR4* expr4parse(DATA4* data, const char* text);
// The expression side of a CODE4 (settings, error state, work buffers, calculations).
Expr4Code* expr4code(CODE4* cb);

// Named calculations of an engine record.
CALC4* calc4create(CODE4* cb, EXPR4* expr, const char* name);
CALC4* calc4lookup(CODE4* cb, const char* name, int length);
void calc4deleteAll(CODE4* cb);

// Drops the engine record's calculations, work buffers and interface objects, and those
// of its tables; an expression compiled against them must be freed before.
void expr4release(CODE4* cb);

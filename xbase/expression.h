// dBASE expressions: compiled once into a postfix program (EXPR4), run on a table's
// current record, converted into the byte form an index compares.
//
// Value types, one letter each: 'C' text (blank padded, not terminated), 'N' numeric text
// as stored in a field, 'D' date text "CCYYMMDD", 'L' logical (int32 1 or 0), 'n' number
// (double), 'd' day number (double, 0 = empty date).
//
// Invariants:
//  1. Every intermediate value has a fixed position in one work buffer, laid out when the
//     expression is compiled; evaluation allocates nothing and never writes outside it.
//  2. Values in the work buffer are read and written with memcpy (positions are not
//     aligned).
//  3. Character fields are read in place from the record buffer unless a routine that
//     changes its parameter in place consumes them; then they are copied first.
//  4. The operands of a character '+' lie side by side, so concatenation moves nothing.
//
// The compiler and evaluator reach a table through Expr4Table and the engine's settings and
// error state through Expr4Code; the table layer implements both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct EXPR4;
struct EXPR4TOKEN;
struct CALC4;
class Expr4Table;

// The engine's error codes raised by expressions.
enum : int {
    e4commaExpected = -400,
    e4complete = -410,
    e4dataName = -420,
    e4lengthErr = -422,
    e4notConstant = -425,
    e4numParms = -430,
    e4overflow = -440,
    e4rightMissing = -450,
    e4typeSub = -460,
    e4unrecFunction = -470,
    e4unrecOperator = -480,
    e4unrecValue = -490,
    e4unterminated = -500,
    e4info = -910,
    e4memory = -920,
    e4parm = -930,
    e4result = -950,
};

// Settings, error state and shared work areas of the engine as expressions use them.
class Expr4Code {
public:
    virtual ~Expr4Code();
    // Negative: an error is pending and every entry point fails at once.
    virtual int errorCode() const = 0;
    // Stores the code and reports it with up to three description lines (may be null).
    virtual void raise(int code, const char* line1, const char* line2, const char* line3) = 0;
    // On: failed compilations raise their error; off: they only fail.
    virtual bool exprError() const = 0;
    // Picture of DTOC and CTOD (at most 19 characters).
    virtual const char* dateFormat() const = 0;
    // Length given to memo fields inside expressions.
    virtual int exprMemoSize() const = 0;

    // Shared by every expression of this engine: a result lies in `work` until the next
    // evaluation, a key in `key` until the next conversion.
    std::vector<char> work;
    std::vector<char> key;
    std::vector<CALC4*> calcs;  // named calculations, in creation order

    // Grows `area` (work or key) to at least `size` without moving what a caller still
    // holds: the old storage is kept until the next evaluation releases it.
    void growArea(std::vector<char>& area, size_t size);
    void releaseRetired() {
        if (!retired_.empty()) retired_.clear();
    }

private:
    std::vector<std::vector<char>> retired_;
};

struct Expr4FieldInfo {
    const void* field = nullptr;  // the table's own handle, handed back for memo reads
    char type = 0;                // C N F D L M; others cannot be used
    int length = 0;
    int decimals = 0;
    int offset = 0;  // within the record buffer
};

class Expr4Table {
public:
    virtual ~Expr4Table();
    virtual Expr4Code* code() = 0;
    // Finds a field by name (case-insensitive): 0, or -1 after raising the table's
    // unknown-field error when its switch is on.
    virtual int fieldInfo(const char* name, Expr4FieldInfo* info) = 0;
    // Address of the table's record-buffer pointer, so tokens follow a moved buffer.
    virtual char* const* recordBuffer() = 0;
    virtual long recNo() = 0;
    virtual long recCount() = 0;
    // Another open table of the same engine by alias (at most 10 characters), or null.
    virtual Expr4Table* findAlias(const char* alias) = 0;
    // Contents of a memo field of the current record: 0, or negative on failure.
    virtual int memoContents(const void* field, const char** data, unsigned* length) = 0;
};

using Expr4Routine = void (*)(struct Expr4State&, const EXPR4TOKEN&);

struct EXPR4TOKEN {
    const void* field = nullptr;     // field tokens: the table's field handle
    Expr4Table* table = nullptr;     // field, DEL, DELETED, RECCOUNT, RECNO: the table
    CALC4* calc = nullptr;           // named calculations
    int length = 0;                  // length of this token's result
    int tokenCount = 1;              // tokens of the sub-expression ending here
    int paramCount = 0;
    int resultPos = 0;               // offset in the work buffer
    int first = 0;                   // field offset, constant offset, start, decimals, compare length
    int tie = 0;                     // '>' and '<' on texts: result when equal over the compare length
    int row = 0;
    Expr4Routine routine = nullptr;
};

struct EXPR4 {
    std::vector<EXPR4TOKEN> tokens;
    std::vector<char> constants;
    std::string source;
    int len = 0;
    char type = 0;
    Expr4Table* data = nullptr;
    Expr4Code* code = nullptr;  // the engine's expression side (a calculation finds its list here)
    int workLen = 0;
    bool trims = false;  // uses TRIM or LTRIM: zero fill becomes blanks in its key
};

struct CALC4 {
    EXPR4* expr = nullptr;
    char name[20] = {};
    int refs = 0;          // compiled expressions that call it
    bool listed = true;    // still in the engine's list (a deleted one lives on while called)
};

// Compiles `text` against `table`: the program, or null after an error (raised when the
// engine's expression-error switch is on). Fails at once while an error is pending.
EXPR4* expr4parse(Expr4Table* table, const char* text);
// Runs the program on the current record: the result's length and its address in the work
// buffer, or -1.
int expr4eval(EXPR4* expr, char** result);
// Runs the sub-expression that ends with token `index`: the engine's error code.
int expr4evalPart(EXPR4* expr, int index, char** result);
int expr4key(EXPR4* expr, char** key);
int expr4keyConvert(EXPR4* expr, char** value, int length, char type);
int expr4keyLen(const EXPR4* expr);
int expr4true(EXPR4* expr);
double expr4double(EXPR4* expr);
int expr4doubleOut(EXPR4* expr, double* result);
int expr4len(const EXPR4* expr);
char expr4type(const EXPR4* expr);
const char* expr4source(const EXPR4* expr);
void expr4free(EXPR4* expr);
// The first row from `first` to `last` whose name is the text's name (see the .cpp).
int expr4lookup(const char* text, int length, int first, int last);
// Replaces every whole-word occurrence of `name` in the source and recompiles: 1 when the
// name does not occur, 0 when replaced, -1 on failure (the expression is kept).
int expr4replaceName(EXPR4** expr, const char* name, const char* replacement);

CALC4* calc4create(Expr4Code* code, EXPR4* expr, const char* name);
CALC4* calc4lookup(Expr4Code* code, const char* name, int length);
void calc4delete(Expr4Code* code, CALC4* calc);
void calc4delete(CALC4* calc);
void calc4deleteAll(Expr4Code* code);

// Row numbers of the operator and function table that callers and tests refer to.
int expr4rowCount();
const char* expr4rowName(int row);

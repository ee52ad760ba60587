// A small hand-written lexer and recursive-descent parser for LVM2 text metadata, and its
// serialiser.
#include "linux_lvm/LVM_linux_lvm_parser.h"

#include <locale.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "core/Origin.h"
#include "core/Text.h"

namespace {

[[noreturn]] void outOfMemory(const char* func) {
    volbridge::Origin{func, volbridge::unit::kLinuxLvmParser}.fail(
        "Out of memory while building the LVM metadata tree");
}

char* copyRange(const char* p, size_t n) {
    char* s = static_cast<char*>(malloc(n + 1));
    if (!s) outOfMemory("LVM_linux_lvm_parser::copyRange");
    memcpy(s, p, n);
    s[n] = '\0';
    return s;
}

char* copyString(const char* s) { return copyRange(s ? s : "", s ? strlen(s) : 0); }

// Character classes of the lexer, looked up instead of tested one by one.
enum : unsigned char { kSpace = 1, kIdentEnd = 2, kDigit = 4 };

struct CharTable {
    unsigned char cls[256] = {};
    CharTable() {
        for (int c = 0; c < 256; ++c) {
            if (isspace(c)) cls[c] |= kSpace | kIdentEnd;
            if (c >= '0' && c <= '9') cls[c] |= kDigit;
        }
        for (unsigned char c : {'#', '=', '{', '}', '\0'}) cls[c] |= kIdentEnd;
    }
};
const CharTable kChars;

inline unsigned char cls(char c) { return kChars.cls[static_cast<unsigned char>(c)]; }

// Numbers are read and written the same whatever locale the host process runs in.
locale_t cLocale() {
    static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// Frees the chain at `*head` if the parse that builds it is left by an exception.
class ChainGuard {
  public:
    explicit ChainGuard(LVM_linux_lvm_parser::Node** head) : head_(head) {}
    ~ChainGuard() {
        if (head_) LVM_linux_lvm_parser::destroy(*head_);
    }
    void release() { head_ = nullptr; }

  private:
    LVM_linux_lvm_parser::Node** head_;
};

class ValueGuard {
  public:
    explicit ValueGuard(LVM_linux_lvm_parser::Value** head) : head_(head) {}
    ~ValueGuard() {
        if (head_) LVM_linux_lvm_parser::destroyValues(*head_);
    }
    void release() { head_ = nullptr; }

  private:
    LVM_linux_lvm_parser::Value** head_;
};

LVM_linux_lvm_parser::Node* newNode(char* name) {
    auto* node =
        static_cast<LVM_linux_lvm_parser::Node*>(calloc(1, sizeof(LVM_linux_lvm_parser::Node)));
    if (!node) {
        free(name);
        outOfMemory("LVM_linux_lvm_parser::makeNode");
    }
    node->name = name;
    return node;
}

LVM_linux_lvm_parser::Value* newValue() {
    auto* v =
        static_cast<LVM_linux_lvm_parser::Value*>(calloc(1, sizeof(LVM_linux_lvm_parser::Value)));
    if (!v) outOfMemory("LVM_linux_lvm_parser::makeValue");
    return v;
}

void appendEscaped(std::string& out, const char* s) {
    const char* run = s;
    for (const char* p = s; *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out.append(run, static_cast<size_t>(p - run));
            out += '\\';
            run = p;
        }
    }
    out.append(run);
}

// "%f" of the value, independent of the process locale. Infinity has no spelling that LVM2 (or
// this parser) reads back, so it is written as the largest finite number of its sign; a NaN,
// which no metadata text yields, as 0.
void appendFloat(std::string& out, double value) {
    if (std::isnan(value)) value = 0;
    if (std::isinf(value)) value = std::copysign(DBL_MAX, value);
    char number[400];  // DBL_MAX has 309 digits before the point
    auto r = std::to_chars(number, number + sizeof number, value, std::chars_format::fixed, 6);
    out.append(number, r.ptr);
}

void dumpInto(std::string& out, LVM_linux_lvm_parser::Node* node, int indent) {
    const int clamped = std::clamp(indent, 0, 128);
    const size_t pad = static_cast<size_t>(clamped);
    for (; node; node = node->next) {
        out.append(pad, ' ');
        out += node->name;
        if (node->child || !node->value) {
            // A node with neither children nor value is written as an empty section: LVM2
            // reads "name {" "}" but refuses a name on its own.
            out += " {\n";
            dumpInto(out, node->child, clamped + 4);
            out.append(pad, ' ');
            out += "}\n";
        } else {
            out += " = ";
            const bool array = node->value->is_array;
            if (array) out += "[ ";
            for (LVM_linux_lvm_parser::Value* v = node->value; v; v = v->next) {
                if (v != node->value) out += ", ";
                char number[64];
                switch (v->type) {
                    case LVM_linux_lvm_parser::VALUE_INT: {
                        auto r = std::to_chars(number, number + sizeof number,
                                               static_cast<long long>(v->int_val));
                        out.append(number, r.ptr);
                        break;
                    }
                    case LVM_linux_lvm_parser::VALUE_FLOAT:
                        appendFloat(out, v->float_val);
                        break;
                    case LVM_linux_lvm_parser::VALUE_STRING:
                        out += '"';
                        appendEscaped(out, v->str ? v->str : "");
                        out += '"';
                        break;
                    default:  // an empty array writes nothing between its brackets
                        break;
                }
            }
            if (array) out += " ] ";
            out += '\n';
        }
    }
}

}  // namespace

bool LVM_linux_lvm_parser::Node::operator==(const char* s) const {
    return isString() && s && strcmp(value->str, s) == 0;
}

LVM_linux_lvm_parser::LVM_linux_lvm_parser()
    : token_(TOK_EOF), start_(nullptr), end_(nullptr), tokStart_(nullptr), tokEnd_(nullptr) {}

LVM_linux_lvm_parser::~LVM_linux_lvm_parser() = default;

const char* LVM_linux_lvm_parser::tok2str(int kind) {
    static const char* const names[] = {
        "INT",         "FLOAT",       "STRING",    "ESCAPED_STRING", "EQUAL_SIGN", "SECTION_BEGIN",
        "SECTION_END", "ARRAY_BEGIN", "ARRAY_END", "IDENTIFIER",     "COMMA",      "EOF"};
    if (kind < 0 || kind >= static_cast<int>(sizeof names / sizeof names[0])) return "UNKNOWN";
    return names[kind];
}

LVM_linux_lvm_parser::Node* LVM_linux_lvm_parser::parse(const char* text) {
    // The text is read where it is and never written; nothing of the tree points into it. (A
    // private copy would cost a large allocation per parse, which makes the allocator merge all
    // the small blocks of earlier trees first.)
    if (!text) text = "";
    start_ = text;
    end_ = text + strlen(text);
    tokStart_ = tokEnd_ = start_;
    token_ = TOK_EOF;

    struct Forget {  // the parser keeps no pointer into the caller's text
        LVM_linux_lvm_parser* p;
        ~Forget() { p->start_ = p->end_ = p->tokStart_ = p->tokEnd_ = nullptr; }
    } forget{this};
    getNextToken(0);  // no number at the very start: it is an identifier
    return parseSection(1);
}

void LVM_linux_lvm_parser::eatSpace() {
    const char* p = tokEnd_;
    while (p < end_) {
        if (*p == '#') {
            const void* eol = memchr(p, '\n', static_cast<size_t>(end_ - p));
            p = eol ? static_cast<const char*>(eol) : end_;
        } else if (cls(*p) & kSpace) {
            ++p;
        } else {
            break;
        }
    }
    tokEnd_ = p;
}

void LVM_linux_lvm_parser::getNextToken(int previous) {
    eatSpace();
    const char* p = tokEnd_;
    tokStart_ = p;
    if (p >= end_) {
        token_ = TOK_EOF;
        return;
    }
    const bool numberAllowed =
        previous == TOK_EQUAL_SIGN || previous == TOK_ARRAY_BEGIN || previous == TOK_COMMA;
    const char c = *p;
    switch (c) {
        case '"':
            ++p;
            while (p < end_) {
                if (*p == '\\' && p + 1 < end_) {
                    p += 2;
                } else if (*p == '"') {
                    ++p;
                    break;
                } else {
                    ++p;
                }
            }
            if (p > end_) p = end_;
            token_ = TOK_ESCAPED_STRING;
            break;
        case '\'': {
            const void* close = memchr(p + 1, '\'', static_cast<size_t>(end_ - p - 1));
            p = close ? static_cast<const char*>(close) + 1 : end_;
            token_ = TOK_STRING;
            break;
        }
        case ',':
            ++p;
            token_ = TOK_COMMA;
            break;
        case '=':
            ++p;
            token_ = TOK_EQUAL_SIGN;
            break;
        case '[':
            ++p;
            token_ = TOK_ARRAY_BEGIN;
            break;
        case ']':
            ++p;
            token_ = TOK_ARRAY_END;
            break;
        case '{':
            ++p;
            token_ = TOK_SECTION_BEGIN;
            break;
        case '}':
            ++p;
            token_ = TOK_SECTION_END;
            break;
        default:
            if (numberAllowed && (c == '+' || c == '-' || c == '.' || (cls(c) & kDigit))) {
                bool point = c == '.';
                token_ = point ? TOK_FLOAT : TOK_INT;
                ++p;
                while (p < end_) {
                    if (cls(*p) & kDigit) {
                        ++p;
                    } else if (*p == '.' && !point) {
                        point = true;
                        token_ = TOK_FLOAT;
                        ++p;
                    } else {
                        break;
                    }
                }
            } else {
                while (p < end_ && !(cls(*p) & kIdentEnd)) ++p;
                token_ = TOK_IDENTIFIER;
            }
            break;
    }
    tokEnd_ = p;
}

std::string LVM_linux_lvm_parser::context() const {
    if (!start_) return std::string();
    const char* from = tokStart_ - std::min<ptrdiff_t>(10, tokStart_ - start_);
    const char* to = tokEnd_ + std::min<ptrdiff_t>(10, end_ - tokEnd_);
    // Shown as it can stand in a message: the text may hold control characters.
    return volbridge::printable(std::string_view(from, static_cast<size_t>(to - from)));
}

void LVM_linux_lvm_parser::fail(const char* func, const std::string& message, int line) const {
    volbridge::Origin{func, volbridge::unit::kLinuxLvmParser}.fail(message, line);
}

void LVM_linux_lvm_parser::checkToken(const char* func, int expected) {
    if (token_ == expected) return;
    fail(func,
         std::string("LVM metadata parsing error: Expected token ") + tok2str(expected) +
             ", but got " + tok2str(token_) + " around text \"" + context() + "\"",
         264);
}

LVM_linux_lvm_parser::Node* LVM_linux_lvm_parser::makeNode() {
    checkToken("LVM_linux_lvm_parser::makeNode", TOK_IDENTIFIER);
    return newNode(copyRange(tokStart_, static_cast<size_t>(tokEnd_ - tokStart_)));
}

LVM_linux_lvm_parser::Node* LVM_linux_lvm_parser::parseSection(int depth) {
    const char* const func = "LVM_linux_lvm_parser::parseSection";
    if (depth - 1 > kMaxDepth) {  // depth 1 is the top level, outside any section
        fail(func,
             "LVM metadata parsing error: sections nested deeper than " +
                 std::to_string(kMaxDepth) + " levels around text \"" + context() + "\"",
             264);
    }
    Node* first = nullptr;
    Node** tail = &first;
    ChainGuard guard(&first);
    while (token_ != TOK_EOF && token_ != TOK_SECTION_END) {
        checkToken(func, TOK_IDENTIFIER);
        Node* node = makeNode();
        *tail = node;
        tail = &node->next;
        getNextToken(TOK_IDENTIFIER);
        if (token_ == TOK_EQUAL_SIGN) {
            getNextToken(TOK_EQUAL_SIGN);
            node->value = parseValue();
            getNextToken(token_);
        } else if (token_ == TOK_SECTION_BEGIN) {
            getNextToken(TOK_SECTION_BEGIN);
            node->child = parseSection(depth + 1);
            checkToken(func, TOK_SECTION_END);
            getNextToken(TOK_SECTION_END);
        }
        // Anything else: an entry with neither value nor children; go on with this token.
    }
    checkToken(func, depth == 1 ? TOK_EOF : TOK_SECTION_END);
    guard.release();
    return first;
}

LVM_linux_lvm_parser::Value* LVM_linux_lvm_parser::parseValue() {
    if (token_ != TOK_ARRAY_BEGIN) return parseSimpleValue();
    getNextToken(TOK_ARRAY_BEGIN);
    Value* first = nullptr;
    Value** tail = &first;
    ValueGuard guard(&first);
    while (token_ != TOK_ARRAY_END) {
        Value* v = parseSimpleValue();
        v->is_array = true;
        *tail = v;
        tail = &v->next;
        getNextToken(token_);  // after an element, a number without a comma is an identifier
        if (token_ == TOK_COMMA) getNextToken(TOK_COMMA);
    }
    if (!first) {
        first = newValue();
        first->type = VALUE_EMPTY_ARRAY;
        first->is_array = true;
    }
    guard.release();
    return first;
}

LVM_linux_lvm_parser::Value* LVM_linux_lvm_parser::parseSimpleValue() {
    const size_t length = static_cast<size_t>(tokEnd_ - tokStart_);
    switch (token_) {
        case TOK_ESCAPED_STRING:
        case TOK_STRING: {
            // Between the quotes: from after the opening quote, the token length less two. A
            // lone quote at the very end of the text gives the empty string.
            const char* inner = tokStart_ + 1;
            const size_t n = length >= 2 ? length - 2 : 0;
            Value* v = newValue();
            v->type = VALUE_STRING;
            if (token_ == TOK_STRING) {
                v->str = static_cast<char*>(malloc(n + 1));
                if (!v->str) {
                    free(v);
                    outOfMemory("LVM_linux_lvm_parser::parseSimpleValue");
                }
                memcpy(v->str, inner, n);
                v->str[n] = '\0';
                return v;
            }
            // Every backslash is dropped and the character after it kept; a backslash at the
            // very end ends the string.
            char* out = static_cast<char*>(malloc(n + 1));
            if (!out) {
                free(v);
                outOfMemory("LVM_linux_lvm_parser::parseSimpleValue");
            }
            size_t o = 0;
            for (size_t i = 0; i < n; ++i) {
                if (inner[i] == '\\') {
                    if (++i >= n) break;
                }
                out[o++] = inner[i];
            }
            out[o] = '\0';
            v->str = out;
            return v;
        }
        case TOK_INT:
        case TOK_FLOAT: {
            // The token alone, terminated: the conversion must not read the text after it.
            char small[64];
            std::string big;
            const char* digits = small;
            if (length < sizeof small) {
                memcpy(small, tokStart_, length);
                small[length] = '\0';
            } else {
                big.assign(tokStart_, length);
                digits = big.c_str();
            }
            Value* v = newValue();
            if (token_ == TOK_INT) {
                v->type = VALUE_INT;
                v->int_val = strtoll(digits, nullptr, 0);
            } else {
                v->type = VALUE_FLOAT;
                v->float_val = strtod_l(digits, nullptr, cLocale());
            }
            return v;
        }
        default:
            fail("LVM_linux_lvm_parser::parseSimpleValue",
                 std::string("LVM metadata parsing error: Expected value toke, but got ") +
                     tok2str(token_) + " around text \"" + context() + "\"",
                 413);
    }
}

LVM_linux_lvm_parser::Node* LVM_linux_lvm_parser::find(Node* list, const char* name, bool direct) {
    if (!name) return nullptr;
    for (Node* n = list; n; n = n->next) {
        if (strcmp(n->name, name) == 0) return n;
        if (!direct && n->child) {
            if (Node* hit = find(n->child, name, false)) return hit;
        }
    }
    return nullptr;
}

LVM_linux_lvm_parser::Node* LVM_linux_lvm_parser::findDirectChild(Node* parent, const char* name) {
    return parent ? find(parent->child, name, true) : nullptr;
}

LVM_linux_lvm_parser::Node* LVM_linux_lvm_parser::makeNode(const char* name) {
    return newNode(copyString(name));
}

LVM_linux_lvm_parser::Value* LVM_linux_lvm_parser::makeValue(long long v) {
    Value* value = newValue();
    value->type = VALUE_INT;
    value->int_val = v;
    return value;
}

LVM_linux_lvm_parser::Value* LVM_linux_lvm_parser::makeValue(double v) {
    Value* value = newValue();
    value->type = VALUE_FLOAT;
    value->float_val = v;
    return value;
}

LVM_linux_lvm_parser::Value* LVM_linux_lvm_parser::makeValue(const char* s) {
    char* copy = copyString(s);
    Value* value = static_cast<Value*>(calloc(1, sizeof(Value)));
    if (!value) {
        free(copy);
        outOfMemory("LVM_linux_lvm_parser::makeValue");
    }
    value->type = VALUE_STRING;
    value->str = copy;
    return value;
}

void LVM_linux_lvm_parser::assign(Node* node, const char* s) {
    if (!node) return;
    Value* fresh = makeValue(s);
    destroyValues(node->value);
    destroy(node->child);
    node->child = nullptr;
    node->value = fresh;
}

void LVM_linux_lvm_parser::assign(Value* v, const char* s) {
    if (!v) return;
    char* fresh = copyString(s);
    free(v->str);  // null unless the value was a string
    v->str = fresh;
    v->type = VALUE_STRING;
}

void LVM_linux_lvm_parser::rename(Node* node, const char* name) {
    if (!node) return;
    char* fresh = copyString(name);
    free(node->name);
    node->name = fresh;
}

namespace {

// Chains are freed from their end: the allocator hands out freed blocks of a size last in,
// first out, so the next tree parsed gets the same blocks in the same order, close together.
template <class T>
T* reversed(T* first) {
    T* previous = nullptr;
    while (first) {
        T* next = first->next;
        first->next = previous;
        previous = first;
        first = next;
    }
    return previous;
}

}  // namespace

void LVM_linux_lvm_parser::destroyValues(Value* value) {
    for (value = reversed(value); value;) {
        Value* next = value->next;
        free(value->str);
        free(value);
        value = next;
    }
}

void LVM_linux_lvm_parser::destroy(Node* node) {
    for (node = reversed(node); node;) {
        Node* next = node->next;
        destroyValues(node->value);
        destroy(node->child);
        char* name = node->name;
        free(node);
        free(name);
        node = next;
    }
}

void LVM_linux_lvm_parser::destroyChildren(Node* node) {
    if (!node) return;
    destroy(node->child);
    node->child = nullptr;
}

std::string LVM_linux_lvm_parser::dump(Node* node, int indent) {
    std::string out;
    dumpInto(out, node, indent);
    return out;
}

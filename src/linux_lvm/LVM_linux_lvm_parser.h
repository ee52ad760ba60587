// LVM2 text metadata (what "vgcfgbackup" writes and "vgcfgrestore -f" reads) as a tree of named
// nodes: parsing, lookups, small edits, and serialising back into text that LVM2 accepts.
//
// The tree is plain structures allocated with calloc/strdup and released with free through
// destroy(); every node and value owns copies of its strings. The parser knows nothing of what
// the entries mean.
#pragma once

#include <cstdint>
#include <string>

class LVM_linux_lvm_parser {
  public:
    enum ValueType {
        VALUE_STRING = 0,
        VALUE_FLOAT = 1,
        VALUE_INT = 2,
        VALUE_EMPTY_ARRAY = 3,
    };

    enum TokenKind {
        TOK_INT = 0,
        TOK_FLOAT = 1,
        TOK_STRING = 2,
        TOK_ESCAPED_STRING = 3,
        TOK_EQUAL_SIGN = 4,
        TOK_SECTION_BEGIN = 5,
        TOK_SECTION_END = 6,
        TOK_ARRAY_BEGIN = 7,
        TOK_ARRAY_END = 8,
        TOK_IDENTIFIER = 9,
        TOK_COMMA = 10,
        TOK_EOF = 11,
    };

    // One value or array element.
    struct Value {
        bool is_array;     // set on every element written between "[" and "]"
        int32_t type;      // ValueType
        int64_t int_val;   // VALUE_INT
        double float_val;  // VALUE_FLOAT
        char* str;         // VALUE_STRING (owned); null otherwise
        Value* next;       // next array element
    };

    // One named entry: a section (name { ... }) or an assignment (name = value).
    struct Node {
        char* name;    // owned
        Node* next;    // next sibling
        Node* child;   // first entry of a section
        Value* value;  // first element of an assignment's value

        // The node has a value whose first element holds a string.
        bool isString() const { return value && value->str; }
        bool operator==(const char* s) const;
        bool operator==(const std::string& s) const { return *this == s.c_str(); }
    };

    // Owns a sibling chain; destroys it on destruction or when given another.
    class NodeAutoPtr {
      public:
        explicit NodeAutoPtr(Node* node = nullptr) : node_(node) {}
        ~NodeAutoPtr() { destroy(node_); }
        NodeAutoPtr(const NodeAutoPtr&) = delete;
        NodeAutoPtr& operator=(const NodeAutoPtr&) = delete;
        NodeAutoPtr& operator=(Node* node) {
            if (node != node_) {
                destroy(node_);
                node_ = node;
            }
            return *this;
        }
        operator Node*() const { return node_; }
        Node* operator->() const { return node_; }
        Node* get() const { return node_; }
        // Gives up ownership without destroying.
        Node* release() {
            Node* node = node_;
            node_ = nullptr;
            return node;
        }

      private:
        Node* node_;
    };

    // Sections nested deeper than this are refused (LVM2 metadata uses five levels), so that no
    // input can exhaust the stack of the recursive parser.
    static constexpr int kMaxDepth = 64;

    LVM_linux_lvm_parser();
    ~LVM_linux_lvm_parser();
    LVM_linux_lvm_parser(const LVM_linux_lvm_parser&) = delete;
    LVM_linux_lvm_parser& operator=(const LVM_linux_lvm_parser&) = delete;

    // Parses the whole text and returns its first top-level node (null for a text without
    // entries); the caller owns the chain. Throws YbException on a syntax error, after
    // releasing everything it built.
    Node* parse(const char* text);

    // Searches the chain from `list` in order, each node before its subtree and before its next
    // sibling; with `direct` only along the chain.
    static Node* find(Node* list, const char* name, bool direct);
    static Node* findDirectChild(Node* parent, const char* name);

    static Node* makeNode(const char* name);
    static Value* makeValue(long long v);
    static Value* makeValue(double v);
    static Value* makeValue(const char* s);
    // Gives the node one plain string value, dropping its old value and its children.
    static void assign(Node* node, const char* s);
    // Turns one value into a string; is_array and next stay.
    static void assign(Value* v, const char* s);
    static void rename(Node* node, const char* name);
    // Frees the node, every node after it in its chain, their subtrees and values.
    static void destroy(Node* node);
    static void destroyChildren(Node* node);
    static void destroyValues(Value* value);

    // The chain from `node` as LVM2 text metadata, each level indented by four more spaces (at
    // most 128): arrays as "[ a, b ] ", floats with six decimals, strings double-quoted with a
    // backslash before each '"' and '\\', comments dropped. A node with neither children nor
    // value is written as an empty section, "name {" and "}". parse reads what it writes, and
    // dumping that again gives the same text.
    static std::string dump(Node* node, int indent);

    // The name of a token kind as error messages print it.
    static const char* tok2str(int kind);

  private:
    void eatSpace();
    void getNextToken(int previous);
    Node* parseSection(int depth);
    Value* parseValue();
    Value* parseSimpleValue();
    void checkToken(const char* func, int expected);
    Node* makeNode();
    std::string context() const;
    [[noreturn]] void fail(const char* func, const std::string& message, int line) const;

    int token_;             // current token kind
    const char* start_;     // the text being parsed (the caller's)
    const char* end_;       // end of the text
    const char* tokStart_;  // current token
    const char* tokEnd_;
};

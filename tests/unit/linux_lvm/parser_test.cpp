// The LVM2 metadata parser and serialiser.
#include <gtest/gtest.h>

#include "Fixtures.h"
#include "host/YbException.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"

namespace {

using Parser = LVM_linux_lvm_parser;
using Node = Parser::Node;

std::string roundTrip(const std::string& text) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    return Parser::dump(root, 0);
}

TEST(Parser, DumpFormat) {
    struct Case {
        const char* name;
        const char* text;
        const char* dumped;
    } cases[] = {
        {"two assignments", "a = 1\nb = \"x\"\n", "a = 1\nb = \"x\"\n"},
        {"section with array", "s {\n t = [\"p\", 0]\n}\n", "s {\n    t = [ \"p\", 0 ] \n}\n"},
        {"empty array", "f = []", "f = [  ] \n"},
        {"float", "x = 1.5", "x = 1.500000\n"},
        {"one-element array", "a = [ 7 ]", "a = [ 7 ] \n"},
        {"escaped quote kept", "s = \"a\\\"b\"", "s = \"a\\\"b\"\n"},
        {"backslash before other character is dropped", "s = \"a\\zb\"", "s = \"azb\"\n"},
        {"backslash written twice", "s = \"a\\\\b\"", "s = \"a\\\\b\"\n"},
        {"string ending in a backslash", "s = \"abc\\\\\"", "s = \"abc\\\\\"\n"},
        {"single-quoted string has no escapes", "s = 'a\\b'", "s = \"a\\\\b\"\n"},
        {"empty section", "s { }\n", "s\n"},
        {"lone identifier", "flag\nx = 2", "flag\nx = 2\n"},
        {"comments dropped", "# c\na = 1 # d\n", "a = 1\n"},
        {"nested indentation", "a { b { c = 1 } }", "a {\n    b {\n        c = 1\n    }\n}\n"},
        {"negative and hexadecimal-looking", "a = -5\nb = 010", "a = -5\nb = 8\n"},
        {"number at the very start is a name", "12 = 3", "12 = 3\n"},
        {"empty text", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(roundTrip(c.text), c.dumped);
    }
}

TEST(Parser, SyntaxErrors) {
    struct Case {
        const char* name;
        const char* text;
        const char* func;
        const char* message;
        int line;
    } cases[] = {
        {"two numbers without comma", "a = [1 2]", "LVM_linux_lvm_parser::parseSimpleValue",
         "LVM metadata parsing error: Expected value toke, but got IDENTIFIER around text \"a = [1 "
         "2]\"",
         413},
        {"value missing at the end", "a =", "LVM_linux_lvm_parser::parseSimpleValue",
         "LVM metadata parsing error: Expected value toke, but got EOF around text \"a =\"", 413},
        {"surplus closing brace", "a = 1\n}", "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: Expected token EOF, but got SECTION_END around text \"a = "
         "1\n}\"",
         264},
        {"unclosed section", "s { a = 1", "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: Expected token SECTION_END, but got EOF around text \"s { a "
         "= 1\"",
         264},
        {"section opened by a non-name", "= 1", "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: Expected token IDENTIFIER, but got EQUAL_SIGN around text "
         "\"= 1\"",
         264},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parser parser;
        try {
            Parser::NodeAutoPtr root(parser.parse(c.text));
            ADD_FAILURE() << "no exception";
        } catch (const YbException& e) {
            EXPECT_EQ(e.getFuncName(), c.func);
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_EQ(e.getFileName(), "LVM_linux_lvm_parser");
            EXPECT_EQ(e.getLineNum(), c.line);
            EXPECT_EQ(e.getErrno(), -1);
        }
    }
}

TEST(Parser, ContextIsTenCharactersAroundTheToken) {
    Parser parser;
    try {
        parser.parse("abcdefghijklmnop = [ 1 2 ] qrstuvwxyz0123456789");
        FAIL();
    } catch (const YbException& e) {
        EXPECT_EQ(e.getMessage(),
                  "LVM metadata parsing error: Expected value toke, but got IDENTIFIER around "
                  "text \"nop = [ 1 2 ] qrstuvw\"");
    }
}

TEST(Parser, NestingTooDeepIsRefusedNotACrash) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "a {";
    Parser parser;
    EXPECT_THROW(parser.parse(deep.c_str()), YbException);
}

TEST(Parser, FindSearchesSubtreeBeforeLaterSiblings) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse("x { id = \"inner\" }\nid = \"outer\"\n"));
    Node* found = Parser::find(root, "id", false);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(*found == "inner");
    Node* direct = Parser::find(root, "id", true);
    ASSERT_NE(direct, nullptr);
    EXPECT_TRUE(*direct == std::string("outer"));
    EXPECT_EQ(Parser::findDirectChild(root, "id"), Parser::find(root->child, "id", true));
}

TEST(Parser, EditsAndValuesKeepOwnership) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse("s { a = [ \"x\", 1 ] b { c = 1 } }"));
    Node* b = Parser::findDirectChild(root, "b");
    Parser::assign(b, "now a string");
    EXPECT_EQ(b->child, nullptr);
    Node* a = Parser::findDirectChild(root, "a");
    Parser::assign(a->value->next, "two");
    EXPECT_TRUE(a->value->next->is_array);
    Parser::rename(a, "renamed");
    Node* extra = Parser::makeNode("extra");
    extra->value = Parser::makeValue(2.25);
    extra->next = root->child;
    root->child = extra;
    EXPECT_EQ(Parser::dump(root, 0),
              "s {\n    extra = 2.250000\n    renamed = [ \"x\", \"two\" ] \n    b = \"now a "
              "string\"\n}\n");
    Parser::destroyChildren(root);
    EXPECT_EQ(Parser::dump(root, 0), "s\n");
}

TEST(Parser, RealMetadataRoundTripIsStable) {
    for (const char* fixture : {"lvm2/metadata/mixed-3pv.vg"}) {
        SCOPED_TRACE(fixture);
        std::string once = roundTrip(vbtest::readFixture(fixture));
        EXPECT_EQ(roundTrip(once), once);
        EXPECT_NE(once.find("    physical_volumes {\n        pv0 {\n"), std::string::npos);
    }
}

}  // namespace

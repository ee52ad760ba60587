// The LVM2 metadata parser and serialiser.
#include <gtest/gtest.h>

#include <cfloat>

#include "Fixtures.h"
#include "MetadataTrees.h"
#include "host/YbException.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_crosscheck.h"

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
        // LVM2 refuses a name on its own line but reads an empty section.
        {"empty section", "s { }\n", "s {\n}\n"},
        {"empty nested section", "a { b { } }", "a {\n    b {\n    }\n}\n"},
        {"lone identifier", "flag\nx = 2", "flag {\n}\nx = 2\n"},
        {"comments dropped", "# c\na = 1 # d\n", "a = 1\n"},
        {"nested indentation", "a { b { c = 1 } }", "a {\n    b {\n        c = 1\n    }\n}\n"},
        {"negative and hexadecimal-looking", "a = -5\nb = 010", "a = -5\nb = 8\n"},
        {"number at the very start is a name", "12 = 3", "12 = 3\n"},
        {"integer beyond 64 bits saturates", "a = 99999999999999999999",
         "a = 9223372036854775807\n"},
        {"digits with two points", "a = 1.2.3", "a = 1.200000\n.3 {\n}\n"},
        {"empty text", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(roundTrip(c.text), c.dumped);
    }
}

// Every syntax error, with what it reports. The AddressSanitizer build also checks that a failed
// parse leaves nothing allocated.
TEST(Parser, SyntaxErrors) {
    std::string nested64, nested65;
    for (int i = 0; i < 65; ++i) {
        if (i < 64) nested64 += "s {";
        nested65 += "s {";
    }
    nested64 += " x = 1";
    nested65 += " x = 1";
    struct Case {
        const char* name;
        std::string text;
        const char* func;
        std::string message;
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
         "1\\x0a}\"",
         264},
        {"unclosed section", "s { a = 1", "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: Expected token SECTION_END, but got EOF around text \"s { a "
         "= 1\"",
         264},
        {"section opened by a non-name", "= 1", "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: Expected token IDENTIFIER, but got EQUAL_SIGN around text "
         "\"= 1\"",
         264},
        {"entry after a value without a name", "a = 1 [ 2 ]", "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: Expected token IDENTIFIER, but got ARRAY_BEGIN around text "
         "\"a = 1 [ 2 ]\"",
         264},
        {"name as a value", "a = b", "LVM_linux_lvm_parser::parseSimpleValue",
         "LVM metadata parsing error: Expected value toke, but got IDENTIFIER around text "
         "\"a = b\"",
         413},
        {"array in an array", "a = [[1]]", "LVM_linux_lvm_parser::parseSimpleValue",
         "LVM metadata parsing error: Expected value toke, but got ARRAY_BEGIN around text "
         "\"a = [[1]]\"",
         413},
        {"array not closed", "s { a = [ \"x\", 1,", "LVM_linux_lvm_parser::parseSimpleValue",
         "LVM metadata parsing error: Expected value toke, but got EOF around text \" [ \"x\", "
         "1,\"",
         413},
        {"section as a value", "a = { b = 1 }", "LVM_linux_lvm_parser::parseSimpleValue",
         "LVM metadata parsing error: Expected value toke, but got SECTION_BEGIN around text \"a = "
         "{ b = 1 }\"",
         413},
        {"64 nested sections are read", nested64, "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: Expected token SECTION_END, but got EOF around text \"{s { "
         "x = 1\"",
         264},
        {"65 nested sections are refused", nested65, "LVM_linux_lvm_parser::parseSection",
         "LVM metadata parsing error: sections nested deeper than 64 levels around text \"s {s {s "
         "{ x = 1\"",
         264},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parser parser;
        try {
            Parser::NodeAutoPtr root(parser.parse(c.text.c_str()));
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
    // Control characters of the text are shown escaped.
    try {
        parser.parse("a = [ 1\x1b[2J 2 ]");
        FAIL();
    } catch (const YbException& e) {
        EXPECT_EQ(e.getMessage(),
                  "LVM metadata parsing error: Expected value toke, but got IDENTIFIER around "
                  "text \"a = [ 1\\x1b[2J 2 ]\"");
    }
}

TEST(Parser, NestingTooDeepIsRefusedNotACrash) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "a {";
    Parser parser;
    EXPECT_THROW(parser.parse(deep.c_str()), YbException);
    // The same object goes on parsing.
    Parser::NodeAutoPtr root(parser.parse("a = 1"));
    EXPECT_EQ(Parser::dump(root, 0), "a = 1\n");
}

// What dump writes, parse reads back, and dumping that gives the same text again: also for what
// LVM2 never writes but a tree can hold.
TEST(Parser, DumpIsReadBackUnchanged) {
    const std::string tooBig = "1" + std::string(400, '0') + ".5";
    struct Case {
        const char* name;
        std::string text;
        const char* contains;  // in the dump
    } cases[] = {
        {"quotes and backslashes", R"(s = "a\"b\\c\\" t = 'x"y\')", R"(t = "x\"y\\")"},
        {"string ending in a backslash", R"(s = "abc\\")", R"(s = "abc\\")"},
        {"empty sections and lone names", "a { } b c { d { } }", "c {\n    d {\n    }\n}\n"},
        {"float beyond the double range", "f = " + tooBig + "\ng = -" + tooBig,
         "f = "
         "179769313486231570814527423731704356798070567525844996598917476803157260780028538760"},
        {"integers at the ends of the range", "a = [ -9223372036854775808, 9223372036854775807 ]",
         "a = [ -9223372036854775808, 9223372036854775807 ] \n"},
        {"unclosed string at the end", "s = \"abc", "s = \"ab\"\n"},
        {"lone quote at the end", "s = \"", "s = \"\"\n"},
        {"names with brackets, commas and quotes", "a,b\"[ = 1", "a,b\"[ = 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string once = roundTrip(c.text);
        EXPECT_EQ(roundTrip(once), once);
        EXPECT_NE(once.find(c.contains), std::string::npos) << once;
        EXPECT_EQ(once.find("inf"), std::string::npos) << once;
    }
}

TEST(Parser, FloatsBeyondTheRangeAreWrittenAsTheLargestFinite) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(("f = -1" + std::string(400, '0') + ".0").c_str()));
    Parser::NodeAutoPtr again(parser.parse(Parser::dump(root, 0).c_str()));
    EXPECT_EQ(again->value->float_val, -DBL_MAX);
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
    EXPECT_EQ(Parser::dump(root, 0), "s {\n}\n");
}

// Groups that real LVM2 wrote. Under roundtrip/, <case>.vg is LVM2's export of a group and
// <case>-restored.vg its export after "vgcfgrestore" of our dump of the first
// (tests/real_lvm2/metadata_roundtrip_real_test.cpp made them). Each passes the cross-check, our
// dump reads back unchanged, and the restored group is the same as the original.
TEST(Parser, CapturedMetadataRoundTrip) {
    struct Case {
        const char* fixture;
        const char* restored;  // LVM2's export after the round trip, if captured
    } cases[] = {
        {"mixed-3pv.vg", nullptr},
        {"linear-2pv-3lv.vg", nullptr},
        {"mirror.vg", nullptr},
        {"snapshot.vg", nullptr},
        {"striped-2pv.vg", nullptr},
        {"roundtrip/linear.vg", "roundtrip/linear-restored.vg"},
        {"roundtrip/striped-2pv.vg", "roundtrip/striped-2pv-restored.vg"},
        {"roundtrip/linear-two-segments.vg", "roundtrip/linear-two-segments-restored.vg"},
        {"roundtrip/snapshot.vg", "roundtrip/snapshot-restored.vg"},
        {"roundtrip/mirror.vg", "roundtrip/mirror-restored.vg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::string original = vbtest::readFixture(std::string("lvm2/metadata/") + c.fixture);
        Parser parser;
        Parser::NodeAutoPtr root(parser.parse(original.c_str()));
        volbridge::lvm2::crossCheckMeta(root, parser, "captured metadata");
        const std::string once = Parser::dump(root, 0);
        EXPECT_EQ(roundTrip(once), once);
        EXPECT_NE(once.find("    physical_volumes {\n        pv0 {\n"), std::string::npos);
        EXPECT_EQ(vbtest::comparableMetadata(once), vbtest::comparableMetadata(original));
        if (c.restored) {
            const std::string restored =
                vbtest::readFixture(std::string("lvm2/metadata/") + c.restored);
            EXPECT_EQ(vbtest::comparableMetadata(restored), vbtest::comparableMetadata(original));
        }
    }
}

}  // namespace

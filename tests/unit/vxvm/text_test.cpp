// The text helpers of the VxVM backend.
#include <gtest/gtest.h>

#include "VxvmSandbox.h"

namespace {

using volbridge::vxvm::SeparatorRuns;

TEST(VxvmText, TrimTokenizeAndSplit) {
    EXPECT_EQ(volbridge::vxvm::trimLine("a\rb\n"), "a");
    EXPECT_EQ(volbridge::vxvm::trimLine("ab"), "ab");
    EXPECT_EQ(volbridge::vxvm::trimLine("\nab"), "");
    EXPECT_EQ(volbridge::vxvm::trimSpace(" \t x y \t"), "x y");
    EXPECT_EQ(volbridge::vxvm::trimSpace("  "), "  ");
    EXPECT_EQ(volbridge::vxvm::trimSpace(""), "");

    std::vector<std::string> tokens{"kept"};
    volbridge::vxvm::Tokenize("a  b ", tokens, " ");
    volbridge::vxvm::Tokenize(" :c:", tokens, ": ");
    EXPECT_EQ(tokens, (std::vector<std::string>{"kept", "a", "b", "c"}));

    struct Case {
        const char* name;
        std::string text;
        std::string separator;
        SeparatorRuns runs;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"adjacent separators", "a::b", ":", SeparatorRuns::Keep, {"a", "", "b"}},
        {"adjacent separators collapsed", "a::b", ":", SeparatorRuns::Collapse, {"a", "b"}},
        {"separator at the end", "a:", ":", SeparatorRuns::Keep, {"a", ""}},
        {"run at the end collapsed", "a:::", ":", SeparatorRuns::Collapse, {"a", ""}},
        {"separator at the start collapsed", "::a", ":", SeparatorRuns::Collapse, {"", "a"}},
        {"empty text", "", ":", SeparatorRuns::Keep, {}},
        {"empty text collapsed", "", ":", SeparatorRuns::Collapse, {}},
        {"whole-string separator", "a, b,c, ", ", ", SeparatorRuns::Keep, {"a", "b,c", ""}},
        {"no separator", "abc", ":", SeparatorRuns::Keep, {"abc"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> out{"stale"};
        volbridge::vxvm::Split(c.text, c.separator, out, c.runs);
        EXPECT_EQ(out, c.fields);
    }
}

}  // namespace

// libFuzzer target for the LVM2 metadata parser, cross-check, tree helpers and dump.
//
// For any input: parse may refuse it and crossCheckMeta may reject the tree, but nothing may
// crash or leak, and what dump writes must be read back by parse into a tree that dumps to the
// same text and that the cross-check judges the same way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "QuietLog.h"
#include "host/YbException.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_crosscheck.h"

namespace {

using Parser = LVM_linux_lvm_parser;
using Node = Parser::Node;

[[noreturn]] void broken(const char* what, const std::string& a, const std::string& b = "") {
    fprintf(stderr, "%s\n--- first\n%s\n--- second\n%s\n", what, a.c_str(), b.c_str());
    abort();
}

// The cross-check's verdict: empty when the tree passes, else the message. Fills `lvs` on
// success.
std::string verdict(Node* root, Parser& parser, Node** lvs = nullptr) {
    try {
        volbridge::lvm2::crossCheckMeta(root, parser, "fuzzed metadata", nullptr, nullptr, lvs);
        return "";
    } catch (const YbException& e) {
        return e.getMessage();
    }
}

// Parses our own dump, which must not fail.
Node* reparse(Parser& parser, const std::string& dumped) {
    try {
        return parser.parse(dumped.c_str());
    } catch (const YbException& e) {
        broken("parse refused what dump wrote", dumped, e.getMessage());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vbfuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A NUL ends the text, as it does for every caller that holds the text as a C string.
    const std::string text(reinterpret_cast<const char*>(data), size);
    Parser parser;
    Parser::NodeAutoPtr root;
    try {
        root = parser.parse(text.c_str());
    } catch (const YbException&) {
        return 0;
    }

    Node* lvs = nullptr;
    const std::string judged = verdict(root, parser, &lvs);
    const std::string dumped = Parser::dump(root, 0);
    Parser::NodeAutoPtr again(reparse(parser, dumped));
    const std::string redumped = Parser::dump(again, 0);
    if (redumped != dumped) broken("dump of the reparsed dump differs", dumped, redumped);
    if (verdict(again, parser) != judged)
        broken("the cross-check judges the reparsed dump", judged);

    if (judged.empty()) {
        // The helpers that run on checked trees; making every LV visible keeps the group valid.
        for (Node* lv = lvs->child; lv; lv = lv->next) {
            volbridge::lvm2::isVisibleLV(lv, parser);
            volbridge::lvm2::findPVofLV(lv->name, lvs, parser);
            volbridge::lvm2::makeVisibleLV(lv, parser);
            if (!volbridge::lvm2::isVisibleLV(lv, parser)) broken("LV not visible", lv->name);
        }
        const std::string visible = Parser::dump(root, 0);
        Parser::NodeAutoPtr third(reparse(parser, visible));
        if (Parser::dump(third, 0) != visible) broken("dump after makeVisibleLV", visible);
        if (!verdict(third, parser).empty()) broken("makeVisibleLV broke the group", visible);
    }
    return 0;
}

// Comparing LVM2 metadata texts as trees.
#pragma once

#include <cstring>
#include <string>

#include "linux_lvm/LVM_linux_lvm_parser.h"

namespace vbtest {

// The text as our dump writes its tree, less what LVM2 rewrites whenever it exports a group it
// has not changed: the top-level "description", "creation_time" and "creation_host", and the
// group's "seqno". Comments and layout are gone with the parse. Two exports of the same group
// give the same result.
inline std::string comparableMetadata(const std::string& text) {
    using Parser = LVM_linux_lvm_parser;
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    auto drop = [](Parser::Node** link, const char* name) {
        while (*link) {
            if (strcmp((*link)->name, name) == 0) {
                Parser::Node* gone = *link;
                *link = gone->next;
                gone->next = nullptr;
                Parser::destroy(gone);
            } else {
                link = &(*link)->next;
            }
        }
    };
    Parser::Node* first = root.release();
    for (const char* name : {"description", "creation_time", "creation_host"}) drop(&first, name);
    root = first;
    for (Parser::Node* n = first; n; n = n->next) {
        if (n->child) drop(&n->child, "seqno");
    }
    return Parser::dump(root, 0);
}

}  // namespace vbtest

#include "GroupEdits.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "Fixtures.h"
#include "linux_lvm/LVM_linux_lvm_parser.h"
#include "linux_lvm/lvm2_identity.h"

namespace vbtest {

namespace {

using Parser = LVM_linux_lvm_parser;
using Node = Parser::Node;

Node* lvSection(Node* root, const std::string& name) {
    Node* lvs = Parser::find(root, "logical_volumes", false);
    Node* lv = Parser::findDirectChild(lvs, name.c_str());
    if (!lv) ADD_FAILURE() << "no LV " << name << " in the exported metadata";
    return lv;
}

// Drops "VISIBLE" from the LV's status and optionally renames it.
void hide(Node* lv, const std::string& newName) {
    if (!lv) return;
    Node* status = Parser::findDirectChild(lv, "status");
    for (Parser::Value** link = &status->value; *link;) {
        if ((*link)->str && strcmp((*link)->str, "VISIBLE") == 0) {
            Parser::Value* gone = *link;
            *link = gone->next;
            gone->next = nullptr;
            Parser::destroyValues(gone);
        } else {
            link = &(*link)->next;
        }
    }
    if (!newName.empty()) Parser::rename(lv, newName.c_str());
}

long long extentsOf(Node* lv) {
    Node* seg = lv ? Parser::findDirectChild(lv, "segment1") : nullptr;
    Node* count = seg ? Parser::findDirectChild(seg, "extent_count") : nullptr;
    return count && count->value ? count->value->int_val : 1;
}

std::string appendSection(Parser::NodeAutoPtr& root, Parser& parser, const std::string& text) {
    Node* lvs = Parser::find(root, "logical_volumes", false);
    Node* added = parser.parse(text.c_str());
    Node** tail = &lvs->child;
    while (*tail) tail = &(*tail)->next;
    *tail = added;
    return Parser::dump(root, 0);
}

}  // namespace

std::string exportGroup(const LvmSandbox& box, const std::string& vg) {
    const std::string path = box.workDir() + "/" + vg + ".export";
    shOk("vgcfgbackup -q -f " + path + " " + vg);
    return readFile(path);
}

void applyGroup(const LvmSandbox& box, const std::string& vg, const std::string& text) {
    const std::string path = box.workDir() + "/" + vg + ".edited";
    std::ofstream(path) << text;
    shOk("vgcfgrestore -q -f " + path + " " + vg);
    // vgcfgrestore leaves /etc/lvm/backup alone; every other LVM2 command that changes a group
    // refreshes it, as a group made the ordinary way would have it.
    shOk("vgcfgbackup -q " + vg);
}

std::string addMirror(const std::string& text, const std::string& mirror, const std::string& image0,
                      const std::string& image1, const std::string& log) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    const long long extents = extentsOf(lvSection(root, image0));
    hide(lvSection(root, image0), mirror + "_mimage_0");
    hide(lvSection(root, image1), mirror + "_mimage_1");
    if (!log.empty()) hide(lvSection(root, log), mirror + "_mlog");
    std::ostringstream section;
    section << mirror << " {\n id = \"" << volbridge::lvm2::genUUID() << "\"\n"
            << " status = [\"READ\", \"WRITE\", \"VISIBLE\"]\n flags = []\n"
            << " creation_time = 1796859326\n creation_host = \"test\"\n segment_count = 1\n"
            << " segment1 {\n  start_extent = 0\n  extent_count = " << extents << "\n"
            << "  type = \"mirror\"\n  mirror_count = 2\n";
    if (!log.empty()) section << "  mirror_log = \"" << mirror << "_mlog\"\n";
    section << "  region_size = 1024\n  mirrors = [\"" << mirror << "_mimage_0\", 0, \"" << mirror
            << "_mimage_1\", 0]\n }\n}\n";
    return appendSection(root, parser, section.str());
}

std::string addSnapshot(const std::string& text, const std::string& origin, const std::string& cow,
                        const std::string& snapshot) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    const long long extents = extentsOf(lvSection(root, origin));
    hide(lvSection(root, cow), "");
    std::ostringstream section;
    section << snapshot << " {\n id = \"" << volbridge::lvm2::genUUID() << "\"\n"
            << " status = [\"READ\", \"WRITE\", \"VISIBLE\"]\n flags = []\n"
            << " creation_time = 1796859326\n creation_host = \"test\"\n segment_count = 1\n"
            << " segment1 {\n  start_extent = 0\n  extent_count = " << extents << "\n"
            << "  type = \"snapshot\"\n  chunk_size = 8\n  origin = \"" << origin << "\"\n"
            << "  cow_store = \"" << cow << "\"\n }\n}\n";
    return appendSection(root, parser, section.str());
}

std::string hideLv(const std::string& text, const std::string& lv, const std::string& newName) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    hide(lvSection(root, lv), newName);
    return Parser::dump(root, 0);
}

std::string addSegmentLv(const std::string& text, const std::string& name, long long extents,
                         const std::string& type, const std::string& keys, bool visible) {
    Parser parser;
    Parser::NodeAutoPtr root(parser.parse(text.c_str()));
    std::ostringstream section;
    section << name << " {\n id = \"" << volbridge::lvm2::genUUID() << "\"\n"
            << " status = [\"READ\", \"WRITE\"" << (visible ? ", \"VISIBLE\"" : "") << "]\n"
            << " flags = []\n creation_time = 1796859326\n creation_host = \"test\"\n"
            << " segment_count = 1\n segment1 {\n  start_extent = 0\n  extent_count = " << extents
            << "\n  type = \"" << type << "\"\n" << keys << "\n }\n}\n";
    return appendSection(root, parser, section.str());
}

void fillFrom(const std::string& device, long long fromSector, unsigned seed) {
    FILE* f = fopen(device.c_str(), "r+b");
    ASSERT_NE(f, nullptr) << device;
    ASSERT_EQ(fseeko(f, static_cast<off_t>(fromSector) * 512, SEEK_SET), 0);
    std::vector<unsigned char> block(1 << 20);
    uint32_t x = seed * 2654435761u + 1;
    size_t written = 0;
    do {
        for (unsigned char& b : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x);
        }
        written = fwrite(block.data(), 1, block.size(), f);
    } while (written == block.size());
    fflush(f);
    fsync(fileno(f));
    fclose(f);
}

std::string hashFrom(const std::string& device, long long fromSector) {
    std::string out = shOk("dd if=" + device + " bs=512 skip=" + std::to_string(fromSector) +
                           " status=none | sha256sum");
    return out.substr(0, 64);
}

}  // namespace vbtest

// Validation of a parsed LVM2 metadata tree, and the small tree functions that discovery, clone
// import and revert share.
#pragma once

#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "linux_lvm/LVM_linux_lvm_parser.h"

namespace volbridge {
namespace lvm2 {

using Node = LVM_linux_lvm_parser::Node;

// Checks that the tree whose first top-level node is `root` describes one usable volume group:
// every PV and LV has an identifier, no name or identifier repeats, every segment has a known
// type and every reference from a segment to a PV or LV resolves. `what` names the text in
// messages. On success stores the group section, its "physical_volumes" and its
// "logical_volumes" sections through the non-null out-pointers; on failure throws YbException
// (function "crossCheckMeta", unit LVM_linux_lvm) and stores nothing. Runs in time linear in
// the size of the tree.
void crossCheckMeta(Node* root, LVM_linux_lvm_parser& parser, const std::string& what,
                    Node** vg_node = nullptr, Node** pvs_node = nullptr, Node** lvs_node = nullptr);

// LVM2 leaves "logical_volumes" out of the description of a group without LVs (and would leave
// "physical_volumes" out of one without PVs): adds the missing ones, empty, to the group section
// of the tree whose first top-level node is `root` (the first with a string "id"), so that the
// tree passes crossCheckMeta. A tree without a group section is left as it is.
void addMissingVolumeSections(Node* root);

// A metadata text, parsed and checked with crossCheckMeta, owning its tree: the group's section and
// its "physical_volumes" and "logical_volumes" sections (added empty where LVM2 leaves them out).
struct CheckedMetadata {
    LVM_linux_lvm_parser parser;
    LVM_linux_lvm_parser::NodeAutoPtr root;
    Node* vg = nullptr;
    Node* pvs = nullptr;
    Node* lvs = nullptr;

    // Parses `text` and checks it as `what` (the name crossCheckMeta gives it in its messages).
    void read(const std::string& text, const std::string& what);
};

// The LV's "status" is an array that holds the string "VISIBLE".
bool isVisibleLV(Node* lv, LVM_linux_lvm_parser& parser);

// Makes sure the LV's "status" holds "VISIBLE" (appended as its last element).
void makeVisibleLV(Node* lv, LVM_linux_lvm_parser& parser);

// For each name, front to back, removes the first child of `lvs` with that name. Consumes the
// list.
void delOrphanLVs(std::list<std::string>* names, Node* lvs, LVM_linux_lvm_parser& parser);

// The PV section names that the striped segments of the LV use, in order, repeats kept.
std::list<std::string> findPVofLV(Node* lv, LVM_linux_lvm_parser& parser);
// The same for the child of `lvs` named `lv_name`; empty when there is none.
std::list<std::string> findPVofLV(const char* lv_name, Node* lvs, LVM_linux_lvm_parser& parser);

// What each LV of a group uses. An LV uses the PVs of its own striped segments and, through every
// LV its segments name (mirror images and logs, snapshot origins and copy-on-write stores, raid
// images and their metadata LVs, pools and their data and metadata LVs, cache pools, thin and
// cache origins, VDO pools, integrity metadata), the PVs those use in turn. A segment of a type
// this library does not know is taken to use every LV and PV whose name it holds. The usage is
// read once, when the object is made: later edits of the tree do not change it.
class LvUsage {
  public:
    LvUsage(Node* pvs_node, Node* lvs_node);

    // The PV section names `lv` uses, directly or through the LVs it depends on.
    const std::set<std::string>& pvs(const std::string& lv) const { return entry(lv).pvs; }
    // The LVs the segments of `lv` name, in the order they appear, once each.
    const std::vector<std::string>& uses(const std::string& lv) const { return entry(lv).uses; }
    // The LVs whose segments name `lv`.
    const std::vector<std::string>& usedBy(const std::string& lv) const { return entry(lv).usedBy; }

  private:
    struct Entry {
        std::set<std::string> pvs;
        std::vector<std::string> uses;
        std::vector<std::string> usedBy;
    };
    const Entry& entry(const std::string& lv) const;
    std::map<std::string, Entry> entries_;
};

// The LV has a segment of a type other than "striped", "snapshot" and "mirror": a raid, thin,
// cache, writecache, VDO or integrity LV or pool, an error or zero LV, or one of a type this
// library does not know. Such an LV stands or falls with everything it uses; it is never broken
// up into a part of it.
bool isStackedLV(Node* lv);

// Renames every reference to the LV `from` in the segments of `lv` to `to`, whatever the
// segment's type.
void renameLVReferences(Node* lv, const char* from, const char* to);

// The segment types restored only with "vgcfgrestore --force": a thin pool, whose transaction id
// LVM2 cannot check against the pool's own metadata. The name of the first LV of `lvs` that has
// such a segment; empty when none has.
std::string firstThinPool(Node* lvs);

// The node is a section whose name begins with "segment".
bool isSegment(const Node* node);
// The string value of the direct child `key` of `section`, or "" when it has none.
std::string stringValue(Node* section, const char* key);
// The value of the direct child `key` of `section` as text, to compare values (strings quoted,
// each element followed by a comma); "-" when it has none.
std::string valueText(Node* section, const char* key);
// The "id" of a section, or "".
inline std::string idOf(Node* section) { return stringValue(section, "id"); }

// The LV has a segment whose "type" is the string `type`.
bool hasSegmentOfType(Node* lv, const char* type);

// The node is a segment whose "type" is the string `type`.
bool isSegmentOfType(Node* node, const char* type);

}  // namespace lvm2
}  // namespace volbridge

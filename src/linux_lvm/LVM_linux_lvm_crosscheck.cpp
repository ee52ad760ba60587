// Validation of parsed LVM2 metadata and the shared tree functions.
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "core/Text.h"
#include "host/LogWriter.h"
#include "host/YbException.h"
#include "linux_lvm/lvm2_crosscheck.h"

namespace volbridge {
namespace lvm2 {

namespace {

using Value = LVM_linux_lvm_parser::Value;
using Names = std::unordered_set<std::string_view>;

[[noreturn]] void reject(const std::string& message, int line) {
    throw YbException("crossCheckMeta", message, "LVM_linux_lvm", line, -1);
}

Node* child(Node* parent, const char* name) {
    return LVM_linux_lvm_parser::findDirectChild(parent, name);
}

bool isArray(const Node* node) { return node && node->value && node->value->is_array; }

// The names of the direct children of a section, for resolving references in one step.
Names childNames(Node* section) {
    Names names;
    for (Node* n = section ? section->child : nullptr; n; n = n->next) names.insert(n->name);
    return names;
}

}  // namespace

void addMissingVolumeSections(Node* root) {
    for (Node* vg = root; vg; vg = vg->next) {
        Node* id = child(vg, "id");
        if (!id || !id->isString()) continue;
        for (const char* name : {"logical_volumes", "physical_volumes"}) {
            if (child(vg, name)) continue;
            Node* section = LVM_linux_lvm_parser::makeNode(name);
            section->next = vg->child;
            vg->child = section;
        }
        return;
    }
}

bool isSegment(const Node* node) {
    return node && node->child && strncmp(node->name, "segment", 7) == 0;
}

std::string stringValue(Node* section, const char* key) {
    Node* node = child(section, key);
    return node && node->isString() ? node->value->str : "";
}

bool isSegmentOfType(Node* node, const char* type) {
    if (!isSegment(node)) return false;
    Node* t = child(node, "type");
    return t && *t == type;
}

void crossCheckMeta(Node* root, LVM_linux_lvm_parser& /*parser*/, const std::string& what,
                    Node** vg_node, Node** pvs_node, Node** lvs_node) {
    const std::string in = " in " + printable(what);

    Node* vg = nullptr;
    for (Node* n = root; n; n = n->next) {
        Node* id = child(n, "id");
        if (id && id->isString()) {
            vg = n;
            break;
        }
    }
    if (!vg) reject("Can't find VG node" + in, 281);

    Node* pvs = child(vg, "physical_volumes");
    if (!pvs) reject("Can't find physical volumes" + in, 285);

    Names pvNames;
    Names pvIds;
    for (Node* pv = pvs->child; pv; pv = pv->next) {
        const std::string p = printable(pv->name);
        Node* id = child(pv, "id");
        if (!id || !id->isString()) {
            reject("Can't find UUID in the description of PV [" + p + "]" + in, 291);
        }
        Node* device = child(pv, "device");
        if (!device || !device->isString()) {
            reject("Can't find device path in the description of PV [" + p + "]" + in, 295);
        }
        if (!pvNames.insert(pv->name).second) reject("Duplicate PV [" + p + "]" + in, 298);
        if (!pvIds.insert(id->value->str).second) {
            reject("Duplicate PV UUID [" + printable(id->value->str) + "]" + in, 300);
        }
    }

    Node* lvs = child(vg, "logical_volumes");
    if (!lvs) reject("Can't find logical volumes" + in, 307);

    const Names lvNames = childNames(lvs);
    Names seenLvNames;
    Names lvIds;
    for (Node* lv = lvs->child; lv; lv = lv->next) {
        const std::string l = printable(lv->name);
        Node* id = child(lv, "id");
        if (!id || !id->isString()) {
            reject("Can't find UUID in the description of LV [" + l + "]" + in, 313);
        }
        if (!isArray(child(lv, "status"))) {
            reject("Can't find status in the description of LV [" + l + "]" + in, 317);
        }
        Node* countNode = child(lv, "segment_count");
        if (!countNode || !countNode->value ||
            countNode->value->type != LVM_linux_lvm_parser::VALUE_INT) {
            reject("Can't find segment_count in the description of LV [" + l + "]" + in, 321);
        }
        const long long segmentCount = static_cast<long long>(countNode->value->int_val);

        int counted = 0;
        for (Node* seg = lv->child; seg; seg = seg->next) {
            if (!isSegment(seg)) continue;
            const std::string s = printable(seg->name);
            const std::string of = s + " of LV [" + l + "]";
            Node* type = child(seg, "type");
            if (!type || !type->isString()) reject("Can't find type of " + of + in, 329);

            if (*type == "striped") {
                Node* stripes = child(seg, "stripes");
                if (!isArray(stripes)) reject("Can't find stripes of " + of + in, 335);
                for (Value* v = stripes->value; v; v = v->next) {
                    if (v->str && !pvNames.count(v->str)) {
                        reject("One stripe of " + of + " refers to an unknown PV [" +
                                   printable(v->str) + "]" + in,
                               339);
                    }
                }
            } else if (*type == "snapshot") {
                Node* origin = child(seg, "origin");
                if (!origin || !origin->isString()) reject("Can't find origin of " + of + in, 347);
                Node* cow = child(seg, "cow_store");
                if (!cow || !cow->isString()) reject("Can't find cow_store of " + of + in, 350);
                if (!lvNames.count(origin->value->str)) {
                    reject("origin of " + of + " refers to an unknown LV [" +
                               printable(origin->value->str) + "]" + in,
                           353);
                }
                if (!lvNames.count(cow->value->str)) {
                    reject("cow_store of " + of + " refers to an unknown LV [" +
                               printable(cow->value->str) + "]" + in,
                           357);
                }
                if (segmentCount != 1) {
                    char count[32];
                    snprintf(count, sizeof count, "%lld", segmentCount);
                    reject("Snapshot LV [" + l + "] has " + count + " segments instead of 1" + in,
                           364);
                }
            } else if (*type == "mirror") {
                Node* log = child(seg, "mirror_log");
                if (log && log->isString() && !lvNames.count(log->value->str)) {
                    reject("mirror_log of " + of + " refers to an unknown LV [" +
                               printable(log->value->str) + "]" + in,
                           374);
                }
                Node* mirrors = child(seg, "mirrors");
                if (!isArray(mirrors)) reject("Can't find mirrors of " + of + in, 380);
                for (Value* v = mirrors->value; v; v = v->next) {
                    if (v->str && !lvNames.count(v->str)) {
                        reject("One mirror side of " + of + " refers to an unknown LV [" +
                                   printable(v->str) + "]" + in,
                               384);
                    }
                }
                if (segmentCount != 1) {
                    char count[32];
                    snprintf(count, sizeof count, "%lld", segmentCount);
                    reject("Mirror LV [" + l + "] has " + count + " segments instead of 1" + in,
                           391);
                }
            } else {
                reject("LV [" + l + "] has an unknown type \"" + printable(type->value->str) + "\"",
                       396);
            }
            ++counted;
        }
        if (counted != segmentCount) {
            char numbers[64];
            snprintf(numbers, sizeof numbers, "%d instead of %lld", counted, segmentCount);
            reject(
                std::string("Invalid number of segments (") + numbers + ") in LV [" + l + "]" + in,
                406);
        }
        if (!seenLvNames.insert(lv->name).second) reject("Duplicate LV [" + l + "]" + in, 411);
        if (!lvIds.insert(id->value->str).second) {
            reject("Duplicate LV UUID [" + printable(id->value->str) + "]" + in, 413);
        }
    }

    if (vg_node) *vg_node = vg;
    if (pvs_node) *pvs_node = pvs;
    if (lvs_node) *lvs_node = lvs;
}

bool isVisibleLV(Node* lv, LVM_linux_lvm_parser& /*parser*/) {
    Node* status = child(lv, "status");
    if (!isArray(status)) return false;
    for (Value* v = status->value; v; v = v->next) {
        if (v->str && strcmp(v->str, "VISIBLE") == 0) return true;
    }
    return false;
}

void makeVisibleLV(Node* lv, LVM_linux_lvm_parser& /*parser*/) {
    Node* status = child(lv, "status");
    if (!status) return;  // crossCheckMeta guarantees one
    Value** tail = &status->value;
    for (Value* v = status->value; v; v = v->next) {
        if (v->str && strcmp(v->str, "VISIBLE") == 0) return;
        tail = &v->next;
    }
    Value* first = status->value;
    if (first && first->type == LVM_linux_lvm_parser::VALUE_EMPTY_ARRAY && !first->next) {
        // "[ ]" becomes [ "VISIBLE" ]: an element after the empty marker would be written as
        // "[ , "VISIBLE" ]", which LVM2 cannot read.
        LVM_linux_lvm_parser::assign(first, "VISIBLE");
        return;
    }
    Value* visible = LVM_linux_lvm_parser::makeValue("VISIBLE");
    visible->is_array = first ? first->is_array : true;
    *tail = visible;
}

void delOrphanLVs(std::list<std::string>* names, Node* lvs, LVM_linux_lvm_parser& /*parser*/) {
    EvDebug dbg(nullptr);
    for (const std::string& name : *names) {
        if (!lvs) break;
        Node** link = &lvs->child;
        while (*link && name != (*link)->name) link = &(*link)->next;
        Node* found = *link;
        if (!found) continue;
        dbg.Debug("delOrphanLVs", "Removing orphaned LV [%s]", name.c_str());
        *link = found->next;
        found->next = nullptr;
        LVM_linux_lvm_parser::destroy(found);
    }
    names->clear();
}

std::list<std::string> findPVofLV(Node* lv, LVM_linux_lvm_parser& /*parser*/) {
    std::list<std::string> pvs;
    for (Node* seg = lv ? lv->child : nullptr; seg; seg = seg->next) {
        if (!isSegment(seg)) continue;
        Node* type = child(seg, "type");
        if (!type || !(*type == "striped")) continue;
        Node* stripes = child(seg, "stripes");
        for (Value* v = stripes ? stripes->value : nullptr; v; v = v->next) {
            if (v->str) pvs.emplace_back(v->str);
        }
    }
    return pvs;
}

std::list<std::string> findPVofLV(const char* lv_name, Node* lvs, LVM_linux_lvm_parser& parser) {
    Node* lv = child(lvs, lv_name);
    if (!lv) return {};
    return findPVofLV(lv, parser);
}

}  // namespace lvm2
}  // namespace volbridge

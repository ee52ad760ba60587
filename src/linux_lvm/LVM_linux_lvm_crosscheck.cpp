// Validation of parsed LVM2 metadata and the shared tree functions.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string_view>
#include <unordered_map>
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

// How a segment of one of the types LVM2 writes today names other LVs, with the keys LVM2's own
// text format writes for it: keys whose string value names one LV, and the key of an array of LV
// names (the raid images and their metadata LVs).
struct Reference {
    const char* key;
    bool required;
};
struct TypeRules {
    std::vector<Reference> lvKeys;
    std::vector<const char*> lvArrays;  // the first one present is read; one must be
};

// The rules for `type` (its base name, without LVM2's "+FLAG" suffixes); null for a type this
// library does not know, and for the three types checked on their own ("striped", "snapshot",
// "mirror").
const TypeRules* rulesFor(std::string_view type) {
    static const TypeRules raid{{}, {"raids"}};
    static const TypeRules raid0{{}, {"raid0_lvs", "raids"}};
    static const TypeRules thinPool{{{"metadata", true}, {"pool", true}}, {}};
    static const TypeRules thin{
        {{"thin_pool", true}, {"origin", false}, {"external_origin", false}, {"merge", false}}, {}};
    static const TypeRules cache{{{"cache_pool", true}, {"origin", true}}, {}};
    static const TypeRules writecache{{{"writecache", true}, {"origin", true}}, {}};
    static const TypeRules cachePool{{{"data", true}, {"metadata", true}}, {}};
    static const TypeRules vdo{{{"vdo_pool", true}}, {}};
    static const TypeRules vdoPool{{{"data", true}}, {}};
    static const TypeRules integrity{{{"origin", true}, {"meta_dev", false}}, {}};
    static const TypeRules none{{}, {}};

    type = type.substr(0, type.find('+'));
    auto startsWith = [&](std::string_view prefix) {
        return type.substr(0, prefix.size()) == prefix;
    };
    if (type == "raid0") return &raid0;
    if (type == "raid0_meta" || type == "raid1" || type == "raid4" || startsWith("raid5") ||
        startsWith("raid6") || startsWith("raid10")) {
        return &raid;
    }
    if (type == "thin-pool") return &thinPool;
    if (type == "thin") return &thin;
    if (type == "cache") return &cache;
    if (type == "writecache") return &writecache;
    if (type == "cache-pool") return &cachePool;
    if (type == "vdo") return &vdo;
    if (type == "vdo-pool") return &vdoPool;
    if (type == "integrity") return &integrity;
    if (type == "error" || type == "zero") return &none;
    return nullptr;
}

// Calls `use` with every string the segment holds (values of its direct children, array
// elements included): the names a segment of an unknown type may refer to.
void eachString(Node* segment, const std::function<void(const char*)>& use) {
    for (Node* entry = segment->child; entry; entry = entry->next) {
        for (Value* v = entry->value; v; v = v->next) {
            if (v->str) use(v->str);
        }
    }
}

// Checks the references of a segment whose type has rules.
void checkReferences(Node* seg, const TypeRules& rules, const Names& lvNames, const std::string& of,
                     const std::string& in) {
    for (const Reference& ref : rules.lvKeys) {
        Node* node = child(seg, ref.key);
        if (!node) {
            if (ref.required)
                reject("Can't find " + std::string(ref.key) + " of " + of + in, __LINE__);
            continue;
        }
        if (!node->isString())
            reject("Can't find " + std::string(ref.key) + " of " + of + in, __LINE__);
        if (!lvNames.count(node->value->str)) {
            reject(std::string(ref.key) + " of " + of + " refers to an unknown LV [" +
                       printable(node->value->str) + "]" + in,
                   __LINE__);
        }
    }
    if (rules.lvArrays.empty()) return;
    Node* array = nullptr;
    for (const char* key : rules.lvArrays) {
        if ((array = child(seg, key))) break;
    }
    if (!isArray(array))
        reject("Can't find " + std::string(rules.lvArrays.front()) + " of " + of + in, __LINE__);
    for (Value* v = array->value; v; v = v->next) {
        if (v->str && !lvNames.count(v->str)) {
            reject("One raid image of " + of + " refers to an unknown LV [" + printable(v->str) +
                       "]" + in,
                   __LINE__);
        }
    }
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

void CheckedMetadata::read(const std::string& text, const std::string& what) {
    root = parser.parse(text.c_str());
    addMissingVolumeSections(root);
    crossCheckMeta(root, parser, what, &vg, &pvs, &lvs);
}

bool isSegment(const Node* node) {
    return node && node->child && strncmp(node->name, "segment", 7) == 0;
}

std::string stringValue(Node* section, const char* key) {
    Node* node = child(section, key);
    return node && node->isString() ? node->value->str : "";
}

std::string valueText(Node* section, const char* key) {
    Node* node = section ? child(section, key) : nullptr;
    if (!node) return "-";
    std::string text;
    for (LVM_linux_lvm_parser::Value* v = node->value; v; v = v->next) {
        text += v->str ? "\"" + std::string(v->str) + "\"," : std::to_string(v->int_val) + ",";
    }
    return text;
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
    std::set<std::string> unknownTypes;  // each logged once
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
            } else if (const TypeRules* rules = rulesFor(type->value->str)) {
                checkReferences(seg, *rules, lvNames, of, in);
            } else if (unknownTypes.insert(type->value->str).second) {
                EvDebug(nullptr).DebugLvl(
                    "crossCheckMeta", 0,
                    "LV [%s] has the segment type \"%s\", which this library does not know: an "
                    "LV of that type is taken to use every LV and PV its segment names",
                    l.c_str(), printable(type->value->str).c_str());
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

namespace {

// Appends the string value of `key`, or every string element of its array.
void appendNames(Node* seg, const char* key, std::vector<std::string>* names) {
    Node* node = child(seg, key);
    for (Value* v = node ? node->value : nullptr; v; v = v->next) {
        if (v->str) names->emplace_back(v->str);
    }
}

}  // namespace

bool hasSegmentOfType(Node* lv, const char* type) {
    for (Node* seg = lv ? lv->child : nullptr; seg; seg = seg->next) {
        if (isSegmentOfType(seg, type)) return true;
    }
    return false;
}

bool isStackedLV(Node* lv) {
    for (Node* seg = lv ? lv->child : nullptr; seg; seg = seg->next) {
        if (!isSegment(seg)) continue;
        Node* type = child(seg, "type");
        if (type && type->isString() && !(*type == "striped") && !(*type == "snapshot") &&
            !(*type == "mirror")) {
            return true;
        }
    }
    return false;
}

void renameLVReferences(Node* lv, const char* from, const char* to) {
    auto rename = [&](Node* node) {
        for (Value* v = node ? node->value : nullptr; v; v = v->next) {
            if (v->str && strcmp(v->str, from) == 0) LVM_linux_lvm_parser::assign(v, to);
        }
    };
    for (Node* seg = lv ? lv->child : nullptr; seg; seg = seg->next) {
        if (!isSegment(seg)) continue;
        Node* type = child(seg, "type");
        if (!type || !type->isString() || *type == "striped") continue;
        if (*type == "snapshot") {
            rename(child(seg, "origin"));
            rename(child(seg, "cow_store"));
        } else if (*type == "mirror") {
            rename(child(seg, "mirror_log"));
            rename(child(seg, "mirrors"));
        } else if (const TypeRules* rules = rulesFor(type->value->str)) {
            for (const Reference& ref : rules->lvKeys) rename(child(seg, ref.key));
            for (const char* key : rules->lvArrays) rename(child(seg, key));
        } else {
            for (Node* entry = seg->child; entry; entry = entry->next) {
                if (strcmp(entry->name, "type") != 0) rename(entry);
            }
        }
    }
}

std::string firstThinPool(Node* lvs) {
    for (Node* lv = lvs ? lvs->child : nullptr; lv; lv = lv->next) {
        for (Node* seg = lv->child; seg; seg = seg->next) {
            if (!isSegment(seg)) continue;
            Node* type = child(seg, "type");
            if (type && type->isString() &&
                std::string_view(type->value->str).substr(0, 9) == "thin-pool" &&
                (type->value->str[9] == '\0' || type->value->str[9] == '+')) {
                return lv->name;
            }
        }
    }
    return "";
}

LvUsage::LvUsage(Node* pvs, Node* lvs) {
    const Names pvNames = childNames(pvs);
    const Names lvNames = childNames(lvs);
    for (Node* lv = lvs ? lvs->child : nullptr; lv; lv = lv->next) {
        Entry& entry = entries_[lv->name];
        std::vector<std::string> lvRefs;
        for (Node* seg = lv->child; seg; seg = seg->next) {
            if (!isSegment(seg)) continue;
            Node* type = child(seg, "type");
            if (!type || !type->isString()) continue;
            if (*type == "striped") {
                Node* stripes = child(seg, "stripes");
                for (Value* v = stripes ? stripes->value : nullptr; v; v = v->next) {
                    if (v->str && pvNames.count(v->str)) entry.pvs.insert(v->str);
                }
            } else if (*type == "snapshot") {
                appendNames(seg, "origin", &lvRefs);
                appendNames(seg, "cow_store", &lvRefs);
            } else if (*type == "mirror") {
                appendNames(seg, "mirror_log", &lvRefs);
                appendNames(seg, "mirrors", &lvRefs);
            } else if (const TypeRules* rules = rulesFor(type->value->str)) {
                for (const Reference& ref : rules->lvKeys) appendNames(seg, ref.key, &lvRefs);
                for (const char* key : rules->lvArrays) appendNames(seg, key, &lvRefs);
            } else {
                eachString(seg, [&](const char* name) {
                    if (lvNames.count(name)) lvRefs.emplace_back(name);
                    if (pvNames.count(name)) entry.pvs.insert(name);
                });
            }
        }
        for (std::string& ref : lvRefs) {
            if (!lvNames.count(ref) || ref == lv->name) continue;
            if (std::find(entry.uses.begin(), entry.uses.end(), ref) == entry.uses.end()) {
                entry.uses.push_back(std::move(ref));
            }
        }
    }
    for (auto& item : entries_) {
        for (const std::string& used : item.second.uses)
            entries_[used].usedBy.push_back(item.first);
    }
    // Transitive PVs, depth first with a stack of its own (a crafted chain of LVs must not
    // exhaust the call stack); a cycle, which LVM2 never writes, ends where it closes.
    enum class Mark { None, Open, Done };
    std::unordered_map<const Entry*, Mark> marks;
    for (auto& item : entries_) {
        if (marks[&item.second] != Mark::None) continue;
        std::vector<std::pair<Entry*, size_t>> stack{{&item.second, 0}};
        marks[&item.second] = Mark::Open;
        while (!stack.empty()) {
            Entry* entry = stack.back().first;
            size_t& next = stack.back().second;
            if (next < entry->uses.size()) {
                Entry* used = &entries_[entry->uses[next++]];
                Mark& mark = marks[used];
                if (mark == Mark::None) {
                    mark = Mark::Open;
                    stack.emplace_back(used, 0);
                }
                continue;
            }
            for (const std::string& name : entry->uses) {
                const Entry& used = entries_[name];
                entry->pvs.insert(used.pvs.begin(), used.pvs.end());
            }
            marks[entry] = Mark::Done;
            stack.pop_back();
        }
    }
}

const LvUsage::Entry& LvUsage::entry(const std::string& lv) const {
    static const Entry empty;
    auto found = entries_.find(lv);
    return found == entries_.end() ? empty : found->second;
}

}  // namespace lvm2
}  // namespace volbridge

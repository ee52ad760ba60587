// The steps shared by clone import and in-place revert.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/Text.h"
#include "linux_lvm/lvm2_command.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_import_state.h"
#include "linux_lvm/lvm2_restore.h"

namespace volbridge {
namespace lvm2 {

namespace {

using Parser = LVM_linux_lvm_parser;

}  // namespace

std::string lvmNameProblem(const std::string& name, size_t longest) {
    if (name.empty()) return "it is empty";
    if (name[0] == '-') return "it starts with \"-\"";
    if (name == "." || name == "..") return "it is \".\" or \"..\"";
    for (unsigned char c : name) {
        if (!isalnum(c) && !strchr("+_.-", c)) {
            return "it holds characters other than letters, digits and \"+_.-\"";
        }
    }
    if (name.size() > longest) {
        return "it is longer than the " + std::to_string(longest) + " characters LVM2 allows";
    }
    return "";
}

std::string new2old(const std::map<std::string, std::string>& old2new_uuid_map,
                    const std::string& current_uuid) {
    for (const auto& entry : old2new_uuid_map) {
        if (entry.second == current_uuid) return entry.first;
    }
    return std::string();
}

std::string escapeFilterRegex(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        if (strchr(".+*?[](){}|^$\\", c)) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string deviceFilterOption(const std::list<std::string>& devices) {
    std::string option = "--config 'devices/filter=[";
    for (const std::string& device : devices) {
        option += "\"a|^" + escapeFilterRegex(device) + "$|\",";
    }
    option += "\"r|.|\"] devices/use_devicesfile=0'";
    return option;
}

std::string& metadataTempDirectory() {
    static std::string directory = "/tmp";
    return directory;
}

// ---- checks before anything changes ----

bool sameDevice(const struct stat& a, const struct stat& b) {
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void requireDistinctDevices(const Origin& at, const std::list<std::string>& devices) {
    struct Seen {
        std::string path;
        struct stat st;
    };
    std::vector<Seen> seen;
    for (const std::string& device : devices) {
        Seen now{device, {}};
        if (stat(device.c_str(), &now.st) != 0) {
            at.fail("Can't stat PV device " + device + ": " + strerror(errno));
        }
        for (const Seen& earlier : seen) {
            if (sameDevice(now.st, earlier.st)) {
                at.fail("PV device " + device + " is given twice" +
                        (device == earlier.path ? "" : " (also as " + earlier.path + ")"));
            }
        }
        seen.push_back(now);
    }
}

std::vector<PassedPV> readPassedPVs(const std::list<std::string>& devices) {
    std::vector<PassedPV> passed;
    for (const std::string& device : devices) {
        PassedPV pv;
        pv.device = device;
        pv.current = getPVUUID(device);
        passed.push_back(pv);
    }
    return passed;
}

void findOrigins(const Operation& op, ImportKind kind, std::vector<PassedPV>& passed,
                 const std::map<std::string, std::string>& old2new_uuid_map,
                 const ImportState& state, const std::string& vg_id) {
    for (PassedPV& pv : passed) {
        pv.orig = new2old(old2new_uuid_map, pv.current);
        if (!pv.orig.empty()) continue;
        // An earlier run gave this copy its identity and was stopped before its caller had the
        // map.
        pv.orig = state.recordedOrigin(vg_id, pv.current);
        pv.journaled = !pv.orig.empty();
        if (pv.journaled) {
            op.log(logLevel(kind),
                   "%s carries UUID %s, given to the copy of PV %s by an earlier run that did not "
                   "finish",
                   pv.device.c_str(), pv.current.c_str(), pv.orig.c_str());
        }
    }
}

std::string unknownUuidMessage(const std::string& uuid, const std::string& why) {
    return "Can't find UUID " + printable(uuid) + " in the supplied UUID map" +
           (why.empty() ? "" : ": " + why);
}

Node* findPVSection(Node* pvs, const std::string& id) {
    for (Node* pv = pvs ? pvs->child : nullptr; pv; pv = pv->next) {
        if (idOf(pv) == id) return pv;
    }
    return nullptr;
}

void requireOneDevicePerPV(const Origin& at, const std::vector<PassedPV>& passed) {
    for (size_t i = 0; i < passed.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (passed[i].orig == passed[j].orig) {
                at.fail("PV devices " + passed[j].device + " and " + passed[i].device +
                        " both carry a copy of PV " + printable(passed[i].orig));
            }
        }
    }
}

void requireLvmNames(const Origin& at, const std::string& vg_name, Node* lvs) {
    const size_t longest =
        vg_name.size() < kMaxGroupAndLvNameLength ? kMaxGroupAndLvNameLength - vg_name.size() : 0;
    for (Node* lv = lvs ? lvs->child : nullptr; lv; lv = lv->next) {
        const std::string problem = lvmNameProblem(lv->name, longest);
        if (!problem.empty()) {
            at.fail("LV [" + printable(lv->name) + "] would have a name that LVM2 refuses in VG [" +
                    printable(vg_name) + "]: " + problem);
        }
    }
}

// ---- pruning a tree ----

std::vector<RemovedSection> removePVsNotIn(Node* pvs, const std::set<std::string>& keep) {
    std::vector<RemovedSection> removed;
    for (Node* pv = pvs->child; pv;) {
        Node* next = pv->next;
        if (!keep.count(pv->name)) {
            removed.push_back(RemovedSection{pv->name, idOf(pv), stringValue(pv, "device"), false});
            removeChild(pvs, pv);
        }
        pv = next;
    }
    return removed;
}

Placement placementOn(Node* lv, const std::set<std::string>& pv_names) {
    Placement placement = Placement::NoStripes;
    for (Node* seg = lv->child; seg; seg = seg->next) {
        if (!isSegmentOfType(seg, "striped")) continue;
        placement = Placement::Wholly;
        Node* stripes = Parser::findDirectChild(seg, "stripes");
        for (auto* v = stripes ? stripes->value : nullptr; v; v = v->next) {
            if (v->str && !pv_names.count(v->str)) return Placement::Partly;
        }
    }
    return placement;
}

LVsOnPVs keepLVsWhollyOn(Node* lvs, const std::set<std::string>& pv_names,
                         LVM_linux_lvm_parser& parser) {
    LVsOnPVs result;
    for (Node* lv = lvs->child; lv;) {
        Node* next = lv->next;
        switch (placementOn(lv, pv_names)) {
            case Placement::NoStripes:
                break;
            case Placement::Wholly:
                result.kept.push_back(StripedLV{lv, findPVofLV(lv, parser)});
                break;
            case Placement::Partly:
                result.removed.push_back(
                    RemovedSection{lv->name, idOf(lv), "", isVisibleLV(lv, parser)});
                removeChild(lvs, lv);
                break;
        }
        lv = next;
    }
    return result;
}

std::string thinPoolOption(const Operation& op, ImportKind kind, Node* lvs,
                           const std::string& vg_name) {
    const std::string pool = firstThinPool(lvs);
    if (pool.empty()) return "";
    op.log(logLevel(kind),
           "VG [%s] holds the thin pool [%s], which LVM2 restores only with --force: it cannot "
           "check the pool's transaction id. The metadata restored is the one captured with the "
           "pool; it must come from the same moment as the snapshot of the pool's disks.",
           vg_name.c_str(), pool.c_str());
    return " --force";
}

std::vector<DroppedLV> removeStackedLVsNotWhollyOn(Node* lvs, const LvUsage& usage,
                                                   const std::set<std::string>& pv_names,
                                                   LVM_linux_lvm_parser& parser) {
    std::vector<DroppedLV> dropped;
    std::set<std::string> names;
    for (Node* lv = lvs->child; lv; lv = lv->next) {
        if (!isStackedLV(lv)) continue;
        for (const std::string& pv : usage.pvs(lv->name)) {
            if (pv_names.count(pv)) continue;
            dropped.push_back(DroppedLV{RemovedSection{lv->name, idOf(lv), "", false}, pv, ""});
            names.insert(lv->name);
            break;
        }
    }
    // The hidden parts of what goes, unless a remaining LV uses them too.
    for (size_t i = 0; i < dropped.size(); ++i) {
        const std::string owner = dropped[i].section.name;
        for (const std::string& used : usage.uses(owner)) {
            Node* part = Parser::findDirectChild(lvs, used.c_str());
            if (names.count(used) || !part || isVisibleLV(part, parser)) continue;
            bool stillUsed = false;
            for (const std::string& user : usage.usedBy(used)) {
                stillUsed = stillUsed || (!names.count(user) &&
                                          Parser::findDirectChild(lvs, user.c_str()) != nullptr);
            }
            if (stillUsed) continue;
            dropped.push_back(DroppedLV{RemovedSection{used, idOf(part), "", false}, "", owner});
            names.insert(used);
        }
    }
    for (DroppedLV& lv : dropped) {
        Node* node = Parser::findDirectChild(lvs, lv.section.name.c_str());
        lv.section.visible = isVisibleLV(node, parser);
        removeChild(lvs, node);
    }
    return dropped;
}

std::vector<RemovedSection> removeBrokenSnapshots(Node* lvs, std::list<std::string>* orphans) {
    std::vector<RemovedSection> removed;
    for (Node* lv = lvs->child; lv;) {
        Node* next = lv->next;
        SnapshotVerdict verdict = evaluateSnapshot(lv, lvs);
        if (verdict.isSnapshot && !verdict.complete) {
            removed.push_back(RemovedSection{lv->name, idOf(lv), "", true});
            if (!verdict.cow.empty()) orphans->push_back(verdict.cow);
            removeChild(lvs, lv);
        }
        lv = next;
    }
    return removed;
}

MirrorVerdict evaluateMirror(Node* lv, Node* lvs) {
    MirrorVerdict verdict;
    for (Node* seg = lv->child; seg; seg = seg->next) {
        if (!isSegmentOfType(seg, "mirror")) continue;
        verdict.isMirror = true;
        verdict.complete = true;
        Node* log = Parser::findDirectChild(seg, "mirror_log");
        if (log && log->isString()) {
            verdict.components.emplace_back(log->value->str);
            verdict.complete = Parser::findDirectChild(lvs, log->value->str);
        }
        Node* mirrors = Parser::findDirectChild(seg, "mirrors");
        for (auto* v = mirrors ? mirrors->value : nullptr; v; v = v->next) {
            if (!v->str) continue;
            verdict.components.emplace_back(v->str);
            if (Parser::findDirectChild(lvs, v->str)) {
                verdict.survivor = v->str;
            } else {
                verdict.complete = false;
            }
        }
    }
    return verdict;
}

void breakMirror(Node* lvs, const std::string& mirror, const std::string& survivor,
                 LVM_linux_lvm_parser& parser) {
    Node* side = Parser::findDirectChild(lvs, survivor.c_str());
    Parser::rename(side, mirror.c_str());
    makeVisibleLV(side, parser);
}

std::vector<MirrorOutcome> settleMirrors(Node* lvs, LVM_linux_lvm_parser& parser,
                                         std::list<std::string>* orphans) {
    std::vector<MirrorOutcome> outcomes;
    for (Node* lv = lvs->child; lv;) {
        Node* next = lv->next;
        MirrorVerdict verdict = evaluateMirror(lv, lvs);
        if (!verdict.isMirror) {
            lv = next;
            continue;
        }
        MirrorOutcome outcome{MirrorOutcome::Kind::Kept, lv->name, idOf(lv), "",
                              verdict.components};
        if (verdict.survivor.empty()) {
            outcome.kind = MirrorOutcome::Kind::Removed;
            orphans->insert(orphans->end(), verdict.components.begin(), verdict.components.end());
            removeChild(lvs, lv);
        } else if (!verdict.complete) {
            outcome.kind = MirrorOutcome::Kind::Broken;
            outcome.survivor = verdict.survivor;
            for (const std::string& component : verdict.components) {
                if (component != verdict.survivor) orphans->push_back(component);
            }
            // The mirror's section goes first: the side is to bear its name.
            removeChild(lvs, lv);
            breakMirror(lvs, outcome.name, outcome.survivor, parser);
        }
        outcomes.push_back(outcome);
        lv = next;
    }
    return outcomes;
}

SnapshotVerdict evaluateSnapshot(Node* lv, Node* lvs) {
    SnapshotVerdict verdict;
    for (Node* seg = lv->child; seg; seg = seg->next) {
        if (!isSegmentOfType(seg, "snapshot")) continue;
        Node* origin = Parser::findDirectChild(seg, "origin");
        Node* cow = Parser::findDirectChild(seg, "cow_store");
        verdict.isSnapshot = true;
        verdict.cow = cow && cow->isString() ? cow->value->str : "";
        verdict.complete = origin && origin->isString() &&
                           Parser::findDirectChild(lvs, origin->value->str) != nullptr &&
                           !verdict.cow.empty() &&
                           Parser::findDirectChild(lvs, verdict.cow.c_str()) != nullptr;
        if (!verdict.complete) break;
    }
    return verdict;
}

bool unlinkChild(Node* parent, Node* node) {
    for (Node** link = &parent->child; *link; link = &(*link)->next) {
        if (*link == node) {
            *link = node->next;
            node->next = nullptr;
            return true;
        }
    }
    return false;
}

void removeChild(Node* parent, Node* node) {
    if (unlinkChild(parent, node)) Parser::destroy(node);
}

void prependChild(Node* parent, Node* node) {
    node->next = parent->child;
    parent->child = node;
}

// ---- the commands ----

CommandLine layoutPreservingPvcreate(const Origin& at, const std::string& filter_option,
                                     const std::string& new_uuid, const std::string& restore_file,
                                     const std::string& device) {
    CommandLine cmd(at, "pvcreate ");
    // The filter option is built from device paths that were checked already.
    if (!filter_option.empty()) cmd.literal(filter_option + " ");
    cmd.literal("-ffy --uuid")
        .word(new_uuid, "the new PV identifier")
        .literal(" --restorefile")
        .word(restore_file, "the metadata file")
        .word(device, "the PV device path");
    return cmd;
}

std::function<void()> leftForTheRerun(const Operation& op, ImportKind kind) {
    const std::string why = kind == ImportKind::CloneImport
                                ? "it stays; running the same import again finishes the work"
                                : "it stays; running the same revert again finishes the work";
    return [&op, why] { op.fail(why); };
}

void reinitializePV(Operation& op, ImportKind kind, const PassedPV& pv,
                    const std::string& filter_option, const std::string& restore_file,
                    ImportState& state, const std::string& vg_id,
                    std::map<std::string, std::string>& old2new_uuid_map) {
    if (kind == ImportKind::CloneImport) {
        op.log(0, "Initializing %s (current UUID %s, backup UUID %s) with new random UUID...",
               pv.device.c_str(), pv.current.c_str(), pv.orig.c_str());
    } else {
        op.log(2, "Initializing %s (%s) with new random UUID...", pv.device.c_str(),
               pv.current.c_str());
    }
    // Before the disk changes: a run stopped from here on is finished by running it again.
    state.record(vg_id, pv.orig, pv.fresh, pv.device);
    const CommandLine cmd =
        layoutPreservingPvcreate(op.origin(), filter_option, pv.fresh, restore_file, pv.device);
    CommandResult created = op.run(cmd);
    if (!op.succeeded(created)) {
        op.log(0, "'%s' exited with status %d", cmd.text().c_str(), created.status);
        // So that a retry can still map the device to its PV, whatever it carries now.
        const std::string now = getPVUUID(pv.device);
        old2new_uuid_map[pv.orig] = now;
        if (now != pv.fresh) state.forget(vg_id, pv.fresh);
        op.fail("Failed to re-initialize PV " + pv.device + ": " + lvmFailureCause(created.err));
    }
    op.changed("the re-initialisation of " + pv.device + " as PV " + pv.fresh,
               leftForTheRerun(op, kind));
    const std::string now = getPVUUID(pv.device);
    old2new_uuid_map[pv.orig] = now;
    if (now != pv.fresh) {
        op.fail("PV device " + pv.device + " carries UUID " + printable(now) +
                " after its re-initialization, not " + pv.fresh);
    }
    if (kind == ImportKind::CloneImport) {
        op.log(0, "PV [%s]: Name=[%s], Old UUID=[%s], New UUID=[%s]", pv.device.c_str(),
               pv.section->name, pv.orig.c_str(), now.c_str());
    } else {
        op.log(2, "New UUID of %s is %s", pv.device.c_str(), now.c_str());
    }
}

void restoreMetadata(const Operation& op, const std::string& options, const std::string& file,
                     const std::string& vg_name) {
    mustRunLvm(op,
               op.command("vgcfgrestore ")
                   .literal(options + " -f")
                   .word(file, "the metadata file")
                   .word(vg_name, "the VG name"),
               "Failed to update metadata for VG group [" + vg_name + "]");
}

}  // namespace lvm2
}  // namespace volbridge

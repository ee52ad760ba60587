// In-place revert: the backup-time description of the rolled-back PVs and of the LVs wholly on
// them is merged into the live group's metadata and written back.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/ShellWord.h"
#include "core/TempFile.h"
#include "host/HostSeams.h"
#include "host/LogWriter.h"
#include "host/WmSleep.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_discovery.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_restore.h"
#include "linux_lvm/lvm2_revert.h"

namespace volbridge {
namespace lvm2 {

namespace {

using Parser = LVM_linux_lvm_parser;

// Unlinks `node` from the children of `parent` without destroying it.
void unlinkChild(Node* parent, Node* node) {
    for (Node** link = &parent->child; *link; link = &(*link)->next) {
        if (*link == node) {
            *link = node->next;
            node->next = nullptr;
            return;
        }
    }
}

void prependChild(Node* parent, Node* node) {
    node->next = parent->child;
    parent->child = node;
}

}  // namespace

std::string findUniquePVName(const std::string& name, Node* pv_section,
                             LVM_linux_lvm_parser& /*parser*/) {
    auto taken = [&](const std::string& candidate) {
        return Parser::findDirectChild(pv_section, candidate.c_str()) != nullptr;
    };
    if (!taken(name)) return name;
    for (unsigned n = 0;; ++n) {
        std::string candidate = "pv" + std::to_string(n);
        if (!taken(candidate)) return candidate;
    }
}

void shoveLV(const char* vg_name, const char* lv_name, const char* lv_uuid, Node* lv_section,
             LVM_linux_lvm_parser& /*parser*/, std::list<std::string>* to_activate) {
    const char* const func = "LVM_linux_lvm::shoveLVs";
    const Origin here{func, unit::kLinuxLvm};
    const std::string device = std::string("/dev/") + vg_name + "/" + lv_name;

    std::string newName;
    for (unsigned n = 1;; ++n) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, "_conflict_%03u", n);
        newName = std::string(lv_name) + suffix;
        if (!Parser::findDirectChild(lv_section, newName.c_str())) break;
    }
    if (newName.size() > kMaxLvmNameLength) {
        here.fail("LV [" + std::string(lv_name) + "] is in the way, but its new name [" + newName +
                  "] would be longer than the " + std::to_string(kMaxLvmNameLength) +
                  " characters LVM2 allows");
    }

    // Only an LV of that name in the live group can be in the way: a device node left behind
    // by one that is gone does not make it active.
    struct stat st;
    const bool active =
        Parser::findDirectChild(lv_section, lv_name) != nullptr && stat(device.c_str(), &st) == 0;
    if (active) {
        CommandResult r = run(CommandLine(here, "lvchange -an").word(device, "the LV device path"));
        if (!r.succeeded()) {
            here.fail("LV [" + std::string(lv_name) +
                      "] is in the way, but I can't deactivate it: " + r.err);
        }
    }

    const std::string newId = genUUID();
    for (Node* lv = lv_section->child; lv; lv = lv->next) {
        if (strcmp(lv->name, lv_name) == 0) Parser::rename(lv, newName.c_str());
        for (Node* child = lv->child; child; child = child->next) {
            if (lv_uuid && strcmp(child->name, "id") == 0 && *child == lv_uuid) {
                Parser::assign(child, newId.c_str());
            }
            if (!isSegment(child)) continue;
            Node* type = Parser::findDirectChild(child, "type");
            if (type && *type == "snapshot") {
                for (const char* key : {"origin", "cow_store"}) {
                    Node* ref = Parser::findDirectChild(child, key);
                    if (ref && *ref == lv_name) Parser::assign(ref, newName.c_str());
                }
            } else if (type && *type == "mirror") {
                Node* log = Parser::findDirectChild(child, "mirror_log");
                if (log && *log == lv_name) Parser::assign(log, newName.c_str());
                Node* mirrors = Parser::findDirectChild(child, "mirrors");
                for (auto* v = mirrors ? mirrors->value : nullptr; v; v = v->next) {
                    if (v->str && strcmp(v->str, lv_name) == 0) Parser::assign(v, newName.c_str());
                }
            }
        }
    }
    if (active) to_activate->push_back(newName);
}

}  // namespace lvm2
}  // namespace volbridge

LVM::VG LVM_linux_lvm::revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                                 std::map<std::string, std::string>& old2new_uuid_map) {
    using namespace volbridge::lvm2;
    using Parser = LVM_linux_lvm_parser;
    using volbridge::CommandLine;
    using volbridge::CommandResult;
    const char* const func = "LVM_linux_lvm::revertLVs";
    const volbridge::Origin here{func, volbridge::unit::kLinuxLvm};
    auto fail = [&here](const std::string& message, int line) { here.fail(message, line); };
    EvDebug dbg(nullptr);

    for (const std::string& device : pv_dev_list) {
        volbridge::requireShellWord(device, "the PV device path", here.func, here.unit, __LINE__);
    }

    // 1. The backup-time description.
    dbg.Debug(func, "Parsing supplied snap LVM metadata...");
    Parser snapParser;
    Parser::NodeAutoPtr snapRoot(snapParser.parse(metadata ? metadata : ""));
    Node *snapVg = nullptr, *snapPvs = nullptr, *snapLvs = nullptr;
    crossCheckMeta(snapRoot, snapParser, "snap metadata", &snapVg, &snapPvs, &snapLvs);
    const std::string vg_name = snapVg->name;
    volbridge::requireShellWord(vg_name, "the VG name", here.func, here.unit, __LINE__);
    dbg.Debug(func, "Found description of VG [%s] in passed metadata", vg_name.c_str());
    dbg.Debug(func, "Parsing live metadata of VG [%s]", vg_name.c_str());

    // 2. The live description; when it cannot be read (every disk of the group was rolled
    // back), the group starts from the backup-time description without PVs and LVs.
    Parser liveParser;
    Parser::NodeAutoPtr liveRoot;
    try {
        std::string live = readVGMetadata(vg_name.c_str());
        liveRoot = liveParser.parse(live.c_str());
    } catch (const YbException& e) {
        dbg.Error(e.getFuncName().c_str(), "%s", e.getMessage().c_str());
        liveRoot = liveParser.parse(metadata ? metadata : "");
        Parser::destroyChildren(Parser::find(liveRoot, "physical_volumes", false));
        Parser::destroyChildren(Parser::find(liveRoot, "logical_volumes", false));
    }

    // 3.
    Node* liveVg = nullptr;
    for (Node* n = liveRoot; n; n = n->next) {
        Node* id = Parser::findDirectChild(n, "id");
        if (id && id->isString()) {
            liveVg = n;
            break;
        }
    }
    if (!liveVg) fail("Can't find VG node in live metadata", __LINE__);
    Node* livePvs = Parser::findDirectChild(liveVg, "physical_volumes");
    if (!livePvs) {
        livePvs = Parser::makeNode("physical_volumes");
        prependChild(liveVg, livePvs);
    }
    Node* liveLvs = Parser::findDirectChild(liveVg, "logical_volumes");
    if (!liveLvs) {
        liveLvs = Parser::makeNode("logical_volumes");
        prependChild(liveVg, liveLvs);
    }
    crossCheckMeta(liveRoot, liveParser, "live metadata");

    // 4. Which backup-time PV each passed device is.
    dbg.Debug(func, "Collecting information from passed PVs");
    std::map<std::string, std::string> old_to_current, old_to_device, device_to_old, pv_names;
    for (const std::string& device : pv_dev_list) {
        const std::string current = getPVUUID(device);
        const std::string old = new2old(old2new_uuid_map, current);
        if (old.empty()) fail("Can't find UUID " + current + " in the supplied UUID map", __LINE__);
        if (current != old) {
            dbg.Debug(func, "%s has current UUID %s (was %s at backup time)", device.c_str(),
                      current.c_str(), old.c_str());
        } else {
            dbg.Debug(func, "%s has UUID %s", device.c_str(), current.c_str());
        }
        Node* snapPv = nullptr;
        for (Node* pv = snapPvs->child; pv; pv = pv->next) {
            if (idOf(pv) == old) {
                snapPv = pv;
                break;
            }
        }
        if (!snapPv) fail("Can't find PV with UUID " + old + " in snap metadata", __LINE__);
        pv_names[snapPv->name] = snapPv->name;
        old_to_current[old] = current;
        old_to_device[old] = device;
        device_to_old[device] = old;
    }

    // 5. The live PVs that are the passed disks go. They are recognised by identifier, or by
    // section name when the section's device is a passed device too: LVM2 numbers PV sections
    // afresh whenever it writes metadata, so after a PV left the group a live section may bear
    // the name that a different disk had at backup time.
    std::set<std::string> passedIds;
    for (const auto& entry : old_to_current) {
        passedIds.insert(entry.first);
        passedIds.insert(entry.second);
    }
    if (livePvs->child) dbg.Debug(func, "Pruning physical_volumes in live VG metadata");
    for (Node* pv = livePvs->child; pv;) {
        Node* next = pv->next;
        const std::string id = idOf(pv);
        const std::string device = stringValue(pv, "device");
        if (passedIds.count(id) || (pv_names.count(pv->name) && matchDev(device, pv_dev_list))) {
            dbg.Debug(func, "Removing PV name=[%s], id=[%s], device=[%s] from live VG metadata",
                      pv->name, id.c_str(), device.c_str());
            removeChild(livePvs, pv);
        }
        pv = next;
    }

    // 6. Live LVs on the passed disks go.
    if (liveLvs->child) dbg.Debug(func, "Pruning logical_volumes in live VG metadata");
    for (Node* lv = liveLvs->child; lv;) {
        Node* next = lv->next;
        bool onPassed = false;
        for (const std::string& pv : findPVofLV(lv, liveParser)) {
            if (!Parser::findDirectChild(livePvs, pv.c_str())) onPassed = true;
        }
        if (onPassed) {
            dbg.Debug(func,
                      "LV [%s] in live VG resides on one of the passed PVs and will be removed.",
                      lv->name);
            if (isVisibleLV(lv, liveParser)) {
                const std::string mapping =
                    doubleDashes(vg_name.c_str()) + "-" + doubleDashes(lv->name);
                CommandLine cmd(here, "dmsetup remove");
                cmd.word(mapping, "the device-mapper name");
                CommandResult r = volbridge::run(cmd);
                if (!r.succeeded()) {
                    dbg.Debug(func, "Command [%s] failed with stdout=[%s], stderr=[%s]",
                              cmd.text().c_str(), r.out.c_str(), r.err.c_str());
                }
            }
            removeChild(liveLvs, lv);
        }
        lv = next;
    }

    // 7. Live snapshots whose origin or copy-on-write LV went.
    std::list<std::string> orphans;
    for (Node* lv = liveLvs->child; lv;) {
        Node* next = lv->next;
        SnapshotVerdict verdict = evaluateSnapshot(lv, liveLvs);
        if (verdict.isSnapshot && !verdict.complete) {
            dbg.Debug(func,
                      "LVM Snap [%s], UUID [%s] in live VG references one of removed LVs and will "
                      "be removed as well.",
                      lv->name, idOf(lv).c_str());
            orphans.push_back(verdict.cow);
            removeChild(liveLvs, lv);
        }
        lv = next;
    }

    // 8. Live mirrors that lost a side or their log.
    for (Node* lv = liveLvs->child; lv;) {
        Node* next = lv->next;
        MirrorVerdict verdict = evaluateMirror(lv, liveLvs);
        if (verdict.isMirror && !verdict.complete) {
            const std::string name = lv->name;
            if (verdict.survivor.empty()) {
                dbg.Debug(func, "Removing Mirror [%s], UUID=[%s] from live metadata", name.c_str(),
                          idOf(lv).c_str());
                orphans.insert(orphans.end(), verdict.components.begin(), verdict.components.end());
            } else {
                dbg.Debug(func, "Breaking Mirror [%s], UUID=[%s]", name.c_str(), idOf(lv).c_str());
                for (const std::string& c : verdict.components) {
                    if (c != verdict.survivor) orphans.push_back(c);
                }
                Node* side = Parser::findDirectChild(liveLvs, verdict.survivor.c_str());
                Parser::rename(side, name.c_str());
                makeVisibleLV(side, liveParser);
            }
            removeChild(liveLvs, lv);
        }
        lv = next;
    }

    // 9.
    delOrphanLVs(&orphans, liveLvs, liveParser);

    // 10. The passed PVs get new identifiers, keeping their backup-time data layout (the
    // temporary file holds the backup-time description, in which the PV bears its new id).
    volbridge::TempFile tmp(here, metadataTempDirectory(), kMetadataTempPrefix);
    for (const std::string& device : pv_dev_list) {
        const std::string old = device_to_old[device];
        dbg.Debug(func, "Initializing %s (%s) with new random UUID...", device.c_str(),
                  old_to_current[old].c_str());
        const std::string fresh = genUUID();
        Node* snapPv = nullptr;
        for (Node* pv = snapPvs->child; pv; pv = pv->next) {
            if (idOf(pv) == old) snapPv = pv;
        }
        Node* id = Parser::findDirectChild(snapPv, "id");
        Parser::assign(id, fresh.c_str());
        tmp.write(Parser::dump(snapRoot, 0));
        Parser::assign(id, old.c_str());
        CommandResult created =
            volbridge::run(layoutPreservingPvcreate(here, "", fresh, tmp.path(), device));
        if (!created.succeeded()) {
            fail("Failed to re-initialize PV " + device + ": " + created.err, __LINE__);
        }
        const std::string now = getPVUUID(device);
        dbg.Debug(func, "New UUID of %s is %s", device.c_str(), now.c_str());
        old_to_current[old] = now;
        old2new_uuid_map[old] = now;
    }

    // 11. The passed PVs' descriptions move from the snap tree to the live one.
    for (Node* pv = snapPvs->child; pv;) {
        Node* next = pv->next;
        const std::string old = idOf(pv);
        auto current = old_to_current.find(old);
        if (current != old_to_current.end()) {
            const std::string name = pv->name;
            dbg.Debug(func,
                      "Transferring description of PV [%s], UUID=[%s] from snap to live metadata",
                      name.c_str(), old.c_str());
            if (current->second != old) {
                dbg.Debug(func, "Changing transferred node UUID to [%s]", current->second.c_str());
                Parser::assign(Parser::findDirectChild(pv, "id"), current->second.c_str());
            }
            const std::string unique = findUniquePVName(name, livePvs, liveParser);
            if (unique != name) {
                dbg.Debug(func, "Changing transferred node name to [%s]", unique.c_str());
                Parser::rename(pv, unique.c_str());
                pv_names[name] = unique;
            }
            Parser::assign(Parser::findDirectChild(pv, "device"), old_to_device[old].c_str());
            unlinkChild(snapPvs, pv);
            prependChild(livePvs, pv);
        }
        pv = next;
    }

    // 12. LVs whose stripes all lie on passed PVs.
    std::list<std::string> to_activate;
    for (Node* lv = snapLvs->child; lv;) {
        Node* next = lv->next;
        bool striped = false;
        bool wholly = true;
        for (Node* seg = lv->child; seg && wholly; seg = seg->next) {
            if (!isSegmentOfType(seg, "striped")) continue;
            striped = true;
            Node* stripes = Parser::findDirectChild(seg, "stripes");
            for (auto* v = stripes ? stripes->value : nullptr; v && wholly; v = v->next) {
                if (v->str && !pv_names.count(v->str)) wholly = false;
            }
        }
        if (striped && wholly) {
            const std::string name = lv->name;
            const std::string id = idOf(lv);
            dbg.Debug(func,
                      "Transferring description of LV [%s], UUID=[%s] from snap to live metadata",
                      name.c_str(), id.c_str());
            shoveLV(vg_name.c_str(), name.c_str(), id.c_str(), liveLvs, liveParser, &to_activate);
            unlinkChild(snapLvs, lv);
            prependChild(liveLvs, lv);
            if (isVisibleLV(lv, liveParser)) to_activate.push_back(name);
            for (Node* seg = lv->child; seg; seg = seg->next) {
                if (!isSegmentOfType(seg, "striped")) continue;
                Node* stripes = Parser::findDirectChild(seg, "stripes");
                for (auto* v = stripes ? stripes->value : nullptr; v; v = v->next) {
                    if (v->str) Parser::assign(v, pv_names[v->str].c_str());
                }
            }
        }
        lv = next;
    }

    // 13. Snapshots whose origin and copy-on-write LV both came over.
    for (Node* lv = snapLvs->child; lv;) {
        Node* next = lv->next;
        SnapshotVerdict verdict = evaluateSnapshot(lv, liveLvs);
        if (verdict.isSnapshot && verdict.complete) {
            const std::string name = lv->name;
            const std::string id = idOf(lv);
            dbg.Debug(func,
                      "Transferring description of LVM Snap [%s], UUID=[%s] from snap to live "
                      "metadata",
                      name.c_str(), id.c_str());
            shoveLV(vg_name.c_str(), name.c_str(), id.c_str(), liveLvs, liveParser, &to_activate);
            unlinkChild(snapLvs, lv);
            prependChild(liveLvs, lv);
        } else if (!verdict.cow.empty()) {
            // A copy-on-write LV brought over without its snapshot goes again.
            orphans.push_back(verdict.cow);
        }
        lv = next;
    }

    // 14. Mirrors whose images came over: whole, or as their last present side.
    for (Node* lv = snapLvs->child; lv;) {
        Node* next = lv->next;
        MirrorVerdict verdict = evaluateMirror(lv, liveLvs);
        const std::string name = lv->name;
        const std::string id = idOf(lv);
        if (!verdict.isMirror) {
            // not a mirror
        } else if (verdict.survivor.empty()) {
            orphans.insert(orphans.end(), verdict.components.begin(), verdict.components.end());
        } else if (verdict.complete) {
            dbg.Debug(func, "Transferring Mirror [%s], UUID=[%s] from snap to live metadata",
                      name.c_str(), id.c_str());
            shoveLV(vg_name.c_str(), name.c_str(), id.c_str(), liveLvs, liveParser, &to_activate);
            unlinkChild(snapLvs, lv);
            prependChild(liveLvs, lv);
            to_activate.push_back(name);
        } else {
            dbg.Debug(func, "Transferring one side of Mirror [%s], UUID=[%s]", name.c_str(),
                      id.c_str());
            for (const std::string& c : verdict.components) {
                if (c != verdict.survivor) orphans.push_back(c);
            }
            shoveLV(vg_name.c_str(), name.c_str(), nullptr, liveLvs, liveParser, &to_activate);
            Node* side = Parser::findDirectChild(liveLvs, verdict.survivor.c_str());
            Parser::rename(side, name.c_str());
            makeVisibleLV(side, liveParser);
            to_activate.push_back(name);
        }
        lv = next;
    }

    // 15.
    delOrphanLVs(&orphans, liveLvs, liveParser);
    crossCheckMeta(liveRoot, liveParser, "combined metadata");

    // 16-17. "--yes": since LVM2 2.03 vgcfgrestore asks before it restores a group that has
    // active LVs, and with no terminal that question would be answered "no". A revert keeps
    // the LVs of the untouched PVs active on purpose.
    dbg.Debug(func, "Serializing new metadata");
    tmp.write(Parser::dump(liveRoot, 0));
    CommandResult restored = volbridge::run(CommandLine(here, "vgcfgrestore --yes -f")
                                                .word(tmp.path(), "the metadata file")
                                                .word(vg_name, "the VG name"));
    if (!restored.succeeded()) {
        fail("Failed to update metadata for VG group [" + vg_name + "]: " + restored.err, __LINE__);
    }

    // 18.
    dbg.Debug(func, "Activating new LVs [%s]", vg_name.c_str());
    for (const std::string& name : to_activate) {
        const std::string device = "/dev/" + vg_name + "/" + name;
        CommandResult r =
            volbridge::run(CommandLine(here, "lvchange -an").word(device, "the LV device path"));
        if (!r.succeeded()) {
            dbg.Debug(func, "Failed to deactivate LV [%s]:%s", device.c_str(), r.err.c_str());
        }
        r = volbridge::run(CommandLine(here, "lvchange -ay").word(device, "the LV device path"));
        if (!r.succeeded()) fail("Failed to activate LV [" + device + "]: " + r.err, __LINE__);
    }

    // 19. The reverted group as LVM2 now reports it: through the device node of the last LV
    // activated (udev makes it a moment after activation), or, when no LV was activated or its
    // node never appeared, by the group's own identity.
    vgList_.clear();
    if (!to_activate.empty()) {
        const std::string device = "/dev/" + vg_name + "/" + to_activate.back();
        vbhost::Clock& clock = vbhost::currentClock();
        const uint64_t deadline = clock.nowMs() + kNodeWaitMs;
        struct stat st;
        while (stat(device.c_str(), &st) != 0 && clock.nowMs() < deadline) WMSLEEP(kNodePollMs);
        if (stat(device.c_str(), &st) == 0) return getVGByLVDevice(device.c_str());
        dbg.Error(func, "Device node %s did not appear within %u seconds of its activation",
                  device.c_str(), kNodeWaitMs / 1000);
    }
    VG vg;
    vg.orig_name = vg.name = vg_name;
    vg.orig_uuid = vg.uuid = idOf(liveVg);
    vg.vendor = vendor;
    populateVG(vg);
    return vg;
}

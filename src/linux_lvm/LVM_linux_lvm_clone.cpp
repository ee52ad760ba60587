// Clone import: a volume group brought up from block-level copies of its PVs, beside the group
// they were copied from, under a new name and with new identifiers.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <set>

#include "LVM/LVM.h"
#include "core/Command.h"
#include "core/ShellWord.h"
#include "core/TempFile.h"
#include "host/LogWriter.h"
#include "host/YBPlatformInfo.h"
#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_identity.h"
#include "linux_lvm/lvm2_restore.h"

namespace {

using volbridge::lvm2::Node;
using Parser = LVM_linux_lvm_parser;

using volbridge::CommandLine;
using volbridge::CommandResult;

const char* const kFunc = "LVM_linux_lvm::recreateVG";
const volbridge::Origin kHere{kFunc, volbridge::unit::kLinuxLvm};

[[noreturn]] void fail(const std::string& message, int line) { kHere.fail(message, line); }

void info(int line, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void info(int line, const char* fmt, ...) {
    if (!g_ptrLogWriter->isEnabled(0)) return;
    va_list args;
    va_start(args, fmt);
    g_ptrLogWriter->vlog(0, kFunc, line, fmt, args);
    va_end(args);
}

std::string newGroupName(const std::string& old_name, const std::list<LVM::VG>& existing) {
    std::set<std::string> taken;
    for (const LVM::VG& vg : existing) taken.insert(vg.name);
    for (unsigned long n = 1;; ++n) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, "_copy_%03lu", n);
        std::string candidate = old_name + suffix;
        if (!taken.count(candidate)) return candidate;
    }
}

// The new identifiers of the PVs that the LV's mirror log and sides use, ascending, once each.
std::list<std::string> mirrorPvs(const std::list<std::string>& components, Node* lvs,
                                 const std::map<std::string, std::string>& pv_name_to_uuid,
                                 LVM_linux_lvm_parser& parser) {
    std::set<std::string> ids;
    for (const std::string& component : components) {
        for (const std::string& pv : volbridge::lvm2::findPVofLV(component.c_str(), lvs, parser)) {
            auto found = pv_name_to_uuid.find(pv);
            if (found != pv_name_to_uuid.end()) ids.insert(found->second);
        }
    }
    return std::list<std::string>(ids.begin(), ids.end());
}

}  // namespace

LVM::VG LVM_linux_lvm::recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                                  std::map<std::string, std::string>& old2new_uuid_map) {
    using namespace volbridge::lvm2;

    VG result;
    result.vendor = vendor;
    for (const std::string& device : pv_dev_list) {
        volbridge::requireShellWord(device, "the PV device path", kFunc, kHere.unit, __LINE__);
    }
    const std::string filter_config = deviceFilterOption(pv_dev_list);

    info(__LINE__, "Parsing supplied LVM metadata...");
    LVM_linux_lvm_parser parser;
    LVM_linux_lvm_parser::NodeAutoPtr root(parser.parse(metadata ? metadata : ""));
    Node *vg_node = nullptr, *pvs_node = nullptr, *lvs_node = nullptr;
    crossCheckMeta(root, parser, "passed metadata", &vg_node, &pvs_node, &lvs_node);

    if (vgList_.empty()) vgList_ = getVGs(false);

    result.orig_name = vg_node->name;
    result.orig_uuid = idOf(vg_node);
    result.uuid = genUUID();
    result.name = newGroupName(result.orig_name, vgList_);
    // Both checks come before anything on disk changes.
    if (result.name.size() > kMaxLvmNameLength) {
        fail("Can't re-create VG [" + result.orig_name + "]: the new name [" + result.name +
                 "] would be longer than the " + std::to_string(kMaxLvmNameLength) +
                 " characters LVM2 allows",
             __LINE__);
    }
    volbridge::requireShellWord(result.name, "the new VG name", kFunc, kHere.unit, __LINE__);
    Parser::assign(Parser::findDirectChild(vg_node, "id"), result.uuid.c_str());
    Parser::rename(vg_node, result.name.c_str());
    info(__LINE__, "Rebuilding VG [%s], Old UUID=[%s] under the new name [%s], New UUID=[%s]",
         result.orig_name.c_str(), result.orig_uuid.c_str(), result.name.c_str(),
         result.uuid.c_str());

    for (const std::string& device : pv_dev_list) {
        struct stat st;
        if (stat(device.c_str(), &st) != 0) {
            fail("Can't stat PV device " + device + ": " + strerror(errno), __LINE__);
        }
    }

    // One temporary file serves the PV re-initialisation (the metadata that tells pvcreate where
    // each PV's data lies) and then the restore of the whole group; it goes on every path.
    volbridge::TempFile tmp(kHere, metadataTempDirectory(), kMetadataTempPrefix);

    std::map<std::string, std::string> pv_name_to_uuid;
    for (const std::string& device : pv_dev_list) {
        const std::string current = getPVUUID(device);
        const std::string orig_uuid = new2old(old2new_uuid_map, current);
        if (orig_uuid.empty())
            fail("Can't find UUID " + current + " in the supplied UUID map", __LINE__);
        Node* pv = nullptr;
        for (Node* p = pvs_node->child; p; p = p->next) {
            if (idOf(p) == orig_uuid) {
                pv = p;
                break;
            }
        }
        // Checked before the device is re-initialised, so a device the metadata does not know is
        // left as it was.
        if (!pv) {
            fail("Can't find PV [" + device + "], UUID=[" + orig_uuid + "] in the metadata.",
                 __LINE__);
        }
        info(__LINE__, "Initializing %s (current UUID %s, backup UUID %s) with new random UUID...",
             device.c_str(), current.c_str(), orig_uuid.c_str());

        const std::string fresh = genUUID();
        Parser::assign(Parser::findDirectChild(pv, "id"), fresh.c_str());
        Parser::assign(Parser::findDirectChild(pv, "device"), device.c_str());
        tmp.write(Parser::dump(root, 0));
        CommandResult created = volbridge::run(
            layoutPreservingPvcreate(kHere, filter_config, fresh, tmp.path(), device));
        if (!created.succeeded()) {
            g_ptrLogWriter->log(-1, kFunc, __LINE__, 0, 0, "Failed to re-initialize PV %s: %s",
                                device.c_str(), created.err.c_str());
            old2new_uuid_map[orig_uuid] = getPVUUID(device);
            fail("Failed to re-initialize PV " + device + ": " + created.err, __LINE__);
        }

        const std::string uuid = getPVUUID(device);
        PV record;
        record.orig_uuid = orig_uuid;
        record.uuid = uuid;
        record.device = device;
        result.pvs[uuid] = record;
        old2new_uuid_map[orig_uuid] = uuid;
        Parser::assign(Parser::findDirectChild(pv, "id"), uuid.c_str());
        pv_name_to_uuid[pv->name] = uuid;
        info(__LINE__, "PV [%s]: Name=[%s], Old UUID=[%s], New UUID=[%s]", device.c_str(), pv->name,
             orig_uuid.c_str(), uuid.c_str());
    }

    info(__LINE__, "Pruning metadata leaving only relevant PVs and LVs...");
    for (Node* pv = pvs_node->child; pv;) {
        Node* next = pv->next;
        if (!pv_name_to_uuid.count(pv->name)) {
            info(__LINE__, "Removing PV [%s], UUID [%s] from metadata", pv->name, idOf(pv).c_str());
            removeChild(pvs_node, pv);
        }
        pv = next;
    }

    // LVs on striped segments: kept when every stripe lies on a supplied device.
    std::map<std::string, LV> hidden_lvs;
    for (Node* lv = lvs_node->child; lv;) {
        Node* next = lv->next;
        bool striped = false;
        bool foreign = false;
        std::list<std::string> pvs;
        for (Node* seg = lv->child; seg && !foreign; seg = seg->next) {
            if (!isSegmentOfType(seg, "striped")) continue;
            striped = true;
            Node* stripes = Parser::findDirectChild(seg, "stripes");
            for (auto* v = stripes ? stripes->value : nullptr; v; v = v->next) {
                if (!v->str) continue;
                auto found = pv_name_to_uuid.find(v->str);
                if (found == pv_name_to_uuid.end()) {
                    foreign = true;
                    break;
                }
                pvs.push_back(found->second);
            }
        }
        if (foreign) {
            info(__LINE__, "Removing LV [%s], UUID=[%s] from metadata", lv->name, idOf(lv).c_str());
            removeChild(lvs_node, lv);
        } else if (striped) {
            LV record;
            record.orig_uuid = idOf(lv);
            record.uuid = genUUID();
            record.device = "/dev/" + result.name + "/" + lv->name;
            record.pvs = pvs;
            if (isVisibleLV(lv, parser)) {
                result.lvs[record.uuid] = record;
            } else {
                hidden_lvs[lv->name] = record;
            }
            Parser::assign(Parser::findDirectChild(lv, "id"), record.uuid.c_str());
            info(__LINE__, "LV [%s]: Old UUID=[%s], New UUID=[%s]", lv->name,
                 record.orig_uuid.c_str(), record.uuid.c_str());
        }
        lv = next;
    }

    // Snapshots: kept when both their origin and their copy-on-write LV are still there.
    std::list<std::string> orphans;
    for (Node* lv = lvs_node->child; lv;) {
        Node* next = lv->next;
        SnapshotVerdict verdict = evaluateSnapshot(lv, lvs_node);
        if (verdict.isSnapshot && verdict.complete) {
            const std::string old_id = idOf(lv);
            const std::string new_id = genUUID();
            Parser::assign(Parser::findDirectChild(lv, "id"), new_id.c_str());
            info(__LINE__, "LVM Snap [%s]: Old UUID=[%s], New UUID=[%s]", lv->name, old_id.c_str(),
                 new_id.c_str());
        } else if (verdict.isSnapshot) {
            info(__LINE__, "Removing LVM Snap [%s], UUID=[%s] from metadata", lv->name,
                 idOf(lv).c_str());
            if (!verdict.cow.empty()) orphans.push_back(verdict.cow);
            removeChild(lvs_node, lv);
        }
        lv = next;
    }

    // Mirrors: kept whole, broken up into their last present side, or removed.
    for (Node* lv = lvs_node->child; lv;) {
        Node* next = lv->next;
        MirrorVerdict verdict = evaluateMirror(lv, lvs_node);
        if (!verdict.isMirror) {
            lv = next;
            continue;
        }
        const std::string name = lv->name;
        const std::string id = idOf(lv);
        if (verdict.survivor.empty()) {
            info(__LINE__, "Removing Mirror [%s], UUID=[%s] from metadata", name.c_str(),
                 id.c_str());
            orphans.insert(orphans.end(), verdict.components.begin(), verdict.components.end());
            removeChild(lvs_node, lv);
        } else if (verdict.complete) {
            LV record;
            record.orig_uuid = id;
            record.uuid = genUUID();
            record.device = "/dev/" + result.name + "/" + name;
            record.pvs = mirrorPvs(verdict.components, lvs_node, pv_name_to_uuid, parser);
            result.lvs[record.uuid] = record;
            Parser::assign(Parser::findDirectChild(lv, "id"), record.uuid.c_str());
            info(__LINE__, "LVM Mirror [%s]: Old UUID=[%s], New UUID=[%s]", name.c_str(),
                 id.c_str(), record.uuid.c_str());
        } else {
            info(__LINE__, "Breaking Mirror [%s], UUID=[%s]", name.c_str(), id.c_str());
            for (const std::string& component : verdict.components) {
                if (component != verdict.survivor) orphans.push_back(component);
            }
            Node* side = Parser::findDirectChild(lvs_node, verdict.survivor.c_str());
            auto hidden = hidden_lvs.find(verdict.survivor);
            if (!side || hidden == hidden_lvs.end()) {
                fail("Can't find side [" + verdict.survivor + "] of mirror [" + name +
                         "] in metadata",
                     __LINE__);
            }
            Parser::rename(side, name.c_str());
            makeVisibleLV(side, parser);
            LV record = hidden->second;
            record.orig_uuid = id;
            record.device = "/dev/" + result.name + "/" + name;
            result.lvs[record.uuid] = record;
            hidden_lvs.erase(hidden);
            removeChild(lvs_node, lv);
        }
        lv = next;
    }

    delOrphanLVs(&orphans, lvs_node, parser);
    crossCheckMeta(root, parser, "pruned metadata");

    info(__LINE__, "Storing pruned metadata in the PVs...");
    result.metadata = Parser::dump(root, 0);
    tmp.write(result.metadata);

    CommandResult restored = volbridge::run(CommandLine(kHere, "vgcfgrestore ")
                                                .literal(filter_config + " -f")
                                                .word(tmp.path(), "the metadata file")
                                                .word(result.name, "the new VG name"));
    if (!restored.succeeded()) {
        fail("Failed to update metadata for VG group [" + result.name + "]: " + restored.err,
             __LINE__);
    }

    // Where LVM2 keeps a devices file, its commands see only the devices listed there. The
    // clones took their new identities with the file switched off for those commands, so they are
    // added to it now; otherwise the new group would be invisible to every later command.
    if (volbridge::run(CommandLine(kHere, "lvm lvmdevices")).succeeded()) {
        for (const std::string& device : pv_dev_list) {
            info(__LINE__, "Adding %s to LVM's devices file", device.c_str());
            CommandResult added = volbridge::run(
                CommandLine(kHere, "lvm lvmdevices --adddev").word(device, "the PV device path"));
            if (!added.succeeded()) {
                fail("Failed to add PV device " + device + " to LVM's devices file: " + added.err,
                     __LINE__);
            }
        }
    }

    const volbridge::OutputInLog output = g_ptrLogWriter->getLogLevel() <= 1
                                              ? volbridge::OutputInLog::Withheld
                                              : volbridge::OutputInLog::Shown;
    const char* const section = "FileSystemAgent";
    unsigned long value = 0;
    if (YBPlatformInfo::getNumber(section, "nDONOT_CLEAR_SYSTEM_ID", &value) && value != 0) {
        info(__LINE__,
             "Registry key [%s/%s] exists with value %ld, clear system_id command NOT sent",
             section, "nDONOT_CLEAR_SYSTEM_ID", static_cast<long>(value));
    } else {
        info(__LINE__, "Clearing VG system_id setting [%s]", result.name.c_str());
        CommandResult cleared = volbridge::run(
            CommandLine(kHere, "vgchange --systemid \"\"").word(result.name, "the new VG name"),
            output);
        if (!cleared.succeeded()) {
            info(__LINE__, "Failed to clear VG's system_id field. VG group [%s]: %s",
                 result.name.c_str(), cleared.err.c_str());
        }
    }

    info(__LINE__, "Activating VG [%s]", result.name.c_str());
    std::string activation_suffix;
    value = 1;
    if (YBPlatformInfo::getNumber(section, "nDECLUSTER_LVM", &value) && value == 0) {
        info(__LINE__, "Registry key [%s/%s] exists with value %ld, decluster command NOT sent",
             section, "nDECLUSTER_LVM", static_cast<long>(value));
    } else {
        activation_suffix = " --config 'global {locking_type = 0}'";
        info(__LINE__, "Clearing VG's CLUSTERED status");
        CommandResult r = volbridge::run(CommandLine(kHere, "vgchange -cn")
                                             .word(result.name, "the new VG name")
                                             .literal(activation_suffix),
                                         output);
        if (!r.succeeded() &&
            !(r.status == 5 && r.err.find("is already not clustered") != std::string::npos)) {
            info(__LINE__, "Failed to clear VG's clustered flag. VG group [%s]: %s",
                 result.name.c_str(), r.err.c_str());
        }
    }

    CommandResult activated = volbridge::run(CommandLine(kHere, "vgchange -ay")
                                                 .word(result.name, "the new VG name")
                                                 .literal(activation_suffix));
    if (!activated.succeeded()) {
        fail("Failed to activate VG group [" + result.name + "]: " + activated.err, __LINE__);
    }
    return result;
}

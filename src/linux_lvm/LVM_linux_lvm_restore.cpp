// Pieces shared by clone import and in-place revert.
#include <cstring>

#include "linux_lvm/lvm2_crosscheck.h"
#include "linux_lvm/lvm2_restore.h"

namespace volbridge {
namespace lvm2 {

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

MirrorVerdict evaluateMirror(Node* lv, Node* lvs) {
    MirrorVerdict verdict;
    for (Node* seg = lv->child; seg; seg = seg->next) {
        if (!isSegmentOfType(seg, "mirror")) continue;
        verdict.isMirror = true;
        verdict.complete = true;
        Node* log = LVM_linux_lvm_parser::findDirectChild(seg, "mirror_log");
        if (log && log->isString()) {
            verdict.components.emplace_back(log->value->str);
            verdict.complete = LVM_linux_lvm_parser::findDirectChild(lvs, log->value->str);
        }
        Node* mirrors = LVM_linux_lvm_parser::findDirectChild(seg, "mirrors");
        for (auto* v = mirrors ? mirrors->value : nullptr; v; v = v->next) {
            if (!v->str) continue;
            verdict.components.emplace_back(v->str);
            if (LVM_linux_lvm_parser::findDirectChild(lvs, v->str)) {
                verdict.survivor = v->str;
            } else {
                verdict.complete = false;
            }
        }
    }
    return verdict;
}

SnapshotVerdict evaluateSnapshot(Node* lv, Node* lvs) {
    SnapshotVerdict verdict;
    for (Node* seg = lv->child; seg; seg = seg->next) {
        if (!isSegmentOfType(seg, "snapshot")) continue;
        Node* origin = LVM_linux_lvm_parser::findDirectChild(seg, "origin");
        Node* cow = LVM_linux_lvm_parser::findDirectChild(seg, "cow_store");
        verdict.isSnapshot = true;
        verdict.cow = cow && cow->isString() ? cow->value->str : "";
        verdict.complete =
            origin && origin->isString() &&
            LVM_linux_lvm_parser::findDirectChild(lvs, origin->value->str) != nullptr &&
            !verdict.cow.empty() &&
            LVM_linux_lvm_parser::findDirectChild(lvs, verdict.cow.c_str()) != nullptr;
        if (!verdict.complete) break;
    }
    return verdict;
}

void removeChild(Node* parent, Node* node) {
    for (Node** link = &parent->child; *link; link = &(*link)->next) {
        if (*link == node) {
            *link = node->next;
            node->next = nullptr;
            LVM_linux_lvm_parser::destroy(node);
            return;
        }
    }
}

}  // namespace lvm2
}  // namespace volbridge

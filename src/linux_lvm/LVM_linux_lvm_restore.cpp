// Pieces shared by clone import and in-place revert.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/YbException.h"
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

namespace {
std::string& tempDirectory() {
    static std::string directory = "/tmp";
    return directory;
}
}  // namespace

TempMetadataFile::ScopedDirectory::ScopedDirectory(const std::string& directory)
    : previous_(tempDirectory()) {
    tempDirectory() = directory;
}

TempMetadataFile::ScopedDirectory::~ScopedDirectory() { tempDirectory() = previous_; }

TempMetadataFile::TempMetadataFile(const char* func, const char* unit) : func_(func), unit_(unit) {
    const std::string templ = tempDirectory() + "/ybmeta_XXXXXX";
    std::string name = templ;
    int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) {
        throw YbException(func_, "Couldn't create temporary " + templ + ": " + strerror(errno),
                          unit_, __LINE__, -1);
    }
    close(fd);
    path_ = name;
}

TempMetadataFile::~TempMetadataFile() { unlink(path_.c_str()); }

void TempMetadataFile::write(const std::string& text) {
    // The readers are LVM2 commands this process starts afterwards: they see the text through
    // the page cache, and the file goes when the operation ends, so nothing is forced to stable
    // storage. The old content is overwritten and then cut to the new length instead of being
    // truncated to nothing first, because ext4 flushes a file that was truncated to zero and
    // written again when it is closed (auto_da_alloc). Either would cost a disk write per PV in
    // a clone import.
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw YbException(func_, "Failed to open file " + path_ + " for writing.", unit_, __LINE__,
                          -1);
    }
    int saved = 0;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            saved = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (saved == 0 && ftruncate(fd, static_cast<off_t>(text.size())) != 0) saved = errno;
    if (close(fd) != 0 && saved == 0) saved = errno;
    if (saved != 0) {
        throw YbException(func_, "Failed to write file " + path_ + ": " + strerror(saved), unit_,
                          __LINE__, -1);
    }
}

std::string layoutPreservingPvcreate(const std::string& filter_option, const std::string& new_uuid,
                                     const std::string& restore_file, const std::string& device) {
    std::string cmd = "pvcreate ";
    if (!filter_option.empty()) cmd += filter_option + " ";
    return cmd + "-ffy --uuid " + new_uuid + " --restorefile " + restore_file + " " + device;
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

// How many VxVM commands each operation of the VxVM backend runs, on generated disk groups of 1, 16
// and 64 disks and 1, 10 and 100 volumes, mirrored (two one-disk plexes a volume) and striped (one
// plex a volume, a column on every disk). On a real host each command costs tens to hundreds of
// milliseconds, so the count is what an agent waits on.
//
// The commands are answered by a model of one host, in the formats of the captured outputs under
// tests/fixtures/vxvm: the source group "datadg" on the disks emc0_NNNN (/dev/sdsNNN), and clones
// of those disks, emc1_NNNN (/dev/sdcNNN), which clone import brings up as a new group. Each
// operation runs through the test fake runner, and the table shows, for each operation and size,
// the commands run and how many of them were the same command line run again.
//
//     build/release/bench/vxvm_command_count
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "FakeRunner.h"
#include "LVM/LVM.h"
#include "core/ScopedOverride.h"
#include "host/YbException.h"
#include "vxvm/vxvm_internal.h"

namespace {

using vbtest::Reply;

constexpr long kNow = 1700000000;
const char kSource[] = "datadg";
const char kSourceId[] = "1234567890.12.hostA";
const char kCloneId[] = "1700000000.31.hostA";
const std::string kCloneName = "yb_datadg_1700000000";

enum class Layout { Mirrored, Striped };

struct Disk {
    std::string dm, da, os, udid;
};

struct Subdisk {
    std::string name;
    size_t disk;
    size_t column;
};

struct Plex {
    std::string name;
    std::vector<Subdisk> subdisks;
};

struct Volume {
    std::string name, guid;
    std::vector<Plex> plexes;
};

char buffer[256];

// The regular expression `pattern`, compiled once.
const std::regex& compiled(const char* pattern) {
    static std::map<std::string, std::regex> cache;
    auto it = cache.find(pattern);
    if (it == cache.end()) it = cache.emplace(pattern, std::regex(pattern)).first;
    return it->second;
}

template <class... A>
std::string format(const char* fmt, A... args) {
    snprintf(buffer, sizeof buffer, fmt, args...);
    return buffer;
}

// One disk group as VxVM shows it: its disks (by position), its volumes.
struct Group {
    std::string name, dgid;
    std::vector<Disk> disks;
    std::vector<Volume> volumes;
    bool imported = false;
};

std::vector<Disk> makeDisks(size_t count, const char* enclosure, const char* os, const char* udid) {
    std::vector<Disk> disks;
    for (size_t i = 0; i < count; ++i) {
        disks.push_back(Disk{format("datadg%02zu", i + 1), format("%s_%04zx", enclosure, i + 1),
                             format("%s%03zu", os, i + 1),
                             format("EMC%%5FSYMMETRIX%%5F%s%%5F%04zX", udid, i + 1)});
    }
    return disks;
}

std::vector<Volume> makeVolumes(size_t count, size_t disks, Layout layout) {
    std::vector<Volume> volumes;
    for (size_t v = 0; v < count; ++v) {
        Volume vol{format("vol%03zu", v + 1), format("5f0a6c4e-7b21-11ee-9d2a-%012zx", v + 1), {}};
        if (layout == Layout::Mirrored) {
            for (size_t side = 0; side < 2; ++side) {
                const size_t disk = (2 * v + side) % disks;
                vol.plexes.push_back(Plex{
                    vol.name + format("-%02zu", side + 1),
                    {Subdisk{format("datadg%02zu-%03zu", disk + 1, 2 * v + side + 1), disk, 0}}});
            }
        } else {
            Plex plex{vol.name + "-01", {}};
            for (size_t d = 0; d < disks; ++d) {
                plex.subdisks.push_back(Subdisk{format("datadg%02zu-%03zu", d + 1, v + 1), d, d});
            }
            vol.plexes.push_back(plex);
        }
        volumes.push_back(vol);
    }
    return volumes;
}

// The answers of one host, kept up to date by the commands that change it.
class Host {
  public:
    Host(size_t disks, size_t volumes, Layout layout) {
        source_ = Group{kSource, kSourceId, makeDisks(disks, "emc0", "sds", "000197600123"),
                        makeVolumes(volumes, disks, layout), true};
        clone_ = Group{kCloneName, kCloneId, makeDisks(disks, "emc1", "sdc", "000197600456"),
                       source_.volumes, false};
    }

    Group& source() { return source_; }
    std::vector<std::string> unknown;

    Reply answer(const std::string& cmd) {
        std::smatch m;
        auto is = [&](const char* pattern) { return std::regex_match(cmd, m, compiled(pattern)); };
        if (is("vxdg list (\\S+)")) {
            const Group* g = byNameOrId(m[1]);
            if (!g) return Reply{11, "", "VxVM vxdg ERROR V-5-1-582 Disk group not found"};
            return Reply{
                0, "Group:     " + g->name + "\ndgid:      " + g->dgid + "\nflags:     cds\n", ""};
        }
        if (is("vxdg -q list")) {
            std::string out;
            for (const Group* g : {&source_, &clone_}) {
                if (g->imported) out += g->name + "       enabled,cds          " + g->dgid + "\n";
            }
            return Reply{0, out, ""};
        }
        if (is("vxprint -g (\\S+) -d -F%(name|da_name)")) {
            const Group* g = imported(m[1]);
            if (!g) return missing(m[1]);
            std::string out;
            for (const Disk& d : g->disks) out += (m[2] == "name" ? d.dm : d.da) + "\n";
            return Reply{0, out, ""};
        }
        if (is("vxdisk -g (\\S+) list (\\S+)") || is("vxdisk -v list (\\S+)()")) {
            const Disk* d = m[2].length() ? diskByDm(m[1], m[2]) : diskByDa(m[1]);
            if (!d) return Reply{11, "", "VxVM vxdisk ERROR V-5-1-558 Disk not found"};
            return Reply{0,
                         "Device:    " + d->da + "\ndevicetag: " + d->da +
                             "\ntype:      auto\nguid:      -\nudid:      " + d->udid +
                             "\nsite:      -\n",
                         ""};
        }
        if (is("vxdisk -g (\\S+) -s list \\| grep flags:")) {
            const Group* g = imported(m[1]);
            if (!g) return missing(m[1]);
            std::string out;
            for (size_t i = 0; i < g->disks.size(); ++i) {
                out += "flags:  online ready private autoconfig autoimport imported\n";
            }
            return Reply{0, out, ""};
        }
        if (is("vxdisk -g (\\S+) -qe list")) {
            const Group* g = imported(m[1]);
            if (!g) return missing(m[1]);
            std::string out;
            for (const Disk& d : g->disks) {
                out += d.da + "    auto:cdsdisk   " + d.dm + "    " + g->name +
                       "       online               " + d.os + "              -\n";
            }
            return Reply{0, out, ""};
        }
        if (is("vxprint -g (\\S+) -ar -d (\\S+)")) {
            const Group* g = imported(m[1]);
            if (!g) return missing(m[1]);
            return Reply{0, diskRecords(*g, m[2]), ""};
        }
        if (is("vxprint -g (\\S+) -v -F%guid:%name")) {
            const Group* g = imported(m[1]);
            if (!g) return missing(m[1]);
            std::string out;
            for (const Volume& v : g->volumes) out += "{" + v.guid + "}:" + v.name + "\n";
            return Reply{0, out, ""};
        }
        if (is("vxprint -hqtps -g (\\S+)")) {
            const Group* g = imported(m[1]);
            if (!g) return missing(m[1]);
            return Reply{0, hierarchy(*g), ""};
        }
        if (is("vxprint -g (\\S+) -mr -v (\\S+)")) {
            const Group* g = imported(m[1]);
            if (!g) return missing(m[1]);
            for (const Volume& v : g->volumes) {
                if (v.name == m[2]) return Reply{0, description(*g, v), ""};
            }
            return Reply{11, "", "VxVM vxprint ERROR V-5-1-924 Record not found"};
        }
        if (is("vxprint -g (\\S+)")) {
            return imported(m[1]) ? Reply{0, "Disk group: " + std::string(m[1]) + "\n", ""}
                                  : missing(m[1]);
        }
        if (is("vxdisk -qe path")) return Reply{0, paths(), ""};
        if (is("vxdisk -s list (.*) \\| grep '\\^dgid:' \\| cut -d: -f2 \\| sort -u")) {
            return Reply{0, std::string("   ") + kSourceId + "\n", ""};
        }
        if (is("vxdg -fC -n (\\S+) .*import (\\S+)")) {
            if (clone_.imported) return Reply{1, "", "VxVM vxdg ERROR V-5-1-10978 exists"};
            clone_.imported = true;
            return Reply{};
        }
        if (is("vxdg deport (\\S+)")) {
            if (Group* g = imported(m[1])) g->imported = false;
            return Reply{};
        }
        if (is("vxdg (-s )?init (\\S+) (\\S+)")) {
            if (m[2] == source_.name) source_.imported = true;
            return Reply{};
        }
        if (is("vxdg destroy (\\S+)")) {
            if (Group* g = imported(m[1])) g->imported = false;
            return Reply{};
        }
        if (is("vxdmpadm -q iostat show dmpnodename=(\\S+)")) {
            return Reply{0,
                         "                       QUEUED I/Os         PENDING I/Os\n"
                         "DMPNODENAME           READS    WRITES\n" +
                             std::string(m[1]) + "             0        0        0\n",
                         ""};
        }
        // Commands whose answer is plain success: rescans, tags, volume starts, rebuilds.
        if (is("vxdisk (-f )?scandisks|vxdisk clearimport \\S+|vxdisk -f (settag|rmtag) \\S+ \\S+|"
               "vxvol -g \\S+ (startall|stopall|start \\S+|init clean \\S+ \\S+)|"
               "vxmend -g \\S+ fix empty \\S+|vxmake -g \\S+ -o makedev=on -d \\S+|"
               "vxdisk -f init \\S+|vxdg -g \\S+ adddisk \\S+|vxdmpadm .*|vxdisk (offline|rm) \\S+|"
               "vxdg (flush|-C import) \\S+")) {
            return Reply{};
        }
        unknown.push_back(cmd);
        return Reply{127, "", "no answer for this command"};
    }

  private:
    Group source_, clone_;

    Group* imported(const std::string& name) {
        for (Group* g : {&source_, &clone_}) {
            if (g->imported && g->name == name) return g;
        }
        return nullptr;
    }
    const Group* byNameOrId(const std::string& key) {
        for (const Group* g : {&source_, &clone_}) {
            if (g->imported && (g->name == key || g->dgid == key)) return g;
        }
        return nullptr;
    }
    static Reply missing(const std::string& name) {
        return Reply{11, "",
                     "VxVM vxprint ERROR V-5-1-582 Disk group " + name + ": No such disk group"};
    }
    const Disk* diskByDm(const std::string& group, const std::string& dm) {
        const Group* g = imported(group);
        if (!g) return nullptr;
        for (const Disk& d : g->disks) {
            if (d.dm == dm) return &d;
        }
        return nullptr;
    }
    const Disk* diskByDa(const std::string& da) {
        for (const Group* g : {&source_, &clone_}) {
            for (const Disk& d : g->disks) {
                if (d.da == da) return &d;
            }
        }
        return nullptr;
    }

    std::string paths() const {
        std::string out;
        for (const Group* g : {&source_, &clone_}) {
            for (const Disk& d : g->disks) {
                out += d.os + "              " + d.da + "     " + (g->imported ? d.dm : "-") +
                       "      " + (g->imported ? g->name : "-") + "       ENABLED\n";
            }
        }
        return out;
    }

    static std::string plexList(const Volume& v) {
        std::string list;
        for (const Plex& p : v.plexes) list += (list.empty() ? "" : ",") + p.name;
        return list;
    }
    static std::string subdiskList(const Plex& p) {
        std::string list;
        for (const Subdisk& s : p.subdisks) {
            list += (list.empty() ? "" : ",") + s.name +
                    (p.subdisks.size() > 1 ? format(":%zu/0", s.column) : std::string(":0"));
        }
        return list;
    }
    static const char* layout(const Plex& p) { return p.subdisks.size() > 1 ? "STRIPE" : "CONCAT"; }

    // "vxprint -g G -ar -d <disk>": the disk, then each of its subdisks with its plex and volume.
    std::string diskRecords(const Group& g, const std::string& dm) const {
        std::string out;
        for (size_t i = 0; i < g.disks.size(); ++i) {
            const Disk& d = g.disks[i];
            if (d.dm != dm) continue;
            out += "dm " + d.dm + " device_tag=" + d.da + " da_name=" + d.da + " comment=\"\n";
            for (const Volume& v : g.volumes) {
                for (const Plex& p : v.plexes) {
                    for (const Subdisk& s : p.subdisks) {
                        if (s.disk != i) continue;
                        out += "vol " + v.name +
                               " use_type=fsgen state=\"ACTIVE plex=" + plexList(v) + " export=\n";
                        out += "plex " + p.name + " compact=on v_name=" + v.name +
                               " layout=" + layout(p) + " state=\"ACTIVE sd=" + subdiskList(p) +
                               "\n";
                        out += "sd " + s.name + " dm_name=" + d.dm + " pl_name=" + p.name +
                               " comment=\" da_name=" + d.da + "\n";
                    }
                }
            }
        }
        return out;
    }

    // "vxprint -hqtps -g G": every plex with its subdisks.
    static std::string hierarchy(const Group& g) {
        std::string out;
        for (const Volume& v : g.volumes) {
            for (const Plex& p : v.plexes) {
                out += "pl " + p.name + "     " + v.name + "        ENABLED  ACTIVE   2097152  " +
                       layout(p) + "    -        RW\n";
                for (const Subdisk& s : p.subdisks) {
                    const Disk& d = g.disks[s.disk];
                    out += "sd " + s.name + "  " + p.name + "     " + d.dm + " 0        2097152  " +
                           format("%zu", s.column) + "         " + d.da + " ENA\n";
                }
                out += "\n";
            }
        }
        return out;
    }

    // "vxprint -g G -mr -v <volume>": the volume's configuration description.
    static std::string description(const Group& g, const Volume& v) {
        std::string out = "vol " + v.name +
                          "\n\tuse_type=fsgen\n\tstate=\"ACTIVE\n\tlen=2097152\n\tguid={" + v.guid +
                          "}\n\tplex=" + plexList(v) + "\n\texport=\n";
        for (const Plex& p : v.plexes) {
            out += "plex " + p.name + "\n\tcompact=on\n\tv_name=" + v.name +
                   "\n\tlayout=" + layout(p) + "\n\tstate=\"ACTIVE\n\tsd=" + subdiskList(p) + "\n";
            for (const Subdisk& s : p.subdisks) {
                const Disk& d = g.disks[s.disk];
                out += "sd " + s.name + "\n\tdm_name=" + d.dm + "\n\tpl_name=" + p.name +
                       "\n\tlen=2097152\n\tcolumn=" + format("%zu", s.column) +
                       "\n\tda_name=" + d.da + "\n";
            }
        }
        return out;
    }
};

struct Count {
    size_t commands = 0;
    size_t repeats = 0;  // runs of a command line that had run before in the same operation
    bool failed = false;
};

Count counted(Host& host, const std::function<void()>& operation) {
    vbtest::FakeRunner fake;
    fake.alwaysMatch("(.|\n)*", [&](const std::string& cmd) { return host.answer(cmd); });
    Count count;
    try {
        operation();
    } catch (const YbException& e) {
        fprintf(stderr, "operation failed: %s\n", e.getMessage().c_str());
        count.failed = true;
    }
    std::set<std::string> seen;
    for (const std::string& cmd : fake.commands()) {
        ++count.commands;
        if (!seen.insert(cmd).second) ++count.repeats;
    }
    return count;
}

void row(const char* operation, Layout layout, size_t disks, size_t volumes, const Count& c) {
    printf("%-13s %-9s %6zu %8zu %9zu %8zu%s\n", operation,
           layout == Layout::Mirrored ? "mirrored" : "striped", disks, volumes, c.commands,
           c.repeats, c.failed ? "  (failed)" : "");
    fflush(stdout);
}

}  // namespace

int main() {
    vbtest::FakeHost fakeHost(0);
    vbtest::ScopedTempDir devices;
    volbridge::ScopedOverride<std::string> deviceRoot(volbridge::vxvm::deviceRoot(),
                                                      devices.path());
    volbridge::ScopedOverride<std::function<long()>> now(volbridge::vxvm::epochSeconds(),
                                                         [] { return kNow; });
    std::filesystem::create_directories(devices.path() + "/dev/vx/dsk/datadg");
    vbtest::writeFile(devices.path() + "/dev/vx/dsk/datadg/vol001", "");

    printf("%-13s %-9s %6s %8s %9s %8s\n", "operation", "layout", "disks", "volumes", "commands",
           "repeats");
    bool unknown = false;
    for (Layout layout : {Layout::Mirrored, Layout::Striped}) {
        for (size_t disks : {1, 16, 64}) {
            for (size_t volumes : {1, 10, 100}) {
                Host host(disks, volumes, layout);
                std::string metadata;
                std::list<std::string> sourceDevices, cloneDevices;
                for (const Disk& d : host.source().disks) sourceDevices.push_back("/dev/" + d.os);
                for (size_t i = 0; i < disks; ++i)
                    cloneDevices.push_back(format("/dev/sdc%03zu", i + 1));

                row("discovery", layout, disks, volumes, counted(host, [&] {
                        metadata = LVM_vxvm().getVGByLVDevice("/dev/vx/dsk/datadg/vol001").metadata;
                    }));
                row("clone import", layout, disks, volumes, counted(host, [&] {
                        std::map<std::string, std::string> map;
                        LVM_vxvm().recreateVG(cloneDevices, metadata.c_str(), map);
                    }));
                row("destroy", layout, disks, volumes,
                    counted(host, [&] { LVM_vxvm().destroyVG(kCloneName.c_str()); }));
                row("can-revert", layout, disks, volumes, counted(host, [&] {
                        LVM_vxvm().canRevert(LVM::VG(), metadata.c_str(), sourceDevices);
                    }));
                // The revert protocol deports the live group first (prepRevertLV).
                host.source().imported = false;
                row("revert", layout, disks, volumes, counted(host, [&] {
                        std::map<std::string, std::string> map;
                        LVM_vxvm().revertLVs(sourceDevices, metadata.c_str(), map);
                    }));
                for (const std::string& cmd : host.unknown) {
                    fprintf(stderr, "no answer for: %s\n", cmd.c_str());
                    unknown = true;
                }
            }
        }
    }
    return unknown ? 1 : 0;
}

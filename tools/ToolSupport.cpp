#include "ToolSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vbtool {

namespace {

using Json = nlohmann::json;

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

std::string pvStateName(PV_STATE state) {
    switch (state) {
        case PV_ACTIVE:
            return "active";
        case PV_STALE:
            return "stale";
        case PV_STATE_UNKNOWN:
            return "unknown";
    }
    return std::to_string(static_cast<int>(state));
}

std::string lvStateName(int32_t state) {
    if (state == 1) return "ok";
    if (state == 4) return "mirror not in sync";
    return std::to_string(state);
}

// Rows under a header, each column as wide as its widest cell, indented by two spaces.
void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line = " ";
        for (size_t i = 0; i < row.size(); ++i) {
            line += " " + row[i];
            if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 1, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << "\n";
    }
}

}  // namespace

std::vector<std::string> vendorNames() { return LVM::vendors(); }

std::string checkVendor(const std::string& vendor) {
    for (const std::string& name : LVM::vendors()) {
        if (vendor == name) return "";
    }
    return "unknown vendor \"" + vendor + "\" (vendors available: " + joined(vendorNames(), ", ") +
           ")";
}

std::unique_ptr<LVM> makeBackend(const std::string& vendor) {
    std::unique_ptr<LVM> backend(LVM::getByVendor(vendor.c_str()));
    if (!backend) throw UsageError(checkVendor(vendor));
    return backend;
}

std::string readTextFile(const std::string& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError(std::string("cannot read ") + what + " " + path + ": " + strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw UsageError(std::string("cannot read ") + what + " " + path + ": " + strerror(errno));
    }
    return text.str();
}

void writeTextFile(const std::string& path, const std::string& text) {
    // In place: a symbolic link stays a link to the file it names, and the file keeps its owner,
    // mode and other names.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
    size_t done = 0;
    int err = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    // Written first and cut to length after, so that the old text is never gone before the new
    // one is there.
    if (err == 0 && ftruncate(fd, static_cast<off_t>(text.size())) != 0) err = errno;
    if (err == 0 && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err != 0) throw std::runtime_error("cannot write " + path + ": " + strerror(err));
}

std::map<std::string, std::string> readIdMap(const std::string& path) {
    const std::string text = readTextFile(path, "the identifier map");
    Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded()) throw UsageError("the identifier map " + path + " is not valid JSON");
    if (!doc.is_object()) {
        throw UsageError("the identifier map " + path +
                         " must be a JSON object (backup-time id -> current id), not " +
                         doc.type_name());
    }
    std::map<std::string, std::string> map;
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        if (!it.value().is_string()) {
            throw UsageError("the identifier map " + path + ": the value of \"" + it.key() +
                             "\" is not a string");
        }
        map[it.key()] = it.value().get<std::string>();
    }
    return map;
}

void writeIdMap(const std::string& path, const std::map<std::string, std::string>& map) {
    writeTextFile(path, jsonText(Json(map)));
}

std::map<std::string, std::string> identityMap(const LVM::VG& vg) {
    std::map<std::string, std::string> map;
    for (const auto& entry : vg.pvs) map[entry.first] = entry.first;
    return map;
}

Json groupToJson(const LVM::VG& vg) {
    Json pvs = Json::array();
    for (const auto& entry : vg.pvs) {
        const LVM::PV& pv = entry.second;
        pvs.push_back({{"uuid", pv.uuid},
                       {"orig_uuid", pv.orig_uuid},
                       {"device", pv.device},
                       {"mirror_id", pv.mirror_id},
                       {"state", static_cast<int>(pv.state)}});
    }
    Json lvs = Json::array();
    for (const auto& entry : vg.lvs) {
        const LVM::LV& lv = entry.second;
        lvs.push_back({{"uuid", lv.uuid},
                       {"orig_uuid", lv.orig_uuid},
                       {"device", lv.device},
                       {"pvs", lv.pvs},
                       {"state", lv.state}});
    }
    return {{"name", vg.name},
            {"uuid", vg.uuid},
            {"orig_name", vg.orig_name},
            {"orig_uuid", vg.orig_uuid},
            {"vendor", vg.vendor},
            {"pvs", pvs},
            {"lvs", lvs},
            {"metadata", vg.metadata}};
}

Json devicesToJson(const LVM::DeviceInfoList& devices) {
    Json rows = Json::array();
    for (const LVM::DeviceVGInfo& row : devices) {
        rows.push_back({{"device", row.device}, {"vendor", row.vendor}, {"vg_name", row.vg_name}});
    }
    return rows;
}

std::string jsonText(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void printGroup(std::ostream& out, const LVM::VG& vg) {
    printTable(out, {{"Group", vg.name},
                     {"uuid", vg.uuid},
                     {"vendor", vg.vendor},
                     {"captured as", vg.orig_name + " (uuid " + vg.orig_uuid + ")"},
                     {"metadata", std::to_string(vg.metadata.size()) + " bytes"}});

    std::vector<std::vector<std::string>> pvs = {
        {"DEVICE", "UUID", "UUID WHEN CAPTURED", "STATE", "MIRROR"}};
    for (const auto& entry : vg.pvs) {
        const LVM::PV& pv = entry.second;
        pvs.push_back({pv.device, pv.uuid, pv.orig_uuid, pvStateName(pv.state), pv.mirror_id});
    }
    out << "\nPhysical volumes: " << vg.pvs.size() << "\n";
    printTable(out, pvs);

    std::vector<std::vector<std::string>> lvs = {
        {"DEVICE", "UUID", "UUID WHEN CAPTURED", "STATE", "ON"}};
    for (const auto& entry : vg.lvs) {
        const LVM::LV& lv = entry.second;
        std::vector<std::string> on;
        for (const std::string& id : lv.pvs) {
            auto pv = vg.pvs.find(id);
            on.push_back(pv != vg.pvs.end() && !pv->second.device.empty() ? pv->second.device : id);
        }
        lvs.push_back({lv.device, lv.uuid, lv.orig_uuid, lvStateName(lv.state), joined(on, ",")});
    }
    out << "\nLogical volumes: " << vg.lvs.size() << "\n";
    printTable(out, lvs);
}

void printDevices(std::ostream& out, const LVM::DeviceInfoList& devices) {
    std::vector<std::vector<std::string>> rows = {{"DEVICE", "VENDOR", "GROUP"}};
    for (const LVM::DeviceVGInfo& row : devices) {
        rows.push_back({row.device, row.vendor, row.vg_name.empty() ? "-" : row.vg_name});
    }
    printTable(out, rows);
}

}  // namespace vbtool

// The captured metadata text: written record by record during discovery, read back into a
// VXDG for clone import and revert, and a volume's description cut down to chosen plexes.
//
// A capture is a sequence of records ended by ";", fields separated by "|", the first field the
// record kind:
//   dg|datadg|1234567890.12.hostA;pv|datadg01|EMC%5FSYMMETRIX%5F000197600123%5F0A1B;...
//   lv|vol01|5f0a6c4e-7b21-11ee-9d2a-005056a1b201|vol vol01\n\tuse_type=fsgen\n...;
//   lv_to_pv|vol01|EMC%5F...0A1B|EMC%5F...0A1C;
// A volume description may itself hold ";" or "|" (in a comment, say). Such a capture is written
// in the escaped form: it opens with the record "escaped;" and every ";", "|" and "\" inside a
// field is preceded by "\". Captures without those characters keep the plain form, byte for
// byte, and a plain capture is always read by plain cutting, so captures written before the
// escaped form existed read as they always did.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/ToolFile.h"
#include "vxvm/vxvm_internal.h"

namespace volbridge {
namespace vxvm {

namespace {

bool needsEscapes(const std::string& field) { return field.find_first_of(";|") != field.npos; }

void appendEscaped(std::string& out, std::string_view field) {
    for (char c : field) {
        if (c == ';' || c == '|' || c == '\\') out += '\\';
        out += c;
    }
}

bool isEscapedCapture(std::string_view text) {
    return text.compare(0, strlen(kEscapedCapture), kEscapedCapture) == 0;
}

// Collects non-empty fields into records, empty records left out.
class RecordCollector {
  public:
    void addChar(char c) { field_ += c; }
    void endField() {
        if (!field_.empty()) record_.push_back(std::move(field_));
        field_.clear();
    }
    void endRecord() {
        endField();
        if (!record_.empty()) records_.push_back(std::move(record_));
        record_.clear();
    }
    std::vector<std::vector<std::string>> take() {
        endRecord();
        return std::move(records_);
    }

  private:
    std::string field_;
    std::vector<std::string> record_;
    std::vector<std::vector<std::string>> records_;
};

bool isSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// The subdisk names of a plex record's "sd=" attribute: each entry is a name, ":" and further
// text, entries separated by ",":  sd=datadg02-02:0/0,datadg03-01:1/0
std::list<std::string> plexSubdisks(const char* value) {
    std::list<std::string> names;
    const char* p = value;
    for (;;) {
        const char* end = p;
        while (*end && !isSpace(*end) && *end != ':' && *end != ',') ++end;
        if (end > p) names.emplace_back(p, end);
        const char* comma = get_matching_pos_in_field(p, ',');
        if (!comma) break;
        p = comma + 1;
    }
    return names;
}

}  // namespace

void appendCapturedRecord(std::string& metadata, const std::vector<std::string>& fields) {
    bool escaped = isEscapedCapture(metadata);
    if (!escaped) {
        for (const std::string& field : fields) escaped = escaped || needsEscapes(field);
        // A plain text may not begin the way an escaped one does.
        escaped = escaped ||
                  (metadata.empty() && fields.size() == 1 && fields[0] + ";" == kEscapedCapture);
        if (escaped) {
            // Everything written so far holds no ";" or "|" inside a field: escaping it only
            // doubles its backslashes.
            std::string converted = kEscapedCapture;
            for (char c : metadata) {
                if (c == '\\') converted += '\\';
                converted += c;
            }
            metadata.swap(converted);
        }
    }
    bool first = true;
    for (const std::string& field : fields) {
        if (!first) metadata += '|';
        first = false;
        if (escaped) {
            appendEscaped(metadata, field);
        } else {
            metadata += field;
        }
    }
    metadata += ';';
}

std::vector<std::vector<std::string>> splitCapturedRecords(std::string_view text) {
    RecordCollector records;
    // An escaped capture starts with its marker record; only there does a backslash protect the
    // next ";", "|" or backslash.
    const bool escaped = isEscapedCapture(text);
    for (size_t i = escaped ? strlen(kEscapedCapture) : 0; i < text.size(); ++i) {
        const char c = text[i];
        if (escaped && c == '\\' && i + 1 < text.size() &&
            (text[i + 1] == ';' || text[i + 1] == '|' || text[i + 1] == '\\')) {
            records.addChar(text[++i]);
        } else if (c == ';') {
            records.endRecord();
        } else if (c == '|') {
            records.endField();
        } else {
            records.addChar(c);
        }
    }
    return records.take();
}

// One object record of "vxprint -g datadg -mr -v vol01": the type and name on the first line,
// then attribute lines that begin with a tab:
//   plex vol01-01
//   	compact=on
//   	...
//   	sd=datadg01-01:0
//   sd datadg01-01
const char* get_a_record(const char* p, std::string& type, std::string& name, std::string& record) {
    const char* start = p;
    const char* end = nullptr;
    for (const char* q = p; !end;) {
        const char* nl = strchr(q, '\n');
        if (!nl) {
            end = q + strlen(q);
        } else if (nl[1] != '\0' && isSpace(nl[1])) {
            q = nl + 1;
        } else {
            end = nl + 1;
        }
    }
    get_next_field(start, type, ' ');
    const char* afterType = start;
    while (*afterType && isSpace(*afterType)) ++afterType;
    afterType += std::min(type.size(), strlen(afterType));
    get_next_field(afterType, name, '\n');
    record.assign(start, end);
    return end;
}

void parse_metadata(LVM_vxvm::VXLV& lv, const char* description) {
    const Operation op("parse_metadata", unit::kVxvm);
    op.hook("parse_metadata");
    std::string type, name, record;
    for (const char* p = description; p && *p;) {
        p = get_a_record(p, type, name, record);
        if (type == "vol") {
            lv.vol_record = record;
        } else if (type == "plex") {
            lv.plex_records[name] = record;
            const size_t sd = record.find("\tsd=");
            if (sd != std::string::npos) {
                std::list<std::string> names = plexSubdisks(record.c_str() + sd + strlen("\tsd="));
                std::list<std::string>& sds = lv.plex_sds[name];
                sds.splice(sds.end(), names);
            }
        } else if (type == "sd") {
            lv.sd_records[name] = record;
            const size_t da = record.find("\tda_name=");
            if (da != std::string::npos) {
                const size_t from = da + strlen("\tda_name=");
                lv.sd_da_names[name] = record.substr(from, record.find('\n', from) - from);
            }
        } else {
            op.log(0, "Info: unknown field '%s' in metadata", type.c_str());
        }
    }
}

// The volume record's attribute line "\tuse_type=gen".
std::string volumeUsageType(const std::string& vol_record) {
    const size_t at = vol_record.find("\tuse_type=");
    if (at == std::string::npos) return "";
    const size_t from = at + strlen("\tuse_type=");
    return vol_record.substr(from, vol_record.find('\n', from) - from);
}

}  // namespace vxvm
}  // namespace volbridge

using volbridge::Origin;

void LVM_vxvm::lvMalloc(unsigned long size, char*& buffer) {
    buffer = static_cast<char*>(malloc(size));
    if (!buffer) {
        const int error = errno;
        char text[64];
        snprintf(text, sizeof text, "%lu", size);
        Origin{"LVM_vxvm::lvMalloc", volbridge::unit::kVxvm}.fail(
            std::string("Error: malloc for ") + text + " bytes failed with the error: '" +
            strerror(error) + "'");
    }
}

void LVM_vxvm::getFromMetadata(const char* metadata, VXDG& dg) {
    const Origin here{"LVM_vxvm::getFromMetadata", volbridge::unit::kVxvm};
    if (!metadata || !*metadata) return;
    // The records are cut from a private copy, released on every path.
    const size_t length = strlen(metadata);
    char* raw = nullptr;
    lvMalloc(length + 1, raw);
    std::unique_ptr<char, decltype(&free)> copy(raw, &free);
    memcpy(copy.get(), metadata, length + 1);

    for (const std::vector<std::string>& fields :
         volbridge::vxvm::splitCapturedRecords(std::string_view(copy.get(), length))) {
        const std::string& kind = fields[0];
        const auto field = [&](size_t i) { return i < fields.size() ? fields[i] : std::string(); };
        if (kind == "dg" || kind == "sdg") {
            dg.name = field(1);
            dg.dgid = field(2);
            dg.shared = kind == "sdg";
        } else if (kind == "CA") {
            dg.cluster_modes = field(1);
        } else if (kind == "pv") {
            dg.pvs[field(1)] = VXPV{field(2)};
        } else if (kind == "lv") {
            if (fields.size() < 4) {
                here.fail("Error: VXVM metadata for volume '" + field(1) + "' is NULL!");
            }
            VXLV lv;
            lv.uuid = fields[2];
            volbridge::vxvm::parse_metadata(lv, fields[3].c_str());
            dg.lvs[fields[1]] = lv;
        } else if (kind == "lv_to_pv") {
            auto lv = dg.lvs.find(field(1));
            if (lv == dg.lvs.end()) {
                here.fail("Error: LV to PV map for volume '" + field(1) +
                          "' is not present in the metadata!");
            }
            lv->second.pvs.insert(lv->second.pvs.end(), fields.begin() + 2, fields.end());
        }
    }
}

void LVM_vxvm::find_plexes(const VXLV& lv, std::list<std::string>& plexes) {
    for (const auto& entry : lv.plex_sds) {
        if (std::find(plexNames_.begin(), plexNames_.end(), entry.first) != plexNames_.end()) {
            plexes.push_back(entry.first);
        }
    }
}

// The volume record with its plex list replaced by `plexes`, then each chosen plex followed by
// its subdisks: a description "vxmake -d" can read.
void LVM_vxvm::modify_metadata(const VXLV& lv, const std::list<std::string>& plexes,
                               std::string& description) {
    const size_t tab = lv.vol_record.find("\tplex=");
    if (tab == std::string::npos) return;
    description = lv.vol_record.substr(0, tab) + "\tplex=";
    bool first = true;
    for (const std::string& plex : plexes) {
        if (!first) description += ',';
        description += plex;
        first = false;
    }
    const size_t eol = lv.vol_record.find('\n', tab + 1);
    if (eol == std::string::npos) return;
    description += '\n';
    description += lv.vol_record.substr(eol + 1);
    for (const auto& [plex, subdisks] : lv.plex_sds) {
        if (std::find(plexes.begin(), plexes.end(), plex) == plexes.end()) continue;
        auto record = lv.plex_records.find(plex);
        if (record != lv.plex_records.end()) description += record->second;
        for (const std::string& sd : subdisks) {
            auto sdRecord = lv.sd_records.find(sd);
            if (sdRecord != lv.sd_records.end()) description += sdRecord->second;
        }
    }
}

void LVM_vxvm::writeLVMetadata(const std::string& path, const std::string& text) {
    const Origin here{"LVM_vxvm::writeLVMetadata", volbridge::unit::kVxvm};
    try {
        volbridge::writeToolFile(here, path, text);
    } catch (const YbException&) {
        throw;
    } catch (...) {
        here.fail("Unknown Exception:Unable to write LVM metadata");
    }
}

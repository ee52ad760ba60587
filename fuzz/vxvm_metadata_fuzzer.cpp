// libFuzzer target for the readers of captured VxVM metadata and of volume descriptions.
//
// For any input: getFromMetadata may refuse it, but nothing may crash or leak; the object
// records of a description, concatenated, are the description again; and records written with
// appendCapturedRecord read back field for field (the input is cut into records at byte 0x1f
// and into fields at byte 0x1e for that).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "LVM/LVM.h"
#include "QuietLog.h"
#include "core/Markers.h"
#include "host/YbException.h"
#include "vxvm/vxvm_internal.h"

namespace {

[[noreturn]] void broken(const char* what, const std::string& a, const std::string& b = "") {
    fprintf(stderr, "%s\n--- first\n%s\n--- second\n%s\n", what, a.c_str(), b.c_str());
    abort();
}

std::vector<std::string> cut(const std::string& text, char separator) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == separator) {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    return pieces;
}

void descriptionRecordsCoverTheText(const char* description) {
    std::string joined, type, name, record;
    for (const char* p = description; *p;) {
        const char* next = volbridge::vxvm::get_a_record(p, type, name, record);
        if (next <= p) broken("get_a_record did not advance", description);
        joined += record;
        p = next;
    }
    if (joined != description) {
        broken("records do not add up to the description", description, joined);
    }
    LVM_vxvm::VXLV lv;
    volbridge::vxvm::parse_metadata(lv, description);
}

void writtenRecordsReadBack(const std::string& input) {
    std::string text;
    std::vector<std::vector<std::string>> expected;
    for (const std::string& recordText : cut(input, '\x1f')) {
        std::vector<std::string> fields = cut(recordText, '\x1e');
        volbridge::vxvm::appendCapturedRecord(text, fields);
        std::vector<std::string> kept;
        for (std::string& f : fields) {
            if (!f.empty()) kept.push_back(f);
        }
        if (!kept.empty()) expected.push_back(kept);
    }
    if (volbridge::vxvm::splitCapturedRecords(text) != expected) {
        broken("written records read back differently", input, text);
    }
}

}  // namespace

// Step hooks look for their markers in a directory that does not exist, not in /tmp.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    volbridge::markerDirectory() = "/nonexistent/volbridge-fuzz-markers";
    vbfuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A NUL ends the text, as it does for every caller that holds the text as a C string.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text = input.c_str();

    LVM_vxvm backend;
    LVM_vxvm::VXDG dg;
    try {
        backend.getFromMetadata(text.c_str(), dg);
    } catch (const YbException&) {
    }
    for (const auto& [name, lv] : dg.lvs) {
        std::list<std::string> plexes;
        for (const auto& entry : lv.plex_sds) plexes.push_back(entry.first);
        std::string description;
        backend.modify_metadata(lv, plexes, description);
        LVM_vxvm::VXLV again;
        volbridge::vxvm::parse_metadata(again, description.c_str());
    }

    descriptionRecordsCoverTheText(text.c_str());
    writtenRecordsReadBack(text);
    return 0;
}

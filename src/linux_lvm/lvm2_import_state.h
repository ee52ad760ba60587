// What LVM2 clone import and revert keep between runs, in the library's state directory
// (core/ImportLock.h): the host's import lock, held by one import from its listing of the groups
// to the restore of the new group, so that two imports never choose the same name (a revert holds
// it from its first look at the devices to its restore), and the journal
//
//   lvm2-import.journal  one line "<backup-time group id> <backup-time PV id> <new PV id>" for each
//                        PV about to be re-initialised, written to stable storage before the
//                        pvcreate runs, so that a run killed half-way can be finished by running it
//                        again: its copy then carries an identity that only this journal knows.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "core/ImportLock.h"
#include "core/Origin.h"

namespace volbridge {
namespace lvm2 {

// The lock, held for the object's lifetime, and the journal, which is read and written only while
// the lock is held.
class ImportState {
  public:
    // Takes the host's import lock (ImportLock), waiting for another import that holds it.
    explicit ImportState(const Origin& at);
    ImportState(const ImportState&) = delete;
    ImportState& operator=(const ImportState&) = delete;

    // The backup-time id of the PV whose copy an earlier run of group `vg_id` was giving the id
    // `current`; empty when no run was.
    std::string recordedOrigin(const std::string& vg_id, const std::string& current) const;

    // Notes that the copy of PV `pv_id` of group `vg_id` is about to get the id `fresh`; on stable
    // storage when this returns. Throws from the constructor's origin when it cannot be written.
    void record(const std::string& vg_id, const std::string& pv_id, const std::string& fresh);

    // Drops the lines of group `vg_id` whose new id is one of `fresh_ids`: the run that gave them
    // (or a later one that finished its work) is done with them. A failure is only logged.
    void forget(const std::string& vg_id, const std::set<std::string>& fresh_ids);

  private:
    struct Line {
        std::string vg;
        std::string pv;
        std::string fresh;
    };
    std::string journalPath() const;
    std::vector<Line> readJournal() const;

    Origin at_;
    ImportLock lock_;
    std::string directory_;
};

}  // namespace lvm2
}  // namespace volbridge

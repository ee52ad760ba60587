// What LVM2 clone import and revert keep between runs, in the library's state directory
// (core/ImportLock.h): the host's import lock, held by one import or revert from its first look
// at the host (the groups there, the names taken, the devices) to its last change, so that two
// imports never choose the same name or take each other's disks, and the journal
//
//   lvm2-import.journal  one line "<backup-time group id> <backup-time PV id> <new PV id> <device>"
//                        for each PV about to be re-initialised, written to stable storage before
//                        the pvcreate runs. A run stopped from then on (killed, the power gone)
//                        leaves a copy whose identity only this journal knows: the caller's map
//                        reaches its file only when the caller gets the result. The lines stay
//                        until a run of that group on those devices finishes, so that running the
//                        same import or revert again recognises the copies and finishes the work.
#pragma once

#include <list>
#include <set>
#include <string>
#include <vector>

#include "core/ImportLock.h"
#include "core/Operation.h"

namespace volbridge {
namespace lvm2 {

// The lock, held for the object's lifetime, and the journal, which is read and written only while
// the lock is held.
class ImportState {
  public:
    // Takes the host's import lock (ImportLock), waiting for another import that holds it.
    explicit ImportState(const Operation& op);
    ImportState(const ImportState&) = delete;
    ImportState& operator=(const ImportState&) = delete;

    // The backup-time id of the PV whose copy an earlier run of group `vg_id` was giving the id
    // `current`; empty when no run was.
    std::string recordedOrigin(const std::string& vg_id, const std::string& current) const;

    // Whether the journal has a line of group `vg_id`: a run of it did not finish.
    bool knows(const std::string& vg_id) const;

    // Notes that `device`, the copy of PV `pv_id` of group `vg_id`, is about to get the id
    // `fresh`; on stable storage when this returns. Throws from the operation when it cannot be
    // written.
    void record(const std::string& vg_id, const std::string& pv_id, const std::string& fresh,
                const std::string& device);

    // Drops the line of group `vg_id` whose new id is `fresh`: no device got it.
    void forget(const std::string& vg_id, const std::string& fresh);

    // A run of group `vg_id` on `devices` finished: drops the group's lines of those devices,
    // those of runs that were stopped included, and the group's lines without a device (written
    // by an earlier release) whose new id is one of `ids`. A failure is only logged.
    void finished(const std::string& vg_id, const std::list<std::string>& devices,
                  const std::set<std::string>& ids);

  private:
    struct Line {
        std::string vg;
        std::string pv;
        std::string fresh;
        std::string device;  // empty in lines of an earlier release
    };
    std::string journalPath() const;
    std::vector<Line> readJournal() const;
    // Keeps the lines for which `keep` holds; a failure to write the journal is only logged.
    template <class Keep>
    void rewrite(Keep keep);

    const Operation& op_;
    ImportLock lock_;
    std::string directory_;
};

}  // namespace lvm2
}  // namespace volbridge

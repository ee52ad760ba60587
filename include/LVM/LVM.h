// volbridge: one interface over the volume managers a snapshot-based backup agent works with.
//
// The agent asks a backend which group a device belongs to and which disks carry it, keeps the
// group's captured metadata, and at restore time hands that metadata back to re-create a group
// from cloned disks (clone import), to revert live volumes onto rolled-back disks, or to remove a
// group it created. Records are plain values owned by the caller; backend objects are created by
// the caller and deleted through the virtual destructor.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "host/CWmError.h"
#include "host/YbException.h"

#if defined(VOLBRIDGE_BUILDING)
#define VOLBRIDGE_API __attribute__((visibility("default")))
#else
#define VOLBRIDGE_API
#endif

// Mirror state of a disk.
enum PV_STATE : int32_t {
    PV_ACTIVE = 1,
    PV_STALE = 2,
    PV_STATE_UNKNOWN = 16,
};

// Which stage of a revert is running (passed to file-system mount control).
enum RevertPhase : int32_t {
    RP_PREPARE = 0,
    RP_REVERT = 1,
    RP_LOCAL = 2,
    RP_CANCEL = 3,
    RP_DESTROY = 4,
    RP_NO_UNMOUNT = 5,
};

class VOLBRIDGE_API LVM {
  public:
    // One physical volume (a disk of the group).
    struct PV {
        std::string orig_uuid;  // identifier when the group's metadata was captured
        std::string uuid;       // current identifier; key in VG::pvs
        std::string device;     // OS device path
        std::string mirror_id;  // empty unless the disk carries one side of a mirror
        PV_STATE state = PV_ACTIVE;
    };

    // One logical volume.
    struct LV {
        std::string orig_uuid;       // identifier at capture time
        std::string uuid;            // current identifier; key in VG::lvs
        std::string device;          // block device path through which the volume is used
        std::list<std::string> pvs;  // uuids of the PVs that hold the volume
        int32_t state = 1;           // 4: a mirror that is not fully synchronised
    };

    // One volume group.
    struct VG {
        std::string orig_uuid;          // the group's identifier when its metadata was captured
        std::string uuid;               // current identifier
        std::string orig_name;          // name at capture time
        std::string name;               // current name
        std::string vendor;             // backend that produced the record ("LinuxLVM", ...)
        std::string metadata;           // the backend's captured description of the group
        std::map<std::string, LV> lvs;  // keyed by LV uuid
        std::map<std::string, PV> pvs;  // keyed by PV uuid
    };

    // One row of a device listing.
    struct DeviceVGInfo {
        std::string device;   // device path of a PV or disk
        std::string vendor;   // backend vendor name
        std::string vg_name;  // group of the device; empty when it belongs to none
    };
    typedef std::list<DeviceVGInfo> DeviceInfoList;

    // The group holding the volume at device path `dev`, with its PVs, LVs and metadata; an
    // empty record when no group holds it.
    virtual VG getVGByLVDevice(const char* dev) = 0;
    // The group whose uuid is `uuid`; an empty record when there is none.
    virtual VG getVGByUUID(const char* uuid) = 0;
    // Whether the live group `vg` can be reverted in place from the disks `pv_dev_list`.
    virtual bool canRevert(const VG& vg, const char* metadata,
                           const std::list<std::string>& pv_dev_list) = 0;
    // Takes the affected volumes out of service before the disks are rolled back.
    virtual bool prepRevertLV(const VG& vg, const char* metadata,
                              const std::list<std::string>& pv_dev_list) = 0;
    virtual void getRevertStateData(std::string& data) { (void)data; }
    virtual void setRevertStateData(const std::string& data) { (void)data; }
    // Undoes prepRevertLV after an abandoned revert.
    virtual bool cancelRevertLV(const char* metadata,
                                const std::list<std::string>& pv_dev_list) = 0;
    // Brings up a new group from cloned disks; the map goes from backup-time PV identifiers to
    // the identifiers the devices carry now and is updated with the new ones.
    virtual VG recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                          std::map<std::string, std::string>& old2new_uuid_map) = 0;
    // Brings the live group back onto the reverted disks.
    virtual VG revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                         std::map<std::string, std::string>& old2new_uuid_map) = 0;
    // Removes a group made by recreateVG.
    virtual void destroyVG(const char* vg_name) = 0;
    virtual void getVGfromMetadata(const std::string& metadata, VG& vg) {
        (void)metadata;
        (void)vg;
    }
    virtual ~LVM();
    virtual bool unmountFS(const std::string& fs, bool force) {
        (void)fs;
        (void)force;
        return true;
    }
    virtual bool mountFS(const std::string& fs, const std::string& node_file, RevertPhase phase,
                         bool read_only) {
        (void)fs;
        (void)node_file;
        (void)phase;
        (void)read_only;
        return true;
    }
    virtual bool suspendFS(const std::string& fs) {
        (void)fs;
        return true;
    }
    virtual bool resumeFS(const std::string& fs) {
        (void)fs;
        return true;
    }
    // A new backend whose vendor name is `vendor`, compared exactly (case-sensitive); null for a
    // name no backend has. The caller owns the object and deletes it through this class.
    static LVM* getByVendor(const char* vendor);

    // The devices the backend manages, with their groups. Not supported here: error 50.
    virtual CWmError getPVList(DeviceInfoList& list) {
        (void)list;
        return FXErrorUtil::ErrorWin32(
            FXCodeLocation("LVM", "virtual CWmError LVM::getPVList(LVM::DeviceInfoList&)", 231),
            50);
    }
};

// The Linux LVM2 backend (vendor "LinuxLVM").
class VOLBRIDGE_API LVM_linux_lvm : public LVM {
  public:
    static constexpr const char* vendor = "LinuxLVM";

    // Runs no command.
    LVM_linux_lvm();
    ~LVM_linux_lvm() override;

    VG getVGByLVDevice(const char* dev) override;
    VG getVGByUUID(const char* uuid) override;
    bool canRevert(const VG& vg, const char* metadata,
                   const std::list<std::string>& pv_dev_list) override;
    bool prepRevertLV(const VG& vg, const char* metadata,
                      const std::list<std::string>& pv_dev_list) override;
    bool cancelRevertLV(const char* metadata, const std::list<std::string>& pv_dev_list) override;
    VG recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                  std::map<std::string, std::string>& old2new_uuid_map) override;
    VG revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                 std::map<std::string, std::string>& old2new_uuid_map) override;
    void destroyVG(const char* vg_name) override;
    // One row per PV device ("pvdisplay -c"), appended to `list`.
    CWmError getPVList(DeviceInfoList& list) override;

    // All LVM2 groups that have at least one LV, in "lvs" order; with `with_lvs` each entry
    // also has its visible, non-snapshot LVs. A failed listing gives an empty list.
    static std::list<VG> getVGs(bool with_lvs);
    // Refreshes vg.metadata with LVM2's description of the group named vg.name as it is now
    // (which must be the group vg.uuid, when that is set) and fills its PVs and LVs from it; a PV
    // that LVM2 cannot find has no device and the state PV_STATE_UNKNOWN.
    static void populateVG(VG& vg);

    // The cached group list, filled by the operations that need it when it is empty.
    const std::list<VG>& cachedVGs() const { return vgList_; }
    void setCachedVGs(const std::list<VG>& vgs) { vgList_ = vgs; }

  private:
    std::list<VG> vgList_;
};

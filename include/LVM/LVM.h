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
#include <memory>
#include <string>
#include <vector>

#include "host/CWmError.h"
#include "host/YbException.h"

#if defined(VOLBRIDGE_BUILDING)
#define VOLBRIDGE_API __attribute__((visibility("default")))
#else
#define VOLBRIDGE_API
#endif

class EvDebug;

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
    // ---- choosing a backend; the caller owns the object and deletes it through this class ----
    // The backend that manages the device path `dev`, or null when none claims it: VxVM for any
    // path under "/dev/vx/" (nothing is run or examined), else GPFS when its file-system query
    // says `dev` is a GPFS file system, else LVM2 when `dev` is a block device with the device
    // number of an LVM2 LV (the backend is handed the group listing it was found in, so that
    // its getVGByLVDevice lists nothing again). Throws YbException ("Failed to stat ...") when
    // `dev` is neither under "/dev/vx/" nor a GPFS file system and cannot be examined.
    static LVM* getByLVDevice(const char* dev);
    // A new backend whose vendor name is `vendor`, compared exactly (case-sensitive); null for a
    // name no backend has.
    static LVM* getByVendor(const char* vendor);
    // Every device of every backend, in the order VxVM, LinuxLVM, GPFS, each row marked with
    // its backend's vendor. `list` is cleared first. When a backend's listing fails, its error
    // is returned with this function's location added, and `list` keeps the rows of the
    // backends asked before it.
    static CWmError getAllPVList(DeviceInfoList& list);
    // The vendor names of the backends, in the order getAllPVList asks them ("VxVM",
    // "LinuxLVM", "GPFS").
    static std::vector<std::string> vendors();
    // The vendor name of the backend class of `backend`; empty for a class the library does not
    // provide.
    static std::string vendorOf(const LVM& backend);

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

// The VxVM backend (vendor "VxVM"). A disk group is the VG, its disks (by udid) are the PVs and
// its volumes (by guid) the LVs; the captured metadata holds the group's identity, its disks and
// each volume's configuration description, as written by discovery.
//
// Besides the interface, the class declares the steps its operations are made of (discovery,
// the captured-metadata reader, tagging, revert and destroy steps), so that they can be driven
// one at a time.
class VOLBRIDGE_API LVM_vxvm : public LVM {
  public:
    static constexpr const char* vendor = "VxVM";

    // One disk as captured.
    struct VXPV {
        std::string uuid;  // the disk's udid at capture time
    };

    // One volume as captured: its guid, the udids of its disks and its configuration
    // description cut into object records.
    struct VXLV {
        std::string uuid;
        std::list<std::string> pvs;
        std::string vol_record;                                  // the "vol" record
        std::map<std::string, std::string> plex_records;         // plex name -> record
        std::map<std::string, std::list<std::string>> plex_sds;  // plex name -> subdisk names
        std::map<std::string, std::string> sd_records;           // subdisk name -> record
        std::map<std::string, std::string> sd_da_names;          // subdisk -> disk access name
    };

    // One disk group as captured. An empty record stands for nothing captured.
    struct VXDG {
        std::string name;
        std::string dgid;
        std::map<std::string, VXLV> lvs;  // by volume name
        std::map<std::string, VXPV> pvs;  // by disk media name
        bool shared = false;
        std::string cluster_modes;
    };

    // Whether a disk group is created for this host only or for the cluster.
    enum class Sharing { Private, Shared };
    // What the entries of a disk list name.
    enum class DiskNames { AccessNames, OsDevices };

    // Runs no command.
    LVM_vxvm();
    ~LVM_vxvm() override;
    LVM_vxvm(const LVM_vxvm&) = delete;
    LVM_vxvm& operator=(const LVM_vxvm&) = delete;

    VG getVGByLVDevice(const char* dev_path) override;
    // Never throws: an id no group has, or any failure, gives an empty record.
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
    // One row per disk path that belongs to a disk group ("vxdisk -qe path"), appended to
    // `list`; success with no rows where VxVM is not installed.
    CWmError getPVList(DeviceInfoList& list) override;

    // ---- disk naming and fields ----
    // The disk group of a volume device path ("/dev/vx/dsk/<group>/<volume>").
    void getDGName(const std::string& dev_path, std::string& dg_name);
    // The OS device path of the disk `dm_name` of the group; `path` is left as it was when the
    // group lists no such disk.
    void getDiskOSName(const std::string& dg_name, const std::string& dm_name, std::string& path);
    // 0 and the disk's udid (left as it was when the listing has none), or 1 when the command
    // failed.
    int getDiskUuid(const std::string& dg_name, const char* dm_name, std::string& udid);
    // The same for the on-disk "udid_asl".
    int getOnDiskUuid(const std::string& dg_name, const char* dm_name, std::string& udid);
    // Disk access names of the group, appended to `names`.
    void getDiskList(const char* dg_name, std::list<std::string>& names);
    // Column `field` of the row of "vxdisk -qe path" whose first column is the base name of
    // `os_dev` (1: disk access name, 2: disk media name); empty when there is none.
    void getDiskField(const std::string& os_dev, int field, std::string& value);
    // The udid of the disk of the group that the OS device belongs to.
    void getDiskidFromOSName(const std::string& dg_name, const std::string& os_dev,
                             std::string& udid);
    std::string convertDiskNameToDAName(const std::string& name);
    std::string convertDANameToDiskName(const std::string& name);

    // ---- discovery ----
    // Fills `vg` with the group `dg_name`; the identities in `captured` (empty in plain
    // discovery) go to the orig_* fields.
    void populateDG(const std::string& dg_name, VG& vg, VXDG& captured);
    void getDGParameters(const std::string& dg_name, VG& vg, const std::string& orig_name,
                         const std::string& orig_uuid);
    void populatePV(VG& vg, const std::map<std::string, VXPV>& captured);
    void populateLV(VG& vg, const std::map<std::string, VXLV>& captured);
    void fillPVList(const std::string& dg_name, const std::string& volume, LV& lv);
    // Names of the imported disk groups, appended to `names`.
    void getDGList(std::list<std::string>& names);
    bool isDGPresent(const std::string& dg_name);

    // ---- captured metadata ----
    // Allocates `size` bytes (released with free) or throws.
    static void lvMalloc(unsigned long size, char*& buffer);
    // Reads a captured metadata text into `dg`, which the caller passes freshly constructed.
    void getFromMetadata(const char* metadata, VXDG& dg);
    // Appends the plex names of `lv` that are among the plexes chosen for revert.
    void find_plexes(const VXLV& lv, std::list<std::string>& plexes);
    // The description of `lv` reduced to `plexes`; `description` is left as it was when the
    // volume record lists no plexes.
    void modify_metadata(const VXLV& lv, const std::list<std::string>& plexes,
                         std::string& description);
    // Writes a description file for vxmake (created exclusively, mode 0600).
    void writeLVMetadata(const std::string& path, const std::string& text);

    // ---- clone import ----
    // Tags every disk with "yb_" + the first disk's access name (into `tag`): 0, or 1 on failure.
    int tagDisks(const std::list<std::string>& disks, std::string& tag);
    // Removes the tag from every disk; failures are logged.
    void detagDisks(const std::list<std::string>& disks, const std::string& tag);
    void createDG(const std::string& dg_name, const std::string& disk, Sharing sharing);

    // ---- revert ----
    void revert(const VXDG& dg, const std::list<std::string>& pv_dev_list, const char* metadata,
                std::map<std::string, std::string>& old2new_uuid_map);
    // Adds to the chosen plexes every captured plex whose disks are all among `da_names`.
    void getRevertedPLs(const VXDG& dg, const std::list<std::string>& pv_dev_list,
                        const std::list<std::string>& da_names);
    void revert_plexes(const VXDG& dg, const char* temp_dir, std::string& description_file,
                       std::map<std::string, std::string>& new2old_disks);
    // Names of the volumes of `vg` that use any of the disks, sorted, without repeats.
    void getLVsOnPVs(const VG& vg, const std::list<std::string>& pv_dev_list,
                     std::list<std::string>& volumes);
    // The plexes chosen for revert so far.
    const std::list<std::string>& revertPlexNames() const { return plexNames_; }

    // ---- destroy ----
    void rmGroup(const char* vg_name);
    void rmDisks(const std::list<std::string>& disks, DiskNames names);
    void rmDisksAndGroup(const std::string& vg_name, const std::list<std::string>& disks);
    // Flushes and deports the group.
    bool cleanup(const VG& vg, const std::list<std::string>& pv_dev_list);

    // ---- diagnostics ----
    // Writes VxVM's view of the disks to the debug log, when its level is above 2.
    void printVXVMStatus(const char* label, const std::list<std::string>& disks,
                         const char* metadata);
    void printVXVMStatus(const char* label);

  private:
    // The steps of the longer operations, defined beside them.
    struct CloneSteps;
    struct RevertSteps;
    struct DestroySteps;

    std::unique_ptr<EvDebug> debug_;
    std::list<std::string> plexNames_;
};

// The cluster a GPFS file system belonged to when its metadata was captured.
struct GPFSClusterInfo {
    std::string clusterId;         // the cluster id printed by mmlscluster
    std::list<std::string> nodes;  // node names, in the order they were captured
};

// The metadata text of a GPFS file system, read back.
struct GPFSMetadata {
    std::string fsName;        // file-system (device) name, without "/dev/"
    std::string fsId;          // file-system identifier; may contain ":"
    std::string mmsdrfsData;   // the cluster configuration file, byte for byte
    std::string mmfsNodeData;  // the node configuration file, byte for byte
    GPFSClusterInfo cluster;
    std::string excludeList;    // ";"-separated NSD names outside the snapshotted failure group
    int32_t failureGroup = -1;  // failure group whose disks were snapshotted; -1: every disk
};

// The GPFS backend (vendor "GPFS"). One GPFS file system is the group: its NSDs are the PVs and
// the file system itself is the one LV. The metadata holds the cluster configuration, the file
// system's identity and the identity of every disk, as a token text.
class VOLBRIDGE_API LVM_gpfs : public LVM {
  public:
    static constexpr const char* vendor = "GPFS";

    // Runs no command; takes the job id from the host.
    LVM_gpfs();
    ~LVM_gpfs() override;

    VG getVGByLVDevice(const char* dev) override;
    VG getVGByUUID(const char* uuid) override;
    // True when the disks `pv_dev_list` carry exactly the disk identifiers captured in
    // `metadata` (device paths may differ). `vg` is not used.
    bool canRevert(const VG& vg, const char* metadata,
                   const std::list<std::string>& pv_dev_list) override;
    // Records the nodes that have vg.name mounted, unmounts it everywhere and exports it.
    bool prepRevertLV(const VG& vg, const char* metadata,
                      const std::list<std::string>& pv_dev_list) override;
    // Imports the file system again from the file prepRevertLV exported it to.
    bool cancelRevertLV(const char* metadata, const std::list<std::string>& pv_dev_list) override;
    // Imports the captured file system into this (another) cluster from cloned disks. Neither
    // `pv_dev_list` nor the map is read or changed.
    VG recreateVG(const std::list<std::string>& pv_dev_list, const char* metadata,
                  std::map<std::string, std::string>& old2new_uuid_map) override;
    // Imports the file system from the captured cluster configuration and mounts it on all nodes.
    VG revertLVs(const std::list<std::string>& pv_dev_list, const char* metadata,
                 std::map<std::string, std::string>& old2new_uuid_map) override;
    // Removes a file system made by recreateVG; a missing one is logged and left.
    void destroyVG(const char* vg_name) override;
    // Unmounts `fs` on all nodes (forced when `force`).
    bool unmountFS(const std::string& fs, bool force) override;
    // Mounts `fs`: on the nodes listed in `node_file` when one is given, else read-only when
    // `read_only`, else on this node for RP_LOCAL and on all nodes for every other phase.
    bool mountFS(const std::string& fs, const std::string& node_file, RevertPhase phase,
                 bool read_only) override;
    bool suspendFS(const std::string& fs) override;
    bool resumeFS(const std::string& fs) override;
    // One row per NSD served by the local node: its device, vendor "GPFS" and the NSD name.
    // A host without GPFS has no rows.
    CWmError getPVList(DeviceInfoList& list) override;

    // ---- discovery ----
    // 0 when `dev` names a GPFS file system, 1 otherwise or when the test cannot run.
    static int isGPFSFileSystem(const std::string& dev);
    // The text after the last "/" of `dev`; 0 on success, 1 on failure.
    int getGPFSFileSystemNamefromDevice(const std::string& dev, std::string& fsName);
    // The name of the file system whose identifier is `fsId`; 0 on success, 1 on failure.
    int getGPFSFileSystemNamefromUuid(const std::string& fsId, std::string& fsName);
    // Name, identifier, vendor and metadata items 1-4 of the file system `fs`.
    void getFSParameters(const std::string& fs, VG& vg, const std::string* orig_name,
                         const std::string* orig_uuid);
    // The disk identifier in the descriptor of `dev`; 1 when the command failed, else 0 (also
    // when `diskId` came back empty).
    int getDiskIdfromDevice(const std::string& dev, std::string& diskId);
    void populatePV(VG& vg, const std::map<std::string, std::string>* pvMap);
    void populateLV(VG& vg, const std::map<std::string, std::string>* lvMap,
                    const std::string* orig_name);
    // getFSParameters, populatePV and populateLV; the maps are the captured ones of
    // parseMetadata, null when there are none.
    void populateFS(const std::string& fs, VG& vg, const std::string* orig_name,
                    const std::string* orig_uuid, const std::map<std::string, std::string>* pvMap,
                    const std::map<std::string, std::string>* lvMap);

    // ---- disk identity ----
    // Adds diskId + "#" + NSD name + ":" + NSD volume id under the local device path of every
    // snapshotted disk of `fs`; checks the descriptor quorum of a failure-group capture and
    // extends the exclude list. Throws on every failure.
    bool generatePVId(std::string fs, std::map<std::string, std::string>& idMap);
    // Splits captured pvIds into device -> diskId and NSD name -> NSD volume id; false on the
    // first malformed pvId.
    bool parsePVId(const std::map<std::string, std::string>& pvMap,
                   std::map<std::string, std::string>& diskIdMap,
                   std::map<std::string, std::string>& nsdMap);

    // ---- metadata ----
    // Replaces `out` with the identity, the two configuration files and the cluster.
    void collectFSMetadata(const std::string& fsName, const std::string& fsId, std::string& out);
    // Reads the metadata text; the maps are filled only when they are empty on entry. Sets the
    // unique id, the failure group and the exclude list.
    void parseMetadata(const std::string& text, GPFSMetadata& md,
                       std::map<std::string, std::string>& pvMap,
                       std::map<std::string, std::string>& lvMap);
    // Appends the non-empty pieces of `text` between occurrences of `delimiter`.
    static void ToKenize(const std::string& text, std::vector<std::string>& pieces,
                         const std::string& delimiter);
    void setJobId(const long long& id);
    std::string getJobId() const;
    // The unique id is kept with a trailing "_".
    void setUniqueId(const std::string& id);
    std::string getUniqueId() const;

    // ---- clone import ----
    // Writes the captured cluster configuration to `path`, or to the temp directory's
    // "mmsdrfsExport_" file when `path` is empty.
    bool writeMmsdrfsFile(const std::string& data, const std::string& path,
                          std::string* written_path);
    // Writes the NSD stanza file naming this node as the server of every NSD of `nsdMap` (and of
    // the excluded NSDs of a failure-group capture). `md`, `diskIdMap` and `spare_path` are not
    // used.
    bool writeStanzaFile(GPFSMetadata& md, std::map<std::string, std::string>& diskIdMap,
                         std::map<std::string, std::string>& nsdMap, std::string* stanza_path,
                         std::string* spare_path);
    // Imports `fs` from `import_file` (or the file the prepare phase exported to), with the
    // stanza file when one is given.
    bool importFS(const std::string& fs, const std::string& import_file,
                  const std::string& stanza_file);
    // Exports `fs` to `path` (or to the temp directory's "gpfsRevExport_" file); a failure's
    // output and error text are appended to `error_text` when given.
    bool exportFS(const std::string& fs, const std::string& path, std::string* error_text);
    // Excludes the NSDs of the exclude list from `fs`.
    bool excludeFGDisks(const std::string& fs);

    // ---- revert and teardown ----
    // Takes vg.name out of the cluster for `phase`: unmounts it (not for RP_NO_UNMOUNT) and
    // exports it. A failed export in the destroy and local phases removes the file system and
    // its NSDs by force.
    bool cleanFS(const VG& vg, const std::list<std::string>& pv_dev_list, RevertPhase phase);
    // Imports md.fsName again: for RP_REVERT from the captured cluster configuration, for every
    // other phase from the file the prepare phase exported to. Only `md` and `phase` are used.
    bool revert(GPFSMetadata& md, std::map<std::string, std::string>& pvMap,
                std::map<std::string, std::string>& lvMap,
                const std::list<std::string>& pv_dev_list, const char* metadata, RevertPhase phase);
    // Stop or start the ";"-separated NSDs `disks` of `fs`, or rebalance `fs`; `out` receives
    // the command's output.
    bool stopDisks(const std::string& fs, const std::string& disks, std::string& out);
    bool startDisks(const std::string& fs, const std::string& disks, std::string& out);
    bool restripeFS(const std::string& fs, std::string& out);

    // ---- mount control and temporary files ----
    // Writes the nodes that have `fs` mounted, one per line, to the temp directory's
    // "gpfsMNodeList_" file; false when that file cannot be written.
    bool getMountNodes(const std::string& fs, std::string& nodes);
    // Removes `path`, or with an empty `path` every temporary file of the backend named with the
    // current unique id and job id (always true then).
    bool cleanTemp(const std::string& path);

  protected:
    std::string m_jobId;
    std::string m_uniqueId;
    std::string m_excludeList;
    int32_t m_failureGroup;
};

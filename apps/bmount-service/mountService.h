// The service's state and the operations behind its interfaces: the mount
// table (saved before a change is reported), the backend that attaches
// volumes, the disks' lock files and claims (host/disk.h), and the fault
// plan. One thread calls it;
// every operation that refuses says why in a description.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "com/hresult.h"
#include "faultPlan.h"
#include "host/disk.h"
#include "mountTable.h"
#include "partitions.h"

// GetVolumes of a disk that has none.
#define BMOUNT_E_NO_VOLUMES COM_HRESULT(0x8004020Bu)

// What an operation came to: S_OK, or a failure and the text that explains it.
struct Outcome {
  HRESULT hr = S_OK;
  std::string description;

  bool Ok() const { return SUCCEEDED(hr); }
  static Outcome Fail(HRESULT hr, std::string description) { return {hr, std::move(description)}; }
};

// Returns the system's text for a system error code ("error <n>" when none).
std::string ServiceErrorText(int code);

class MountService {
 public:
  MountService(std::unique_ptr<Backend> backend, std::string faultPlanPath);
  ~MountService();
  MountService(const MountService &) = delete;
  MountService &operator=(const MountService &) = delete;

  // Loads the saved table of the current host prefix and takes the disks'
  // locks again. A table that is missing, damaged or cut short is rebuilt
  // from what the backends find attached. False (with *error) when the table
  // cannot be read at all: serving then would overwrite mounts that still
  // exist.
  bool Start(std::string *error);
  // Saves the table and lets go of the disks' locks (the mounts stay).
  void Stop();

  FaultPlan &Faults() { return faults_; }
  // True while a volume is attached: the service must not stop by itself.
  bool Busy() const;

  // Whether a disk path can be opened as a disk.
  Outcome CheckDisk(const std::string &path) const;
  // Creates a mount (not attached) of a volume; *id receives its id.
  Outcome CreateMount(const std::string &disk, int32_t volume, const VolumeExtent &extent,
                      int32_t *id);
  bool HasMount(int32_t id);
  Outcome UnknownMount(int32_t id) const;
  // Attaches mount id as the drive whose bit is set in driveMask.
  Outcome Attach(int32_t id, uint32_t driveMask);
  // Detaches and forgets mount id; a mount never attached is just forgotten.
  Outcome Detach(int32_t id, bool force);
  // Interface objects for a mount keep a mount that was never attached alive;
  // when the last one goes, such a mount is discarded.
  void HoldMount(int32_t id);
  void DropMount(int32_t id);
  // Listing texts of the attached mounts in increasing id order, then the
  // fault plan's.
  std::vector<std::string> Listing();

  MountTable &Table() { return table_; }

 private:
  // Saves the table; flush also brings it to the disk (the changes a crash
  // of the machine must not lose).
  Outcome Save(bool flush);
  void KeepDamagedTable();
  // Replaces the table by what the backends find of this prefix's mounts
  // (the records read so far only name their disks). Nothing is taken down.
  // True when there is anything to save.
  bool Rebuild();
  // The backend that attached record (restored records may name another one
  // than new mounts use), or NULL when it cannot be used here.
  Backend *BackendFor(const MountRecord &record);
  // Drops restored mounts that no longer exist and lets every backend in use
  // clear away what it left without a record. True when the table changed.
  bool AdoptMounts();
  // Opens and claims the disk of record for attaching, after checking that
  // no attached mount and no loop device covers it and that the volume lies
  // within it.
  Outcome ClaimDisk(const MountRecord &record, HostDisk *disk);
  // A refusal when an attached mount other than record's is on the same
  // disk as disk.
  Outcome AttachedOverlap(const MountRecord &record, const HostDisk &disk);
  // A refusal when an attached mount or a loop device covers disk. A loop
  // device is looked for up to checks times, a moment apart, since one let
  // go of just now may still be on its way out.
  Outcome Covered(const MountRecord &record, const HostDisk &disk, int checks);
  void KeepClaim(MountRecord *record, const HostDisk &disk);
  // Lets go of the disk's lock file and claim.
  void UnlockDisk(MountRecord *record);

  std::unique_ptr<Backend> backend_;
  std::map<std::string, std::unique_ptr<Backend>> otherBackends_;
  FaultPlan faults_;
  std::string tablePath_;
  MountTable table_;
  std::map<int32_t, int> holds_;
  std::map<int32_t, HostDisk> claims_;
  bool unsaved_ = false;  // the table in memory differs from the saved one
};

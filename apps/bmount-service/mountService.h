// The service's state and the operations behind its interfaces: the mount
// table (saved before a change is reported), the backend that attaches
// volumes, the disks' lock files and claims (host/disk.h), and the fault
// plan. One call at a time runs it (com/server.h), but for what touches a
// disk's storage, which lets other calls in: the opening of a disk, the
// reading of its volumes, an attach, the write-out of a volume before its
// detach (see Attach, Detach). Every operation that refuses says why in a
// description.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "com/hresult.h"
#include "diskImage.h"
#include "faultPlan.h"
#include "host/disk.h"
#include "mountTable.h"
#include "partitions.h"
#include "storageDaemon.h"

// GetVolumes of a disk that has none.
#define BMOUNT_E_NO_VOLUMES COM_HRESULT(0x8004020Bu)

// What an operation came to: S_OK, or a failure and the text that explains it.
struct Outcome {
  HRESULT hr = S_OK;
  std::string description;

  bool Ok() const { return SUCCEEDED(hr); }
  static Outcome Fail(HRESULT hr, std::string description) { return {hr, std::move(description)}; }
};

// One file of an attached disk, held open and claimed: exclusively what may
// be written (the top and its extent files), shared what is only read (the
// parents), so that no other opener writes a parent under a child.
struct DiskClaim {
  std::string file;
  bool shared = false;
  HostDisk disk;
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
  // True while a volume is attached or a daemon lingers: the service must
  // not stop by itself. Ends the lingering daemons whose users let go.
  bool Busy();

  // Whether a disk path can be opened as a disk: the file, and what QEMU's
  // block layer makes of it and its parents.
  Outcome CheckDisk(const std::string &path);
  // The volumes of the disk at path, read through a raw view of it when it
  // is not a raw file.
  Outcome ReadDiskVolumes(const std::string &path, std::vector<VolumeExtent> *volumes);
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
  // A daemon whose volume was detached while its loop device still had users
  // (forced, or readers of the device itself): those keep working, and the
  // disk stays claimed, until the device lets go.
  struct Lingering {
    int32_t id = 0;
    int32_t loop = -1;
    std::string view;  // the export file the loop device presents
    std::unique_ptr<StorageDaemon> daemon;
    std::vector<DiskClaim> claims;
    std::string lockedDisk;  // whose lock file is held; "" for none
    // Its end, under way on a thread of its own until it is finished here.
    // Last: it goes first, waiting for that thread, which uses the daemon.
    std::future<void> ending;
  };

  // A daemon that opens disks to read their volumes, and whether a call
  // reads one through it now.
  struct Look {
    std::unique_ptr<StorageDaemon> daemon;
    std::string name;   // of its folder
    bool kept = false;  // between looks
    bool busy = false;
  };

  // Attach, once no other attach goes on, while other calls are served:
  // what they may touch too it touches in turn (com/server.h).
  Outcome AttachAside(int32_t id, uint32_t driveMask);
  // Detach, once no attach or other detach goes on.
  Outcome DetachNow(int32_t id, bool force);
  // Probes the disk image at path (from the cache when it still holds).
  Outcome OpenImage(const std::string &path, DiskImage *image,
                    DiskImageCache::Seen *seen = nullptr);
  // CheckDisk's and ReadDiskVolumes' work, done while other calls are
  // served: it touches only the probe cache, and a look daemon of its own
  // (TakeLook).
  Outcome OpenDiskAside(const std::string &path);
  Outcome ReadVolumesAside(const std::string &path, std::vector<VolumeExtent> *volumes);
  // This prefix's daemon folder as the kernel names it (links resolved).
  const std::string &KernelDaemonBase();
  // A regular file daemon pid has open that is neither one of known nor in
  // the daemon's own folder (below the daemon folder); "" for none.
  std::string OpenedUnchecked(long pid, const std::vector<DiskClaim> &known,
                              const std::string &folder);
  // Refuses a disk that names files its owner could not open as they would
  // be, by their names: read (every file), or, when writing, the top
  // layer's extents read and written.
  Outcome OwnerMayUse(const std::string &path, const DiskImage &image, bool writing);
  // Starts the daemon of a mount of a non-raw disk and exports the disk;
  // *started receives it.
  Outcome StartDaemon(MountRecord *record, const DiskImage &image,
                      std::unique_ptr<StorageDaemon> *started);
  // Ends the daemon of a mount in order (or cleans up after one that died).
  void EndDaemon(MountRecord *record);
  // The same for the daemon of record (NULL: none running here).
  void FinishDaemon(const MountRecord &record, StorageDaemon *daemon);
  // Ends a running daemon in order; id names it in the log.
  void StopDaemon(int32_t id, StorageDaemon *daemon);
  // Keeps the daemon of a detached mount, with the disk's claim, for the
  // users its loop device still has.
  void Linger(MountRecord *record);
  // Ends the lingering daemons whose loop device let go (begin false: only
  // finishes those that have ended), each on a thread of its own: one whose
  // end is under way is finished by the first call after it.
  void EndLingering(bool begin = true);
  // Starts the end of a lingering daemon; true when it goes on elsewhere,
  // false when it is over.
  bool BeginEnding(Lingering *lingering);
  // Waits (aside, from a call) for the ends under way, and finishes them.
  void AwaitLingering();
  // Lets go of a lingering daemon's disk.
  void Unclaim(Lingering *lingering);
  // Lets go of every disk's locks and claims, attached or lingering; the
  // mounts and daemons stay.
  void LetGoOfDisks();
  // Hands the locks and claims of the disks that stay attached to a keeper
  // process (host/keeper.h), so that none goes while no service runs.
  void KeepDisks();
  // Takes over what the keeper of the instance before holds.
  void TakeKeptDisks();
  // The claims of mount id that were kept, else those that can be taken
  // again; guarded as those of record's disk (NULL: an image's).
  std::vector<DiskClaim> ClaimKeptOrAgain(int32_t id, const std::string &disk,
                                          const MountRecord *record);
  // Whether record's disk is a raw one.
  bool IsRaw(const MountRecord &record);
  // Holds the lock file of mount id's disk: the one kept, else anew; both
  // only beside the file diskHandle has open (-1: none held; then beside the
  // disk its name leads to, if any).
  bool LockKeptOrAgain(int32_t id, const std::string &disk, int diskHandle);
  // Lets go of what was kept for mounts that are no more.
  void DropKept();
  // Whether loop device number presents file.
  bool LoopPresents(int32_t number, const std::string &file);
  // Waits until loop device number no longer presents file, looking up to
  // checks times, a moment apart; false when it still does.
  bool WaitLoopLetGo(int32_t number, const std::string &file, int checks);
  // The daemon record of the daemon whose export file is file, as its folder
  // tells, or "" when file is none.
  std::string DaemonOfExport(const std::string &file) const;
  // Takes over the daemons of the restored mounts, and the lingering ones.
  void AdoptDaemons();
  // The export a mount's daemon presents its volume through.
  std::string MountExport(const DaemonRecord &daemon) const;
  // Takes over as lingering the daemons no mount owns whose export a loop
  // device still presents; adds their names to keep.
  void AdoptLingering(std::vector<std::string> *keep);
  // A look daemon for this call alone (not yet started, or not alive, may
  // be), waited for up to kLookWait while others have them all; NULL then.
  Look *TakeLook();
  // Gives a look daemon back: the first is kept ready, another ended.
  void GiveBackLook(Look *look);
  // Ends a look daemon, or all of them.
  void StopLook(Look *look);
  void StopLooks();

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
  // Sets the view of every daemon's volume to its export: asking its device
  // for its tag asks the export, which a daemon that stopped answering never
  // does.
  void KnowExports();
  // Drops restored mounts that no longer exist and lets every backend in use
  // clear away what it left without a record. True when the table changed.
  bool AdoptMounts();
  // Has the backends remove what no record owns; with onlyWhereKept, only
  // those that found some of it in use last time.
  void RemoveStrays(bool onlyWhereKept);
  // Opens and claims every file of the disk of record for attaching (image:
  // what it is), after checking that no attached mount and no loop device
  // covers one and that the volume lies within the disk.
  Outcome ClaimDisk(const MountRecord &record, const DiskImage &image,
                    std::vector<DiskClaim> *claims);
  // Opens and claims one file of the disk of record; subject names it in a
  // refusal. rawTop: the file is a raw disk's top (see DeniesWriters).
  Outcome ClaimFile(const MountRecord &record, const std::string &subject, DiskClaim *claim,
                    bool rawTop);
  // Opens and claims the files of disk again after a restart, as far as
  // they can be: nothing when the top cannot be. A raw top whose claim the
  // loop device loop (-1: none) holds is opened without it.
  std::vector<DiskClaim> ClaimAgain(const std::string &disk, int32_t loop);
  // A refusal when a file of an attached mount other than record's, or of a
  // lingering daemon's disk, is disk, or disk lies on it, unless both are
  // only read (shared).
  Outcome AttachedOverlap(const MountRecord &record, const std::string &subject,
                          const HostDisk &disk, bool shared);
  // A refusal when an attached mount or a loop device covers disk. A loop
  // device is looked for up to checks times, a moment apart, since one let
  // go of just now may still be on its way out.
  Outcome Covered(const MountRecord &record, const std::string &subject, const HostDisk &disk,
                  bool shared, int checks);
  // Refuses a disk whose top layer, about to be written, is damaged.
  Outcome CheckBeforeWriting(const MountRecord &record, const DiskImage &image);
  // Whether disk names the disk of the attached mount other.
  bool IsDiskOf(const MountRecord &other, const std::string &disk);
  void KeepClaim(MountRecord *record, std::vector<DiskClaim> claims);
  // Lets go of the disk's lock file and claim.
  void UnlockDisk(MountRecord *record);

  std::unique_ptr<Backend> backend_;
  std::map<std::string, std::unique_ptr<Backend>> otherBackends_;
  FaultPlan faults_;
  std::string tablePath_;
  MountTable table_;
  std::map<int32_t, int> holds_;
  std::map<int32_t, int> lost_;                       // by mount id, the error that lost writes
  std::map<int32_t, int> flushing_;                   // by mount id, a write-out that goes on
  std::map<int32_t, std::vector<DiskClaim>> claims_;  // by mount id, the top first
  bool unsaved_ = false;
  DiskImageCache images_;
  std::string daemonBase_;      // bmount/qemu: one folder per qemu-storage-daemon
  std::string daemonBaseReal_;  // as the kernel names it, once looked up
  std::once_flag daemonBaseOnce_;
  // The daemons that open disks to read their volumes, taken only aside:
  // one for each image read at once.
  std::mutex looksLock_;  // over the list, and which are taken
  std::condition_variable lookFree_;
  std::vector<std::unique_ptr<Look>> looks_;
  std::atomic<uint32_t> lookIds_{0};  // disks the look daemons have opened
  // While others are served: the mount being attached, whether its image
  // is being checked, and the detaches going on.
  int32_t attaching_ = 0;
  bool checking_ = false;
  int detaching_ = 0;
  int looking_ = 0;  // calls that read a disk's volumes aside
  std::map<int32_t, std::unique_ptr<StorageDaemon>> daemons_;  // by mount id
  std::vector<Lingering> lingering_;
  // What the keeper held, by mount id, until it is taken up.
  struct Kept {
    std::string lockedDisk;
    int lock = -1;  // the handle of its lock file
    std::vector<DiskClaim> claims;
  };
  std::map<int32_t, Kept> kept_;
  std::string runFolder_;  // where the keeper listens
};

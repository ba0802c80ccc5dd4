// How attached volumes become reachable: a backend turns a mount record
// into a drive entry and takes it away again. "record" describes the volume
// in a file and links the drive to it; "loop" sets the volume up on a loop
// device and mounts its file system, linking the drive to the mount point.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mountTable.h"

// The environment variable that picks the backend when --backend is not
// given (same values).
constexpr char kBackendVariable[] = "BRENIX_MOUNT_BACKEND";

// How long a detach waits for the volume's writes: the service serves
// nobody else meanwhile, and a client gives up on a call after 60 s.
constexpr int kBackendFlushMs = 10000;

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char *Name() const = 0;
  // True when the backend reads the disk's bytes itself, so that a disk that
  // is not a raw file needs a raw view (MountRecord::view) to attach.
  virtual bool ReadsDisk() const { return false; }
  // Makes the volume of *record reachable as drive record->letter, and notes
  // in *record what it set up (saved with the table). Returns 0 or a system
  // error code (EEXIST when the drive entry exists already); on failure
  // nothing is left behind, and *why (when given) may tell more than the
  // code's text.
  virtual int Attach(MountRecord *record, std::string *why) = 0;
  // Takes the drive away. Returns 0 or a system error code: EBUSY when the
  // volume is in use and force is false (nothing changed then); force
  // detaches even a volume in use. A drive entry removed by hand meanwhile is
  // no error.
  virtual int Detach(const MountRecord &record, bool force) = 0;
  // A plain Detach that also writes out what was written to the volume up
  // to its unmount, as Flush does (*pending as there): when that fails, the
  // volume stays attached, and *written receives the failure, which is also
  // returned; otherwise *written is 0.
  virtual int DetachWrittenOut(const MountRecord &record, int * /*pending*/, int *written) {
    *written = 0;
    return Detach(record, false);
  }
  // Writes out what the volume holds unwritten. Returns 0, or
  // the system error of a write that failed since the last look: its data is
  // lost; a HOST_ERROR_TIMED_OUT code when the writing takes too long, and
  // goes on as *pending (see HostMount_Flush).
  virtual int Flush(const MountRecord &, int * /*pending*/) { return 0; }
  // Makes Flush report every failure from now on: Attach does it, and the
  // start for a mount it takes over.
  virtual void Watch(const MountRecord &) {}
  // At start, for a restored record of this backend: true when what it
  // describes still exists; false when it is gone, after whatever was left
  // of it has been removed.
  virtual bool Adopt(const MountRecord &) { return true; }
  // At start, after adoption: removes what this backend made for this host
  // prefix that none of the records owns (the traces of a crash).
  virtual void RemoveStrays(const std::vector<const MountRecord *> &) {}
  // Whether the last RemoveStrays left some of it as it was, in use: it is
  // looked at again before a new mount.
  virtual bool KeptStrays() const { return false; }
  // At start, when the saved table is lost or damaged: adds to *found the
  // mounts this backend made for this host prefix, told by what outlives
  // the service (the kernel's devices and mounts, its own files, the drive
  // entries). What it finds but cannot account for it leaves as it is and
  // logs. *highestId is raised to the largest mount id seen, accounted for
  // or not.
  virtual void Recover(std::vector<MountRecord> *, int32_t *) {}

  // Called with the name of each step of Attach and Detach once it is taken,
  // so that a fault plan can stop the service there.
  void SetStepHook(std::function<void(const char *)> hook) { stepHook_ = std::move(hook); }

 protected:
  void Step(const char *name) {
    if (stepHook_) {
      stepHook_(name);
    }
  }

 private:
  std::function<void(const char *)> stepHook_;
};

// Where the drive entry of letter leads, or "" when there is none.
std::string Backend_DriveTarget(char letter);

// The path of a daemon's export (a volume's view) as the kernel names the
// file a loop device presents: its folder's links resolved, the file itself,
// which the daemon serves, not asked. "" when the folder cannot be resolved.
std::string Backend_KernelName(const std::string &view);

// Returns the backend of that name ("" picks by kBackendVariable, else the
// default: loop where this process can use it, record otherwise), or NULL
// with *error saying why it cannot be used.
std::unique_ptr<Backend> Backend_Make(const std::string &name, std::string *error);
std::unique_ptr<Backend> Backend_MakeRecord(void);
// NULL with *error when this process cannot use loop devices.
std::unique_ptr<Backend> Backend_MakeLoop(std::string *error);

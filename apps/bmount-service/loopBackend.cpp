// The loop backend: a volume is set up on a loop device limited to its byte
// range; when a file system is recognised on it, it is mounted at
// bmount/mnt/<l> and drives/<l>: links there, otherwise drives/<l>: links to
// the device itself. Every device carries a tag naming this host prefix and
// the mount id, so that a restarted service can tell which devices are its
// own. Until the table is saved a device frees itself when the service lets
// go of it, so a crash half-way leaves at most a mount under bmount/mnt/,
// which the next start takes down unless something uses it. When the table
// is lost, the tags, the mounts and the drive entries tell the mounts again
// (the disk then by the kernel's name of the backing file).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "backend.h"
#include "host/disk.h"
#include "host/drives.h"
#include "host/lastError.h"
#include "host/loop.h"
#include "host/mount.h"
#include "host/prefix.h"
#include "host/stateFile.h"
#include "partitions.h"
#include "serviceLog.h"

namespace {

// A loop device held for the length of a call: its descriptor is closed on
// every path, unless HostLoop_Free closed it before.
struct HeldDevice : HostLoopDevice {
  HeldDevice() = default;
  HeldDevice(const HeldDevice &) = delete;
  HeldDevice &operator=(const HeldDevice &) = delete;
  ~HeldDevice() { Close(); }
  void Close() { HostLoop_Close(this); }
};

// A disk held for the length of a scope, with its claim.
struct HeldDisk : HostDisk {
  HeldDisk() = default;
  HeldDisk(const HeldDisk &) = delete;
  HeldDisk &operator=(const HeldDisk &) = delete;
  ~HeldDisk() { HostDisk_Close(this); }
};

const char kTagWord[] = "bmount-service";
// Half the largest write the storage daemon's FUSE export takes at once
// (1 MiB), leaving room for a request that starts within a page.
constexpr unsigned kFuseRequestKb = 512;

std::string DevicePath(int number) {
  char path[32];
  HostLoop_Path(number, path, sizeof path);
  return path;
}

// Removes the drive entry when it still leads to target: one that leads
// elsewhere was put there by someone else after ours went away.
int RemoveDriveLeadingTo(char letter, const std::string &target) {
  if (Backend_DriveTarget(letter) != target) {
    return 0;
  }
  int rc = HostDrives_Remove(letter);
  return rc != 0 && Host_ErrorKind(rc) != HOST_ERROR_NOT_FOUND ? rc : 0;
}

class LoopBackend : public Backend {
 public:
  LoopBackend() = default;
  LoopBackend(const LoopBackend &) = delete;
  LoopBackend &operator=(const LoopBackend &) = delete;
  ~LoopBackend() override {
    while (!watches_.empty()) {
      Unwatch(watches_.begin()->first);
    }
  }

  const char *Name() const override { return "loop"; }
  bool ReadsDisk() const override { return true; }

  int Attach(MountRecord *record, std::string *why) override {
    int rc = Paths();
    if (rc != 0) {
      return rc;
    }
    std::string point = MountPoint(record->letter);
    if (!MountsBelow(point).empty()) {
      return Host_ErrorCode(HOST_ERROR_EXISTS);
    }
    rc = HostState_MakeDir(mnt_.c_str());
    if (rc == 0) {
      rc = HostState_MakeDir(point.c_str());
    }
    if (rc != 0) {
      return rc;
    }
    HeldDevice device;
    if (!record->view.empty()) {
      HeldDisk view;
      int code = 0;
      if (HostDisk_Open(record->view.c_str(), !record->diskReadOnly, &view, &code) !=
          HostDiskOpen::Opened) {
        HostState_RemoveDir(point.c_str());
        return code != 0 ? code : Host_ErrorCode(HOST_ERROR_OTHER);
      }
      rc = HostLoop_AttachUnpunched(view.fd, record->diskReadOnly || view.readOnly, record->offset,
                                    record->length, Tag(record->id).c_str(), &device);
      // The loop driver completes a write it passed on in part as written:
      // one that FUSE splits, and whose second half fails (the image's file
      // system full), would be lost unseen. Within one FUSE request, which
      // the daemon answers whole, a failure reaches the volume.
      if (int limited = rc == 0 ? HostLoop_LimitRequests(&device, kFuseRequestKb) : 0;
          limited != 0) {
        ServiceLog(HOSTLOG_WARNING, "mount %d: the requests of %s cannot be bounded: %s",
                   record->id, DevicePath(device.number).c_str(), Text(limited).c_str());
      }
      // The daemon takes a hole punched in its export for a discard, which
      // an image may ignore: zeroes asked of the device so (an ext4's inode
      // tables, say) would be told written and not be.
      if (int kept = rc == 0 ? HostLoop_KeepFromPunching(&device) : 0; kept != 0) {
        ServiceLog(HOSTLOG_WARNING, "mount %d: %s cannot be kept from punching holes: %s",
                   record->id, DevicePath(device.number).c_str(), Text(kept).c_str());
      }
    } else {
      // The service's own descriptor, so that the file set up is the one it
      // checked and claimed.
      rc = record->diskHandle >= 0
               ? HostLoop_AttachHandle(record->diskHandle, record->diskReadOnly, record->offset,
                                       record->length, Tag(record->id).c_str(), &device)
               : HostLoop_Attach(record->disk.c_str(), record->offset, record->length,
                                 Tag(record->id).c_str(), &device);
      // A device once set up over a view keeps its bound after it is freed.
      if (rc == 0) {
        HostLoop_LimitRequests(&device, 0);
      }
    }
    if (rc != 0) {
      HostState_RemoveDir(point.c_str());
      return rc;
    }
    Step("MountAs.device");
    std::string devicePath = DevicePath(device.number);
    char *type = HostMount_FileSystemType(devicePath.c_str());
    int unread = type == nullptr ? Host_GetLastError() : 0;
    std::string target = devicePath;
    if (unread != 0) {
      // What the volume holds is unknown: handed out bare, a file system
      // on it would go unmounted, and the attach be told a success.
      rc = unread;
      ServiceLog(HOSTLOG_WARNING, "mount %d: %s cannot be read: %s", record->id, devicePath.c_str(),
                 Text(rc).c_str());
      if (why != nullptr) {
        *why = "its first blocks cannot be read: " + Text(rc);
      }
    } else if (type != nullptr) {
      // What the volume's owner saved in it may reach past the volume.
      char *refused = HostMount_Refusal(devicePath.c_str(), type);
      rc = refused != nullptr ? EPERM : Host_GetLastError();
      std::string text;
      if (rc != 0) {
        text = refused != nullptr ? refused : "its first blocks cannot be read: " + Text(rc);
        ServiceLog(HOSTLOG_WARNING, "mount %d: %s: %s", record->id, devicePath.c_str(),
                   text.c_str());
      } else {
        Step("MountAs.checked");
        if ((rc = HostMount_Mount(devicePath.c_str(), type, point.c_str(), device.readOnly)) != 0) {
          ServiceLog(HOSTLOG_WARNING, "mount %d: %s file system on %s cannot be mounted: %s",
                     record->id, type, devicePath.c_str(), Text(rc).c_str());
          // The bare code does not say which file system (one the kernel
          // has no driver for gives "No such device"). A volume rewritten
          // since its check, whose mount was kept from another device,
          // says why.
          refused = HostMount_Refusal(devicePath.c_str(), type);
          text = refused != nullptr
                     ? refused
                     : std::string("its ") + type + " file system cannot be mounted: " + Text(rc);
        }
      }
      free(refused);
      if (rc != 0 && why != nullptr) {
        *why = text;
      }
      Step("MountAs.mounted");
      target = point;
    } else {
      // Nothing will hold the device but its drive entry.
      rc = HostLoop_SetAutoFree(&device, false);
    }
    free(type);
    if (rc == 0) {
      rc = HostDrives_CreateLink(record->letter, target.c_str());
      if (rc != 0 && target == point) {
        HostMount_Unmount(point.c_str(), true);
      }
    }
    if (rc != 0) {
      HostLoop_Free(&device);
      HostState_RemoveDir(point.c_str());
      return rc;
    }
    Step("MountAs.linked");
    if (target != point) {
      HostState_RemoveDir(point.c_str());
    }
    record->loop = device.number;
    record->mounted = target == point;
    Watch(*record);
    return 0;
  }

  void Watch(const MountRecord &record) override {
    Unwatch(record.id);
    HeldDevice device;
    if (Paths() != 0 || OpenDevice(record, &device) != 0 || device.fd < 0) {
      return;
    }
    int fd = device.fd, copy = -1;
    if (record.mounted) {
      // Not the mount itself: a descriptor on it would keep it busy.
      fd = HostMount_OpenAside(MountPoint(record.letter).c_str(), &copy);
      struct stat root, own;
      // Not a file system stacked on ours.
      if (fd >= 0 &&
          (fstat(fd, &root) != 0 || fstat(device.fd, &own) != 0 || root.st_dev != own.st_rdev)) {
        close(fd);
        close(copy);
        fd = copy = -1;
      }
    } else {
      device.fd = -1;  // kept
    }
    if (fd >= 0) {
      watches_[record.id] = {fd, copy, MountPoint(record.letter)};
    }
  }

  int Flush(const MountRecord &record, int *pending) override {
    if (int rc = HostMount_AwaitFlush(pending, kBackendFlushMs); rc != 0 || Paths() != 0) {
      return rc;
    }
    std::string point = MountPoint(record.letter);
    HeldDevice device;
    if (int rc = OpenDevice(record, &device); Host_ErrorKind(rc) == HOST_ERROR_TIMED_OUT) {
      return rc;  // its writes would wait as long
    }
    // A volume in use is refused as such at once, not after its writes.
    if (InUse(record, point, &device)) {
      return 0;
    }
    auto watch = watches_.find(record.id);
    if (watch != watches_.end()) {
      return HostMount_FlushThrough(watch->second.fd, kBackendFlushMs, pending);
    }
    // Without a descriptor kept from the attach, a failure another process
    // was told of first goes unseen.
    if (record.mounted) {
      return MountedHere(record, point) ? HostMount_Flush(point.c_str(), kBackendFlushMs, pending)
                                        : 0;
    }
    return device.fd >= 0 ? HostMount_FlushThrough(device.fd, kBackendFlushMs, pending) : 0;
  }

  int Detach(const MountRecord &record, bool force) override {
    int written = 0;
    return Take(record, force, nullptr, &written);
  }

  int DetachWrittenOut(const MountRecord &record, int *pending, int *written) override {
    return Take(record, false, pending, written);
  }

  // With pending, what was written up to the unmount is written out.
  int Take(const MountRecord &record, bool force, int *pending, int *written) {
    *written = 0;
    int rc = Paths();
    if (rc != 0) {
      return rc;
    }
    std::string point = MountPoint(record.letter);
    HeldDevice device;
    rc = OpenDevice(record, &device, force);
    if (!force && Host_ErrorKind(rc) == HOST_ERROR_TIMED_OUT) {
      return rc;  // whether it is in use cannot be told
    }
    if (!force && InUse(record, point, &device)) {
      return Host_ErrorCode(HOST_ERROR_BUSY);
    }
    // What is written until the unmount, by a process that opens and closes
    // a file meanwhile, is written out by the last user of the file system:
    // the copy kept, rather than the unmount, whose failure nobody sees.
    auto watch = watches_.find(record.id);
    bool check =
        pending != nullptr && record.mounted && watch != watches_.end() && watch->second.copy >= 0;
    if (!check) {
      Unwatch(record.id);  // the file system stays until it is let go
    }
    if (record.mounted) {
      // Forced, whatever is stacked on our mount goes with it (lazily: its
      // users keep it until they let go).
      size_t onPoint = 0;
      if (force) {
        for (const auto &m : MountsBelow(point)) {
          onPoint += m.first.empty() ? 1 : 0;
        }
      }
      rc = HostMount_Unmount(point.c_str(), force);
      for (size_t i = 1; rc == 0 && i < onPoint; i++) {
        rc = HostMount_Unmount(point.c_str(), true);
      }
      if (rc != 0 && Host_ErrorKind(rc) != HOST_ERROR_INVALID &&
          Host_ErrorKind(rc) != HOST_ERROR_NOT_FOUND) {
        if (!check) {
          Watch(record);
        }
        return rc;
      }
      if (check && rc != 0) {
        Unwatch(record.id);  // unmounted by hand: nothing is left to write
      } else if (check && (*written = WrittenOut(record, point, pending)) != 0) {
        return *written;
      }
      Step("Unmount.unmounted");
    }
    auto freeDevice = [&] {
      if (device.fd >= 0) {
        int freed = HostLoop_Free(&device);
        if (freed != 0) {
          ServiceLog(HOSTLOG_WARNING, "mount %d: %s cannot be freed: %s", record.id,
                     DevicePath(record.loop).c_str(), Text(freed).c_str());
        }
        Step("Unmount.freed");
      }
    };
    // What the entry leads to goes first, as the file system did: a crash
    // in between leaves an entry the next start finds dangling, not a
    // volume that nobody can reach.
    if (!record.mounted) {
      freeDevice();
    }
    rc = RemoveDriveLeadingTo(record.letter, record.mounted ? point : DevicePath(record.loop));
    Step("Unmount.unlinked");
    if (record.mounted) {
      freeDevice();
    }
    HostState_RemoveDir(point.c_str());
    return rc;
  }

  bool Adopt(const MountRecord &record) override {
    if (Paths() != 0) {
      return true;  // cannot tell: keep it
    }
    std::string point = MountPoint(record.letter);
    HeldDevice device;
    if (int rc = OpenDevice(record, &device); Host_ErrorKind(rc) == HOST_ERROR_TIMED_OUT) {
      ServiceLog(HOSTLOG_WARNING, "mount %d: %s does not answer; kept as it is", record.id,
                 DevicePath(record.loop).c_str());
      return true;
    }
    bool present = device.fd >= 0;
    if (present && record.mounted) {
      std::string source = DevicePath(record.loop);
      present = false;
      for (const auto &m : MountsBelow(point)) {
        present = present || (m.first.empty() && m.second == source);
      }
    }
    device.Close();
    if (present) {
      return true;
    }
    // Not forced: a table that reads well may still be wrong, and what it
    // misses may be a live mount, which the stray scan then leaves alone.
    ServiceLog(HOSTLOG_WARNING, "mount %d: its loop device or mount is gone; removing the rest",
               record.id);
    MountRecord rest = record;
    Detach(rest, false);
    return false;
  }

  bool KeptStrays() const override { return !keptSaid_.empty(); }

  // Adds what to *kept; true when it was not kept at the last pass, so that
  // a leftover looked at before every attach is logged once.
  bool Kept(const std::string &what, std::set<std::string> *kept) const {
    kept->insert(what);
    return keptSaid_.count(what) == 0;
  }

  void RemoveStrays(const std::vector<const MountRecord *> &owned) override {
    HostLoop_RemoveUnpunching();
    if (Paths() != 0) {
      return;
    }
    std::set<std::string> kept;
    std::set<std::string> ownedPoints;        // relative to mnt_
    std::map<int32_t, int32_t> ownedDevices;  // id -> device
    for (const MountRecord *r : owned) {
      if (r->mounted) {
        ownedPoints.insert(std::string(1, r->letter));
      }
      if (r->loop >= 0) {
        ownedDevices[r->id] = r->loop;
      }
    }
    // Never lazily: what is still in use may be a live mount whose record
    // was lost, and taking it away would pull it from under its users.
    std::set<std::string> strayPoints, keptPoints;
    for (const auto &m : MountsBelow(mnt_)) {
      std::string top = m.first.substr(0, m.first.find('/'));
      if (top.empty() || ownedPoints.count(top) != 0 || keptPoints.count(top) != 0 ||
          !strayPoints.insert(top).second) {
        continue;
      }
      std::string where = mnt_ + "/" + top;
      int rc = HostMount_Unmount(where.c_str(), false);
      if (Host_ErrorKind(rc) == HOST_ERROR_BUSY) {
        strayPoints.erase(top);
        keptPoints.insert(top);
        if (Kept(where, &kept)) {
          ServiceLog(HOSTLOG_WARNING,
                     "mount %s of %s is not in the table but in use; left as it is", where.c_str(),
                     m.second.c_str());
        }
        continue;
      }
      ServiceLog(HOSTLOG_WARNING, "stray mount %s of %s taken down%s%s", where.c_str(),
                 m.second.c_str(), rc == 0 ? "" : ": ", rc == 0 ? "" : Text(rc).c_str());
    }
    StrayScan scan{TagStart(), &ownedDevices, {}};
    HostLoop_ForEach(VisitDevice, &scan);
    std::set<std::string> freedDevices;
    for (const auto &stray : scan.strays) {
      HeldDevice device;
      if (HostLoop_Open(stray.first, stray.second.c_str(), &device) != 0) {
        continue;
      }
      std::string path = DevicePath(stray.first);
      if (HostLoop_InUseElsewhere(&device)) {
        if (Kept(path, &kept)) {
          ServiceLog(HOSTLOG_WARNING,
                     "loop device %s is not in the table but in use; left as it is", path.c_str());
        }
        continue;
      }
      int rc = HostLoop_Free(&device);
      freedDevices.insert(path);
      ServiceLog(HOSTLOG_WARNING, "stray loop device %s freed%s%s", path.c_str(),
                 rc == 0 ? "" : ": ", rc == 0 ? "" : Text(rc).c_str());
    }
    keptSaid_ = std::move(kept);
    std::set<char> ownedLetters;
    for (const MountRecord *r : owned) {
      ownedLetters.insert(r->letter);
    }
    for (char l = 'a'; l <= 'z'; l++) {
      if (ownedLetters.count(l) != 0 || keptPoints.count(std::string(1, l)) != 0) {
        continue;
      }
      std::string target = Backend_DriveTarget(l);
      if (target == MountPoint(l) || freedDevices.count(target) != 0) {
        HostDrives_Remove(l);
      }
      HostState_RemoveDir(MountPoint(l).c_str());
    }
  }

  void Recover(std::vector<MountRecord> *found, int32_t *highestId) override {
    if (Paths() != 0) {
      return;
    }
    std::map<int32_t, int32_t> none;
    StrayScan scan{TagStart(), &none, {}};  // with nothing owned, every device of ours
    HostLoop_ForEach(VisitDevice, &scan);
    std::map<int, int32_t> devices;  // device -> mount id
    for (const auto &d : scan.strays) {
      int32_t id = static_cast<int32_t>(atol(d.second.c_str() + scan.tagStart.size()));
      devices[d.first] = id;
      *highestId = std::max(*highestId, id);
    }
    std::map<std::string, std::string> mounts;  // mount point below mnt_ -> source
    for (const auto &m : MountsBelow(mnt_)) {
      mounts[m.first] = m.second;  // of mounts stacked on one point, the last is seen
    }
    std::set<int> claimed;
    for (char l = 'a'; l <= 'z'; l++) {
      std::string target = Backend_DriveTarget(l);
      bool onPoint = target == MountPoint(l);
      auto mount = mounts.find(std::string(1, l));
      std::string source = !onPoint ? target : mount != mounts.end() ? mount->second : "";
      auto device = devices.end();
      for (auto d = devices.begin(); d != devices.end(); ++d) {
        device = DevicePath(d->first) == source ? d : device;
      }
      if (device == devices.end() || !claimed.insert(device->first).second) {
        continue;
      }
      MountRecord r;
      r.id = device->second;
      r.letter = l;
      r.backend = Name();
      r.loop = device->first;
      r.mounted = onPoint;
      char *file = nullptr;
      int rc = HostLoop_Status(r.loop, &r.offset, &r.length, &file);
      if (rc != 0) {
        ServiceLog(HOSTLOG_WARNING, "%s: cannot be read: %s; left as it is", source.c_str(),
                   Text(rc).c_str());
        continue;
      }
      r.disk = file;
      free(file);
      r.volume = VolumeAt(r.disk, r.offset, r.length);
      found->push_back(r);
      if (onPoint) {
        mounts.erase(mount);
      }
    }
    for (const auto &d : devices) {
      if (claimed.count(d.first) == 0) {
        ServiceLog(HOSTLOG_WARNING,
                   "loop device %s of mount %d: no drive entry leads to it; left as it is",
                   DevicePath(d.first).c_str(), d.second);
      }
    }
    for (const auto &m : mounts) {
      ServiceLog(HOSTLOG_WARNING,
                 "mount %s/%s of %s: no drive entry accounts for it; left as it is", mnt_.c_str(),
                 m.first.c_str(), m.second.c_str());
    }
  }

 private:
  struct StrayScan {
    std::string tagStart;  // "bmount-service <prefix> "
    const std::map<int32_t, int32_t> *owned;
    std::vector<std::pair<int, std::string>> strays;  // device, tag
  };

  static void VisitDevice(int number, const char *tag, void *context) {
    auto *scan = static_cast<StrayScan *>(context);
    std::string text = tag;
    if (text.compare(0, scan->tagStart.size(), scan->tagStart) != 0) {
      return;
    }
    int32_t id = static_cast<int32_t>(atol(text.c_str() + scan->tagStart.size()));
    auto it = scan->owned->find(id);
    if (it == scan->owned->end() || it->second != number) {
      scan->strays.emplace_back(number, text);
    }
  }

  // The number of the volume of disk that lies at [offset, offset + length),
  // or 1 when the disk no longer shows one there (the number is kept only for
  // the record).
  static int32_t VolumeAt(const std::string &disk, uint64_t offset, uint64_t length) {
    std::vector<VolumeExtent> volumes;
    int error = 0;
    if (ReadVolumes(disk, &volumes, &error) == VolumeScan::Found) {
      for (size_t i = 0; i < volumes.size(); i++) {
        if (volumes[i].offset == offset && volumes[i].length == length) {
          return static_cast<int32_t>(i + 1);
        }
      }
    }
    ServiceLog(HOSTLOG_WARNING, "%s: no volume lies at byte %llu any more; counted as volume 1",
               disk.c_str(), static_cast<unsigned long long>(offset));
    return 1;
  }

  static std::string Text(int code) {
    char text[256];
    return Host_ErrorText(code, text, sizeof text) ? text : "error " + std::to_string(code);
  }

  // Fills in the paths of this prefix once. Returns 0 or a system error code.
  int Paths() {
    if (!mnt_.empty()) {
      return 0;
    }
    char *prefix = HostPrefix_Path();
    if (prefix == nullptr) {
      int rc = Host_GetLastError();
      return rc != 0 ? rc : Host_ErrorCode(HOST_ERROR_NOT_FOUND);
    }
    // FNV-1a: the tag must name the prefix in a few bytes; two prefixes
    // sharing one hash is as unlikely as it gets.
    uint64_t hash = 1469598103934665603ull;
    for (const char *p = prefix; *p != '\0'; p++) {
      hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
    }
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    prefixHash_ = hex;
    mnt_ = std::string(prefix) + "/bmount/mnt";
    free(prefix);
    return 0;
  }

  std::string Tag(int32_t id) const {
    return std::string(kTagWord) + " " + prefixHash_ + " " + std::to_string(id);
  }

  // Opens the device of record into *device: before unmounting, so that it
  // cannot free itself and be taken by someone else before it is checked.
  // Its tag is read through its file, whose storage may not answer: one over
  // a daemon's export is known by the export instead, and one whose tag
  // gives no answer, when taken away with force, by the disk's file held and
  // its byte range. Returns 0 or the error code of the open (a
  // HOST_ERROR_TIMED_OUT one when the storage does not answer).
  int OpenDevice(const MountRecord &record, HeldDevice *device, bool force = false) const {
    if (record.loop < 0) {
      return 0;
    }
    if (record.view.empty()) {
      int rc = HostLoop_Open(record.loop, Tag(record.id).c_str(), device);
      if (force && Host_ErrorKind(rc) == HOST_ERROR_TIMED_OUT) {
        rc =
            HostLoop_OpenSpan(record.loop, record.offset, record.length, record.diskHandle, device);
      }
      return rc;
    }
    std::string backing = Backend_KernelName(record.view);
    return !backing.empty() ? HostLoop_OpenBacked(record.loop, backing.c_str(), device)
                            : Host_ErrorCode(HOST_ERROR_NOT_FOUND);
  }

  // Whether the volume on device is in use besides its drive. A device in
  // use through the drive gives no unmount to refuse; nor does a file system
  // also mounted elsewhere, and a plain unmount would take down a mount
  // stacked on the point instead of ours.
  static bool InUse(const MountRecord &record, const std::string &point, HeldDevice *device) {
    return record.mounted ? HostLoop_InUseBesidesMount(device, point.c_str())
                          : HostLoop_InUseElsewhere(device);
  }

  // Whether the point holds the volume's own mount, not one gone or
  // replaced by hand.
  bool MountedHere(const MountRecord &record, const std::string &point) const {
    bool found = false;
    for (const auto &m : MountsBelow(point)) {
      found = found || (m.first.empty() && m.second == DevicePath(record.loop));
    }
    return found;
  }

  // Writes out the file system of record, unmounted from point, through the
  // copy Watch kept. Returns 0 once it let go of the copy, as the last user
  // of the file system: what is left to write then is what the write-out
  // found written. Otherwise the copy goes back on point, and the write-out's
  // failure is returned.
  int WrittenOut(const MountRecord &record, const std::string &point, int *pending) {
    Watched &w = watches_[record.id];
    int rc = HostMount_FlushThrough(w.fd, kBackendFlushMs, pending);
    if (rc != 0) {
      if (int back = HostMount_PutBack(w.copy, point.c_str()); back != 0) {
        ServiceLog(HOSTLOG_ERROR, "mount %d: its file system cannot be mounted on %s again: %s",
                   record.id, point.c_str(), Text(back).c_str());
      } else {
        // The copy is the mount on point now, and the descriptors on it
        // would count as a user of the volume: a new copy is kept.
        Watch(record);
      }
      return rc;
    }
    // Closed here, not aside: the device is to be free when the detach ends.
    close(w.copy);
    close(w.fd);
    watches_.erase(record.id);
    return 0;
  }

  // Lets go of the descriptors Watch kept for the mount.
  void Unwatch(int32_t id) {
    auto watch = watches_.find(id);
    if (watch == watches_.end()) {
      return;
    }
    // The last descriptor on a device, or on a file system that was unmounted
    // by hand, writes it out as it closes, which storage that does not answer
    // holds: closed in a child then.
    struct stat st, at;
    const Watched &w = watch->second;
    if (w.copy >= 0) {
      close(w.copy);  // the descriptor below keeps the file system
    }
    if (fstat(w.fd, &st) != 0 || S_ISBLK(st.st_mode) || stat(w.point.c_str(), &at) != 0 ||
        at.st_dev != st.st_dev) {
      HostMount_CloseAside(w.fd);
    } else {
      close(w.fd);
    }
    watches_.erase(watch);
  }

  // The start of the tags of this prefix's devices, up to the mount id.
  std::string TagStart() const { return std::string(kTagWord) + " " + prefixHash_ + " "; }

  std::string MountPoint(char letter) const { return mnt_ + "/" + letter; }

  // Mount points (relative to folder) and sources of everything mounted on
  // folder or below.
  static std::vector<std::pair<std::string, std::string>> MountsBelow(const std::string &folder) {
    std::vector<std::pair<std::string, std::string>> found;
    HostMount_ForEachBelow(
        folder.c_str(),
        [](const char *below, const char *source, void *context) {
          static_cast<std::vector<std::pair<std::string, std::string>> *>(context)->emplace_back(
              below, source);
        },
        &found);
    return found;
  }

  std::string mnt_;
  std::string prefixHash_;
  std::set<std::string> keptSaid_;  // what the last RemoveStrays left, in use
  // By mount id: a descriptor on the volume (the root of its file system, or
  // its device) kept from the attach on, so that a write-out is told of
  // every failure since, also of one that another process was told of first.
  struct Watched {
    int fd;
    int copy;           // a mounted file system's copy of its mount, or -1
    std::string point;  // where the file system was mounted
  };
  std::map<int32_t, Watched> watches_;
};

}  // namespace

std::unique_ptr<Backend> Backend_MakeLoop(std::string *error) {
  char *why = nullptr;
  if (!HostLoop_Usable(&why)) {
    *error = std::string("the loop backend cannot be used here: ") +
             (why != nullptr ? why : "loop devices are not available") + " (use --backend record)";
    free(why);
    return nullptr;
  }
  return std::make_unique<LoopBackend>();
}

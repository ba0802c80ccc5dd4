// Disks on Linux. The type is checked with stat before anything is opened
// (opening a FIFO waits for a writer, and opening some character devices
// does something), then again on the descriptor in case the name changed in
// between. A block device's exclusive open is the kernel's own "in use"
// test: mounts and device-mapper or RAID users hold it.
#include "host/disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "blockDevice.h"
#include "host/fs.h"
#include "host/loop.h"
#include "host/mount.h"

namespace {

// The number of the loop device that device is a partition of, or with
// itself, is; -1 for none.
int LoopDeviceOf(dev_t device, bool itself) {
  std::string folder =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  struct stat st;
  if (stat((folder + "/partition").c_str(), &st) == 0) {
    folder += "/..";
  } else if (!itself) {
    return -1;
  }
  char *whole = realpath(folder.c_str(), nullptr);
  if (whole == nullptr) {
    return -1;
  }
  const char *name = strrchr(whole, '/');
  name = name != nullptr ? name + 1 : whole;
  int number = -1;
  if (strncmp(name, "loop", 4) == 0 && name[4] != '\0' &&
      strspn(name + 4, "0123456789") == strlen(name + 4)) {
    number = atoi(name + 4);
  }
  free(whole);
  return number;
}

void AddKey(HostDisk *disk, uint64_t device, uint64_t inode) {
  for (size_t i = 0; i < disk->keyCount; i++) {
    if (disk->keys[i].device == device && disk->keys[i].inode == inode) {
      return;
    }
  }
  if (disk->keyCount < sizeof disk->keys / sizeof disk->keys[0]) {
    disk->keys[disk->keyCount++] = HostDiskKey{device, inode};
  }
}

// The part of path below folder ("" for folder itself), or NULL when it
// lies elsewhere.
const char *Below(const char *path, const char *folder) {
  size_t n = strlen(folder);
  if (strcmp(folder, "/") == 0) {
    return path + 1;
  }
  if (strncmp(path, folder, n) != 0 || (path[n] != '/' && path[n] != '\0')) {
    return nullptr;
  }
  return path[n] == '/' ? path + n + 1 : path + n;
}

struct MirrorScan {
  HostDisk *disk;
  const char *name;  // the kernel's name of the file
};

void VisitMirror(const char *point, const char *folder, uint64_t device, void *context) {
  auto *scan = static_cast<MirrorScan *>(context);
  HostDisk *disk = scan->disk;
  const HostDiskKey self = disk->keys[0];
  const char *below = nullptr;
  if (device == self.device && (below = Below(scan->name, point)) != nullptr) {
    // Reached through the mirror: the file it mirrors, when its inode
    // number says so. Its own file system is asked, not the mirror.
    std::string mirrored = std::string(folder) + (*below != '\0' ? "/" : "") + below;
    struct stat st;
    if (stat(mirrored.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_ino == self.inode) {
      AddKey(disk, st.st_dev, st.st_ino);
    }
  } else if (device != self.device && Below(scan->name, folder) != nullptr) {
    AddKey(disk, device, self.inode);  // as the mirror shows it, unasked
  }
}

// Adds to a claimed file its identity on the other side of every FUSE mirror
// of a folder that holds it, or that it was reached through.
void AddMirrors(HostDisk *disk) {
  char *name = HostFile_KernelName(disk->fd);
  if (name == nullptr || name[0] != '/') {
    free(name);
    return;
  }
  MirrorScan scan{disk, name};
  HostMount_ForEachMirror(VisitMirror, &scan);
  free(name);
}

// Fills in what a block device is: size, read-only state, and the file
// behind a loop device. Returns 0 or a system error code.
int DescribeBlockDevice(int fd, const struct stat &st, HostDisk *disk) {
  disk->blockDevice = true;
  disk->deviceNumber = st.st_rdev;
  uint64_t bytes = 0;
  if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
    return errno;
  }
  disk->size = bytes;
  int readOnly = 0;
  if (ioctl(fd, BLKROGET, &readOnly) == 0 && readOnly != 0) {
    disk->readOnly = true;
  }
  loop_info64 info{};
  if (major(st.st_rdev) == LOOP_MAJOR) {
    if (ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
      AddKey(disk, HostLoop_DecodeDevice(info.lo_device), info.lo_inode);
    }
  } else if (int whole = LoopDeviceOf(st.st_rdev, false); whole >= 0) {
    char path[32];
    HostLoop_Path(whole, path, sizeof path);
    int wholeFd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (wholeFd >= 0 && ioctl(wholeFd, LOOP_GET_STATUS64, &info) == 0) {
      AddKey(disk, HostLoop_DecodeDevice(info.lo_device), info.lo_inode);
    }
    if (wholeFd >= 0) {
      close(wholeFd);
    }
  }
  return 0;
}

// What OpenDisk returns for a disk reached through another user's link.
constexpr int kOthersLink = -1;

// Whether path reaches its file through a symbolic link of another user's
// (not the superuser's, nor this process's user's) that leads to a file not
// theirs: that user could have swapped the disk for somebody else's. A link
// is as its owner made it, whoever may write its folder: replacing it makes
// the replacer its owner. The path is walked as the kernel walks it, one
// link at a time; a walk that ends elsewhere than a look at the whole name
// (a link changed meanwhile) counts as such a link too. The file reached is
// left in *reached (st_ino 0 when it cannot be told).
bool ThroughOthersLink(const std::string &path, struct stat *reached) {
  reached->st_ino = 0;
  struct stat whole;
  if (stat(path.c_str(), &whole) != 0) {
    return false;  // the open says what is wrong
  }
  std::vector<std::string> parts;  // still to walk, the next last
  auto push = [&parts](const std::string &text) {
    for (size_t end = text.size(); end > 0;) {
      size_t slash = text.rfind('/', end - 1);
      size_t begin = slash == std::string::npos ? 0 : slash + 1;
      if (end > begin) {
        parts.push_back(text.substr(begin, end - begin));
      }
      end = slash == std::string::npos ? 0 : slash;
    }
  };
  push(path);
  std::string resolved;  // without links; "" for the root
  for (int links = 0; !parts.empty();) {
    std::string part = std::move(parts.back());
    parts.pop_back();
    if (part == ".") {
      continue;
    }
    if (part == "..") {
      resolved.resize(resolved.empty() ? 0 : resolved.rfind('/'));
      continue;
    }
    std::string next = resolved + "/" + part;
    struct stat link;
    if (lstat(next.c_str(), &link) != 0) {
      return false;
    }
    if (!S_ISLNK(link.st_mode)) {
      resolved = next;
      continue;
    }
    if (link.st_uid != 0 && link.st_uid != geteuid() && link.st_uid != whole.st_uid) {
      return true;
    }
    std::string target(PATH_MAX, '\0');
    ssize_t n = readlink(next.c_str(), target.data(), target.size());
    if (n <= 0 || ++links > 40) {
      return false;
    }
    target.resize(static_cast<size_t>(n));
    if (target[0] == '/') {
      resolved.clear();
    }
    push(target);
  }
  if (stat(resolved.empty() ? "/" : resolved.c_str(), reached) != 0) {
    reached->st_ino = 0;
    return false;
  }
  return reached->st_dev != whole.st_dev || reached->st_ino != whole.st_ino;
}

// Returns 0 or an errno value (EINVAL: not a disk; EBUSY: in use), or
// kOthersLink. The caller closes what is left open on failure. lock: 0,
// LOCK_SH or LOCK_EX.
int OpenDisk(const char *path, int lock, HostDisk *disk) {
  bool claim = lock == LOCK_EX;
  struct stat st;
  if (path == nullptr || *path == '\0') {
    return ENOENT;
  }
  // Respelt first, so that every check below is of the name opened.
  std::unique_ptr<char, decltype(&free)> listed(HostFs_ListedSpelling(path), free);
  if (listed != nullptr) {
    path = listed.get();
  }
  struct stat reached = {};
  if (path[0] == '/' && ThroughOthersLink(path, &reached)) {
    return kOthersLink;
  }
  if (stat(path, &st) != 0) {
    return errno;
  }
  // The walk and the name now must reach one file, or a link was swapped
  // between them.
  if (path[0] == '/' && reached.st_ino != 0 &&
      (reached.st_dev != st.st_dev || reached.st_ino != st.st_ino)) {
    return EINVAL;
  }
  if (S_ISDIR(st.st_mode)) {
    return EISDIR;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    return EINVAL;
  }
  uint32_t attributes = 0;
  bool readOnly = S_ISREG(st.st_mode) && HostFs_GetAttributes(path, &attributes) &&
                  (attributes & HOSTFS_ATTR_READONLY) != 0;
  // An exclusive open of a block device fails while it is mounted or held.
  int base = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (claim && S_ISBLK(st.st_mode) ? O_EXCL : 0);
  int fd = -1;
  if (claim && !readOnly) {
    fd = open(path, base | O_RDWR);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
      readOnly = true;
    }
  }
  if (fd < 0 && (!claim || readOnly)) {
    fd = open(path, base | O_RDONLY);
  }
  if (fd < 0) {
    return errno;
  }
  disk->fd = fd;
  disk->readOnly = readOnly;
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    return errno;
  }
  if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    return EINVAL;  // replaced by something else meanwhile
  }
  AddKey(disk, opened.st_dev, opened.st_ino);
  if (S_ISREG(opened.st_mode)) {
    disk->size = static_cast<uint64_t>(opened.st_size);
    if (lock != 0) {
      AddMirrors(disk);
    }
  } else {
    int e = DescribeBlockDevice(fd, opened, disk);
    if (e != 0) {
      return e;
    }
  }
  if (lock != 0) {
    if (claim && disk->blockDevice && blockdevice::HasHolders(opened.st_rdev)) {
      return EBUSY;
    }
    if (flock(fd, lock | LOCK_NB) == 0) {
      disk->claimed = true;
    } else if (errno == EWOULDBLOCK) {
      return EBUSY;
    }
    // A file system without such locks leaves the disk unclaimed: the
    // checks by identity still apply.
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  return 0;
}

}  // namespace

namespace {

HostDiskOpen Open(const char *path, int lock, HostDisk *disk, int *error) {
  *disk = HostDisk{};
  *error = 0;
  int e = OpenDisk(path, lock, disk);
  if (e != 0) {
    HostDisk_Close(disk);
  }
  switch (e) {
    case 0:
      return HostDiskOpen::Opened;
    case EISDIR:
      return HostDiskOpen::Folder;
    case EINVAL:
      return HostDiskOpen::NotADisk;
    case EBUSY:
      return HostDiskOpen::InUse;
    case kOthersLink:
      return HostDiskOpen::OthersLink;
    default:
      *error = e;
      return HostDiskOpen::Failed;
  }
}

}  // namespace

bool HostDisk_ThroughOthersLink(const char *path) {
  struct stat reached;
  return path != nullptr && path[0] == '/' && ThroughOthersLink(path, &reached);
}

HostDiskOpen HostDisk_Open(const char *path, bool claim, HostDisk *disk, int *error) {
  return Open(path, claim ? LOCK_EX : 0, disk, error);
}

HostDiskOpen HostDisk_OpenShared(const char *path, HostDisk *disk, int *error) {
  return Open(path, LOCK_SH, disk, error);
}

bool HostDisk_Adopt(int fd, bool claimed, bool readOnly, HostDisk *disk) {
  HostDisk adopted;
  // What the kernel knows of the file will do: asking its server waits for
  // ever once that has stopped answering, and holds a start.
  struct statx sx;
  if (fd < 0 || statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_BASIC_STATS, &sx) != 0) {
    return false;
  }
  struct stat st = {};
  st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  st.st_ino = sx.stx_ino;
  st.st_mode = sx.stx_mode;
  st.st_size = static_cast<off_t>(sx.stx_size);
  if (!(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    return false;
  }
  AddKey(&adopted, st.st_dev, st.st_ino);
  adopted.size = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode) && DescribeBlockDevice(fd, st, &adopted) != 0) {
    return false;
  }
  adopted.fd = fd;
  if (S_ISREG(st.st_mode)) {
    AddMirrors(&adopted);
  }
  adopted.claimed = claimed;
  adopted.readOnly = adopted.readOnly || readOnly;
  *disk = adopted;
  return true;
}

bool HostDisk_OpenedName(const HostDisk &disk, char *name, size_t size) {
  // Opening a descriptor's entry in /proc opens its file, not a name.
  int n = snprintf(name, size, "/proc/%ld/fd/%d", static_cast<long>(getpid()), disk.fd);
  return disk.fd >= 0 && n > 0 && static_cast<size_t>(n) < size;
}

void HostDisk_Close(HostDisk *disk) {
  if (disk->fd >= 0) {
    close(disk->fd);  // the flock goes with the last descriptor
  }
  disk->fd = -1;
  disk->claimed = false;
}

bool HostDisk_IsNamedBy(const HostDisk &disk, const char *path) {
  struct stat st;
  return disk.fd >= 0 && disk.keyCount > 0 && stat(path, &st) == 0 &&
         disk.keys[0].device == st.st_dev && disk.keys[0].inode == st.st_ino;
}

bool HostDisk_Overlap(const HostDisk &a, const HostDisk &b) {
  if (a.blockDevice && b.blockDevice && a.deviceNumber == b.deviceNumber) {
    return true;
  }
  for (size_t i = 0; i < a.keyCount; i++) {
    for (size_t j = 0; j < b.keyCount; j++) {
      if (a.keys[i].device == b.keys[j].device && a.keys[i].inode == b.keys[j].inode) {
        return true;
      }
    }
  }
  return false;
}

namespace {

struct CoverScan {
  const HostDisk *disk;
  std::string name;  // the kernel's name of the disk's file, or ""
  int found;
};

void VisitBacking(int number, uint64_t self, uint64_t device, uint64_t inode, const char *backing,
                  void *context) {
  auto *scan = static_cast<CoverScan *>(context);
  const HostDisk &disk = *scan->disk;
  if (scan->found >= 0 || (disk.blockDevice && disk.deviceNumber == self)) {
    return;
  }
  // One that does not answer is known by the name of its file alone.
  if (backing != nullptr && !scan->name.empty() && scan->name == backing) {
    scan->found = number;
  }
  for (size_t i = 0; i < disk.keyCount && (device != 0 || inode != 0); i++) {
    if (disk.keys[i].device == device && disk.keys[i].inode == inode) {
      scan->found = number;
    }
  }
}

}  // namespace

int HostDisk_CoveringLoop(const HostDisk &disk) {
  CoverScan scan{&disk, "", -1};
  if (char *name = !disk.blockDevice ? HostFile_KernelName(disk.fd) : nullptr) {
    scan.name = name;
    free(name);
  }
  uint64_t fileSystems[sizeof disk.keys / sizeof disk.keys[0]];
  for (size_t i = 0; i < disk.keyCount; i++) {
    fileSystems[i] = disk.keys[i].device;
  }
  HostLoop_ForEachBacking(fileSystems, disk.keyCount, VisitBacking, &scan);
  return scan.found;
}

namespace {

// 1 when another opener holds a record lock anywhere on the file open at fd
// (asked as a description of its own, the file sees every other opener's
// locks, this process's included), 0 when none does, -1 when it cannot be
// asked.
int LockedByOthers(int fd) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_GETLK, &probe) != 0 ? -1 : probe.l_type != F_UNLCK;
}

// Whether a record lock lies on any of the files keys name.
bool LockedAt(const HostDiskKey *keys, size_t count) {
  FILE *locks = count > 0 ? fopen("/proc/locks", "re") : nullptr;
  if (locks == nullptr) {
    return false;
  }
  bool found = false;
  char line[256];
  while (!found && fgets(line, sizeof line, locks) != nullptr) {
    // "1: OFDLCK ADVISORY WRITE -1 fd:01:1234 100 100", "->" before the
    // kind for a waiter: the file is the field with two colons.
    char *rest = nullptr;
    for (char *field = strtok_r(line, " \t\n", &rest); field != nullptr && !found;
         field = strtok_r(nullptr, " \t\n", &rest)) {
      unsigned int high = 0, low = 0;
      unsigned long long inode = 0;
      char end = 0;
      if (sscanf(field, "%x:%x:%llu%c", &high, &low, &inode, &end) != 3) {
        continue;
      }
      for (size_t i = 0; i < count; i++) {
        found = found || (keys[i].device == makedev(high, low) && keys[i].inode == inode);
      }
    }
  }
  fclose(locks);
  return found;
}

}  // namespace

bool HostDisk_LockedElsewhere(const HostDisk &disk) {
  // Locks taken through a mirror lie on the file as it shows it. None of
  // this process's own lies there: it takes them on the file it opened.
  return disk.fd >= 0 && !disk.blockDevice &&
         (LockedByOthers(disk.fd) == 1 || LockedAt(disk.keys + 1, disk.keyCount - 1));
}

namespace {

// The block layer's lock bytes: one a permission held, one a permission
// denied to others, by the permission's bit (consistent read 0, write 1,
// resize 3).
constexpr off_t kHeldBase = 100, kDeniedBase = 200;
constexpr int kReadBit = 0, kWriteBit = 1, kResizeBit = 3;

// False only when another opener's lock is in the way.
bool LockByte(int fd, int cmd, short type, off_t at) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = 1;
  if (fcntl(fd, cmd, &lock) != 0) {
    return errno != EAGAIN && errno != EACCES;
  }
  return cmd != F_OFD_GETLK || lock.l_type == F_UNLCK;
}

// Whether the file behind the loop device deviceNumber (found as behind),
// or behind the loop devices stacked under it, has a lock of another
// opener's: an emulator that opened the file itself, not the device, whose
// locks the device's node does not show. A lock refuses, as on a disk given
// by its file; so does a file that cannot be told (its name gone, hidden by
// a mount, or leading elsewhere). False for a device that is no loop device.
bool BackingLocked(uint64_t deviceNumber, HostDiskKey behind, int depth) {
  int number = LoopDeviceOf(static_cast<dev_t>(deviceNumber), true);
  if (number < 0) {
    return false;
  }
  char *name = nullptr;
  if (depth > 8 || HostLoop_BackingFile(number, &name) != 0) {
    return true;
  }
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  free(name);
  if (fd < 0) {
    return true;
  }
  struct stat st;
  bool locked = true;
  if (fstat(fd, &st) == 0 && st.st_dev == behind.device && st.st_ino == behind.inode &&
      (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    locked = LockedByOthers(fd) != 0;
    loop_info64 info{};
    if (!locked && S_ISBLK(st.st_mode) && ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
      locked = BackingLocked(st.st_rdev, {HostLoop_DecodeDevice(info.lo_device), info.lo_inode},
                             depth + 1);
    }
  }
  close(fd);
  return locked;
}

}  // namespace

bool HostDisk_DenyWriters(const HostDisk &disk) {
  // A block device's node takes the locks as a file does, and an emulator
  // that opens the device by it looks for them there.
  if (disk.fd < 0) {
    return false;
  }
  // Asked before anything is taken: letting go on this failure would undo
  // the denials of a description taken over from an earlier holder. The
  // locks on the file behind do not race with those on the node.
  if (disk.blockDevice && disk.keyCount > 1 && BackingLocked(disk.deviceNumber, disk.keys[1], 0)) {
    return false;
  }
  // Denied first, then no holder: an emulator takes its permission first,
  // then looks for denials, so one of the two sees the other.
  for (int bit : {kWriteBit, kResizeBit}) {
    if (!LockByte(disk.fd, F_OFD_SETLK, F_RDLCK, kDeniedBase + bit) ||
        !LockByte(disk.fd, F_OFD_GETLK, F_WRLCK, kHeldBase + bit)) {
      for (int held : {kWriteBit, kResizeBit}) {
        LockByte(disk.fd, F_OFD_SETLK, F_UNLCK, kDeniedBase + held);
      }
      return false;
    }
  }
  return true;
}

bool HostDisk_ShowUse(const HostDisk &disk, bool writing) {
  if (disk.fd < 0) {
    return false;
  }
  // Held first, then no denier, as an emulator does: of two takers of a
  // permission and its denial, one sees the other. Kept whatever is seen:
  // taken again on a description that holds them already, letting go
  // would undo the earlier take.
  bool alone = true;
  for (int bit : {kReadBit, kWriteBit}) {
    if (bit == kWriteBit && !writing) {
      break;
    }
    alone = LockByte(disk.fd, F_OFD_SETLK, F_RDLCK, kHeldBase + bit) &&
            LockByte(disk.fd, F_OFD_GETLK, F_WRLCK, kDeniedBase + bit) && alone;
  }
  return alone;
}

int HostDisk_ReadEnds(const HostDisk &disk, size_t sectorSize) {
  if (disk.size < sectorSize) {
    return 0;  // nothing to hold a table
  }
  std::vector<char> sector(sectorSize);
  for (uint64_t at : {uint64_t{0}, (disk.size / sectorSize - 1) * sectorSize}) {
    ssize_t n = pread(disk.fd, sector.data(), sectorSize, static_cast<off_t>(at));
    if (n != static_cast<ssize_t>(sectorSize)) {
      return n < 0 ? errno : EIO;
    }
  }
  return 0;
}

namespace blockdevice {

bool HasHolders(dev_t device) {
  std::string path = "/sys/dev/block/" + std::to_string(major(device)) + ":" +
                     std::to_string(minor(device)) + "/holders";
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) {
    return false;
  }
  bool found = false;
  while (dirent *entry = readdir(dir)) {
    found = found || entry->d_name[0] != '.';
  }
  closedir(dir);
  return found;
}

}  // namespace blockdevice

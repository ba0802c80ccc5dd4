// Loop devices through the loop control device and the devices' ioctls.
// A device is configured in one step (offset, size limit, tag and flags
// together) so no other process ever sees it half set up; when another
// process takes the free device first, the next free one is tried.
#include "host/loop.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "blockDevice.h"
#include "host/fs.h"
#include "host/mount.h"
#include "host/socket.h"
#include "mountList.h"
#include "procfs.h"

namespace {

const char kControl[] = "/dev/loop-control";

// The devices this process kept from punching holes, with when each was
// last seen free (0 while in use). The kernel takes no limit back once it is
// 0: a free one serves again where no hole should be punched either, and goes
// once it has stayed free a while (the kernel makes a new one when asked).
std::mutex g_keptLock;
std::map<int, int64_t> g_kept;

// A free device of those kept, now taken; -1 when there is none.
int TakeKept() {
  std::lock_guard<std::mutex> hold(g_keptLock);
  for (auto &[number, freed] : g_kept) {
    if (freed != 0) {
      freed = 0;
      return number;
    }
  }
  return -1;
}

constexpr int kAttachTries = 16;

// The kernel makes a device read-only when it is configured through a
// descriptor that cannot write, so setting up needs write; managing a device
// (status, flags, freeing) needs only the superuser.
int OpenDevice(int number, bool write) {
  char path[32];
  HostLoop_Path(number, path, sizeof path);
  return open(path, (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
}

// Returns 0 and the device's status, or a system error code (ENXIO: not set
// up).
int Status(int fd, loop_info64 *info) {
  memset(info, 0, sizeof *info);
  return ioctl(fd, LOOP_GET_STATUS64, info) == 0 ? 0 : errno;
}

// Opens device number for reading and reads its status into *info. Returns 0
// with *fd open, or a system error code (ENXIO: no such device, or not set
// up) with nothing left open.
int OpenWithStatus(int number, int *fd, loop_info64 *info) {
  *fd = OpenDevice(number, false);
  if (*fd < 0) {
    return errno == ENOENT ? ENXIO : errno;
  }
  int e = Status(*fd, info);
  if (e != 0) {
    close(*fd);
    *fd = -1;
  }
  return e;
}

void SetTag(loop_info64 *info, const char *tag) {
  memset(info->lo_file_name, 0, sizeof info->lo_file_name);
  strncpy(reinterpret_cast<char *>(info->lo_file_name), tag, sizeof info->lo_file_name - 1);
}

std::string TagOf(const loop_info64 &info) {
  const char *name = reinterpret_cast<const char *>(info.lo_file_name);
  return std::string(name, strnlen(name, sizeof info.lo_file_name));
}

// Configures the open, free device on backing. Older kernels without the
// one-step ioctl get the two-step setup.
int Configure(int fd, int backing, const loop_info64 &info) {
  loop_config config;
  memset(&config, 0, sizeof config);
  config.fd = static_cast<uint32_t>(backing);
  config.info = info;
  if (ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOTTY) {
    return errno;
  }
  if (ioctl(fd, LOOP_SET_FD, backing) != 0) {
    return errno;
  }
  if (ioctl(fd, LOOP_SET_STATUS64, &info) != 0) {
    int e = errno;
    ioctl(fd, LOOP_CLR_FD, 0);
    return e;
  }
  return 0;
}

// Reads what sysfs shows of device number in its file name (below
// /sys/block/loop<number>/), the line's end left out. 0, or a system error
// code (ENOENT when the device or the file is not there).
int SysRead(int number, const char *name, size_t most, std::string *value) {
  std::string path = "/sys/block/loop" + std::to_string(number) + "/" + name;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  value->assign(most, '\0');
  ssize_t n = read(fd, value->data(), most);
  int e = n < 0 ? errno : 0;
  close(fd);
  value->resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (!value->empty() && value->back() == '\n') {
    value->pop_back();
  }
  return e;
}

// A short value of SysRead's; "" when it cannot be read.
std::string SysValue(int number, const char *name) {
  std::string value;
  return SysRead(number, name, 32, &value) == 0 ? value : "";
}

// Whether device number was kept from punching holes, by this process or
// one before it (a service restarted with the volume attached, or killed).
// A device made anew reads 0 for what it could pass on, too.
bool KeptFromPunching(int number) {
  if (SysValue(number, "queue/discard_max_bytes") != "0") {
    return false;
  }
  std::string most = SysValue(number, "queue/discard_max_hw_bytes");
  return !most.empty() && most != "0";
}

// Calls visit(number) for every loop device that is set up (or, setUp
// false, free), as sysfs shows. Returns 0 or a system error code when the
// devices cannot be listed.
template <typename Visit>
int ForEachNumber(Visit visit, bool setUp = true);

// Removes number when it was kept from punching holes: a device that should
// punch holes is not set up on it. Whether it went.
bool RemoveIfKept(int control, int number) {
  std::lock_guard<std::mutex> hold(g_keptLock);
  auto kept = g_kept.find(number);
  if ((kept == g_kept.end() && !KeptFromPunching(number)) ||
      ioctl(control, LOOP_CTL_REMOVE, number) != 0) {
    return false;
  }
  if (kept != g_kept.end()) {
    g_kept.erase(kept);
  }
  return true;
}

// The status of device number, asked on a thread of its own (StatusAsker,
// below): 0, a system error code, or ETIMEDOUT when it gave no answer in
// time.
int StatusInTime(int number, loop_info64 *info);

// Opens device number into *loop when check() finds it to be the one meant
// (0; otherwise its error code). Open here while it is checked, the device
// stays set up as it is: nobody can set it up anew.
template <typename Check>
int OpenChecked(int number, HostLoopDevice *loop, Check check) {
  *loop = HostLoopDevice{};
  int fd = OpenDevice(number, false);
  if (fd < 0) {
    return errno == ENOENT ? ENXIO : errno;
  }
  if (int e = check(); e != 0) {
    close(fd);
    return e;
  }
  loop->number = number;
  loop->fd = fd;
  loop->readOnly = SysValue(number, "ro") == "1";
  return 0;
}

}  // namespace

bool HostLoop_Usable(char **why) {
  std::string missing;
  if (geteuid() != 0) {
    missing = "it needs the superuser";
  } else {
    int fd = open(kControl, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      missing = std::string(kControl) + " cannot be opened: " + strerror(errno);
    } else {
      close(fd);
    }
  }
  if (missing.empty()) {
    return true;
  }
  if (why != nullptr) {
    *why = strdup(missing.c_str());
  }
  return false;
}

void HostLoop_Path(int number, char *buf, size_t size) {
  snprintf(buf, size, "/dev/loop%d", number);
}

int HostLoop_Attach(const char *file, uint64_t offset, uint64_t length, const char *tag,
                    HostLoopDevice *loop) {
  *loop = HostLoopDevice{};
  uint32_t attributes = 0;
  bool readOnly =
      HostFs_GetAttributes(file, &attributes) && (attributes & HOSTFS_ATTR_READONLY) != 0;
  int backing = readOnly ? -1 : open(file, O_RDWR | O_CLOEXEC);
  if (backing < 0 && (readOnly || errno == EROFS || errno == EACCES || errno == EPERM)) {
    backing = open(file, O_RDONLY | O_CLOEXEC);
    readOnly = true;
  }
  if (backing < 0) {
    return errno;
  }
  int result = HostLoop_AttachHandle(backing, readOnly, offset, length, tag, loop);
  close(backing);
  return result;
}

namespace {

int AttachHandle(int backing, bool readOnly, uint64_t offset, uint64_t length, const char *tag,
                 bool unpunched, HostLoopDevice *loop) {
  *loop = HostLoopDevice{};
  int control = open(kControl, O_RDWR | O_CLOEXEC);
  if (control < 0) {
    return errno;
  }
  loop_info64 info;
  memset(&info, 0, sizeof info);
  info.lo_offset = offset;
  info.lo_sizelimit = length;
  info.lo_flags = LO_FLAGS_AUTOCLEAR | (readOnly ? LO_FLAGS_READ_ONLY : 0);
  SetTag(&info, tag);

  int result = EBUSY;
  for (int attempt = 0; attempt < kAttachTries && result == EBUSY; attempt++) {
    int number = unpunched ? TakeKept() : -1;
    bool kept = number >= 0;
    if (!kept) {
      number = ioctl(control, LOOP_CTL_GET_FREE);
    }
    if (number < 0) {
      result = errno;
      break;
    }
    if (!unpunched && RemoveIfKept(control, number)) {
      continue;
    }
    int fd = OpenDevice(number, true);
    if (fd < 0) {
      // The device node may appear a moment after the control device made
      // it; on a host where nobody makes nodes it never does. A kept one may
      // have gone meanwhile.
      result = errno;
      if ((result == ENOENT || kept) && attempt + 1 < kAttachTries) {
        usleep(kept ? 0 : 10000);
        result = EBUSY;
      }
      continue;
    }
    result = Configure(fd, backing, info);
    if (result == 0) {
      loop->number = number;
      loop->fd = fd;
      loop->readOnly = readOnly;
    } else {
      close(fd);
    }
  }
  close(control);
  return result;
}

}  // namespace

int HostLoop_AttachHandle(int backing, bool readOnly, uint64_t offset, uint64_t length,
                          const char *tag, HostLoopDevice *loop) {
  return AttachHandle(backing, readOnly, offset, length, tag, false, loop);
}

int HostLoop_AttachUnpunched(int backing, bool readOnly, uint64_t offset, uint64_t length,
                             const char *tag, HostLoopDevice *loop) {
  int rc = AttachHandle(backing, readOnly, offset, length, tag, true, loop);
  if (rc == 0) {
    std::lock_guard<std::mutex> hold(g_keptLock);
    g_kept[loop->number] = 0;
  }
  return rc;
}

int HostLoop_Open(int number, const char *tag, HostLoopDevice *loop) {
  return OpenChecked(number, loop, [&] {
    loop_info64 info;
    int e = StatusInTime(number, &info);
    return e == 0 && TagOf(info) != tag ? ESTALE : e;
  });
}

int HostLoop_OpenBacked(int number, const char *backing, HostLoopDevice *loop) {
  return OpenChecked(number, loop, [&] {
    char *seen = nullptr;
    int e = HostLoop_BackingFile(number, &seen);
    e = e == 0 && strcmp(seen, backing) != 0 ? ESTALE : e;
    free(seen);
    return e;
  });
}

int HostLoop_OpenSpan(int number, uint64_t offset, uint64_t length, int backing,
                      HostLoopDevice *loop) {
  return OpenChecked(number, loop, [&] {
    std::string shown = SysValue(number, "loop/offset");
    if (shown.empty()) {
      return ENXIO;  // shown only while it is set up
    }
    char *held = HostFile_KernelName(backing);
    char *presented = nullptr;
    bool same = held != nullptr && HostLoop_BackingFile(number, &presented) == 0 &&
                strcmp(held, presented) == 0 && shown == std::to_string(offset) &&
                SysValue(number, "loop/sizelimit") == std::to_string(length);
    free(held);
    free(presented);
    return same ? 0 : ESTALE;
  });
}

namespace {

// Sets a value of the device's queue unless it reads so already: a change
// freezes the queue, which costs milliseconds.
int SetQueueValue(int number, const char *name, const std::string &wanted) {
  if (wanted.empty()) {
    return EIO;
  }
  if (SysValue(number, name) == wanted) {
    return 0;
  }
  std::string path = "/sys/block/loop" + std::to_string(number) + "/" + name;
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  int rc =
      write(fd, wanted.data(), wanted.size()) == static_cast<ssize_t>(wanted.size()) ? 0 : errno;
  close(fd);
  return rc;
}

}  // namespace

int HostLoop_LimitRequests(const HostLoopDevice *loop, unsigned kilobytes) {
  return SetQueueValue(loop->number, "queue/max_sectors_kb",
                       kilobytes != 0 ? std::to_string(kilobytes)
                                      : SysValue(loop->number, "queue/max_hw_sectors_kb"));
}

void HostLoop_RemoveKept(int freeMs) {
  int control = open(kControl, O_RDWR | O_CLOEXEC);
  if (control < 0) {
    return;
  }
  std::lock_guard<std::mutex> hold(g_keptLock);
  int64_t now = HostClock_NowMs();
  for (auto it = g_kept.begin(); it != g_kept.end();) {
    auto &[number, freed] = *it;
    // Freed by the kernel on its last close, or not set up after all.
    if (freed == 0 && SysValue(number, "loop/offset").empty()) {
      freed = now;
    }
    if (freed == 0 || now - freed < freeMs) {
      ++it;
    } else if (ioctl(control, LOOP_CTL_REMOVE, number) == 0 || errno != EBUSY) {
      it = g_kept.erase(it);
    } else {
      freed = 0;  // another's now
      ++it;
    }
  }
  close(control);
}

void HostLoop_RemoveUnpunching(void) {
  int control = open(kControl, O_RDWR | O_CLOEXEC);
  if (control < 0) {
    return;
  }
  std::lock_guard<std::mutex> hold(g_keptLock);
  ForEachNumber(
      [&](int number) {
        if (g_kept.count(number) == 0 && KeptFromPunching(number)) {
          (void)ioctl(control, LOOP_CTL_REMOVE, number);
        }
      },
      false);
  close(control);
}

int HostLoop_KeepFromPunching(const HostLoopDevice *loop) {
  return SetQueueValue(loop->number, "queue/discard_max_bytes", "0");
}

int HostLoop_SetAutoFree(const HostLoopDevice *loop, bool on) {
  // The status asks the file's own file system, which may not answer: the
  // flag is read where it is shown first.
  if (SysValue(loop->number, "loop/autoclear") == (on ? "1" : "0")) {
    return 0;
  }
  loop_info64 info;
  int e = Status(loop->fd, &info);
  if (e != 0) {
    return e;
  }
  // Setting the status freezes the device's queue, which costs milliseconds;
  // a flag that already has the wanted value needs no call.
  if (((info.lo_flags & LO_FLAGS_AUTOCLEAR) != 0) == on) {
    return 0;
  }
  if (on) {
    info.lo_flags |= LO_FLAGS_AUTOCLEAR;
  } else {
    info.lo_flags &= ~static_cast<uint32_t>(LO_FLAGS_AUTOCLEAR);
  }
  return ioctl(loop->fd, LOOP_SET_STATUS64, &info) == 0 ? 0 : errno;
}

namespace {

// The kernel keeps a btrfs it met on a device (at a mount, or a scan anybody's
// tools made) registered under the device's path once the device is gone:
// it would take that path, soon another device's, for a member of that file
// system, and refuse root's own device of the same identity as older. It
// knows of btrfs only once its driver is loaded.
void ForgetBtrfs(int number) {
  if (access("/sys/fs/btrfs", F_OK) != 0) {
    return;
  }
  int control = open("/dev/btrfs-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    return;
  }
  btrfs_ioctl_vol_args args{};
  HostLoop_Path(number, args.name, sizeof args.name);
  ioctl(control, BTRFS_IOC_FORGET_DEV, &args);
  close(control);
}

}  // namespace

int HostLoop_Free(HostLoopDevice *loop) {
  if (loop->fd < 0) {
    return EBADF;
  }
  ForgetBtrfs(loop->number);
  // A device still open elsewhere frees itself on its last close. Older
  // kernels refuse to free it, and must be told so; newer ones need no word,
  // which would ask the file's own file system, which may not answer.
  int e = ioctl(loop->fd, LOOP_CLR_FD, 0) == 0 ? 0 : errno;
  if (e == EBUSY) {
    e = HostLoop_SetAutoFree(loop, true);
  }
  if (e == 0) {
    std::lock_guard<std::mutex> hold(g_keptLock);
    if (auto kept = g_kept.find(loop->number); kept != g_kept.end()) {
      kept->second = HostClock_NowMs();
    } else if (KeptFromPunching(loop->number)) {
      g_kept[loop->number] = HostClock_NowMs();  // set up before this process
    }
  }
  HostLoop_Close(loop);
  return e == ENXIO ? 0 : e;
}

namespace {

// Whether the descriptor behind a /proc/<pid>/fd entry is the device. Only
// names below /dev are examined: reaching any other file could wait on a
// network or user-space file system that does not answer, stalling the
// service for everyone.
bool IsDeviceDescriptor(const std::string &entry, dev_t device) {
  char target[64];
  ssize_t n = readlink(entry.c_str(), target, sizeof target - 1);
  if (n <= 0) {
    return false;
  }
  target[n] = '\0';
  struct statx st;
  return strncmp(target, "/dev/", 5) == 0 &&
         statx(AT_FDCWD, entry.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE, &st) == 0 &&
         S_ISBLK(st.stx_mode) && makedev(st.stx_rdev_major, st.stx_rdev_minor) == device;
}

// Whether a process other than this one has a descriptor on the device.
bool OpenByAnotherProcess(dev_t device) {
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return false;
  }
  std::string self = std::to_string(getpid());
  bool found = false;
  while (!found) {
    dirent *p = readdir(proc);
    if (p == nullptr) {
      break;
    }
    if (p->d_name[0] < '1' || p->d_name[0] > '9' || self == p->d_name) {
      continue;
    }
    found = procfs::HasDescriptor(p->d_name, [device](const std::string &entry) {
      return IsDeviceDescriptor(entry, device);
    });
  }
  closedir(proc);
  return found;
}

}  // namespace

bool HostLoop_InUseElsewhere(const HostLoopDevice *loop) {
  struct stat st;
  if (loop->fd < 0 || fstat(loop->fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
    return false;
  }
  if (blockdevice::HasHolders(st.st_rdev)) {
    return true;
  }
  // Mounts and exclusive users make an exclusive open fail.
  char path[32];
  HostLoop_Path(loop->number, path, sizeof path);
  int fd = open(path, O_RDONLY | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    return errno == EBUSY;
  }
  close(fd);
  return OpenByAnotherProcess(st.st_rdev);
}

bool HostLoop_InUseBesidesMount(const HostLoopDevice *loop, const char *folder) {
  struct stat st;
  if (loop->fd < 0 || fstat(loop->fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
    return false;
  }
  // The mount holds the device exclusively, so an exclusive open cannot tell
  // another mount from it: the mount list does. Readers of the device itself
  // are left alone, as a detach leaves the device to them anyway.
  return blockdevice::HasHolders(st.st_rdev) || HostMount_UsedBeyond(st.st_rdev, folder);
}

void HostLoop_Close(HostLoopDevice *loop) {
  if (loop->fd >= 0) {
    close(loop->fd);
  }
  loop->fd = -1;
}

namespace {

template <typename Visit>
int ForEachNumber(Visit visit, bool setUp) {
  DIR *dir = opendir("/sys/block");
  if (dir == nullptr) {
    return errno;
  }
  while (dirent *entry = readdir(dir)) {
    const char *name = entry->d_name;
    if (strncmp(name, "loop", 4) != 0 || name[4] == '\0' ||
        strspn(name + 4, "0123456789") != strlen(name + 4) || strlen(name + 4) > 6) {
      continue;
    }
    // The loop/ folder of a device exists only while it is set up.
    struct stat st;
    if ((stat(("/sys/block/" + std::string(name) + "/loop").c_str(), &st) == 0) == setUp) {
      visit(atoi(name + 4));
    }
  }
  closedir(dir);
  return 0;
}

// Asks devices for their status on a thread of its own. Asking reads the
// attributes of a device's file, which waits for the server of a FUSE or
// network file system, for ever once that has stopped (also one mounted in
// another namespace, which this process cannot tell): a device that does
// not answer in time is passed over, and the thread left to it.
class StatusAsker {
 public:
  StatusAsker() = default;
  StatusAsker(const StatusAsker &) = delete;
  StatusAsker &operator=(const StatusAsker &) = delete;
  ~StatusAsker() { Abandon(); }

  // The status and device number of device number: 0, a system error code,
  // or ETIMEDOUT when it gave no answer in time.
  int Ask(int number, loop_info64 *info, dev_t *self) {
    if (shared_ == nullptr && !Start()) {
      return AskHere(number, info, self);  // no thread to be had
    }
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->request = number;
    shared_->answered = false;
    shared_->wake.notify_all();
    if (!shared_->wake.wait_for(lock, kAnswerWait, [this] { return shared_->answered; })) {
      lock.unlock();
      Abandon();
      return ETIMEDOUT;
    }
    *info = shared_->info;
    *self = shared_->self;
    return shared_->rc;
  }

 private:
  static constexpr std::chrono::seconds kAnswerWait{2};

  struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    int request = -1;
    bool answered = false;
    bool quit = false;
    int rc = 0;
    loop_info64 info = {};
    dev_t self = 0;
  };

  static int AskHere(int number, loop_info64 *info, dev_t *self) {
    int fd = -1;
    int rc = OpenWithStatus(number, &fd, info);
    struct stat st;
    if (rc == 0) {
      rc = fstat(fd, &st) == 0 ? 0 : errno;
      *self = rc == 0 ? st.st_rdev : 0;
      close(fd);
    }
    return rc;
  }

  bool Start() {
    auto shared = std::make_shared<Shared>();
    try {
      std::thread([shared] {
        std::unique_lock<std::mutex> lock(shared->mutex);
        for (;;) {
          shared->wake.wait(lock, [&] { return shared->quit || shared->request >= 0; });
          if (shared->quit) {
            return;
          }
          int number = shared->request;
          shared->request = -1;
          lock.unlock();
          loop_info64 info = {};
          dev_t self = 0;
          int rc = AskHere(number, &info, &self);
          lock.lock();
          shared->rc = rc;
          shared->info = info;
          shared->self = self;
          shared->answered = true;
          shared->wake.notify_all();
        }
      }).detach();
    } catch (const std::system_error &) {
      return false;
    }
    shared_ = std::move(shared);
    return true;
  }

  void Abandon() {
    if (shared_ != nullptr) {
      std::lock_guard<std::mutex> guard(shared_->mutex);
      shared_->quit = true;
      shared_->wake.notify_all();
    }
    shared_.reset();
  }

  std::shared_ptr<Shared> shared_;
};

// Devices that gave no answer in time, and when: each is passed over for a
// minute, rather than cost every scan its wait and a thread.
std::mutex gSilentMutex;
std::map<int, std::chrono::steady_clock::time_point> gSilent;

bool RecentlySilent(int number) {
  std::lock_guard<std::mutex> guard(gSilentMutex);
  auto it = gSilent.find(number);
  return it != gSilent.end() &&
         std::chrono::steady_clock::now() - it->second < std::chrono::minutes(1);
}

void MarkSilent(int number) {
  std::lock_guard<std::mutex> guard(gSilentMutex);
  gSilent[number] = std::chrono::steady_clock::now();
}

int StatusInTime(int number, loop_info64 *info) {
  StatusAsker asker;
  dev_t self = 0;
  int e = asker.Ask(number, info, &self);
  if (e == ETIMEDOUT) {
    MarkSilent(number);
  }
  return e;
}

// Calls visit(number, status, self) for every loop device that is set up and
// answers in time (StatusAsker), and silent(number, the kernel's name of its
// file, "" when unknown) for every one that does not, but for those whose
// file lies on a file system that a process or the network serves, told
// from this process's mount list, for which wanted(that file system's
// device) does not hold. One that gave no answer in the last minute is not
// asked again unless askAgain.
template <typename Wanted, typename Visit, typename Silent>
int ForEachAnswering(Wanted wanted, Visit visit, Silent silent, bool askAgain) {
  std::vector<mountlist::Mount> mounts;
  bool read = false;
  StatusAsker asker;
  return ForEachNumber([&](int number) {
    char *file = nullptr;
    std::string backing;
    if (HostLoop_BackingFile(number, &file) == 0) {
      if (!read) {
        mounts = mountlist::Read();
        read = true;
      }
      const mountlist::Mount *holding = mountlist::Holding(mounts, file);
      bool skip = holding != nullptr && holding->served && !wanted(holding->device);
      backing = file;
      free(file);
      if (skip) {
        return;
      }
    }
    if (!askAgain && RecentlySilent(number)) {
      silent(number, backing);
      return;
    }
    loop_info64 info;
    dev_t self = 0;
    int e = asker.Ask(number, &info, &self);
    if (e == 0) {
      visit(number, info, self);
    } else if (e == ETIMEDOUT) {
      MarkSilent(number);
      silent(number, backing);
    }
  });
}

}  // namespace

int HostLoop_ForEach(void (*visit)(int number, const char *tag, void *context), void *context) {
  return ForEachAnswering([](uint64_t) { return true; },
                          [&](int number, const loop_info64 &info, dev_t) {
                            visit(number, TagOf(info).c_str(), context);
                          },
                          [](int, const std::string &) {}, false);
}

uint64_t HostLoop_DecodeDevice(uint64_t encoded) {
  // The kernel's 32-bit encoding: minor bits 0-7 and 20-31, major bits 8-19.
  unsigned major = static_cast<unsigned>((encoded >> 8) & 0xfff);
  unsigned minor = static_cast<unsigned>((encoded & 0xff) | ((encoded >> 12) & 0xfff00));
  return makedev(major, minor);
}

int HostLoop_ForEachBacking(const uint64_t *fileSystems, size_t count,
                            void (*visit)(int number, uint64_t self, uint64_t device,
                                          uint64_t inode, const char *backing, void *context),
                            void *context) {
  auto wanted = [&](uint64_t device) {
    return std::find(fileSystems, fileSystems + count, device) != fileSystems + count;
  };
  return ForEachAnswering(
      wanted,
      [&](int number, const loop_info64 &info, dev_t self) {
        visit(number, self, HostLoop_DecodeDevice(info.lo_device), info.lo_inode, nullptr, context);
      },
      [&](int number, const std::string &backing) {
        unsigned major = 0, minor = 0;
        if (sscanf(SysValue(number, "dev").c_str(), "%u:%u", &major, &minor) == 2) {
          visit(number, makedev(major, minor), 0, 0, backing.empty() ? nullptr : backing.c_str(),
                context);
        }
      },
      true);  // one that answers again is known by its file, not by a name
}

int HostLoop_ForEachNumber(void (*visit)(int number, void *context), void *context) {
  return ForEachNumber([&](int number) { visit(number, context); });
}

int HostLoop_BackingFile(int number, char **backingFile) {
  *backingFile = nullptr;
  // The kernel's own path of the file, one line.
  std::string name;
  int e = SysRead(number, "loop/backing_file", 8192, &name);
  if (e != 0) {
    return e == ENOENT ? ENXIO : e;
  }
  *backingFile = strdup(name.c_str());
  return *backingFile != nullptr ? 0 : ENOMEM;
}

int HostLoop_Status(int number, uint64_t *offset, uint64_t *sizeLimit, char **backingFile) {
  *backingFile = nullptr;
  loop_info64 info;
  int e = StatusInTime(number, &info);
  if (e != 0) {
    return e;
  }
  // The status holds the tag where the file's name would be.
  e = HostLoop_BackingFile(number, backingFile);
  if (e == 0) {
    *offset = info.lo_offset;
    *sizeLimit = info.lo_sizelimit;
  }
  return e;
}

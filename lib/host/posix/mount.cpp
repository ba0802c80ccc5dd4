// Mounting through libmount, recognising file systems through libblkid, and
// the mount list from /proc/self/mountinfo (read by libmount, which undoes
// the escaping of blanks and other characters in paths).
#include "host/mount.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <libmount/libmount.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "fence.h"
#include "host/daemon.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/process.h"
#include "mountList.h"
#include "procfs.h"

namespace {

// Returns the value of a probed tag, or "".
std::string Value(blkid_probe probe, const char *name) {
  const char *data = nullptr;
  size_t length = 0;
  if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || data == nullptr) {
    return "";
  }
  return std::string(data, strnlen(data, length));
}

// Reads size bytes at offset; false with errno set on an error, and with
// errno 0 when the device ends first.
bool ReadFully(int fd, unsigned char *data, size_t size, uint64_t offset) {
  for (size_t done = 0; done < size;) {
    long n = HostFile_ReadAt(fd, data + done, size - done, offset + done);
    if (n <= 0) {
      errno = n < 0 ? errno : 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

char *HostMount_FileSystemType(const char *device) {
  int fd = open(device, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  // libblkid takes a read that fails for a device without the signature it
  // looked for: read first where the file systems keep theirs (up to btrfs's
  // at 64 KiB), so that a bad block or a storage daemon gone is an error.
  // A read cut short by a bad block fails when asked again from there.
  // A volume smaller than that is no error.
  static constexpr size_t kSignatures = 68 << 10;
  std::vector<unsigned char> head(kSignatures);
  if (!ReadFully(fd, head.data(), head.size(), 0) && errno != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  errno = 0;
  blkid_probe probe = blkid_new_probe();
  if (probe == nullptr || blkid_probe_set_device(probe, fd, 0, 0) != 0) {
    int e = errno != 0 ? errno : EIO;
    if (probe != nullptr) {
      blkid_free_probe(probe);
    }
    close(fd);
    errno = e;
    return nullptr;
  }
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE);
  blkid_probe_enable_partitions(probe, 0);
  int rc = blkid_do_safeprobe(probe);
  char *type = nullptr;
  if (rc == 0 && Value(probe, "USAGE") == "filesystem") {
    std::string name = Value(probe, "TYPE");
    if (!name.empty()) {
      type = strdup(name.c_str());
    }
  }
  blkid_free_probe(probe);
  close(fd);
  // Two signatures that contradict each other (-2) count as none: guessing
  // could mount the wrong thing.
  errno = rc == -1 ? EIO : 0;
  return type;
}

namespace {

// A journal that still waits to be replayed cannot be on a read-only
// device: without the replay such a file system shows what it last wrote in
// place, as it would after a crash.
const struct {
  const char *type;
  const char *option;
} kWithoutReplay[] = {
    {"ext3", "norecovery"},
    {"ext4", "norecovery"},
    {"xfs", "norecovery"},
    {"btrfs", "rescue=nologreplay"},
};

// One mount of the volume; the next is tried only when this one failed with
// the error the next names.
struct Attempt {
  std::string type;
  std::string options;
  int after = 0;
};

// Mounts device on folder by the first attempt that takes: system calls
// only, since a child forked from threads that may hold locks runs it.
// That is also why libmount does not mount here.
int MountByAttempts(const char *device, const char *folder, unsigned long flags,
                    const std::vector<Attempt> &attempts) {
  int result = EINVAL;
  for (size_t i = 0; i < attempts.size() && (i == 0 || result == attempts[i].after); i++) {
    const Attempt &a = attempts[i];
    result = mount(device, folder, a.type.c_str(), flags,
                   a.options.empty() ? nullptr : a.options.c_str()) == 0
                 ? 0
                 : errno;
  }
  return result;
}

// The file systems users' virtual machines hold whose drivers are kept for
// disks from elsewhere. A mount as root loads whatever driver a type names.
const char *const kMountable[] = {"ext2", "ext3",  "ext4",    "xfs", "btrfs",    "vfat", "exfat",
                                  "ntfs", "ntfs3", "iso9660", "udf", "squashfs", "erofs"};

bool IsExt(const char *type) {
  return strcmp(type, "ext2") == 0 || strcmp(type, "ext3") == 0 || strcmp(type, "ext4") == 0;
}

uint16_t Le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char *p) { return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16; }
uint64_t Le64(const unsigned char *p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

char *Said(const std::string &text) { return strdup(text.c_str()); }

// How many seconds ext4's multi-mount protection would hold the mount of
// the file system whose superblock is super: the kernel waits twice, each
// time as long as the volume says, when its last user did not leave it
// clean. -1 when its block cannot be read (errno set).
long MultiMountWait(int fd, const unsigned char *super) {
  const uint32_t kMagic = 0x004D4D50, kClean = 0xFF4D4D50, kChecking = 0xE24D4D50;
  const uint32_t kMinInterval = 5;
  uint64_t blockSize = uint64_t{1024} << std::min<uint32_t>(Le32(super + 0x18), 16);
  unsigned char block[0x72];
  if (!ReadFully(fd, block, sizeof block, Le64(super + 0x168) * blockSize)) {
    return errno != 0 ? -1 : 0;  // past the end: the kernel refuses it itself
  }
  uint32_t seq = Le32(block + 4);
  if (Le32(block) != kMagic || seq == kClean || seq == kChecking) {
    return 0;  // mounted at once, or refused at once
  }
  uint32_t interval = std::max<uint32_t>(Le16(super + 0x166), kMinInterval);
  interval = std::max<uint32_t>(interval, Le16(block + 0x70));
  return 2 * static_cast<long>(std::min(2 * interval + 1, interval + 60));
}

// What an ext2, ext3 or ext4 superblock asks that reaches past the volume.
char *ExtRefusal(int fd, const char *type) {
  const uint32_t kHasJournal = 0x4, kMultiMount = 0x100;
  // The kernel itself calls a longer wait more than expected.
  const long kLongestWait = 2 * 4 * 5;
  unsigned char super[1024];
  if (!ReadFully(fd, super, sizeof super, 1024)) {
    return nullptr;
  }
  if (Le16(super + 0x38) != 0xEF53) {
    errno = 0;
    return nullptr;  // the kernel says what it makes of it
  }
  const std::string its = std::string("its ") + type + " file system ";
  // An external journal is opened by the device number saved with it, or a
  // path in the saved options, with root's rights, and written to.
  bool journalElsewhere = Le32(super + 0xE4) != 0 ||
                          ((Le32(super + 0x5C) & kHasJournal) != 0 && Le32(super + 0xE0) == 0);
  std::string saved(reinterpret_cast<const char *>(super + 0x200),
                    strnlen(reinterpret_cast<const char *>(super + 0x200), 64));
  for (size_t at = 0; !journalElsewhere && at <= saved.size();) {
    size_t end = std::min(saved.find(',', at), saved.size());
    std::string name = saved.substr(at, std::min(saved.find('=', at), end) - at);
    journalElsewhere = name == "journal_path" || name == "journal_dev";
    at = end + 1;
  }
  if (journalElsewhere) {
    return Said(its + "keeps its journal on another device");
  }
  if ((Le32(super + 0x60) & kMultiMount) != 0) {
    long wait = MultiMountWait(fd, super);
    if (wait < 0) {
      return nullptr;
    }
    if (wait > kLongestWait) {
      return Said(its + "would hold the mount for " + std::to_string(wait) +
                  " seconds first (multi-mount protection)");
    }
  }
  errno = 0;
  return nullptr;
}

// What a btrfs superblock asks that reaches past the volume: the kernel
// gathers the other devices of one that spans several, or the sprouts of a
// seed, from among this machine's, by an identity any copy of them shows.
char *BtrfsRefusal(int fd) {
  const uint64_t kSeeding = uint64_t{1} << 32;
  unsigned char super[0x90];
  if (!ReadFully(fd, super, sizeof super, 64 << 10)) {
    return nullptr;
  }
  uint64_t devices = Le64(super + 0x88);
  errno = 0;
  if (memcmp(super + 0x40, "_BHRfS_M", 8) != 0) {
    return nullptr;
  }
  if (devices != 1) {
    return Said("its btrfs file system spans " + std::to_string(devices) +
                " devices, which the kernel would look for among this machine's");
  }
  if ((Le64(super + 0x38) & kSeeding) != 0) {
    return Said(
        "its btrfs file system is a seed, whose sprouts the kernel would look for among this "
        "machine's devices");
  }
  return nullptr;
}

}  // namespace

char *HostMount_Refusal(const char *device, const char *type) {
  if (std::none_of(std::begin(kMountable), std::end(kMountable),
                   [type](const char *t) { return strcmp(t, type) == 0; })) {
    errno = 0;
    return Said(std::string("its ") + type + " file system is not one this service mounts");
  }
  if (!IsExt(type) && strcmp(type, "btrfs") != 0) {
    errno = 0;
    return nullptr;
  }
  int fd = open(device, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  char *refused = IsExt(type) ? ExtRefusal(fd, type) : BtrfsRefusal(fd);
  int e = errno;
  close(fd);
  errno = e;
  return refused;
}

namespace {

std::vector<Attempt> AttemptsFor(const char *type, bool readOnly) {
  if (strcmp(type, "ntfs") == 0) {
    // libblkid's name is that of the old driver, read-only where it is
    // built at all (newer kernels keep the name as a read-only alias).
    return {{"ntfs3", "", 0}, {"ntfs", "", ENODEV}};
  }
  // The ext family takes what to do on an error from the volume itself,
  // which its owner may set to a panic of the machine and then cause. An
  // xfs mounted with its identity checked would keep any other of that
  // identity from being mounted: a cloned machine's disk, or root's own.
  std::string options = IsExt(type)                ? "errors=remount-ro"
                        : strcmp(type, "xfs") == 0 ? "nouuid"
                                                   : "";
  std::vector<Attempt> attempts = {{type, options, 0}};
  for (const auto &t : kWithoutReplay) {
    if (readOnly && strcmp(type, t.type) == 0) {
      attempts.push_back({type, options.empty() ? t.option : options + "," + t.option, EROFS});
    }
  }
  return attempts;
}

// Why mounts go unfenced, said once: the kernel then opens whatever device
// the volume names at the time of its mount.
void SayUnfenced(int why) {
  static std::once_flag said;
  std::call_once(said, [why] {
    char text[128] =
        "neither a cgroup2 file system nor a devices cgroup hierarchy holds this process";
    if (why != ENOMEDIUM) {
      Host_ErrorText(why, text, sizeof text);
    }
    HostLog_Write(
        HOSTLOG_WARNING,
        ("Volumes are mounted without a fence around their devices (" + std::string(text) +
         "): a volume rewritten by its owner during an attach may have its "
         "mount open another device of this machine.")
            .c_str());
  });
}

}  // namespace

namespace {

// A volume rewritten after its check can still ask ext4's multi-mount wait
// of hours: a mount child that sleeps, rather than works, is looked at this
// often, and ended once the volume asks for more than the check lets
// through, or once it has slept longer than that.
constexpr int kSleepLookMs = 5000;
constexpr int kLongestSleepMs = 45000;

bool Sleeping(long pid) {
  std::vector<std::string> fields = procfs::StatFields(pid);
  return !fields.empty() && fields[0] == "S";
}

// Waits for the word of child, mounting device on folder, on answer: what
// it says in said[2] ({0, EIO} when it ends without a word, ETIMEDOUT when
// it had to be ended).
void AwaitMount(long child, int answer, const char *device, const char *type, const char *folder,
                int said[2]) {
  bool ended = false;
  for (int slept = 0;;) {
    pollfd entry = {answer, POLLIN, 0};
    int n = poll(&entry, 1, kSleepLookMs);
    if (n > 0 || (n < 0 && errno != EINTR)) {
      break;
    }
    slept = n == 0 && !ended && Sleeping(child) ? slept + kSleepLookMs : 0;
    char *refused =
        slept == 0 || slept >= kLongestSleepMs ? nullptr : HostMount_Refusal(device, type);
    if (refused != nullptr || slept >= kLongestSleepMs) {
      kill(static_cast<pid_t>(child), SIGKILL);
      ended = true;
    }
    free(refused);
  }
  ssize_t n;
  while ((n = read(answer, said, 2 * sizeof *said)) < 0 && errno == EINTR) {
  }
  HostProcess_Wait(child, -1, nullptr);
  if (n != static_cast<ssize_t>(2 * sizeof *said)) {
    said[0] = 0;
    said[1] = ended ? ETIMEDOUT : EIO;
    if (ended) {
      umount2(folder, MNT_DETACH | UMOUNT_NOFOLLOW);  // made just before its end, if at all
    }
  }
}

}  // namespace

int HostMount_Mount(const char *device, const char *type, const char *folder, bool readOnly) {
  std::vector<Attempt> attempts = AttemptsFor(type, readOnly);
  unsigned long flags = MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
  struct stat st;
  if (stat(device, &st) != 0) {
    return errno;
  }
  devicefence::Fence fence;
  if (int why = S_ISBLK(st.st_mode) ? devicefence::Make(st.st_rdev, &fence) : ENOTBLK; why != 0) {
    SayUnfenced(why);
  }
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    int e = errno;
    devicefence::Remove(&fence);
    return e;
  }
  // A child mounts even without a fence: a child can be ended when the
  // volume makes its mount wait.
  bool fenced = fence.procs >= 0;
  int carry[] = {report[1], fence.procs, fence.folderFd};
  auto mountIn = [&](bool enter) {
    // {entered the fence or why not, what the mount gave}
    int word[2] = {enter ? devicefence::Enter(fence) : 0, 0};
    word[1] = MountByAttempts(device, folder, flags, attempts);
    ssize_t n = write(report[1], word, sizeof word);
    _exit(n == static_cast<ssize_t>(sizeof word) ? 0 : 1);
  };
  long child = fence.folderFd >= 0
                   ? HostProcess_ForkInto(fence.folderFd, carry, 3, [&] { mountIn(false); })
                   : -1;
  if (child < 0) {
    child = HostProcess_Fork(carry, fenced ? 2 : 1, [&] { mountIn(fenced); });
  }
  int said[2] = {0, errno};
  close(report[1]);
  if (child > 0) {
    AwaitMount(child, report[0], device, type, folder, said);
  }
  close(report[0]);
  devicefence::Remove(&fence);
  if (said[0] != 0) {
    SayUnfenced(said[0]);
  }
  return said[1];
}

#ifndef OPEN_TREE_CLONE
#define OPEN_TREE_CLONE 1
#endif
#ifndef MOVE_MOUNT_F_EMPTY_PATH
#define MOVE_MOUNT_F_EMPTY_PATH 0x4
#endif

namespace {

// A failure of the write-out itself, never taken for its time running out.
int WriteOutError(int e) { return e == ETIMEDOUT || e <= 0 || e > 255 ? EIO : e; }

// How long a write-out child that gave its word is waited for to end.
constexpr int kEndMs = 100;

// Waits up to timeoutMs for the write-out child's word on answer: 0 with
// *code set, 0 with *code -1 when it ended without one, or ETIMEDOUT.
int AwaitWord(int answer, int timeoutMs, int *code) {
  pollfd entry = {answer, POLLIN, 0};
  int n;
  while ((n = poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (n == 0) {
    return ETIMEDOUT;
  }
  unsigned char word;
  ssize_t got;
  while ((got = read(answer, &word, 1)) < 0 && errno == EINTR) {
  }
  *code = got == 1 ? word : -1;
  return 0;
}

}  // namespace

int HostMount_AwaitFlush(int *pending, int timeoutMs) {
  if (*pending < 0) {
    return 0;
  }
  int code = -1;
  if (AwaitWord(*pending, timeoutMs, &code) != 0) {
    return ETIMEDOUT;
  }
  HostMount_LeaveFlush(pending);
  return code > 0 ? code : 0;  // gone without a word: nothing to tell
}

void HostMount_LeaveFlush(int *pending) {
  if (*pending >= 0) {
    close(*pending);
    *pending = -1;
  }
}

int HostMount_Flush(const char *folder, int timeoutMs, int *pending) {
  if (int e = HostMount_AwaitFlush(pending, timeoutMs); e != 0) {
    return e;
  }
  // A descriptor opened now still sees a failure nobody has been told of.
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  int code = HostMount_FlushThrough(fd, timeoutMs, pending);
  close(fd);
  return code;
}

int HostMount_FlushThrough(int fd, int timeoutMs, int *pending) {
  HostProcess_ReapLater(0);
  // What it could not write is lost; what came since is written out anew.
  if (int e = HostMount_AwaitFlush(pending, timeoutMs); e != 0) {
    return e;
  }
  struct stat st;
  bool device = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
  auto writeOut = [fd, device] {
    return (device ? fsync(fd) : syncfs(fd)) == 0 ? 0 : WriteOutError(errno);
  };
  // Storage that stops answering holds the writer beyond any signal: a child
  // waits for it, so that the caller goes on. It gives its word before it
  // ends, as ending closes its copies of the caller's files (where it could
  // not be started without them), and closing one on another disk's storage
  // may wait as long.
  int answer[2] = {-1, -1};
  pid_t child = -1;
  if (pipe2(answer, O_CLOEXEC) == 0) {
    const int keep[] = {std::min(fd, answer[1]), std::max(fd, answer[1])};
    child = static_cast<pid_t>(HostProcess_Fork(keep, 2, [&] {
      HostProcess_CloseThoseThatCannotWait(keep, 2);  // it may live on, holding what it has
      unsigned char word = static_cast<unsigned char>(writeOut());
      close(fd);  // before the word: the volume is not in use once it is given
      (void)!write(answer[1], &word, 1);
      _exit(word);
    }));
  }
  if (answer[1] >= 0) {
    close(answer[1]);
  }
  int code = -1;
  if (child > 0) {
    int e = AwaitWord(answer[0], timeoutMs, &code);
    // Its end, which may wait, is awaited by nobody.
    if (e != 0 || !HostProcess_Wait(child, kEndMs, nullptr)) {
      HostProcess_ReapLater(child);
    }
    if (e != 0) {
      *pending = answer[0];
      return ETIMEDOUT;
    }
  }
  if (answer[0] >= 0) {
    close(answer[0]);
  }
  // No child, or no word from it (a signal ended it): the caller asks.
  return code >= 0 ? code : writeOut();
}

int HostMount_OpenAside(const char *folder, int *copy) {
  *copy = -1;
#ifdef SYS_open_tree
  int tree = static_cast<int>(
      syscall(SYS_open_tree, AT_FDCWD, folder, OPEN_TREE_CLONE | O_CLOEXEC | AT_SYMLINK_NOFOLLOW));
  if (tree < 0) {
    return -1;
  }
  // The copy's own descriptor serves only as a path; one opened through it
  // can be asked to write out, and keeps the copy. Closed, the copy's own
  // takes the copy out of its namespace, whence it can no longer be mounted.
  int fd = openat(tree, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int e = errno;
  if (fd >= 0) {
    *copy = tree;
  } else {
    close(tree);
  }
  errno = e;
  return fd;
#else
  (void)folder;
  errno = ENOSYS;
  return -1;
#endif
}

int HostMount_PutBack(int copy, const char *folder) {
#ifdef SYS_move_mount
  long rc = syscall(SYS_move_mount, copy, "", AT_FDCWD, folder, MOVE_MOUNT_F_EMPTY_PATH);
  return rc == 0 ? 0 : errno;
#else
  (void)copy;
  (void)folder;
  return ENOSYS;
#endif
}

void HostMount_CloseAside(int fd) {
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) {
    close(fd);
    return;
  }
  // Started with nothing else of the caller's where it can be, so that its
  // end waits for no other disk's storage.
  const int keep[] = {std::min(fd, gate[0]), std::max(fd, gate[0])};
  pid_t child = static_cast<pid_t>(HostProcess_Fork(keep, 2, [&] {
    HostProcess_CloseThoseThatCannotWait(keep, 2);
    char byte;
    while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(fd);
    _exit(0);
  }));
  close(fd);  // before the child may end
  close(gate[0]);
  close(gate[1]);
  HostProcess_ReapLater(child > 0 ? child : 0);
}

int HostMount_Unmount(const char *folder, bool lazy) {
  if (!lazy) {
    return umount2(folder, UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
  }
  // Its last user, letting go, writes the file system out, which storage
  // that stops answering makes wait beyond any signal: a child is left to be
  // that user.
  int pin = open(folder, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  int rc = umount2(folder, UMOUNT_NOFOLLOW | MNT_DETACH) == 0 ? 0 : errno;
  if (pin >= 0) {
    HostMount_CloseAside(pin);
  }
  return rc;
}

namespace {

enum class Place { kElsewhere, kOn, kBelow };

// Where the mount point lies against base, a real path.
Place PlaceOf(const std::string &point, const std::string &base) {
  if (point == base) {
    return Place::kOn;
  }
  bool below = point.size() > base.size() && point.compare(0, base.size(), base) == 0 &&
               (base == "/" || point[base.size()] == '/');
  return below ? Place::kBelow : Place::kElsewhere;
}

// Calls visit(fs, place) for the mounts this process sees, in the order the
// system lists them, while visit returns true. Returns 0 or a system error.
template <typename Visit>
int ForEachMount(const std::string &base, Visit visit) {
  libmnt_table *table = mnt_new_table();
  if (table == nullptr) {
    return ENOMEM;
  }
  int rc = mnt_table_parse_file(table, "/proc/self/mountinfo");
  if (rc != 0) {
    mnt_unref_table(table);
    return rc < 0 && -rc < 4096 ? -rc : EIO;
  }
  libmnt_iter *iter = mnt_new_iter(MNT_ITER_FORWARD);
  libmnt_fs *fs = nullptr;
  while (iter != nullptr && mnt_table_next_fs(table, iter, &fs) == 0) {
    const char *target = mnt_fs_get_target(fs);
    if (target != nullptr && !visit(fs, PlaceOf(target, base))) {
      break;
    }
  }
  mnt_free_iter(iter);
  mnt_unref_table(table);
  return 0;
}

// Whether a mount of type is served by a FUSE server (not fuseblk, whose
// source is a real device).
bool IsFuse(const char *type) {
  return strcmp(type, "fuse") == 0 || strncmp(type, "fuse.", 5) == 0;
}

// Whether the mount's file system lies on block device. The device number
// of the list tells for most file systems; btrfs shows one of its own there,
// so the source is looked at too: only a name below /dev without "..", as
// looking up any other path could wait on a file system that does not
// answer, and not a FUSE mount's, whose source is any text its user chose
// (a device's name, a path into itself).
bool OnDevice(libmnt_fs *fs, dev_t device) {
  if (mnt_fs_get_devno(fs) == device) {
    return true;
  }
  const char *source = mnt_fs_get_source(fs);
  const char *type = mnt_fs_get_fstype(fs);
  if (source == nullptr || strncmp(source, "/dev/", 5) != 0 || strstr(source, "/..") != nullptr ||
      type == nullptr || IsFuse(type)) {
    return false;
  }
  struct statx st;
  return statx(AT_FDCWD, source, AT_STATX_DONT_SYNC, STATX_TYPE, &st) == 0 &&
         S_ISBLK(st.stx_mode) && makedev(st.stx_rdev_major, st.stx_rdev_minor) == device;
}

}  // namespace

namespace mountlist {

std::vector<Mount> Read() {
  std::vector<Mount> mounts;
  ForEachMount("/", [&](libmnt_fs *fs, Place) {
    const char *type = mnt_fs_get_fstype(fs);
    bool served = mnt_fs_is_netfs(fs) == 1 ||
                  (type != nullptr && (strncmp(type, "fuse", 4) == 0 ||
                                       strcmp(type, "virtiofs") == 0 || strcmp(type, "9p") == 0));
    mounts.push_back({mnt_fs_get_target(fs), mnt_fs_get_devno(fs), served});
    return true;
  });
  return mounts;
}

const Mount *Holding(const std::vector<Mount> &mounts, const std::string &path) {
  const Mount *holding = nullptr;
  for (const Mount &m : mounts) {
    // Of mounts stacked on one point, the last listed is the one seen.
    if (PlaceOf(path, m.point) != Place::kElsewhere &&
        (holding == nullptr || m.point.size() >= holding->point.size())) {
      holding = &m;
    }
  }
  return holding;
}

}  // namespace mountlist

int HostMount_ForEachBelow(const char *folder,
                           void (*visit)(const char *below, const char *source, void *context),
                           void *context) {
  char real[PATH_MAX];
  if (realpath(folder, real) == nullptr) {
    return errno == ENOENT ? 0 : errno;
  }
  std::string base = real;
  return ForEachMount(base, [&](libmnt_fs *fs, Place place) {
    if (place != Place::kElsewhere) {
      const char *point = mnt_fs_get_target(fs);
      const char *source = mnt_fs_get_source(fs);
      size_t skip = place == Place::kOn ? base.size() : base.size() + (base == "/" ? 0 : 1);
      visit(point + skip, source != nullptr ? source : "", context);
    }
    return true;
  });
}

int HostMount_ForEachMirror(void (*visit)(const char *point, const char *folder, uint64_t device,
                                          void *context),
                            void *context) {
  return ForEachMount("/", [&](libmnt_fs *fs, Place) {
    const char *type = mnt_fs_get_fstype(fs);
    const char *source = mnt_fs_get_source(fs);
    if (type != nullptr && IsFuse(type) && source != nullptr && source[0] == '/') {
      visit(mnt_fs_get_target(fs), source, mnt_fs_get_devno(fs), context);
    }
    return true;
  });
}

bool HostMount_UsedBeyond(uint64_t device, const char *folder) {
  char real[PATH_MAX];
  std::string base = realpath(folder, real) != nullptr ? real : folder;
  bool own = false, beyond = false;
  ForEachMount(base, [&](libmnt_fs *fs, Place place) {
    bool ofDevice = OnDevice(fs, static_cast<dev_t>(device));
    if (place == Place::kOn && ofDevice && !own) {
      own = true;  // the list names a mount before those stacked on it
    } else {
      beyond = place != Place::kElsewhere || ofDevice;
    }
    return !beyond;
  });
  return beyond;
}

bool HostMount_FuseUsable(char **why) {
  int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  int e = errno;
  if (why != nullptr) {
    std::string text =
        std::string("FUSE is not available: /dev/fuse cannot be opened (") + strerror(e) + ")";
    *why = strdup(text.c_str());
  }
  errno = e;
  return false;
}

// Files, folders and paths on POSIX. Attributes that the original platform
// keeps in the file system (read-only, compressed) are derived from the mode
// bits, the inode flags and the user.DOSATTRIB extended attribute that file
// servers maintain. Lock-file locks are open-file-description locks, so that
// two opens of one file in one process conflict the way the original
// platform's byte-range locks do, and a lock dies with its descriptor.
#include "host/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <locale.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "openKind.h"

namespace {

bool StatPath(const char *path, struct stat *st) {
  if (path == nullptr || *path == '\0') {
    errno = ENOENT;
    return false;
  }
  return stat(path, st) == 0;
}

// Reads user.DOSATTRIB in its text form "0x<hex>"; false for anything else.
bool ReadDosAttributes(const char *path, uint32_t *value) {
  char buf[64];
  ssize_t n = getxattr(path, "user.DOSATTRIB", buf, sizeof buf - 1);
  if (n <= 2) {
    return false;
  }
  while (n > 0 && buf[n - 1] == '\0') n--;
  buf[n] = '\0';
  if (buf[0] != '0' || (buf[1] != 'x' && buf[1] != 'X') || buf[2] == '\0') {
    return false;
  }
  uint64_t v = 0;
  for (const char *p = buf + 2; *p != '\0'; p++) {
    int d;
    if (*p >= '0' && *p <= '9') {
      d = *p - '0';
    } else if (*p >= 'a' && *p <= 'f') {
      d = *p - 'a' + 10;
    } else if (*p >= 'A' && *p <= 'F') {
      d = *p - 'A' + 10;
    } else {
      return false;
    }
    v = (v << 4) | static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool HasCompressionFlag(const char *path) {
  int fd = openkind::Open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, true);
  if (fd < 0) {
    return false;
  }
  int flags = 0;
  bool compressed = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_COMPR_FL) != 0;
  close(fd);
  return compressed;
}

}  // namespace

namespace openkind {

int Open(const char *path, int flags, bool folders, struct stat *seen) {
  // Looked at through a descriptor that opens nothing, then opened through
  // that very descriptor: a name changed meanwhile cannot slip anything in.
  int handle = open(path, O_PATH | O_CLOEXEC);
  struct stat st;
  if (handle < 0 || fstat(handle, &st) != 0 ||
      !(S_ISREG(st.st_mode) || (folders && S_ISDIR(st.st_mode)))) {
    int e = handle < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (handle >= 0) {
      close(handle);
    }
    errno = e;
    return -1;
  }
  std::string proc = "/proc/self/fd/" + std::to_string(handle);
  int fd = open(proc.c_str(), flags | O_CLOEXEC);
  int e = errno;
  close(handle);
  if (seen != nullptr) {
    *seen = st;
  }
  errno = e;
  return fd;
}

}  // namespace openkind

char *HostFs_FullPath(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  std::string whole;
  if (path[0] != '/') {
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
      return nullptr;
    }
    whole = cwd;
    free(cwd);
    whole += '/';
  }
  whole += path;
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < whole.size()) {
    size_t j = whole.find('/', i);
    if (j == std::string::npos) j = whole.size();
    std::string part = whole.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string result;
  for (const auto &p : parts) {
    result += '/';
    result += p;
  }
  if (result.empty()) result.push_back('/');
  char *copy = strdup(result.c_str());
  if (copy == nullptr) errno = ENOMEM;
  return copy;
}

bool HostFs_Exists(const char *path) {
  return path != nullptr && *path != '\0' && access(path, F_OK) == 0;
}

bool HostFs_GetAttributes(const char *path, uint32_t *attributes) {
  struct stat st;
  if (!StatPath(path, &st)) {
    return false;
  }
  uint32_t a = 0;
  bool isDir = S_ISDIR(st.st_mode);
  if (isDir) {
    a |= HOSTFS_ATTR_DIRECTORY;
  } else if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    a |= HOSTFS_ATTR_READONLY;
  }
  uint32_t dos = 0;
  if (ReadDosAttributes(path, &dos)) {
    a |= dos & (HOSTFS_ATTR_READONLY | HOSTFS_ATTR_COMPRESSED);
  }
  if (HasCompressionFlag(path)) {
    a |= HOSTFS_ATTR_COMPRESSED;
  }
  *attributes = a;
  return true;
}

bool HostFs_Stat(const char *path, bool *isDirectory) {
  struct stat st;
  if (!StatPath(path, &st)) {
    return false;
  }
  if (isDirectory != nullptr) *isDirectory = S_ISDIR(st.st_mode);
  return true;
}

char *HostFs_RealPath(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return realpath(path, nullptr);
}

namespace {

constexpr long kFuseMagic = 0x65735546;

// The device of path, from what the kernel knows: asking a server that has
// stopped would wait for ever. 0 when unknown.
dev_t KnownDevice(const char *path) {
  struct statx st;
  return statx(AT_FDCWD, path, AT_STATX_DONT_SYNC, STATX_INO, &st) == 0
             ? makedev(st.stx_dev_major, st.stx_dev_minor)
             : 0;
}

// Such file systems fold case beyond ASCII (Ä is ä), whatever the locale
// the service was started in.
bool SameButCase(const char *a, const char *b) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (utf8 == locale_t{}) {
    return strcasecmp(a, b) == 0;
  }
  std::wstring wide[2];
  const locale_t was = uselocale(utf8);
  for (int i = 0; i < 2; i++) {
    const char *name = i == 0 ? a : b;
    size_t n = mbstowcs(nullptr, name, 0);
    if (n != static_cast<size_t>(-1)) {
      wide[i].resize(n);
      mbstowcs(wide[i].data(), name, n + 1);
    }
  }
  uselocale(was);
  // A name not in UTF-8 is left to the bytes it has.
  return wide[0].empty() || wide[1].empty()
             ? strcasecmp(a, b) == 0
             : wcscasecmp_l(wide[0].c_str(), wide[1].c_str(), utf8) == 0;
}

// The name folder lists for part: part itself, or else its one spelling in
// another case; "" when neither.
std::string ListedAs(const std::string &folder, const std::string &part) {
  DIR *dir = opendir(folder.c_str());
  std::string found;
  int others = 0;
  for (struct dirent *entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
    if (part == entry->d_name) {
      found = part;
      others = 0;
      break;
    }
    if (SameButCase(part.c_str(), entry->d_name) && others++ == 0) {
      found = entry->d_name;
    }
  }
  if (dir != nullptr) {
    closedir(dir);
  }
  return others > 1 ? "" : found;
}

}  // namespace

char *HostFs_ListedSpelling(const char *path) {
  // Such a file system lies on a block device; those of FUSE servers that
  // may have stopped answering do not, and are not asked.
  const dev_t device = path != nullptr && path[0] == '/' ? KnownDevice(path) : 0;
  struct statfs fs;
  if (major(device) == 0 || statfs(path, &fs) != 0 || fs.f_type != kFuseMagic) {
    return nullptr;
  }
  const std::string whole = path;
  bool changed = false;
  std::string done;
  for (size_t at = 1; at < whole.size();) {
    size_t end = std::min(whole.find('/', at), whole.size());
    std::string part = whole.substr(at, end - at);
    at = end + 1;
    const std::string folder = done.empty() ? "/" : done;
    if (!part.empty() && KnownDevice(folder.c_str()) == device) {
      std::string found = ListedAs(folder, part);
      changed = changed || (!found.empty() && found != part);
      part = found.empty() ? part : found;
    }
    done += "/" + part;
  }
  return changed ? strdup(done.c_str()) : nullptr;
}

bool HostFs_IsRegularFile(const char *path) {
  struct stat st;
  if (!StatPath(path, &st)) {
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  return true;
}

bool HostFs_StatStream(FILE *stream, bool *isDirectory, long long *size) {
  struct stat st;
  if (stream == nullptr || fstat(fileno(stream), &st) != 0) {
    return false;
  }
  *isDirectory = S_ISDIR(st.st_mode);
  *size = S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : -1;
  return true;
}

bool HostFs_GetFileId(const char *path, HostFileId *id) {
  struct stat st;
  if (!StatPath(path, &st)) {
    return false;
  }
  uint64_t dev = static_cast<uint64_t>(st.st_dev);
  uint64_t ino = static_cast<uint64_t>(st.st_ino);
  // Fold the device number so that devices differing only in high bits differ.
  id->volumeSerial = static_cast<uint32_t>(dev ^ (dev >> 32));
  id->indexHigh = static_cast<uint32_t>(ino >> 32);
  id->indexLow = static_cast<uint32_t>(ino);
  return true;
}

bool HostFs_IsWritableDir(const char *path) {
  struct stat st;
  if (!StatPath(path, &st)) {
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  // Creating a file needs write and search permission, judged as the
  // effective user; a read-only mount answers EROFS.
  return faccessat(AT_FDCWD, path, W_OK | X_OK, AT_EACCESS) == 0;
}

struct HostDir {
  DIR *dir;
  std::string name;
};

HostDir *HostDir_Open(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  DIR *d = opendir(path);
  if (d == nullptr) {
    return nullptr;
  }
  HostDir *dir = new (std::nothrow) HostDir{d, {}};
  if (dir == nullptr) {
    closedir(d);
    errno = ENOMEM;
  }
  return dir;
}

const char *HostDir_Next(HostDir *dir, bool *isDirectory) {
  if (dir == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  for (;;) {
    errno = 0;
    struct dirent *e = readdir(dir->dir);
    if (e == nullptr) {
      return nullptr;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) {
      continue;
    }
    if (isDirectory != nullptr) {
      // The entry's own type spares a stat per name; a link or a file
      // system that does not fill it in needs the stat.
      if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) {
        *isDirectory = e->d_type == DT_DIR;
      } else {
        struct stat st;
        *isDirectory = fstatat(dirfd(dir->dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
      }
    }
    dir->name = e->d_name;
    return dir->name.c_str();
  }
}

void HostDir_Close(HostDir *dir) {
  if (dir == nullptr) return;
  closedir(dir->dir);
  delete dir;
}

int HostFile_Open(const char *path, uint32_t access, HostFileDisposition disposition) {
  if (path == nullptr || *path == '\0') {
    errno = ENOENT;
    return HOSTFILE_INVALID;
  }
  int flags = O_CLOEXEC | O_NOCTTY;
  bool canRead = (access & HOSTFILE_READ) != 0;
  bool canWrite = (access & HOSTFILE_WRITE) != 0;
  flags |= canWrite ? (canRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  if ((access & HOSTFILE_WRITE_THROUGH) != 0) flags |= O_DSYNC;
  switch (disposition) {
    case HOSTFILE_OPEN_EXISTING:
      break;
    case HOSTFILE_TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    case HOSTFILE_OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case HOSTFILE_CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case HOSTFILE_CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    default:
      errno = EINVAL;
      return HOSTFILE_INVALID;
  }
  int fd = -1;
  if ((access & HOSTFILE_NO_BUFFERING) != 0) {
    fd = open(path, flags | O_DIRECT, 0666);
    // File systems without direct I/O (tmpfs, some FUSE) refuse the flag.
    if (fd < 0 && errno != EINVAL) return HOSTFILE_INVALID;
  }
  if (fd < 0) {
    fd = open(path, flags, 0666);
  }
  if (fd < 0) {
    return HOSTFILE_INVALID;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return HOSTFILE_INVALID;
  }
  return fd;
}

bool HostFile_Close(int handle) {
  if (handle == HOSTFILE_INVALID) {
    return true;
  }
  // Linux releases the descriptor even when close reports EINTR.
  return close(handle) == 0 || errno == EINTR;
}

long HostFile_ReadAt(int handle, void *buf, size_t size, uint64_t offset) {
  ssize_t n;
  do {
    n = pread(handle, buf, size, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long HostFile_Read(int handle, void *buf, size_t size) {
  for (;;) {
    ssize_t n = read(handle, buf, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

long long HostFile_Size(int handle) {
  struct stat st;
  if (fstat(handle, &st) != 0) {
    return -1;
  }
  return static_cast<long long>(st.st_size);
}

namespace {

int SetLock(int handle, short type, uint64_t offset, uint64_t length) {
  if (offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return -1;
  }
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  for (;;) {
    if (fcntl(handle, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int HostFile_Lock(int handle, bool shared, uint64_t offset, uint64_t length) {
  if (SetLock(handle, shared ? F_RDLCK : F_WRLCK, offset, length) == 0) {
    return 1;
  }
  return errno == EAGAIN || errno == EACCES ? 0 : -1;
}

bool HostFile_Unlock(int handle, uint64_t offset, uint64_t length) {
  return SetLock(handle, F_UNLCK, offset, length) == 0;
}

int HostDir_OpenHolding(const char *folder, const char *name, int file) {
  if (folder == nullptr || *folder == '\0') {
    errno = ENOENT;
    return HOSTFILE_INVALID;
  }
  int dir = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || file == HOSTFILE_INVALID) {
    return dir;
  }
  // From what is known of both: a disk whose own storage stops answering
  // (a FUSE export in the disk's place) must not hold us up.
  const int known = AT_STATX_DONT_SYNC;
  struct statx held, named;
  int e = name == nullptr || *name == '\0'                                ? ENOENT
          : statx(file, "", AT_EMPTY_PATH | known, STATX_INO, &held) != 0 ? errno
          : statx(dir, name, known, STATX_INO, &named) != 0               ? errno
          : held.stx_ino != named.stx_ino || held.stx_dev_major != named.stx_dev_major ||
                  held.stx_dev_minor != named.stx_dev_minor
              ? ENOENT
              : 0;
  if (e != 0) {
    close(dir);
    errno = e;
    return HOSTFILE_INVALID;
  }
  return dir;
}

int HostFile_OpenLockFileAt(int dir, const char *name, bool readOnly, bool create) {
  if (name == nullptr || *name == '\0') {
    errno = ENOENT;
    return HOSTFILE_INVALID;
  }
  // Lock files sit beside disks in folders other users may own: a planted
  // link must not make us create a file wherever it points.
  int flags = (readOnly ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = openat(dir, name, create ? flags | O_CREAT : flags, 0666);
  if (fd < 0) {
    return HOSTFILE_INVALID;
  }
  struct stat st;
  int e = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (e != 0) {
    close(fd);
    errno = e;
    return HOSTFILE_INVALID;
  }
  return fd;
}

char *HostFile_KernelName(int handle) {
  std::string entry = "/proc/self/fd/" + std::to_string(handle);
  char name[PATH_MAX];
  ssize_t n = handle >= 0 ? readlink(entry.c_str(), name, sizeof name - 1) : -1;
  if (n <= 0) {
    return nullptr;
  }
  name[n] = '\0';
  return strdup(name);
}

bool HostFile_MayWaitToClose(int handle) {
  struct statx sx;
  return statx(handle, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &sx) == 0 &&
         S_ISREG(sx.stx_mode) && sx.stx_dev_major == 0;
}

bool HostFile_IsNamedByAt(int handle, int dir, const char *name) {
  struct stat open, named;
  return fstat(handle, &open) == 0 && name != nullptr &&
         fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

bool HostFs_Unlink(const char *path) { return path != nullptr && unlink(path) == 0; }

bool HostFs_UnlinkAt(int dir, const char *name) {
  return name != nullptr && unlinkat(dir, name, 0) == 0;
}

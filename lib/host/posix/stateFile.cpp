// State files on POSIX: mkostemp + write + fsync + rename + fsync of the
// folder for atomic, durable replacement (the fsyncs left out where only a
// crash of the process must be survived), stat(2) for change stamps.
#include "host/stateFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The start of the names of the temporary files of replacements.
constexpr char kTemporary[] = ".#state.";

int WriteAll(int fd, const char *data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes a temporary file beside path and renames it over path; flush also
// brings both to the disk before returning.
int Replace(const char *path, const char *data, size_t length, bool flush) {
  if (path == nullptr || (data == nullptr && length != 0)) {
    return EINVAL;
  }
  std::string target(path);
  std::string folder = FolderOf(target);
  std::string tmp = folder + "/" + kTemporary + "XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  int rc = WriteAll(fd, data, length);
  if (rc == 0 && flush && fsync(fd) != 0) {
    rc = errno;
  }
  if (close(fd) != 0 && rc == 0) {
    rc = errno;
  }
  if (rc == 0 && rename(tmp.c_str(), target.c_str()) != 0) {
    rc = errno;
  }
  if (rc != 0) {
    unlink(tmp.c_str());
    return rc;
  }
  if (!flush) {
    return 0;
  }
  // The rename itself must reach the disk before the caller reports success.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    if (fsync(dir) != 0 && errno != EINVAL) {
      rc = errno;
    }
    close(dir);
  }
  return rc;
}

}  // namespace

int HostState_WriteFile(const char *path, const char *data, size_t length) {
  return Replace(path, data, length, true);
}

int HostState_ReplaceFile(const char *path, const char *data, size_t length) {
  return Replace(path, data, length, false);
}

int HostState_ReadFile(const char *path, size_t maxLength, char **data, size_t *length) {
  if (path == nullptr || data == nullptr || length == nullptr) {
    return EINVAL;
  }
  // A link or a FIFO where a state file belongs was not made by us.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  struct stat st;
  int bad = fstat(fd, &st) != 0   ? errno
            : S_ISREG(st.st_mode) ? 0
            : S_ISDIR(st.st_mode) ? EISDIR
                                  : EINVAL;
  if (bad != 0) {
    close(fd);
    return bad;
  }
  std::string text;
  char buf[8192];
  int rc = 0;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      rc = errno;
      break;
    }
    if (n == 0) {
      break;
    }
    if (text.size() + static_cast<size_t>(n) > maxLength) {
      rc = EFBIG;
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (rc != 0) {
    return rc;
  }
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  if (copy == nullptr) {
    return ENOMEM;
  }
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *data = copy;
  *length = text.size();
  return 0;
}

int HostState_MakeDir(const char *path) {
  if (mkdir(path, 0700) == 0) {
    return 0;
  }
  int rc = errno;
  struct stat st;
  // A link to a folder is no folder of ours: mounting on it would mount
  // wherever it points.
  if (rc == EEXIST && lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    return 0;
  }
  return rc;
}

int HostState_MoveAside(const char *path, const char *aside) {
  if (rename(path, aside) != 0) {
    // A folder cannot replace a file, nor a file a folder, nor anything a
    // folder that holds something: what was put aside before goes.
    std::error_code failed;
    if ((errno != EISDIR && errno != ENOTDIR && errno != ENOTEMPTY && errno != EEXIST) ||
        std::filesystem::remove_all(aside, failed) == static_cast<std::uintmax_t>(-1) ||
        rename(path, aside) != 0) {
      return errno != 0 ? errno : failed.value();
    }
  }
  int dir = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int rc = 0;
  if (dir >= 0) {
    rc = fsync(dir) != 0 && errno != EINVAL ? errno : 0;
    close(dir);
  }
  return rc;
}

int HostState_RemoveFile(const char *path) {
  return unlink(path) == 0 || errno == ENOENT ? 0 : errno;
}

int HostState_RemoveDir(const char *path) {
  return rmdir(path) == 0 || errno == ENOENT ? 0 : errno;
}

int HostState_RemoveTree(const char *path) {
  std::error_code failed;
  return std::filesystem::remove_all(path, failed) == static_cast<std::uintmax_t>(-1)
             ? failed.value()
             : 0;
}

int HostState_MakeLink(const char *target, const char *path) {
  return symlink(target, path) == 0 ? 0 : errno;
}

void HostState_RemoveLeftovers(const char *folder) {
  DIR *dir = opendir(folder);
  if (dir == nullptr) {
    return;
  }
  std::vector<std::string> leftovers;
  while (dirent *entry = readdir(dir)) {
    if (strncmp(entry->d_name, kTemporary, strlen(kTemporary)) == 0) {
      leftovers.push_back(std::string(folder) + "/" + entry->d_name);
    }
  }
  closedir(dir);
  for (const std::string &path : leftovers) {
    unlink(path.c_str());
  }
}

int HostState_ReadLink(const char *path, char **target) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = readlink(path, buf.data(), buf.size());
    if (n < 0) {
      return errno;
    }
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);
  }
  *target = strdup(buf.c_str());
  return *target != nullptr ? 0 : ENOMEM;
}

bool HostState_Stamp(const char *path, HostFileStamp *stamp) {
  memset(stamp, 0, sizeof *stamp);
  struct stat st;
  if (stat(path, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return true;
    }
    return false;
  }
  stamp->exists = true;
  stamp->device = static_cast<uint64_t>(st.st_dev);
  stamp->inode = static_cast<uint64_t>(st.st_ino);
  stamp->size = static_cast<uint64_t>(st.st_size);
  stamp->modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp->modifiedNanoseconds = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return true;
}

bool HostState_SameStamp(const HostFileStamp &a, const HostFileStamp &b) {
  if (a.exists != b.exists) {
    return false;
  }
  return !a.exists ||
         (a.device == b.device && a.inode == b.inode && a.size == b.size &&
          a.modifiedSeconds == b.modifiedSeconds && a.modifiedNanoseconds == b.modifiedNanoseconds);
}

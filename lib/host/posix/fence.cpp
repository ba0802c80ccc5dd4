// Device fences: a cgroup of its own with a device program attached (the
// cgroup2 way), else one of the first version's devices hierarchy whose list
// holds the one device.
#include "fence.h"

#include <dirent.h>
#include <fcntl.h>
#include <libmount/libmount.h>
#include <linux/bpf.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>

namespace devicefence {
namespace {

constexpr char kPrefix[] = "bmount-mount-";

// The cgroup this process belongs to, as a folder: of the cgroup2 file
// system when controller is null, else of the first version's hierarchy
// with that controller. "" when there is none to be had (no such file
// system mounted, or not this process's part of it).
std::string OwnCgroup(const char *controller) {
  std::ifstream list("/proc/self/cgroup");
  std::string line, own;
  while (std::getline(list, line)) {
    // number:controllers:path; cgroup2's is 0 with none
    size_t first = line.find(':'), second = line.find(':', first + 1);
    if (second == std::string::npos) {
      continue;
    }
    // Framed by commas, so that a name matches whole; built by appending,
    // which some compilers take for an overlapping copy otherwise.
    std::string names(1, ',');
    names.append(line, first + 1, second - first - 1).append(1, ',');
    std::string wanted(1, ',');
    wanted.append(controller != nullptr ? controller : "").append(1, ',');
    if (controller == nullptr ? line.rfind("0::", 0) == 0
                              : names.find(wanted) != std::string::npos) {
      own = line.substr(second + 1);
    }
  }
  if (own.empty()) {
    return "";
  }
  std::string folder;
  libmnt_table *table = mnt_new_table_from_file("/proc/self/mountinfo");
  libmnt_iter *at = mnt_new_iter(MNT_ITER_FORWARD);
  libmnt_fs *fs = nullptr;
  while (table != nullptr && at != nullptr && folder.empty() &&
         mnt_table_next_fs(table, at, &fs) == 0) {
    const char *type = mnt_fs_get_fstype(fs), *root = mnt_fs_get_root(fs);
    const char *options = mnt_fs_get_fs_options(fs);
    if (type == nullptr || root == nullptr ||
        (controller == nullptr
             ? strcmp(type, "cgroup2") != 0
             : strcmp(type, "cgroup") != 0 || options == nullptr ||
                   mnt_optstr_get_option(options, controller, nullptr, nullptr) != 0)) {
      continue;
    }
    std::string mounted = strcmp(root, "/") == 0 ? "" : root;
    if (own.rfind(mounted, 0) == 0 &&
        (own.size() == mounted.size() || own[mounted.size()] == '/')) {
      folder = std::string(mnt_fs_get_target(fs)) + own.substr(mounted.size());
    }
  }
  mnt_free_iter(at);
  mnt_unref_table(table);
  while (folder.size() > 1 && folder.back() == '/') {
    folder.pop_back();
  }
  return folder;
}

// Removes the fences of services that ended before they could: only an
// empty cgroup can go, and a live service's are left to it.
void SweepOld(const std::string &cgroup) {
  DIR *dir = opendir(cgroup.c_str());
  if (dir == nullptr) {
    return;
  }
  while (dirent *entry = readdir(dir)) {
    long pid = 0;
    if (strncmp(entry->d_name, kPrefix, sizeof kPrefix - 1) == 0 &&
        sscanf(entry->d_name + sizeof kPrefix - 1, "%ld-", &pid) == 1 && pid != getpid() &&
        kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      rmdir((cgroup + "/" + entry->d_name).c_str());
    }
  }
  closedir(dir);
}

bpf_insn Insn(uint8_t code, uint8_t dst, uint8_t src, int16_t off, int32_t imm) {
  bpf_insn insn{};
  insn.code = code;
  insn.dst_reg = dst;
  insn.src_reg = src;
  insn.off = off;
  insn.imm = imm;
  return insn;
}

// A device program that lets through the block device major:minor alone.
int LoadProgram(unsigned major, unsigned minor) {
  const uint8_t kLoad = BPF_LDX | BPF_W | BPF_MEM, kUnlessEqual = BPF_JMP | BPF_JNE | BPF_K;
  const bpf_insn program[] = {
      Insn(kLoad, BPF_REG_2, BPF_REG_1, offsetof(bpf_cgroup_dev_ctx, access_type), 0),
      Insn(BPF_ALU | BPF_AND | BPF_K, BPF_REG_2, 0, 0, 0xffff),  // the device's kind
      Insn(kUnlessEqual, BPF_REG_2, 0, 6, BPF_DEVCG_DEV_BLOCK),
      Insn(kLoad, BPF_REG_3, BPF_REG_1, offsetof(bpf_cgroup_dev_ctx, major), 0),
      Insn(kUnlessEqual, BPF_REG_3, 0, 4, static_cast<int32_t>(major)),
      Insn(kLoad, BPF_REG_3, BPF_REG_1, offsetof(bpf_cgroup_dev_ctx, minor), 0),
      Insn(kUnlessEqual, BPF_REG_3, 0, 2, static_cast<int32_t>(minor)),
      Insn(BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 1),
      Insn(BPF_JMP | BPF_EXIT, 0, 0, 0, 0),
      Insn(BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 0),
      Insn(BPF_JMP | BPF_EXIT, 0, 0, 0, 0),
  };
  bpf_attr load{};
  load.prog_type = BPF_PROG_TYPE_CGROUP_DEVICE;
  load.insns = reinterpret_cast<uintptr_t>(program);
  load.insn_cnt = sizeof program / sizeof program[0];
  load.license = reinterpret_cast<uintptr_t>("GPL");
  return static_cast<int>(syscall(SYS_bpf, BPF_PROG_LOAD, &load, sizeof load));
}

// A new cgroup's folder below cgroup, named for this process.
std::string NewFolder(const std::string &cgroup) {
  static std::atomic<unsigned> made{0};
  return cgroup + "/" + kPrefix + std::to_string(getpid()) + "-" +
         std::to_string(made.fetch_add(1));
}

// A fence in the cgroup2 file system, below cgroup.
int MakeProgrammed(const std::string &cgroup, dev_t device, Fence *fence) {
  std::string folder = NewFolder(cgroup);
  if (mkdir(folder.c_str(), 0700) != 0) {
    return errno;
  }
  int e = 0;
  int program = LoadProgram(major(device), minor(device));
  int dir = program >= 0 ? open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  int procs = dir >= 0 ? openat(dir, "cgroup.procs", O_WRONLY | O_CLOEXEC) : -1;
  if (procs >= 0) {
    bpf_attr attach{};
    attach.target_fd = static_cast<uint32_t>(dir);
    attach.attach_bpf_fd = static_cast<uint32_t>(program);
    attach.attach_type = BPF_CGROUP_DEVICE;
    if (syscall(SYS_bpf, BPF_PROG_ATTACH, &attach, sizeof attach) != 0) {
      e = errno;
      close(procs);
      procs = -1;
    }
  } else {
    e = errno;
  }
  // The cgroup holds the program from here on.
  if (program >= 0) {
    close(program);
  }
  if (procs < 0) {
    if (dir >= 0) {
      close(dir);
    }
    rmdir(folder.c_str());
    return e != 0 ? e : EIO;
  }
  fence->folder = std::move(folder);
  fence->folderFd = dir;
  fence->procs = procs;
  return 0;
}

// 0, or the system error code of the write of text to the file name in dir.
int WriteAt(int dir, const char *name, const std::string &text) {
  int fd = openat(dir, name, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  ssize_t n = write(fd, text.data(), text.size());
  int e = n == static_cast<ssize_t>(text.size()) ? 0 : n < 0 ? errno : EIO;
  close(fd);
  return e;
}

// A fence in the first version's devices hierarchy, below cgroup: its list
// denies all but device. A child cannot start in it (clone3 takes a cgroup2
// folder only), so folderFd stays -1; it moves its one thread in through
// tasks, as a move of a whole process (cgroup.procs) waits for an RCU grace
// period, 9 to 18 ms here.
int MakeListed(const std::string &cgroup, dev_t device, Fence *fence) {
  std::string folder = NewFolder(cgroup);
  if (mkdir(folder.c_str(), 0700) != 0) {
    return errno;
  }
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int e = dir < 0 ? errno : WriteAt(dir, "devices.deny", "a");
  if (e == 0) {
    e = WriteAt(
        dir, "devices.allow",
        "b " + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + " rwm");
  }
  int procs = e == 0 ? openat(dir, "tasks", O_WRONLY | O_CLOEXEC) : -1;
  if (e == 0 && procs < 0) {
    e = errno;
  }
  if (dir >= 0) {
    close(dir);
  }
  if (procs < 0) {
    rmdir(folder.c_str());
    return e != 0 ? e : EIO;
  }
  fence->folder = std::move(folder);
  fence->procs = procs;
  return 0;
}

}  // namespace

int Make(dev_t device, Fence *fence) {
  // {cgroup2's, the devices hierarchy's}
  static const std::array<std::string, 2> cgroup = [] {
    std::array<std::string, 2> own = {OwnCgroup(nullptr), OwnCgroup("devices")};
    for (const std::string &folder : own) {
      SweepOld(folder);
    }
    return own;
  }();
  int e = cgroup[0].empty() ? ENOMEDIUM : MakeProgrammed(cgroup[0], device, fence);
  if (e != 0 && !cgroup[1].empty()) {
    // Where both are held, an open must pass the cgroup2 programs and the
    // list alike: either fences.
    int listed = MakeListed(cgroup[1], device, fence);
    e = listed == 0 || e == ENOMEDIUM ? listed : e;
  }
  return e;
}

int Enter(const Fence &fence) { return write(fence.procs, "0", 1) == 1 ? 0 : errno; }

void Remove(Fence *fence) {
  for (int *fd : {&fence->folderFd, &fence->procs}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
  if (!fence->folder.empty()) {
    rmdir(fence->folder.c_str());
    fence->folder.clear();
  }
}

}  // namespace devicefence

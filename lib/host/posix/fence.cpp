// Device fences: a cgroup of its own with a device program attached (the
// cgroup2 way; the first version's device lists are not looked for).
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

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>

namespace devicefence {
namespace {

constexpr char kPrefix[] = "bmount-mount-";

// The cgroup this process belongs to, as a folder; "" when there is none to
// be had (no cgroup2 file system mounted, or not this process's part of it).
std::string OwnCgroup() {
  std::ifstream list("/proc/self/cgroup");
  std::string line, own;
  while (std::getline(list, line)) {
    if (line.rfind("0::", 0) == 0) {
      own = line.substr(3);
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
    if (type == nullptr || root == nullptr || strcmp(type, "cgroup2") != 0) {
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

}  // namespace

int Make(dev_t device, Fence *fence) {
  static const std::string cgroup = [] {
    std::string own = OwnCgroup();
    SweepOld(own);
    return own;
  }();
  if (cgroup.empty()) {
    return ENOMEDIUM;
  }
  static std::atomic<unsigned> made{0};
  std::string folder =
      cgroup + "/" + kPrefix + std::to_string(getpid()) + "-" + std::to_string(made.fetch_add(1));
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
